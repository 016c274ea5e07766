#include "map_fill.h"

#include "system_memory.h"

#include <algorithm>
#include <system_error>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelmar::parsing {
namespace {

// cells[from .. to) set to value, four at a time where the processor allows: a row of long runs is nearly all
// such fills, and the compiler leaves a fill of unknown length one cell a step.
void fillCells(std::int32_t* from, std::int32_t* to, std::int32_t value) {
#if defined(__SSE2__)
    const __m128i v = _mm_set1_epi32(value);
    for (; to - from >= 4; from += 4)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(from), v);
#endif
    for (; from < to; ++from)
        *from = value;
}

} // namespace

MapFill::MapFill(RowLabels rows, const std::int32_t* finalIds, std::int32_t frameId)
    : rows_(std::move(rows)), finalIds_(finalIds), frameId_(frameId) {
    std::fill_n(rows_.mapRow(0), rows_.width() + 1, frameId_);
}

void MapFill::takeBands() {
    for (std::int32_t band; (band = nextBand_.fetch_add(1, std::memory_order_relaxed)) < bands();)
        fillRows(band * bandRows + 1, std::min(rows_.height(), (band + 1) * bandRows));
}

void MapFill::fillRows(std::int32_t first, std::int32_t last) {
    const std::int32_t w = rows_.width();
    // A row kept as runs has not been written since the map was made: the band is paged in at once rather
    // than a fault a page.
    for (std::int32_t y = first; y <= last; ++y)
        if (!rows_.place(y).inMap()) {
            pageInForWriting(rows_.mapRow(y), static_cast<std::size_t>(last + 1 - y) *
                                                  (static_cast<std::size_t>(w) + 1) * sizeof(std::int32_t));
            break;
        }
    for (std::int32_t y = first; y <= last; ++y) {
        std::int32_t* cells = rows_.mapRow(y);
        const RowPlace& place = rows_.place(y);
        if (place.inMap()) {
            for (std::int32_t x = 0; x <= w; ++x)
                cells[x] = finalIds_[cells[x]];
            continue;
        }
        const std::int32_t* start = rows_.starts(place);
        const std::int32_t* label = rows_.labels(place);
        cells[0] = frameId_;
        for (std::size_t k = 0; k < place.count; ++k)
            fillCells(cells + start[k], cells + start[k + 1], finalIds_[label[k]]);
    }
}

void PendingMapFill::start(std::unique_ptr<MapFill> fill, bool secondThread) {
    fill_ = std::move(fill);
    if (!secondThread)
        return;
    try {
        helper_ = std::thread([fill = fill_.get()] { fill->takeBands(); });
    } catch (const std::system_error&) {
        // no thread to be had: finish() fills it all
    }
}

void PendingMapFill::finish() {
    end(true);
}

void PendingMapFill::abandon() {
    end(false);
}

void PendingMapFill::end(bool fillRest) {
    if (!fill_)
        return;
    if (fillRest)
        fill_->takeBands();
    else
        fill_->abandon();
    if (helper_.joinable())
        helper_.join();
    fill_.reset();
}

} // namespace zelmar::parsing
