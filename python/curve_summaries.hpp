// The loops behind a comparison's summaries, over plain spans: the margin of
// each test point in the funnel, the error curve's summary, the funnel's
// half-widths and the values that are not finite. No Python here; _kernels
// binds them one by one (a caller that asks for one summary pays for one)
// and all at once (a batch lists them all for every variable, in one call).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "errors.hpp"
#include "lanes.hpp"
#include "tube.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora::python::summaries {

// ---------------------------------------------------------------------------
// Margins

// The reference at one abscissa, as a margin measures against it: its y
// half-width there, and, inside its span, the band of its ordinates there
// (one value, or the ends of a step).
struct ReferenceAt {
    double half;
    bool spanned;
    double low;
    double high;
};

// How much of the band of one half-width around the reference a point keeps
// (1 on the reference, 0 a half-width off it); NaN outside the reference's
// span, where there is no band, or for a NaN ordinate.
inline double band_of(double v, const ReferenceAt& at) noexcept {
    // Between two reference abscissae the band is one ordinate, and the
    // distance to it is |v - y| to the last bit (a - b is -(b - a), and a
    // NaN on either side gives NaN), without the branches on its side.
    if (at.low == at.high) return 1.0 - std::fabs(v - at.low) / at.half;
    double off = NAN;
    if (v < at.low) {
        off = at.low - v;
    } else if (v > at.high) {
        off = v - at.high;
    } else if (v >= at.low && v <= at.high) {
        off = 0.0;
    }
    return 1.0 - off / at.half;
}

// The reference at each of a non-decreasing run of abscissae. Its y
// half-width by the core's rule for each reference point: at a reference
// abscissa the smallest of the points there (a step has several), strictly
// between two reference abscissae the linear interpolation of the two
// points' half-widths, before the first and after the last that of the end.
// So a test point that lies on a reference point is measured against no more
// than that point's own half-width. Its ordinates likewise: those of the
// points at the abscissa, else interpolated; outside its span, none.
class ReferenceWalk {
public:
    ReferenceWalk(std::span<const double> t, std::span<const double> y,
                  const detail::AxisRule& rule) noexcept
        : t_(t), y_(y), rule_(rule) {
        // Where the rule gives every point one finite half-width, the
        // interpolation between two of them is that half-width to the last
        // bit ((q - t0) * 0 / d + h is h), so it is not computed; an
        // infinite one is (inf - inf makes it NaN).
        const double h = rule.halfwidth(0.0);
        uniform_ = rule.uniform(false) && std::isfinite(h);
        uniform_half_ = h;
    }

    // The one finite half-width of every point, if the rule gives them one.
    bool uniform() const noexcept { return uniform_; }
    double uniform_half() const noexcept { return uniform_half_; }

    ReferenceAt operator()(double q) noexcept {
        const std::size_t n = t_.size();
        // Test points come about one to a reference segment: the first
        // step is taken without a branch, which would be mispredicted about
        // every other query.
        std::size_t next = next_;
        if (next < n) next += static_cast<std::size_t>(t_[next] < q);
        while (next < n && t_[next] < q) ++next;
        next_ = next;
        if (next_ < n && t_[next_] == q) return group(next_);
        if (next_ == 0 || next_ == n) {
            ReferenceAt at = group(next_ == 0 ? 0 : first_of_last());
            at.spanned = false;
            return at;
        }
        const std::size_t j = next_;
        const double t0 = t_[j - 1];
        const double d = t_[j] - t0;
        const double y = y_[j - 1] + (q - t0) * (y_[j] - y_[j - 1]) / d;
        if (uniform_) return {uniform_half_, true, y, y};
        if (j != segment_) {
            // Queries come several to a segment: its ends' half-widths once.
            segment_ = j;
            h0_ = width(j - 1);
            h1_ = width(j);
        }
        return {h0_ + (q - t0) * (h1_ - h0_) / d, true, y, y};
    }

private:
    double width(std::size_t i) const noexcept { return rule_.halfwidth(y_[i]); }

    // The points that share the abscissa of point i (the first of them):
    // the smallest half-width and the lowest and highest ordinate, NaN
    // passed over; kept for the next query at the same abscissa, so
    // repeated test abscissae cost no rescan.
    ReferenceAt group(std::size_t i) noexcept {
        if (i == cached_) return cached_at_;
        ReferenceAt at{NAN, true, NAN, NAN};
        for (std::size_t k = i; k < t_.size() && t_[k] == t_[i]; ++k) {
            const double h = width(k);
            if (std::isnan(at.half) || h < at.half) at.half = h;
            if (std::isnan(at.low) || y_[k] < at.low) at.low = y_[k];
            if (std::isnan(at.high) || y_[k] > at.high) at.high = y_[k];
        }
        cached_ = i;
        cached_at_ = at;
        return at;
    }

    std::size_t first_of_last() const noexcept {
        std::size_t i = t_.size() - 1;
        while (i > 0 && t_[i - 1] == t_[i]) --i;
        return i;
    }

    std::span<const double> t_;
    std::span<const double> y_;
    detail::AxisRule rule_;
    bool uniform_ = false;
    double uniform_half_ = NAN;
    std::size_t next_ = 0;
    std::size_t segment_ = 0;  // no segment ends at point 0
    double h0_ = NAN;
    double h1_ = NAN;
    std::size_t cached_ = static_cast<std::size_t>(-1);
    ReferenceAt cached_at_{NAN, false, NAN, NAN};
};

// The curves a margin is taken of: the funnel's bounds, the reference points
// it was built from with their data characteristics, and the test points
// inside the range with their errors.
struct MarginCurves {
    std::span<const double> lower_t, lower_y, upper_t, upper_y;
    std::span<const double> ref_t, ref_y;
    DataChar data;
    std::span<const double> t, v, errors;
};

struct Smallest {
    double margin = NAN;
    std::ptrdiff_t where = -1;  // -1 when every margin is NaN
};

struct BoundsAt {
    double low;
    double high;
};

// Both bounds at q, to the bit as the module's error pass interpolates them:
// where both interpolate, in the two lanes of one division.
inline BoundsAt bounds_at(detail::ClampedInterpolation& low, detail::ClampedInterpolation& high,
                          double q) noexcept {
    if (!low.interior(q) || !high.interior(q)) return {low(q), high(q)};
    using detail::Pair;
    using detail::pair;
    const std::size_t jl = low.seek(q);
    const std::size_t ju = high.seek(q);
    const Pair x0 = pair(low.X()[jl - 1], high.X()[ju - 1]);
    const Pair y0 = pair(low.Y()[jl - 1], high.Y()[ju - 1]);
    const Pair d = pair(low.X()[jl], high.X()[ju]) - x0;
    const Pair y1 = pair(low.Y()[jl], high.Y()[ju]);
    const Pair value = ((pair(q, q) - x0) * (y1 - y0)) / d + y0;
    const Pair eps = pair(detail::CORNER_EPS, detail::CORNER_EPS);
    const Pair chosen = detail::select(detail::fabs_pair(d) < eps, y0, value);
    return {chosen[0], chosen[1]};
}

// Whether both bounds at q lie at least `beat` from v, told from the ends of
// the segments that hold q, before any division. Computed in rounded
// arithmetic, a value interpolated within a segment still lies between the
// segment's ends but for under 5 eps (|y0| + |y1|), and for what an underflow
// loses (far below 1e-300 over a segment at least CORNER_EPS wide): ends
// kept that much farther than `beat` from v keep the value too (rounding is
// monotonic). False, undecided, outside the interior, for a query outside
// its segment, and for a NaN.
inline bool clear_by_ends(detail::ClampedInterpolation& low, detail::ClampedInterpolation& high,
                          double q, double v, double beat) noexcept {
    if (!low.interior(q) || !high.interior(q)) return false;
    const std::size_t jl = low.seek(q);
    const std::size_t ju = high.seek(q);
    const double* lx = low.X();
    const double* ux = high.X();
    if (!(lx[jl - 1] <= q && q <= lx[jl] && ux[ju - 1] <= q && q <= ux[ju])) return false;
    constexpr double slack = 8.0 * std::numeric_limits<double>::epsilon();
    constexpr double tiny = 1e-300;
    const double l0 = low.Y()[jl - 1];
    const double l1 = low.Y()[jl];
    const double u0 = high.Y()[ju - 1];
    const double u1 = high.Y()[ju];
    const double highest_low =
        (l0 > l1 ? l0 : l1) + (slack * (std::fabs(l0) + std::fabs(l1)) + tiny);
    const double lowest_high =
        (u0 < u1 ? u0 : u1) - (slack * (std::fabs(u0) + std::fabs(u1)) + tiny);
    return lowest_high - v >= beat && v - highest_low >= beat;
}

// The distance of v to the nearer bound; NaN if either distance is NaN.
inline double nearer_bound(double v, const BoundsAt& b) noexcept {
    const double above = b.high - v;
    const double below = v - b.low;
    // NumPy's minimum and maximum: the first operand on a tie (0.0 and -0.0).
    return std::isnan(above) || std::isnan(below) ? NAN : (above <= below ? above : below);
}

// The margin of one test point: its distance to the nearer bound in units of
// the reference's y half-width at its abscissa (1: a whole y tolerance to
// spare, 0 on a bound), or minus its error in those units where the error
// curve says it fails. The funnel's own height is no measure: at a step of
// the reference it is as tall as the step, and every point there would look
// like a near miss. NaN propagates as NumPy's minimum and maximum propagate it.
// `band` is band_of(v, at), read only for a passing point inside the
// reference span; the caller has it at hand.
inline double margin_of(double v, const BoundsAt& bounds, double error, const ReferenceAt& at,
                        double band) noexcept {
    if (std::isnan(v)) return NAN;
    // The error curve is the verdict: a failing point is outside by its
    // error, and below 0 even against a half-width too large for the
    // quotient to show it; a passing one is never below 0, whatever the
    // rounding here.
    if (error != 0.0) {
        const double margin = -std::fabs(error) / at.half;
        return std::isnan(margin) || margin < 0.0 ? margin
                                                  : -std::numeric_limits<double>::denorm_min();
    }
    double margin = nearer_bound(v, bounds) / at.half;
    // The funnel holds the band of one half-width around the reference, so
    // a point that far inside the band has at least that much to spare; the
    // bounds, traced and interpolated in rounded arithmetic, can fall short
    // of it by a few units in the last place, and a test equal to its
    // reference would have a margin just below 1.
    if (at.spanned && !std::isnan(margin) && band > margin) margin = band;
    return std::isnan(margin) || margin >= 0.0 ? margin : 0.0;
}

// Every margin into out (unless null), and the smallest with its index, the
// first of equals, NaN skipped, as NumPy's nanargmin. Without out, a point
// that cannot come first is passed over before its divisions: its margin is
// at least its band, and at least its distance to the nearer bound over the
// half-width, so one of them at or above the smallest so far rules it out.
inline Smallest scan_margins(const MarginCurves& c, const CompareOptions& options,
                             double* out) noexcept {
    // The module's own interpolation of the bounds, so that a margin of 0
    // lies where the error curve puts the bound.
    detail::ClampedInterpolation low(c.lower_t, c.lower_y);
    detail::ClampedInterpolation high(c.upper_t, c.upper_y);
    // The core's own rule of the reference points the funnel was built from
    // (only the ordinates' part of their data characteristics is read).
    ReferenceWalk reference(c.ref_t, c.ref_y, detail::y_rule(c.data, options));
    // With one half-width h for every point, a passing point whose nearer
    // bound lies at or beyond `beat`, the smallest margin times h rounded
    // up, has a quotient at or above the smallest (rounding is monotonic):
    // a multiplication per new smallest replaces two divisions per point,
    // and on a test near its reference nearly every point is ruled out so.
    const double h = reference.uniform_half();
    const bool by_bounds = out == nullptr && reference.uniform() && h > 0.0;
    double beat = NAN;  // nothing is ruled out before a first margin
    Smallest smallest;
    const std::size_t m = c.t.size();
    for (std::size_t i = 0; i < m; ++i) {
        const double q = c.t[i];
        const double v = c.v[i];
        const double error = c.errors[i];
        BoundsAt bounds{NAN, NAN};
        if (by_bounds && error == 0.0) {
            if (clear_by_ends(low, high, q, v, beat)) continue;
            bounds = bounds_at(low, high, q);
            if (nearer_bound(v, bounds) >= beat) continue;
        }
        const ReferenceAt at = reference(q);
        const double band = at.spanned && error == 0.0 ? band_of(v, at) : NAN;
        if (out == nullptr && smallest.where >= 0 && band >= smallest.margin) continue;
        if (!by_bounds && error == 0.0) bounds = bounds_at(low, high, q);
        const double margin = margin_of(v, bounds, error, at, band);
        if (out != nullptr) out[i] = margin;
        if (margin < smallest.margin || (smallest.where < 0 && !std::isnan(margin))) {
            smallest.margin = margin;
            smallest.where = static_cast<std::ptrdiff_t>(i);
            beat = std::nextafter(margin * h, std::numeric_limits<double>::infinity());
        }
    }
    return smallest;
}

// ---------------------------------------------------------------------------
// Error summary

// What the verdict's summary needs of the error curve over the points with
// lo <= t <= hi: how many there are, the error of largest magnitude (the
// first of equals) or whether one is NaN, and the failing points (a non-zero
// or NaN error), counted, with the index of the first.
struct ErrorSummary {
    std::ptrdiff_t inside = 0;
    std::ptrdiff_t failing = 0;
    std::ptrdiff_t first = -1;
    double largest = 0.0;
    bool nan = false;

    // The error of largest magnitude so far, the first of equals; a NaN is
    // noted, never compared.
    void take_largest(double error, double& largest_magnitude) noexcept {
        if (std::isnan(error)) {
            nan = true;
        } else if (std::fabs(error) > largest_magnitude) {
            largest_magnitude = std::fabs(error);
            largest = error;
        }
    }
};

inline ErrorSummary summarise_errors(std::span<const double> t, std::span<const double> e,
                                     double lo, double hi) noexcept {
    ErrorSummary s;
    double largest_magnitude = -1.0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const double q = t[i];
        if (!(lo <= q && q <= hi)) continue;
        ++s.inside;
        const double error = e[i];
        if (error != 0.0) {
            if (s.first < 0) s.first = static_cast<std::ptrdiff_t>(i);
            ++s.failing;
        }
        s.take_largest(error, largest_magnitude);
    }
    return s;
}

// The same of errors that all lie inside the range. Most variables pass, and
// their errors are all 0: one pass that compiles to vector code says so, and
// only a failing curve is read again, from its first failure on.
inline ErrorSummary summarise_errors_inside(std::span<const double> e) noexcept {
    ErrorSummary s;
    s.inside = static_cast<std::ptrdiff_t>(e.size());
    if (e.empty()) return s;
    std::ptrdiff_t failing = 0;
    for (const double error : e) failing += error != 0.0 ? 1 : 0;
    if (failing == 0) {
        // Every error is a zero: the first is the first of equals.
        s.largest = e[0];
        return s;
    }
    s.failing = failing;
    std::size_t i = 0;
    while (e[i] == 0.0) ++i;
    s.first = static_cast<std::ptrdiff_t>(i);
    // The zeros before the first failure are of magnitude 0: the largest so
    // far is the first of them, if there is one.
    if (i > 0) s.largest = e[0];
    double largest_magnitude = i > 0 ? 0.0 : -1.0;
    for (; i < e.size(); ++i) s.take_largest(e[i], largest_magnitude);
    return s;
}

// ---------------------------------------------------------------------------
// Half-widths

// Non-decreasing and finite, as the driver validates the reference
// abscissae before it summarises them: a NaN fails the ordered comparison
// with its neighbour, so once every pair is ordered the ends alone decide
// finiteness.
// The pairs are tested two at a time and without a branch: the abscissae a
// summary gets come from a completed comparison and are ordered, and a loop
// that can leave at every pair does not compile to vector code.
inline bool abscissae_ordered(std::span<const double> t) noexcept {
    using detail::load_pair;
    const double* x = t.data();
    const std::size_t n = t.size();
    detail::PairMask ordered{-1, -1};
    std::size_t i = 0;
    // pairs (i, i + 1) and (i + 1, i + 2)
    for (; i + 2 < n; i += 2) ordered &= load_pair(x + i + 1) >= load_pair(x + i);
    bool all = ordered[0] != 0 && ordered[1] != 0;
    if (i + 1 < n) all = all && x[i + 1] >= x[i];
    return all && std::isfinite(t.front()) && std::isfinite(t.back());
}

struct WidthRange {
    double smallest = NAN;
    double largest = NAN;

    // NaN passed over, so a NaN pair says that no half-width is a number.
    void add(double h) noexcept {
        if (std::isnan(h)) return;
        if (std::isnan(smallest) || h < smallest) smallest = h;
        if (std::isnan(largest) || h > largest) largest = h;
    }
};

// Over the points as the bounds see them: one half-width for every point
// when the rule says they all share it (evaluated at 0, as the bounds
// evaluate it), else each point's own.
inline WidthRange width_range(const detail::AxisRule& rule, bool finite_coordinates,
                              std::span<const double> coordinates) noexcept {
    WidthRange range;
    if (rule.uniform(finite_coordinates)) {
        range.add(rule.halfwidth(0.0));
    } else {
        for (const double c : coordinates) range.add(rule.halfwidth(c));
    }
    return range;
}

// ---------------------------------------------------------------------------
// Values that are not finite

// All exponent bits set: an infinity or a NaN (an integer test, which no
// rounding or signalling NaN can change).
inline bool non_finite_bits(double x) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7ff0000000000000ULL) == 0x7ff0000000000000ULL;
}

// x * 0 is a zero for every finite x and NaN for an infinity or a NaN, and a
// sum of zeros stays a zero while a NaN stays NaN: plain SSE2 arithmetic,
// eight values a step in four independent sums, where the bit test compiles
// to an emulated 64-bit comparison. Exact whatever the order of the sums.
inline bool all_finite(std::span<const double> values) noexcept {
    using detail::load_pair;
    using detail::Pair;
    const double* x = values.data();
    const std::size_t n = values.size();
    Pair a{0.0, 0.0};
    Pair b = a;
    Pair c = a;
    Pair d = a;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const Pair x0 = load_pair(x + i);
        const Pair x1 = load_pair(x + i + 2);
        const Pair x2 = load_pair(x + i + 4);
        const Pair x3 = load_pair(x + i + 6);
        a += x0 * 0.0;
        b += x1 * 0.0;
        c += x2 * 0.0;
        d += x3 * 0.0;
    }
    const Pair sum = (a + b) + (c + d);
    double rest = sum[0] + sum[1];
    for (; i < n; ++i) rest += x[i] * 0.0;
    return rest == 0.0;
}

struct NonFinite {
    std::ptrdiff_t nan = 0;
    std::ptrdiff_t inf = 0;
};

inline NonFinite count_non_finite(std::span<const double> values) noexcept {
    NonFinite counts;
    if (all_finite(values)) return counts;
    for (const double x : values) {
        counts.nan += std::isnan(x) ? 1 : 0;
        counts.inf += std::isinf(x) ? 1 : 0;
    }
    return counts;
}

// The points of a curve with an abscissa or an ordinate that is not finite.
inline std::ptrdiff_t non_finite_points(std::span<const double> t,
                                        std::span<const double> y) noexcept {
    if (all_finite(t) && all_finite(y)) return 0;
    std::ptrdiff_t count = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        count += non_finite_bits(t[i]) || non_finite_bits(y[i]) ? 1 : 0;
    }
    return count;
}

// The points of non-decreasing abscissae with lo <= t <= hi, as NumPy's
// searchsorted on the left of lo and on the right of hi finds them.
inline std::span<const double> slice_between(std::span<const double> t, double lo,
                                             double hi) noexcept {
    const auto begin = std::lower_bound(t.begin(), t.end(), lo);
    const auto end = std::upper_bound(begin, t.end(), hi);
    return t.subspan(static_cast<std::size_t>(begin - t.begin()),
                     static_cast<std::size_t>(end - begin));
}

}  // namespace velmora::python::summaries
