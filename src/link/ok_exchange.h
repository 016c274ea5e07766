#pragma once
// One command to our board and the wait for its "OK", as a machine fed with what happens on the line and the
// time it happened. The port adapter hands it events and asks when to look again, so that nothing ever
// sleeps or spins; a test or a fuzzer drives it with a clock of its own.
//
// The command's bytes must leave within 10 ms a byte + 1000 ms; then the protocol's pause (100 ms) runs; the
// move is done once the pause is over and "OK" has been seen among the bytes received since the command was
// handed over (bytes that were waiting from before count too, as the board may have sent them late). The wait
// ends with a time-out when nothing has come for the time-out, and also when the board keeps sending without
// ever saying "OK", four time-outs after the command.

#include "move_command.h"

#include <cstdint>
#include <limits>
#include <string_view>

namespace zelmar {

class OkExchange {
public:
    enum class State { Idle, Writing, Pausing, Waiting, Done, Failed };
    enum class Fault { None, ShortWrite, Timeout, Babbling };
    static constexpr int babblingLimitFactor = 4;
    static constexpr std::int64_t never = std::numeric_limits<std::int64_t>::max();

    void setPauseMs(std::int64_t ms) { pauseMs_ = ms; }
    std::int64_t pauseMs() const { return pauseMs_; }
    void setTimeoutMs(std::int64_t ms) { timeoutMs_ = ms; }
    std::int64_t timeoutMs() const { return timeoutMs_; }

    // The command, `bytes` long, was handed to the port.
    void begin(std::size_t bytes, std::int64_t now);
    // Every byte of it has left.
    void bytesOut(std::int64_t now);
    void received(std::string_view bytes, std::int64_t now);
    // Decides what the clock allows; returns the state.
    State poll(std::int64_t now);
    // When poll has something new to decide; never once the exchange has ended.
    std::int64_t nextDeadline() const;

    State state() const { return state_; }
    // "OK" has been seen; the move is done once the pause is over as well.
    bool acknowledged() const { return reply_.found(); }
    Fault fault() const { return fault_; }
    bool running() const { return state_ == State::Writing || state_ == State::Pausing || state_ == State::Waiting; }
    void reset() { *this = OkExchange(pauseMs_, timeoutMs_); }

    OkExchange() = default;

private:
    OkExchange(std::int64_t pauseMs, std::int64_t timeoutMs) : pauseMs_(pauseMs), timeoutMs_(timeoutMs) {}
    State fail(Fault fault);

    std::int64_t pauseMs_ = 100;
    std::int64_t timeoutMs_ = 30000;
    State state_ = State::Idle;
    Fault fault_ = Fault::None;
    AcknowledgementScanner reply_;
    std::int64_t writeDeadline_ = 0;
    std::int64_t pauseEnd_ = 0;
    std::int64_t writtenAt_ = 0;
    std::int64_t activityAt_ = 0;
};

} // namespace zelmar
