// Data characteristics of the reference and the half-widths of the funnel.
#pragma once

#include <cmath>
#include <span>

#include "doubles.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora {

// Span and largest magnitude of the abscissae and of the ordinates.
struct DataChar {
    double x_span;
    double y_span;
    double x_mag;
    double y_mag;
};

// The summary of a curve of at least one point whose abscissae are
// non-decreasing and finite, as the driver has them after validation: the
// abscissa extremes are read at the ends (and, for a zero maximum, at the
// first zero) instead of scanned. The result is the four doubles of a scan of
// both axes in order, where a NaN first element makes the results of that
// axis NaN and later NaNs are passed over.
DataChar get_data_char_sorted(std::span<const double> x, std::span<const double> y) noexcept;

namespace detail {

// The half-width rule of one axis, with its per-call constants computed once:
// the absolute, span-relative and point-relative tolerances, floored at
// 1e-10, used as given, unchecked. The bounds evaluate it point by point
// while they trace the corners instead of storing the half-widths.
struct AxisRule {
    double base;      // max(absolute, relative span)
    double fallback;  // relative magnitude, for a curve without span
    bool fallback_enabled;
    double local;  // fraction of each point's own magnitude

    AxisRule(double atol, double ltol, double rtol, double span, double mag) noexcept
        : base(max_ignoring_nan(atol, rtol * span)), fallback(rtol * mag),
          // |NaN| < eps is false, so a NaN tolerance keeps the fallback on;
          // max() then ignores the NaN it yields.
          fallback_enabled(!(std::fabs(rtol) < CORNER_EPS)), local(ltol) {}

    // Whether every coordinate gets the same half-width. With a zero local
    // tolerance the local term is the same signed zero for every finite
    // coordinate, and a NaN that max() passes over for an infinite or NaN
    // one, which changes nothing when the base is positive.
    bool uniform(bool finite_coordinates) const noexcept {
        return local == 0.0 && (finite_coordinates || base > 0.0);
    }

    double halfwidth(double coordinate) const noexcept {
        double h = max_ignoring_nan(base, local * std::fabs(coordinate));
        if (std::fabs(h) < CORNER_EPS) {
            if (fallback_enabled) h = max_ignoring_nan(h, fallback);
            if (std::fabs(h) < CORNER_EPS) h = CORNER_EPS;
        }
        return h;
    }
};

inline AxisRule x_rule(const DataChar& data, const CompareOptions& o) noexcept {
    return AxisRule(o.atolx, o.ltolx, o.rtolx, data.x_span, data.x_mag);
}
inline AxisRule y_rule(const DataChar& data, const CompareOptions& o) noexcept {
    return AxisRule(o.atoly, o.ltoly, o.rtoly, data.y_span, data.y_mag);
}

}  // namespace detail

}  // namespace velmora
