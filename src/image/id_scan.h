#pragma once
// The calling thread's bookkeeping of a scan: public ids handed out and freed as it goes.

#include "region_ids.h"
#include "region_sets.h"
#include "regions.h"

#include <cstdint>

namespace zelmar::parsing {

// The scan of the calling thread: public ids as it goes.
struct IdScan {
    RegionSets& sets;
    RegionIds& ids;
    const ProgressCallback& progress;
    std::int32_t height;

    std::int32_t find(std::int32_t label) { return sets.find(label); }
    std::int32_t created(bool light) { return sets.add(ids.take(light)); }
    void swallowedAtBirth(bool light) { ids.takeAndRelease(light); }
    std::int32_t join(std::int32_t mine, std::int32_t upper) {
        ids.release(sets.publicIdOfRoot(mine));
        return sets.join(mine, upper);
    }
    bool goOn(std::int32_t) const { return true; }
    void rowDone(std::int32_t y) const {
        if (progress && (y & 255) == 0)
            progress(static_cast<double>(y) / height);
    }
};

} // namespace zelmar::parsing
