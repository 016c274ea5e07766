#pragma once
// Where a shaped tool may go: at each pixel, the deepest cut (depth units, 0 at the surface) at which no part of
// the tool goes below the target surface of any pixel it covers. The target surface is the cut depth of every
// pixel, as today's one-pixel tool would cut it, and 0 (the untouched stock) beyond the picture.
//
// Made once per milling for the whole picture. Depths take few values, so the rule is worked out one depth level
// at a time: the distance from every pixel to the nearest pixel at that level or shallower (an exact Euclidean
// distance transform, separable: down the columns, then the lower envelope of parabolas along each row), and the
// tool's height at that distance bounds the depth there. Cost: one transform a level present in the picture,
// independent of the tool's size.

#include "tool_shape.h"

#include <cstdint>
#include <span>
#include <vector>

namespace zelmar {

// targets: width * height cut depths, row by row from the picture's top row. The result has the same layout; with
// a tool that covers one pixel it is the targets themselves.
std::vector<std::uint8_t> dropCutterDepths(std::span<const std::uint8_t> targets, std::int32_t width,
                                           std::int32_t height, const ToolProfile& tool);

} // namespace zelmar
