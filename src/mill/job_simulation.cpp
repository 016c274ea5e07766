#include "job_simulation.h"

#include <algorithm>

namespace zelmar {

ImageSession copyForSimulation(const ImageSession& session, MillKind kind) {
    ImageSession copy;
    // "Резать 3D" rewrites the working picture from the loaded one; every milling reads its depths from the loaded
    // picture and paints the mill layer. Layers share their bytes until written.
    copy.layers.sourceLayer = session.layers.sourceLayer;
    if (kind == MillKind::Cut3D)
        copy.layers.workLayer = session.layers.workLayer;
    copy.layers.millLayer = session.layers.millLayer;
    copy.regions = std::make_shared<RegionAnalysis>(*session.regions);
    copy.selectedNode = session.selectedNode;
    return copy;
}

void simulateJob(MillKind kind, ImageSession& copy, const ToolPosition& tool, const SimulationSettings& settings,
                 const std::function<void(const CommandMove&)>& onCommand) {
    MillIndexCache cache;
    MillJob job(kind, copy, tool, cache);
    job.setSettings({settings.safeHeight, settings.tool, settings.stepDown, settings.marksAsDepth});
    CommandFeed({settings.mergeSteps, settings.mergeTolerance}, settings.stepsPerPixel).runThrough(job, onCommand);
}

double lineTimeMs(const JobCount& count, std::int32_t pauseMs, std::int32_t baud) {
    return static_cast<double>(count.commands) * pauseMs +
           static_cast<double>(count.bytes) * 10.0 * 1000.0 / std::max(baud, 1);
}

} // namespace zelmar
