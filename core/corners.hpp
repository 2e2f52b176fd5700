// The first step of the bounds: the corners of the tolerance rectangles,
// traced along the lower and the upper side of the reference. The tracing is
// written once for wherever the corners go (the loop removal of the bounds,
// which follows it stretch by stretch, or a plain curve) and however the
// half-widths are read, so its templates live here; the bounds instantiate
// them.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>

#include "doubles.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora {

// Magnitude of the slope given to a segment narrower than CORNER_EPS.
inline constexpr double VERTICAL_SLOPE = 1e15;

namespace detail {

enum class Corner { left, right };

// One reference point as the corner tracing sees it: abscissa and x
// half-width already normalised, ordinate and y half-width raw.
struct CornerPoint {
    double x, y, hx, hy;
};

// A NaN on either axis never makes a repeated pair.
inline bool repeated(const CornerPoint& a, const CornerPoint& b) noexcept {
    return coincide(a.x, b.x) && coincide(a.y, b.y);
}

// A NaN dy counts as flat.
inline int sign_of(double dy) noexcept {
    return static_cast<int>(dy > 0) - static_cast<int>(dy < 0);
}

// A segment narrower than CORNER_EPS gets a huge slope of its own sign
// instead of a division by (nearly) zero.
inline double slope_of(const CornerPoint& a, const CornerPoint& b) noexcept {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    if (std::fabs(dx) < CORNER_EPS) return dy > 0 ? VERTICAL_SLOPE : -VERTICAL_SLOPE;
    return dy / dx;
}

// The corners a point contributes, in order, from the sign of the segment
// before it and the direction of the segment after it. Written for the upper
// side; the lower side exchanges left and right.
struct CornerPair {
    Corner first;
    Corner second;
    bool two;
};

inline CornerPair corners_at(int before, int after, bool upper) noexcept {
    CornerPair p{Corner::left, Corner::left, false};
    if (before == 1) {
        if (after < 0) p = {Corner::left, Corner::right, true};  // peak
        else p.first = Corner::left;
    } else if (before == 0) {
        p.first = after < 0 ? Corner::right : Corner::left;
    } else {
        if (after > 0) p = {Corner::right, Corner::left, true};  // valley
        else p.first = Corner::right;
    }
    if (!upper) {
        auto swap = [](Corner c) { return c == Corner::left ? Corner::right : Corner::left; };
        p.first = swap(p.first);
        p.second = swap(p.second);
    }
    return p;
}

// Reserves a corner curve for a reference of n points. The tracing appends at
// most two corners per point, 2n in all (two at the start, at most two per
// inner point, two at the end, and a point that repeats its successor gives
// none), so the vectors never reallocate; reserving no more than that keeps
// the bounds, which become the result arrays, at the smallest size that is
// certain to suffice.
void reserve_corner_curve(Curve& curve, std::size_t n);

// One side of the funnel while it is traced. It remembers the last corner it
// appended itself, because the merge test looks at the traced curve as it
// was appended, whatever the sink has done with it since (the loop removal
// may already have cut or inserted points there).
template <class Sink, bool Upper>
class Side {
public:
    explicit Side(Sink& sink) noexcept : sink_(sink) {}

    static constexpr bool upper() noexcept { return Upper; }
    double height(const CornerPoint& p) const noexcept { return p.y + D * p.hy; }

    // Inlined by force, like turn(), single() and LoopRemover::append():
    // they run once or twice per point and side, and a call costs as much as
    // their body.
    [[gnu::always_inline]] void append(const CornerPoint& p, Corner c) {
        const double h = height(p);
        sink_.append(c == Corner::left ? p.x - p.hx : p.x + p.hx, h);
        last_y_ = h;
    }

    // The corners of an inner point where the slope changes, then the merge:
    // corners that sit in the middle of a horizontal run of the boundary,
    // level with the corner before them and with the next point, are dropped.
    // The curve always holds a corner before them (the first corner is
    // appended before any inner point), which the merge test asks for.
    [[gnu::always_inline]] void turn(const CornerPoint& p, const CornerPoint& next, int before,
                                     int after) {
        const CornerPair c = corners_at(before, after, Upper);
        const double before_y = last_y_;
        append(p, c.first);
        if (c.two) append(p, c.second);
        const double P = last_y_;
        const double Q = height(next);
        if (std::fabs(Q - P) < CORNER_EPS && std::fabs(before_y - P) < CORNER_EPS) {
            sink_.drop_last(c.two ? 2 : 1);
            last_y_ = before_y;
        }
    }

    // turn() for a point between two segments of the same non-zero sign, the
    // bulk of a smooth curve: one corner, the left one where the upper bound
    // rises or the lower one falls, unless the merge would drop it at once.
    [[gnu::always_inline]] void single(const CornerPoint& p, const CornerPoint& next, int sign) {
        const double h = height(p);
        const double Q = height(next);
        if (std::fabs(Q - h) < CORNER_EPS && std::fabs(last_y_ - h) < CORNER_EPS) return;
        sink_.append((sign > 0) == Upper ? p.x - p.hx : p.x + p.hx, h);
        last_y_ = h;
    }

private:
    static constexpr double D = Upper ? 1.0 : -1.0;  // the side of the reference the corners lie on
    Sink& sink_;
    double last_y_ = 0.0;  // height of the last corner traced, merged ones removed
};

// Reference points traced per stretch: the tracing reads them from a block
// small enough to stay in the first-level cache, and the loop removal of the
// bounds runs after each stretch, while the fresh corners are still cached.
constexpr std::size_t TRACE_STRETCH = 256;

// A stretch of reference points as the corner tracing reads them, filled in
// plain loops the compiler vectorises (the divisions above all): abscissae
// and x half-widths normalised, and the slope of each segment. About 10 KB:
// it lives on the heap, with the working storage of the tracing, never on
// the stack of the calling thread.
struct PointBlock {
    double x[TRACE_STRETCH + 1];
    double y[TRACE_STRETCH + 1];
    double hx[TRACE_STRETCH + 1];
    double hy[TRACE_STRETCH + 1];
    double slope[TRACE_STRETCH];  // slope_of(point k, point k + 1)

    CornerPoint point(std::size_t k) const noexcept { return {x[k], y[k], hx[k], hy[k]}; }

    // The slopes of the first count - 1 segments, two at a time. Each
    // quotient is computed whether or not its segment is vertical, so that
    // the loop has no branch; the replacement slope of a vertical segment is
    // then chosen lane by lane.
    void fill_slopes(std::size_t count) noexcept;
};

// Traces the corner curves of one or more sides over the reference, a stretch
// of points at a time. Everything but the corners themselves (repeated pairs,
// signs, slopes, straight runs) is the same for every side and computed once.
// Points supplies point(i), one point at a time, and fill(first, count,
// block), a stretch of them with their slopes; both give the same doubles.
// The block the stretches are read into belongs to the caller.
template <class Points, class... Sides>
class CornerTracer {
public:
    CornerTracer(Points& points, std::size_t n, PointBlock& block, Sides&... sides)
        : points_(points), n_(n), sides_(sides...), block_(block) {
        begin();
    }

    bool done() const noexcept { return done_; }

    // Traces the next stretch of points; the last one also closes the curves.
    void advance() {
        const std::size_t first = i_;
        const std::size_t stop = std::min(n_ - 1, first + TRACE_STRETCH);
        const std::size_t steps = stop - first;
        PointBlock& b = block_;
        points_.fill(first, steps + 1, b);
        b.fill_slopes(steps + 1);
        for (std::size_t k = 0; k < steps; ++k) {
            if (repeated_at(b, k)) continue;
            const int f = e_;
            e_ = sign_of(b.y[k + 1] - b.y[k]);
            const double v = b.slope[k];
            if (!(std::fabs(m_ - v) < CORNER_EPS)) {  // a straight run gives no corner
                const CornerPoint p = b.point(k);
                const CornerPoint next = b.point(k + 1);
                if (f == e_ && f != 0) {
                    each([&](auto& side) { side.single(p, next, f); });
                } else {
                    each([&](auto& side) { side.turn(p, next, f, e_); });
                }
            }
            m_ = v;
        }
        i_ = stop;
        if (i_ + 1 >= n_) end(b.point(steps));
    }

private:
    static bool repeated_at(const PointBlock& b, std::size_t k) noexcept {
        return coincide(b.x[k], b.x[k + 1]) && coincide(b.y[k], b.y[k + 1]);
    }

    template <class F>
    void each(F&& f) {
        std::apply([&](auto&... side) { (f(side), ...); }, sides_);
    }

    void begin() {
        // Of a run of repeated points the last one stands for the run.
        std::size_t s = 0;
        CornerPoint cur = points_.point(0);
        CornerPoint next{};
        while (s + 1 < n_) {
            next = points_.point(s + 1);
            if (!repeated(cur, next)) break;
            cur = next;
            ++s;
        }
        each([&](auto& side) { side.append(cur, Corner::left); });
        if (s + 1 == n_) {
            each([&](auto& side) { side.append(cur, Corner::right); });
            done_ = true;
            return;
        }
        m_ = slope_of(cur, next);
        const double dy = next.y - cur.y;
        e_ = sign_of(dy);
        each([&](auto& side) {
            if ((side.upper() && dy < 0) || (!side.upper() && dy > 0))
                side.append(cur, Corner::right);
        });
        i_ = s + 1;
        if (i_ + 1 >= n_) end(next);
    }

    void end(const CornerPoint& last) {
        each([&](auto& side) {
            if (e_ == (side.upper() ? 1 : -1)) side.append(last, Corner::left);
            side.append(last, Corner::right);
        });
        done_ = true;
    }

    Points& points_;
    std::size_t n_;
    std::tuple<Sides&...> sides_;
    std::size_t i_ = 0;  // the point the next stretch starts from
    double m_ = 0.0;     // slope of the last segment that was no repeated pair
    int e_ = 0;          // its sign
    bool done_ = false;
    PointBlock& block_;
};

// The reference as the tracing sees it: abscissae and x half-widths divided
// by x_mag when Scale is set, everything else as given. Widths supplies the
// raw half-widths of point i (hx(x, i), hy(y, i)) and says whether they are
// `uniform`, the same at every point.
template <class Widths, bool Scale>
class ReferencePoints {
public:
    ReferencePoints(std::span<const double> x, std::span<const double> y, Widths widths,
                    double x_mag)
        : x_(x), y_(y), widths_(widths), x_mag_(x_mag) {
        if constexpr (Widths::uniform) uniform_hx_ = scaled(widths_.hx(x_, 0));
    }

    CornerPoint point(std::size_t i) { return {scaled(x_[i]), y_[i], hx(i), widths_.hy(y_, i)}; }

    void fill(std::size_t first, std::size_t count, PointBlock& b) {
        const double* x = x_.data() + first;
        const double* y = y_.data() + first;
        for (std::size_t k = 0; k < count; ++k) b.x[k] = scaled(x[k]);
        for (std::size_t k = 0; k < count; ++k) b.y[k] = y[k];
        if constexpr (Widths::uniform) {
            const double hy = widths_.hy(y_, 0);
            for (std::size_t k = 0; k < count; ++k) b.hx[k] = uniform_hx_;
            for (std::size_t k = 0; k < count; ++k) b.hy[k] = hy;
        } else {
            for (std::size_t k = 0; k < count; ++k) b.hx[k] = hx(first + k);
            for (std::size_t k = 0; k < count; ++k) b.hy[k] = widths_.hy(y_, first + k);
        }
    }

private:
    // True division, not a multiplication by the reciprocal: the bounds must
    // come out as the division gives them.
    double scaled(double v) const noexcept {
        if constexpr (Scale) {
            return v / x_mag_;
        } else {
            return v;
        }
    }

    double hx(std::size_t i) {
        if constexpr (Widths::uniform) {
            return uniform_hx_;
        } else if constexpr (!Scale) {
            return widths_.hx(x_, i);
        } else {
            // The last half-width and its quotient: the same division gives
            // the same double, and half-widths usually repeat.
            const double raw = widths_.hx(x_, i);
            const auto bits = std::bit_cast<std::uint64_t>(raw);
            if (!have_last_ || bits != last_bits_) {
                last_bits_ = bits;
                last_hx_ = raw / x_mag_;
                have_last_ = true;
            }
            return last_hx_;
        }
    }

    std::span<const double> x_, y_;
    Widths widths_;
    double x_mag_;
    double uniform_hx_ = 0.0;
    std::uint64_t last_bits_ = 0;
    double last_hx_ = 0.0;
    bool have_last_ = false;
};

}  // namespace detail
}  // namespace velmora
