#include "region_links.h"

#include "pair_set.h"

#include <utility>

namespace zelmar::parsing {

// The links, from the final ids of the runs, and the region table. Each region but the root usually has one
// parent link, so the live region count is a good first size of the link table.
void linkRegions(RegionTables& tables, const std::vector<RowRuns>& rows, const std::int32_t* runLabel,
                 const std::int32_t* finalIds, const RegionIds& ids, Scratch& scratch) {
    const std::size_t liveRegions = ids.liveCount();
    PairSet known(liveRegions, scratch);
    std::vector<NestingLink> links = std::move(scratch.links);
    links.assign(1, NestingLink{});
    links.reserve(liveRegions + 1);
    for (std::size_t y = 1; y < rows.size(); ++y) {
        const RowRuns& row = rows[y];
        // A boundary between two runs of a row, left to right: the left region is the parent.
        std::int32_t previous = finalIds[runLabel[row.first]];
        for (std::size_t k = row.first + 1; k < row.first + row.count; ++k) {
            const std::int32_t id = finalIds[runLabel[k]];
            known.offer(previous, id);
            previous = id;
        }
        known.settle([&links](std::int32_t left, std::int32_t right) { links.push_back({right, left}); });
    }
    tables.regionTable = ids.table(std::move(scratch.regionTable));
    tables.linkCount = static_cast<std::int32_t>(links.size() - 1);
    links.resize(static_cast<std::size_t>(doubledSizeFor(tables.linkCount)) + 1);
    tables.linkTable = std::move(links);
}

} // namespace zelmar::parsing
