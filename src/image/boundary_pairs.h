#pragma once
// The pairs of labels that meet side by side in the rows of a scan, recorded as the rows are labelled, so
// that the links need not read the map again.

#include "large_array.h"
#include "system_memory.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace zelmar::parsing {

// The first room for the boundary pairs of rows of a width: about one is kept a new region, and noise makes
// one every dozen pixels.
inline std::size_t expectedBoundaryPairs(std::int32_t width, std::int32_t rows) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(std::max(rows, 0)) / 8 +
           static_cast<std::size_t>(width);
}

// The label pairs at the run boundaries of one scan's rows, in raster order, each as met (left label high,
// right low), less those whose two regions are sure to have met before: the first meeting of every pair of
// regions is kept, and the links come out of these once every label has its final id. What is kept is about
// one pair a new region.
//
// Whether a run reaches an upper run of its own class tells it, whatever sets are joined later:
// - Both runs do: the two upper runs are neighbours (the one over the left run's last pixel or its left
//   neighbour, and the next), and their boundary in the row above met the same two regions.
// - Only the right run does: the left one is new, and everything above it is of the other class, one upper
//   run from over the end of the run before it to over the start of the right run. That upper run joins the
//   run before and the right run in one region, so the boundary before met the same two regions.
// - The right run does not: it is new, and this is its first boundary. Kept, as is the first boundary of a
//   row, whose left run may be the frame's.
class BoundaryPairs {
public:
    BoundaryPairs() = default;
    // room: about as many pairs as are expected at most; more still fit, at the cost of a copy.
    explicit BoundaryPairs(std::size_t room)
        : pairs_(room), ahead_(pairs_.data(), room * sizeof(std::uint64_t)) {}

    // Labels label[0] .. label[count - 1] of one row's runs, left to right, and whether each run reaches an
    // upper run of its class.
    void offerRow(const std::int32_t* label, const bool* reachesUp, std::size_t count) {
        if (count < 2)
            return;
        if (pairs_.size() - size_ < count)
            grow(count);
        std::uint64_t* out = pairs_.data() + size_;
        ahead_.follow(out + count);
        // Every pair is written, and counted only when kept: no branch to mispredict on noise.
        out[0] = pairOf(label[0], label[1]);
        std::size_t n = reachesUp[0] & reachesUp[1] ? 0 : 1;
        for (std::size_t k = 2; k < count; ++k) {
            out[n] = pairOf(label[k - 1], label[k]);
            n += reachesUp[k] ? 0 : 1;
        }
        size_ += n;
    }

    std::size_t size() const { return size_; }
    const std::uint64_t* data() const { return pairs_.data(); }
    // All given up: the rows are offered again elsewhere.
    void clear() { size_ = 0; }

    static std::uint64_t pairOf(std::int32_t left, std::int32_t right) {
        return std::uint64_t(std::uint32_t(left)) << 32 | std::uint32_t(right);
    }
    static std::int32_t leftOf(std::uint64_t pair) { return static_cast<std::int32_t>(pair >> 32); }
    static std::int32_t rightOf(std::uint64_t pair) { return static_cast<std::int32_t>(pair & 0xffffffffu); }

private:
    void grow(std::size_t atLeast) {
        LargeArray<std::uint64_t> bigger(std::max(pairs_.size() * 2, size_ + atLeast));
        std::copy_n(pairs_.data(), size_, bigger.data());
        pairs_ = std::move(bigger);
        ahead_ = PagesAhead(pairs_.data() + size_, (pairs_.size() - size_) * sizeof(std::uint64_t));
    }

    LargeArray<std::uint64_t> pairs_;
    std::size_t size_ = 0;
    PagesAhead ahead_;
};

} // namespace zelmar::parsing
