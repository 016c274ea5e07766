#pragma once
// Milling of regions: the contour toolpath of one region ("MillRegion"), and the two commands that use it,
// "Выделенная" (the selected region) and "Все" (every live dark region, deepest first).
//
// The toolpath is the step-by-step trace of the contour rules: the contours around the region's children in
// link order, then the outer contour; start pixels, the clockwise search from 45 degrees counter-clockwise,
// the extra turn after a diagonal step, cut depths from the mill layer as it was when the region's milling
// began. What the rules leave open is settled so: label cells outside the image never belong to the region,
// and a position outside the image has cut depth 0; a neighbour contour with no start pixel (rows 1..H-1, the
// neighbour directly below) is skipped whole; a region with no pixel is skipped; links are read up to
// min(linkCount, table size), and a region beyond the region table (after a gradient or offset) is still
// traced from the map (only "Все" counts it as not live); the 3 x 3 marks are clipped to the image; a contour
// also ends, with its lift, after a step whose end state (position and direction after the extra turn)
// repeats one of the same contour.
//
// Cost per step does not grow with the image: start pixels and child lists come from a MillIndex made once
// per parse, and the depths of pixels this milling has marked are remembered instead of copying the layer.

#include "image/image_layer.h"
#include "image/large_array.h"
#include "image/regions.h"
#include "tool_position.h"

#include <cstdint>
#include <string>

namespace zelmar {

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
    BigVector<std::int64_t> firstPixel;
    // Links whose parent is each region, in table order: the children of region r are
    // childOf[childOffsets[r] .. childOffsets[r + 1]).
    BigVector<std::int32_t> childOffsets;
    BigVector<std::int32_t> childOf;

    // First pixel, in raster order over rows 1..H-1, of the region with the neighbour directly below it; -1
    // for none.
    std::int64_t firstPixelAbove(std::int32_t region, std::int32_t neighbourBelow) const;

    static MillIndex build(const RegionTables& tables);

    // Vertical pairs (region above, other region below) and their first pixel: open addressing.
    BigVector<std::uint64_t> pairKeys;
    BigVector<std::int64_t> pairPixels;
};

// What a milling talks to: the board, the operator's controls, the views.
class MillingHost {
public:
    virtual ~MillingHost() = default;
    // "Фрезеровать": read before every step, as the operator may tick or untick it during a run.
    virtual bool millingOn() = 0;
    // Every move goes here, also in a dry run, where the host sends nothing (a command log may still keep
    // it): x, y in pixels, z in depth units, negative z deeper. False ends the job at once: the line failed,
    // nothing more may be sent.
    virtual bool sendMove(std::int32_t x, std::int32_t y, std::int32_t z) = 0;
    // Called before the move of a step when milling is off (the window pauses 1 ms there).
    virtual void dryStep() {}
    // A step is done and marked (marked: the 0-based pixel area just painted): redraw, let events run.
    virtual void stepDone(const PixelRect& marked) { (void)marked; }
    // Before the first move of a command: how many moves it will send in all (for a progress display).
    virtual void jobStarts(std::int64_t totalMoves) { (void)totalMoves; }
    // Before every contour: which region is being milled.
    virtual void contourStarts(std::int32_t regionId) { (void)regionId; }
    // "Резать 3D": a pass begins (from 1), and the picture or the tree changed between millings.
    virtual void passStarts(int pass) { (void)pass; }
    virtual void workChanged(bool treeRebuilt) { (void)treeRebuilt; }
    // Asked after every move: the operator wants the job to end (the tool is lifted first).
    virtual bool stopRequested() { return false; }
};

enum class MillOutcome { Completed, Stopped, Failed };

struct MillingJob {
    ImageLayer& millLayer;
    const RegionTables& tables;
    const MillIndex& index;
    ToolPosition& tool;
    MillingHost& host;
};

// Mills one region. The tool ends over the start pixel of its last contour, lifted by the last lift.
MillOutcome MillRegion(MillingJob& job, std::int32_t regionId);

// The number of moves MillRegion would send for the region from the given tool position (approaches, plunges,
// steps and lifts), found by tracing without sending or marking.
std::int64_t countMillMoves(const RegionTables& tables, const MillIndex& index, ToolPosition tool,
                            std::int32_t regionId);

// "Все": the live dark regions in milling order: deepest level first, within a level by first pixel in raster
// order. Ids beyond the region table count as not live.
std::vector<std::int32_t> millAllOrder(const RegionTables& tables, const MillIndex& index);

// The messages of the two commands (lines joined by CR LF).
extern const char* const noTreeMessage;
extern const char* const noSelectionMessage;

} // namespace zelmar
