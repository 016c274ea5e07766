// The G-code parser, exact numbers, and the G-code lines and jogs it lets through.
#include "grbl.h"
#include "grbl_detail.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace zelmar::board::grbl {

using namespace detail;

// One G-code block (or the body of a jog) as the parser read it, before anything is checked against the state.
struct Parsed {
    std::optional<Motion> motion;   // G0, G1, G38.2-G38.5
    std::optional<bool> inches;     // G20, or G21
    std::optional<bool> relative;   // G91, or G90
    bool machine = false;           // G53
    bool dwell = false;             // G4
    bool coordinates = false;       // G10
    bool programEnd = false;        // M2, M30
    bool otherCommands = false;     // accepted and without effect here: G17-G19, G40, G49, G54, G61, G94, M3-M5, M8, M9
    std::optional<bool> spindleOn;  // M3/M4, or M5: no motor here, but the machine is awaited and its place logged
    bool otherValues = false;       // N, S, T
    bool arcWords = false;          // I, J, K, R: nothing here uses them
    std::array<std::optional<std::int64_t>, 3> axes;
    std::optional<std::int64_t> feed;
    std::optional<std::int64_t> p;
    std::optional<std::int64_t> l;

    bool anyAxis() const { return axes[0] || axes[1] || axes[2]; }
};

namespace {

enum Group { MotionGroup, NonModal, Plane, Units, Distance, Cutter, ToolLength, CoordSystem, Path, FeedMode, Flow,
             Spindle, Coolant };

// The error code of the first fault, grbl's way: words left to right, then what they mean together.
int parse(std::string_view line, Parsed& p) {
    unsigned groups = 0;
    unsigned words = 0;
    std::size_t i = 0;
    while (i < line.size()) {
        const char letter = line[i];
        if (letter < 'A' || letter > 'Z')
            return 1;
        const std::optional<Number> number = readNumber(line.substr(i + 1));
        if (!number)
            return 2;
        i += 1 + number->length;
        const std::int64_t v = number->billionths;

        if (letter == 'G' || letter == 'M') {
            if (v < 0)
                return 20;
            const std::int64_t code = v / billion;
            const std::int64_t tenths = v % billion;
            Group group = MotionGroup;
            if (letter == 'G' && code == 38 && tenths % (billion / 10) == 0 && tenths >= 2 * billion / 10 &&
                tenths <= 5 * billion / 10) {
                constexpr std::array probes{Motion::Probe2, Motion::Probe3, Motion::Probe4, Motion::Probe5};
                p.motion = probes[static_cast<std::size_t>(tenths / (billion / 10) - 2)];
            } else if (tenths != 0) {
                return 20;
            } else if (letter == 'G') {
                switch (code) {
                case 0: case 1: group = MotionGroup; p.motion = code == 1 ? Motion::Feed : Motion::Rapid; break;
                case 4: group = NonModal; p.dwell = true; break;
                case 10: group = NonModal; p.coordinates = true; break;
                case 53: group = NonModal; p.machine = true; break;
                case 17: case 18: case 19: group = Plane; p.otherCommands = true; break;
                case 20: case 21: group = Units; p.inches = code == 20; break;
                case 40: group = Cutter; p.otherCommands = true; break;
                case 49: group = ToolLength; p.otherCommands = true; break;
                case 54: group = CoordSystem; p.otherCommands = true; break;
                case 61: group = Path; p.otherCommands = true; break;
                case 90: case 91: group = Distance; p.relative = code == 91; break;
                case 94: group = FeedMode; p.otherCommands = true; break;
                default: return 20;
                }
            } else {
                switch (code) {
                case 2: case 30: group = Flow; p.programEnd = true; break;
                case 3: case 4: case 5: group = Spindle; p.otherCommands = true; p.spindleOn = code != 5; break;
                case 8: case 9: group = Coolant; p.otherCommands = true; break;
                default: return 20;
                }
            }
            if (groups & (1u << group))
                return 21;
            groups |= 1u << group;
            continue;
        }

        constexpr std::string_view letters = "XYZFNPSTIJKLR";
        const auto word = letters.find(letter);
        if (word == std::string_view::npos)
            return 20;
        if (words & (1u << word))
            return 25;
        words |= 1u << word;
        if (word >= 3 && word <= 7 && v < 0) // F N P S T
            return 4;
        switch (letter) {
        case 'X': case 'Y': case 'Z': p.axes[word] = v; break;
        case 'F': p.feed = v; break;
        case 'P': p.p = v; break;
        case 'L': p.l = v; break;
        case 'N':
            if (v / billion > 9'999'999)
                return 27;
            p.otherValues = true;
            break;
        case 'S': case 'T': p.otherValues = true; break;
        default: p.arcWords = true; break;
        }
    }
    return 0;
}

} // namespace

std::optional<Number> readNumber(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    std::int64_t whole = 0;
    std::int64_t fraction = 0;
    int wholeDigits = 0;
    int fractionDigits = 0;
    bool roundUp = false;
    bool digits = false;
    bool point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9')
            break;
        digits = true;
        const int d = c - '0';
        if (!point) {
            if (whole == 0 && d == 0)
                continue;
            if (++wholeDigits > 9)
                return std::nullopt;
            whole = whole * 10 + d;
        } else if (fractionDigits < 9) {
            fraction = fraction * 10 + d;
            ++fractionDigits;
        } else if (fractionDigits == 9) {
            roundUp = d >= 5; // the tenth decimal decides; later ones cannot change it
            ++fractionDigits;
        }
    }
    if (!digits)
        return std::nullopt;
    for (int n = fractionDigits; n < 9; ++n)
        fraction *= 10;
    const std::int64_t magnitude = whole * billion + fraction + (roundUp ? 1 : 0);
    return Number{negative ? -magnitude : magnitude, i};
}

std::int64_t nanometres(std::int64_t billionths, bool inches) {
    if (!inches)
        return divRound(billionths, 1000);
    // 25.4 mm an inch: billionths * 254 / 10000, split so that nothing overflows.
    return billionths / 10000 * 254 + divRound(billionths % 10000 * 254, 10000);
}

std::string millimetres(std::int64_t steps) {
    const std::uint64_t magnitude =
        steps < 0 ? std::uint64_t(0) - static_cast<std::uint64_t>(steps) : static_cast<std::uint64_t>(steps);
    const std::uint64_t um = magnitude * static_cast<std::uint64_t>(1000 / stepsPerMm);
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%s%llu.%03llu", steps < 0 ? "-" : "",
                  static_cast<unsigned long long>(um / 1000), static_cast<unsigned long long>(um % 1000));
    return text.data();
}


void Controller::gcode(const std::string& raw, const std::string& line, Micros now) {
    Parsed p;
    if (const int error = parse(line, p))
        return answer(raw, error);
    const bool inches = p.inches.value_or(modal_.inches);
    const bool relative = p.relative.value_or(modal_.relative);
    const Motion motion = p.motion.value_or(modal_.motion);
    const double feed = p.feed ? mmPerMin(*p.feed, inches) : modal_.feed;
    if (p.dwell && !p.p)
        return answer(raw, 28);
    if (p.coordinates && p.motion)
        return answer(raw, 24);
    if (p.coordinates && !p.l && !p.p)
        return answer(raw, 28);
    if (p.anyAxis() && !p.coordinates && motion != Motion::Rapid && feed <= 0)
        return answer(raw, 22);
    if (p.arcWords || (p.p && !p.dwell && !p.coordinates) || (p.l && !p.coordinates))
        return answer(raw, 36);
    if (p.coordinates)
        return coordinates(raw, p, inches, now);
    auto target = target_;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (!p.axes[i])
            continue;
        const std::int64_t nm = nanometres(*p.axes[i], inches);
        // G90 is in work coordinates, G53 in the machine's.
        target[i] = p.machine ? nm : relative ? target_[i] + nm : nm + offsets_[0][i];
        if (target[i] > maxTarget || target[i] < -maxTarget)
            return answer(raw, 33);
    }
    const bool probe = motion != Motion::Rapid && motion != Motion::Feed;
    if (probe && p.anyAxis()) {
        bool steps = false;
        for (std::size_t i = 0; i < target.size(); ++i)
            steps = steps || stepsOf(target[i]) != stepsOf(target_[i]);
        if (!steps)
            return answer(raw, 33);
    }

    modal_ = {motion, inches, relative, feed};
    Work work;
    work.raw = raw;
    work.since = now;
    work.programEnd = p.programEnd;
    if (p.programEnd && busy_.running) {
        // The sender has sent its last line: the buffer runs dry from here by necessity.
        account(now);
        busy_.lastLineAt = now;
    }
    if (p.dwell)
        work.dwell = *p.p / 1000; // seconds in billionths: microseconds
    work.spindleOn = p.spindleOn;
    if (p.anyAxis()) {
        if (outsideTravel(target)) {
            log(raw, "beyond the travel: ALARM:2, not answered");
            return tripAlarm(2, now, "soft limit");
        }
        if (probe) {
            work.probe = Probe{target, feed, motion, false, false};
        } else {
            work.block = makeBlock(target, motion == Motion::Feed ? Kind::Feed : Kind::Rapid, feed);
            target_ = target;
            work.outcome = "to " + millimetres(stepsOf(target[0])) + " " + millimetres(stepsOf(target[1])) + " " +
                           millimetres(stepsOf(target[2]));
        }
    }
    work_ = std::move(work);
}

// G10 L2 and L20: the offset is written once the machine stands, as grbl writes it to its memory.
void Controller::coordinates(const std::string& raw, const Parsed& p, bool inches, Micros now) {
    if (!p.anyAxis())
        return answer(raw, 26);
    const std::int64_t l = p.l.value_or(0);
    if (l != 2 * billion && l != 20 * billion)
        return answer(raw, 20);
    const std::int64_t system = p.p.value_or(0) / billion; // P0: the system in use, always G54 here
    if (system > 6)
        return answer(raw, 29);
    const std::size_t slot = system == 0 ? 0 : static_cast<std::size_t>(system - 1);
    auto offset = offsets_[slot];
    for (std::size_t i = 0; i < offset.size(); ++i) {
        if (!p.axes[i])
            continue;
        const std::int64_t nm = nanometres(*p.axes[i], inches);
        // L20: the parser's position reads the given work coordinates.
        offset[i] = l == 2 * billion ? nm : target_[i] - nm;
        if (offset[i] > maxTarget || offset[i] < -maxTarget)
            return answer(raw, 33);
    }
    modal_.inches = inches;
    modal_.relative = p.relative.value_or(modal_.relative);
    if (p.feed)
        modal_.feed = mmPerMin(*p.feed, inches);
    Work work;
    work.raw = raw;
    work.since = now;
    work.offset = {slot, offset};
    work.outcome = "G" + std::to_string(54 + slot) + " offset " + triple(offset);
    work_ = std::move(work);
}

void Controller::jog(const std::string& raw, const std::string& body, Micros now) {
    if (state_ != State::Idle && state_ != State::Jog)
        return answer(raw, 8);
    Parsed p;
    if (const int error = parse(body, p))
        return answer(raw, error);
    if (p.motion || p.dwell || p.coordinates || p.programEnd || p.otherCommands || p.otherValues || p.arcWords ||
        p.p || p.l)
        return answer(raw, 16);
    if (!p.feed || *p.feed == 0)
        return answer(raw, 22);
    if (!p.anyAxis())
        return answer(raw, 26);
    // The jog's own G20/G21 and G90/G91 hold for it alone.
    const bool inches = p.inches.value_or(modal_.inches);
    const bool relative = p.relative.value_or(modal_.relative) && !p.machine;
    auto target = target_;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (!p.axes[i])
            continue;
        const std::int64_t nm = nanometres(*p.axes[i], inches);
        target[i] = relative ? target_[i] + nm : p.machine ? nm : nm + offsets_[0][i];
        if (target[i] > maxTarget || target[i] < -maxTarget)
            return answer(raw, 33);
    }
    if (outsideTravel(target))
        return answer(raw, 15);
    Work work;
    work.raw = raw;
    work.since = now;
    work.block = makeBlock(target, Kind::Jog, mmPerMin(*p.feed, inches));
    target_ = target;
    work.outcome = "jog to " + millimetres(stepsOf(target[0])) + " " + millimetres(stepsOf(target[1])) + " " +
                   millimetres(stepsOf(target[2]));
    work_ = std::move(work);
}

} // namespace zelmar::board::grbl
