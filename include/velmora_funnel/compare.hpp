// The funnel comparison for C++ callers: include this header, link
// velmora::funnel (CMake) or velmora-funnel (pkg-config).
//
//   std::vector<double> t_ref = ..., y_ref = ..., t = ..., y = ...;
//   velmora::CompareResult r = velmora::compare(t_ref, y_ref, t, y);
//   if (r.status != velmora::STATUS_PASS) std::puts(velmora::status_message(r.status).data());
//
// These are the functions the Python module _velmora_funnel calls: the same
// doubles, bit for bit.
#pragma once

#if __cplusplus < 202002L
#error "velmora_funnel/compare.hpp takes std::span: compile with C++20 or later"
#endif

#include <span>
#include <string_view>

#include "velmora_funnel/export.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora {

// Compares a test curve with the funnel around a reference curve. The four
// sequences are only read, during the call; each curve's abscissae must be
// as long as its ordinates (STATUS_LENGTH_MISMATCH otherwise). Every
// outcome, each rejected input included, is reported through the status of
// the result, and nothing is thrown: when the result's storage cannot be
// allocated, the status is STATUS_NO_MEMORY. The default options are those
// of a default-constructed CompareOptions.
VELMORA_FUNNEL_API CompareResult compare(std::span<const double> t_reference,
                                         std::span<const double> y_reference,
                                         std::span<const double> t_test,
                                         std::span<const double> y_test,
                                         const CompareOptions& options = {}) noexcept;

// The library's version, in SemVer's spelling ("1.0.0-beta.10"), the same as
// the Python module's version(). NUL-terminated, static.
VELMORA_FUNNEL_API std::string_view version() noexcept;

}  // namespace velmora
