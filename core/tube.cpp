#include "tube.hpp"

#include <cmath>

namespace velmora {
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

// The per-axis constants of the half-width rule, computed once per call.
struct AxisRule {
    double base;      // max(absolute, relative x span)
    double fallback;  // relative x magnitude, for a curve without span
    bool fallback_enabled;
    double local;     // fraction of each point's own magnitude

    AxisRule(double atol, double ltol, double rtol, double span, double mag) noexcept
        : base(detail::max_ignoring_nan(atol, rtol * span)),
          fallback(rtol * mag),
          // |NaN| < eps is false, so a NaN tolerance keeps the fallback on;
          // max() then ignores the NaN it yields.
          fallback_enabled(!(std::fabs(rtol) < detail::CORNER_EPS)),
          local(ltol) {}

    double halfwidth(double coordinate) const noexcept {
        double h = detail::max_ignoring_nan(base, local * std::fabs(coordinate));
        if (std::fabs(h) < detail::CORNER_EPS) {
            if (fallback_enabled) h = detail::max_ignoring_nan(h, fallback);
            if (std::fabs(h) < detail::CORNER_EPS) h = detail::CORNER_EPS;
        }
        return h;
    }
};

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
    const AxisRule rule_x(options.atolx, options.ltolx, options.rtolx, data.x_span, data.x_mag);
    const AxisRule rule_y(options.atoly, options.ltoly, options.rtoly, data.y_span, data.y_mag);
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

}  // namespace velmora
