// The lower and upper bound of the funnel: corner curves, loop removal and
// the scaling of the abscissae around both.
#pragma once

#include <span>

#include "records.hpp"
#include "tube.hpp"

namespace velmora {

// Magnitude of the slope given to a segment narrower than CORNER_EPS.
inline constexpr double VERTICAL_SLOPE = 1e15;
// Abscissae are normalised by their largest magnitude only above this.
inline constexpr double X_SCALE_MIN = 1e-5;

struct Bounds {
    Curve lower;
    Curve upper;
};

// Traces the corners of the tolerance rectangles along the lower
// (upper = false) or upper (upper = true) side. n >= 1, equal lengths.
// The result has 2..2n points and may step back in x at peaks and valleys.
Curve build_corner_curve(std::span<const double> x, std::span<const double> y,
                         std::span<const double> hx, std::span<const double> hy, bool upper);

// Cuts the loops of a corner curve at their self-crossings, in place. Runs in
// time proportional to the curve plus the scans, however many loops it cuts.
void remove_loop(Curve& curve, bool upper);

// The plain transcription of the loop removal that moves the tail of both
// vectors at every cut and insertion. Quadratic on noisy curves; kept as the
// oracle that remove_loop is checked against.
void remove_loop_in_place(Curve& curve, bool upper);

// Both bounds from the filtered reference (n >= 2, non-decreasing x) and its
// half-widths; x_mag is the largest magnitude of the abscissae.
Bounds build_bounds(std::span<const double> x, std::span<const double> y,
                    std::span<const double> hx, std::span<const double> hy, double x_mag);

// The same bounds with the half-widths taken from the tolerances: what
// build_bounds returns for the hx and hy of tube_halfwidths(x, y, data,
// options), without storing them. The abscissae must be finite, as the
// driver's validation leaves them.
Bounds build_bounds(std::span<const double> x, std::span<const double> y, const DataChar& data,
                    const CompareOptions& options);

}  // namespace velmora
