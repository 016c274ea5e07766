// What arrives on the line: the sender opening and closing it, the receive buffer, bytes gathered into lines and
// each line handed to its handler; the realtime bytes taken at once, and the status report.
#include "grbl.h"
#include "grbl_detail.h"

#include "board.h"

#include <algorithm>
#include <utility>

namespace zelmar::board::grbl {

using namespace detail;

// --- The line ------------------------------------------------------------------------------------------------

void Controller::clientOpened(Micros now) {
    advance(now);
    if (config_.welcomeAtOpen) {
        event("client opened the line: the board resets");
        powerUp(now, false);
    } else {
        event("client opened the line");
    }
}

void Controller::clientClosed(Micros now) {
    advance(now);
    event("client closed the line");
}

void Controller::account(Micros now) {
    if (busy_.running && now > busy_.last) {
        if (rx_.empty() && busy_.lastLineAt < 0)
            busy_.rxEmpty += now - busy_.last;
        if (planner_.empty())
            busy_.starved += now - busy_.last;
    }
    busy_.last = std::max(busy_.last, now);
}

void Controller::receive(std::string_view bytes, Micros now) {
    advance(now);
    const auto flushLost = [this] {
        if (lostRun_.empty())
            return;
        event("receive buffer overrun: " + std::to_string(lostRun_.size()) + " bytes lost (" +
              std::to_string(bytesLost_) + " in all): \"" + escaped(lostRun_) + "\"");
        lostRun_.clear();
    };
    for (const char c : bytes) {
        if (hungUp_ || finished())
            break;
        const auto u = static_cast<unsigned char>(c);
        const bool realTimeByte = c == '?' || c == '!' || c == '~' || u == 0x18 || u >= 0x80;
        if (silent()) {
            if (c == '\n' || c == '\r') {
                if (!silentRaw_.empty())
                    log(silentRaw_, "ignored (silent)");
                silentRaw_.clear();
            } else if (!realTimeByte && silentRaw_.size() < 256) {
                silentRaw_ += c;
            }
            continue;
        }
        if (realTimeByte) {
            flushLost();
            realTime(u, now);
            advance(now); // a cycle start may have work for this very moment
            continue;
        }
        if (rx_.size() >= rxBufferSize) {
            lostRun_ += c;
            ++bytesLost_;
            continue;
        }
        flushLost();
        account(now);
        rx_ += c;
        advance(now);
    }
    flushLost();
}

void Controller::takeLineByte(char c, Micros now) {
    if (c == '\n' || c == '\r') {
        const std::string raw = std::exchange(raw_, {});
        const std::string line = std::exchange(line_, {});
        const bool overflow = lineOverflow_;
        lineOverflow_ = inParentheses_ = inSemicolon_ = false;
        executeLine(raw, line, overflow, now);
        return;
    }
    if (raw_.size() < 256)
        raw_ += c;
    if (inParentheses_) {
        inParentheses_ = c != ')';
        return;
    }
    if (inSemicolon_ || static_cast<unsigned char>(c) <= ' ' || c == '/')
        return; // blanks, control characters and block delete are dropped
    if (c == '(' || c == ';') {
        (c == '(' ? inParentheses_ : inSemicolon_) = true;
        return;
    }
    if (line_.size() >= lineLimit) {
        lineOverflow_ = true;
        return;
    }
    line_ += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

void Controller::executeLine(const std::string& raw, const std::string& line, bool overflow, Micros now) {
    if (config_.hangupAfter && answers_ >= *config_.hangupAfter) {
        log(raw, "hang-up");
        hungUp_ = true;
        return;
    }
    if (silent()) {
        log(raw, "ignored (silent)");
        return;
    }
    if (overflow)
        return answer(raw, 11);
    if (line.empty())
        return answer(raw, 0);
    if (line[0] == '$')
        return systemCommand(raw, line, now);
    if (state_ == State::Alarm || state_ == State::Jog)
        return answer(raw, 9);
    gcode(raw, line, now);
}

void Controller::realTime(unsigned char c, Micros now) {
    if (c == 0x18) {
        const bool homing = !critical_ && state_ == State::Home;
        const bool moving = !critical_ && (state_ == State::Run || state_ == State::Jog) && !planner_.empty();
        log("\x18", homing   ? "soft reset while homing: ALARM:6"
                     : moving ? "soft reset in motion: ALARM:3"
                              : "soft reset");
        powerUp(now, true);
        return;
    }
    if (critical_) {
        if (c != '?')
            log(std::string(1, static_cast<char>(c)), "ignored: waiting for a reset");
        return;
    }
    switch (c) {
    case '?':
        statusReport(now);
        break;
    case '!':
        feedHold(now);
        break;
    case '~':
        if (state_ == State::Hold) {
            state_ = planner_.empty() ? State::Idle : State::Run;
            headStart_ = now - holdElapsed_;
            log("~", "cycle start");
        } else {
            log("~", "ignored: nothing held");
        }
        break;
    case 0x85:
        if (state_ == State::Jog)
            cancelJog(now, static_cast<char>(c), "jog cancel");
        else
            log(std::string(1, static_cast<char>(c)), "ignored: no jog");
        break;
    case 0x90: case 0x91: case 0x92: case 0x93: case 0x94:
    case 0x95: case 0x96: case 0x97:
    case 0x99: case 0x9A: case 0x9B: case 0x9C: case 0x9D:
        override(c, now);
        break;
    default:
        log(std::string(1, static_cast<char>(c)), "ignored: override not simulated");
        break;
    }
}

void Controller::override(unsigned char c, Micros now) {
    int feed = feedOverride_;
    int rapid = rapidOverride_;
    int spindle = spindleOverride_;
    switch (c) {
    case 0x90: feed = 100; break;
    case 0x91: feed += 10; break;
    case 0x92: feed -= 10; break;
    case 0x93: feed += 1; break;
    case 0x94: feed -= 1; break;
    case 0x95: rapid = 100; break;
    case 0x96: rapid = 50; break;
    case 0x97: rapid = 25; break;
    case 0x99: spindle = 100; break;
    case 0x9A: spindle += 10; break;
    case 0x9B: spindle -= 10; break;
    case 0x9C: spindle += 1; break;
    case 0x9D: spindle -= 1; break;
    default: break;
    }
    feed = std::clamp(feed, 10, 200);
    spindle = std::clamp(spindle, 10, 200);
    const std::string byte(1, static_cast<char>(c));
    if (feed == feedOverride_ && rapid == rapidOverride_ && spindle == spindleOverride_)
        return log(byte, "override unchanged");
    feedOverride_ = feed;
    rapidOverride_ = rapid;
    spindleOverride_ = spindle;
    ovCountdown_ = 0; // the next report says so
    retime(now);
    log(byte, "overrides " + std::to_string(feed) + "," + std::to_string(rapid) + "," + std::to_string(spindle));
}

void Controller::statusReport(Micros now) {
    std::string state;
    switch (state_) {
    case State::Idle: state = "Idle"; break;
    case State::Run: state = "Run"; break;
    case State::Hold: state = "Hold:0"; break;
    case State::Jog: state = "Jog"; break;
    case State::Home: state = "Home"; break;
    case State::Alarm: state = "Alarm"; break;
    }
    const auto pos = machinePosition(now);
    const auto mask = static_cast<std::int64_t>(setting(10));
    std::array<std::int64_t, 3> nm{};
    for (std::size_t i = 0; i < nm.size(); ++i)
        nm[i] = pos[i] * nmPerStep - (mask & 1 ? 0 : offsets_[0][i]);
    std::string report = "<" + state + (mask & 1 ? "|MPos:" : "|WPos:") + triple(nm);
    if (mask & 2)
        report += "|Bf:" + std::to_string(plannerBlocks - planner_.size()) + "," +
                  std::to_string(rxBufferSize - rx_.size());
    const bool running = moving() && !planner_.empty();
    report += "|FS:" + std::to_string(running ? planner_.front().rate : 0) + ",0";
    // Like grbl, the offsets and overrides come now and then (every tenth report here, busy or not), the offsets
    // in the first report after a reset or a change of them, the overrides in the one after that or after their
    // change.
    if (wcoCountdown_ > 0) {
        --wcoCountdown_;
    } else {
        wcoCountdown_ = 9;
        ovCountdown_ = std::max(ovCountdown_, 1);
        report += "|WCO:" + triple(offsets_[0]);
    }
    if (ovCountdown_ > 0) {
        --ovCountdown_;
    } else {
        ovCountdown_ = 9;
        report += "|Ov:" + std::to_string(feedOverride_) + "," + std::to_string(rapidOverride_) + "," +
                  std::to_string(spindleOverride_);
    }
    push(report + ">");
}

void Controller::feedHold(Micros now) {
    switch (state_) {
    case State::Idle:
        state_ = State::Hold;
        holdElapsed_ = 0;
        log("!", "feed hold");
        break;
    case State::Run:
        // No deceleration: the hold is complete at once ("Hold:0").
        state_ = State::Hold;
        holdElapsed_ = planner_.empty() ? 0 : std::clamp(now - headStart_, Micros{0}, planner_.front().duration);
        log("!", "feed hold");
        break;
    case State::Jog:
        cancelJog(now, '!', "feed hold");
        break;
    default:
        log("!", "ignored");
        break;
    }
}

void Controller::cancelJog(Micros now, char byte, std::string_view why) {
    stopMotion(now);
    state_ = State::Idle;
    syncTarget();
    log(std::string(1, byte), std::string(why) + ": jog cancelled");
    if (work_ && work_->block && work_->block->kind == Kind::Jog) {
        const std::string raw = work_->raw;
        work_.reset();
        answer(raw, 0, "jog cancelled before it began");
    }
}

} // namespace zelmar::board::grbl
