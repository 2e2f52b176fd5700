#include "errors.hpp"

#include <cmath>
#include <limits>

namespace velmora {

std::vector<double> interpolate_clamped(std::span<const double> X, std::span<const double> Y,
                                        std::span<const double> queries) {
    const std::size_t n = X.size();
    std::vector<double> values(queries.size());
    if (n == 0) {
        // Never reached from compare(), whose bounds keep at least one point.
        values.assign(queries.size(), std::numeric_limits<double>::quiet_NaN());
        return values;
    }
    if (n == 1) {
        // A single point is the constant Y[0]. Tested up front: with a NaN
        // abscissa both clamps below fail and the search would read X[1].
        values.assign(queries.size(), Y[0]);
        return values;
    }
    // j only moves forward, carried from query to query: for non-decreasing
    // queries the whole call costs n + m steps.
    std::size_t j = 1;
    for (std::size_t k = 0; k < queries.size(); ++k) {
        const double q = queries[k];
        if (X[0] >= q) {
            values[k] = Y[0];
        } else if (q >= X[n - 1]) {
            values[k] = Y[n - 1];
        } else {
            while (j < n - 1 && q > X[j]) ++j;
            const double d = X[j] - X[j - 1];
            values[k] = std::fabs(d) < detail::CORNER_EPS
                            ? Y[j - 1]
                            : ((q - X[j - 1]) * (Y[j] - Y[j - 1])) / d + Y[j - 1];
        }
    }
    return values;
}

Curve compute_errors(std::span<const double> t, std::span<const double> y, const Curve& lower,
                     const Curve& upper) {
    const std::vector<double> low = interpolate_clamped(lower.x, lower.y, t);
    const std::vector<double> high = interpolate_clamped(upper.x, upper.y, t);
    Curve errors;
    errors.x.assign(t.begin(), t.end());
    errors.y.resize(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        const double v = y[i];
        // Upper first: where the bounds cross, a point violating both is
        // reported against the upper one. NaN on either side gives 0.
        if (v > high[i]) {
            errors.y[i] = v - high[i];
        } else if (low[i] > v) {
            errors.y[i] = v - low[i];
        } else {
            errors.y[i] = 0.0;
        }
    }
    return errors;
}

}  // namespace velmora
