#pragma once
// The links between bordering regions, read off the rows' labels before the map holds final ids, and the
// region table.

#include "parse_scratch.h"
#include "region_ids.h"
#include "regions.h"
#include "row_labels.h"

#include <cstddef>
#include <cstdint>

namespace zelmar::parsing {

// Where a second thread reads the lower rows, it meets about half the pairs, a few more where they straddle.
inline std::size_t lowerRowPairs(std::size_t regions) {
    return regions / 2 + regions / 16;
}

// Links in raster order of the first boundary of each pair, the left region the parent. finalIds turns a
// label of the scan into its region's id. With splitRow (2 .. height), rows splitRow on are read on a second
// thread where one can be had; the links come out the same either way.
void linkRegions(RegionTables& tables, const RowLabels& rows, const std::int32_t* finalIds,
                 const RegionIds& ids, Scratch& scratch, std::int32_t splitRow);

} // namespace zelmar::parsing
