#pragma once
// A controller board's line protocol as the runner sees it: how a move is written for this machine, whether
// another may go out now, and word of each acknowledged or failed move, in order.

#include "mill/commands.h"
#include "move_command.h"
#include "serial_line.h"

#include <QObject>

#include <cstdint>
#include <string>

namespace zelmar {

struct LinkFault {
    enum class Kind {
        None,
        NotOpen,    // the port is closed: nothing was sent
        Lost,       // the line failed
        ShortWrite, // the command did not leave whole
        Timeout,    // no answer within the time-out
        Babbling,   // bytes, but never the acknowledgement
    };
    Kind kind = Kind::None;
    SerialLine::Loss loss = SerialLine::Loss::None; // how the line was lost
    std::string command;                            // the command concerned
    std::int64_t seconds = 0;                       // the time waited, for a time-out
    // A command went out whose answer never came: where the machine stands is no longer certain.
    bool positionUncertain = false;
    // This command left, wholly or in part: the machine may have carried it out.
    bool commandWentOut = false;
};

class MachineLink : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual bool isOpen() const = 0;
    // The command, in pixels and depth units at the given scale, in this machine's words; refused when the
    // machine cannot take it.
    virtual MoveText commandFor(const CommandMove& command, std::int32_t stepsPerPixel) const = 0;
    // Whether another command may go out now.
    virtual bool canSend() const = 0;
    // Sends a command: moveDone() or failed() follows, never from inside this call.
    virtual void send(const std::string& command) = 0;
    // Before a job: a late answer to a timed-out command must not acknowledge the job's first move.
    virtual void prepareForJob() = 0;
    // The window is closing: a running wait ends at once and nothing more is sent.
    virtual void abort() = 0;

signals:
    // The machine has acknowledged the oldest move in flight; it is done once moveDone() follows (our board's
    // pause may still run in between).
    void acknowledged();
    void moveDone();
    void failed(const zelmar::LinkFault& fault);
};

} // namespace zelmar
