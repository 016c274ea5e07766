#pragma once
// A milling command run on a copy of the work, to know before it runs what it will send: the number of its
// commands and their bytes (the job's cost on the machine), or the commands themselves (a G-code file). The
// work the operator sees is left exactly as it was: no marks, no region states, no tool position.

#include "commands.h"
#include "image/image_session.h"
#include "mill_job.h"

#include <functional>

namespace zelmar {

struct SimulationSettings {
    bool mergeSteps = false;
    std::int32_t safeHeight = 0;
    std::int32_t stepsPerPixel = 150; // for the longest merged run
    ToolProfile tool;
    double mergeTolerance = 0; // pixels: steps within it of a straight line go as one command
    std::int32_t stepDown = 0;
    bool marksAsDepth = false; // see MillSettings
};

// What a job needs of the work, copied: the layers it reads and writes (the picture as loaded, where its depths
// come from, among them), and its own region tables.
ImageSession copyForSimulation(const ImageSession& session, MillKind kind);

// Runs the command on `copy` (which it changes) from the tool position, handing over every command in order.
// The command must not be refused (checkMillCommand).
void simulateJob(MillKind kind, ImageSession& copy, const ToolPosition& tool, const SimulationSettings& settings,
                 const std::function<void(const CommandMove&)>& onCommand);

struct JobCount {
    std::int64_t commands = 0;
    std::int64_t moves = 0; // plan moves: pixel steps, approaches, plunges, lifts
    std::int64_t bytes = 0; // of the commands as the line carries them
};

// The job's time on the machine from its count: the protocol's pause after every command and its bytes at the
// line's speed (ten bits a byte), in milliseconds; the machine's own motion is not in it.
double lineTimeMs(const JobCount& count, std::int32_t pauseMs, std::int32_t baud);

} // namespace zelmar
