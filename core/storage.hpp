// Storage of the large vectors the core fills: the bounds and the error
// curve, which become the result arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace velmora::detail {

// Reserves room for `count` doubles. On Linux a reservation of 4 MiB or more
// also asks for transparent huge pages, as NumPy does for its own arrays:
// these vectors are written once, front to back, right after the
// reservation, and with 4 KiB pages the first touch of each page (a fault
// and a zeroing in the kernel) costs about as much as computing what goes
// into it. The advice changes nothing but the page size; where the system
// refuses it, the pages simply stay small.
inline void reserve_result(std::vector<double>& v, std::size_t count) {
    v.reserve(count);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t threshold = std::size_t{4} << 20;
    constexpr std::uintptr_t page = 4096;
    const std::size_t bytes = v.capacity() * sizeof(double);
    if (bytes < threshold) return;
    // From the start of the page the storage begins in: a block this large
    // is mapped on its own, beginning with the allocator's header, and the
    // advice must cover the mapping from its start for its first 2 MiB to
    // get a huge page as well.
    const auto begin = reinterpret_cast<std::uintptr_t>(v.data());
    const std::uintptr_t first = begin & ~(page - 1);
    // madvise wants the page's address, which only integer arithmetic on the
    // storage's address can round down to.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    madvise(reinterpret_cast<void*>(first), begin + bytes - first, MADV_HUGEPAGE);
#endif
}

}  // namespace velmora::detail
