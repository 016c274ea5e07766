// zelmar-board: a simulated controller board on a pseudo-terminal, for tests, benchmarks and the run script.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "grbl_surface.h"

namespace zelmar::board {

struct Options {
    std::string link;                         // symlink to the device, made at start and removed at exit
    std::string log;                          // log file, "-" for standard error, empty for none
    std::int64_t stepRate = 20000;            // steps per second of the simulated motors
    std::int64_t maxDelayMs = 200;            // cap on the simulated move time
    std::optional<std::int64_t> fixedDelayMs; // replaces the move time when set
    std::int64_t answerLateMs = 0;            // added to every answer's delay
    bool rejectMalformed = false;
    std::optional<std::int64_t> silentAfter;
    std::optional<std::int64_t> hangupAfter;
    bool split = false;
    std::int64_t splitPauseMs = 20;
    bool noise = false;
    std::uint32_t seed = 1;
    bool lowercase = false;
    std::optional<std::int64_t> exitAfterCommands;
    bool stdinControl = false;

    // A grbl 1.1h controller instead (grbl.h); fixedDelayMs is then the time of every move.
    bool grbl = false;
    std::int64_t baud = 115200;
    bool welcomeAtOpen = true;
    std::int64_t maxRate = 500;            // mm/min, every axis
    std::optional<std::int64_t> travel;    // soft limits, mm each way
    std::optional<std::int64_t> alarmAt;   // motion blocks before a hard limit trips
    bool homing = false;                   // $22=1: alarm at power-up until $H or $X
    std::string surface;                   // what a probe touches, as given; empty: nothing
    double surfaceCell = 1;                // mm a height map's pixel spans
    double surfaceZ = 0;                   // machine Z of a height map's grey level 0
    grbl::Surface stock;                   // the surface read from those three
    std::string cutLog;                    // file of the feed moves' points and the surface under them
    double cutLogEvery = 0;                // mm between logged points along a move (0: its end only)
};

struct Move {
    std::int32_t x = 0, y = 0, z = 0;
};

// One command including its ";": three int32 counts, "-?\d+" each, comma-separated, nothing else.
std::optional<Move> parseMove(std::string_view command);

// How long the board takes before it answers a command that moves the axes at most `steps` steps.
std::int64_t answerDelayUs(const Options& options, std::int64_t steps);

// The writes that make up one answer, in order; with --split the acknowledgement spans two of them.
std::vector<std::string> answerPieces(const Options& options, bool accepted, std::mt19937& rng);

// Printable form of received bytes for the log.
std::string escaped(std::string_view raw);

// Runs the board until it is told to stop; returns the exit status.
int run(const Options& options);
int runGrbl(const Options& options);
bool validBaud(std::int64_t baud);

} // namespace zelmar::board
