// Two doubles side by side in one 16-byte vector: SSE2 on x86-64, which every
// x86-64 processor has, so no instruction-set flag is needed. Lane-wise
// arithmetic and comparisons are the scalar operations, with the same
// rounding, so a computation done two lanes at a time gives the same doubles
// as done one value at a time; only the division instructions are halved.
#pragma once

#include <cstring>

namespace velmora::detail {

using Pair = double __attribute__((vector_size(16)));
// A lane-wise comparison gives all ones where it holds, zeros elsewhere
// (zeros for a NaN operand, as the scalar comparison gives false).
using PairMask = long long __attribute__((vector_size(16)));

inline Pair pair(double a, double b) noexcept { return Pair{a, b}; }

inline Pair load_pair(const double* p) noexcept {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store_pair(double* p, Pair v) noexcept { std::memcpy(p, &v, sizeof v); }

inline Pair fabs_pair(Pair v) noexcept {
    constexpr long long magnitude = 0x7fffffffffffffffLL;
    return reinterpret_cast<Pair>(reinterpret_cast<PairMask>(v) & PairMask{magnitude, magnitude});
}

// where ? a : b, lane by lane.
inline Pair select(PairMask where, Pair a, Pair b) noexcept { return where ? a : b; }

}  // namespace velmora::detail
