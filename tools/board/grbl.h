// zelmar-board --grbl: a grbl 1.1h controller as a sender meets it on the line. No I/O of its own: the board's
// loop hands it the bytes that arrive and the time, and writes out what it says.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "grbl_surface.h"

namespace zelmar::board::grbl {

using Micros = std::int64_t; // the board's clock

constexpr std::size_t rxBufferSize = 128;
constexpr std::size_t plannerBlocks = 15; // a ring of 16 that keeps one slot free
constexpr std::int64_t stepsPerMm = 250;  // $100-$102, fixed: one step is exactly 4 um
constexpr std::int64_t nmPerStep = 1'000'000 / stepsPerMm;

// A G-code number read exactly, in billionths of its unit: optional sign, digits with at most one point, at least
// one digit. Null when it is not one or its magnitude reaches 1e9. `length` is the characters it took.
struct Number {
    std::int64_t billionths = 0;
    std::size_t length = 0;
};
std::optional<Number> readNumber(std::string_view text);

// Nanometres from billionths of a millimetre or of an inch, rounded half away from zero.
std::int64_t nanometres(std::int64_t billionths, bool inches);

// Millimetres with three decimals of a step count ("-1.500"); exact, a step being 4 um.
std::string millimetres(std::int64_t steps);

struct Parsed; // a G-code line as read

enum class Motion { Rapid, Feed, Probe2, Probe3, Probe4, Probe5 }; // G0, G1, G38.2-G38.5

struct Config {
    std::optional<std::int64_t> blockMs;  // every motion block takes this long (0: no time at all)
    std::int64_t maxRate = 500;           // $110-$112, mm/min
    std::optional<std::int64_t> travel;   // soft limits: mm each way from where the board powered up
    std::optional<std::int64_t> alarmAt;  // a hard limit trips once this many motion blocks have run
    std::optional<std::int64_t> silentAfter;
    std::optional<std::int64_t> hangupAfter;
    std::optional<std::int64_t> exitAfterAnswers;
    bool welcomeAtOpen = true;            // a client's open resets the board, as a DTR-reset board does
    bool homing = false;                  // $22=1: a power-up leaves the board in alarm until $H or $X
    Surface surface;                      // what a probe touches
    bool cutLog = false;                  // takeCutLog() has a line for every end of a feed move
    double cutLogEvery = 0;               // and one every so many mm along it (0: the ends only)
};

struct Output {
    std::string text;    // one or more whole lines, "\r\n" each
    bool answer = false; // "ok" or "error:N": what the fault modes act on
};

class Controller {
public:
    explicit Controller(const Config& config);

    void clientOpened(Micros now);
    void clientClosed(Micros now);
    // Bytes from the line, all arrived at `now`.
    void receive(std::string_view bytes, Micros now);
    // Runs the machine up to `now`.
    void advance(Micros now);
    // When advance() next has something to do by itself.
    std::optional<Micros> nextDue() const;

    std::vector<Output> takeOutput();
    // Log entries without time stamp: `"received text" outcome`, or an event without quotes.
    std::vector<std::string> takeLog();
    // "X Y Z surface" lines, machine mm of the fixed frame with four decimals ("none" without a surface).
    std::vector<std::string> takeCutLog();

    // Whether the machine still has motion to finish on its own.
    bool busy() const;
    bool hungUp() const { return hungUp_; }
    bool finished() const { return config_.exitAfterAnswers && answers_ >= *config_.exitAfterAnswers; }
    bool silent() const { return config_.silentAfter && answers_ >= *config_.silentAfter; }
    // Where the machine stands, in steps from where the board started (a power-up does not move it): the fixed
    // frame that the surface and the home switches are in.
    std::array<std::int64_t, 3> position(Micros now) const;
    std::int64_t bytesLost() const { return bytesLost_; }

private:
    enum class State { Idle, Run, Hold, Jog, Home, Alarm };
    enum class Kind { Rapid, Feed, Jog, Home, Probe };
    struct Block {
        std::array<std::int64_t, 3> steps{};
        Micros duration = 0;   // at the overrides of the moment
        std::int64_t rate = 0; // mm/min, for the status report
        Kind kind = Kind::Rapid;
        double length = 0;     // mm
        double feed = 0;       // mm/min as programmed; infinite for a rapid
        double limit = 0;      // mm/min: the fastest the axes' maximum rates allow along it
    };
    // A probe waits for the machine to stand, then runs to the contact or the target.
    struct Probe {
        std::array<std::int64_t, 3> target{}; // nm, machine coordinates
        double feed = 0;
        Motion mode = Motion::Probe2;
        bool started = false;
        bool contact = false;
    };
    // A line accepted and answered only once its turn comes: a dwell, a block for a full planner, a program end.
    struct Work {
        std::string raw;
        std::string outcome;
        Micros since = 0;
        std::optional<Micros> dwell;
        std::optional<Micros> dwellUntil;
        std::optional<Block> block;
        bool programEnd = false;
        std::optional<bool> spindleOn; // M3/M4 or M5: once the machine stands, as grbl synchronizes them
        std::optional<std::pair<std::size_t, std::array<std::int64_t, 3>>> offset; // G10: written once it stands
        std::optional<Probe> probe;
        bool homing = false;
    };
    struct Modal {
        Motion motion = Motion::Rapid;
        bool inches = false;
        bool relative = false;
        double feed = 0; // mm/min; 0: not set
    };
    struct Setting {
        int id;
        double value;
        bool whole;
    };

    void powerUp(Micros now, bool resetByte);
    bool processLines(Micros now);
    bool continueWork(Micros now);
    void takeLineByte(char c, Micros now);
    void executeLine(const std::string& raw, const std::string& line, bool overflow, Micros now);
    void systemCommand(const std::string& raw, const std::string& line, Micros now);
    void gcode(const std::string& raw, const std::string& line, Micros now);
    void jog(const std::string& raw, const std::string& line, Micros now);
    void coordinates(const std::string& raw, const Parsed& p, bool inches, Micros now);
    void writeSetting(const std::string& raw, const std::string& line);
    void home(const std::string& raw, Micros now);
    void realTime(unsigned char c, Micros now);
    void statusReport(Micros now);
    void feedHold(Micros now);
    void cancelJog(Micros now, char byte, std::string_view why);
    void tripAlarm(int code, Micros now, std::string_view why);
    void raiseAlarm(int code, std::string_view why); // one that status reports and $X still reach
    void override(unsigned char c, Micros now);
    void retime(Micros now);
    void time(Block& block) const;
    bool startProbe(Work& work, Micros now);
    void finishProbe(Work& work);
    void logCut(const std::array<std::int64_t, 3>& from, const std::array<std::int64_t, 3>& to);
    bool touching(const std::array<std::int64_t, 3>& at) const;
    std::int64_t firstContact(const std::array<std::int64_t, 3>& start, const std::array<std::int64_t, 3>& delta,
                              std::int64_t count, bool toward) const;
    void stopMotion(Micros now);
    void syncTarget();
    void place(const Block& block, Micros now);
    void completeHead(Micros end);
    std::optional<Micros> headEnd() const;
    bool moving() const; // the state in which the head block runs
    std::array<std::int64_t, 3> partial(Micros now) const;
    std::array<std::int64_t, 3> machinePosition(Micros now) const;
    std::optional<Block> makeBlock(const std::array<std::int64_t, 3>& target, Kind kind, double feed);
    bool outsideTravel(const std::array<std::int64_t, 3>& target) const;
    double setting(int id) const;
    void push(std::string line);
    void answer(const std::string& raw, int error, const std::string& outcome = {});
    void log(std::string_view raw, std::string_view outcome);
    void event(std::string text);

    Config config_;
    std::vector<Setting> settings_;
    State state_ = State::Idle;
    bool critical_ = false; // a limit alarm: nothing but a reset is taken
    Modal modal_;
    std::array<std::int64_t, 3> target_{};   // the parser's position, nm from the power-up position
    std::array<std::int64_t, 3> steps_{};    // completed blocks, steps from where the board started
    std::array<std::int64_t, 3> origin_{};   // steps_ at the last power-up, zeros after homing
    std::array<std::array<std::int64_t, 3>, 6> offsets_{}; // G54-G59, nm
    std::array<std::int64_t, 3> probed_{};   // machine steps of the last probe
    bool probeSucceeded_ = false;
    int feedOverride_ = 100;
    int rapidOverride_ = 100;
    int spindleOverride_ = 100;
    int wcoCountdown_ = 0; // reports until WCO: comes again
    int ovCountdown_ = 0;
    std::deque<Block> planner_;
    Micros headStart_ = 0;   // when the first block began, as if it had never been held
    Micros holdElapsed_ = 0; // how far into the first block a hold stopped it
    std::optional<Work> work_;

    std::string rx_;         // the receive buffer
    std::string lostRun_;    // bytes lost in the current burst, for one log entry
    std::string raw_;        // the line as received, for the log
    std::string line_;       // the line as the pre-parser keeps it
    bool lineOverflow_ = false;
    bool inParentheses_ = false;
    bool inSemicolon_ = false;
    std::string silentRaw_;  // a line arriving at a silent board

    std::int64_t answers_ = 0;
    std::int64_t blocksRun_ = 0;
    std::int64_t bytesLost_ = 0;
    // From a program's first move to its end: how long the receive buffer stood empty before the program end
    // came, and how long the planner had nothing to run, the measure of a sender that keeps the controller
    // busy. Logged at the program end.
    struct Busy {
        bool running = false;
        Micros since = 0;
        Micros last = 0;
        Micros rxEmpty = 0;
        Micros starved = 0;
        Micros lastLineAt = -1; // the program end arrived
    } busy_;
    void account(Micros now);
    bool alarmTripped_ = false;
    bool hungUp_ = false;

    std::vector<Output> out_;
    std::vector<std::string> log_;
    std::vector<std::string> cutLog_;
};

} // namespace zelmar::board::grbl
