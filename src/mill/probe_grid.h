#pragma once
// Where the points of a height map are probed: a grid over the picture as it lies on the stock, in work
// coordinates, the job's start pixel being the work zero. Positions are whole micrometres, so that the lines
// sent and the map written say the same numbers.

#include "height_map.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelmar {

struct ProbeGrid {
    std::int32_t nx = 0;
    std::int32_t ny = 0;
    std::int64_t originX = 0, originY = 0; // µm
    std::int64_t stepX = 0, stepY = 0;     // µm, above 0

    std::int64_t x(std::int32_t i) const { return originX + stepX * i; }
    std::int64_t y(std::int32_t j) const { return originY + stepY * j; }
    std::size_t points() const { return static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny); }
    // The points in the order they are probed: row by row from Y0, each row the other way than the one before,
    // so that the tool never crosses the stock back to a row's start.
    std::vector<std::pair<std::int32_t, std::int32_t>> order() const;
    // The map of the heights probed in order(), in µm of work Z.
    HeightMap mapOf(const std::vector<std::int64_t>& heights) const;
};

// What the grid spans: the picture's pixels and the pixel the job starts over, the millimetres of a pixel and the
// machine's axes (GcodeSettings: -1 turns one), and the margin kept inside the picture's edges, in mm.
struct ProbeArea {
    std::int32_t width = 0, height = 0;
    std::int32_t startX = 1, startY = 1; // from 1, as the tool position
    double pixelMm = 0;
    std::int32_t axisX = 1, axisY = 1;
    double marginMm = 0;
};

// None when the area left inside the margins is not wider and longer than a micrometre a point.
std::optional<ProbeGrid> probeGridOver(const ProbeArea& area, std::int32_t nx, std::int32_t ny);

// Micrometres as millimetres: "-12.5", "0.001", "3".
std::string micrometreText(std::int64_t um);

} // namespace zelmar
