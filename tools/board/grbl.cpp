#include "grbl.h"

#include "board.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace zelmar::board::grbl {

namespace {

constexpr std::int64_t billion = 1'000'000'000;
constexpr std::size_t lineLimit = 79;          // grbl's line buffer of 80, one kept for the terminator
constexpr std::int64_t maxTarget = 1'000'000'000'000'000; // nm: 1000 km, far beyond any machine
constexpr Micros longestBlock = 1'000'000'000'000'000;    // about 30 years
constexpr std::string_view welcome = "\r\nGrbl 1.1h ['$' for help]";

// a / b rounded half away from zero, b > 0.
std::int64_t divRound(std::int64_t a, std::int64_t b) {
    return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b);
}

std::int64_t stepsOf(std::int64_t nm) {
    return divRound(nm, nmPerStep);
}

double mmPerMin(std::int64_t billionths, bool inches) {
    return static_cast<double>(billionths) / static_cast<double>(billion) * (inches ? 25.4 : 1.0);
}

std::string threeDecimals(double value) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%.3f", value);
    return text.data();
}

std::string trimmed(double value) {
    std::string s = threeDecimals(value);
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

std::string_view meaning(int error) {
    switch (error) {
    case 1: return "expected command letter";
    case 2: return "bad number format";
    case 3: return "invalid statement";
    case 4: return "negative value";
    case 5: return "homing not enabled";
    case 8: return "not idle";
    case 9: return "G-code locked out during alarm or jog";
    case 11: return "line overflow";
    case 15: return "jog beyond the travel";
    case 16: return "invalid jog command";
    case 20: return "unsupported command";
    case 21: return "modal group violation";
    case 22: return "undefined feed rate";
    case 25: return "word repeated";
    case 26: return "no axis words";
    case 27: return "invalid line number";
    case 28: return "value word missing";
    case 33: return "invalid target";
    case 36: return "unused words";
    default: return "";
    }
}

// One G-code block (or the body of a jog) as the parser read it, before anything is checked against the state.
struct Parsed {
    std::optional<bool> feedMotion; // G1, or G0
    std::optional<bool> inches;     // G20, or G21
    std::optional<bool> relative;   // G91, or G90
    bool machine = false;           // G53
    bool dwell = false;             // G4
    bool programEnd = false;        // M2, M30
    bool otherCommands = false;     // accepted and without effect here: G17-G19, G40, G49, G54, G61, G94, M3-M5, M8, M9
    bool otherValues = false;       // N, S, T
    bool arcWords = false;          // I, J, K, L, R: nothing here uses them
    std::array<std::optional<std::int64_t>, 3> axes;
    std::optional<std::int64_t> feed;
    std::optional<std::int64_t> p;

    bool anyAxis() const { return axes[0] || axes[1] || axes[2]; }
};

enum Group { Motion, NonModal, Plane, Units, Distance, Cutter, ToolLength, CoordSystem, Path, FeedMode, Flow, Spindle,
             Coolant };

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
            if (v < 0 || v % billion != 0)
                return 20;
            const std::int64_t code = v / billion;
            Group group = Motion;
            if (letter == 'G') {
                switch (code) {
                case 0: case 1: group = Motion; p.feedMotion = code == 1; break;
                case 4: group = NonModal; p.dwell = true; break;
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
                case 3: case 4: case 5: group = Spindle; p.otherCommands = true; break;
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
}

double Controller::setting(int id) const {
    for (const Setting& s : settings_)
        if (s.id == id)
            return s.value;
    return 0;
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

void Controller::realTime(unsigned char c, Micros now) {
    if (c == 0x18) {
        const bool moving = !critical_ && (state_ == State::Run || state_ == State::Jog) && !planner_.empty();
        log("\x18", moving ? "soft reset in motion: ALARM:3" : "soft reset");
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
    default:
        log(std::string(1, static_cast<char>(c)), "ignored: override not simulated");
        break;
    }
}

void Controller::statusReport(Micros now) {
    std::string state;
    switch (state_) {
    case State::Idle: state = "Idle"; break;
    case State::Run: state = "Run"; break;
    case State::Hold: state = "Hold:0"; break;
    case State::Jog: state = "Jog"; break;
    case State::Alarm: state = "Alarm"; break;
    }
    const auto pos = machinePosition(now);
    const auto mask = static_cast<std::int64_t>(setting(10));
    std::string report = "<" + state + (mask & 1 ? "|MPos:" : "|WPos:") + millimetres(pos[0]) + "," +
                         millimetres(pos[1]) + "," + millimetres(pos[2]);
    if (mask & 2)
        report += "|Bf:" + std::to_string(plannerBlocks - planner_.size()) + "," +
                  std::to_string(rxBufferSize - rx_.size());
    const bool moving = (state_ == State::Run || state_ == State::Jog) && !planner_.empty();
    report += "|FS:" + std::to_string(moving ? planner_.front().rate : 0) + ",0";
    // Like grbl, the offsets and overrides come now and then: in the first and second report after a reset and
    // every tenth after that.
    if (reports_ % 10 == 0)
        report += "|WCO:0.000,0.000,0.000";
    else if (reports_ % 10 == 1)
        report += "|Ov:100,100,100";
    ++reports_;
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
    if (work_ && work_->block && work_->block->jog) {
        const std::string raw = work_->raw;
        work_.reset();
        answer(raw, 0, "jog cancelled before it began");
    }
}

void Controller::powerUp(Micros now, bool resetByte) {
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
    reports_ = 0;
    if (!resetByte) {
        origin_ = steps_; // a power-up counts from where the machine stands
        state_ = State::Idle;
    } else if (moving) {
        push("ALARM:3");
        state_ = State::Alarm;
    } else if (state_ != State::Alarm) {
        state_ = State::Idle;
    }
    syncTarget();
    push(std::string(welcome));
    if (state_ == State::Alarm)
        push("[MSG:'$H'|'$X' to unlock]");
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
        push(std::string("[GC:") + (modal_.feedMotion ? "G1" : "G0") + " G54 G17 " + (modal_.inches ? "G20" : "G21") +
             (modal_.relative ? " G91" : " G90") + " G94 M5 M9 T0 F" + trimmed(feed) + " S0]");
    } else if (line == "$#") {
        for (const char* name : {"G54", "G55", "G56", "G57", "G58", "G59", "G28", "G30", "G92"})
            push(std::string("[") + name + ":0.000,0.000,0.000]");
        push("[TLO:0.000]");
        push("[PRB:0.000,0.000,0.000:0]");
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
        return answer(raw, cycle ? 8 : 5);
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

void Controller::gcode(const std::string& raw, const std::string& line, Micros now) {
    Parsed p;
    if (const int error = parse(line, p))
        return answer(raw, error);
    const bool inches = p.inches.value_or(modal_.inches);
    const bool relative = p.relative.value_or(modal_.relative);
    const bool feedMotion = p.feedMotion.value_or(modal_.feedMotion);
    const double feed = p.feed ? mmPerMin(*p.feed, inches) : modal_.feed;
    if (p.dwell && !p.p)
        return answer(raw, 28);
    if (p.anyAxis() && feedMotion && feed <= 0)
        return answer(raw, 22);
    if (p.arcWords || (p.p && !p.dwell))
        return answer(raw, 36);
    auto target = target_;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (!p.axes[i])
            continue;
        const std::int64_t nm = nanometres(*p.axes[i], inches);
        target[i] = relative && !p.machine ? target_[i] + nm : nm;
        if (target[i] > maxTarget || target[i] < -maxTarget)
            return answer(raw, 33);
    }

    modal_ = {feedMotion, inches, relative, feed};
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
    if (p.anyAxis()) {
        if (outsideTravel(target)) {
            log(raw, "beyond the travel: ALARM:2, not answered");
            return tripAlarm(2, now, "soft limit");
        }
        work.block = makeBlock(target, !feedMotion, feed, false);
        target_ = target;
        work.outcome = "to " + millimetres(stepsOf(target[0])) + " " + millimetres(stepsOf(target[1])) + " " +
                       millimetres(stepsOf(target[2]));
    }
    work_ = std::move(work);
}

void Controller::jog(const std::string& raw, const std::string& body, Micros now) {
    if (state_ != State::Idle && state_ != State::Jog)
        return answer(raw, 8);
    Parsed p;
    if (const int error = parse(body, p))
        return answer(raw, error);
    if (p.feedMotion || p.dwell || p.programEnd || p.otherCommands || p.otherValues || p.arcWords || p.p)
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
        target[i] = relative ? target_[i] + nm : nm;
        if (target[i] > maxTarget || target[i] < -maxTarget)
            return answer(raw, 33);
    }
    if (outsideTravel(target))
        return answer(raw, 15);
    Work work;
    work.raw = raw;
    work.since = now;
    work.block = makeBlock(target, false, mmPerMin(*p.feed, inches), true);
    target_ = target;
    work.outcome = "jog to " + millimetres(stepsOf(target[0])) + " " + millimetres(stepsOf(target[1])) + " " +
                   millimetres(stepsOf(target[2]));
    work_ = std::move(work);
}

} // namespace zelmar::board::grbl
