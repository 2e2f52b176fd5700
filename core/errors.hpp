// The error curve: signed vertical distance of each test point outside the
// funnel, 0 inside or on a bound.
#pragma once

#include <span>
#include <vector>

#include "records.hpp"

namespace velmora {

// Values of the bound (X, Y), n >= 1, at non-decreasing queries: constant
// continuation beyond both ends, linear inside, the left ordinate across a
// segment narrower than CORNER_EPS. One forward walk: cost n + m.
std::vector<double> interpolate_clamped(std::span<const double> X, std::span<const double> Y,
                                        std::span<const double> queries);

// One error point per test point. Bounds must have at least one point each.
Curve compute_errors(std::span<const double> t, std::span<const double> y, const Curve& lower,
                     const Curve& upper);

// compute_errors and the failure test of the verdict in one pass over the
// test curve, without the two vectors of bound values: `fails` is set when
// some error is non-zero at an abscissa inside [lo, hi].
Curve compute_errors(std::span<const double> t, std::span<const double> y, const Curve& lower,
                     const Curve& upper, double lo, double hi, bool& fails);

}  // namespace velmora
