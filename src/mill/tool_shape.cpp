#include "tool_shape.h"

#include <cmath>
#include <numbers>

namespace zelmar {

std::optional<ToolShape> toolShapeOf(std::string_view word) {
    if (word.empty() || word == "pixel")
        return ToolShape{};
    const std::size_t colon = word.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const std::string_view name = word.substr(0, colon);
    std::string_view rest = word.substr(colon + 1);
    ToolShape shape;
    if (const std::size_t edge = rest.rfind(":L"); edge != std::string_view::npos) {
        const auto length = Decimal::parse(rest.substr(edge + 2));
        if (!length || length->isZero())
            return std::nullopt;
        shape.lengthMm = *length;
        rest = rest.substr(0, edge);
    }
    if (name == "flat")
        shape.kind = ToolKind::Flat;
    else if (name == "ball")
        shape.kind = ToolKind::Ball;
    else if (name == "v")
        shape.kind = ToolKind::V;
    else
        return std::nullopt;
    const std::size_t second = rest.find(':');
    if (second != std::string_view::npos) {
        if (shape.kind != ToolKind::V)
            return std::nullopt;
        const auto angle = Decimal::parse(rest.substr(second + 1));
        if (!angle || angle->isZero() || angle->value() >= 180)
            return std::nullopt;
        shape.angleDeg = *angle;
        rest = rest.substr(0, second);
    }
    const auto diameter = Decimal::parse(rest);
    if (!diameter || diameter->isZero())
        return std::nullopt;
    shape.diameterMm = *diameter;
    return shape;
}

std::string wordOf(const ToolShape& shape) {
    const std::string edge = shape.lengthMm.isZero() ? std::string() : ":L" + shape.lengthMm.text();
    switch (shape.kind) {
    case ToolKind::Pixel:
        return "";
    case ToolKind::Flat:
        return "flat:" + shape.diameterMm.text() + edge;
    case ToolKind::Ball:
        return "ball:" + shape.diameterMm.text() + edge;
    case ToolKind::V:
        return "v:" + shape.diameterMm.text() + ":" + shape.angleDeg.text() + edge;
    }
    return "";
}

ToolProfile::ToolProfile(const ToolShape& shape, double mmPerPixel) : kind_(shape.kind) {
    if (kind_ == ToolKind::Pixel || !(mmPerPixel > 0))
        return;
    radius_ = shape.diameterMm.value() / 2 / mmPerPixel;
    if (kind_ == ToolKind::V)
        tanHalfAngle_ = std::tan(shape.angleDeg.value() / 2 * std::numbers::pi / 180);
    // A pixel whose centre lies on the tool's rim is covered; a hair's breadth of rounding must not drop it.
    const double reach = std::floor(radius_ * radius_ + 1e-9);
    reachSquared_ = reach > 4e18 ? std::int64_t{4'000'000'000'000'000'000} : static_cast<std::int64_t>(reach);
}

double ToolProfile::heightAbove(double squaredDistance) const {
    switch (kind_) {
    case ToolKind::Pixel:
    case ToolKind::Flat:
        return 0;
    case ToolKind::Ball:
        return radius_ - std::sqrt(std::max(0.0, radius_ * radius_ - squaredDistance));
    case ToolKind::V:
        return std::sqrt(squaredDistance) / tanHalfAngle_;
    }
    return 0;
}

std::int32_t ToolProfile::unitsAbove(std::int64_t squaredDistance) const {
    const double h = heightAbove(static_cast<double>(squaredDistance));
    // Rounding down keeps the tool above the picture; the small allowance keeps a height that is a whole number
    // (a pixel on a 90-degree V-bit's cone) from losing a unit to the last bit of a square root.
    const double units = std::floor(h + 1e-9);
    return units > 1e9 ? 1'000'000'000 : static_cast<std::int32_t>(units);
}

} // namespace zelmar
