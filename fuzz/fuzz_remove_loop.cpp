// libFuzzer target for the loop removal of the funnel's corner curves.
//
// Arbitrary bytes become either an arbitrary curve (any abscissae and
// ordinates, backward steps, coinciding points, infinities, not-a-number) or
// the corner curve of an arbitrary reference with arbitrary half-widths, the
// kind of curve the bounds construction hands over. Each is cut by both
// remove_loop (the one the funnel uses) and remove_loop_in_place (the plain
// transcription kept as its oracle), which must agree on every length and on
// every double bit for bit (any not-a-number
// matching any other); a curve of four or more points must keep at least
// one, and a shorter curve must come back unchanged. The whole bounds
// construction runs on the same reference as well. Violations trap, so
// libFuzzer keeps the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "reference/reference.hpp"
#include "velmora_funnel/records.hpp"

namespace {

using velmora::Curve;

// Values on the edges of the arithmetic and around the funnel's closeness
// thresholds (1e-10 and the abscissa scaling limit 1e-5).
// clang-format off
constexpr double SPECIAL[] = {
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-10, -1e-10, 1.1e-10, 9e-11, 1e-12, 1e-5, 1.00001e-5,
    5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
    std::numeric_limits<double>::quiet_NaN(), 1e15, -1e15, 1e300, 3.0, 10.0, 0.1, 1e-300,
};
// clang-format on
constexpr unsigned SPECIAL_COUNT = sizeof(SPECIAL) / sizeof(SPECIAL[0]);

// Mostly a coarse grid, so that ties, repeats and backward steps are common;
// sometimes a special value; sometimes any bit pattern.
double value(FuzzedDataProvider& in) {
    const unsigned tag = in.ConsumeIntegral<std::uint8_t>();
    if (tag < 160) return (static_cast<double>(tag) - 80.0) / 8.0;
    if (tag < 160 + SPECIAL_COUNT) return SPECIAL[tag - 160];
    std::uint64_t raw = in.ConsumeIntegral<std::uint64_t>();
    double d;
    std::memcpy(&d, &raw, sizeof d);
    return d;
}

void print_curve(const char* name, const Curve& c) {
    std::fprintf(stderr, "%s x = [", name);
    for (double v : c.x) std::fprintf(stderr, "%.17g, ", v);
    std::fprintf(stderr, "]\n%s y = [", name);
    for (double v : c.y) std::fprintf(stderr, "%.17g, ", v);
    std::fprintf(stderr, "]\n");
}

[[noreturn]] void violated(const char* what, std::size_t n) {
    std::fprintf(stderr, "fuzz_remove_loop: %s (curve of %zu points)\n", what, n);
    std::fflush(stderr);
    __builtin_trap();
}

// Equal bit for bit; the one exception is not-a-number, whose sign and
// payload carry no meaning and depend on the operand order of the operation
// that produced it.
bool same_doubles(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return false;
    }
    return true;
}

void check_loop_removal(const Curve& curve, bool upper) {
    Curve fast = curve;
    Curve plain = curve;
    velmora::reference::remove_loop(fast, upper);
    velmora::reference::remove_loop_in_place(plain, upper);
    const std::size_t n = curve.x.size();
    if (fast.x.size() != fast.y.size() || plain.x.size() != plain.y.size()) {
        violated("abscissae and ordinates differ in length", n);
    }
    if (!same_doubles(fast.x, plain.x) || !same_doubles(fast.y, plain.y)) {
        std::fprintf(stderr, "upper = %d\n", upper ? 1 : 0);
        print_curve("input", curve);
        print_curve("remove_loop", fast);
        print_curve("remove_loop_in_place", plain);
        violated("remove_loop and remove_loop_in_place disagree", n);
    }
    if (n >= 4 && fast.x.empty()) violated("a curve of four or more points was emptied", n);
    if (n < 4 && !(same_doubles(fast.x, curve.x) && same_doubles(fast.y, curve.y))) {
        violated("a curve of fewer than four points was changed", n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool upper = in.ConsumeBool();
    const bool reference = in.ConsumeBool();
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 400);

    if (!reference) {
        Curve curve;
        for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
            curve.x.push_back(value(in));
            curve.y.push_back(value(in));
        }
        check_loop_removal(curve, upper);
        return 0;
    }

    // A reference with non-decreasing abscissae (repeats allowed) and
    // arbitrary half-widths, as the driver would pass it after validation.
    std::vector<double> x, y, hx, hy;
    double at = value(in);
    for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
        at += in.ConsumeIntegralInRange<int>(0, 32) / 16.0;
        x.push_back(at);
        y.push_back(value(in));
        hx.push_back(std::fabs(value(in)));
        hy.push_back(std::fabs(value(in)));
    }
    if (x.empty()) return 0;
    check_loop_removal(velmora::reference::build_corner_curve(x, y, hx, hy, upper), upper);
    if (x.size() >= 2 && std::isfinite(x.front()) && std::isfinite(x.back())) {
        const double x_mag = std::fmax(std::fabs(x.front()), std::fabs(x.back()));
        const velmora::Bounds bounds = velmora::reference::build_bounds(x, y, hx, hy, x_mag);
        if (bounds.lower.x.empty() || bounds.upper.x.empty()) violated("an empty bound", x.size());
    }
    return 0;
}
