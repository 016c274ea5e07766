#pragma once
// The label map filled with final ids, on two threads: a row in the map turned from scan labels into final
// ids in place, a row kept as runs written from them.

#include "regions.h"
#include "row_labels.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace zelmar::parsing {

// Bands of rows that two threads take in turn: a second thread from when it starts, the calling thread once
// its tree (for a parse) is done. No thread waits for the other to begin.
class MapFill {
public:
    MapFill(RowLabels rows, const std::int32_t* finalIds, std::int32_t frameId);

    void takeBands();
    // No band is taken any more (the map is not wanted after all).
    void abandon() { nextBand_.store(bands(), std::memory_order_relaxed); }

private:
    static constexpr std::int32_t bandRows = 32;

    std::int32_t bands() const { return (rows_.height() + bandRows - 1) / bandRows; }
    void fillRows(std::int32_t first, std::int32_t last);

    RowLabels rows_;
    const std::int32_t* finalIds_;
    std::int32_t frameId_;
    std::atomic<std::int32_t> nextBand_{0};
};

// A fill under way: the second thread's part begun, the calling thread's taken by finish().
class PendingMapFill {
public:
    PendingMapFill() = default;
    PendingMapFill(const PendingMapFill&) = delete;
    PendingMapFill& operator=(const PendingMapFill&) = delete;
    ~PendingMapFill() { abandon(); }

    void start(std::unique_ptr<MapFill> fill, bool secondThread);
    void finish();
    // For the way out of an exception: the second thread ends after its band, and the map stays unfilled.
    void abandon();

private:
    // The calling thread fills the bands left, or leaves them; then the second thread ends.
    void end(bool fillRest);

    std::unique_ptr<MapFill> fill_;
    std::thread helper_;
};

} // namespace zelmar::parsing
