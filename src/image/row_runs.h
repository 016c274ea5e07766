#pragma once
// A row of pixels split into runs of one class (light or dark), and the fill of a run's cells.

#include "pixel_geometry.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace zelmar::parsing {

// A row's runs of one class: run k covers start[k] .. start[k + 1] - 1, classes alternate along the row.
// After the last run comes a start of width + 1, so the end of every run is found the same way.
struct RowRuns {
    std::size_t count = 0;
    bool firstIsLight = false;
};

inline bool runIsLight(const RowRuns& row, std::size_t k) {
    return row.firstIsLight != ((k & 1) != 0);
}

// Writes the starts of the runs of one image row from out[0] on, and with columns, the row's run that holds
// column x at runAt[x]; returns how many runs, and whether the first run is light. out has room for a run at
// every pixel and the closing start.
template <bool columns>
std::size_t rowRuns(const std::uint8_t* row, std::int32_t width, std::int32_t bytesPerPixel,
                    std::int32_t* out, std::int32_t* runAt, bool& firstIsLight) {
    bool previous = isLightByte(row[0]);
    firstIsLight = previous;
    out[0] = 1;
    if constexpr (columns)
        runAt[1] = 0;
    std::size_t n = 1;
    const std::uint8_t* p = row + bytesPerPixel;
    for (std::int32_t x = 2; x <= width; ++x, p += bytesPerPixel) {
        const bool light = isLightByte(*p);
        out[n] = x; // written always, kept only where the class changes: no branch to mispredict on noise
        n += light != previous ? 1 : 0;
        if constexpr (columns)
            runAt[x] = static_cast<std::int32_t>(n - 1);
        previous = light;
    }
    return n;
}

// rowRuns without columns, for rows of long runs: 64 pixels classed at a time, and a start written only where
// the class changes.
std::size_t longRowRuns(const std::uint8_t* row, std::int32_t width, std::int32_t bytesPerPixel,
                        std::int32_t* out, bool& firstIsLight);

// Entries a .. b of a row's table by column set to id. Short runs, the rule in noise, are written as one
// block of eight that may spill past b; a run of any length then costs no mispredicted branch. Spilled
// entries belong to later runs of the row, written after this one; cells[room] is the first entry that may
// not be written.
inline void fillRun(std::int32_t* cells, std::int32_t a, std::int32_t b, std::int32_t id, std::int64_t room) {
    constexpr std::int32_t block = 8;
    if (b - a < block && a + block <= room) {
        for (std::int32_t i = 0; i < block; ++i)
            cells[a + i] = id;
        return;
    }
    std::fill(cells + a, cells + b + 1, id);
}

} // namespace zelmar::parsing
