#pragma once
// The tool's whole body carried along a straight move: how deep it cuts at each pixel it passes, and whether a
// move keeps it at or above the picture. One model serves the planner (which splits the moves that would not),
// the merging of steps (which takes a run only when its straight line stays above), and the carving that shows
// the result, so what the preview shows is what the checks passed.
//
// A pixel is its centre; the body covers a centre within the tool's radius of the axis (on the rim included)
// and stands heightAbove() over the tip there, even a shaped tool narrower than a pixel, which covers more than
// its own pixel between two of them. Today's one-pixel tool is its axis alone: it cuts a pixel only where the tip
// passes over its centre, as it always has.

#include "image/image_layer.h"
#include "milling.h"
#include "tool_shape.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace zelmar {

// The tip: pixel column and row from 1, and depth units below the surface (negative above it).
struct TipPoint {
    double x = 0;
    double y = 0;
    double depth = 0;
};

// Where a plunge or a step of a plan begins and ends: its tool position is where it ends, its depth the tip's own.
inline TipPoint tipAfter(const PlannedMove& m) {
    return {double(m.tool.toolX), double(m.tool.toolY), double(m.tool.toolZ)};
}
inline TipPoint tipBefore(const PlannedMove& m) {
    return {double(m.tool.toolX - m.x), double(m.tool.toolY - m.y), double(m.tool.toolZ + m.z)};
}

// The pixels a sweep looks at, columns left..right and rows top..bottom, all included.
struct SweepBounds {
    std::int64_t left = std::numeric_limits<std::int32_t>::min(), top = std::numeric_limits<std::int32_t>::min();
    std::int64_t right = std::numeric_limits<std::int32_t>::max(), bottom = std::numeric_limits<std::int32_t>::max();
};

// What nothing was cut to: the pixel was never under the tool.
inline constexpr double notCovered = -std::numeric_limits<double>::infinity();

// Depths are checked to this much: far below a motor step, far above a double's rounding of them.
inline constexpr double sweepSlack = 1e-7;

class ToolSweep {
public:
    explicit ToolSweep(const ToolProfile& tool);

    // The radius within which the body covers a pixel's centre, in pixels; 0 for today's tool.
    double radius() const { return radius_; }
    // The deepest the body reaches at the centre (qx, qy) while the tip moves straight from a to b, or
    // notCovered. Exact: each shape's cut along the move is concave (flat: linear) in the move's parameter, so
    // its maximum is the unconstrained one clamped to where the pixel is covered.
    double deepestAt(double qx, double qy, const TipPoint& a, const TipPoint& b) const;
    // The pixels the body may cover on that move within the bounds, each handed to visit(x, y) once (a few
    // beyond the body too: deepestAt() tells).
    // `within`: pixels this far from the move (in pixels) instead of the radius.
    template <typename Visit>
    void forEachPixelNear(const TipPoint& a, const TipPoint& b, Visit&& visit, const SweepBounds& bounds = {},
                          double within = -1) const;

    // What deepestAt() gives at a pixel centre `squared` (squared pixels, an exact distance) from the nearest
    // point of a level move at `depth`, or of a move straight up or down whose deeper end is at `depth`: on a
    // move whose ends are pixel centres one step apart (or the same centre), that nearest point is an end or
    // the middle, and the deepest cut along the move is there.
    double levelCutAt(double depth, double squared) const {
        return squared > radiusSquared_ + sweepSlack ? notCovered
                                                     : depth - heightAt(std::min(squared, radiusSquared_));
    }
    // Whether levelCutAt() tells what deepestAt() does for every such move: a shaped tool whose reach stands
    // clear of every distance a pixel can have from such a point, so that no rounding decides which are covered.
    bool cutsByLevels() const;
    // Beyond this squared distance from the nearest point of a level move at `depth` (above 0) the body stands
    // at or above the surface: a bound, a little beyond the true one.
    double cutReachSquared(double depth) const;

private:
    ToolKind kind_;
    double radius_;
    double radiusSquared_;
    double slope_ = 0; // V: height above the tip per pixel from the axis

    double heightAt(double squaredDistance) const;
};

// The picture the tool must stay above: the cut depth of every pixel as the picture asks it, and the untouched
// stock (depth 0) beyond the picture.
class SurfaceGuard {
public:
    // The layer's bytes are shared, not copied.
    SurfaceGuard(const ImageLayer& depthPicture, const ToolProfile& tool);

    std::int32_t targetAt(std::int32_t x, std::int32_t y) const {
        return x < 1 || y < 1 || x > geometry_.width || y > geometry_.height
                   ? 0
                   : cutDepthOf(bytes_[static_cast<std::size_t>(geometry_.indexOf(x, y) - 1)]);
    }
    // Whether the straight move keeps the body at or above every pixel's target.
    bool keepsAbove(const TipPoint& a, const TipPoint& b) const;
    // The same for a level diagonal step from one pixel centre to the next whose ends keep above the picture:
    // a pixel lies nearest one end or the other unless it is on the line across the step's middle, so only
    // those are looked at.
    bool keepsAboveAcrossTheMiddle(const TipPoint& a, const TipPoint& b) const;
    // The deepest whole depth at which a level move from a to b (their depths aside) keeps above the picture.
    std::int32_t deepestLevel(const TipPoint& a, const TipPoint& b) const;
    const ToolSweep& sweep() const { return sweep_; }

private:
    ImageLayer picture_;
    PixelGeometry geometry_;
    const std::uint8_t* bytes_;
    ToolSweep sweep_;

    // The picture and a frame of untouched stock around it, and the move's own pixels: beyond the frame a pixel
    // lies farther from the move than one in the frame that stands no deeper, so it cannot be cut deeper.
    SweepBounds boundsFor(const TipPoint& a, const TipPoint& b) const;
    // A move and what every pixel's check of it shares.
    struct GuardedMove {
        GuardedMove(const TipPoint& from, const TipPoint& to);
        TipPoint a, b;
        double deepest; // the deeper end's depth
        double ux, uy;  // b - a
        double along;   // its length, squared
    };
    // Whether the move keeps the body at or above the pixel's target.
    bool keepsAboveAt(std::int32_t x, std::int32_t y, const GuardedMove& move) const;
};

template <typename Visit>
void ToolSweep::forEachPixelNear(const TipPoint& a, const TipPoint& b, Visit&& visit, const SweepBounds& bounds,
                                 double within) const {
    const double r = (within >= 0 ? std::min(within, radius_) : radius_) + sweepSlack;
    const double ux = b.x - a.x, uy = b.y - a.y;
    const auto firstRow = std::max(bounds.top, static_cast<std::int64_t>(std::ceil(std::min(a.y, b.y) - r)));
    const auto lastRow = std::min(bounds.bottom, static_cast<std::int64_t>(std::floor(std::max(a.y, b.y) + r)));
    for (std::int64_t y = firstRow; y <= lastRow; ++y) {
        // The part of the move whose axis passes within the radius of this row, and the columns it can cover.
        double from = 0, to = 1;
        if (std::abs(uy) > 1e-12) {
            from = (static_cast<double>(y) - r - a.y) / uy;
            to = (static_cast<double>(y) + r - a.y) / uy;
            if (from > to)
                std::swap(from, to);
            from = std::max(from, 0.0);
            to = std::min(to, 1.0);
            if (from > to)
                continue;
        } else if (std::abs(a.y - static_cast<double>(y)) > r) {
            continue;
        }
        const double x1 = a.x + from * ux, x2 = a.x + to * ux;
        const auto firstColumn = std::max(bounds.left, static_cast<std::int64_t>(std::ceil(std::min(x1, x2) - r)));
        const auto lastColumn = std::min(bounds.right, static_cast<std::int64_t>(std::floor(std::max(x1, x2) + r)));
        for (std::int64_t x = firstColumn; x <= lastColumn; ++x)
            visit(static_cast<std::int32_t>(x), static_cast<std::int32_t>(y));
    }
}

} // namespace zelmar
