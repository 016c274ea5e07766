#pragma once
// The stock as a job leaves it: a height grid, one cell a pixel, lowered wherever the tool's body passes below the
// surface while the tip moves straight from one point of a move to the next (plunges and cuts; a lift or a level
// move above the surface cuts nothing). Each cell is the deepest the body reaches at its centre along the whole
// move (ToolSweep), not only where the move ends: the same sweep the moves were checked with. The grid is kept in
// small tiles made where the tool first cuts: a job costs what it cuts, not what the picture measures.

#include "commands.h"
#include "level_sweep.h"
#include "mill_job.h"
#include "operations.h"
#include "tool_shape.h"
#include "tool_sweep.h"

#include <cstdint>
#include <span>
#include <vector>

namespace zelmar {

class Carving {
public:
    Carving(std::int32_t width, std::int32_t height, const ToolProfile& tool);

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    // How deep the stock is cut at the cell of column x and row y (from 0, the top left), in depth units (0:
    // untouched).
    float depthAt(std::int32_t x, std::int32_t y) const {
        if (!levels_.empty())
            settle();
        const std::vector<float>& tile = tiles_[tileOf(x, y)];
        return tile.empty() ? 0.0f : tile[cellOf(x, y)];
    }
    // Row y's depths, width() of them, into `depths`: a whole row at once, as the pictures read it.
    void readRow(std::int32_t y, float* depths) const;
    float deepest() const {
        if (!levels_.empty())
            settle();
        return deepest_;
    }

    // The tool's tip at pixel (x, y) (from 1), `depth` units below the surface.
    void cutAt(std::int32_t x, std::int32_t y, std::int32_t depth);
    // The tip moved straight from a to b.
    void sweep(const TipPoint& a, const TipPoint& b);
    // A move of a job done: a plunge or a cut lowers the stock under the tool along the way.
    void take(const PlannedMove& move);
    // The moves of one command done: a merged run as the one straight move the machine makes of it.
    void take(std::span<const PlannedMove> command);

private:
    static constexpr std::int32_t tileShift = 4; // 16 x 16 cells
    static constexpr std::size_t keptPoints = std::size_t{1} << 20; // the level sweep's points carved at most at once
    static constexpr std::int32_t tileSide = 1 << tileShift;

    std::size_t tileOf(std::int32_t x, std::int32_t y) const {
        return static_cast<std::size_t>(y >> tileShift) * static_cast<std::size_t>(tilesAcross_) +
               static_cast<std::size_t>(x >> tileShift);
    }
    static std::size_t cellOf(std::int32_t x, std::int32_t y) {
        return static_cast<std::size_t>(((y & (tileSide - 1)) << tileShift) | (x & (tileSide - 1)));
    }
    float& cellAt(std::int32_t x, std::int32_t y) const;
    // The cut at pixel (x, y) (from 1), kept where it is deeper than what is cut there already.
    void deepen(std::int32_t x, std::int32_t y, double cut) const;
    // Carves the moves the level sweep keeps: before anything is read, as a cell holds the deepest cut of all
    // the moves whatever their order.
    void settle() const;

    std::int32_t width_;
    std::int32_t height_;
    std::int32_t tilesAcross_;
    ToolSweep sweep_;
    // The carving as read: the kept moves are carved into it on the first read after them.
    mutable std::vector<std::vector<float>> tiles_; // empty: not cut yet
    mutable float deepest_ = 0;
    mutable LevelSweep levels_;
};

// Runs the command on `copy` (which it changes) from the tool position and carves what it cuts: the result of a
// job before it runs. The command must not be refused (checkMillCommand).
// Merged commands are carved as the machine makes them.
Carving carveJob(MillKind kind, ImageSession& copy, const ToolPosition& tool, const MillSettings& settings,
                 const CommandFeed& feed = CommandFeed({}, 1));

// Runs the operations dry on the session (which they change, as a replay does) and carves what their millings cut.
// False when an operation could not run; the carving then holds what the operations before it cut.
bool carveOperations(ImageSession& session, ToolPosition& tool, MillIndexCache& cache,
                     const std::vector<Operation>& operations, const MillSettings& settings, Carving& carving,
                     const CommandFeed& feed = CommandFeed({}, 1));

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
// The same picture's size, and the picture drawn into rows of RGB bytes `stride` apart that the caller holds
// (as wide and as tall as pictureSize() says, already white): a picture made of several is drawn in place.
struct PictureSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
};
PictureSize pictureSize(const Carving& carving, CarvingView view);
void drawPicture(const Carving& carving, CarvingView view, std::uint8_t* rgb, std::size_t stride);
// Rows firstRow to endRow - 1 of the view from above, the first at rgb: a picture too big to hold is drawn a band
// at a time.
void drawAboveRows(const Carving& carving, std::int32_t firstRow, std::int32_t endRow, std::uint8_t* rgb,
                   std::size_t stride);

} // namespace zelmar
