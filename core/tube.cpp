#include "tube.hpp"

#include <algorithm>
#include <cmath>

#include "lanes.hpp"

namespace velmora {
namespace {

struct Extremes {
    double smallest;
    double largest;
};

// Strict comparisons: a NaN never replaces a running value, but a NaN first
// element is never replaced either and poisons the whole axis.
Extremes extremes(std::span<const double> v) noexcept {
    Extremes e{v[0], v[0]};
    for (double value : v) {
        if (value < e.smallest) e.smallest = value;
        if (value > e.largest) e.largest = value;
    }
    return e;
}

// The same two doubles, with the even and the odd elements scanned in two
// lanes side by side. A smallest or largest value other than zero is one
// double however it is reached; only between -0.0 and +0.0, which compare
// equal, does the order of the scan decide, so a zero result is scanned again
// in order.
Extremes extremes_in_lanes(std::span<const double> v) noexcept {
    using detail::Pair;
    const std::size_t n = v.size();
    const double* p = v.data();
    Pair smallest = detail::pair(p[0], p[0]);
    Pair largest = smallest;
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const Pair value = detail::load_pair(p + i);
        smallest = detail::select(value < smallest, value, smallest);
        largest = detail::select(value > largest, value, largest);
    }
    Extremes e{smallest[0], largest[0]};
    if (smallest[1] < e.smallest) e.smallest = smallest[1];
    if (largest[1] > e.largest) e.largest = largest[1];
    if (i < n) {
        if (p[i] < e.smallest) e.smallest = p[i];
        if (p[i] > e.largest) e.largest = p[i];
    }
    if (e.smallest == 0.0 || e.largest == 0.0) return extremes(v);
    return e;
}

}  // namespace

DataChar get_data_char_sorted(std::span<const double> x, std::span<const double> y) noexcept {
    // The scan keeps the first element as the smallest and the first element
    // equal to the maximum as the largest. Equal non-zero doubles are the
    // same double, so only a maximum of zero needs that first one: -0.0 and
    // +0.0 compare equal but give spans of different sign. Ending in a zero,
    // non-decreasing abscissae have that first zero at n - 1 at the latest,
    // so the search leaves the last element out and falls back on it: the
    // same element, and always one inside x, also when the abscissae are
    // written by another thread during the call and are all negative by the
    // time the search reads them.
    const double smallest = x.front();
    double largest = x.back();
    if (largest == 0.0) {
        largest = *std::partition_point(x.begin(), x.end() - 1, [](double v) { return v < 0.0; });
    }
    const Extremes ey = extremes_in_lanes(y);
    return DataChar{
        largest - smallest,
        ey.largest - ey.smallest,
        detail::max_ignoring_nan(largest, std::fabs(smallest)),
        detail::max_ignoring_nan(ey.largest, std::fabs(ey.smallest)),
    };
}

}  // namespace velmora
