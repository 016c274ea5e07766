#pragma once
// Where the labels of each scanned row wait for the final ids: a row of short runs in the label map, a cell a
// pixel; a row of long runs as its runs, a few where the map would take a cell a pixel, and written into the
// map once, with final ids.

#include "regions.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelmar::parsing {

struct RowPlace {
    std::size_t first = 0;   // its first run in its keeper's arrays
    std::uint32_t count = 0; // its runs; none: the row is in the map
    std::uint8_t keeper = 0;
    bool inMap() const { return count == 0; }
};

// Two threads scan into it, each its own rows and its own keeper: 0 the calling thread, 1 the second. It
// holds the map's cells, not the map, which may move while they are filled.
class RowLabels {
public:
    explicit RowLabels(LabelMap& map)
        : cells_(map.row(0)), width_(map.width()), height_(map.height()),
          places_(static_cast<std::size_t>(map.height()) + 1) {}

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    // Cells (0, y) .. (width, y) of the map.
    std::int32_t* mapRow(std::int32_t y) const {
        return cells_ + static_cast<std::size_t>(y) * (static_cast<std::size_t>(width_) + 1);
    }

    void putInMap(std::int32_t y) { places_[static_cast<std::size_t>(y)] = RowPlace{}; }
    // start and label hold count + 1 entries, the last the closing start and the frame's label.
    void keep(std::int32_t y, const std::int32_t* start, const std::int32_t* label, std::size_t count,
              std::uint8_t keeper) {
        Kept& kept = kept_[keeper];
        const std::size_t first = kept.start.size();
        kept.start.insert(kept.start.end(), start, start + count + 1);
        kept.label.insert(kept.label.end(), label, label + count + 1);
        places_[static_cast<std::size_t>(y)] = {first, static_cast<std::uint32_t>(count), keeper};
    }

    const RowPlace& place(std::int32_t y) const { return places_[static_cast<std::size_t>(y)]; }
    // Of a row kept as runs: run k covers starts[k] .. starts[k + 1] - 1.
    const std::int32_t* starts(const RowPlace& row) const {
        return kept_[row.keeper].start.data() + row.first;
    }
    const std::int32_t* labels(const RowPlace& row) const {
        return kept_[row.keeper].label.data() + row.first;
    }

private:
    struct Kept {
        std::vector<std::int32_t> start;
        std::vector<std::int32_t> label;
    };

    std::int32_t* cells_;
    std::int32_t width_;
    std::int32_t height_;
    std::vector<RowPlace> places_;
    std::array<Kept, 2> kept_;
};

} // namespace zelmar::parsing
