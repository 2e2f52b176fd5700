// The comparison driver: validation, range filter, funnel and verdict. The
// driver itself, velmora::compare, is public (velmora_funnel/compare.hpp);
// this header adds what the core's other steps and tests use of it.
#pragma once

#include <span>

#include "velmora_funnel/compare.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora::detail {

// The end tests of the verdict, which follow its failure test: PASS,
// MISSING_REFERENCE or MISSING_TEST from the ends of the reference abscissae
// r and the test abscissae t, neither empty.
Status end_status(std::span<const double> r, std::span<const double> t) noexcept;

}  // namespace velmora::detail
