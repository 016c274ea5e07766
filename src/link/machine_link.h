#pragma once
// A controller board's line protocol as the runner sees it: how a command is written for this machine, whether
// another may go out now, and word of each acknowledged or failed command, in order. Our board takes one
// command at a time and does no more; a streaming controller (grbl) does more still (streaming_link.h).

#include "mill/commands.h"
#include "move_command.h"
#include "serial_line.h"

#include <QObject>

#include <cstdint>
#include <string>

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
        NoWorkZero,   // a job on a height map cannot start: the controller has not said where the work's zero is
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

signals:
    // The machine has acknowledged the oldest command in flight; it is done once moveDone() follows (our
    // board's pause may still run in between).
    void acknowledged();
    void moveDone();
    void failed(const zelmar::LinkFault& fault);
};

} // namespace zelmar
