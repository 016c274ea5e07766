#pragma once
// A controller board's line protocol as the runner sees it: how a command is written for this machine, whether
// another may go out now, and word of each acknowledged or failed command, in order. Our board takes one
// command at a time; a streaming controller (grbl) takes as many as its receive buffer holds, holds and goes on
// by itself, and is done with a job only when it stands idle after its last line.

#include "mill/commands.h"
#include "move_command.h"
#include "serial_line.h"

#include <QObject>

#include <cstdint>
#include <string>
#include <vector>

namespace zelmar {

// Where a machine that reports its position stands, in units of 10^-9 mm, so that any millimetres-a-step with up
// to nine decimals is exact.
struct MachinePosition {
    std::int64_t x = 0, y = 0, z = 0;
    bool operator==(const MachinePosition&) const = default;
};

struct LinkFault {
    enum class Kind {
        None,
        NotOpen,    // the port is closed: nothing was sent
        Lost,       // the line failed
        ShortWrite, // the command did not leave whole
        Timeout,    // no answer within the time-out
        Babbling,   // bytes, but never the acknowledgement
        Rejected,   // the controller refused a line (grbl "error:N")
        Alarm,      // the controller went into alarm (grbl "ALARM:N")
        OffPath,    // a kept job cannot go on: the machine stands where none of its lines took it
        Restarted,  // a kept job cannot go on: the controller restarted and its coordinates began afresh
        PositionLost, // a kept job cannot go on: an alarm left the controller unsure where the machine stands
    };
    Kind kind = Kind::None;
    SerialLine::Loss loss = SerialLine::Loss::None; // how the line was lost
    std::string command;                            // the command concerned
    std::int64_t seconds = 0;                       // the time waited, for a time-out
    // A command went out whose answer never came: where the machine stands is no longer certain.
    bool positionUncertain = false;
    // This command left, wholly or in part: the machine may have carried it out.
    bool commandWentOut = false;
    int code = 0;             // the controller's error or alarm number
    std::int64_t lineNumber = 0; // the refused line's number in the job, from 1
    bool fromGrbl = false;       // the fault is a grbl controller's, not our board's
    MachinePosition at{};        // OffPath: where the machine stood
    MachinePosition expected{};  // and where the kept job had left it
    std::int64_t pixelTravel = 0; // OffPath: how far one pixel of the job moves an axis (0: unknown)
};

class MachineLink : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual bool isOpen() const = 0;
    // The command, in pixels and depth units at the given scale, in this machine's words; refused when the
    // machine cannot take it.
    virtual MoveText commandFor(const CommandMove& command, std::int32_t stepsPerPixel) const = 0;
    // Whether a command of so many bytes may go out now, beside those still unanswered.
    virtual bool canSend(std::size_t bytes) const = 0;
    // Sends a command: moveDone() or failed() follows, never from inside this call.
    virtual void send(const std::string& command) = 0;
    // Before a job: a late answer to a timed-out command must not acknowledge the job's first move.
    virtual void prepareForJob() = 0;
    // The window is closing: a running wait ends at once and nothing more is sent.
    virtual void abort() = 0;

    // A streaming controller: pauses by itself (feed hold) and goes on (cycle start), and stops by dropping its
    // queue; the job is done when it reports standing idle. Our board does none of this.
    virtual bool streams() const { return false; }
    virtual void hold() {}
    virtual void release() {}
    // Holds, waits for the machine to stand, drops everything queued; stoppedAt() follows with where it stands.
    virtual void stopAndDrop() {}
    // Asks for the machine's state; idleAt() follows once it stands idle with nothing queued.
    virtual void awaitIdle() {}
    // The lines that set a streaming controller up for a job's commands (units, incremental moves), sent again
    // after it has dropped its queue.
    virtual std::vector<std::string> modalLines() const { return {}; }
    // A move of the machine from where it stands, in its own words (after a stop, to the end of the line it
    // was cut off in).
    virtual std::string rawMove(const MachinePosition& delta, bool rapid) const {
        (void)delta;
        (void)rapid;
        return {};
    }
    // How far the command takes a machine that reports its position; false when the distance cannot be held.
    virtual bool travelOf(const CommandMove& command, std::int32_t stepsPerPixel, MachinePosition& travel) const {
        (void)command;
        (void)stepsPerPixel;
        travel = {};
        return true;
    }
    // The last lines of a job on a streaming controller, the program end last, and whether a move may be sent
    // aside now: a controller in feed hold takes no jog.
    virtual std::vector<std::string> closingLines() const { return {}; }
    // The lines that take a machine standing after a dropped queue straight up by `up` (10^-9 mm), then stop its
    // spindle; none where the machine has no such lines.
    virtual std::vector<std::string> liftLines(std::int64_t up) const {
        (void)up;
        return {};
    }
    // Counts the times the controller started its coordinates afresh (a reset it was not asked for): a position
    // taken before means nothing after.
    virtual std::uint64_t positionEpoch() const { return 0; }
    virtual bool takesMoveAside() const { return true; }

signals:
    // The machine has acknowledged the oldest command in flight; it is done once moveDone() follows (our
    // board's pause may still run in between).
    void acknowledged();
    void moveDone();
    void failed(const zelmar::LinkFault& fault);
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
