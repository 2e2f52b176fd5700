// The C ABI of the library (velmora_funnel.h): the C++ API behind plain
// pointers, lengths and one opaque result. Nothing here computes; every
// double comes from velmora::compare as it is.
#include <cstddef>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "velmora_funnel.h"
#include "velmora_funnel/compare.hpp"
#include "velmora_funnel/records.hpp"

// A C caller compares the returned int with the VF_STATUS_* values, a C++
// caller with velmora::STATUS_*: they must be the same numbers.
static_assert(sizeof(int) == sizeof(velmora::Status));
static_assert(VF_STATUS_FAIL == velmora::STATUS_FAIL);
static_assert(VF_STATUS_PASS == velmora::STATUS_PASS);
static_assert(VF_STATUS_MISSING_REFERENCE == velmora::STATUS_MISSING_REFERENCE);
static_assert(VF_STATUS_MISSING_TEST == velmora::STATUS_MISSING_TEST);
static_assert(VF_STATUS_NON_MONOTONIC == velmora::STATUS_NON_MONOTONIC);
static_assert(VF_STATUS_LENGTH_MISMATCH == velmora::STATUS_LENGTH_MISMATCH);
static_assert(VF_STATUS_EMPTY_RANGE == velmora::STATUS_EMPTY_RANGE);
static_assert(VF_STATUS_BUFFER_TOO_SMALL == velmora::STATUS_BUFFER_TOO_SMALL);
static_assert(VF_STATUS_INSUFFICIENT_DATA == velmora::STATUS_INSUFFICIENT_DATA);
static_assert(VF_STATUS_NO_MEMORY == velmora::STATUS_NO_MEMORY);

// The opaque result of the C header: the C++ result, owned by the library.
struct vf_result {
    velmora::CompareResult compared;
};

namespace {

// A null array is an array of no points, whatever length comes with it, so
// that a forgotten array is rejected by the comparison's own length and
// count checks instead of being read.
std::span<const double> points(const double* values, std::size_t count) noexcept {
    if (values == nullptr) return {};
    return {values, count};
}

velmora::CompareOptions from_c(const vf_options& o) noexcept {
    velmora::CompareOptions options;
    options.atolx = o.atolx;
    options.atoly = o.atoly;
    options.ltolx = o.ltolx;
    options.ltoly = o.ltoly;
    options.rtolx = o.rtolx;
    options.rtoly = o.rtoly;
    options.lo = o.lo;
    options.hi = o.hi;
    return options;
}

const velmora::Curve* curve_of(const vf_result& result, int which) noexcept {
    switch (which) {
        case VF_LOWER: return &result.compared.lower;
        case VF_UPPER: return &result.compared.upper;
        case VF_ERRORS: return &result.compared.errors;
        default: return nullptr;
    }
}

}  // namespace

extern "C" {

vf_options vf_default_options() noexcept {
    const velmora::CompareOptions defaults;
    return {defaults.atolx, defaults.atoly, defaults.ltolx, defaults.ltoly,
            defaults.rtolx, defaults.rtoly, defaults.lo,    defaults.hi};
}

int vf_compare(const double* t_ref, const double* y_ref, std::size_t n_ref, const double* t_test,
               const double* y_test, std::size_t n_test, const vf_options* options,
               vf_result** result) noexcept {
    if (result != nullptr) *result = nullptr;
    const velmora::CompareOptions chosen =
        options == nullptr ? velmora::CompareOptions{} : from_c(*options);
    velmora::CompareResult compared =
        velmora::compare(points(t_ref, n_ref), points(y_ref, n_ref), points(t_test, n_test),
                         points(y_test, n_test), chosen);
    const int status = compared.status;
    if (result == nullptr || status == VF_STATUS_NO_MEMORY) return status;
    // The comparison reports its own allocation failures as a status; the
    // one allocation left, the result's holder, must not throw through C
    // either, and fails the same way.
    auto* owned = new (std::nothrow) vf_result{std::move(compared)};
    if (owned == nullptr) return VF_STATUS_NO_MEMORY;
    *result = owned;
    return status;
}

std::size_t vf_result_curve(const vf_result* result, int which, const double** t,
                            const double** y) noexcept {
    const velmora::Curve* curve = result == nullptr ? nullptr : curve_of(*result, which);
    // An empty vector may or may not have storage; the caller sees null
    // either way, so no caller comes to rely on one or the other.
    const bool filled = curve != nullptr && !curve->x.empty();
    if (t != nullptr) *t = filled ? curve->x.data() : nullptr;
    if (y != nullptr) *y = filled ? curve->y.data() : nullptr;
    return filled ? curve->x.size() : 0;
}

void vf_result_free(vf_result* result) noexcept { delete result; }

const char* vf_status_message(int status) noexcept {
    const std::string_view message = velmora::status_message(status);
    return message.empty() ? nullptr : message.data();
}

const char* vf_version() noexcept { return velmora::version().data(); }

}  // extern "C"
