#pragma once
// Where the board stands after the moves done, as the runner counts them: every plan move, lift and plunge done
// (sent and acknowledged, or drawn only) moves it; those done on the machine also move the depth the machine
// has, which a pause's lift takes back up.

#include "mill/milling.h"

#include <cstdint>

namespace zelmar {

struct BoardPosition {
    // Pixel column and row, depth below the surface (negative above it).
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t depth = 0;
    bool down = false;          // a plunge went in and no lift or approach followed
    std::int32_t liveDepth = 0; // how deep the moves sent to the machine took it
    std::int64_t sent = 0;      // plan moves done on the machine

    // A plan move done; live: on the machine, not only drawn.
    void planMoveDone(const PlannedMove& move, bool live) {
        x += move.x;
        y += move.y;
        depth -= move.z;
        if (live) {
            liveDepth -= move.z;
            ++sent;
        }
        if (move.kind == MoveKind::Plunge)
            down = true;
        else if (move.kind == MoveKind::Lift || move.kind == MoveKind::Approach)
            down = false;
    }

    // The lift of a pause or a stop (or the plunge back) by `by` depth units.
    void liftedOrPlunged(bool lift, std::int32_t by, bool live) {
        const std::int32_t deeper = lift ? -by : by;
        depth += deeper;
        if (live)
            liveDepth += deeper;
        down = !lift;
    }
};

} // namespace zelmar
