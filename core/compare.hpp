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

// The points whose abscissa lies in the closed range [lo, hi]; a NaN in the
// abscissa or in either end drops the point.
Curve filter_to_range(std::span<const double> x, std::span<const double> y, double lo, double hi);

// Turns the error curve and the curve ends into FAIL, MISSING_REFERENCE,
// MISSING_TEST or PASS.
Status classify_status(std::span<const double> t_reference, std::span<const double> t_test,
                       std::span<const double> errors, double lo, double hi) noexcept;

}  // namespace velmora
