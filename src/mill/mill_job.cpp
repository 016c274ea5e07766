#include "mill_job.h"

#include "carving.h"
#include "drop_cutter.h"
#include "relief/relief_commands.h"
#include "tool_sweep.h"

#include <algorithm>
#include <limits>
#include <mutex>

namespace zelmar {

namespace {

// The depths a shaped tool may reach on a picture, kept for the next milling of the same contents with the same
// tool: a job carved again after it ran (the preview of a dry run) works them out once.
std::shared_ptr<const std::vector<std::uint8_t>> reachableDepths(const ImageLayer& picture, std::int32_t width,
                                                                 std::int32_t height, const ToolProfile& tool) {
    struct Kept {
        std::uint64_t version = 0;
        std::int32_t width = 0, height = 0;
        ToolProfile tool;
        std::shared_ptr<const std::vector<std::uint8_t>> depths;
    };
    static std::mutex guard;
    static Kept kept;
    {
        const std::lock_guard<std::mutex> lock(guard);
        if (kept.depths && picture.contentVersion() != 0 && kept.version == picture.contentVersion() && kept.width == width && kept.height == height &&
            kept.tool == tool)
            return kept.depths;
    }
    auto depths = std::make_shared<const std::vector<std::uint8_t>>(
        dropCutterDepths(cutDepthsOf(picture), width, height, tool));
    const std::lock_guard<std::mutex> lock(guard);
    kept = {picture.contentVersion(), width, height, tool, depths};
    return depths;
}

} // namespace

const MillIndex& MillIndexCache::indexFor(const std::shared_ptr<RegionAnalysis>& analysis) {
    if (of_ != analysis || version_ != analysis->tablesVersion) {
        index_ = MillIndex::build(analysis->tables);
        of_ = analysis;
        version_ = analysis->tablesVersion;
    }
    return index_;
}

MillRefusal checkMillCommand(MillKind kind, const ImageSession& session) {
    const RegionTree& tree = session.regions->tree;
    if (tree.isEmpty())
        return MillRefusal::NoTree;
    if (kind == MillKind::Selected &&
        (session.selectedNode < 0 || static_cast<std::size_t>(session.selectedNode) >= tree.nodes.size()))
        return MillRefusal::NoSelection;
    return MillRefusal::None;
}

MillRefusal checkMillCommand(MillKind kind, const ImageSession& session, const MillSettings& settings) {
    const MillRefusal refusal = checkMillCommand(kind, session);
    if (refusal != MillRefusal::None || settings.edge < 0 || (settings.stepDown > 0 && settings.edge >= 1))
        return refusal;
    // In one pass every contour goes to its depth at once: the picture's deepest must be within the edge.
    const std::vector<std::uint8_t> depths = cutDepthsOf(depthPictureOf(session, settings.marksAsDepth));
    const auto deepest = std::max_element(depths.begin(), depths.end());
    return deepest != depths.end() && *deepest > settings.edge ? MillRefusal::EdgeTooShort : MillRefusal::None;
}

MillJob::MillJob(MillKind kind, ImageSession& session, const ToolPosition& tool, MillIndexCache& cache,
                 JobEvents* events)
    : kind_(kind), session_(session), cache_(cache), events_(events), tool_(tool) {
    if (kind_ == MillKind::Selected) {
        const RegionTree& tree = session_.regions->tree;
        if (session_.selectedNode >= 0 && static_cast<std::size_t>(session_.selectedNode) < tree.nodes.size())
            selectedRegion_ = tree.nodes[static_cast<std::size_t>(session_.selectedNode)].regionId;
        tool_.toolX = 1;
        tool_.toolY = 1;
    }
}

const PlannedMove* MillJob::next() {
    if (cursor_ == plan_.moves.size() && !advance())
        return nullptr;
    return &plan_.moves[cursor_];
}

std::span<const PlannedMove> MillJob::plannedAhead() const {
    return std::span<const PlannedMove>(plan_.moves).subspan(cursor_);
}

PixelRect MillJob::complete() {
    const PlannedMove& move = plan_.moves[cursor_++];
    tool_ = move.tool;
    if (move.kind == MoveKind::Plunge)
        inMaterial_ = true;
    else if (move.kind == MoveKind::Lift || move.kind == MoveKind::Approach)
        inMaterial_ = false;
    ++done_;
    ++millingDone_;
    const PixelRect marked = markMove(session_.layers.millLayer, move);
    if (carving_)
        carving_->take(move);
    if (cursor_ == plan_.moves.size())
        regionFinished();
    return marked;
}

const ImageLayer& depthPictureOf(const ImageSession& session, bool marksAsDepth) {
    const ImageLayer& mill = session.layers.millLayer;
    const ImageLayer& loaded = session.layers.sourceLayer;
    if (marksAsDepth || loaded.isEmpty() || loaded.header().bmWidth != mill.header().bmWidth ||
        loaded.header().bmHeight != mill.header().bmHeight || loaded.header().bmBitsPixel != mill.header().bmBitsPixel)
        return mill;
    return loaded;
}

const ImageLayer& MillJob::depthPicture() const {
    return depthPictureOf(session_, marksAsDepth_);
}

void MillJob::regionFinished() {
    if (kind_ == MillKind::Selected)
        return; // "Выделенная" leaves the region's state alone
    RegionTables& tables = analysis_->tables;
    if (plan_.region >= 1 && plan_.region <= tables.regionTableSize())
        tables.regionTable[static_cast<std::size_t>(plan_.region)].state = regionMilled;
}

bool MillJob::advance() {
    for (;;) {
        if (traced_ && nextRegion_ < traced_->size()) {
            const std::size_t k = nextRegion_++;
            TravelOptions travel;
            travel.safeHeight = safeHeight_;
            travel.firstOfMilling = !contourPlanned_;
            travel.lastOfMilling = k == lastRegionWithContours_;
            travel.stepDown = stepDown_;
            // Today's tool touches a pixel only where a step begins or ends: no step of its own needs the guard.
            plan_ = planRegion(*traced_, k, depthPicture(), tool_, travel, reachable(),
                               reachable().empty() ? nullptr : guard_.get());
            // The milling's total counted the traced moves and one rise to the travel height.
            const bool risesHere = safeHeight_ > 0 && travel.firstOfMilling && !plan_.moves.empty();
            millingTotal_ += static_cast<std::int64_t>(plan_.moves.size()) - traced_->moveCount(k) - (risesHere ? 1 : 0);
            contourPlanned_ = contourPlanned_ || !plan_.moves.empty();
            cursor_ = 0;
            if (events_)
                events_->regionStarts(plan_.region);
            if (!plan_.moves.empty())
                return true;
            regionFinished();
            continue;
        }
        traced_.reset();
        if (!nextStage()) {
            finished_ = true;
            plan_.moves.clear();
            cursor_ = 0;
            return false;
        }
    }
}

void MillJob::startMilling(const std::vector<std::int32_t>& regions) {
    analysis_ = session_.regions; // kept alive for the whole milling
    const MillIndex& index = cache_.indexFor(analysis_);
    const ImageLayer& layer = session_.layers.millLayer;
    const bool sameImage = !layer.isEmpty() && index.width == layer.header().bmWidth &&
                           index.height == layer.header().bmHeight;
    traced_ = std::make_unique<TracedRegions>();
    reachable_.reset();
    guard_.reset();
    if (sameImage && cutter_.kind() != ToolKind::Pixel)
        reachable_ = reachableDepths(depthPicture(), index.width, index.height, cutter_);
    // Today's tool needs it too: a run merged within a tolerance may pass over a pixel on its way.
    if (sameImage && !marksAsDepth_)
        guard_ = std::make_shared<const SurfaceGuard>(depthPicture(), cutter_);
    for (std::int32_t id : regions) {
        if (sameImage)
            traced_->trace(analysis_->tables.labelMap, index, id);
        else
            traced_->traceNothing(id); // no image, or tables of another image: nothing to trace
    }
    nextRegion_ = 0;
    millingDone_ = 0;
    contourPlanned_ = false;
    lastRegionWithContours_ = std::numeric_limits<std::size_t>::max();
    bool anyContour = false;
    // Under the old rule a shaped tool traces even the contours it cannot cut below the surface.
    const std::span<const std::uint8_t> skipped = guard_ ? reachable() : std::span<const std::uint8_t>();
    // (Today's tool has no such depths: it traces every contour.)
    for (std::size_t k = 0; k < traced_->size(); ++k)
        if (cutsBelowSurface(*traced_, k, skipped)) {
            lastRegionWithContours_ = k;
            anyContour = true;
        }
    // With a safe height the milling begins with one more move: the rise before its first approach.
    millingTotal_ = traced_->totalMoves() + (safeHeight_ > 0 && anyContour ? 1 : 0);
    if (events_)
        events_->millingStarts(millingTotal_);
}

bool MillJob::nextStage() {
    const auto workChanged = [this](bool treeRebuilt) {
        if (events_)
            events_->workChanged(treeRebuilt);
    };
    const auto millAll = [this] {
        std::shared_ptr<RegionAnalysis> analysis = session_.regions;
        startMilling(millAllOrder(analysis->tables, cache_.indexFor(analysis)));
    };
    switch (stage_) {
    case Stage::Begin:
        if (kind_ == MillKind::Selected) {
            startMilling({selectedRegion_});
            stage_ = Stage::End;
            return true;
        }
        if (kind_ == MillKind::All) {
            millAll();
            stage_ = Stage::End;
            return true;
        }
        gradientCommand(session_);
        workChanged(false);
        offsetCommand(session_);
        workChanged(false);
        parseImage(session_);
        workChanged(true);
        break;
    case Stage::PassEnds: {
        bool changed = false;
        for (int i = 0; i < 4; ++i) {
            changed = offsetCommand(session_) || changed;
            workChanged(false);
        }
        parseImage(session_);
        workChanged(true);
        // Offsets that changed nothing would give the same pass again and again.
        if (!changed) {
            stage_ = Stage::End;
            return false;
        }
        break;
    }
    case Stage::End:
        stage_ = Stage::End;
        return false;
    }
    // "Резать 3D": a pass while the tree has nodes.
    if (session_.regions->tree.isEmpty()) {
        stage_ = Stage::End;
        return false;
    }
    ++pass_;
    if (events_)
        events_->passStarts(pass_);
    millAll();
    stage_ = Stage::PassEnds;
    return true;
}

} // namespace zelmar
