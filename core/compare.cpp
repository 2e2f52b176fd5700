#include "compare.hpp"

#include <cmath>

#include "corners.hpp"
#include "errors.hpp"
#include "tube.hpp"

namespace velmora {
namespace {

// Non-decreasing and finite. An infinite abscissa would make x_mag infinite,
// turn every scaled bound abscissa into NaN and let any test curve pass, so
// it is rejected like a NaN one.
bool abscissae_valid(std::span<const double> x) noexcept {
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
        if (!(x[i + 1] >= x[i])) return false;
    }
    for (double v : x) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

CompareResult rejected(Status status) {
    CompareResult r;
    r.status = status;
    return r;
}

}  // namespace

Curve filter_to_range(std::span<const double> x, std::span<const double> y, double lo, double hi) {
    Curve out;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (lo <= x[i] && x[i] <= hi) {
            out.x.push_back(x[i]);
            out.y.push_back(y[i]);
        }
    }
    return out;
}

Status classify_status(std::span<const double> r, std::span<const double> t,
                       std::span<const double> errors, double lo, double hi) noexcept {
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (errors[i] != 0.0 && lo <= t[i] && t[i] <= hi) return STATUS_FAIL;
    }
    const double r0 = r.front(), rn = r.back(), t0 = t.front(), tm = t.back();
    // The slack scales with the last abscissae only, also at the start.
    const double s = 1e-12 * detail::max_ignoring_nan(std::fabs(rn), std::fabs(tm));
    if (tm > rn + s) return STATUS_MISSING_REFERENCE;
    if (r0 - s > t0) return STATUS_MISSING_REFERENCE;
    if (r0 < t0 - s || tm + s < rn) return STATUS_MISSING_TEST;
    return STATUS_PASS;
}

CompareResult compare(std::span<const double> t_reference, std::span<const double> y_reference,
                      std::span<const double> t_test, std::span<const double> y_test,
                      const CompareOptions& options) {
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
    const double eff_lo = std::isnan(lo) ? t_reference[0] : (lo > t_reference[0] ? lo : t_reference[0]);
    const double eff_hi = std::isnan(hi) ? t_reference[n - 1] : (hi < t_reference[n - 1] ? hi : t_reference[n - 1]);
    if (eff_lo >= eff_hi || t_test[0] > hi || lo > t_test[m - 1]) return rejected(STATUS_EMPTY_RANGE);

    const Curve reference = filter_to_range(t_reference, y_reference, lo, hi);
    if (reference.x.size() < 2) return rejected(STATUS_INSUFFICIENT_DATA);
    const Curve test = filter_to_range(t_test, y_test, lo, hi);
    if (test.x.size() < 2) return rejected(STATUS_INSUFFICIENT_DATA);

    const DataChar data = get_data_char(reference.x, reference.y);
    const HalfWidths widths = tube_halfwidths(reference.x, reference.y, data, options);
    Bounds bounds = build_bounds(reference.x, reference.y, widths.hx, widths.hy, data.x_mag);
    Curve errors = compute_errors(t_test, y_test, bounds.lower, bounds.upper);

    CompareResult result;
    result.status = classify_status(t_reference, t_test, errors.y, eff_lo, eff_hi);
    result.lower = std::move(bounds.lower);
    result.upper = std::move(bounds.upper);
    result.errors = std::move(errors);
    return result;
}

}  // namespace velmora
