#include "errors.hpp"

#include <cstddef>

#include "lanes.hpp"
#include "storage.hpp"

namespace velmora {

using detail::ClampedInterpolation;
using detail::error_of;

namespace {

// The error curve as it is computed: abscissae and errors gather in two
// small blocks that join the vectors in one block copy each (a push_back per
// point costs more than its error), and the failure test runs alongside.
class ErrorSink {
public:
    // The blocks stay uninitialised (see x_, y_).
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
    ErrorSink(Curve& errors, double lo, double hi) noexcept : errors_(errors), lo_(lo), hi_(hi) {}
    ~ErrorSink() { flush(); }
    ErrorSink(const ErrorSink&) = delete;
    ErrorSink& operator=(const ErrorSink&) = delete;
    ErrorSink(ErrorSink&&) = delete;
    ErrorSink& operator=(ErrorSink&&) = delete;

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
    // Left uninitialised: every slot is written before flush() reads it, and
    // zeroing 4 KB per call would cost more than a short curve's errors.
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
