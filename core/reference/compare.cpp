#include "compare.hpp"

#include <cstddef>

#include "reference/reference.hpp"

namespace velmora::reference {

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
    return detail::end_status(r, t);
}

}  // namespace velmora::reference
