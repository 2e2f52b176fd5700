#include "errors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "lanes.hpp"
#include "storage.hpp"

namespace velmora {
namespace {

// The value of a bound at non-decreasing queries. The segment index only
// moves forward, carried from query to query, so a whole pass costs n + m.
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

namespace {

// The error curve as it is computed: abscissae and errors gather in two
// small blocks that join the vectors in one block copy each (a push_back per
// point costs more than its error), and the failure test runs alongside.
class ErrorSink {
public:
    ErrorSink(Curve& errors, double lo, double hi) noexcept : errors_(errors), lo_(lo), hi_(hi) {}
    ~ErrorSink() { flush(); }
    ErrorSink(const ErrorSink&) = delete;
    ErrorSink& operator=(const ErrorSink&) = delete;

    [[gnu::always_inline]] void add(double q, double e) {
        if (count_ == BLOCK) flush();
        x_[count_] = q;
        y_[count_] = e;
        ++count_;
        outside_ |= e != 0.0 && lo_ <= q && q <= hi_;
    }

    bool outside() const noexcept { return outside_; }

    void flush() {
        errors_.x.insert(errors_.x.end(), x_, x_ + count_);
        errors_.y.insert(errors_.y.end(), y_, y_ + count_);
        count_ = 0;
    }

private:
    static constexpr std::size_t BLOCK = 256;
    Curve& errors_;
    double lo_, hi_;
    bool outside_ = false;
    std::size_t count_ = 0;
    double x_[BLOCK];
    double y_[BLOCK];
};

}  // namespace

Curve compute_errors(std::span<const double> t, std::span<const double> y, const Curve& lower,
                     const Curve& upper, double lo, double hi, bool& fails) {
    const std::size_t m = t.size();
    ClampedInterpolation low(lower.x, lower.y);
    ClampedInterpolation high(upper.x, upper.y);
    Curve errors;
    detail::reserve_result(errors.x, m);
    detail::reserve_result(errors.y, m);
    {
        ErrorSink sink(errors, lo, hi);
        auto clamped_or_not = [&](std::size_t i) {
            const double q = t[i];
            sink.add(q, error_of(y[i], low(q), high(q)));
        };
        // The test abscissae do not decrease, so the queries at which both
        // bounds interpolate, clamped by neither, are one run [first, last);
        // before and after it (usually a few points, if any) each value
        // takes its clamps into account.
        auto inner = [&](std::size_t i) {
            const double q = t[i];
            return low.interior(q) && high.interior(q);
        };
        std::size_t first = 0;
        while (first < m && !inner(first)) clamped_or_not(first++);
        std::size_t last = m;
        while (last > first && !inner(last - 1)) --last;

        using detail::Pair;
        using detail::pair;
        const double* lx = low.X();
        const double* ly = low.Y();
        const double* ux = high.X();
        const double* uy = high.Y();
        const Pair eps = pair(detail::CORNER_EPS, detail::CORNER_EPS);
        for (std::size_t i = first; i < last; ++i) {
            // Both interpolations side by side, the lower bound's in lane 0
            // and the upper bound's in lane 1.
            const double q = t[i];
            const std::size_t jl = low.seek(q);
            const std::size_t ju = high.seek(q);
            const Pair x0 = pair(lx[jl - 1], ux[ju - 1]);
            const Pair y0 = pair(ly[jl - 1], uy[ju - 1]);
            const Pair d = pair(lx[jl], ux[ju]) - x0;
            const Pair y1 = pair(ly[jl], uy[ju]);
            const Pair value = ((pair(q, q) - x0) * (y1 - y0)) / d + y0;
            // Across a segment narrower than CORNER_EPS the left ordinate.
            const Pair chosen = detail::select(detail::fabs_pair(d) < eps, y0, value);
            sink.add(q, error_of(y[i], chosen[0], chosen[1]));
        }
        for (std::size_t i = last; i < m; ++i) clamped_or_not(i);
        fails = sink.outside();
    }
    return errors;
}

}  // namespace velmora
