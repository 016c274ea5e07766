#pragma once
// The stock as a job leaves it: a height grid, one cell a pixel, lowered by the tool's shape wherever a move takes
// its tip below the surface (plunges and cuts; a lift or a level move above the surface cuts nothing). The tool is
// the one whose depths the job planned (see ToolProfile), so the drop-cutter and this picture share one model.

#include "mill_job.h"
#include "operations.h"
#include "tool_shape.h"

#include <cstdint>
#include <vector>

namespace zelmar {

class Carving {
public:
    Carving(std::int32_t width, std::int32_t height, const ToolProfile& tool);

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    // How deep the stock is cut at each cell, in depth units (0: untouched), row by row from the picture's top.
    const std::vector<float>& depths() const { return depths_; }
    float deepest() const { return deepest_; }

    // The tool's tip at pixel (x, y) (from 1), `depth` units below the surface.
    void cutAt(std::int32_t x, std::int32_t y, std::int32_t depth);
    // A move of a job done: a plunge or a cut lowers the stock under the tool where it ends.
    void take(const PlannedMove& move);

private:
    std::int32_t width_;
    std::int32_t height_;
    // The cells under the tool: their offsets from its axis and how far its surface stands above its tip there.
    std::vector<std::int32_t> offsetX_, offsetY_;
    std::vector<float> lift_;
    std::vector<float> depths_;
    float deepest_ = 0;
};

// Runs the command on `copy` (which it changes) from the tool position and carves what it cuts: the result of a
// job before it runs. The command must not be refused (checkMillCommand).
Carving carveJob(MillKind kind, ImageSession& copy, const ToolPosition& tool, const MillSettings& settings);

// Runs the operations dry on the session (which they change, as a replay does) and carves what their millings cut.
// False when an operation could not run; the carving then holds what the operations before it cut.
bool carveOperations(ImageSession& session, ToolPosition& tool, MillIndexCache& cache,
                     const std::vector<Operation>& operations, const MillSettings& settings, Carving& carving);

// The carving as a picture, lit from the top left like a photograph of the piece: looked at from straight above,
// or tilted by 50 degrees towards the viewer. Bytes R, G, B row by row; tilted, the picture is taller than the
// grid by what the deepest cut shows.
struct CarvingPicture {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> rgb;
};
enum class CarvingView { Above, Tilted };
CarvingPicture pictureOf(const Carving& carving, CarvingView view);

} // namespace zelmar
