// Helpers on single doubles that every step of the funnel shares: the one
// closeness threshold and the comparisons built on it, with their rules for
// not-a-number.
#pragma once

#include <cmath>

namespace velmora::detail {

// Threshold of every closeness test: segments narrower than this are
// vertical, values closer than this are equal, no half-width is smaller.
inline constexpr double CORNER_EPS = 1e-10;

// The larger of two doubles where a NaN operand yields the other operand.
inline double max_ignoring_nan(double a, double b) noexcept {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a > b ? a : b;
}

// Strict closeness: false whenever either operand is NaN.
inline bool coincide(double a, double b) noexcept { return std::fabs(a - b) < CORNER_EPS; }

}  // namespace velmora::detail
