#pragma once
// A job's commands as G-code that standard controllers and simulators read: millimetres (G21), incremental
// moves (G91), one G-code move per board command with each axis the command's count times the millimetres a
// motor step moves, the picture the right way up (X+ its right, Y+ its top). Level moves and lifts are rapid moves
// (G0), plunges and cuts feed moves (G1). Numbers are exact decimals, never with an exponent.

#include "commands.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmar {

// A non-negative decimal number kept exactly: units / 10^places.
struct Decimal {
    std::int64_t units = 0;
    int places = 0;

    // "0.01", "0.0025", "2", " 1.5 "; at most 9 digits in all; nothing for anything else.
    static std::optional<Decimal> parse(std::string_view text);
    // count (a 32-bit board count) times this number, with exactly `places` decimals ("-1.50" for -150 times
    // 0.01).
    std::string times(std::int64_t count) const;
    std::string text() const { return times(1); }
    double value() const;
    bool isZero() const { return units == 0; }
};

// The spindle, where the machine's controller drives it: started (M3 at rpm) and given delaySeconds to come up
// to speed (G4) before the job's first move, stopped (M5) at its end. rpm 0: the program leaves it alone.
struct Spindle {
    std::int32_t rpm = 0;
    Decimal delaySeconds{3, 0};

    bool used() const { return rpm > 0; }
    std::vector<std::string> startLines() const;
    std::vector<std::string> stopLines() const;
};

struct GcodeSettings {
    std::int32_t stepsPerPixel = 150;
    Decimal mmPerStep{1, 2}; // 0.01
    std::int32_t feed = 300; // mm/min, for the feed moves
    Spindle spindle;
    // A standard machine takes the picture the right way up: X+ is the picture's right, Y+ its top (rows run
    // -Y), Z+ up; -1 turns an axis for a machine wired otherwise.
    std::int32_t axisX = 1;
    std::int32_t axisY = 1;
    std::int32_t plungeFeed = 0; // mm/min of the feed moves that go down; 0: the feed
    std::int32_t endRise = 0;    // depth units the tool rises after the job's last move, to the travel height
};

// Where the tool must stand when the file starts: over this pixel (column and row from 1, the picture's top-left
// pixel being 1, 1), at the surface. The file's moves are relative to it.
struct GcodeStart {
    std::int32_t x = 1;
    std::int32_t y = 1;
};

// The comments that say what the file holds.
struct GcodeOrigin {
    std::string image;
    std::vector<std::string> operations;
    std::int32_t safeHeight = 0;
    bool mergeSteps = false;
    std::string tool; // a shaped tool's word ("ball:6"); empty for today's one-pixel tool, which is not named
    std::string mergeTolerance; // pixels; empty when steps are not merged within a tolerance
    std::int32_t stepDown = 0;  // depth units a pass; 0: not named
    bool travelOneMillimetre = false; // the travel height is the millimetre kept above the stock as SafeHeight is 0
    std::string heightMap; // the probed surface the moves follow; empty: a flat stock
};

class GcodeWriter {
public:
    explicit GcodeWriter(const GcodeSettings& settings) : settings_(settings) {}

    // Comment lines naming the job and, when given, where the tool must stand; then the units and the
    // incremental mode, and the spindle's start.
    std::string header(const GcodeOrigin& origin, const std::optional<GcodeStart>& start = std::nullopt) const;
    // The start position in words: "pixel X, Y, A mm right and B mm down of the picture's top-left pixel".
    std::string startText(const GcodeStart& start) const;
    // Millimetres right of and below the top-left pixel, the numbers of startText(); empty where a count
    // would not fit the board's 32 bits.
    std::pair<std::string, std::string> startMm(const GcodeStart& start) const;
    // One move, with the feed on each feed move.
    std::string line(const CommandMove& command) const;
    // A move of these motor steps along the machine's axes.
    std::string moveLine(bool rapid, std::int64_t x, std::int64_t y, std::int64_t z, std::int32_t feed) const;
    // The spindle's stop and the program end.
    std::string footer() const;

    // The motor steps along each of the machine's axes: the picture's right is X+, its top Y+, unless turned.
    std::int64_t countX(const CommandMove& c) const {
        return std::int64_t{c.x} * settings_.stepsPerPixel * (settings_.axisX < 0 ? -1 : 1);
    }
    std::int64_t countY(const CommandMove& c) const {
        return -std::int64_t{c.y} * settings_.stepsPerPixel * (settings_.axisY < 0 ? -1 : 1);
    }
    std::int64_t countZ(const CommandMove& c) const { return std::int64_t{c.z} * settings_.stepsPerPixel; }
    // The feed of a feed move: the plunge feed for one that goes down.
    std::int32_t feedOf(const CommandMove& c) const {
        return c.z < 0 && settings_.plungeFeed > 0 ? settings_.plungeFeed : settings_.feed;
    }

    const GcodeSettings& settings() const { return settings_; }

private:
    GcodeSettings settings_;
};

// Rapid or feed move, as the job's commands go: level moves and lifts rapid, plunges and cuts at the feed.
bool isRapid(MoveKind kind, std::int32_t z);

} // namespace zelmar
