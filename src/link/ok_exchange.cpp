#include "ok_exchange.h"

#include <algorithm>

namespace zelmar {

void OkExchange::begin(std::size_t bytes, std::int64_t now) {
    reset();
    state_ = State::Writing;
    writeDeadline_ = now + 10 * static_cast<std::int64_t>(bytes) + 1000;
}

void OkExchange::bytesOut(std::int64_t now) {
    if (state_ != State::Writing)
        return;
    state_ = State::Pausing;
    pauseEnd_ = now + pauseMs_;
    writtenAt_ = now;
    activityAt_ = now;
}

void OkExchange::received(std::string_view bytes, std::int64_t now) {
    if (!running() || bytes.empty())
        return;
    for (char c : bytes)
        reply_.add(c);
    activityAt_ = std::max(activityAt_, now);
}

OkExchange::State OkExchange::poll(std::int64_t now) {
    if (state_ == State::Writing && now >= writeDeadline_)
        return fail(Fault::ShortWrite);
    if (state_ == State::Pausing && now >= pauseEnd_)
        state_ = State::Waiting;
    if (state_ != State::Waiting)
        return state_;
    if (reply_.found())
        return state_ = State::Done;
    if (now - activityAt_ > timeoutMs_)
        return fail(Fault::Timeout);
    // However much the board sends, a wait without "OK" ends this many time-outs after the command.
    if (now - writtenAt_ > babblingLimitFactor * timeoutMs_)
        return fail(Fault::Babbling);
    return state_;
}

std::int64_t OkExchange::nextDeadline() const {
    switch (state_) {
    case State::Writing:
        return writeDeadline_;
    case State::Pausing:
        return pauseEnd_;
    case State::Waiting:
        return std::min(activityAt_ + timeoutMs_, writtenAt_ + babblingLimitFactor * timeoutMs_) + 1;
    default:
        return never;
    }
}

OkExchange::State OkExchange::fail(Fault fault) {
    fault_ = fault;
    return state_ = State::Failed;
}

} // namespace zelmar
