// The bounds of the funnel, lower and upper: the corners of both sides traced
// together, each side's loop removal following its tracing, and the scaling
// of the abscissae around both.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "corners.hpp"
#include "corners_loops.hpp"
#include "tube.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora {

// Abscissae are normalised by their largest magnitude only above this.
inline constexpr double X_SCALE_MIN = 1e-5;

struct Bounds {
    Curve lower;
    Curve upper;
};

// Both bounds of the filtered reference (n >= 2, non-decreasing finite x, as
// the driver's validation leaves them), with the half-widths taken from the
// tolerances point by point as the corners are traced, never stored.
Bounds build_bounds(std::span<const double> x, std::span<const double> y, const DataChar& data,
                    const CompareOptions& options);

namespace detail {

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

}  // namespace detail
}  // namespace velmora
