#include "corners.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace velmora {

using detail::coincide;
using detail::CORNER_EPS;

// ---------------------------------------------------------------------------
// Corner curve
// ---------------------------------------------------------------------------

namespace {

enum class Corner { left, right };

// Read-only view of the reference and its half-widths for one side.
struct CornerInput {
    std::span<const double> x, y, hx, hy;
    double side;  // +1 traces the upper bound, -1 the lower one

    bool repeated(std::size_t i) const noexcept {
        return coincide(x[i], x[i + 1]) && coincide(y[i], y[i + 1]);
    }
    double height(std::size_t i) const noexcept { return y[i] + side * hy[i]; }
    double dy(std::size_t i) const noexcept { return y[i + 1] - y[i]; }
    // A NaN dy counts as flat.
    int sign(std::size_t i) const noexcept {
        const double d = dy(i);
        return d > 0 ? 1 : (d < 0 ? -1 : 0);
    }
    // A segment narrower than CORNER_EPS gets a huge slope of its own sign
    // instead of a division by (nearly) zero.
    double slope(std::size_t i) const noexcept {
        const double dx = x[i + 1] - x[i];
        const double d = dy(i);
        if (std::fabs(dx) < CORNER_EPS) return d > 0 ? VERTICAL_SLOPE : -VERTICAL_SLOPE;
        return d / dx;
    }
};

struct CornerOutput {
    Curve& curve;
    const CornerInput& in;

    void append(std::size_t i, Corner c) {
        const double dx = c == Corner::left ? in.x[i] - in.hx[i] : in.x[i] + in.hx[i];
        curve.x.push_back(dx);
        curve.y.push_back(in.height(i));
    }
    void drop_last(std::size_t count) {
        curve.x.resize(curve.x.size() - count);
        curve.y.resize(curve.y.size() - count);
    }
};

// The corners a point contributes, in order, from the sign of the segment
// before it and the direction of the segment after it. Written for the upper
// side; the lower side exchanges left and right.
struct CornerPair {
    Corner first;
    Corner second;
    bool two;
};

CornerPair corners_at(int before, int after, bool upper) noexcept {
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

}  // namespace

Curve build_corner_curve(std::span<const double> x, std::span<const double> y,
                         std::span<const double> hx, std::span<const double> hy, bool upper) {
    const std::size_t n = x.size();
    const CornerInput in{x, y, hx, hy, upper ? 1.0 : -1.0};
    Curve curve;
    // At most two corners per point; the generous reservation means the
    // loop below never reallocates.
    const std::size_t capacity = 4 * std::max<std::size_t>(n, 2);
    curve.x.reserve(capacity);
    curve.y.reserve(capacity);
    CornerOutput out{curve, in};

    // Of a run of repeated points the last one stands for the run.
    std::size_t s = 0;
    while (s + 1 < n && in.repeated(s)) ++s;
    out.append(s, Corner::left);
    if (s + 1 == n) {
        out.append(n - 1, Corner::right);
        return curve;
    }

    double m = in.slope(s);
    int e = in.sign(s);
    if ((upper && in.dy(s) < 0) || (!upper && in.dy(s) > 0)) out.append(s, Corner::right);

    for (std::size_t i = s + 1; i + 1 < n; ++i) {
        if (in.repeated(i)) continue;
        const int f = e;
        e = in.sign(i);
        const double v = in.slope(i);
        if (std::fabs(m - v) < CORNER_EPS) {  // straight run: no corner
            m = v;
            continue;
        }
        const CornerPair c = corners_at(f, e, upper);
        out.append(i, c.first);
        if (c.two) out.append(i, c.second);

        // Drop corners that sit in the middle of a horizontal run of the
        // boundary: level with the output before them and the next point.
        const std::size_t size = curve.y.size();
        const double P = curve.y[size - 1];
        const double Q = in.height(i + 1);
        if (std::fabs(Q - P) < CORNER_EPS) {
            if (c.two) {
                if (size > 2 && std::fabs(curve.y[size - 3] - P) < CORNER_EPS) out.drop_last(2);
            } else if (size >= 2 && std::fabs(curve.y[size - 2] - P) < CORNER_EPS) {
                out.drop_last(1);
            }
        }
        m = v;
    }

    if (e == (upper ? 1 : -1)) out.append(n - 1, Corner::left);
    out.append(n - 1, Corner::right);
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

void remove_loop(Curve& curve, bool upper) { remove_loop_in_place(curve, upper); }

// ---------------------------------------------------------------------------
// Bounds
// ---------------------------------------------------------------------------

Bounds build_bounds(std::span<const double> x, std::span<const double> y,
                    std::span<const double> hx, std::span<const double> hy, double x_mag) {
    // The closeness tests of the corner curve and the loop removal are
    // absolute (1e-10); normalising the abscissae makes them relative to the
    // reference's scale. A NaN x_mag fails the test and leaves x raw.
    const bool scale = x_mag > X_SCALE_MIN;
    std::vector<double> xs(x.begin(), x.end());
    std::vector<double> ws(hx.begin(), hx.end());
    if (scale) {
        // True division, not a multiplication by the reciprocal: the
        // bounds must come out as the division gives them.
        for (double& v : xs) v = v / x_mag;
        for (double& v : ws) v = v / x_mag;
    }
    Bounds b;
    b.lower = build_corner_curve(xs, y, ws, hy, false);
    b.upper = build_corner_curve(xs, y, ws, hy, true);
    remove_loop(b.lower, false);
    remove_loop(b.upper, true);
    if (scale) {
        for (double& v : b.lower.x) v = v * x_mag;
        for (double& v : b.upper.x) v = v * x_mag;
    }
    return b;
}

}  // namespace velmora
