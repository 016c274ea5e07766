#pragma once
// Union-find over the labels of runs: the sets of runs that form one region.

#include "parse_scratch.h"
#include "system_memory.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

namespace zelmar::parsing {

// Sets of runs that form one region, each set carrying the public id it has at this point of the scan. The
// labels of a scan shared with a second thread leave a gap: the second thread's labels start where the
// calling thread's can no longer reach.
//
// One array holds both: a label's entry is its parent's label, or for a root, its public id coded below 0
// (-1 - id). A union-find with the ids beside it touched twice the memory, and joins looked in both.
class RegionSets {
public:
    RegionSets(std::size_t capacity, Scratch& scratch)
        : parent_(atLeast(scratch.parent, capacity)),
          ahead_(parent_.data(), capacity * sizeof(std::int32_t)) {}

    std::int32_t add(std::int32_t publicId) {
        const auto label = static_cast<std::int32_t>(size_++);
        ahead_.follow(parent_.data() + label);
        parent_[static_cast<std::size_t>(label)] = rootCode(publicId);
        return label;
    }

    std::int32_t find(std::int32_t label) {
        while (parent_[static_cast<std::size_t>(label)] >= 0) {
            auto& up = parent_[static_cast<std::size_t>(label)];
            const std::int32_t above = parent_[static_cast<std::size_t>(up)];
            if (above >= 0)
                up = above; // path halving
            label = up;
        }
        return label;
    }

    std::int32_t publicIdOfRoot(std::int32_t root) const { return idOfCode(entry(root)); }
    void setPublicId(std::int32_t root, std::int32_t publicId) {
        parent_[static_cast<std::size_t>(root)] = rootCode(publicId);
    }

    // The set of keptRoot survives with its id; the other set joins it. Returns the root of the joined set:
    // the older label, whose trees tend to be the bigger, so paths stay short.
    std::int32_t join(std::int32_t removedRoot, std::int32_t keptRoot) {
        const std::int32_t root = std::min(removedRoot, keptRoot);
        const std::int32_t child = std::max(removedRoot, keptRoot);
        const std::int32_t kept = entry(keptRoot);
        parent_[static_cast<std::size_t>(child)] = root;
        parent_[static_cast<std::size_t>(root)] = kept;
        return root;
    }

    // Labels begin .. end - 1 become sets of their own, with no id yet; later labels follow them.
    void openRange(std::int32_t begin, std::int32_t end) {
        gapBegin_ = size_;
        gapEnd_ = static_cast<std::size_t>(begin);
        std::fill(parent_.data() + begin, parent_.data() + end, rootCode(0));
        size_ = static_cast<std::size_t>(end);
    }
    // A label of no id of its own that stands for a set already there: joined to it with no event.
    void attach(std::int32_t label, std::int32_t root) { parent_[static_cast<std::size_t>(label)] = root; }

    // Ends the scan: every set's final public id, kept where the parents were (no second array of that size).
    // A parent is never a later label than its child (a join hangs the later root under the earlier, and
    // halving only shortens paths), so in label order a parent's entry already holds its final id: one pass,
    // no search.
    void settleFinalIds() {
        for (const auto& [from, to] : ranges())
            for (std::size_t label = from; label < to; ++label) {
                const std::int32_t up = parent_[label];
                parent_[label] = up < 0 ? idOfCode(up) : parent_[static_cast<std::size_t>(up)];
            }
    }
    std::int32_t finalId(std::int32_t label) const { return entry(label); }
    // The final public ids by label, once settled.
    const std::int32_t* finalIds() const { return parent_.data(); }

private:
    static std::int32_t rootCode(std::int32_t publicId) { return -1 - publicId; }
    static std::int32_t idOfCode(std::int32_t code) { return -1 - code; }
    std::int32_t entry(std::int32_t label) const { return parent_[static_cast<std::size_t>(label)]; }

    std::array<std::pair<std::size_t, std::size_t>, 2> ranges() const {
        return {{{0, std::min(gapBegin_, size_)}, {gapEnd_, size_}}};
    }

    LargeArray<std::int32_t>& parent_;
    PagesAhead ahead_;
    std::size_t size_ = 0;
    std::size_t gapBegin_ = std::numeric_limits<std::size_t>::max(); // no gap: the second range is empty
    std::size_t gapEnd_ = std::numeric_limits<std::size_t>::max();
};

} // namespace zelmar::parsing
