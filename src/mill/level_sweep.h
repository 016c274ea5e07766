#pragma once
// The carving of many short moves at once. Most moves a job cuts are one-pixel steps at one depth and moves straight
// up or down; for those the deepest cut at a pixel is the tool's height at the pixel's distance from the nearest
// end or middle of a move (ToolSweep::levelCutAt), so the moves at one depth are one set of points, and each
// pixel needs only its distance to the nearest. Row by row that is the lower envelope of the parabolas the
// points near the row make: a pixel is worked out once per depth, not once per move that passes it, and only
// where the body reaches below the surface.

#include "tool_sweep.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace zelmar {

class LevelSweep {
public:
    // Whether the tool's move is one of those: its ends pixel centres, one step apart at one depth or the same
    // centre (and the tool one whose cut levelCutAt() tells).
    static bool takes(const ToolSweep& sweep, const TipPoint& a, const TipPoint& b);
    // Keeps a move it takes for later.
    void add(const TipPoint& a, const TipPoint& b);
    bool empty() const { return points_.empty(); }
    std::size_t size() const { return points_.size(); }
    // Hands every pixel (x, y from 1, within width x height) that a kept move covers its deepest cut over all
    // of them, once, and forgets the moves.
    void settle(const ToolSweep& sweep, std::int32_t width, std::int32_t height,
                const std::function<void(std::int32_t x, std::int32_t y, double cut)>& fold);

private:
    struct Point {
        std::int32_t depth; // the tip's depth units
        std::int32_t y2;    // row and column, in half pixels
        std::int32_t x2;
        auto operator<=>(const Point&) const = default;
    };
    static void settleLevel(const ToolSweep& sweep, const Point* from, const Point* to, std::int32_t width,
                            std::int32_t height, const std::function<void(std::int32_t, std::int32_t, double)>& fold);

    std::vector<Point> points_;
};

} // namespace zelmar
