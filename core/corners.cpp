#include "corners.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>

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
inline int sign_of(double dy) noexcept { return dy > 0 ? 1 : (dy < 0 ? -1 : 0); }

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
    curve.x.reserve(capacity);
    curve.y.reserve(capacity);
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
template <class Sink>
class Side {
public:
    Side(Sink& sink, bool upper) noexcept : sink_(sink), upper_(upper), d_(upper ? 1.0 : -1.0) {}

    bool upper() const noexcept { return upper_; }
    double height(const CornerPoint& p) const noexcept { return p.y + d_ * p.hy; }

    void append(const CornerPoint& p, Corner c) {
        const double h = height(p);
        sink_.append(c == Corner::left ? p.x - p.hx : p.x + p.hx, h);
        last_y_ = h;
        ++count_;
    }

    // The corners of an inner point where the slope changes, then the merge:
    // corners that sit in the middle of a horizontal run of the boundary,
    // level with the corner before them and with the next point, are dropped.
    void turn(const CornerPoint& p, const CornerPoint& next, int before, int after) {
        const CornerPair c = corners_at(before, after, upper_);
        const double before_y = last_y_;
        const std::size_t before_count = count_;
        append(p, c.first);
        if (c.two) append(p, c.second);
        const double P = last_y_;
        const double Q = height(next);
        if (std::fabs(Q - P) < CORNER_EPS && before_count > 0 &&
            std::fabs(before_y - P) < CORNER_EPS) {
            sink_.drop_last(c.two ? 2 : 1);
            last_y_ = before_y;
            count_ = before_count;
        }
    }

private:
    Sink& sink_;
    bool upper_;
    double d_;  // +1 traces the upper bound, -1 the lower one
    double last_y_ = 0.0;
    std::size_t count_ = 0;  // corners traced so far, merged ones removed
};

// Traces the corner curves of one or more sides over the reference, a stretch
// of points at a time, so that a consumer can work on the corners while they
// are still in cache. `point(i)` is called exactly once per index, in
// increasing order. Everything but the corners themselves (repeated pairs,
// signs, slopes, straight runs) is the same for every side and computed once.
template <class Source, class... Sides>
class CornerTracer {
public:
    CornerTracer(Source& point, std::size_t n, Sides&... sides)
        : point_(point), n_(n), sides_(sides...) {
        begin();
    }

    bool done() const noexcept { return done_; }

    // Traces up to `count` more points; the last one also closes the curves.
    void advance(std::size_t count) {
        const std::size_t stop = std::min(n_ - 1, i_ + count);
        for (; i_ < stop; ++i_) {
            const CornerPoint next = point_(i_ + 1);
            if (!repeated(cur_, next)) {
                const int f = e_;
                e_ = sign_of(next.y - cur_.y);
                const double v = slope_of(cur_, next);
                if (!(std::fabs(m_ - v) < CORNER_EPS)) {  // a straight run gives no corner
                    each([&](auto& side) { side.turn(cur_, next, f, e_); });
                }
                m_ = v;
            }
            cur_ = next;
        }
        if (i_ + 1 >= n_) end();
    }

private:
    template <class F>
    void each(F&& f) {
        std::apply([&](auto&... side) { (f(side), ...); }, sides_);
    }

    void begin() {
        // Of a run of repeated points the last one stands for the run.
        std::size_t s = 0;
        cur_ = point_(0);
        CornerPoint next{};
        while (s + 1 < n_) {
            next = point_(s + 1);
            if (!repeated(cur_, next)) break;
            cur_ = next;
            ++s;
        }
        each([&](auto& side) { side.append(cur_, Corner::left); });
        if (s + 1 == n_) {
            each([&](auto& side) { side.append(cur_, Corner::right); });
            done_ = true;
            return;
        }
        m_ = slope_of(cur_, next);
        const double dy = next.y - cur_.y;
        e_ = sign_of(dy);
        each([&](auto& side) {
            if ((side.upper() && dy < 0) || (!side.upper() && dy > 0)) side.append(cur_, Corner::right);
        });
        cur_ = next;
        i_ = s + 1;
    }

    // cur_ is the last point now.
    void end() {
        each([&](auto& side) {
            if (e_ == (side.upper() ? 1 : -1)) side.append(cur_, Corner::left);
            side.append(cur_, Corner::right);
        });
        done_ = true;
    }

    Source& point_;
    std::size_t n_;
    std::tuple<Sides&...> sides_;
    std::size_t i_ = 0;
    CornerPoint cur_{};
    double m_ = 0.0;  // slope of the last segment that was no repeated pair
    int e_ = 0;       // its sign
    bool done_ = false;
};

// Points read from four sequences as they are.
struct SpanPoints {
    std::span<const double> x, y, hx, hy;
    CornerPoint operator()(std::size_t i) const noexcept { return {x[i], y[i], hx[i], hy[i]}; }
};

}  // namespace

Curve build_corner_curve(std::span<const double> x, std::span<const double> y,
                         std::span<const double> hx, std::span<const double> hy, bool upper) {
    Curve curve;
    reserve_corner_curve(curve, x.size());
    SpanPoints points{x, y, hx, hy};
    CurveSink sink{curve};
    Side<CurveSink> side(sink, upper);
    CornerTracer tracer(points, x.size(), side);
    while (!tracer.done()) tracer.advance(x.size());
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
// Appending closes the gap first when it has grown larger than the points
// after it, so a curve that loses most of its corners to the cuts also keeps
// its memory small.
class LoopRemover {
public:
    LoopRemover(Curve& curve, bool upper) noexcept
        : curve_(curve), upper_(upper), size_(curve.x.size()) {
        refresh();
    }

    void append(double xv, double yv) {
        const std::size_t gap = back_ - front_;
        if (gap != 0 && gap >= size_ - front_) close_gap();
        curve_.x.push_back(xv);
        curve_.y.push_back(yv);
        refresh();
        ++size_;
    }

    void drop_last(std::size_t count) {
        if (front_ > size_ - count) move_gap(size_ - count);
        curve_.x.resize(curve_.x.size() - count);
        curve_.y.resize(curve_.y.size() - count);
        size_ -= count;
    }

    // Repairs loops as far as the points present allow; `complete` says that
    // no more points will come, and then the removal runs to its end.
    void run(bool complete);

    // Closes the gap and trims the vectors to the curve; with a factor, every
    // abscissa is multiplied by it on the way (the scaling back of the bounds,
    // in the same pass).
    void finish(const double* factor) {
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

    void close_gap() {
        if (front_ != back_) {
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
};

void LoopRemover::run(bool complete) {
    const bool upper = upper_;
    std::size_t i = i_;
    for (;;) {
        const std::size_t n = size_;
        if (!(i + 2 < n)) break;  // the end, or wait for more points
        if (!(x(i) > x(i + 1))) {
            ++i;
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
            while (j > 0 && x(j - 1) > x_later) --j;
        }
        pending_ = false;
        // k: the first later point not left of x[i], or the last point.
        const double x_earlier = x(i);
        for (;; ++k) {
            if (!(k + 1 < n)) {
                if (complete) break;
                pending_ = true;
                pending_i_ = i;
                pending_j_ = j;
                pending_k_ = k;
                i_ = i;
                return;
            }
            if (!(x_earlier > x(k))) break;
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
            for (std::size_t cand = j; cand < i; ++cand) {
                const double xc = x(cand);
                if (xn > xc) continue;
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
            while (q < m && xm > x(q)) ++q;
        } else {
            const double ym1 = y(m - 1);
            const double s = (y(m) - ym1) / (xm - xm1);
            while (q + 1 < m) {
                const double L = (x(q) - xm1) * s + ym1;
                if (not_behind(L, y(q), upper)) break;
                ++q;
            }
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

// Points of the bounds: abscissae and x half-widths divided by x_mag when
// Scale is set. Widths supplies the raw half-widths of point i.
template <class Widths, bool Scale>
struct BoundPoints {
    std::span<const double> x, y;
    Widths widths;
    double x_mag;
    // The last x half-width and its quotient: half-widths usually repeat from
    // point to point, and the same division gives the same double.
    std::uint64_t last_hx_bits = 0;
    double last_ws = 0.0;
    bool have_last = false;

    CornerPoint operator()(std::size_t i) {
        const double hx = widths.hx(x, i);
        const double hy = widths.hy(y, i);
        if constexpr (!Scale) {
            return {x[i], y[i], hx, hy};
        } else {
            // True divisions, not multiplications by the reciprocal: the
            // bounds must come out as the division gives them.
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(hx);
            if (!have_last || bits != last_hx_bits) {
                last_hx_bits = bits;
                last_ws = hx / x_mag;
                have_last = true;
            }
            return {x[i] / x_mag, y[i], last_ws, hy};
        }
    }
};

struct StoredWidths {
    std::span<const double> hxs, hys;
    double hx(std::span<const double>, std::size_t i) const noexcept { return hxs[i]; }
    double hy(std::span<const double>, std::size_t i) const noexcept { return hys[i]; }
};

struct RuleWidths {
    detail::AxisRule rule_x, rule_y;
    double hx(std::span<const double> x, std::size_t i) const noexcept { return rule_x.halfwidth(x[i]); }
    double hy(std::span<const double> y, std::size_t i) const noexcept { return rule_y.halfwidth(y[i]); }
};

// Reference points traced per call of the loop removal: small enough that
// the fresh corners are still in cache when the removal reads them.
constexpr std::size_t TRACE_STRETCH = 256;

// Both bounds in one pass: the corners of both sides are traced together and
// each side's loop removal follows the tracing closely, so the corner curves
// never exist in full; the abscissae are scaled back as the removal closes
// its gap.
template <class Widths, bool Scale>
Bounds trace_bounds(std::span<const double> x, std::span<const double> y, Widths widths,
                    double x_mag) {
    const std::size_t n = x.size();
    BoundPoints<Widths, Scale> points{x, y, widths, x_mag};
    Bounds b;
    reserve_corner_curve(b.lower, n);
    reserve_corner_curve(b.upper, n);
    LoopRemover lower(b.lower, false);
    LoopRemover upper(b.upper, true);
    Side<LoopRemover> lower_side(lower, false);
    Side<LoopRemover> upper_side(upper, true);
    CornerTracer tracer(points, n, lower_side, upper_side);
    while (!tracer.done()) {
        tracer.advance(TRACE_STRETCH);
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
    return trace_bounds(x, y, RuleWidths{detail::x_rule(data, options), detail::y_rule(data, options)},
                        data.x_mag);
}

}  // namespace velmora
