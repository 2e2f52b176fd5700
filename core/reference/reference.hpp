// The funnel one step at a time, on whole curves, for the test window
// (velmora_funnel._core_testing) and the fuzzers only: none of it is part of
// the module. Two kinds of function live here. The plain transcriptions are
// the oracles: each computes, the straightforward way, doubles that the
// module computes fused with other steps or streamed (remove_loop_in_place,
// tube_halfwidths, get_data_char, compute_errors, filter_to_range,
// classify_status). The others run one step of the module's own machinery on
// a whole curve, where the module only ever runs it interleaved with the
// other steps (build_corner_curve, remove_loop, build_bounds,
// interpolate_clamped).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "corners_bounds.hpp"
#include "tube.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora::reference {

// --- data characteristics and half-widths ---------------------------------

// Span and largest magnitude of both axes, from a scan of each in order, of
// a curve of at least one point. A NaN first element makes the results of
// that axis NaN; later NaNs are passed over.
DataChar get_data_char(std::span<const double> x, std::span<const double> y) noexcept;

// One x and one y half-width per reference point.
struct HalfWidths {
    std::vector<double> hx;
    std::vector<double> hy;
};

// The half-width rules of both axes at every point, stored.
HalfWidths tube_halfwidths(std::span<const double> x, std::span<const double> y,
                           const DataChar& data, const CompareOptions& options);

// Half-widths given per point, as the stored ones above are.
struct StoredWidths {
    static constexpr bool uniform = false;
    std::span<const double> hxs, hys;
    double hx(std::span<const double>, std::size_t i) const noexcept { return hxs[i]; }
    double hy(std::span<const double>, std::size_t i) const noexcept { return hys[i]; }
};

// --- corner curve -----------------------------------------------------------

// Traces the corners of the tolerance rectangles along the lower
// (upper = false) or upper (upper = true) side. n >= 1, equal lengths.
// The result has 2..2n points and may step back in x at peaks and valleys.
Curve build_corner_curve(std::span<const double> x, std::span<const double> y,
                         std::span<const double> hx, std::span<const double> hy, bool upper);

// --- loop removal -------------------------------------------------------------

// The module's loop removal run on a complete corner curve, in place.
void remove_loop(Curve& curve, bool upper);

// The plain transcription of the loop removal that moves the tail of both
// vectors at every cut and insertion. Quadratic on noisy curves; the oracle
// that remove_loop is checked against.
void remove_loop_in_place(Curve& curve, bool upper);

// --- bounds -------------------------------------------------------------------

// Both bounds from the filtered reference (n >= 2, non-decreasing x) and
// stored half-widths; x_mag is the largest magnitude of the abscissae.
Bounds build_bounds(std::span<const double> x, std::span<const double> y,
                    std::span<const double> hx, std::span<const double> hy, double x_mag);

// --- error curve ----------------------------------------------------------------

// Values of the bound (X, Y), n >= 1, at non-decreasing queries: constant
// continuation beyond both ends, linear inside, the left ordinate across a
// segment narrower than CORNER_EPS. One forward walk: cost n + m.
std::vector<double> interpolate_clamped(std::span<const double> X, std::span<const double> Y,
                                        std::span<const double> queries);

// One error point per test point, from the values of both bounds at every
// test abscissa. Bounds must have at least one point each.
Curve compute_errors(std::span<const double> t, std::span<const double> y, const Curve& lower,
                     const Curve& upper);

// --- driver -------------------------------------------------------------------

// The points whose abscissa lies in the closed range [lo, hi]; a NaN in the
// abscissa or in either end drops the point.
Curve filter_to_range(std::span<const double> x, std::span<const double> y, double lo, double hi);

// Turns the error curve and the curve ends into FAIL, MISSING_REFERENCE,
// MISSING_TEST or PASS.
Status classify_status(std::span<const double> t_reference, std::span<const double> t_test,
                       std::span<const double> errors, double lo, double hi) noexcept;

}  // namespace velmora::reference
