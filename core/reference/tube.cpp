#include <cmath>

#include "doubles.hpp"
#include "reference/reference.hpp"

namespace velmora::reference {
namespace {

struct Extremes {
    double smallest;
    double largest;
};

// Strict comparisons: a NaN never replaces a running value, but a NaN first
// element is never replaced either and poisons the whole axis.
Extremes extremes(std::span<const double> v) noexcept {
    Extremes e{v[0], v[0]};
    for (double value : v) {
        if (value < e.smallest) e.smallest = value;
        if (value > e.largest) e.largest = value;
    }
    return e;
}

}  // namespace

DataChar get_data_char(std::span<const double> x, std::span<const double> y) noexcept {
    const Extremes ex = extremes(x);
    const Extremes ey = extremes(y);
    return DataChar{
        ex.largest - ex.smallest,
        ey.largest - ey.smallest,
        detail::max_ignoring_nan(ex.largest, std::fabs(ex.smallest)),
        detail::max_ignoring_nan(ey.largest, std::fabs(ey.smallest)),
    };
}

HalfWidths tube_halfwidths(std::span<const double> x, std::span<const double> y,
                           const DataChar& data, const CompareOptions& options) {
    const detail::AxisRule rule_x = detail::x_rule(data, options);
    const detail::AxisRule rule_y = detail::y_rule(data, options);
    const std::size_t n = x.size();
    HalfWidths out;
    out.hx.resize(n);
    out.hy.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        out.hx[i] = rule_x.halfwidth(x[i]);
        out.hy[i] = rule_y.halfwidth(y[i]);
    }
    return out;
}

}  // namespace velmora::reference
