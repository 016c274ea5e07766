// Image bytes -> load -> parse -> select -> "Выделенная" and "Все" (dry) -> gradient -> offset -> parse, and
// now and then "Резать 3D", on small pictures. Besides crashes and sanitizer reports it checks what a
// machinist relies on: the tool never leaves the picture, never goes above its start or below the deepest cut,
// is lifted at the end of every job, and the position the program keeps is where the moves took it.

#include "app/image_file.h"
#include "byte_script.h"
#include "fuzz_check.h"
#include "image/image_session.h"
#include "mill/cut3d.h"
#include "mill/mill_commands.h"
#include "relief/relief_commands.h"

#include <QCoreApplication>

#include <cstdint>
#include <string>

namespace zelmar::fuzz {
namespace {

// Small pictures keep one run in the milliseconds; the big ones are the benchmarks' business.
constexpr std::int64_t pixelLimit = 4096;
constexpr std::int32_t deepestCut = 25;

class CheckingDryHost : public MillingHost {
public:
    CheckingDryHost(const ToolPosition& tool, std::int32_t width, std::int32_t height, std::int64_t stopAfter)
        : x_(tool.toolX), y_(tool.toolY), width_(width), height_(height), stopAfter_(stopAfter) {}

    bool millingOn() override { return false; }
    void jobStarts(std::int64_t totalMoves) override {
        jobMoves_ = 0;
        jobTotal_ = totalMoves;
    }
    bool sendMove(std::int32_t x, std::int32_t y, std::int32_t z) override {
        x_ += x;
        y_ += y;
        z_ += z;
        ++jobMoves_;
        ++moves_;
        require(x_ >= -1 && x_ <= width_ + 1 && y_ >= -1 && y_ <= height_ + 1, "the tool stays over the picture");
        require(z_ <= 0 && z_ >= -deepestCut, "the tool stays between its start height and the deepest cut");
        require(jobMoves_ <= jobTotal_, "a job sends no more moves than it announced");
        return true;
    }
    bool stopRequested() override { return stopAfter_ >= 0 && moves_ >= stopAfter_; }

    // After a job that ended, completed or stopped.
    void checkJobEnd(const ToolPosition& tool, bool completed, bool oneJob) const {
        require(z_ == 0, "the tool is lifted at the end of a job");
        require(tool.toolX == x_ && tool.toolY == y_, "the position the program keeps is where the moves went");
        if (completed && oneJob)
            require(jobMoves_ == jobTotal_, "a completed job sent the moves it announced");
    }

private:
    std::int64_t x_;
    std::int64_t y_;
    std::int64_t z_ = 0;
    std::int32_t width_;
    std::int32_t height_;
    std::int64_t stopAfter_;
    std::int64_t moves_ = 0;
    std::int64_t jobMoves_ = 0;
    std::int64_t jobTotal_ = 0;
};

void checkMilling(const MillCommandResult& result, const CheckingDryHost& host, const ToolPosition& tool,
                  bool oneJob) {
    if (result.refused())
        return;
    require(result.outcome != MillOutcome::Failed, "a dry run cannot fail");
    host.checkJobEnd(tool, result.outcome == MillOutcome::Completed, oneJob);
}

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
    fuzz::CheckingDryHost host(tool, header.bmWidth, header.bmHeight, stopAfter);

    parseImage(session);
    const RegionTree& tree = session.regions->tree;
    if (!tree.isEmpty()) {
        const TreeNode& node = tree.nodes[nodeChoice % tree.nodes.size()];
        require(selectNode(session, nodeKey(node.regionId)), "every node of the tree can be selected");
        fuzz::checkMilling(millSelected(session, tool, host, cache), host, tool, true);
    }
    fuzz::checkMilling(millAll(session, tool, host, cache), host, tool, true);
    gradientCommand(session);
    offsetCommand(session);
    // The tables are emptied until the next parse: milling now must refuse or trace from the map, not crash.
    fuzz::checkMilling(millAll(session, tool, host, cache), host, tool, true);
    parseImage(session);
    if (choices & 2)
        fuzz::checkMilling(cut3D(session, tool, host, cache), host, tool, false);
    require(session.layers.header().bmWidth == header.bmWidth && session.layers.header().bmHeight == header.bmHeight,
            "no command changes the picture's size");
    return 0;
}
