#include "mill_commands.h"

namespace zelmar {

const MillIndex& MillIndexCache::indexFor(const std::shared_ptr<RegionAnalysis>& analysis) {
    if (of_ != analysis || version_ != analysis->tablesVersion) {
        index_ = MillIndex::build(analysis->tables);
        of_ = analysis;
        version_ = analysis->tablesVersion;
    }
    return index_;
}

MillCommandResult millSelected(ImageSession& session, ToolPosition& tool, MillingHost& host,
                               MillIndexCache& cache) {
    const std::shared_ptr<RegionAnalysis> regions = session.regions; // kept alive for the whole job
    if (regions->tree.isEmpty())
        return {noTreeMessage, MillOutcome::Completed};
    if (session.selectedNode < 0 ||
        static_cast<std::size_t>(session.selectedNode) >= regions->tree.nodes.size())
        return {noSelectionMessage, MillOutcome::Completed};
    const std::int32_t id = regions->tree.nodes[static_cast<std::size_t>(session.selectedNode)].regionId;
    const MillIndex& index = cache.indexFor(regions);
    tool.toolX = 1;
    tool.toolY = 1;
    host.jobStarts(countMillMoves(regions->tables, index, tool, id));
    MillingJob job{session.layers.millLayer, regions->tables, index, tool, host};
    return {{}, MillRegion(job, id)};
}

MillCommandResult millAll(ImageSession& session, ToolPosition& tool, MillingHost& host,
                          MillIndexCache& cache) {
    const std::shared_ptr<RegionAnalysis> regions = session.regions;
    if (regions->tree.isEmpty())
        return {noTreeMessage, MillOutcome::Completed};
    const MillIndex& index = cache.indexFor(regions);
    const std::vector<std::int32_t> order = millAllOrder(regions->tables, index);
    std::int64_t total = 0;
    for (std::int32_t id : order)
        total += countMillMoves(regions->tables, index, tool, id);
    host.jobStarts(total);
    MillingJob job{session.layers.millLayer, regions->tables, index, tool, host};
    for (std::int32_t id : order) {
        const MillOutcome outcome = MillRegion(job, id);
        if (outcome != MillOutcome::Completed)
            return {{}, outcome};
        regions->tables.regionTable[static_cast<std::size_t>(id)].state = regionMilled;
    }
    return {{}, MillOutcome::Completed};
}

} // namespace zelmar
