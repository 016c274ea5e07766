#include "map_fill.h"

#include "system_memory.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace zelmar::parsing {

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
            std::fill(cells + start[k], cells + start[k + 1], finalIds_[label[k]]);
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
