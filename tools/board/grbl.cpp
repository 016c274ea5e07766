// The controller's state and what it says: the answers to lines, the log, start-up and its alarms.
#include "grbl.h"
#include "grbl_detail.h"

#include "board.h"

#include <algorithm>
#include <utility>

namespace zelmar::board::grbl {

using namespace detail;

Controller::Controller(const Config& config) : config_(config) {
    const double rate = static_cast<double>(config.maxRate);
    const double travel = config.travel ? static_cast<double>(*config.travel) : 200.0;
    settings_ = {{0, 10, true},      {1, 25, true},      {2, 0, true},       {3, 0, true},       {4, 0, true},
                 {5, 0, true},       {6, 0, true},       {10, 1, true},      {11, 0.010, false}, {12, 0.002, false},
                 {13, 0, true},      {20, config.travel ? 1.0 : 0.0, true},   {21, 0, true},      {22, 0, true},
                 {23, 0, true},      {24, 25, false},    {25, 500, false},   {26, 250, true},    {27, 1, false},
                 {30, 1000, true},   {31, 0, true},      {32, 0, true},      {100, 250, false},  {101, 250, false},
                 {102, 250, false},  {110, rate, false}, {111, rate, false}, {112, rate, false}, {120, 10, false},
                 {121, 10, false},   {122, 10, false},   {130, travel, false}, {131, travel, false},
                 {132, travel, false}};
    if (config.homing) {
        for (Setting& s : settings_)
            if (s.id == 22)
                s.value = 1;
        state_ = State::Alarm; // powered up before the client came
    }
}

void Controller::push(std::string line) {
    out_.push_back({std::move(line) + "\r\n", false});
}

void Controller::log(std::string_view raw, std::string_view outcome) {
    log_.push_back("\"" + escaped(raw) + "\" " + std::string(outcome));
}

void Controller::event(std::string text) {
    log_.push_back(std::move(text));
}

void Controller::answer(const std::string& raw, int error, const std::string& outcome) {
    std::string text = error ? "error:" + std::to_string(error) : "ok";
    std::string note = error ? text + " (" + std::string(meaning(error)) + ")" : text;
    if (!outcome.empty())
        note += ", " + outcome;
    if (silent()) {
        log(raw, note + ", not sent (silent)");
        return;
    }
    ++answers_;
    out_.push_back({text + "\r\n", true});
    log(raw, note);
}

std::vector<Output> Controller::takeOutput() {
    return std::exchange(out_, {});
}

std::vector<std::string> Controller::takeLog() {
    return std::exchange(log_, {});
}

void Controller::powerUp(Micros now, bool resetByte) {
    const bool homing = resetByte && !critical_ && state_ == State::Home;
    const bool moving = resetByte && !critical_ && (state_ == State::Run || state_ == State::Jog) &&
                        !planner_.empty();
    stopMotion(now);
    if (work_) {
        log(work_->raw, "dropped by the reset, not answered");
        work_.reset();
    }
    if (!rx_.empty() || !raw_.empty())
        log(raw_ + rx_, "dropped by the reset");
    rx_.clear();
    raw_.clear();
    line_.clear();
    lineOverflow_ = inParentheses_ = inSemicolon_ = false;
    modal_ = {};
    critical_ = false;
    wcoCountdown_ = ovCountdown_ = 0;
    feedOverride_ = rapidOverride_ = spindleOverride_ = 100;
    if (!resetByte) {
        origin_ = steps_; // a power-up counts from where the machine stands
        probed_ = {};
        probeSucceeded_ = false;
        state_ = setting(22) != 0 ? State::Alarm : State::Idle;
    } else if (moving || homing) {
        push(homing ? "ALARM:6" : "ALARM:3");
        state_ = State::Alarm;
    } else if (state_ != State::Alarm) {
        state_ = State::Idle;
    }
    syncTarget();
    push(std::string(welcome));
    if (state_ == State::Alarm)
        push("[MSG:'$H'|'$X' to unlock]");
}

void Controller::raiseAlarm(int code, std::string_view why) {
    state_ = State::Alarm;
    push("ALARM:" + std::to_string(code));
    event("ALARM:" + std::to_string(code) + " (" + std::string(why) + ")");
}

void Controller::tripAlarm(int code, Micros now, std::string_view why) {
    stopMotion(now);
    if (work_) {
        log(work_->raw, "dropped by the alarm, not answered");
        work_.reset();
    }
    state_ = State::Alarm;
    critical_ = true;
    syncTarget();
    push("ALARM:" + std::to_string(code));
    push("[MSG:Reset to continue]");
    event("ALARM:" + std::to_string(code) + " (" + std::string(why) + ")");
}

} // namespace zelmar::board::grbl
