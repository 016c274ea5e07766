#pragma once
// How long a standard machine (grbl) takes over a job: each command's straight move at its feed (or at the axes'
// rapid rates), with the axes' acceleration, and the corners taken as grbl's planner takes them (the junction
// deviation $11: the sharper the corner, the slower), from standstill at the start to standstill at the end; and
// the lines' bytes at the line's speed. Our board's cost is another: its protocol's pause after every command.

#include "gcode.h"
#include "height_map.h"

#include <array>
#include <memory>
#include <vector>

namespace zelmar {

// grbl's $110-$112 (mm/min), $120-$122 (mm/s^2) and $11 (mm); grbl's defaults.
struct MachineRates {
    std::array<double, 3> maxRate{500, 500, 500};
    std::array<double, 3> acceleration{10, 10, 10};
    double junctionDeviation = 0.01;
};

class MotionClock {
public:
    MotionClock(const GcodeSettings& gcode, const MachineRates& rates, std::int32_t baud)
        : writer_(gcode), mmPerStep_(gcode.mmPerStep.value()), rates_(rates), baud_(baud) {}

    // The stock's probed surface the moves follow from the job's start, cut at its grid as grbl gets them.
    void setHeightMap(const HeightMap& map) { map_ = std::make_shared<const HeightMap>(map); }
    // The command's motion, and its G-code line's bytes.
    void add(const CommandMove& command);
    // The motion of every command so far and their lines, in seconds.
    double seconds() const;

private:
    struct Move {
        std::array<double, 3> unit;
        double length;
        double speed;        // mm/s it may reach
        double acceleration; // mm/s^2
    };
    // A straight move of these motor steps; its line's bytes.
    void addMove(std::int64_t x, std::int64_t y, std::int64_t z, bool rapid, std::int32_t feed, std::size_t bytes);

    GcodeWriter writer_;
    double mmPerStep_;
    std::shared_ptr<const HeightMap> map_;
    StepPoint planned_; // where the plan stands, and the tool, on the map
    StepPoint tool_;
    MachineRates rates_;
    std::int32_t baud_;
    std::vector<Move> moves_;
    double lines_ = 0;
};

} // namespace zelmar
