// compare_curves: compares a test curve with the funnel around a reference
// curve through the C++ API of velmora-funnel.
//
//   cmake -S . -B build -DCMAKE_PREFIX_PATH=/where/velmora-funnel/is && cmake --build build
//   build/compare_curves < case.txt
//
// Input and output as those of the C example (../c/compare_curves.c): the
// eight options, the reference and the test curve as counted pairs "t y";
// the status, then the lower bound, the upper bound and the error curve.
#include <cstddef>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>
#include <velmora_funnel/compare.hpp>

namespace {

// One number; std::strtod, unlike operator>>, reads nan, inf and -inf.
bool read_number(double& value) {
    std::string token;
    if (!(std::cin >> token)) return false;
    char* end = nullptr;
    value = std::strtod(token.c_str(), &end);
    return end != token.c_str() && *end == '\0';
}

bool read_curve(std::vector<double>& t, std::vector<double>& y) {
    std::size_t n = 0;
    if (!(std::cin >> n)) return false;
    t.resize(n);
    y.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!read_number(t[i]) || !read_number(y[i])) return false;
    }
    return true;
}

void print_curve(const char* name, const velmora::Curve& curve) {
    std::cout << name << ' ' << curve.x.size() << '\n';
    for (std::size_t i = 0; i < curve.x.size(); ++i) {
        std::cout << curve.x[i] << ' ' << curve.y[i] << '\n';
    }
}

}  // namespace

int main() {
    velmora::CompareOptions options;  // the defaults, each replaced by the input
    for (double* field : {&options.atolx, &options.atoly, &options.ltolx, &options.ltoly,
                          &options.rtolx, &options.rtoly, &options.lo, &options.hi}) {
        if (!read_number(*field)) return 2;
    }
    std::vector<double> t_ref, y_ref, t_test, y_test;
    if (!read_curve(t_ref, y_ref) || !read_curve(t_test, y_test)) {
        std::cerr << "compare_curves: unreadable input\n";
        return 2;
    }

    const velmora::CompareResult result = velmora::compare(t_ref, y_ref, t_test, y_test, options);

    std::cout << std::setprecision(17);
    std::cout << "status " << result.status << ' ' << velmora::status_message(result.status)
              << '\n';
    print_curve("lower", result.lower);
    print_curve("upper", result.upper);
    print_curve("errors", result.errors);
    return result.status == velmora::STATUS_PASS ? 0 : 1;
}
