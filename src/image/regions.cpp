#include "regions.h"

#include "helper_threads.h"
#include "id_scan.h"
#include "map_fill.h"
#include "parse_scratch.h"
#include "region_ids.h"
#include "region_links.h"
#include "region_sets.h"
#include "row_scan.h"
#include "split_scan.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <utility>
#include <vector>

namespace zelmar {

LabelMap::LabelMap(std::int32_t width, std::int32_t height) : LabelMap(forOverwrite(width, height)) {
    std::fill_n(cells_.data(), cells_.size(), 0);
}

LabelMap LabelMap::forOverwrite(std::int32_t width, std::int32_t height) {
    LabelMap map;
    map.width_ = width;
    map.height_ = height;
    map.cells_ =
        LargeArray<std::int32_t>(static_cast<std::size_t>(width + 1) * static_cast<std::size_t>(height + 1));
    return map;
}

bool LabelMap::operator==(const LabelMap& other) const {
    return width_ == other.width_ && height_ == other.height_ && cells_.size() == other.cells_.size() &&
           std::equal(cells_.data(), cells_.data() + cells_.size(), other.cells_.data());
}

std::int32_t RegionTables::usableLinkCount() const {
    return std::min(linkCount, linkTableSize());
}

std::int32_t RegionTree::nodeOfRegion(std::int32_t regionId) const {
    if (regionId < 0 || static_cast<std::size_t>(regionId) >= nodeByRegion.size())
        return -1;
    return nodeByRegion[static_cast<std::size_t>(regionId)];
}

std::string nodeKey(std::int32_t regionId) {
    // Appended rather than "P" + ...: GCC 12 at -O3 warns falsely (-Wrestrict) about the inlined insert.
    std::string key = "P";
    key += std::to_string(regionId);
    return key;
}

std::optional<std::int32_t> regionIdOfKey(std::string_view key) {
    if (key.size() < 2)
        return std::nullopt;
    const std::string_view digits = key.substr(1);
    std::int32_t id = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return id;
}

ParseScratch::ParseScratch() : arrays_(std::make_unique<Arrays>()) {}
ParseScratch::~ParseScratch() = default;
ParseScratch::ParseScratch(const ParseScratch&) : ParseScratch() {}
ParseScratch& ParseScratch::operator=(const ParseScratch&) {
    return *this;
}

namespace {

using namespace parsing;

// Labelling and links; the label map is left to turn into final ids, begun on a second thread where the
// picture is big.
RegionTables labelAndLink(const PixelGeometry& g, const std::uint8_t* bytes, const ProgressCallback& progress,
                          const ParseThreads& threads, PendingMapFill& mapFill, Scratch& scratch) {
    RegionTables tables;
    tables.regionTable.assign(initialTableSize + 1, RegionRecord{});
    tables.linkTable.assign(initialTableSize + 1, NestingLink{});
    if (g.width <= 0 || g.height <= 0 || g.bytesPerPixel <= 0 || bytes == nullptr)
        return tables;

    // Room for the worst case, a run at every pixel; only what is written is ever touched. Labels: never more
    // than runs, and a stand-in for each run of one row and the frame.
    const std::int32_t w = g.width;
    const std::size_t maxRuns = (static_cast<std::size_t>(w) + 1) * static_cast<std::size_t>(g.height) + 2;
    RegionIds ids(maxRuns);
    RegionSets sets(maxRuns + static_cast<std::size_t>(w) + 2, scratch);
    const std::int32_t frame = sets.add(ids.take(true)); // the frame region, id 1, light
    tables.labelMap = LabelMap::forOverwrite(w, g.height);
    RowLabels rowLabels(tables.labelMap);
    LabelledRow above = LabelledRow::frameRow(w, frame);
    IdScan idScan{sets, ids, progress, g.height};

    // 1. The lower rows begun on a second thread, the upper ones scanned here.
    SplitScan split(g, bytes, rowLabels, scratch.parent.data(), threads);
    ShareThread warm;
    const std::int32_t ownRows = split.lastOwnRow(g.height);
    BoundaryPairs ownPairs(expectedBoundaryPairs(w, ownRows));
    scanRows(g, bytes, 1, ownRows, above, rowLabels, 0, frame, idScan, ownPairs);
    const std::size_t ownRestFrom = ownPairs.size();
    if (split.active()) {
        // 2. The memory of the last stages paged in on the other core while the second thread's record is
        //    played back here; then the rows it did not get to.
        split.end();
        const std::size_t regions = split.foreseenRegions(ids.liveCount(), g.height, maxRuns);
        warm.start([&scratch, regions](const std::atomic<bool>& stop) { warmUp(scratch, regions, stop); });
        split.playBack(sets, ids, idScan, above, frame);
        split.scanRest(g, bytes, above, rowLabels, frame, idScan, ownPairs);
    }

    // 3. The final public id of every set, by label.
    sets.settleFinalIds();
    warm.end(false); // what it has not paged in by now is paged in where it is used

    // 4. The links and the region table, the second thread's pairs read on the other core; then the map's
    //    labels turned into final ids, begun on the other core.
    const bool big = std::int64_t{w} * g.height >= threads.fromPixels;
    linkRegions(tables, {ownPairs, ownRestFrom, split.active() ? &split.pairs() : nullptr}, sets.finalIds(),
                ids, scratch, big);
    mapFill.start(std::make_unique<MapFill>(std::move(rowLabels), sets.finalIds(), sets.finalId(frame)), big);
    if (progress)
        progress(1.0);
    return tables;
}

} // namespace

RegionTables labelRegions(const PixelGeometry& g, const std::uint8_t* bytes, const ProgressCallback& progress,
                          const ParseThreads& threads, ParseScratch* scratch) {
    ParseScratch own;
    parsing::PendingMapFill mapFill;
    RegionTables tables =
        labelAndLink(g, bytes, progress, threads, mapFill, (scratch ? *scratch : own).arrays());
    mapFill.finish();
    return tables;
}

RegionAnalysis parseRegions(const PixelGeometry& geometry, const std::uint8_t* bytes,
                            const ProgressCallback& progress, const ParseThreads& threads,
                            ParseScratch* scratch) {
    ParseScratch own;
    ParseScratch& used = scratch ? *scratch : own;
    RegionAnalysis analysis;
    parsing::PendingMapFill mapFill;
    analysis.tables = labelAndLink(geometry, bytes, progress, threads, mapFill, used.arrays());
    // The tree needs no label map: it is built while the map is turned into final ids.
    analysis.tree = buildRegionTree(analysis.tables, &used);
    mapFill.finish();
    return analysis;
}

void highlightRegion(PixelBuffer& buffer, const LabelMap& labelMap, std::int32_t regionId) {
    const PixelGeometry& g = buffer.geometry();
    const std::int32_t width = std::min(g.width, labelMap.width());
    const std::int32_t height = std::min(g.height, labelMap.height());
    const std::int64_t size = buffer.size();
    for (std::int32_t y = 1; y <= height; ++y) {
        const std::int32_t* cells = labelMap.row(y);
        for (std::int32_t x = 1; x <= width; ++x) {
            if (cells[x] != regionId)
                continue;
            const std::int64_t i = g.indexOf(x, y);
            // With fewer than three bytes a pixel, the colour runs on into the next pixels; it never runs
            // past the end of the buffer.
            const std::uint8_t colour[3] = {0, 255, 0};
            for (int b = 0; b < 3; ++b) {
                if (i + b > size)
                    return;
                buffer.at(i + b) = colour[b];
            }
        }
    }
}

} // namespace zelmar
