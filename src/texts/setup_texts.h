#pragma once
// The operator's words for the machine's set-up on grbl: why one was not started, how one ended, and where the
// machine and the work stand.

#include "job/job_controller.h"

#include <string>

namespace zelmar {

// "Поиск нуля", "Измерение высоты щупом": what the operation is called.
std::string setupName(Operation::Kind kind);
// Why the set-up was not started; the bad settings named for a probe.
std::string setupRefusalText(Operation::Kind kind, MachineSetupPart::Refusal refusal,
                             const std::vector<SettingProblem>& blocking = {});
// How it ended early.
std::string setupFailureText(Operation::Kind kind, const SetupFailure& failure);
// "Поиск нуля станка выполнен.": how it ended well.
std::string setupDoneText(Operation::Kind kind);
// The jog's offsets typed in the window are no signed millimetres.
std::string badJogText();
// No report has said yet where the machine stands.
std::string noCoordinatesText();
// "Станок X 1.000 Y 2.000 Z -3.500, заготовка X … (мм); подача 110 %, шпиндель 90 %".
std::string coordinatesText(const MachineCoordinates& coordinates);

} // namespace zelmar
