#pragma once
// Milling of regions as data: the contours of a region traced on the label map, and the plan of its moves
// ("MillRegion"): approach, plunge, each step with its X/Y/Z increments and the pixels it marks, lift. A plan
// is made from the mill layer as it stands when the region's milling begins; a region's depths never depend on
// its own marks, so the plan is exact before a single move is sent.
//
// The trace follows the contour rules: the contours around the region's children in link order, then the
// outer contour; start pixels, the clockwise search from 45 degrees counter-clockwise, the extra turn after a
// diagonal step. What the rules leave open is settled so: label cells outside the image never belong to the
// region, and a position outside the image has cut depth 0; a neighbour contour with no start pixel (rows
// 1..H-1, the neighbour directly below) is skipped whole; a region with no pixel is skipped; links are read up
// to min(linkCount, table size), and a region beyond the region table (after a gradient or offset) is still
// traced from the map (only "Все" counts it as not live); the 3 x 3 marks are clipped to the image; a contour
// also ends, with its lift, after a step whose end state (position and direction after the extra turn)
// repeats one of the same contour.
//
// Cost per step does not grow with the image: start pixels and child lists come from a MillIndex made once
// per parse.

#include "image/child_lists.h"
#include "mill/flat_table.h"
#include "image/image_layer.h"
#include "image/regions.h"
#include "tool_position.h"

#include <cstdint>
#include <span>
#include <vector>

namespace zelmar {

class SurfaceGuard;

void TurnClockwise(std::int32_t& dirX, std::int32_t& dirY);
void TurnCounterClockwise(std::int32_t& dirX, std::int32_t& dirY);

// (255 - b) div 10 for the first byte b of a pixel: 0 for white, 25 for black.
constexpr std::int32_t cutDepthOf(std::uint8_t firstByte) {
    return (255 - firstByte) / 10;
}

// Derived once per parse from the label map and the tables.
struct MillIndex {
    std::int32_t width = 0;
    std::int32_t height = 0;
    // First pixel of each region in raster order (rows 1..H), as y * (width + 1) + x; -1 for none. By region
    // id.
    std::vector<std::int64_t> firstPixel;
    // The children of each region: the links whose parent it is, in table order.
    ChildLists children;
    // First pixel of each vertical pair (region above, other region below), keyed by the pair.
    FlatTable<std::int64_t> pairs;

    // First pixel, in raster order over rows 1..H-1, of the region with the neighbour directly below it; -1
    // for none.
    std::int64_t firstPixelAbove(std::int32_t region, std::int32_t neighbourBelow) const;

    static MillIndex build(const RegionTables& tables);
};

// One contour on the label map: its start pixel and how many steps it takes.
struct ContourPath {
    std::int32_t startX = 0;
    std::int32_t startY = 0;
    std::uint32_t stepCount = 0;
};

// The contours of regions in the order they will be milled, traced once: where each contour starts and the
// direction of each of its steps (0..7: E, SE, S, SW, W, NW, N, NE). Their moves are known without the mill
// layer; only the depths wait for it.
class TracedRegions {
public:
    // Traces a region and appends it.
    void trace(const LabelMap& map, const MillIndex& index, std::int32_t regionId);
    // Appends a region that is milled with no move at all.
    void traceNothing(std::int32_t regionId);

    std::size_t size() const { return regions_.size(); }
    std::int32_t region(std::size_t k) const { return regions_[k].id; }
    bool hasContours(std::size_t k) const;
    // Approach, plunge and lift of every contour, and its steps.
    std::int64_t moveCount(std::size_t k) const;
    std::int64_t totalMoves() const { return totalMoves_; }

private:
    friend class RegionPlanner;
    struct Region {
        std::int32_t id = 0;
        std::uint32_t contourEnd = 0; // contours of region k: [end of region k-1, contourEnd)
        std::uint64_t stepBegin = 0;  // its first step in steps_
    };
    std::vector<Region> regions_;
    std::vector<ContourPath> contours_;
    std::vector<std::uint8_t> steps_;
    std::int64_t totalMoves_ = 0;
    std::int32_t width_ = 0; // of the label map traced
    FlatTable<std::uint8_t> endStates_;
};

// Manual: the operator's own move, which leaves the tool position the program keeps alone.
enum class MoveKind : std::uint8_t { Approach, Plunge, Step, Lift, Manual };

// One move of a plan: x, y in pixels, z in depth units (negative deeper), and where the program believes the
// tool stands once it is done. A step marks the 3 x 3 block around that place.
struct PlannedMove {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    MoveKind kind = MoveKind::Step;
    ToolPosition tool;

    bool operator==(const PlannedMove&) const = default;
};

struct RegionPlan {
    std::int32_t region = 0;
    std::vector<PlannedMove> moves;
};

// Travel between contours. With a safe height of N depth units every level move (the approach to a contour)
// runs N above the surface: the tool rises to that height before it and plunges from it after, and a contour's
// lift takes it back up there. The first approach of a milling starts with the rise from the surface, and the
// last lift of a milling ends at the surface, where every milling starts and ends. With N = 0 the moves are
// those without a safe height.
//
// With a step-down of S depth units (0: all at once) each contour is cut in passes, the k-th no deeper than k * S,
// until it reaches its depths; each pass starts from the contour's start (an approach, a plunge) and ends with a
// lift. No move goes more than S deeper below the surface than where it starts: deeper plunges go down in parts,
// and a step that would drop more than S arrives S below where it left and goes on down in plunges.
struct TravelOptions {
    std::int32_t safeHeight = 0;
    std::int32_t stepDown = 0;
    bool firstOfMilling = true; // this region's first approach starts the milling
    bool lastOfMilling = true;  // this region's last lift ends it
};

// The plan of traced region k from the tool position, its depths read from the picture given (the mill picture as
// loaded, or with its marks when they count as depth), or, for a shaped tool, from the depths it may reach
// (width * height, row by row from the top; see dropCutterDepths).
//
// A shaped tool also gets its guard: a contour it could follow nowhere below the surface is not traced at all
// (the tool travels on to the next one), and a step whose straight move would take some part of the body below
// the picture between its two ends goes as a staircase instead: up where the step begins, level across at the
// deepest height that keeps above, down where it ends (down in parts of the step-down). Each end keeps its depth.
RegionPlan planRegion(const TracedRegions& traced, std::size_t k, const ImageLayer& depthPicture,
                      const ToolPosition& tool, const TravelOptions& travel = {},
                      std::span<const std::uint8_t> reachableDepths = {}, const SurfaceGuard* guard = nullptr);

// Whether traced region k has a contour that the tool of these depths cuts below the surface somewhere.
bool cutsBelowSurface(const TracedRegions& traced, std::size_t k, std::span<const std::uint8_t> reachableDepths);

// The cut depth of every pixel of the layer, row by row from the top: what a shaped tool must not cut below.
std::vector<std::uint8_t> cutDepthsOf(const ImageLayer& millLayer);

// Trace and plan of one region at once. With no image, or tables of another image, the plan is empty.
RegionPlan MillRegion(const RegionTables& tables, const MillIndex& index, const ImageLayer& millLayer,
                      const ToolPosition& tool, std::int32_t regionId);

// Paints the mark of a done step (the bytes 0, 0, 255 over the 3 x 3 block around the tool, clipped to the
// image) into the layer; the painted area in 0-based pixels. Other moves paint nothing.
PixelRect markMove(ImageLayer& millLayer, const PlannedMove& move);

// "Все": the live dark regions in milling order: deepest level first, within a level by first pixel in raster
// order. Ids beyond the region table count as not live.
std::vector<std::int32_t> millAllOrder(const RegionTables& tables, const MillIndex& index);

} // namespace zelmar
