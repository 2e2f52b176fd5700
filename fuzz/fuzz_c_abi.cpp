// libFuzzer target for the C ABI of the library (velmora_funnel.h).
//
// Arbitrary bytes become the arguments of one vf_compare call: each of the
// four arrays null or a buffer of arbitrary doubles (abscissae mostly
// non-decreasing, so that the funnel gets built), a null array with any
// length at all, options null or eight arbitrary doubles, the result pointer
// null or not. What a C caller relies on is checked:
//   - the status is one the header lists, and has a message;
//   - *result is set on every return, null only for VF_STATUS_NO_MEMORY;
//   - a rejected input (10..14) has three empty curves with null pointers,
//     a comparison that ran to the end an error curve over the test
//     abscissae and two bounds of at least one point;
//   - status and doubles are those of velmora::compare on the same spans (a
//     null array as an empty one, null options as the defaults), bit for
//     bit, any not-a-number matching any other;
//   - a null result pointer gets the same status; vf_result_curve gives 0
//     and null pointers for any other curve than the three.
// The buffers are exactly as long as given, so AddressSanitizer catches a
// read past one. Violations trap, so libFuzzer keeps the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <span>

#include "velmora_funnel.h"
#include "velmora_funnel/compare.hpp"

namespace {

// Values on the edges of the arithmetic and around the funnel's thresholds.
// clang-format off
constexpr double SPECIAL[] = {
    0.0, -0.0, 1.0, -1.0, 0.5, 1e-10, 1e-12, 1e-5, 5e-324, 1.7976931348623157e308,
    -1.7976931348623157e308, std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(), 1e300,
};
// clang-format on
constexpr unsigned SPECIAL_COUNT = sizeof(SPECIAL) / sizeof(SPECIAL[0]);

double value(FuzzedDataProvider& in) {
    const unsigned tag = in.ConsumeIntegral<std::uint8_t>();
    if (tag < 160) return (static_cast<double>(tag) - 80.0) / 8.0;
    if (tag < 160 + SPECIAL_COUNT) return SPECIAL[tag - 160];
    const auto raw = in.ConsumeIntegral<std::uint64_t>();
    double d;
    std::memcpy(&d, &raw, sizeof d);
    return d;
}

[[noreturn]] void violated(const char* what, int status) {
    std::fprintf(stderr, "fuzz_c_abi: %s (status %d)\n", what, status);
    std::fflush(stderr);
    __builtin_trap();
}

// Exactly `count` doubles, abscissae mostly in non-decreasing order.
std::unique_ptr<double[]> fill(FuzzedDataProvider& in, std::size_t count, bool abscissae) {
    auto values = std::make_unique<double[]>(count);
    const bool ordered = abscissae && in.ConsumeIntegralInRange<int>(0, 7) != 0;
    double at = value(in);
    for (std::size_t i = 0; i < count; ++i) {
        if (ordered) {
            values[i] = at;
            at += in.ConsumeIntegralInRange<int>(0, 16) / 8.0;
        } else {
            values[i] = value(in);
        }
    }
    return values;
}

bool same_double(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

void check_curve(const vf_result* result, int which, const velmora::Curve& expected, int status) {
    const double* t = nullptr;
    const double* y = nullptr;
    const std::size_t n = vf_result_curve(result, which, &t, &y);
    if (n != expected.x.size())
        violated("a curve of another length than velmora::compare's", status);
    if (n == 0 && (t != nullptr || y != nullptr)) violated("an empty curve with storage", status);
    for (std::size_t i = 0; i < n; ++i) {
        if (!same_double(t[i], expected.x[i]) || !same_double(y[i], expected.y[i])) {
            violated("a double that is not velmora::compare's", status);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto nulls = in.ConsumeIntegral<std::uint8_t>();
    const auto null = [nulls](int bit) { return (nulls >> bit & 1) != 0 && (nulls & 0x80) != 0; };
    // A null array's length is never read, so it may be anything.
    const bool any_length_ref = null(0) && null(1);
    const bool any_length_test = null(2) && null(3);
    const std::size_t n_ref = any_length_ref ? in.ConsumeIntegral<std::size_t>()
                                             : in.ConsumeIntegralInRange<std::size_t>(0, 300);
    const std::size_t n_test = any_length_test ? in.ConsumeIntegral<std::size_t>()
                                               : in.ConsumeIntegralInRange<std::size_t>(0, 300);

    std::unique_ptr<double[]> arrays[4];
    const std::size_t lengths[4] = {n_ref, n_ref, n_test, n_test};
    for (int i = 0; i < 4; ++i) {
        if (!null(i)) arrays[i] = fill(in, lengths[i], i % 2 == 0);
    }
    vf_options options = vf_default_options();
    const bool null_options = in.ConsumeIntegralInRange<int>(0, 3) == 0;
    if (!null_options && in.ConsumeBool()) {
        for (double* field : {&options.atolx, &options.atoly, &options.ltolx, &options.ltoly,
                              &options.rtolx, &options.rtoly, &options.lo, &options.hi}) {
            *field = value(in);
        }
    }

    const double* p[4];
    std::span<const double> spans[4];
    for (int i = 0; i < 4; ++i) {
        p[i] = arrays[i].get();
        if (p[i] != nullptr) spans[i] = {p[i], lengths[i]};
    }
    velmora::CompareOptions expected_options;
    if (!null_options) {
        expected_options.atolx = options.atolx;
        expected_options.atoly = options.atoly;
        expected_options.ltolx = options.ltolx;
        expected_options.ltoly = options.ltoly;
        expected_options.rtolx = options.rtolx;
        expected_options.rtoly = options.rtoly;
        expected_options.lo = options.lo;
        expected_options.hi = options.hi;
    }
    const velmora::CompareResult expected =
        velmora::compare(spans[0], spans[1], spans[2], spans[3], expected_options);

    const vf_options* given_options = null_options ? nullptr : &options;
    const int alone = vf_compare(p[0], p[1], n_ref, p[2], p[3], n_test, given_options, nullptr);
    vf_result* result = nullptr;
    const int status = vf_compare(p[0], p[1], n_ref, p[2], p[3], n_test, given_options, &result);

    if (vf_status_message(status) == nullptr) violated("a status without a message", status);
    if (status == VF_STATUS_BUFFER_TOO_SMALL) violated("a status vf_compare never returns", status);
    if (status != expected.status) violated("another status than velmora::compare's", status);
    if (alone != status) violated("another status without a result pointer", status);
    if ((result == nullptr) != (status == VF_STATUS_NO_MEMORY)) {
        violated("a result that is null for another reason than memory", status);
    }
    check_curve(result, VF_LOWER, expected.lower, status);
    check_curve(result, VF_UPPER, expected.upper, status);
    check_curve(result, VF_ERRORS, expected.errors, status);
    const bool ran = status >= VF_STATUS_FAIL && status <= VF_STATUS_MISSING_TEST;
    if (ran && (expected.errors.x.size() != n_test || expected.lower.x.empty() ||
                expected.upper.x.empty())) {
        violated("a comparison that ran to the end without its curves", status);
    }
    if (!ran &&
        !(expected.lower.x.empty() && expected.upper.x.empty() && expected.errors.x.empty())) {
        violated("a rejected input with curves", status);
    }
    if (ran) {
        for (std::size_t i = 0; i < n_test; ++i) {
            if (!same_double(expected.errors.x[i], p[2][i])) {
                violated("an error curve off the test abscissae", status);
            }
        }
    }
    const int which = in.ConsumeIntegral<int>();
    if (which < VF_LOWER || which > VF_ERRORS) {
        const double* t = &SPECIAL[0];
        const double* y = &SPECIAL[0];
        if (vf_result_curve(result, which, &t, &y) != 0 || t != nullptr || y != nullptr) {
            violated("a curve for an unknown curve number", status);
        }
    }
    vf_result_free(result);
    return 0;
}
