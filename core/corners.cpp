#include "corners.hpp"

#include <algorithm>
#include <cstddef>

#include "lanes.hpp"
#include "storage.hpp"

namespace velmora::detail {

void reserve_corner_curve(Curve& curve, std::size_t n) {
    const std::size_t capacity = 2 * std::max<std::size_t>(n, 1);
    detail::reserve_result(curve.x, capacity);
    detail::reserve_result(curve.y, capacity);
}

void PointBlock::fill_slopes(std::size_t count) noexcept {
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
        detail::store_pair(slope + k,
                           detail::select(detail::fabs_pair(dx) < eps, vertical, dy / dx));
    }
    for (; k + 1 < count; ++k) {
        const CornerPoint a{x[k], y[k], 0.0, 0.0};
        const CornerPoint b{x[k + 1], y[k + 1], 0.0, 0.0};
        slope[k] = slope_of(a, b);
    }
}

}  // namespace velmora::detail
