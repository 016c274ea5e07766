#pragma once
// The links between bordering regions, read off the pairs of labels met in the scan once every label has its
// final id, and the region table.

#include "boundary_pairs.h"
#include "parse_scratch.h"
#include "region_ids.h"
#include "regions.h"

#include <cstddef>
#include <cstdint>

namespace zelmar::parsing {

// Where a second thread reads the lower rows' pairs, it meets about half the links, a few more where they
// straddle.
inline std::size_t lowerRowPairs(std::size_t regions) {
    return regions / 2 + regions / 16;
}

// The pairs of a scan in raster order: the calling thread's pairs up to ownRestFrom (its upper rows), then
// the second thread's (null: none), then the rest of the calling thread's (the rows after the second
// thread's).
struct ScannedPairs {
    const BoundaryPairs& own;
    std::size_t ownRestFrom = 0;
    const BoundaryPairs* second = nullptr;
};

// Links in raster order of the first boundary of each pair, the left region the parent. finalIds turns a
// label of the scan into its region's id. With secondThread, the second thread's pairs are read on a
// second thread where one can be had; the links come out the same either way.
void linkRegions(RegionTables& tables, const ScannedPairs& pairs, const std::int32_t* finalIds,
                 const RegionIds& ids, Scratch& scratch, bool secondThread);

} // namespace zelmar::parsing
