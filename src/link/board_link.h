#pragma once
// Our board's protocol on a serial line: one command at a time, the protocol's pause after it, then the wait
// for "OK", all timed with a timer and fed by the line's own signals; nothing blocks, nothing spins.

#include "machine_link.h"
#include "ok_exchange.h"

#include <QElapsedTimer>
#include <QTimer>

namespace zelmar {

class BoardLink : public MachineLink {
    Q_OBJECT
public:
    static constexpr int defaultTimeoutSeconds = 30;
    // The protocol's pause after every write, and the line's speed.
    static constexpr int protocolPauseMs = 100;
    static constexpr int baudRate = 9600;

    explicit BoardLink(SerialLine& line, QObject* parent = nullptr);

    void setTimeoutMs(std::int64_t ms) { exchange_.setTimeoutMs(ms); }
    // Only tests shorten the pause, so that thousands of moves fit in a test run.
    void setPauseMs(std::int64_t ms) { exchange_.setPauseMs(ms); }

    bool isOpen() const override { return line_.isOpen(); }
    MoveText commandFor(const CommandMove& command, std::int32_t stepsPerPixel) const override;
    bool canSend(std::size_t) const override { return !exchange_.running() && !aborted_; }
    void send(const std::string& command) override;
    void prepareForJob() override;
    void abort() override;
    bool positionUncertain() const { return positionUncertain_; }

private:
    std::int64_t now() const { return clock_.elapsed(); }
    // Where the pause starts: the clock counts whole milliseconds, and a start rounded down would end a pause
    // up to a millisecond early. Without a pause there is nothing to round.
    std::int64_t pauseStart() const {
        return exchange_.pauseMs() > 0 ? (clock_.nsecsElapsed() + 999'999) / 1'000'000 : now();
    }
    void take();
    void decide();
    void fail(LinkFault fault);

    SerialLine& line_;
    OkExchange exchange_;
    QElapsedTimer clock_;
    QTimer deadline_;
    std::string command_;
    bool aborted_ = false;
    bool acknowledgedSent_ = false;
    bool positionUncertain_ = false;
};

} // namespace zelmar
