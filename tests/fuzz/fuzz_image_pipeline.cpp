// Image bytes -> load -> parse -> select -> "Выделенная" and "Все" (dry, on the window's runner) -> gradient ->
// offset -> parse, and now and then "Резать 3D", on small pictures, sometimes stopped after a number of moves.
// Besides crashes and sanitizer reports it checks what a machinist relies on: the tool never leaves the
// picture, never goes above its start or below the deepest cut, is lifted at the end of every job, and the
// position the program keeps is where the moves took it.

#include "picture_files/image_file.h"
#include "byte_script.h"
#include "fuzz_check.h"
#include "image/image_session.h"
#include "run/job_runner.h"
#include "mill/mill_job.h"
#include "relief/relief_commands.h"

#include <QCoreApplication>

#include <cstdint>
#include <string>

namespace zelmar::fuzz {
namespace {

// Small pictures keep one run in the milliseconds; the big ones are the benchmarks' business.
constexpr std::int64_t pixelLimit = 4096;
constexpr std::int32_t deepestCut = 25;

// Runs milling commands dry on the window's runner and checks every move as it is drawn.
class CheckingDryRun : public QObject {
public:
    CheckingDryRun(std::int32_t width, std::int32_t height, std::int64_t stopAfter)
        : width_(width), height_(height), stopAfter_(stopAfter) {
        runner_.setDryPauseMs(0);
        runner_.setMillingSwitch([] { return false; });
        QObject::connect(&runner_, &JobRunner::moveDone, this, [this] { onMove(); });
    }

    // Runs the command to its end or to the stop; false when it refused.
    bool run(MillKind kind, ImageSession& session, ToolPosition& tool, MillIndexCache& cache, bool oneJob) {
        if (checkMillCommand(kind, session) != MillRefusal::None)
            return false;
        auto job = std::make_unique<MillJob>(kind, session, tool, cache);
        job_ = job.get();
        const ToolPosition from = job_->tool();
        runner_.start(std::move(job), parseStepsPerPixel("150"), {from.toolX, from.toolY, 0});
        while (runner_.isRunning())
            QCoreApplication::processEvents();
        tool = job_->tool();
        const JobRunner::Board& b = runner_.board();
        require(runner_.phase() == JobRunner::Phase::Idle || runner_.phase() == JobRunner::Phase::Kept,
                "a dry run ends, completed or stopped");
        require(b.depth == 0, "the tool is lifted at the end of a job");
        require(tool.toolX == b.x && tool.toolY == b.y, "the position the program keeps is where the moves went");
        if (job_->finished() && oneJob)
            require(job_->millingDone() == job_->millingTotal(), "a completed job did the moves it announced");
        return true;
    }

private:
    void onMove() {
        const JobRunner::Board& b = runner_.board();
        ++moves_;
        require(b.x >= -1 && b.x <= width_ + 1 && b.y >= -1 && b.y <= height_ + 1, "the tool stays over the picture");
        require(b.depth >= 0 && b.depth <= deepestCut, "the tool stays between its start height and the deepest cut");
        require(job_->millingDone() <= job_->millingTotal(), "a job does no more moves than it announced");
        if (stopAfter_ >= 0 && moves_ >= stopAfter_)
            runner_.stop();
    }

    JobRunner runner_;
    MillJob* job_ = nullptr;
    std::int32_t width_;
    std::int32_t height_;
    std::int64_t stopAfter_;
    std::int64_t moves_ = 0;
};

} // namespace
} // namespace zelmar::fuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv); // the image format plug-ins are found through it
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelmar;
    using fuzz::require;
    fuzz::ByteScript script(data, size);
    const std::uint8_t choices = script.byte();
    const std::uint8_t nodeChoice = script.byte();
    const std::uint8_t stopChoice = script.byte();

    LoadedImage loaded = loadImageBytes(script.rest(), "fuzz.img", fuzz::pixelLimit);
    if (!loaded.ok()) {
        require(loaded.error.rfind("Не удалось загрузить изображение\r\n", 0) == 0, "a refusal says what failed");
        return 0;
    }
    const BitmapHeader header = loaded.layer.header();
    require(header.bmWidth >= 1 && header.bmHeight >= 1 && std::int64_t{header.bmWidth} * header.bmHeight <= fuzz::pixelLimit,
            "a loaded picture has a size within the limit");

    ImageSession session;
    session.layers = LayerSet::copiesOf(std::move(loaded.layer));
    ToolPosition tool;
    MillIndexCache cache;
    const std::int64_t stopAfter = (choices & 1) ? stopChoice : -1;
    fuzz::CheckingDryRun run(header.bmWidth, header.bmHeight, stopAfter);

    parseImage(session);
    const RegionTree& tree = session.regions->tree;
    if (!tree.isEmpty()) {
        const TreeNode& node = tree.nodes[nodeChoice % tree.nodes.size()];
        require(selectNode(session, nodeKey(node.regionId)), "every node of the tree can be selected");
        require(run.run(MillKind::Selected, session, tool, cache, true), "a selected node can be milled");
    }
    run.run(MillKind::All, session, tool, cache, true);
    gradientCommand(session);
    offsetCommand(session);
    // The tables are emptied until the next parse: milling now must refuse or trace from the map, not crash.
    run.run(MillKind::All, session, tool, cache, true);
    parseImage(session);
    if (choices & 2)
        run.run(MillKind::Cut3D, session, tool, cache, false);
    require(session.layers.header().bmWidth == header.bmWidth && session.layers.header().bmHeight == header.bmHeight,
            "no command changes the picture's size");
    return 0;
}
