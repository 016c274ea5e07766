#pragma once
// The stretch of a job a streaming controller may not have carried out yet: the lines it took, each a straight
// segment between two machine positions. A stop or a fault drops the controller's queue somewhere in it; the
// position the controller then reports says which segment it stood on, and from there the job goes on. Where a
// path runs over the same place twice, the earliest segment is taken: a stretch cut again is air, a stretch
// skipped would be left uncut.

#include "link/machine_link.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace zelmar {

struct PathSegment {
    MachinePosition start;
    MachinePosition end;
    std::string line;   // the line that takes the machine from start to end
    bool rapid = false; // a rapid (level or up) move, else a feed move
    // Plan moves this line carries that were never acknowledged: counted done only once the controller is
    // found beyond them.
    std::int32_t unacknowledgedMoves = 0;
};

// Whether two positions are the same within the tolerance, on every axis.
bool samePlace(const MachinePosition& a, const MachinePosition& b, std::int64_t tolerance);

// The first segment, from `from` on, that the position lies on within the tolerance; none when it lies on none.
std::optional<std::size_t> segmentHolding(const std::deque<PathSegment>& path, const MachinePosition& at,
                                          std::int64_t tolerance, std::size_t from = 0);

} // namespace zelmar
