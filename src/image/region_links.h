#pragma once
// The links between bordering regions and the region table, from the runs' final ids.

#include "parse_scratch.h"
#include "region_ids.h"
#include "regions.h"
#include "row_runs.h"

#include <cstdint>
#include <vector>

namespace zelmar::parsing {

// Links in raster order of the first boundary of each pair, the left region the parent.
void linkRegions(RegionTables& tables, const std::vector<RowRuns>& rows, const std::int32_t* runLabel,
                 const std::int32_t* finalIds, const RegionIds& ids, Scratch& scratch);

} // namespace zelmar::parsing
