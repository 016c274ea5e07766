#include "carving.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <thread>

namespace zelmar {

Carving::Carving(std::int32_t width, std::int32_t height, const ToolProfile& tool)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), tilesAcross_((width_ + tileSide - 1) >> tileShift),
      sweep_(tool),
      tiles_(static_cast<std::size_t>(tilesAcross_) * static_cast<std::size_t>((height_ + tileSide - 1) >> tileShift)) {}

float& Carving::cellAt(std::int32_t x, std::int32_t y) const {
    std::vector<float>& tile = tiles_[tileOf(x, y)];
    if (tile.empty())
        tile.assign(static_cast<std::size_t>(tileSide) * tileSide, 0.0f);
    return tile[cellOf(x, y)];
}

void Carving::deepen(std::int32_t x, std::int32_t y, double cut) const {
    if (cut <= 0)
        return;
    const std::vector<float>& tile = tiles_[tileOf(x - 1, y - 1)];
    if (!tile.empty() && cut <= tile[cellOf(x - 1, y - 1)])
        return; // not below what is cut already: no tile made for it
    float& cell = cellAt(x - 1, y - 1);
    cell = static_cast<float>(cut);
    deepest_ = std::max(deepest_, cell);
}

void Carving::readRow(std::int32_t y, float* depths) const {
    if (!levels_.empty())
        settle();
    for (std::int32_t tileX = 0; tileX < tilesAcross_; ++tileX) {
        const std::int32_t x = tileX << tileShift;
        const auto cells = static_cast<std::size_t>(std::min(tileSide, width_ - x));
        const std::vector<float>& tile = tiles_[tileOf(x, y)];
        if (tile.empty())
            std::fill_n(depths + x, cells, 0.0f);
        else
            std::copy_n(tile.data() + cellOf(x, y), cells, depths + x);
    }
}

void Carving::settle() const {
    levels_.settle(sweep_, width_, height_, [this](std::int32_t x, std::int32_t y, double cut) { deepen(x, y, cut); });
}

void Carving::cutAt(std::int32_t x, std::int32_t y, std::int32_t depth) {
    const TipPoint tip{double(x), double(y), double(depth)};
    sweep(tip, tip);
}

void Carving::sweep(const TipPoint& a, const TipPoint& b) {
    if (std::max(a.depth, b.depth) <= 0)
        return; // at or above the surface nothing is cut
    if (LevelSweep::takes(sweep_, a, b)) {
        levels_.add(a, b);
        if (levels_.size() >= keptPoints)
            settle();
        return;
    }
    // Only within the reach of the deeper end is the body below the surface, where a cut counts.
    sweep_.forEachPixelNear(a, b, [&](std::int32_t x, std::int32_t y) {
        deepen(x, y, sweep_.deepestAt(x, y, a, b));
    }, {1, 1, width_, height_}, std::sqrt(sweep_.cutReachSquared(std::max(a.depth, b.depth))));
}

void Carving::take(const PlannedMove& move) {
    if (move.kind == MoveKind::Step || move.kind == MoveKind::Plunge)
        sweep(tipBefore(move), tipAfter(move));
}

void Carving::take(std::span<const PlannedMove> command) {
    if (command.size() == 1)
        take(command.front());
    else if (!command.empty() && command.front().kind == MoveKind::Step)
        sweep(tipBefore(command.front()), tipAfter(command.back()));
}

namespace {

// Runs a job through to its end, carving each command as it goes out.
void carveThrough(MoveSource& job, const CommandFeed& feed, Carving& carving) {
    while (job.next()) {
        const std::span<const PlannedMove> moves = feed.nextMoves(job.plannedAhead(), job.surfaceGuard());
        carving.take(moves);
        for (std::size_t i = moves.size(); i > 0; --i)
            job.complete();
    }
}

} // namespace

Carving carveJob(MillKind kind, ImageSession& copy, const ToolPosition& tool, const MillSettings& settings,
                 const CommandFeed& feed) {
    const ImageLayer& picture = copy.layers.millLayer;
    Carving carving(picture.header().bmWidth, picture.header().bmHeight, settings.tool);
    MillIndexCache cache;
    MillJob job(kind, copy, tool, cache);
    job.setSettings(settings);
    carveThrough(job, feed, carving);
    return carving;
}

bool carveOperations(ImageSession& session, ToolPosition& tool, MillIndexCache& cache,
                     const std::vector<Operation>& operations, const MillSettings& settings, Carving& carving,
                     const CommandFeed& feed) {
    for (const Operation& op : operations) {
        if (!op.isMilling()) {
            if (op.kind != Operation::Kind::Move && !runStillOperation(session, op))
                return false;
            continue;
        }
        std::unique_ptr<MoveSource> job = jobOf(op, session, tool, cache, settings);
        if (!job)
            return false;
        carveThrough(*job, feed, carving);
        if (const auto* mill = dynamic_cast<const MillJob*>(job.get()))
            tool = mill->tool();
    }
    return true;
}

namespace {

// Light from the top left and above; the piece the colour of light wood, its cut faces shaded by their slope.
struct Lighting {
    double lx, ly, lz;
    Lighting() {
        const double n = std::sqrt(1.0 + 1.0 + 1.4 * 1.4);
        lx = -1 / n;
        ly = -1 / n;
        lz = 1.4 / n;
    }
    std::array<std::uint8_t, 3> shade(double slopeX, double slopeY, double depthShare) const {
        // The surface's normal from its slopes (height rises where the cut gets shallower).
        const double n = std::sqrt(slopeX * slopeX + slopeY * slopeY + 1);
        const double lit = std::max(0.0, (-slopeX * lx - slopeY * ly + lz) / n);
        const double light = 0.30 + 0.70 * lit;
        // Deeper wood a little darker, as end grain and shadow make it.
        const double tone = light * (1.0 - 0.25 * depthShare);
        const auto channel = [tone](double base) {
            return static_cast<std::uint8_t>(std::clamp(base * tone, 0.0, 255.0));
        };
        return {channel(236), channel(200), channel(150)};
    }
};

} // namespace

namespace {

constexpr double tilt = 50.0 * 3.14159265358979 / 180;

// The carving's heights (0 at the surface, below it negative) three rows at a time, rows and columns beyond the
// grid read as the nearest within it: what a pixel's shade looks at, each cell read once.
class HeightRows {
public:
    explicit HeightRows(const Carving& carving)
        : carving_(carving), w_(carving.width()), h_(carving.height()), rows_{row(), row(), row()} {}

    // Rows y - 1, y and y + 1 at hand.
    void moveTo(std::int32_t y) {
        if (y == at_ + 1 && at_ >= 0) {
            std::rotate(rows_.begin(), rows_.begin() + 1, rows_.end());
            fill(rows_[2], y + 1);
        } else if (y == at_ - 1 && at_ >= 0) {
            std::rotate(rows_.begin(), rows_.begin() + 2, rows_.end());
            fill(rows_[0], y - 1);
        } else if (y != at_) {
            for (int i = 0; i < 3; ++i)
                fill(rows_[static_cast<std::size_t>(i)], y - 1 + i);
        }
        at_ = y;
    }
    // Of column x (-1 .. width) in row y - 1 + dy.
    double at(std::int32_t x, int dy) const {
        return rows_[static_cast<std::size_t>(dy)][static_cast<std::size_t>(std::clamp(x, 0, w_ - 1))];
    }

private:
    std::vector<double> row() const { return std::vector<double>(static_cast<std::size_t>(w_)); }
    void fill(std::vector<double>& row, std::int32_t y) {
        depths_.resize(static_cast<std::size_t>(w_));
        carving_.readRow(std::clamp(y, 0, h_ - 1), depths_.data());
        for (std::int32_t x = 0; x < w_; ++x)
            row[static_cast<std::size_t>(x)] = -static_cast<double>(depths_[static_cast<std::size_t>(x)]);
    }

    const Carving& carving_;
    std::int32_t w_, h_;
    std::array<std::vector<double>, 3> rows_;
    std::vector<float> depths_; // a row as the carving holds it
    std::int32_t at_ = -2;
};

} // namespace

PictureSize pictureSize(const Carving& carving, CarvingView view) {
    const std::int32_t w = carving.width(), h = carving.height();
    if (w == 0 || h == 0)
        return {};
    if (view == CarvingView::Above)
        return {w, h};
    const double deepest = std::max<double>(carving.deepest(), 1);
    const std::int32_t drop = static_cast<std::int32_t>(std::ceil(deepest * std::sin(tilt)));
    return {w, static_cast<std::int32_t>(std::ceil(h * std::cos(tilt))) + drop + 1};
}

namespace {

// The colour of a cell of the row HeightRows is at, from the slopes around it and its depth.
class CellShade {
public:
    explicit CellShade(const Carving& carving)
        : deepest_(std::max<double>(carving.deepest(), 1)), untouched_(light_.shade(0, 0, 0)) {}

    std::array<std::uint8_t, 3> at(const HeightRows& rows, std::int32_t x) const {
        // Most of a picture is untouched stock, all of one shade.
        if (rows.at(x, 1) == 0 && rows.at(x - 1, 1) == 0 && rows.at(x + 1, 1) == 0 && rows.at(x, 0) == 0 &&
            rows.at(x, 2) == 0)
            return untouched_;
        const double sx = (rows.at(x + 1, 1) - rows.at(x - 1, 1)) / 2;
        const double sy = (rows.at(x, 2) - rows.at(x, 0)) / 2;
        return light_.shade(sx, sy, -rows.at(x, 1) / deepest_);
    }
    double deepest() const { return deepest_; }
    const Lighting& light() const { return light_; }

private:
    const Lighting light_;
    const double deepest_;
    const std::array<std::uint8_t, 3> untouched_;
};

} // namespace

void drawAboveRows(const Carving& carving, std::int32_t firstRow, std::int32_t endRow, std::uint8_t* rgb,
                   std::size_t stride) {
    const std::int32_t w = carving.width();
    const CellShade shade(carving);
    HeightRows rows(carving);
    for (std::int32_t y = std::max(firstRow, 0); y < std::min(endRow, carving.height()); ++y) {
        rows.moveTo(y);
        std::uint8_t* out = rgb + static_cast<std::size_t>(y - firstRow) * stride;
        for (std::int32_t x = 0; x < w; ++x) {
            const auto c = shade.at(rows, x);
            std::copy(c.begin(), c.end(), out + static_cast<std::size_t>(x) * 3);
        }
    }
}

void drawPicture(const Carving& carving, CarvingView view, std::uint8_t* rgb, std::size_t stride) {
    const std::int32_t w = carving.width(), h = carving.height();
    if (w == 0 || h == 0)
        return;
    if (view == CarvingView::Above) {
        drawAboveRows(carving, 0, h, rgb, stride);
        return;
    }
    // Tilted: rows recede with the cosine of the tilt, and a cut shows its depth by the sine; each column is drawn
    // from the nearest row to the farthest, a row showing only above what nearer rows already cover. Below the
    // nearest row the stock's front face, in the shadow's colour, down to the depth of the deepest cut. Columns
    // are drawn apart from each other: on a big picture, the right half on a second thread.
    const CellShade shade(carving); // the carving settled: from here on it is only read
    const double deepest = shade.deepest();
    const double c = std::cos(tilt), s = std::sin(tilt);
    const std::int32_t height = pictureSize(carving, view).height;
    const std::array<std::uint8_t, 3> face = shade.light().shade(0, 1e6, 1);
    const double bottom = h * c + deepest * s;
    const auto drawColumns = [&](std::int32_t firstColumn, std::int32_t endColumn) {
        HeightRows rows(carving);
        const auto put = [&](std::int32_t row, std::int32_t x, const std::array<std::uint8_t, 3>& colour) {
            std::copy(colour.begin(), colour.end(),
                      rgb + static_cast<std::size_t>(row) * stride + static_cast<std::size_t>(x) * 3);
        };
        // By column: rows from here down are drawn.
        std::vector<std::int32_t> covered(static_cast<std::size_t>(endColumn - firstColumn));
        rows.moveTo(h - 1);
        for (std::int32_t x = firstColumn; x < endColumn; ++x) {
            const std::int32_t faceTop = static_cast<std::int32_t>(std::floor(h * c - rows.at(x, 1) * s));
            for (std::int32_t row = std::max(0, faceTop);
                 row < std::min<std::int32_t>(height, static_cast<std::int32_t>(std::ceil(bottom))); ++row)
                put(row, x, face);
            covered[static_cast<std::size_t>(x - firstColumn)] = std::clamp(faceTop, 0, height);
        }
        for (std::int32_t y = h - 1; y >= 0; --y) {
            rows.moveTo(y);
            for (std::int32_t x = firstColumn; x < endColumn; ++x) {
                std::int32_t& below = covered[static_cast<std::size_t>(x - firstColumn)];
                const double top = y * c - rows.at(x, 1) * s; // the cell's top edge on the picture
                const std::int32_t from = std::max(0, static_cast<std::int32_t>(std::floor(top)));
                if (from >= below)
                    continue;
                const auto colour = shade.at(rows, x);
                for (std::int32_t row = from; row < below; ++row)
                    put(row, x, colour);
                below = from;
            }
        }
    };
    if (std::int64_t{w} * h < std::int64_t{1} << 16 || w < 2) {
        drawColumns(0, w);
        return;
    }
    std::thread right([&] { drawColumns(w / 2, w); });
    drawColumns(0, w / 2);
    right.join();
}

CarvingPicture pictureOf(const Carving& carving, CarvingView view) {
    CarvingPicture picture;
    const PictureSize size = pictureSize(carving, view);
    if (size.width == 0 || size.height == 0)
        return picture;
    picture.width = size.width;
    picture.height = size.height;
    picture.rgb.assign(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 3, 255);
    drawPicture(carving, view, picture.rgb.data(), static_cast<std::size_t>(size.width) * 3);
    return picture;
}

} // namespace zelmar
