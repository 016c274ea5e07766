#include "mapped_gcode.h"

namespace zelmar {

std::string MappedGcode::lines(const CommandMove& command) {
    const StepPoint to{planned_.x + writer_.countX(command), planned_.y + writer_.countY(command),
                       planned_.z + writer_.countZ(command)};
    const bool rapid = isRapid(command.kind, command.z);
    // A cut that rises or falls with the surface keeps the cut's feed; a plunge stays a plunge.
    const std::int32_t feed = writer_.feedOf(command);
    std::string text;
    for (const StepPoint& end : mappedMove(map_, writer_.settings().mmPerStep.value(), planned_, to)) {
        text += writer_.moveLine(rapid, end.x - tool_.x, end.y - tool_.y, end.z - tool_.z, feed);
        tool_ = end;
    }
    planned_ = to;
    return text;
}

} // namespace zelmar
