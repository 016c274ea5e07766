#pragma once
// Public region ids as the labelling hands them out.

#include "free_ids.h"
#include "parse_scratch.h"
#include "regions.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelmar::parsing {

// Always the lowest free id for a new region; a merge frees one.
class RegionIds {
public:
    explicit RegionIds(std::size_t mostIds) {
        isLight_.reserve(mostIds + 1);
        state_.reserve(mostIds + 1);
        isLight_.push_back(0);
        state_.push_back(regionFree);
    }

    std::int32_t take(bool isLight) {
        std::int32_t id;
        if (!freed_.empty()) {
            id = freed_.lowest();
            freed_.erase(id);
        } else {
            id = ++highest_;
            isLight_.push_back(0);
            state_.push_back(regionFree);
        }
        isLight_[static_cast<std::size_t>(id)] = isLight ? 1 : 0;
        state_[static_cast<std::size_t>(id)] = regionLive;
        ++live_;
        return id;
    }

    // The record keeps its class; only its slot is given up.
    void release(std::int32_t id) {
        state_[static_cast<std::size_t>(id)] = regionFree;
        freed_.insert(id);
        --live_;
    }

    // A region that joins an upper one as soon as it is made: take(isLight) and release of that id at once,
    // whose only trace is the class left on the slot.
    void takeAndRelease(bool isLight) {
        std::int32_t id;
        if (!freed_.empty()) {
            id = freed_.lowest();
        } else {
            id = ++highest_;
            isLight_.push_back(0);
            state_.push_back(regionFree);
            freed_.insert(id);
        }
        isLight_[static_cast<std::size_t>(id)] = isLight ? 1 : 0;
    }

    std::int32_t highest() const { return highest_; }
    std::size_t liveCount() const { return live_; }

    // The region table, written into records (whose room is kept).
    std::vector<RegionRecord> table(std::vector<RegionRecord> records) const {
        records.assign(static_cast<std::size_t>(doubledSizeFor(highest_)) + 1, RegionRecord{});
        for (std::int32_t id = 1; id <= highest_; ++id) {
            records[static_cast<std::size_t>(id)].isLight = isLight_[static_cast<std::size_t>(id)] != 0;
            records[static_cast<std::size_t>(id)].state = state_[static_cast<std::size_t>(id)];
        }
        return records;
    }

private:
    FreeIds freed_;
    std::int32_t highest_ = 0;
    std::size_t live_ = 0;
    // By id; element 0 unused. Room for every id a picture can have is set aside at once: growing by copies
    // would touch the memory over again, and what is never written costs nothing.
    std::vector<std::uint8_t> isLight_;
    std::vector<std::uint8_t> state_; // a parse's states (free or live) fit a byte
};

} // namespace zelmar::parsing
