#pragma once
// What the operator reads, in Russian, for the codes the core and the line report. The window and the
// command-line tool say the same words. Lines are joined by CR LF, as the message boxes show them.

#include "job/port_hint.h"
#include "run/job_runner.h"
#include "link/machine_link.h"
#include "link/move_command.h"
#include "mill/mill_job.h"

#include <string>

namespace zelmar {

std::string refusalText(MillRefusal refusal);
std::string refusalText(const NumberRefusal& refusal);
// A failed job or move; kept: the job can be continued with "Продолжить".
std::string faultText(const LinkFault& fault, bool kept);
// The question about a move that went out and was never acknowledged.
std::string openMoveQuestion(const JobRunner::OpenMove& move);
// The same move, named in one line (for the command-line tool).
std::string openMoveName(const JobRunner::OpenMove& move);
std::string journalFailureText(const std::string& path);
// Where a saved G-code file starts, after "над": "пикселем 1, 1 (0.000 мм правее и 0.000 мм ниже левого верхнего
// пикселя изображения)"; an empty offset (beyond the board's counter) reads "?".
std::string gcodeStartText(std::int32_t x, std::int32_t y, const std::string& rightMm, const std::string& downMm);

// A count with its noun in the form Russian gives it: one for 1, 21, 101; few for 2-4, 22-24; many for the rest
// (5-20, 11-14, 111...).
std::string countText(std::int64_t n, const char* one, const char* few, const char* many);
// "1 перемещение", "82 перемещения", "5 перемещений".
std::string movesText(std::int64_t n);

// grbl's error and alarm codes, in the operator's words; the alarm as the box shows it.
std::string grblErrorMeaning(int code);
std::string grblAlarmMeaning(int code);
std::string grblAlarmText(int code);
// A machine position in millimetres with three decimals: "X 1.500 Y -2.000 Z 0.000 мм".
// The cutter in "Настройка": "Фреза: шаровая 6 мм"; empty for today's one-pixel tool.
std::string toolText(const ToolShape& tool);
std::string machinePositionText(const MachinePosition& position);

} // namespace zelmar
