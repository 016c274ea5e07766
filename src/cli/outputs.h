#pragma once
// What zelmar-cli writes once its operations have run: the estimate line, the carving, the commands, the state,
// the layers and the G-code.

#include "cli_state.h"
#include "driver.h"
#include "mill/motion_time.h"
#include "options.h"

#include <string>

namespace zelmar::cli {

// A file, or standard output for "-"; false when it could not be written.
bool writeText(const std::string& path, const std::string& text);
// The operator's text with CR LF line ends made plain.
std::string plainLines(std::string message);
// "estimate: ..." for the commands of a grbl job: its time is the machine's motion, not a protocol's pause.
std::string grblEstimateLine(const JobCount& count, const MotionClock& motion, const Options& options);
// "estimate: ..." for the commands a dry run counted.
std::string estimateLine(const JobCount& count);
// The carving of the operations' millings: `carved` where the run carved it whole (Driver::carving()), otherwise
// replayed dry from the picture as it was loaded.
bool writeCarving(const Options& options, const Session& loaded, const MillSettings& settings,
                  const Carving* carved);
bool writeOutputs(const Options& options, const Session& session, const Driver& driver);

} // namespace zelmar::cli
