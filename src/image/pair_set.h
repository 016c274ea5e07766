#pragma once
// The set of id pairs already linked, built in raster order of the boundaries.

#include "parse_scratch.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zelmar::parsing {

// Open addressing over unordered id pairs: the links already recorded. Most boundaries repeat a pair met a
// row or two before, and a small direct-mapped table of recent pairs answers those from the cache. The rest
// are queued for the row with their slot prefetched, so their misses in the big table overlap instead of
// stalling one by one, and are settled in order at the end of the row.
class PairSet {
public:
    static constexpr std::uint64_t empty = 0; // ids are at least 1, so no real key is 0

    // Filled to three quarters at most: a probe rarely leaves the cache line of its slot, and the table is
    // half the size (and the misses half as many) of one kept half empty.
    static std::size_t slotsFor(std::size_t expectedPairs) {
        return std::bit_ceil(std::max<std::size_t>(expectedPairs + expectedPairs / 3 + 2, 1024));
    }

    // expectedPairs sizes the table once; more pairs than that still fit, at the cost of a rehash.
    PairSet(std::size_t expectedPairs, PairSlots& scratch) : scratch_(scratch), recent_(recentSize, empty) {
        const std::size_t slots = slotsFor(expectedPairs);
        if (scratch.emptyAhead < slots)
            std::fill_n(atLeast(scratch.slots, slots).data(), slots, empty);
        scratch.emptyAhead = 0; // from here on they are written
        slots_ = scratch.slots.data();
        slotCount_ = slots;
        shift_ = 64 - std::countr_zero(slots);
    }

    // Queues the pair (left, right) unless it is certainly known already. Kept inline: called once a
    // boundary.
    [[gnu::always_inline]] void offer(std::int32_t left, std::int32_t right) {
        const std::uint64_t key = keyOf(left, right);
        const std::uint64_t hash = key * 0x9E3779B97F4A7C15ull;
        std::uint64_t& cached = recent_[static_cast<std::size_t>(hash >> (64 - recentBits))];
        if (cached == key)
            return;
        cached = key;
        __builtin_prefetch(slots_ + static_cast<std::size_t>(hash >> shift_));
        queue_.push_back({left, right});
    }

    // Settles the queued pairs in the order offered; each one not known before is handed to newPair.
    template <typename NewPair> void settle(NewPair&& newPair) {
        for (const auto& [left, right] : queue_)
            if (insert(keyOf(left, right)))
                newPair(left, right);
        queue_.clear();
    }

private:
    static constexpr int recentBits = 14;
    static constexpr std::size_t recentSize = std::size_t{1} << recentBits;

    static std::uint64_t keyOf(std::int32_t a, std::int32_t b) {
        // Without a branch: which id is the smaller is a coin toss in noise. Ids are positive, so b - a
        // cannot overflow.
        const std::int32_t below = (b - a) & ((b - a) >> 31); // b - a when b is the smaller, else 0
        return std::uint64_t(std::uint32_t(a + below)) << 32 | std::uint32_t(b - below);
    }

    // The top bits of a Fibonacci product: both ids of the pair reach them.
    std::size_t slotOf(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    bool insert(std::uint64_t key) {
        if ((count_ + 1) * 4 > slotCount_ * 3)
            grow();
        std::size_t i = slotOf(key);
        while (slots_[i] != empty) {
            if (slots_[i] == key)
                return false;
            i = (i + 1) & (slotCount_ - 1);
        }
        slots_[i] = key;
        ++count_;
        return true;
    }

    void grow() {
        LargeArray<std::uint64_t> bigger(slotCount_ * 2, empty);
        const std::uint64_t* old = slots_;
        const std::size_t oldCount = slotCount_;
        slots_ = bigger.data();
        slotCount_ = bigger.size();
        shift_ = 64 - std::countr_zero(slotCount_);
        for (std::size_t k = 0; k < oldCount; ++k) {
            const std::uint64_t key = old[k];
            if (key == empty)
                continue;
            std::size_t i = slotOf(key);
            while (slots_[i] != empty)
                i = (i + 1) & (slotCount_ - 1);
            slots_[i] = key;
        }
        scratch_.slots = std::move(bigger);
    }

    PairSlots& scratch_;
    std::vector<std::uint64_t> recent_;
    std::uint64_t* slots_ = nullptr;
    std::size_t slotCount_ = 0;
    int shift_ = 64;
    std::size_t count_ = 0;
    std::vector<std::pair<std::int32_t, std::int32_t>> queue_;
};

} // namespace zelmar::parsing
