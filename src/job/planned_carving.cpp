#include "planned_carving.h"

#include "mill/job_simulation.h"

#include <memory>

namespace zelmar {

MillRefusal checkPlannedJob(JobController& controller, const ImageSession& session, MillKind kind, unsigned needs) {
    const MillRefusal refusal = checkMillCommand(kind, session);
    return refusal != MillRefusal::None ? refusal : controller.checkSettings(needs);
}

PlannedCarving plannedCarving(JobController& controller, const ImageSession& session, const ToolPosition& tool,
                              const std::string& stepsText) {
    PlannedCarving planned;
    planned.refusal = checkPlannedJob(controller, session, MillKind::All, settingNeeds::milling);
    if (planned.refusal != MillRefusal::None)
        return planned;
    auto copy = std::make_shared<ImageSession>(copyForSimulation(session, MillKind::All));
    const MillSettings settings = controller.millSettingsAt(stepsText);
    const CommandFeed feed = controller.commandFeedAt(stepsText);
    planned.carve = [copy, settings, feed, start = tool] { return carveJob(MillKind::All, *copy, start, settings, feed); };
    return planned;
}

} // namespace zelmar
