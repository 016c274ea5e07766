#pragma once
// What a milling would do now, asked before it runs: whether it would start, and what "Все" would carve from where
// the tool stands. Worked out on a copy of the work: nothing of the program changes.

#include "job_controller.h"
#include "mill/carving.h"

#include <functional>
#include <string>

namespace zelmar {

// The refusal the job would meet (the tree, the selection, a bad setting it needs), or None.
MillRefusal checkPlannedJob(JobController& controller, const ImageSession& session, MillKind kind, unsigned needs);

// The carving of "Все" at the steps of this text, to be worked out away from the window's thread; refused as the
// job would be (carve is then empty).
struct PlannedCarving {
    MillRefusal refusal = MillRefusal::None;
    std::function<Carving()> carve;
};
PlannedCarving plannedCarving(JobController& controller, const ImageSession& session, const ToolPosition& tool,
                              const std::string& stepsText);

} // namespace zelmar
