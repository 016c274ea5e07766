// The planner and the motion: blocks made from targets, queued, carried out in time; where the machine stands.
#include "grbl.h"
#include "grbl_detail.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

namespace zelmar::board::grbl {

using namespace detail;

namespace {

// Step k of n along a move of d steps, rounded as the target is; wide enough for the longest move.
std::int64_t along(std::int64_t d, std::int64_t k, std::int64_t n) {
    __extension__ using Wide = __int128;
    const Wide product = static_cast<Wide>(d) * k;
    const Wide rounded = product >= 0 ? (product + n / 2) / n : -((-product + n / 2) / n);
    return static_cast<std::int64_t>(rounded);
}

} // namespace

// --- Motion --------------------------------------------------------------------------------------------------

bool Controller::moving() const {
    return state_ == State::Run || state_ == State::Jog || state_ == State::Home;
}

std::optional<Micros> Controller::headEnd() const {
    if (critical_ || planner_.empty() || !moving())
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
    if (moving())
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
    const auto from = steps_;
    for (std::size_t i = 0; i < done.size(); ++i)
        steps_[i] += done[i];
    // The tool cut as far as it went.
    if (config_.cutLog && !planner_.empty() && planner_.front().kind == Kind::Feed && steps_ != from)
        logCut(from, steps_);
    planner_.clear();
    holdElapsed_ = 0;
}

void Controller::syncTarget() {
    for (std::size_t i = 0; i < target_.size(); ++i)
        target_[i] = (steps_[i] - origin_[i]) * nmPerStep;
}

void Controller::place(const Block& block, Micros now) {
    account(now);
    if (!busy_.running && block.kind != Kind::Jog && block.kind != Kind::Home) {
        busy_ = {true, now, now, 0, 0, -1};
    }
    planner_.push_back(block);
    if (planner_.size() > 1)
        return;
    holdElapsed_ = 0;
    headStart_ = now;
    if (state_ == State::Idle)
        state_ = block.kind == Kind::Jog ? State::Jog : State::Run;
}

void Controller::completeHead(Micros end) {
    const Block head = planner_.front();
    planner_.pop_front();
    const auto from = steps_;
    for (std::size_t i = 0; i < steps_.size(); ++i)
        steps_[i] += head.steps[i];
    if (config_.cutLog && head.kind == Kind::Feed)
        logCut(from, steps_);
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
std::optional<Controller::Block> Controller::makeBlock(const std::array<std::int64_t, 3>& target, Kind kind,
                                                       double feed) {
    Block block;
    block.kind = kind;
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
    block.length = std::sqrt(squares);
    // As grbl limits a move: no axis faster than its own maximum rate.
    block.limit = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < mm.size(); ++i)
        if (mm[i] != 0)
            block.limit = std::min(block.limit, setting(110 + static_cast<int>(i)) * block.length / std::abs(mm[i]));
    block.feed = kind == Kind::Rapid ? std::numeric_limits<double>::infinity() : feed;
    time(block);
    return block;
}

// A block's rate and time at the overrides of the moment; jogs and homing take none, as in grbl.
void Controller::time(Block& block) const {
    int percent = 100;
    if (block.kind == Kind::Feed || block.kind == Kind::Probe)
        percent = feedOverride_;
    else if (block.kind == Kind::Rapid)
        percent = rapidOverride_;
    double rate = block.kind == Kind::Rapid ? block.limit : block.feed;
    if (percent != 100)
        rate = rate * percent / 100.0;
    rate = std::min(rate, block.limit);
    block.rate = rate > 0 && rate < 1e12 ? std::llround(rate) : 0;
    if (config_.blockMs) {
        block.duration = *config_.blockMs * 1000 * 100 / percent;
    } else if (rate > 0) {
        const double us = std::ceil(block.length / rate * 60e6);
        block.duration = us >= static_cast<double>(longestBlock) ? longestBlock : std::max<Micros>(1, Micros(us));
    } else {
        block.duration = longestBlock;
    }
}

// An override takes effect at once: every block runs at the new rate from here, the head from where it stands.
void Controller::retime(Micros now) {
    for (std::size_t i = 0; i < planner_.size(); ++i) {
        Block& block = planner_[i];
        const Micros before = block.duration;
        time(block);
        if (i > 0 || before <= 0 || block.duration == before)
            continue;
        const double scale = static_cast<double>(block.duration) / static_cast<double>(before);
        if (moving())
            headStart_ = now - static_cast<Micros>(std::llround(static_cast<double>(now - headStart_) * scale));
        else if (state_ == State::Hold)
            holdElapsed_ = static_cast<Micros>(std::llround(static_cast<double>(holdElapsed_) * scale));
    }
    if (work_ && work_->block)
        time(*work_->block);
}

// The first of the steps 1..count where the probe pin reads `toward` (count + 1: none). Only the steps where the
// tool tip's Z lies within the surface's heights under the move need a look: the tip's Z changes monotonically,
// and beyond those heights the pin's reading is certain, so a long probe costs no more than its Z travel.
std::int64_t Controller::firstContact(const std::array<std::int64_t, 3>& start,
                                      const std::array<std::int64_t, 3>& delta, std::int64_t count,
                                      bool toward) const {
    const auto at = [&](std::int64_t k) {
        std::array<std::int64_t, 3> p{};
        for (std::size_t i = 0; i < p.size(); ++i)
            p[i] = start[i] + along(delta[i], k, count);
        return p;
    };
    const auto z = [&](std::int64_t k) { return mmOfSteps(at(k)[2]); };
    const auto heights = config_.surface.bounds(mmOfSteps(start[0]), mmOfSteps(start[1]),
                                                mmOfSteps(start[0] + delta[0]), mmOfSteps(start[1] + delta[1]));
    const double lo = heights.first;
    const double hi = heights.second;
    // The first k in [1, count] where a predicate that turns true once and stays so holds (count + 1: none).
    const auto first = [count](auto&& holds) {
        std::int64_t low = 1;
        std::int64_t high = count + 1;
        while (low < high) {
            const std::int64_t mid = low + (high - low) / 2;
            if (holds(mid))
                high = mid;
            else
                low = mid + 1;
        }
        return low;
    };
    const bool rising = delta[2] >= 0;
    // Steps a..b have the tip within the heights; before or after them it is above or below all of them.
    const std::int64_t a = rising ? first([&](std::int64_t k) { return z(k) > lo; })
                                  : first([&](std::int64_t k) { return z(k) <= hi; });
    const std::int64_t b = (rising ? first([&](std::int64_t k) { return z(k) > hi; })
                                   : first([&](std::int64_t k) { return z(k) <= lo; })) - 1;
    // Below all heights a probe toward the stock touches; above them one leaving it has left.
    if (rising == toward && a > 1)
        return 1;
    for (std::int64_t k = a; k <= b; ++k)
        if (touching(at(k)) == toward)
            return k;
    return rising == toward ? count + 1 : b + 1;
}

bool Controller::touching(const std::array<std::int64_t, 3>& at) const {
    return config_.surface.any() &&
           mmOfSteps(at[2]) <= config_.surface.height(mmOfSteps(at[0]), mmOfSteps(at[1]));
}

void Controller::logCut(const std::array<std::int64_t, 3>& from, const std::array<std::int64_t, 3>& to) {
    const auto line = [this](const std::array<std::int64_t, 3>& at) {
        const double x = mmOfSteps(at[0]);
        const double y = mmOfSteps(at[1]);
        char text[160];
        if (config_.surface.any())
            std::snprintf(text, sizeof text, "%.4f %.4f %.4f %.4f", x, y, mmOfSteps(at[2]),
                          config_.surface.height(x, y));
        else
            std::snprintf(text, sizeof text, "%.4f %.4f %.4f none", x, y, mmOfSteps(at[2]));
        cutLog_.emplace_back(text);
    };
    if (config_.cutLogEvery > 0) {
        double squares = 0;
        for (std::size_t i = 0; i < from.size(); ++i)
            squares += std::pow(mmOfSteps(to[i] - from[i]), 2);
        const double length = std::sqrt(squares);
        for (double distance = config_.cutLogEvery; distance < length; distance += config_.cutLogEvery) {
            std::array<std::int64_t, 3> at{};
            for (std::size_t i = 0; i < at.size(); ++i)
                at[i] = from[i] + std::llround(static_cast<double>(to[i] - from[i]) * distance / length);
            line(at);
        }
    }
    line(to);
}

std::vector<std::string> Controller::takeCutLog() {
    return std::exchange(cutLog_, {});
}

// The probe starts once the machine stands: the probe pin's state there decides whether it may start at all,
// and the contact is the first motor step along the move where the pin changes. False when it cannot start.
bool Controller::startProbe(Work& work, Micros now) {
    Probe& probe = *work.probe;
    probe.started = true;
    syncTarget();
    const bool toward = probe.mode == Motion::Probe2 || probe.mode == Motion::Probe3;
    const auto start = steps_;
    if (touching(start) == toward) {
        raiseAlarm(4, "probe already in its end state at the start");
        work.outcome = "probe refused";
        return false;
    }
    std::array<std::int64_t, 3> delta{};
    std::int64_t count = 0;
    for (std::size_t i = 0; i < delta.size(); ++i) {
        delta[i] = stepsOf(probe.target[i]) + origin_[i] - start[i];
        count = std::max(count, std::abs(delta[i]));
    }
    const auto step = [&](std::int64_t k) {
        std::array<std::int64_t, 3> at{};
        for (std::size_t i = 0; i < at.size(); ++i)
            at[i] = start[i] + along(delta[i], k, count);
        return at;
    };
    const auto contact = [&] { return config_.surface.any() ? firstContact(start, delta, count, toward) : count + 1; };
    auto stop = probe.target;
    if (const std::int64_t k = contact(); k <= count) {
        probe.contact = true;
        const auto at = step(k);
        for (std::size_t i = 0; i < at.size(); ++i)
            stop[i] = (at[i] - origin_[i]) * nmPerStep;
    }
    if (auto block = makeBlock(stop, Kind::Probe, probe.feed))
        place(*block, now);
    return true;
}

void Controller::finishProbe(Work& work) {
    const Probe& probe = *work.probe;
    const bool alarm = probe.mode == Motion::Probe2 || probe.mode == Motion::Probe4;
    std::array<std::int64_t, 3> at{};
    for (std::size_t i = 0; i < at.size(); ++i)
        at[i] = steps_[i] - origin_[i];
    probeSucceeded_ = probe.contact;
    // A failed G38.2 leaves the last probe's position; G38.3 records where it ended.
    if (probe.contact || !alarm)
        probed_ = at;
    if (probe.contact) {
        syncTarget();
    } else {
        target_ = probe.target;
        if (alarm)
            raiseAlarm(5, "probe without contact");
    }
    std::array<std::int64_t, 3> nm{};
    for (std::size_t i = 0; i < nm.size(); ++i)
        nm[i] = probed_[i] * nmPerStep;
    push("[PRB:" + triple(nm) + (probe.contact ? ":1]" : ":0]"));
    work.outcome = probe.contact ? "probe contact at " + triple(nm) : "probe without contact";
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
    if (w.homing) {
        if (!planner_.empty())
            return false;
        // The switches are where the board started; they are machine zero from now on.
        origin_ = {};
        state_ = State::Idle;
        syncTarget();
        w.homing = false;
        w.outcome = "homed";
    }
    if (w.probe) {
        if (!w.probe->started) {
            if (!planner_.empty())
                return false;
            if (!startProbe(w, now))
                w.probe.reset();
        }
        if (w.probe) {
            if (!planner_.empty())
                return false;
            finishProbe(w);
            w.probe.reset();
        }
    }
    if (w.offset) {
        if (!planner_.empty())
            return false;
        offsets_[w.offset->first] = w.offset->second;
        if (w.offset->first == 0)
            wcoCountdown_ = 0;
        w.offset.reset();
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
        modal_.motion = Motion::Feed;
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
