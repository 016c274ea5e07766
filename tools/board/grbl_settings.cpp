// The "$" settings and system commands.
#include "grbl.h"
#include "grbl_detail.h"

#include <algorithm>
#include <array>

namespace zelmar::board::grbl {

using namespace detail;

double Controller::setting(int id) const {
    for (const Setting& s : settings_)
        if (s.id == id)
            return s.value;
    return 0;
}

void Controller::systemCommand(const std::string& raw, const std::string& line, Micros now) {
    const bool cycle = state_ == State::Run || state_ == State::Hold;
    if (line == "$") {
        push("[HLP:$$ $# $G $I $N $x=val $Nx=line $J=line $SLP $C $X $H ~ ! ? ctrl-x]");
    } else if (line == "$$") {
        if (cycle)
            return answer(raw, 8);
        for (const Setting& s : settings_)
            push("$" + std::to_string(s.id) + "=" +
                 (s.whole ? std::to_string(static_cast<std::int64_t>(s.value)) : threeDecimals(s.value)));
    } else if (line == "$G") {
        const double feed = modal_.inches ? modal_.feed / 25.4 : modal_.feed;
        constexpr std::array<const char*, 6> motions{"G0", "G1", "G38.2", "G38.3", "G38.4", "G38.5"};
        push(std::string("[GC:") + motions[static_cast<std::size_t>(modal_.motion)] + " G54 G17 " +
             (modal_.inches ? "G20" : "G21") + (modal_.relative ? " G91" : " G90") + " G94 M5 M9 T0 F" +
             trimmed(feed) + " S0]");
    } else if (line == "$#") {
        for (std::size_t i = 0; i < offsets_.size(); ++i)
            push("[G" + std::to_string(54 + i) + ":" + triple(offsets_[i]) + "]");
        for (const char* name : {"G28", "G30", "G92"})
            push(std::string("[") + name + ":0.000,0.000,0.000]");
        push("[TLO:0.000]");
        std::array<std::int64_t, 3> probed{};
        for (std::size_t i = 0; i < probed.size(); ++i)
            probed[i] = probed_[i] * nmPerStep;
        push("[PRB:" + triple(probed) + (probeSucceeded_ ? ":1]" : ":0]"));
    } else if (line == "$I") {
        push("[VER:1.1h.20190830:]");
        push("[OPT:V," + std::to_string(plannerBlocks) + "," + std::to_string(rxBufferSize) + "]");
    } else if (line == "$N") {
        push("$N0=");
        push("$N1=");
    } else if (line == "$X") {
        if (cycle)
            return answer(raw, 8);
        if (state_ == State::Alarm) {
            push("[MSG:Caution: Unlocked]");
            state_ = State::Idle;
            syncTarget();
        }
    } else if (line == "$H") {
        if (setting(22) == 0)
            return answer(raw, cycle ? 8 : 5);
        if (state_ != State::Idle && state_ != State::Alarm)
            return answer(raw, 8);
        return home(raw, now);
    } else if (line.starts_with("$J")) {
        if (line.size() < 3 || line[2] != '=')
            return answer(raw, 16);
        return jog(raw, line.substr(3), now);
    } else if (line.size() > 1 && line[1] >= '0' && line[1] <= '9') {
        if (cycle)
            return answer(raw, 8);
        return writeSetting(raw, line);
    } else {
        return answer(raw, 3);
    }
    answer(raw, 0);
}

// One straight move at the homing seek rate ($25) to the switches, where the board started.
void Controller::home(const std::string& raw, Micros now) {
    std::array<std::int64_t, 3> switches{};
    for (std::size_t i = 0; i < switches.size(); ++i)
        switches[i] = -origin_[i] * nmPerStep;
    Work work;
    work.raw = raw;
    work.since = now;
    work.homing = true;
    work.block = makeBlock(switches, Kind::Home, setting(25));
    state_ = State::Home;
    target_ = switches;
    work_ = std::move(work);
}

void Controller::writeSetting(const std::string& raw, const std::string& line) {
    const auto eq = line.find('=');
    if (eq == std::string::npos)
        return answer(raw, 3);
    int id = 0;
    for (std::size_t i = 1; i < eq; ++i) {
        if (line[i] < '0' || line[i] > '9' || id > 1000)
            return answer(raw, 3);
        id = id * 10 + (line[i] - '0');
    }
    const auto it = std::find_if(settings_.begin(), settings_.end(), [id](const Setting& s) { return s.id == id; });
    // The steps per millimetre are what every position here is exact in.
    if (it == settings_.end() || (id >= 100 && id <= 102))
        return answer(raw, 3);
    const std::string_view text = std::string_view(line).substr(eq + 1);
    const std::optional<Number> value = readNumber(text);
    if (!value || value->length != text.size())
        return answer(raw, 2);
    if (value->billionths < 0)
        return answer(raw, 4);
    it->value = it->whole ? static_cast<double>(value->billionths / billion)
                          : static_cast<double>(value->billionths) / static_cast<double>(billion);
    answer(raw, 0);
}

} // namespace zelmar::board::grbl
