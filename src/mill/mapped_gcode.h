#pragma once
// A job's G-code on stock that is not flat: the job starts at the work zero, at the surface, and every move
// follows the probed surface (HeightMap), cut at its grid's lines. The depths below the surface are the plan's.

#include "gcode.h"
#include "height_map.h"

#include <string>

namespace zelmar {

class MappedGcode {
public:
    MappedGcode(const GcodeWriter& writer, const HeightMap& map) : writer_(writer), map_(map) {}

    // The lines of one command: one a piece of its move.
    std::string lines(const CommandMove& command);
    // Where the plan stands and where the tool stands, in steps from the work zero.
    const StepPoint& planned() const { return planned_; }
    const StepPoint& tool() const { return tool_; }

private:
    GcodeWriter writer_;
    const HeightMap& map_;
    StepPoint planned_;
    StepPoint tool_;
};

} // namespace zelmar
