// Data characteristics of the reference and the half-widths of the funnel.
#pragma once

#include <span>
#include <vector>

#include "records.hpp"

namespace velmora {

// Span and largest magnitude of the abscissae and of the ordinates.
struct DataChar {
    double x_span;
    double y_span;
    double x_mag;
    double y_mag;
};

// One x and one y half-width per reference point.
struct HalfWidths {
    std::vector<double> hx;
    std::vector<double> hy;
};

// Summary of a curve of at least one point. A NaN first element makes the
// results of that axis NaN; later NaNs are passed over.
DataChar get_data_char(std::span<const double> x, std::span<const double> y) noexcept;

// Half-widths from the absolute, span-relative and point-relative
// tolerances, floored at 1e-10. Tolerances are used as given, unchecked.
HalfWidths tube_halfwidths(std::span<const double> x, std::span<const double> y,
                           const DataChar& data, const CompareOptions& options);

}  // namespace velmora
