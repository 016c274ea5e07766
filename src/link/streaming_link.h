#pragma once
// A streaming controller (grbl) as the runner sees it, beyond what every machine does: it takes as many lines as
// its receive buffer holds, pauses by itself (feed hold) and goes on (cycle start), stops by dropping its queue,
// and says where it stands; it is done with a job only when it stands idle after its last line. Our board does
// none of this.

#include "machine_link.h"
#include "mill/height_map.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelmar {

class StreamingLink : public MachineLink {
    Q_OBJECT
public:
    using MachineLink::MachineLink;

    virtual void hold() = 0;
    virtual void release() = 0;
    // Holds, waits for the machine to stand, drops everything queued; stoppedAt() follows with where it stands.
    virtual void stopAndDrop() = 0;
    // Asks for the machine's state; idleAt() follows once it stands idle with nothing queued.
    virtual void awaitIdle() = 0;
    // The lines that set the controller up for a job's commands (units, incremental moves), sent again after it
    // has dropped its queue.
    virtual std::vector<std::string> modalLines() const = 0;
    // A move of the machine from where it stands, in its own words (after a stop, to the end of the line it was
    // cut off in).
    virtual std::string rawMove(const MachinePosition& delta, bool rapid) const = 0;
    // How far the command takes the machine; false when the distance cannot be held.
    virtual bool travelOf(const CommandMove& command, std::int32_t stepsPerPixel, MachinePosition& travel) const = 0;
    // The last lines of a job, the program end last.
    virtual std::vector<std::string> closingLines() const = 0;
    // The lines that take a machine standing after a dropped queue straight up by `up` (10^-9 mm), then stop its
    // spindle.
    virtual std::vector<std::string> liftLines(std::int64_t up) const = 0;
    // Counts the times the controller started its coordinates afresh (a reset it was not asked for): a position
    // taken before means nothing after.
    virtual std::uint64_t positionEpoch() const = 0;
    // Whether a move may be sent aside now: a controller in feed hold takes no jog.
    virtual bool takesMoveAside() const = 0;
    // Where the work's zero lies in the positions the controller reports; none while it has not said.
    virtual std::optional<MachinePosition> workZero() const = 0;
    // One motor step's travel, in the reported units (10^-9 mm).
    virtual std::int64_t stepTravel() const = 0;
    // A piece of the command bent to a height map: `delta` motor steps at the command's feed.
    virtual std::string pieceLine(const CommandMove& command, std::int32_t stepsPerPixel,
                                  const StepPoint& delta) const = 0;

signals:
    // After stopAndDrop(): the machine stands at this position, nothing is queued.
    void stoppedAt(const zelmar::MachinePosition& position);
    // After awaitIdle(): the machine stands idle at this position.
    void idleAt(const zelmar::MachinePosition& position);
    // A status report with the machine's position.
    void reportedAt(const zelmar::MachinePosition& position);
    // The operator's unlock of an alarm went through: the machine takes motion again.
    void unlocked();
};

} // namespace zelmar
