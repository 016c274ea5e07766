#pragma once
// The stock's surface as probed: heights on a grid in work coordinates, and the moves of a job bent to follow
// them. A warped or tilted stock then takes every cut at the depth the picture asks, measured from its own top.
//
// The file is text, a line each:
//   # any comment
//   grid NX NY            points along X and along Y, 2 or more each
//   origin X0 Y0          work coordinates of the first point, mm
//   step DX DY            the spacing, mm, above 0
//   then NY lines of NX heights (mm), the first line at Y0, each next one DY further along Y; within a line
//   from X0 along X.
// Numbers are plain decimals ("-0.125"), never with an exponent.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmar {

// Why a text is not a height map, and where.
struct HeightMapProblem {
    enum class Kind {
        None,
        NotANumber,     // `word` on `line`
        TwoNumbers,     // grid, origin or step (`word`) without exactly two numbers
        BadGrid,        // not two whole numbers of 2 or more points (at most a million in all)
        BadStep,        // not above 0
        HeightsTooEarly,
        RowLength,      // a row without `expected` heights
        HeaderMissing,  // grid, origin or step never came
        RowCount,       // `expected` rows, `given` given
    };
    Kind kind = Kind::None;
    std::size_t line = 0; // from 1; 0: the whole text
    std::string word;     // the word at fault, shortened and printable
    std::int64_t expected = 0;
    std::int64_t given = 0;
};

struct HeightMap {
    std::int32_t nx = 0;
    std::int32_t ny = 0;
    double originX = 0;
    double originY = 0;
    double stepX = 0;
    double stepY = 0;
    std::vector<double> z; // row by row from the first (Y0), NX a row

    double at(std::int32_t i, std::int32_t j) const { return z[static_cast<std::size_t>(j) * nx + i]; }
    // The surface at a work position: bilinear within the cell that holds it; beyond the grid, as at its edge.
    double heightAt(double x, double y) const;

    // Nothing (and the reason) for a text that is not such a map.
    static std::optional<HeightMap> read(std::string_view text, HeightMapProblem* problem = nullptr);
    std::string text() const;
};

// A position in motor steps from the work zero, along the machine's axes.
struct StepPoint {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t z = 0;
    bool operator==(const StepPoint&) const = default;
};

// A straight move from `from` to `to` (planned, as over a flat stock) bent to the map: cut where it crosses a
// line of the grid, so that no piece spans more than one cell, and every piece's end raised or lowered by the
// surface there, to the nearest step. The pieces' ends in order, the last being `to`'s own. XY ends lie on the
// move's line within half a step.
std::vector<StepPoint> mappedMove(const HeightMap& map, double mmPerStep, const StepPoint& from, const StepPoint& to);

// A point of the plan with the surface's rise under it, to the nearest step.
StepPoint mappedPoint(const HeightMap& map, double mmPerStep, const StepPoint& planned);

} // namespace zelmar
