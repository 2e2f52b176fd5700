// Records and status codes that cross the boundary of the funnel core: what
// a C++ caller hands to velmora::compare and gets back from it.
//
// Plain data only: the driver fills them, the caller reads them. Nothing here
// includes an interpreter header or needs more than the standard library.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "velmora_funnel/export.hpp"

namespace velmora {

// A sampled curve: abscissae and ordinates of equal length (possibly zero).
struct Curve {
    std::vector<double> x;
    std::vector<double> y;
};

// Status codes. -1..2 are outcomes of a comparison that ran to the end;
// 10..14 reject the input before any funnel is built.
using Status = std::int32_t;
inline constexpr Status STATUS_FAIL = -1;
inline constexpr Status STATUS_PASS = 0;
inline constexpr Status STATUS_MISSING_REFERENCE = 1;
inline constexpr Status STATUS_MISSING_TEST = 2;
inline constexpr Status STATUS_NON_MONOTONIC = 10;
inline constexpr Status STATUS_LENGTH_MISMATCH = 11;
inline constexpr Status STATUS_EMPTY_RANGE = 12;
// Defined for callers that supply their own output buffers; compare() returns
// owned vectors and never produces it.
inline constexpr Status STATUS_BUFFER_TOO_SMALL = 13;
inline constexpr Status STATUS_INSUFFICIENT_DATA = 14;
// The storage of the result could not be allocated: no funnel, three empty
// curves. Apart from the rejections since it says nothing about the input;
// the Python module raises MemoryError instead and never returns it.
inline constexpr Status STATUS_NO_MEMORY = 20;

// The message of a status, or an empty view for a value that is no status.
// Every message is a string literal: data() is NUL-terminated and lives as
// long as the program.
VELMORA_FUNNEL_API std::string_view status_message(Status status) noexcept;

// The six tolerances, in the order of the options dict.
struct Tolerances {
    double atolx = 0.0;
    double atoly = 0.0;
    double ltolx = 0.0;
    double ltoly = 0.0;
    double rtolx = 0.002;
    double rtoly = 0.002;
};

// Input record of compare(): the tolerances, then the inclusive abscissa
// range. A default-constructed record holds the default options. Values are
// passed on unchecked (negative, infinite, NaN, lo > hi).
struct CompareOptions : Tolerances {
    double lo = -std::numeric_limits<double>::infinity();
    double hi = std::numeric_limits<double>::infinity();
};

// Output record of compare(). For a rejected input (10, 11, 12, 14) and for
// STATUS_NO_MEMORY all three curves are empty; otherwise `errors` has one
// point per test point.
struct CompareResult {
    Curve lower;
    Curve upper;
    Curve errors;
    Status status = STATUS_PASS;
};

}  // namespace velmora
