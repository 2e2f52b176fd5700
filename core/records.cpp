#include "velmora_funnel/records.hpp"

namespace velmora {

std::string_view status_message(Status status) noexcept {
    switch (status) {
        case STATUS_FAIL: return "fail: test points outside the funnel";
        case STATUS_PASS: return "pass: all test points inside the funnel";
        case STATUS_MISSING_REFERENCE:
            return "missing reference: test x-range extends past reference";
        case STATUS_MISSING_TEST: return "missing test: reference x-range extends past test";
        case STATUS_NON_MONOTONIC:
            return "non-monotonic x: reference or test x array is not non-decreasing";
        case STATUS_LENGTH_MISMATCH: return "length mismatch: x and y arrays differ in length";
        case STATUS_EMPTY_RANGE:
            return "empty range: x_range does not intersect reference or test data";
        case STATUS_BUFFER_TOO_SMALL:
            return "buffer too small: caller-provided output buffer undersized";
        case STATUS_INSUFFICIENT_DATA:
            return "insufficient data: fewer than two points after x_range filter";
        case STATUS_NO_MEMORY: return "no memory: the result could not be allocated";
        default: return {};
    }
}

}  // namespace velmora
