#include "corners.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <tuple>

#include "lanes.hpp"
#include "storage.hpp"

namespace velmora {

using detail::coincide;
using detail::CORNER_EPS;

// ---------------------------------------------------------------------------
// Corner curve
// ---------------------------------------------------------------------------

namespace {

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
inline int sign_of(double dy) noexcept { return static_cast<int>(dy > 0) - static_cast<int>(dy < 0); }

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
void reserve_corner_curve(Curve& curve, std::size_t n) {
    const std::size_t capacity = 2 * std::max<std::size_t>(n, 1);
    detail::reserve_result(curve.x, capacity);
    detail::reserve_result(curve.y, capacity);
}

// Corners appended straight to a curve.
struct CurveSink {
    Curve& curve;
    void append(double x, double y) {
        curve.x.push_back(x);
        curve.y.push_back(y);
    }
    void drop_last(std::size_t count) {
        curve.x.resize(curve.x.size() - count);
        curve.y.resize(curve.y.size() - count);
    }
};

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
    void fill_slopes(std::size_t count) noexcept {
        using detail::Pair;
        const Pair eps = detail::pair(CORNER_EPS, CORNER_EPS);
        const Pair zero = detail::pair(0.0, 0.0);
        const Pair up = detail::pair(VERTICAL_SLOPE, VERTICAL_SLOPE);
        const Pair down = detail::pair(-VERTICAL_SLOPE, -VERTICAL_SLOPE);
        std::size_t k = 0;
        for (; k + 2 < count; k += 2) {
            const Pair dx = detail::load_pair(x + k + 1) - detail::load_pair(x + k);
            const Pair dy = detail::load_pair(y + k + 1) - detail::load_pair(y + k);
            const Pair vertical = detail::select(dy > zero, up, down);
            detail::store_pair(slope + k, detail::select(detail::fabs_pair(dx) < eps, vertical, dy / dx));
        }
        for (; k + 1 < count; ++k) {
            const CornerPoint a{x[k], y[k], 0.0, 0.0};
            const CornerPoint b{x[k + 1], y[k + 1], 0.0, 0.0};
            slope[k] = slope_of(a, b);
        }
    }
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
            if ((side.upper() && dy < 0) || (!side.upper() && dy > 0)) side.append(cur, Corner::right);
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

struct StoredWidths {
    static constexpr bool uniform = false;
    std::span<const double> hxs, hys;
    double hx(std::span<const double>, std::size_t i) const noexcept { return hxs[i]; }
    double hy(std::span<const double>, std::size_t i) const noexcept { return hys[i]; }
};

struct RuleWidths {
    static constexpr bool uniform = false;
    detail::AxisRule rule_x, rule_y;
    double hx(std::span<const double> x, std::size_t i) const noexcept { return rule_x.halfwidth(x[i]); }
    double hy(std::span<const double> y, std::size_t i) const noexcept { return rule_y.halfwidth(y[i]); }
};

// The same half-widths at every point, as the rules give them without a
// local tolerance (the default options).
struct UniformWidths {
    static constexpr bool uniform = true;
    double hxu, hyu;
    double hx(std::span<const double>, std::size_t) const noexcept { return hxu; }
    double hy(std::span<const double>, std::size_t) const noexcept { return hyu; }
};

// The reference as the tracing sees it: abscissae and x half-widths divided
// by x_mag when Scale is set, everything else as given. Widths supplies the
// raw half-widths of point i.
template <class Widths, bool Scale>
class ReferencePoints {
public:
    ReferencePoints(std::span<const double> x, std::span<const double> y, Widths widths, double x_mag)
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
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(raw);
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

}  // namespace

Curve build_corner_curve(std::span<const double> x, std::span<const double> y,
                         std::span<const double> hx, std::span<const double> hy, bool upper) {
    Curve curve;
    reserve_corner_curve(curve, x.size());
    ReferencePoints<StoredWidths, false> points(x, y, StoredWidths{hx, hy}, 1.0);
    const auto block = std::make_unique_for_overwrite<PointBlock>();
    CurveSink sink{curve};
    auto trace = [&](auto& side) {
        CornerTracer tracer(points, x.size(), *block, side);
        while (!tracer.done()) tracer.advance();
    };
    if (upper) {
        Side<CurveSink, true> side(sink);
        trace(side);
    } else {
        Side<CurveSink, false> side(sink);
        trace(side);
    }
    return curve;
}

// ---------------------------------------------------------------------------
// Loop removal
// ---------------------------------------------------------------------------

namespace {

// A later-branch ordinate v lies behind the earlier branch at level t when it
// is above it on the lower side, below it on the upper side.
inline bool hidden(double v, double t, bool upper) noexcept { return upper ? t > v : v > t; }

// Whether the crossing search stops at q: the earlier branch is no longer
// strictly behind the closing segment's line value L there.
inline bool not_behind(double L, double yq, bool upper) noexcept {
    return upper ? !(yq > L) : !(L > yq);
}

struct Crossing {
    bool exists = false;
    double x = 0.0;
    double y = 0.0;
};

// Where the closing segment (m-1, m) meets the line of the crossing segment
// (q-1, q), q >= 1. Lines, not segments: the point may lie beyond either.
template <class Vec>
Crossing crossing_point(const Vec& x, const Vec& y, std::size_t q, std::size_t m) noexcept {
    Crossing c;
    const bool closing_vertical = coincide(x[m], x[m - 1]);
    const bool crossing_vertical = coincide(x[q], x[q - 1]);
    if (closing_vertical && crossing_vertical) return c;
    if (crossing_vertical) {
        c = {true, x[q], (y[m] - y[m - 1]) * (x[q] - x[m - 1]) / (x[m] - x[m - 1]) + y[m - 1]};
        return c;
    }
    if (closing_vertical) {
        c = {true, x[m], (y[q] - y[q - 1]) * (x[m] - x[q - 1]) / (x[q] - x[q - 1]) + y[q - 1]};
        return c;
    }
    const double sq = (y[q] - y[q - 1]) / (x[q] - x[q - 1]);
    const double sm = (y[m] - y[m - 1]) / (x[m] - x[m - 1]);
    if (std::fabs(sq - sm) < CORNER_EPS) return c;  // parallel
    const double xi = (x[q - 1] * sq - x[m - 1] * sm - y[q - 1] + y[m - 1]) / (sq - sm);
    // The flatter line gives the better conditioned ordinate.
    const double yi = std::fabs(sq) > std::fabs(sm) ? y[m - 1] + sm * (xi - x[m - 1])
                                                    : y[q - 1] + sq * (xi - x[q - 1]);
    c = {true, xi, yi};
    return c;
}

}  // namespace

void remove_loop_in_place(Curve& curve, bool upper) {
    std::vector<double>& x = curve.x;
    std::vector<double>& y = curve.y;
    if (x.size() < 4) return;
    std::size_t i = 1;
    for (;;) {
        const std::size_t n = x.size();
        if (!(i + 2 < n)) return;
        if (!(x[i] > x[i + 1])) {
            ++i;
            continue;
        }
        // A backward step at i: the earlier branch runs up to i, the later one
        // from i + 1 on. j is the first earlier point right of x[i+1].
        std::size_t j = i;
        while (j > 0 && x[j - 1] > x[i + 1]) --j;
        // k: the first later point not left of x[i], or the last point.
        std::size_t k = i + 1;
        while (k < n - 1 && x[i] > x[k]) ++k;

        // Walk the later branch while it stays hidden behind the earlier one.
        std::size_t m = i + 1;
        double t = j > 0 ? y[j - 1] : y[0];
        std::size_t prev = i;
        while (hidden(y[m], t, upper) && m < k) {
            const double xn = x[m + 1];
            std::size_t p = i;
            for (std::size_t cand = j; cand < i; ++cand) {
                if (xn > x[cand]) continue;
                if (!coincide(x[cand], xn)) {
                    p = cand;
                    break;
                }
                // Tie: the later point sits at the abscissa of an earlier one.
                // Pass over it while the later point is still behind, unless a
                // vertical step of the later branch turns back out right there.
                const bool next_vertical = m + 2 < n && coincide(xn, x[m + 2]);
                const bool pass = upper ? (y[cand] > y[m + 1] && !(next_vertical && y[m + 2] > y[m + 1]))
                                        : (y[m + 1] > y[cand] && !(next_vertical && y[m + 1] > y[m + 2]));
                if (!pass) {
                    p = cand;
                    break;
                }
            }
            if (p == 0) {
                t = y[0];
            } else if (coincide(x[p - 1], x[p])) {
                t = y[p];
            } else {
                t = y[p - 1] + (xn - x[p - 1]) * ((y[p] - y[p - 1]) / (x[p] - x[p - 1]));
            }
            prev = j;
            j = p;
            ++m;
        }

        // Search the earlier branch for the segment the closing segment crosses.
        std::size_t q = prev >= 2 ? prev - 1 : prev;
        if (coincide(x[m], x[m - 1])) {
            while (q < m && x[m] > x[q]) ++q;
        } else {
            const double s = (y[m] - y[m - 1]) / (x[m] - x[m - 1]);
            while (q + 1 < m) {
                const double L = (x[q] - x[m - 1]) * s + y[m - 1];
                if (not_behind(L, y[q], upper)) break;
                ++q;
            }
        }
        const Crossing c = q >= 1 ? crossing_point(x, y, q, m) : Crossing{};

        if (q < m) {
            x.erase(x.begin() + static_cast<std::ptrdiff_t>(q), x.begin() + static_cast<std::ptrdiff_t>(m));
            y.erase(y.begin() + static_cast<std::ptrdiff_t>(q), y.begin() + static_cast<std::ptrdiff_t>(m));
        }
        if (c.exists && !(coincide(x[q], c.x) && coincide(y[q], c.y))) {
            x.insert(x.begin() + static_cast<std::ptrdiff_t>(q), c.x);
            y.insert(y.begin() + static_cast<std::ptrdiff_t>(q), c.y);
        }
        if (q == 0) {  // the later branch reached back past the first point
            i = 1;
            continue;
        }
        if (coincide(x[q - 1], x[q]) && coincide(y[q - 1], y[q])) {
            x.erase(x.begin() + static_cast<std::ptrdiff_t>(q));
            y.erase(y.begin() + static_cast<std::ptrdiff_t>(q));
            i = q;
        } else {
            i = q + 1;
        }
    }
}


namespace {

// The loop removal of remove_loop_in_place, step for step and index for
// index, on a curve held in its own two vectors around a movable gap.
//
// Points [0, front) sit at their own index, points [front, size) sit
// `back - front` places further right. A cut widens the gap and an insertion
// fills it, so no repair moves the points after it; moving the gap moves only
// the points between the gap and the repair, which the scan has just passed
// or the cut is about to drop. The vectors' own length is the physical end,
// back + size - front.
//
// The curve may also grow at its end while the removal runs: the bounds
// stream their corners in as they are traced (append, drop_last) and call
// run() between stretches. run() goes as far as the points present decide;
// where a test needs a point not traced yet (is there a point i + 2? does the
// excursion end before the last point?) it stops and resumes there on the
// next call, so the steps taken are those of the removal on the whole curve.
// Between stretches run() closes the gap where that moves few points, which
// also keeps the memory of a curve that loses most of its corners small.
class LoopRemover {
public:
    // Corners of one stretch as they wait to join the curve: at most two per
    // point, two more at the end of the curve.
    struct Stage {
        static constexpr std::size_t SIZE = 2 * TRACE_STRETCH + 4;
        double x[SIZE];
        double y[SIZE];
    };

    // A removal that is streamed corners (append) stages them in `stage`,
    // which the caller owns; one that only cuts a complete curve needs none.
    LoopRemover(Curve& curve, bool upper, Stage* stage = nullptr) noexcept
        : curve_(curve), upper_(upper), size_(curve.x.size()), stage_(stage) {
        refresh();
    }

    // Corners arrive in a small staging area and join the vectors a stretch
    // at a time, one block copy per vector: a push_back per corner costs more
    // than the corner. The merge of the tracing only ever drops the corners
    // it has just appended, which are still staged.
    [[gnu::always_inline]] void append(double xv, double yv) {
        if (staged_ == Stage::SIZE) flush();
        stage_->x[staged_] = xv;
        stage_->y[staged_] = yv;
        ++staged_;
    }

    void drop_last(std::size_t count) {
        if (count <= staged_) {
            staged_ -= count;
            return;
        }
        flush();
        refresh();
        if (front_ > size_ - count) move_gap(size_ - count);
        curve_.x.resize(curve_.x.size() - count);
        curve_.y.resize(curve_.y.size() - count);
        size_ -= count;
    }

    // Repairs loops as far as the points present allow; `complete` says that
    // no more points will come, and then the removal runs to its end.
    void run(bool complete) {
        flush();
        refresh();
        repair(complete);
        // Close the gap when that moves few points: when the points after it
        // are no more than the gap (paid for by the points cut, so a curve
        // that loses most of its corners to the cuts keeps its memory small),
        // or no more than a few stretches (paid for by the stretch traced:
        // after the last cut the points behind the gap stay put).
        const std::size_t gap = back_ - front_;
        const std::size_t after = size_ - front_;
        if (gap != 0 && (gap >= after || after <= 4 * TRACE_STRETCH)) close_gap();
    }

    // Closes the gap and trims the vectors to the curve; with a factor, every
    // abscissa is multiplied by it on the way (the scaling back of the bounds,
    // in the same pass).
    void finish(const double* factor) {
        flush();
        refresh();
        const std::size_t gap = back_ - front_;
        if (factor != nullptr) {
            const double f = *factor;
            for (std::size_t l = 0; l < front_; ++l) x_[l] = x_[l] * f;
            for (std::size_t l = front_; l < size_; ++l) {
                x_[l] = x_[l + gap] * f;
                y_[l] = y_[l + gap];
            }
            front_ = back_ = size_;
        } else {
            close_gap();
        }
        curve_.x.resize(size_);
        curve_.y.resize(size_);
    }

private:
    double x(std::size_t l) const noexcept { return x_[at(l)]; }
    double y(std::size_t l) const noexcept { return y_[at(l)]; }
    std::size_t at(std::size_t l) const noexcept { return l < front_ ? l : l + (back_ - front_); }

    // Index-style views for crossing_point, valid until the next edit.
    struct Axis {
        const double* data;
        std::size_t front, gap;
        double operator[](std::size_t l) const noexcept { return data[l < front ? l : l + gap]; }
    };
    Axis xs() const noexcept { return {x_, front_, back_ - front_}; }
    Axis ys() const noexcept { return {y_, front_, back_ - front_}; }

    // The first l in [from, to) with stop(x[l], y[l]), or `to`: the points
    // before the gap and those after it are each read straight from memory.
    template <class Stop>
    std::size_t find_forward(std::size_t from, std::size_t to, Stop&& stop) const noexcept {
        std::size_t l = from;
        const std::size_t split = std::min(to, front_);
        for (; l < split; ++l) {
            if (stop(x_[l], y_[l])) return l;
        }
        const std::size_t gap = back_ - front_;
        for (; l < to; ++l) {
            if (stop(x_[l + gap], y_[l + gap])) return l;
        }
        return to;
    }

    // From l down: l decreases while l > 0 and go(x[l - 1]).
    template <class Go>
    std::size_t walk_back(std::size_t l, Go&& go) const noexcept {
        const std::size_t gap = back_ - front_;
        while (l > front_ && go(x_[l - 1 + gap])) --l;
        if (l > front_) return l;
        while (l > 0 && go(x_[l - 1])) --l;
        return l;
    }

    // The scan over pairs without a backward step, from i on: the first i
    // with x[i] > x[i+1], or n - 2, or the edge of the gap, whichever comes
    // first. Pairs on one side of the gap are read straight from memory.
    std::size_t next_backward_step(std::size_t i, std::size_t n) const noexcept {
        const double* v = x_;
        std::size_t stop = n - 2;
        if (i + 1 < front_) {
            stop = std::min(stop, front_ - 1);
        } else if (i >= front_) {
            v = x_ + (back_ - front_);
        } else {
            return i;
        }
        while (i < stop && !(v[i] > v[i + 1])) ++i;
        return i;
    }

    void refresh() noexcept {
        x_ = curve_.x.data();
        y_ = curve_.y.data();
    }

    // Removes the points [first, last).
    void erase(std::size_t first, std::size_t last) noexcept {
        if (front_ < first) {
            move_gap(first);
        } else if (front_ > last) {
            move_gap(last);
        }
        back_ += last - front_;
        front_ = first;
        size_ -= last - first;
    }

    // Inserts a point before point l. Every insertion of the loop removal
    // follows a cut at the same index, so the gap is open there; the vector
    // insertion only keeps the class correct on its own.
    void insert(std::size_t l, double xv, double yv) {
        move_gap(l);
        if (front_ == back_) {
            curve_.x.insert(curve_.x.begin() + static_cast<std::ptrdiff_t>(l), xv);
            curve_.y.insert(curve_.y.begin() + static_cast<std::ptrdiff_t>(l), yv);
            refresh();
            front_ = back_ = l + 1;
        } else {
            x_[front_] = xv;
            y_[front_] = yv;
            ++front_;
        }
        ++size_;
    }

    void move_gap(std::size_t l) noexcept {
        if (front_ == back_) {  // no gap: nothing to move
            front_ = back_ = l;
        } else if (front_ < l) {
            const std::size_t count = l - front_;
            std::memmove(x_ + front_, x_ + back_, count * sizeof(double));
            std::memmove(y_ + front_, y_ + back_, count * sizeof(double));
            front_ += count;
            back_ += count;
        } else if (front_ > l) {
            const std::size_t count = front_ - l;
            front_ -= count;
            back_ -= count;
            std::memmove(x_ + back_, x_ + front_, count * sizeof(double));
            std::memmove(y_ + back_, y_ + front_, count * sizeof(double));
        }
    }

    void repair(bool complete);

    void flush() {
        if (staged_ == 0) return;
        curve_.x.insert(curve_.x.end(), stage_->x, stage_->x + staged_);
        curve_.y.insert(curve_.y.end(), stage_->y, stage_->y + staged_);
        size_ += staged_;
        staged_ = 0;
    }

    void close_gap() {
        if (front_ != back_) {
            refresh();
            const std::size_t count = size_ - front_;
            std::memmove(x_ + front_, x_ + back_, count * sizeof(double));
            std::memmove(y_ + front_, y_ + back_, count * sizeof(double));
            curve_.x.resize(size_);
            curve_.y.resize(size_);
        }
        front_ = back_ = size_;
    }

    Curve& curve_;
    bool upper_;
    double* x_ = nullptr;
    double* y_ = nullptr;
    std::size_t front_ = 0;
    std::size_t back_ = 0;
    std::size_t size_;
    std::size_t i_ = 1;  // the scan position
    // An excursion search that ran into the end of the points traced so far.
    bool pending_ = false;
    std::size_t pending_i_ = 0, pending_j_ = 0, pending_k_ = 0;
    Stage* stage_;
    std::size_t staged_ = 0;  // corners waiting in the stage
};

void LoopRemover::repair(bool complete) {
    const bool upper = upper_;
    std::size_t i = i_;
    for (;;) {
        const std::size_t n = size_;
        if (!(i + 2 < n)) break;  // the end, or wait for more points
        if (!(x(i) > x(i + 1))) {
            i = next_backward_step(i + 1, n);
            continue;
        }
        // A backward step at i: the earlier branch runs up to i, the later one
        // from i + 1 on. j is the first earlier point right of x[i+1].
        std::size_t j = i;
        std::size_t k = i + 1;
        if (pending_ && pending_i_ == i) {
            j = pending_j_;
            k = pending_k_;
        } else {
            const double x_later = x(i + 1);
            j = walk_back(j, [x_later](double xv) { return xv > x_later; });
        }
        pending_ = false;
        // k: the first later point not left of x[i], or the last point.
        const double x_earlier = x(i);
        k = find_forward(k, n - 1, [x_earlier](double xv, double) { return !(x_earlier > xv); });
        if (k == n - 1 && !complete) {  // undecided until more points come
            pending_ = true;
            pending_i_ = i;
            pending_j_ = j;
            pending_k_ = k;
            i_ = i;
            return;
        }

        // Walk the later branch while it stays hidden behind the earlier one.
        // From here on every point read exists: m + 2 <= k + 1 < n unless the
        // curve is complete.
        std::size_t m = i + 1;
        double t = j > 0 ? y(j - 1) : y(0);
        std::size_t prev = i;
        while (hidden(y(m), t, upper) && m < k) {
            const double xn = x(m + 1);
            std::size_t p = i;
            for (std::size_t cand = j;; ++cand) {
                cand = find_forward(cand, i, [xn](double xv, double) { return !(xn > xv); });
                if (cand == i) break;
                const double xc = x(cand);
                if (!coincide(xc, xn)) {
                    p = cand;
                    break;
                }
                // Tie: the later point sits at the abscissa of an earlier one.
                // Pass over it while the later point is still behind, unless a
                // vertical step of the later branch turns back out right there.
                const bool next_vertical = m + 2 < n && coincide(xn, x(m + 2));
                const double yn = y(m + 1);
                const bool pass = upper ? (y(cand) > yn && !(next_vertical && y(m + 2) > yn))
                                        : (yn > y(cand) && !(next_vertical && yn > y(m + 2)));
                if (!pass) {
                    p = cand;
                    break;
                }
            }
            if (p == 0) {
                t = y(0);
            } else if (coincide(x(p - 1), x(p))) {
                t = y(p);
            } else {
                const double x0 = x(p - 1);
                const double y0 = y(p - 1);
                t = y0 + (xn - x0) * ((y(p) - y0) / (x(p) - x0));
            }
            prev = j;
            j = p;
            ++m;
        }

        // Search the earlier branch for the segment the closing segment crosses.
        std::size_t q = prev >= 2 ? prev - 1 : prev;
        const double xm = x(m);
        const double xm1 = x(m - 1);
        if (coincide(xm, xm1)) {
            q = find_forward(q, m, [xm](double xv, double) { return !(xm > xv); });
        } else if (q + 1 < m) {
            const double ym1 = y(m - 1);
            const double s = (y(m) - ym1) / (xm - xm1);
            q = find_forward(q, m - 1, [xm1, ym1, s, upper](double xv, double yv) {
                return not_behind((xv - xm1) * s + ym1, yv, upper);
            });
        }
        const Crossing cross = q >= 1 ? crossing_point(xs(), ys(), q, m) : Crossing{};

        if (q < m) erase(q, m);
        if (cross.exists && !(coincide(x(q), cross.x) && coincide(y(q), cross.y))) {
            insert(q, cross.x, cross.y);
        }
        if (q == 0) {  // the later branch reached back past the first point
            i = 1;
            continue;
        }
        if (coincide(x(q - 1), x(q)) && coincide(y(q - 1), y(q))) {
            erase(q, q + 1);
            i = q;
        } else {
            i = q + 1;
        }
    }
    i_ = i;
}

}  // namespace

void remove_loop(Curve& curve, bool upper) {
    LoopRemover remover(curve, upper);
    remover.run(true);
    remover.finish(nullptr);
}

// ---------------------------------------------------------------------------
// Bounds
// ---------------------------------------------------------------------------

namespace {

// The working storage of the tracing of both bounds, about 27 KB: the stretch
// of reference points and the corners each side has staged. One block on the
// heap per call, uninitialised (every element is written before it is read),
// so that compare runs on a thread of the smallest stack Python allows
// (32 KiB), of which a frame of this size would take most.
struct TraceStorage {
    PointBlock block;
    LoopRemover::Stage lower;
    LoopRemover::Stage upper;
};

// Both bounds in one pass: the corners of both sides are traced together and
// each side's loop removal follows the tracing closely, so the corner curves
// never exist in full; the abscissae are scaled back as the removal closes
// its gap.
template <class Widths, bool Scale>
Bounds trace_bounds(std::span<const double> x, std::span<const double> y, Widths widths,
                    double x_mag) {
    const std::size_t n = x.size();
    ReferencePoints<Widths, Scale> points(x, y, widths, x_mag);
    Bounds b;
    reserve_corner_curve(b.lower, n);
    reserve_corner_curve(b.upper, n);
    const auto storage = std::make_unique_for_overwrite<TraceStorage>();
    LoopRemover lower(b.lower, false, &storage->lower);
    LoopRemover upper(b.upper, true, &storage->upper);
    Side<LoopRemover, false> lower_side(lower);
    Side<LoopRemover, true> upper_side(upper);
    CornerTracer tracer(points, n, storage->block, lower_side, upper_side);
    while (!tracer.done()) {
        tracer.advance();
        lower.run(false);
        upper.run(false);
    }
    lower.run(true);
    upper.run(true);
    const double* factor = Scale ? &x_mag : nullptr;
    lower.finish(factor);
    upper.finish(factor);
    return b;
}

// The closeness tests of the corner curve and the loop removal are absolute
// (1e-10); normalising the abscissae makes them relative to the reference's
// scale. A NaN x_mag fails the test and leaves x raw.
template <class Widths>
Bounds trace_bounds(std::span<const double> x, std::span<const double> y, Widths widths,
                    double x_mag) {
    return x_mag > X_SCALE_MIN ? trace_bounds<Widths, true>(x, y, widths, x_mag)
                               : trace_bounds<Widths, false>(x, y, widths, x_mag);
}

}  // namespace

Bounds build_bounds(std::span<const double> x, std::span<const double> y,
                    std::span<const double> hx, std::span<const double> hy, double x_mag) {
    return trace_bounds(x, y, StoredWidths{hx, hy}, x_mag);
}

Bounds build_bounds(std::span<const double> x, std::span<const double> y, const DataChar& data,
                    const CompareOptions& options) {
    const detail::AxisRule rule_x = detail::x_rule(data, options);
    const detail::AxisRule rule_y = detail::y_rule(data, options);
    // The driver passes validated, hence finite, abscissae; the ordinates may
    // be anything.
    if (rule_x.uniform(true) && rule_y.uniform(false)) {
        return trace_bounds(x, y, UniformWidths{rule_x.halfwidth(0.0), rule_y.halfwidth(0.0)},
                            data.x_mag);
    }
    return trace_bounds(x, y, RuleWidths{rule_x, rule_y}, data.x_mag);
}

}  // namespace velmora
