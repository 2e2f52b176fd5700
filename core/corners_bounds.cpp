#include "corners_bounds.hpp"

namespace velmora {
namespace {

struct RuleWidths {
    static constexpr bool uniform = false;
    detail::AxisRule rule_x, rule_y;
    double hx(std::span<const double> x, std::size_t i) const noexcept {
        return rule_x.halfwidth(x[i]);
    }
    double hy(std::span<const double> y, std::size_t i) const noexcept {
        return rule_y.halfwidth(y[i]);
    }
};

// The same half-widths at every point, as the rules give them without a
// local tolerance (the default options).
struct UniformWidths {
    static constexpr bool uniform = true;
    double hxu, hyu;
    double hx(std::span<const double>, std::size_t) const noexcept { return hxu; }
    double hy(std::span<const double>, std::size_t) const noexcept { return hyu; }
};

}  // namespace

Bounds build_bounds(std::span<const double> x, std::span<const double> y, const DataChar& data,
                    const CompareOptions& options) {
    const detail::AxisRule rule_x = detail::x_rule(data, options);
    const detail::AxisRule rule_y = detail::y_rule(data, options);
    // The driver passes validated, hence finite, abscissae; the ordinates may
    // be anything.
    if (rule_x.uniform(true) && rule_y.uniform(false)) {
        return detail::trace_bounds(
            x, y, UniformWidths{rule_x.halfwidth(0.0), rule_y.halfwidth(0.0)}, data.x_mag);
    }
    return detail::trace_bounds(x, y, RuleWidths{rule_x, rule_y}, data.x_mag);
}

}  // namespace velmora
