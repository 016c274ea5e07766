#include "tool_sweep.h"

#include <algorithm>
#include <cmath>

namespace zelmar {

ToolSweep::ToolSweep(const ToolProfile& tool)
    : kind_(tool.kind()), radius_(tool.kind() == ToolKind::Pixel ? 0.0 : tool.radius()), radiusSquared_(radius_ * radius_),
      slope_(tool.kind() == ToolKind::V ? tool.heightAbove(1.0) : 0.0) {}

double ToolSweep::heightAt(double squaredDistance) const {
    switch (kind_) {
    case ToolKind::Ball:
        return radius_ - std::sqrt(std::max(0.0, radiusSquared_ - squaredDistance));
    case ToolKind::V:
        return std::sqrt(std::max(0.0, squaredDistance)) * slope_;
    default:
        return 0;
    }
}

double ToolSweep::deepestAt(double qx, double qy, const TipPoint& a, const TipPoint& b) const {
    const double px = qx - a.x, py = qy - a.y;
    const double ux = b.x - a.x, uy = b.y - a.y, w = b.depth - a.depth;
    const double along = ux * ux + uy * uy;
    const double reach = radiusSquared_ + sweepSlack;
    if (along < 1e-18) { // straight up or down: the deeper end is the deepest
        const double d2 = px * px + py * py;
        return d2 > reach ? notCovered : std::max(a.depth, b.depth) - heightAt(std::min(d2, radiusSquared_));
    }
    // The pixel's foot on the axis's line (t0, in the move's parameter) and its distance from the line.
    const double t0 = (px * ux + py * uy) / along;
    const double e2 = std::max(0.0, px * px + py * py - t0 * t0 * along);
    if (e2 > reach)
        return notCovered;
    if (radius_ == 0) // the axis alone: the depth where it passes over the centre
        return t0 < -sweepSlack || t0 > 1 + sweepSlack ? notCovered : a.depth + std::clamp(t0, 0.0, 1.0) * w;
    const double length = std::sqrt(along);
    const double half = std::sqrt(reach - e2) / length;
    const double lo = std::max(0.0, t0 - half), hi = std::min(1.0, t0 + half);
    if (lo > hi)
        return notCovered;
    const auto cutAt = [&](double t) {
        const double s = t - t0;
        return a.depth + t * w - heightAt(std::min(e2 + s * s * along, radiusSquared_));
    };
    double best = w > 0 ? hi : lo; // flat: the cut changes linearly
    if (kind_ == ToolKind::Ball) {
        const double rho = std::sqrt(std::max(0.0, radiusSquared_ - e2));
        best = t0 + w * rho / (length * std::sqrt(along + w * w));
    } else if (kind_ == ToolKind::V && slope_ * length > std::abs(w)) {
        best = t0 + w * std::sqrt(e2) / (length * std::sqrt(slope_ * slope_ * along - w * w));
    }
    best = std::clamp(best, lo, hi);
    return std::max({cutAt(best), cutAt(lo), cutAt(hi)});
}

bool ToolSweep::cutsByLevels() const {
    // From a pixel centre to another, or to the middle of a diagonal step, a squared distance is a multiple of 1/2.
    const double twice = 2 * (radiusSquared_ + sweepSlack);
    return radius_ > 0 && std::abs(twice - std::round(twice)) > 1e-8;
}

double ToolSweep::cutReachSquared(double depth) const {
    const double reach = radiusSquared_ + sweepSlack;
    switch (kind_) {
    case ToolKind::Ball:
        return depth >= radius_ ? reach : std::min(reach, radiusSquared_ - (radius_ - depth) * (radius_ - depth) + 1);
    case ToolKind::V:
        return slope_ > 0 ? std::min(reach, (depth / slope_) * (depth / slope_) * (1 + 1e-9) + 1) : reach;
    default:
        return reach;
    }
}

SurfaceGuard::SurfaceGuard(const ImageLayer& depthPicture, const ToolProfile& tool)
    : picture_(depthPicture), geometry_(picture_.geometry()), bytes_(picture_.bits().data()), sweep_(tool) {}

bool SurfaceGuard::keepsAbove(const TipPoint& a, const TipPoint& b) const {
    if (std::max(a.depth, b.depth) <= 0)
        return true; // the body stands above its tip: nothing of it is below the surface
    bool above = true;
    // The tip is nowhere deeper than the move's deeper end, so the body is below the surface only within
    // cutReachSquared() of it: the pixels beyond keep above their targets, none of which is above the surface.
    const double within = std::sqrt(sweep_.cutReachSquared(std::max(a.depth, b.depth)));
    const GuardedMove move(a, b);
    sweep_.forEachPixelNear(
        a, b, [&](std::int32_t x, std::int32_t y) { above = above && keepsAboveAt(x, y, move); },
        boundsFor(a, b), within);
    return above;
}

bool SurfaceGuard::keepsAboveAcrossTheMiddle(const TipPoint& a, const TipPoint& b) const {
    if (a.depth <= 0)
        return true;
    // Pixels a + (ux, 0) + k (ux, -uy), 2 (k + 1/2)^2 squared pixels from the middle; k and -1 - k lie as
    // far.
    const double within = std::sqrt(sweep_.cutReachSquared(a.depth)) + sweepSlack;
    const auto ax = static_cast<std::int64_t>(a.x), ay = static_cast<std::int64_t>(a.y);
    const auto ux = static_cast<std::int64_t>(b.x) - ax, uy = static_cast<std::int64_t>(b.y) - ay;
    const SweepBounds bounds = boundsFor(a, b);
    const GuardedMove move(a, b);
    const auto keptAt = [&](std::int64_t k) {
        const std::int64_t x = ax + ux + k * ux, y = ay - k * uy;
        return x < bounds.left || x > bounds.right || y < bounds.top || y > bounds.bottom ||
               keepsAboveAt(static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), move);
    };
    for (std::int64_t k = 0;
         2 * (static_cast<double>(k) + 0.5) * (static_cast<double>(k) + 0.5) <= within * within; ++k)
        if (!keptAt(k) || !keptAt(-1 - k))
            return false;
    return true;
}

SurfaceGuard::GuardedMove::GuardedMove(const TipPoint& from, const TipPoint& to)
    : a(from), b(to), deepest(std::max(from.depth, to.depth)), ux(to.x - from.x), uy(to.y - from.y),
      along(ux * ux + uy * uy) {}

bool SurfaceGuard::keepsAboveAt(std::int32_t x, std::int32_t y, const GuardedMove& m) const {
    // The same bound as the move's for the pixel's own target, before the sweep's exact depth: a pixel whose
    // target lies as deep as the tip goes, or whose distance from the axis keeps the body above it by a
    // margin that no rounding of the exact depth could cross, can be no cut below the picture.
    const std::int32_t target = targetAt(x, y);
    if (m.deepest <= target)
        return true;
    const double px = x - m.a.x, py = y - m.a.y;
    const double t = m.along > 0 ? std::clamp((px * m.ux + py * m.uy) / m.along, 0.0, 1.0) : 0.0;
    const double dx = px - t * m.ux, dy = py - t * m.uy;
    if (dx * dx + dy * dy > sweep_.cutReachSquared(m.deepest - target) + 1)
        return true;
    const double cut = sweep_.deepestAt(x, y, m.a, m.b);
    return !(cut > 0 && cut > target + sweepSlack);
}

std::int32_t SurfaceGuard::deepestLevel(const TipPoint& a, const TipPoint& b) const {
    const TipPoint from{a.x, a.y, 0}, to{b.x, b.y, 0};
    double deepest = 1e6;
    sweep_.forEachPixelNear(from, to, [&](std::int32_t x, std::int32_t y) {
        const double cut = sweep_.deepestAt(x, y, from, to); // minus the body's height nearest the pixel
        if (cut != notCovered)
            deepest = std::min(deepest, targetAt(x, y) - cut);
    }, boundsFor(from, to));
    return static_cast<std::int32_t>(std::floor(deepest + sweepSlack));
}

SweepBounds SurfaceGuard::boundsFor(const TipPoint& a, const TipPoint& b) const {
    SweepBounds bounds;
    bounds.left = std::min<std::int64_t>(0, static_cast<std::int64_t>(std::floor(std::min(a.x, b.x))));
    bounds.top = std::min<std::int64_t>(0, static_cast<std::int64_t>(std::floor(std::min(a.y, b.y))));
    bounds.right = std::max<std::int64_t>(geometry_.width + 1, static_cast<std::int64_t>(std::ceil(std::max(a.x, b.x))));
    bounds.bottom = std::max<std::int64_t>(geometry_.height + 1, static_cast<std::int64_t>(std::ceil(std::max(a.y, b.y))));
    return bounds;
}

} // namespace zelmar
