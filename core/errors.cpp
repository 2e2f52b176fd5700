#include "errors.hpp"

#include <cmath>
#include <limits>

namespace velmora {
namespace {

// The value of a bound at non-decreasing queries. The segment index only
// moves forward, carried from query to query, so a whole pass costs n + m.
class ClampedInterpolation {
public:
    ClampedInterpolation(std::span<const double> X, std::span<const double> Y) noexcept
        : X_(X.data()), Y_(Y.data()), n_(X.size()) {}

    double operator()(double q) noexcept {
        const std::size_t n = n_;
        // A single point is the constant Y[0]. Tested up front: with a NaN
        // abscissa both clamps below fail and the search would read X[1].
        if (n == 1) return Y_[0];
        if (X_[0] >= q) return Y_[0];
        if (q >= X_[n - 1]) return Y_[n - 1];
        std::size_t j = j_;
        while (j < n - 1 && q > X_[j]) ++j;
        j_ = j;
        const double d = X_[j] - X_[j - 1];
        return std::fabs(d) < detail::CORNER_EPS ? Y_[j - 1]
                                                 : ((q - X_[j - 1]) * (Y_[j] - Y_[j - 1])) / d + Y_[j - 1];
    }

private:
    const double* X_;
    const double* Y_;
    std::size_t n_;
    std::size_t j_ = 1;
};

// Upper first: where the bounds cross, a point violating both is reported
// against the upper one. NaN on either side gives 0.
inline double error_of(double v, double low, double high) noexcept {
    if (v > high) return v - high;
    if (low > v) return v - low;
    return 0.0;
}

}  // namespace

std::vector<double> interpolate_clamped(std::span<const double> X, std::span<const double> Y,
                                        std::span<const double> queries) {
    if (X.empty()) {
        // Never reached from compare(), whose bounds keep at least one point.
        return std::vector<double>(queries.size(), std::numeric_limits<double>::quiet_NaN());
    }
    std::vector<double> values;
    values.reserve(queries.size());
    ClampedInterpolation value(X, Y);
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
    for (std::size_t i = 0; i < t.size(); ++i) errors.y[i] = error_of(y[i], low[i], high[i]);
    return errors;
}

Curve compute_errors(std::span<const double> t, std::span<const double> y, const Curve& lower,
                     const Curve& upper, double lo, double hi, bool& fails) {
    const std::size_t m = t.size();
    ClampedInterpolation low(lower.x, lower.y);
    ClampedInterpolation high(upper.x, upper.y);
    Curve errors;
    // Reserved, not resized: the values are written once, without a pass of
    // zeros before them.
    errors.x.reserve(m);
    errors.y.reserve(m);
    bool outside = false;
    for (std::size_t i = 0; i < m; ++i) {
        const double q = t[i];
        const double e = error_of(y[i], low(q), high(q));
        errors.x.push_back(q);
        errors.y.push_back(e);
        outside |= e != 0.0 && lo <= q && q <= hi;
    }
    fails = outside;
    return errors;
}

}  // namespace velmora
