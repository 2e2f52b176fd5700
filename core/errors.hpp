// The error curve: signed vertical distance of each test point outside the
// funnel, 0 inside or on a bound.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "doubles.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora {

// One error point per test point, and the failure test of the verdict in the
// same pass over the test curve: `fails` is set when some error is non-zero
// at an abscissa inside [lo, hi]. Bounds must have at least one point each;
// the test abscissae must not decrease.
Curve compute_errors(std::span<const double> t, std::span<const double> y, const Curve& lower,
                     const Curve& upper, double lo, double hi, bool& fails);

namespace detail {

// The value of a bound of at least one point at non-decreasing queries. The
// segment index only moves forward, carried from query to query, so a whole
// pass costs n + m.
class ClampedInterpolation {
public:
    ClampedInterpolation(std::span<const double> X, std::span<const double> Y) noexcept
        : X_(X.data()), Y_(Y.data()), last_(X.size() - 1), first_x_(X[0]), last_x_(X[last_]),
          first_y_(Y[0]), last_y_(Y[last_]) {}

    // Whether q lies between the ends, where the value is interpolated. A
    // single point is the constant Y[0], whatever its abscissa: with a NaN
    // abscissa both clamps fail and the search would read X[1].
    bool interior(double q) const noexcept {
        return last_ != 0 && !(first_x_ >= q) && !(q >= last_x_);
    }

    // The value outside the interior: constant continuation of the ends.
    double clamped(double q) const noexcept {
        return last_ == 0 || first_x_ >= q ? first_y_ : last_y_;
    }

    // The segment (j - 1, j) of an interior query, j <= n - 1. The search
    // compares with the query clamped to X[n-1], which never exceeds
    // X[n-1], so it stops at n - 1 at the latest whatever the query: the
    // test abscissae are borrowed memory that another thread or process may
    // write during the call, and a query may have left the interior since it
    // was tested, or, in the inner run of compute_errors, lie outside the
    // interior that its neighbours enclose. Its value is then meaningless,
    // but no read goes past the bound. An interior query (or a NaN, which
    // the clamp passes through, as it does a NaN X[n-1]) is its own clamp,
    // so it finds the j it always did. Queries usually advance by less than
    // a segment, so the first step is taken without a branch, which would be
    // mispredicted about every other query on a bound as dense as the
    // queries.
    std::size_t seek(double q) noexcept {
        const double bounded = last_x_ < q ? last_x_ : q;
        std::size_t j = j_;
        j += static_cast<std::size_t>(bounded > X_[j]);
        while (bounded > X_[j]) ++j;
        j_ = j;
        return j;
    }

    double operator()(double q) noexcept {
        if (!interior(q)) return clamped(q);
        const std::size_t j = seek(q);
        const double x0 = X_[j - 1];
        const double y0 = Y_[j - 1];
        const double d = X_[j] - x0;
        // Across a segment narrower than CORNER_EPS the left ordinate.
        return std::fabs(d) < detail::CORNER_EPS ? y0 : ((q - x0) * (Y_[j] - y0)) / d + y0;
    }

    const double* X() const noexcept { return X_; }
    const double* Y() const noexcept { return Y_; }

private:
    const double* X_;
    const double* Y_;
    std::size_t last_;
    double first_x_, last_x_, first_y_, last_y_;
    std::size_t j_ = 1;
};

// Upper first: where the bounds cross, a point violating both is reported
// against the upper one. NaN on either side gives 0.
inline double error_of(double v, double low, double high) noexcept {
    if (v > high) return v - high;
    if (low > v) return v - low;
    return 0.0;
}

}  // namespace detail
}  // namespace velmora
