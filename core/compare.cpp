#include "compare.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

#include "corners_bounds.hpp"
#include "doubles.hpp"
#include "errors.hpp"
#include "lanes.hpp"
#include "tube.hpp"

namespace velmora {
namespace {

// Non-decreasing and finite. An infinite abscissa would make x_mag infinite,
// turn every scaled bound abscissa into NaN and let any test curve pass, so
// it is rejected like a NaN one. A NaN fails the ordered comparison with its
// neighbour, so once every pair is ordered all values lie between the ends,
// and the ends alone decide finiteness. The pairs are compared two at a time
// and the verdict is read once per block, not per pair.
bool abscissae_valid(std::span<const double> x) noexcept {
    using detail::PairMask;
    const std::size_t n = x.size();
    const double* v = x.data();
    constexpr std::size_t BLOCK = 512;
    std::size_t i = 0;
    while (i + 2 < n) {
        const std::size_t end = std::min(n - 2, i + BLOCK);
        PairMask ordered = {-1, -1};
        for (; i < end; i += 2) ordered &= detail::load_pair(v + i + 1) >= detail::load_pair(v + i);
        if ((ordered[0] & ordered[1]) != -1) return false;
    }
    for (; i + 1 < n; ++i) {
        if (!(v[i + 1] >= v[i])) return false;
    }
    return std::isfinite(v[0]) && std::isfinite(v[n - 1]);
}

// The indices [first, last) of the points that the range filter retains from
// validated abscissae: on non-decreasing numbers the points with lo <= x <= hi
// are one run, found by bisection. A NaN end retains nothing.
struct IndexRange {
    std::size_t first;
    std::size_t last;
    std::size_t size() const noexcept { return last - first; }
};

IndexRange retained(std::span<const double> x, double lo, double hi) noexcept {
    const auto begin = x.begin();
    const auto first = std::partition_point(begin, x.end(), [lo](double v) { return !(lo <= v); });
    const auto last = std::partition_point(first, x.end(), [hi](double v) { return v <= hi; });
    return {static_cast<std::size_t>(first - begin), static_cast<std::size_t>(last - begin)};
}

CompareResult rejected(Status status) noexcept {
    CompareResult r;
    r.status = status;
    return r;
}

}  // namespace

namespace detail {

Status end_status(std::span<const double> r, std::span<const double> t) noexcept {
    const double r0 = r.front(), rn = r.back(), t0 = t.front(), tm = t.back();
    // The slack scales with the last abscissae only, also at the start.
    const double s = 1e-12 * detail::max_ignoring_nan(std::fabs(rn), std::fabs(tm));
    if (tm > rn + s) return STATUS_MISSING_REFERENCE;
    if (r0 - s > t0) return STATUS_MISSING_REFERENCE;
    if (r0 < t0 - s || tm + s < rn) return STATUS_MISSING_TEST;
    return STATUS_PASS;
}

}  // namespace detail

namespace {

CompareResult compare_or_throw(std::span<const double> t_reference,
                               std::span<const double> y_reference, std::span<const double> t_test,
                               std::span<const double> y_test, const CompareOptions& options) {
    if (t_reference.size() != y_reference.size() || t_test.size() != y_test.size()) {
        return rejected(STATUS_LENGTH_MISMATCH);
    }
    const std::size_t n = t_reference.size();
    const std::size_t m = t_test.size();
    if (n < 2 || m < 2) return rejected(STATUS_INSUFFICIENT_DATA);
    if (!abscissae_valid(t_reference) || !abscissae_valid(t_test)) {
        return rejected(STATUS_NON_MONOTONIC);
    }

    // The range clipped to the reference. The tests against the test curve
    // use the caller's own ends, which a NaN makes false.
    const double lo = options.lo;
    const double hi = options.hi;
    const double eff_lo =
        std::isnan(lo) ? t_reference[0] : (lo > t_reference[0] ? lo : t_reference[0]);
    const double eff_hi =
        std::isnan(hi) ? t_reference[n - 1] : (hi < t_reference[n - 1] ? hi : t_reference[n - 1]);
    if (eff_lo >= eff_hi || t_test[0] > hi || lo > t_test[m - 1])
        return rejected(STATUS_EMPTY_RANGE);

    // The filtered curves are runs of the inputs: the reference is read in
    // place, and of the test curve only the count matters.
    const IndexRange kept = retained(t_reference, lo, hi);
    if (kept.size() < 2) return rejected(STATUS_INSUFFICIENT_DATA);
    if (retained(t_test, lo, hi).size() < 2) return rejected(STATUS_INSUFFICIENT_DATA);
    const std::span<const double> x = t_reference.subspan(kept.first, kept.size());
    const std::span<const double> y = y_reference.subspan(kept.first, kept.size());

    // The half-widths are evaluated point by point while the corners are
    // traced, and the error curve carries the failure test with it.
    const DataChar data = get_data_char_sorted(x, y);
    Bounds bounds = build_bounds(x, y, data, options);
    bool fails = false;
    Curve errors =
        compute_errors(t_test, y_test, bounds.lower, bounds.upper, eff_lo, eff_hi, fails);

    CompareResult result;
    result.status = fails ? STATUS_FAIL : detail::end_status(t_reference, t_test);
    result.lower = std::move(bounds.lower);
    result.upper = std::move(bounds.upper);
    result.errors = std::move(errors);
    return result;
}

}  // namespace

CompareResult compare(std::span<const double> t_reference, std::span<const double> y_reference,
                      std::span<const double> t_test, std::span<const double> y_test,
                      const CompareOptions& options) noexcept {
    // Allocating the bounds and the error curve is the only step that can
    // fail, and it fails through an exception; callers of the C ABI, and C++
    // callers that build without exceptions, get it as a status instead. The
    // vectors made so far are released by the unwinding. A length_error is
    // the same failure for a size beyond what a vector can hold.
    try {
        return compare_or_throw(t_reference, y_reference, t_test, y_test, options);
    } catch (const std::bad_alloc&) {
        return rejected(STATUS_NO_MEMORY);
    } catch (const std::length_error&) {
        return rejected(STATUS_NO_MEMORY);
    }
}

}  // namespace velmora
