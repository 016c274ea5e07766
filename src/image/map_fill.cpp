#include "map_fill.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace zelmar::parsing {

MapFill::MapFill(const std::int32_t* finalIds, LabelMap& map, std::int32_t frameId)
    : finalIds_(finalIds), cells_(map.row(0)), width_(map.width()), height_(map.height()), frameId_(frameId) {
    std::fill_n(cells_, width_ + 1, frameId_);
}

void MapFill::takeBands() {
    for (std::int32_t band; (band = nextBand_.fetch_add(1, std::memory_order_relaxed)) < bands();)
        fillRows(band * bandRows + 1, std::min(height_, (band + 1) * bandRows));
}

void MapFill::fillRows(std::int32_t first, std::int32_t last) {
    const auto rowCells = static_cast<std::size_t>(width_) + 1;
    std::int32_t* cells = cells_ + static_cast<std::size_t>(first) * rowCells;
    const std::int32_t* end = cells_ + static_cast<std::size_t>(last + 1) * rowCells;
    for (; cells != end; ++cells)
        *cells = finalIds_[*cells];
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
