#pragma once
// The words about the line and the time a job takes that the window and the command-line tool both say.

#include "job/job_controller.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zelmar {

// The status line's words when the port did not open.
inline constexpr const char* portNotOpenedText = "Ошибка открытия Com-порта";

// grbl on an open port never said hello; `speedSetting` names where the port's speed is set and what it is.
std::string grblSilentText(const std::string& port, const std::string& speedSetting);

// The work window's status line ("Статус:") for the line's state, and its tooltip; no tooltip: the last one stays.
struct StatusLine {
    std::string text;
    std::optional<std::string> tip;
};
StatusLine statusLineOf(JobController::LinkState state, const StartupConfig& config, const std::string& portHint);

// The controller's own report for the status bar, short: "grbl: Idle X1.500 Y-2.000 Z0.000", "grbl: нет связи";
// empty when there is nothing to say (our board, or no report yet).
std::string machineStatusText(const JobController& controller);

// "1:02:03": hours, minutes and seconds of a job's time.
std::string clockText(std::int64_t seconds);

} // namespace zelmar
