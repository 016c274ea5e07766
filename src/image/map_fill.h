#pragma once
// The label map's scan labels turned into final ids in place, on two threads.

#include "regions.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace zelmar::parsing {

// Bands of rows that two threads take in turn: a second thread from when it starts, the calling thread once
// its tree (for a parse) is done. No thread waits for the other to begin.
class MapFill {
public:
    MapFill(const std::int32_t* finalIds, LabelMap& map, std::int32_t frameId);

    void takeBands();
    // No band is taken any more (the map is not wanted after all).
    void abandon() { nextBand_.store(bands(), std::memory_order_relaxed); }

private:
    static constexpr std::int32_t bandRows = 32;

    std::int32_t bands() const { return (height_ + bandRows - 1) / bandRows; }
    void fillRows(std::int32_t first, std::int32_t last);

    const std::int32_t* finalIds_;
    std::int32_t* cells_;
    std::int32_t width_;
    std::int32_t height_;
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
