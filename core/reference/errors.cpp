#include "errors.hpp"

#include <cstddef>
#include <vector>

#include "reference/reference.hpp"

namespace velmora::reference {

std::vector<double> interpolate_clamped(std::span<const double> X, std::span<const double> Y,
                                        std::span<const double> queries) {
    std::vector<double> values;
    values.reserve(queries.size());
    detail::ClampedInterpolation value(X, Y);
    for (const double q : queries) values.push_back(value(q));
    return values;
}

Curve compute_errors(std::span<const double> t, std::span<const double> y, const Curve& lower,
                     const Curve& upper) {
    const std::vector<double> low = interpolate_clamped(lower.x, lower.y, t);
    const std::vector<double> high = interpolate_clamped(upper.x, upper.y, t);
    Curve errors;
    errors.x.assign(t.begin(), t.end());
    errors.y.resize(t.size());
    for (std::size_t i = 0; i < t.size(); ++i)
        errors.y[i] = detail::error_of(y[i], low[i], high[i]);
    return errors;
}

}  // namespace velmora::reference
