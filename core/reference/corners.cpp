#include "corners.hpp"

#include <memory>

#include "reference/reference.hpp"

namespace velmora::reference {
namespace {

// Corners appended straight to a curve.
struct CurveSink {
    Curve& curve;
    void append(double x, double y) {
        curve.x.push_back(x);
        curve.y.push_back(y);
    }
    void drop_last(std::size_t count) {
        curve.x.resize(curve.x.size() - count);
        curve.y.resize(curve.y.size() - count);
    }
};

}  // namespace

Curve build_corner_curve(std::span<const double> x, std::span<const double> y,
                         std::span<const double> hx, std::span<const double> hy, bool upper) {
    Curve curve;
    detail::reserve_corner_curve(curve, x.size());
    detail::ReferencePoints<StoredWidths, false> points(x, y, StoredWidths{hx, hy}, 1.0);
    const auto block = std::make_unique_for_overwrite<detail::PointBlock>();
    CurveSink sink{curve};
    auto trace = [&](auto& side) {
        detail::CornerTracer tracer(points, x.size(), *block, side);
        while (!tracer.done()) tracer.advance();
    };
    if (upper) {
        detail::Side<CurveSink, true> side(sink);
        trace(side);
    } else {
        detail::Side<CurveSink, false> side(sink);
        trace(side);
    }
    return curve;
}

}  // namespace velmora::reference
