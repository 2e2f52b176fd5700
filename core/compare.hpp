// The comparison driver: validation, range filter, funnel and verdict.
#pragma once

#include <span>

#include "records.hpp"

namespace velmora {

// Compares a test curve with the funnel around a reference curve. Every
// outcome, each rejected input included, is reported through the status of
// the result; the only exception that can leave is std::bad_alloc.
CompareResult compare(std::span<const double> t_reference, std::span<const double> y_reference,
                      std::span<const double> t_test, std::span<const double> y_test,
                      const CompareOptions& options);

namespace detail {

// The end tests of the verdict, which follow its failure test: PASS,
// MISSING_REFERENCE or MISSING_TEST from the ends of the reference abscissae
// r and the test abscissae t, neither empty.
Status end_status(std::span<const double> r, std::span<const double> t) noexcept;

}  // namespace detail

}  // namespace velmora
