#include "corners_bounds.hpp"

#include "reference/reference.hpp"

namespace velmora::reference {

Bounds build_bounds(std::span<const double> x, std::span<const double> y,
                    std::span<const double> hx, std::span<const double> hy, double x_mag) {
    return detail::trace_bounds(x, y, StoredWidths{hx, hy}, x_mag);
}

}  // namespace velmora::reference
