#pragma once
// grbl 1.1's side of the line, as plain data: its replies split into lines and told apart ("ok", "error:N",
// "ALARM:N", status reports, the welcome line), the machine's rates read from its settings, and the character
// counting that keeps its 128-byte receive buffer busy without ever overrunning it. The port adapter feeds
// bytes in and asks what may go out.

#include "mill/motion_time.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmar {

// Three coordinates in thousandths of a millimetre, exactly as grbl prints them.
struct GrblTriple {
    std::int64_t x = 0, y = 0, z = 0;
    bool operator==(const GrblTriple&) const = default;
};

// The overrides in percent: feed, rapid, spindle.
struct GrblOverrides {
    int feed = 100, rapid = 100, spindle = 100;
    bool operator==(const GrblOverrides&) const = default;
};

// A status report: "<Run|MPos:1.500,0.852,-0.172|FS:191,0|WCO:0.000,0.000,-3.000|Ov:100,100,100>".
struct GrblStatus {
    std::string state;        // Idle, Run, Hold, Jog, Alarm, Door, Check, Home, Sleep
    int substate = -1;        // "Hold:0" (stopped) and "Hold:1" (still decelerating); -1 when none given
    bool hasPosition = false; // MPos (or WPos) was in the report
    // In thousandths of a millimetre, exactly as reported (three decimals).
    std::int64_t x = 0, y = 0, z = 0;
    bool workPosition = false; // WPos (machine minus work offset) rather than MPos ($10=0)
    // Only every few reports carry them.
    std::optional<GrblTriple> workOffset;
    std::optional<GrblOverrides> overrides;

    bool standing() const { return state == "Idle" || (state == "Hold" && substate == 0) || state == "Alarm"; }
};

// "[PRB:1.000,2.000,-3.500:1]": where a probe stopped (machine coordinates) and whether it touched.
struct GrblProbe {
    GrblTriple at;
    bool contact = false;
};

struct GrblReply {
    enum class Kind { Ok, Error, Alarm, Status, Welcome, Probe, Other };
    Kind kind = Kind::Other;
    int code = 0; // error:N and ALARM:N
    GrblStatus status;
    GrblProbe probe;
    std::string line;
};

// Splits what grbl sends into whole lines and says what each one is.
class GrblReplies {
public:
    std::vector<GrblReply> add(std::string_view bytes);
    void clear() { partial_.clear(); }

private:
    std::string partial_;
};

GrblReply grblReplyOf(std::string_view line);

// "1.500" or "-0.17" in thousandths (1500, -170); nothing for what is not such a number.
std::optional<std::int64_t> thousandthsOf(std::string_view text);

// One line of grbl's "$$" listing, when it is one of the rates its motion takes: $11 (mm, 0 or more),
// $110-$112 (mm/min) and $120-$122 (mm/s^2), each more than 0, put into `rates`. The setting's number;
// nothing, and `rates` untouched, for any other line: another setting, or a value a planner could not run on.
std::optional<int> readGrblRate(std::string_view line, MachineRates& rates);

// The lines that went out and have not been answered, and their bytes: a line goes only when it fits beside
// them in grbl's receive buffer, and each "ok" or "error" frees the oldest.
class CharacterCounter {
public:
    static constexpr std::size_t bufferSize = 128;

    bool fits(std::size_t lineBytes) const { return bytes_ + lineBytes <= bufferSize; }
    void sent(std::size_t lineBytes) {
        lines_.push_back(lineBytes);
        bytes_ += lineBytes;
    }
    // The oldest line was answered; false when none was waiting (an answer nobody asked for).
    bool answered() {
        if (lines_.empty())
            return false;
        bytes_ -= lines_.front();
        lines_.pop_front();
        return true;
    }
    std::size_t lines() const { return lines_.size(); }
    std::size_t bytes() const { return bytes_; }
    void clear() {
        lines_.clear();
        bytes_ = 0;
    }

private:
    std::deque<std::size_t> lines_;
    std::size_t bytes_ = 0;
};

// Real-time bytes: they never enter the receive buffer.
constexpr char grblStatusQuery = '?';
constexpr char grblFeedHold = '!';
constexpr char grblCycleStart = '~';
constexpr char grblSoftReset = 0x18;
constexpr char grblJogCancel = char(0x85);

// The feed and spindle overrides' bytes: back to 100 %, +10, -10, +1, -1 %.
enum class GrblOverride { Reset, Plus10, Minus10, Plus1, Minus1 };
constexpr char grblFeedOverrideByte(GrblOverride o) {
    return char(0x90 + static_cast<int>(o));
}
constexpr char grblSpindleOverrideByte(GrblOverride o) {
    return char(0x99 + static_cast<int>(o));
}

// Whether grbl still knows where the machine stands after this alarm: a soft limit stops the motion before it
// runs and the probe alarms stop it under control; a hard limit, a reset in motion and the homing failures may have
// lost steps, and an alarm of unknown code is taken as the worst.
constexpr bool grblAlarmKeepsPosition(int code) {
    return code == 2 || code == 4 || code == 5;
}

} // namespace zelmar
