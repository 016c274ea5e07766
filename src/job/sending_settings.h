#pragma once
// How a job's moves go out as commands, settled once for the job from the configuration and the text of the
// steps per pixel: the job on the machine, its count, its G-code file and its journal all read them here.

#include "config/startup_config.h"
#include "link/move_command.h"
#include "mill/commands.h"
#include "mill/gcode.h"
#include "mill/job_simulation.h"
#include "mill/mill_job.h"
#include "run/job_journal.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zelmar {

struct SendingSettings {
    std::string stepsText; // as typed
    Checked scale;         // the steps per pixel, checked once for the whole job
    // The scale's value; 1 where the text is no number: such a job is counted at 1 and refused when it is sent.
    std::int32_t stepsPerPixel = 1;
    MergeRule merge;
    // The millings: the travel height, the tool in pixels, the step-down kept within the cutting edge, the
    // marks rule.
    MillSettings mill;
    // As configured: the count and the G-code file take their passes at it.
    std::int32_t stepDown = 0;
    GcodeSettings gcode; // at this scale, rising to the travel height after the last move
    // The configuration's own words, for the journal and the file's header.
    std::int32_t safeHeight = 0;
    ToolShape tool;
    Decimal mmPerStep;
    Decimal mergeTolerance;

    // Where the tool travels between contours, in depth units above the surface.
    std::int32_t travelHeight() const { return mill.safeHeight; }
    // A job's commands counted or written without running it.
    SimulationSettings simulation() const;
    // How the moves go out as commands at this scale; merging nothing when the scale is no number.
    CommandFeed commandFeed() const;
    // What the journal's header records of how the commands go out, and whether a header records the same.
    void record(JournalHeader& header) const;
    bool sendsAs(const JournalHeader& header) const;
    // What a G-code file's header says of the job.
    GcodeOrigin origin(const std::string& image, std::vector<std::string> operations) const;

    // standardMachine: grbl, or a G-code file.
    static SendingSettings of(const StartupConfig& config, const std::string& stepsText, bool standardMachine);
};

// Where the tool travels between contours, in depth units above the surface: SafeHeight, and on a standard
// machine never below a millimetre: a rapid move is never at the stock's surface.
std::int32_t travelHeightOf(const StartupConfig& config, const Checked& scale, bool standardMachine);
// The G-code of a job at this scale whose tool travels this many depth units above the stock.
GcodeSettings gcodeSettingsOf(const StartupConfig& config, std::int32_t stepsPerPixel, std::int32_t travelHeight);

} // namespace zelmar
