#include "carving.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace zelmar {

Carving::Carving(std::int32_t width, std::int32_t height, const ToolProfile& tool)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), tilesAcross_((width_ + tileSide - 1) >> tileShift),
      sweep_(tool),
      tiles_(static_cast<std::size_t>(tilesAcross_) * static_cast<std::size_t>((height_ + tileSide - 1) >> tileShift)) {}

float& Carving::cellAt(std::int32_t x, std::int32_t y) {
    std::vector<float>& tile = tiles_[tileOf(x, y)];
    if (tile.empty())
        tile.assign(static_cast<std::size_t>(tileSide) * tileSide, 0.0f);
    return tile[cellOf(x, y)];
}

void Carving::cutAt(std::int32_t x, std::int32_t y, std::int32_t depth) {
    const TipPoint tip{double(x), double(y), double(depth)};
    sweep(tip, tip);
}

void Carving::sweep(const TipPoint& a, const TipPoint& b) {
    if (std::max(a.depth, b.depth) <= 0)
        return; // at or above the surface nothing is cut
    sweep_.forEachPixelNear(a, b, [&](std::int32_t x, std::int32_t y) {
        const double cut = sweep_.deepestAt(x, y, a, b);
        if (cut <= 0 || cut <= depthAt(x - 1, y - 1))
            return; // not below what is cut already: no tile made for it
        float& cell = cellAt(x - 1, y - 1);
        cell = static_cast<float>(cut);
        deepest_ = std::max(deepest_, cell);
    }, {1, 1, width_, height_});
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

CarvingPicture pictureOf(const Carving& carving, CarvingView view) {
    const std::int32_t w = carving.width(), h = carving.height();
    const auto heightAt = [&](std::int32_t x, std::int32_t y) -> double {
        return -static_cast<double>(carving.depthAt(std::clamp(x, 0, w - 1), std::clamp(y, 0, h - 1)));
    };
    const double deepest = std::max<double>(carving.deepest(), 1);
    const Lighting light;
    const auto colourAt = [&](std::int32_t x, std::int32_t y) {
        const double sx = (heightAt(x + 1, y) - heightAt(x - 1, y)) / 2;
        const double sy = (heightAt(x, y + 1) - heightAt(x, y - 1)) / 2;
        return light.shade(sx, sy, -heightAt(x, y) / deepest);
    };
    CarvingPicture picture;
    if (w == 0 || h == 0)
        return picture;
    if (view == CarvingView::Above) {
        picture.width = w;
        picture.height = h;
        picture.rgb.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3);
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x) {
                const auto c = colourAt(x, y);
                std::copy(c.begin(), c.end(), picture.rgb.begin() + (static_cast<std::ptrdiff_t>(y) * w + x) * 3);
            }
        return picture;
    }
    // Tilted: rows recede with the cosine of the tilt, and a cut shows its depth by the sine; each column is drawn
    // from the nearest row to the farthest, a row showing only above what nearer rows already cover. Below the
    // nearest row the stock's front face, in the shadow's colour, down to the depth of the deepest cut.
    const double tilt = 50.0 * 3.14159265358979 / 180;
    const double c = std::cos(tilt), s = std::sin(tilt);
    const std::int32_t drop = static_cast<std::int32_t>(std::ceil(deepest * s));
    picture.width = w;
    picture.height = static_cast<std::int32_t>(std::ceil(h * c)) + drop + 1;
    picture.rgb.assign(static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height) * 3, 255);
    const std::array<std::uint8_t, 3> face = light.shade(0, 1e6, 1);
    const double bottom = h * c + deepest * s;
    for (std::int32_t x = 0; x < w; ++x) {
        const std::int32_t faceTop = static_cast<std::int32_t>(std::floor(h * c - heightAt(x, h - 1) * s));
        for (std::int32_t row = std::max(0, faceTop); row < std::min<std::int32_t>(picture.height, static_cast<std::int32_t>(std::ceil(bottom))); ++row)
            std::copy(face.begin(), face.end(), picture.rgb.begin() + (static_cast<std::ptrdiff_t>(row) * picture.width + x) * 3);
        std::int32_t covered = std::clamp(faceTop, 0, picture.height); // rows from here down are drawn
        for (std::int32_t y = h - 1; y >= 0; --y) {
            const double top = y * c - heightAt(x, y) * s; // the cell's top edge on the picture
            const std::int32_t from = std::max(0, static_cast<std::int32_t>(std::floor(top)));
            if (from >= covered)
                continue;
            const auto colour = colourAt(x, y);
            for (std::int32_t row = from; row < covered; ++row)
                std::copy(colour.begin(), colour.end(),
                          picture.rgb.begin() + (static_cast<std::ptrdiff_t>(row) * picture.width + x) * 3);
            covered = from;
        }
    }
    return picture;
}

} // namespace zelmar
