// The planner and the motion: blocks made from targets, queued, carried out in time; where the machine stands.
#include "grbl.h"
#include "grbl_detail.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelmar::board::grbl {

using namespace detail;

// --- Motion --------------------------------------------------------------------------------------------------

std::optional<Micros> Controller::headEnd() const {
    if (critical_ || planner_.empty() || (state_ != State::Run && state_ != State::Jog))
        return std::nullopt;
    return headStart_ + planner_.front().duration;
}

std::optional<Micros> Controller::nextDue() const {
    std::optional<Micros> due = headEnd();
    if (work_ && work_->dwellUntil)
        due = due ? std::min(*due, *work_->dwellUntil) : *work_->dwellUntil;
    return due;
}

bool Controller::busy() const {
    return headEnd().has_value() || (work_ && work_->dwellUntil);
}

std::array<std::int64_t, 3> Controller::partial(Micros now) const {
    std::array<std::int64_t, 3> done{};
    if (planner_.empty())
        return done;
    const Block& head = planner_.front();
    Micros elapsed = 0;
    if (state_ == State::Run || state_ == State::Jog)
        elapsed = now - headStart_;
    else if (state_ == State::Hold)
        elapsed = holdElapsed_;
    if (head.duration <= 0 || elapsed <= 0)
        return done;
    const double fraction = std::min(1.0, static_cast<double>(elapsed) / static_cast<double>(head.duration));
    for (std::size_t i = 0; i < done.size(); ++i)
        done[i] = static_cast<std::int64_t>(static_cast<double>(head.steps[i]) * fraction);
    return done;
}

std::array<std::int64_t, 3> Controller::position(Micros now) const {
    auto pos = partial(now);
    for (std::size_t i = 0; i < pos.size(); ++i)
        pos[i] += steps_[i];
    return pos;
}

std::array<std::int64_t, 3> Controller::machinePosition(Micros now) const {
    auto pos = position(now);
    for (std::size_t i = 0; i < pos.size(); ++i)
        pos[i] -= origin_[i];
    return pos;
}

void Controller::stopMotion(Micros now) {
    const auto done = partial(now);
    for (std::size_t i = 0; i < done.size(); ++i)
        steps_[i] += done[i];
    planner_.clear();
    holdElapsed_ = 0;
}

void Controller::syncTarget() {
    for (std::size_t i = 0; i < target_.size(); ++i)
        target_[i] = (steps_[i] - origin_[i]) * nmPerStep;
}

void Controller::place(const Block& block, Micros now) {
    account(now);
    if (!busy_.running && !block.jog) {
        busy_ = {true, now, now, 0, 0, -1};
    }
    planner_.push_back(block);
    if (planner_.size() > 1)
        return;
    holdElapsed_ = 0;
    headStart_ = now;
    if (state_ == State::Idle)
        state_ = block.jog ? State::Jog : State::Run;
}

void Controller::completeHead(Micros end) {
    const Block head = planner_.front();
    planner_.pop_front();
    for (std::size_t i = 0; i < steps_.size(); ++i)
        steps_[i] += head.steps[i];
    ++blocksRun_;
    holdElapsed_ = 0;
    headStart_ = end;
    if (planner_.empty())
        state_ = State::Idle;
    if (config_.alarmAt && !alarmTripped_ && blocksRun_ >= *config_.alarmAt) {
        alarmTripped_ = true;
        tripAlarm(1, end, "hard limit after " + std::to_string(blocksRun_) + " motion blocks");
    }
}

void Controller::advance(Micros now) {
    for (;;) {
        if (const auto end = headEnd(); end && *end <= now) {
            account(*end);
            completeHead(*end);
            processLines(*end);
            continue;
        }
        if (!processLines(now))
            break;
    }
}

bool Controller::outsideTravel(const std::array<std::int64_t, 3>& target) const {
    if (setting(20) == 0)
        return false;
    for (std::size_t i = 0; i < target.size(); ++i) {
        const double limit = setting(130 + static_cast<int>(i)) * 1e6;
        if (std::abs(static_cast<double>(target[i])) > limit)
            return true;
    }
    return false;
}

// The block from the parser's position to `target`; none when no motor would step.
std::optional<Controller::Block> Controller::makeBlock(const std::array<std::int64_t, 3>& target, bool rapid,
                                                       double feed, bool jog) {
    Block block;
    block.jog = jog;
    double squares = 0;
    std::array<double, 3> mm{};
    bool steps = false;
    for (std::size_t i = 0; i < target.size(); ++i) {
        block.steps[i] = stepsOf(target[i]) - stepsOf(target_[i]);
        steps = steps || block.steps[i] != 0;
        mm[i] = static_cast<double>(target[i] - target_[i]) / 1e6;
        squares += mm[i] * mm[i];
    }
    if (!steps)
        return std::nullopt;
    const double length = std::sqrt(squares);
    // As grbl limits a move: no axis faster than its own maximum rate.
    double rate = rapid ? std::numeric_limits<double>::infinity() : feed;
    for (std::size_t i = 0; i < mm.size(); ++i)
        if (mm[i] != 0)
            rate = std::min(rate, setting(110 + static_cast<int>(i)) * length / std::abs(mm[i]));
    block.rate = rate > 0 && rate < 1e12 ? std::llround(rate) : 0;
    if (config_.blockMs) {
        block.duration = *config_.blockMs * 1000;
    } else if (rate > 0) {
        const double us = std::ceil(length / rate * 60e6);
        block.duration = us >= static_cast<double>(longestBlock) ? longestBlock : std::max<Micros>(1, Micros(us));
    } else {
        block.duration = longestBlock;
    }
    return block;
}

// --- Lines ---------------------------------------------------------------------------------------------------

bool Controller::processLines(Micros now) {
    bool progressed = false;
    while (!critical_ && !hungUp_ && !finished()) {
        if (work_) {
            if (!continueWork(now))
                break;
            progressed = true;
            continue;
        }
        if (rx_.empty())
            break;
        const char c = rx_.front();
        rx_.erase(0, 1);
        progressed = true;
        takeLineByte(c, now);
    }
    return progressed;
}

bool Controller::continueWork(Micros now) {
    Work& w = *work_;
    if (w.dwell && !w.dwellUntil) {
        if (!planner_.empty())
            return false;
        w.dwellUntil = now + *w.dwell;
    }
    if (w.dwellUntil && *w.dwellUntil > now)
        return false;
    if (w.block) {
        if (planner_.size() >= plannerBlocks)
            return false;
        place(*w.block, now);
        w.block.reset();
    }
    if (w.spindleOn) {
        if (!planner_.empty())
            return false;
        const auto at = machinePosition(now);
        w.outcome += (w.outcome.empty() ? "" : ", ") + std::string(*w.spindleOn ? "spindle on" : "spindle off") +
                     " at " + millimetres(at[0]) + " " + millimetres(at[1]) + " " + millimetres(at[2]);
        w.spindleOn.reset();
    }
    if (w.programEnd) {
        if (!planner_.empty())
            return false;
        // Program end restores some modes, as grbl does: G1, G90.
        modal_.feedMotion = true;
        modal_.relative = false;
        push("[MSG:Pgm End]");
        if (busy_.running) {
            account(now);
            const Micros whole = std::max<Micros>(now - busy_.since, 1);
            const auto share = [whole](Micros part) {
                char text[64];
                std::snprintf(text, sizeof text, "%lld ms (%.1f %%)", static_cast<long long>(part / 1000),
                              100.0 * static_cast<double>(part) / static_cast<double>(whole));
                return std::string(text);
            };
            const Micros sending = std::max<Micros>((busy_.lastLineAt >= 0 ? busy_.lastLineAt : now) - busy_.since, 1);
            char rx[96];
            std::snprintf(rx, sizeof rx, "%lld ms (%.1f %%) of the %lld ms until the last line came",
                          static_cast<long long>(busy_.rxEmpty / 1000),
                          100.0 * static_cast<double>(busy_.rxEmpty) / static_cast<double>(sending),
                          static_cast<long long>(sending / 1000));
            event("program from its first move to its end: " + std::to_string(whole / 1000) +
                  " ms; receive buffer empty " + rx + ", planner empty " + share(busy_.starved));
            busy_.running = false;
        }
    }
    std::string outcome = std::move(w.outcome);
    if (const Micros waited = now - w.since; waited >= 1000)
        outcome += (outcome.empty() ? "" : ", ") + std::string("after ") + std::to_string(waited / 1000) + " ms";
    const std::string raw = std::move(w.raw);
    work_.reset();
    answer(raw, 0, outcome);
    return true;
}

} // namespace zelmar::board::grbl
