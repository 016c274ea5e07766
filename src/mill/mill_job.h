#pragma once
// "Выделенная", "Все" and "Резать 3D" as jobs: sequences of stages whose moves are data. Each region's plan is
// made when the job reaches it, as later regions read the marks of earlier ones; the relief steps of
// "Резать 3D" run between its passes. A job neither sends nor waits: whoever runs it takes the next move,
// has it carried out (or not, in a dry run) and reports it done, which paints its marks and moves the tool.

#include "image/image_session.h"
#include "milling.h"
#include "move_source.h"
#include "tool_shape.h"

#include <memory>
#include <span>

namespace zelmar {

// The MillIndex of the current parse, made at the first milling after it.
class MillIndexCache {
public:
    const MillIndex& indexFor(const std::shared_ptr<RegionAnalysis>& analysis);

private:
    std::shared_ptr<const RegionAnalysis> of_;
    std::uint64_t version_ = 0;
    MillIndex index_;
};

enum class MillKind { Selected, All, Cut3D };

// How a job cuts, beyond what the picture says: the travel height between contours (depth units above the
// surface) and the tool. At their defaults every move is today's.
struct MillSettings {
    std::int32_t safeHeight = 0;
    ToolProfile tool;
    std::int32_t stepDown = 0; // depth units a pass; 0: each contour at its depth at once
    // The old rule: depths read from the mill layer with its red marks, which read as full depth, and a shaped
    // tool's moves as they were, checked only where they end. Off: depths come from the picture as loaded, and
    // every move of a shaped tool keeps its whole body above the picture.
    bool marksAsDepth = false;
    // Depth units of the tool's cutting edge; -1: not limited. A job in one pass may not cut deeper than the edge
    // is long; passes are kept within it where the settings are made.
    std::int32_t edge = -1;
};

// Why a milling command did nothing at all.
// BadSetting: a setting the job needs holds a value the front-end refused (it names which).
// MapNotFollowed: a height map is loaded, and the machine's line (our board's) does not follow it.
enum class MillRefusal { None, NoTree, NoSelection, EdgeTooShort, BadSetting, MapNotFollowed };

// Refuses before anything happens: every command needs a tree, "Выделенная" a selected node too.
MillRefusal checkMillCommand(MillKind kind, const ImageSession& session);
// The same, and a job in one pass that the picture asks deeper than the tool's cutting edge is long.
MillRefusal checkMillCommand(MillKind kind, const ImageSession& session, const MillSettings& settings);

// Where a job's depths come from: the picture as loaded, or the mill layer with its marks under the old rule.
const ImageLayer& depthPictureOf(const ImageSession& session, bool marksAsDepth);

// What a front-end hears of a job's stages, as the job reaches them.
class JobEvents {
public:
    virtual ~JobEvents() = default;
    // A milling begins ("Выделенная", "Все", or the "Все" of a pass) with this many moves.
    virtual void millingStarts(std::int64_t totalMoves) { (void)totalMoves; }
    virtual void regionStarts(std::int32_t regionId) { (void)regionId; }
    // "Резать 3D": a pass begins (from 1); the picture or the tree changed between millings.
    virtual void passStarts(int pass) { (void)pass; }
    virtual void workChanged(bool treeRebuilt) { (void)treeRebuilt; }
};

class MillJob : public MoveSource {
public:
    // The command must have passed checkMillCommand. The job starts from the given tool position ("Выделенная"
    // declares the tool to stand over pixel (1, 1)); nothing happens before the first next().
    MillJob(MillKind kind, ImageSession& session, const ToolPosition& tool, MillIndexCache& cache,
            JobEvents* events = nullptr);

    // Depth units above the surface at which the tool travels between contours (0: at the surface).
    void setSafeHeight(std::int32_t safeHeight) { safeHeight_ = safeHeight; }
    // A shaped tool cuts each milling only as deep as it can without going below the picture as that milling
    // begins. Set before the first next().
    void setTool(const ToolProfile& tool) { cutter_ = tool; }
    void setSettings(const MillSettings& settings) {
        setSafeHeight(settings.safeHeight);
        setTool(settings.tool);
        stepDown_ = settings.stepDown;
        marksAsDepth_ = settings.marksAsDepth;
    }

    MillKind kind() const { return kind_; }
    // The region "Выделенная" mills; 0 for the other commands.
    std::int32_t selectedRegion() const { return selectedRegion_; }
    void setEvents(JobEvents* events) { events_ = events; }
    // Every move done from now on is carved into it (a picture of what the machine has cut so far).
    void setCarving(class Carving* carving) { carving_ = carving; }

    // The next move due, reaching the next stage when the current plan is used up; nullptr once the job is
    // complete.
    const PlannedMove* next() override;
    // The rest of the current plan from the move next() gave: what may be streamed ahead of it.
    std::span<const PlannedMove> plannedAhead() const override;
    // The move next() gave is done: the tool moves, a step's mark is painted (the area in 0-based pixels); the
    // last move of a region milled by "Все" marks the region milled.
    PixelRect complete() override;

    const ToolPosition& tool() const { return tool_; }
    // The tool is in the material after the moves done: a plunge, and no lift or approach since.
    bool toolInMaterial() const { return inMaterial_; }
    bool finished() const { return finished_; }
    // Moves done over the whole job, and of the current milling out of its total.
    std::int64_t movesDone() const override { return done_; }
    const SurfaceGuard* surfaceGuard() const override { return guard_.get(); }
    // With a step-down the passes of a region are known once it is planned: the total grows as regions begin.
    std::int64_t millingDone() const { return millingDone_; }
    std::int64_t millingTotal() const { return millingTotal_; }
    std::int32_t region() const { return plan_.region; }
    int pass() const { return pass_; }

private:
    bool advance();
    bool nextStage();
    void startMilling(const std::vector<std::int32_t>& regions);
    void regionFinished();
    // Where the depths come from: the picture as loaded, or the mill layer with its marks under the old rule.
    const ImageLayer& depthPicture() const;

    enum class Stage { Begin, PassEnds, End };

    MillKind kind_;
    ImageSession& session_;
    MillIndexCache& cache_;
    JobEvents* events_;
    class Carving* carving_ = nullptr;
    ToolPosition tool_;
    std::int32_t selectedRegion_ = 0;
    Stage stage_ = Stage::Begin;
    bool finished_ = false;
    int pass_ = 0;
    // The analysis the current milling traced; "Все" marks its regions milled there.
    std::shared_ptr<RegionAnalysis> analysis_;
    std::unique_ptr<TracedRegions> traced_;
    std::size_t nextRegion_ = 0;
    std::int32_t safeHeight_ = 0;
    ToolProfile cutter_;
    std::int32_t stepDown_ = 0;
    bool marksAsDepth_ = false;
    // For a shaped tool, however narrow: the depths it may reach in the current milling; empty for today's tool.
    std::shared_ptr<const std::vector<std::uint8_t>> reachable_;
    std::span<const std::uint8_t> reachable() const {
        return reachable_ ? std::span<const std::uint8_t>(*reachable_) : std::span<const std::uint8_t>();
    }
    // For a shaped tool: the picture its moves keep above, in the current milling.
    std::shared_ptr<const SurfaceGuard> guard_;
    bool contourPlanned_ = false;            // in the current milling
    std::size_t lastRegionWithContours_ = 0; // of the current milling
    RegionPlan plan_;
    std::size_t cursor_ = 0;
    std::int64_t done_ = 0;
    bool inMaterial_ = false;
    std::int64_t millingDone_ = 0;
    std::int64_t millingTotal_ = 0;
};

} // namespace zelmar
