#pragma once
// A deliberately slow, literal transcription of the region milling toolpath and of the two milling commands
// ("Выделенная", "Все"), kept as the yardstick the fast code in src/mill is compared with. Every step is the
// plain one: a whole-map scan for every start pixel, a link-table scan for every contour, a full working
// buffer and a full snapshot on every entry, the whole buffer written back after every step, and a linear
// search through the earlier states of a contour. Keep it that way: its worth lies in being obviously the
// algorithm, not in speed. It shares nothing with the fast code but the pixel index rule.
//
// The open points are settled as the fast code settles them: label cells outside columns 1..W and rows 1..H
// (the frame row and column included) never belong to the region traced, and a position outside the image
// has cut depth 0; a neighbour contour with no start pixel in rows 1..H-1 is skipped whole and the next link
// is scanned; the outer contour scans rows 1..H and a region without a pixel is not cut at all; links are
// read over 1..min(linkCount, table size); in "Все" an id beyond the region table is not live; the 3 x 3
// marks are clipped to the image; a contour also ends, with its lift, after a step whose end state repeats
// the end state of an earlier step of the same contour.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelmar::reference {

// One SendMove call: x, y in pixels, z in depth units, negative z deeper.
struct MillMove {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    bool operator==(const MillMove&) const = default;
};

struct MillRecord {
    std::int32_t depth = 0;
    bool isLight = false;
    std::int32_t state = 0; // 0 free, 1 live, 4 milled
};

struct MillLink {
    std::int32_t childId = 0;
    std::int32_t parentId = 0;
};

// Everything a milling reads and writes, as plain values.
struct MillingState {
    // The shared bitmap header, as filled from the source layer.
    std::int32_t bmWidth = 0;
    std::int32_t bmHeight = 0;
    std::int32_t bmBitsPixel = 32;

    // The mill layer's bitmap bits: rows of stride bytes, top row first.
    std::vector<std::uint8_t> millLayer;

    // labelMap[x][y], x = 0..bmWidth, y = 0..bmHeight, as the map is dimensioned.
    std::vector<std::vector<std::int32_t>> labelMap;
    std::vector<MillRecord> regionTable; // element 0 unused
    std::vector<MillLink> linkTable;     // element 0 unused
    std::int32_t linkCount = 0;

    std::int32_t toolX = 1;
    std::int32_t toolY = 1;
    std::int32_t toolZ = 0;

    // "Фрезеровать", asked where a step decides whether to send and where SendMove decides whether it sends
    // anything; ticked when unset.
    std::function<bool()> check1;

    // What the run did, in order.
    std::vector<MillMove> moves;           // every move of the tool: approaches, plunges, steps, lifts
    std::vector<MillMove> sendMoves;       // the moves that went to the board
    std::int32_t drySteps = 0;             // steps that slept instead of sending
    std::vector<std::int32_t> stepXs;      // the tool's column after each step
    std::vector<std::int32_t> stepYs;      // and its row
    std::vector<std::int32_t> millRegions; // every MillRegion call's region id
    std::int32_t contoursCut = 0;          // contours that got their approach, trace and lift
    std::int32_t contoursSkipped = 0;      // neighbour contours without a start pixel
    std::int32_t loopGuardStops = 0;       // contours ended by a repeated end state
    std::int32_t startRevisits = 0;        // contours ended by the return to the start pixel
};

void TurnClockwise(std::int32_t& dirX, std::int32_t& dirY);
void TurnCounterClockwise(std::int32_t& dirX, std::int32_t& dirY);

void MillRegion(MillingState& state, const std::int32_t& regionId);

// The two messages, lines joined by CR LF.
std::string noTreeText();
std::string noSelectionText();

// "Выделенная": the tree's node count and the selected node's key (none: no selection). Returns the message
// shown, if any.
std::optional<std::string> MillSelected(MillingState& state, std::int32_t treeNodeCount,
                                        const std::optional<std::string>& selectedKey);

// "Все". Returns the message shown, if any.
std::optional<std::string> MillAll(MillingState& state, std::int32_t treeNodeCount);

} // namespace zelmar::reference
