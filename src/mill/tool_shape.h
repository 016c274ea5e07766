#pragma once
// The cutter as the job sees it. With no shape set the tool is today's: one pixel wide with a flat end. A shape
// (flat end mill, ball nose, V-bit) changes the depths a job sends, never its path in X and Y: the tool goes
// only as deep as it can without any part of it cutting below the picture.
//
// One depth unit is as long as one pixel (both are the same number of motor steps), so the tool's profile in
// pixels is its profile in depth units too.

#include "gcode.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelmar {

enum class ToolKind : std::uint8_t { Pixel, Flat, Ball, V };

struct ToolShape {
    ToolKind kind = ToolKind::Pixel;
    Decimal diameterMm;        // Flat, Ball, V
    Decimal angleDeg{60, 0};   // V: the angle of the point
    Decimal lengthMm;          // how long the cutting edge is; 0: not said, nothing is held against it
};

// "flat:3", "ball:6", "v:6:60", "v:6" (60 degrees), "" or "pixel" for today's tool; any shape may end in ":L20",
// the cutting edge's length in mm. A diameter above 0; an angle above 0 and below 180 degrees; a length above 0.
// Nothing for anything else.
std::optional<ToolShape> toolShapeOf(std::string_view word);
// The word toolShapeOf reads back: "" for today's tool.
std::string wordOf(const ToolShape& shape);

// The tool measured in pixels at a scale of mmPerPixel millimetres a pixel.
class ToolProfile {
public:
    ToolProfile() = default; // today's tool
    ToolProfile(const ToolShape& shape, double mmPerPixel);

    ToolKind kind() const { return kind_; }
    double radius() const { return radius_; }
    // The largest squared distance, in pixels, from the tool's axis to the centre of a pixel it covers.
    std::int64_t reachSquared() const { return reachSquared_; }
    // Whether the tool covers no pixel but the one under its axis: it then cuts exactly as today's tool.
    bool coversOnePixel() const { return reachSquared_ < 1; }
    // How many whole depth units the tool's surface stands above its tip at a pixel whose centre lies this
    // squared distance from the axis (at most reachSquared()). Never more than the true height: a depth made
    // from it never cuts below the picture.
    std::int32_t unitsAbove(std::int64_t squaredDistance) const;
    // The same height exactly, in depth units: what a picture of the result shows.
    double heightAbove(double squaredDistance) const;

    bool operator==(const ToolProfile&) const = default;

private:
    ToolKind kind_ = ToolKind::Pixel;
    double radius_ = 0.5;
    double tanHalfAngle_ = 0;
    std::int64_t reachSquared_ = 0;
};

} // namespace zelmar
