#pragma once
// A labelling shared with a second thread: it scans the lower rows on their own, with labels of its own and a
// record of every event that gives or frees an id; the calling thread plays the record back in raster order,
// so ids, tables and tree come out exactly as from one thread.

#include "boundary_pairs.h"
#include "helper_threads.h"
#include "id_scan.h"
#include "large_array.h"
#include "row_scan.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zelmar::parsing {

// The first row of a second thread's share of the scan, or 0 for none.
std::int32_t secondShareRow(const PixelGeometry& g, const ParseThreads& threads);

// What the second thread leaves for the calling thread.
struct SecondShare {
    std::int32_t firstRow = 0; // the first row of its share
    std::int32_t firstLabel =
        0; // its first label: the frame's stand-in, then one for each run of the row above
    std::int32_t labelsEnd = 0;
    std::int32_t rowsDone = 0;
    LabelledRow lastRow; // the last row it labelled, once it has done one
    std::size_t logged = 0;
    std::vector<std::pair<std::size_t, std::int32_t>> progressMarks;
    std::int64_t netRegions = 0;
};

class SplitScan {
public:
    // Starts the second thread on the lower rows when the picture is big enough and a thread can be had. Its
    // labels start where those of the rows above can no longer reach: every row before holds at most width
    // runs, and a set each run; parent has room for them all. It puts its rows' labels in out as keeper 1.
    SplitScan(const PixelGeometry& g, const std::uint8_t* bytes, RowLabels& out, std::int32_t* parent,
              const ParseThreads& threads);
    SplitScan(const SplitScan&) = delete;
    SplitScan& operator=(const SplitScan&) = delete;

    bool active() const { return share_.firstRow > 0; }
    // The last row the calling thread scans before the playback.
    std::int32_t lastOwnRow(std::int32_t height) const { return active() ? share_.firstRow - 1 : height; }

    // Waits for the second thread's rows when a number of them was set, otherwise stops it after its current
    // row (or takes its share back when it has not begun).
    void end();
    // About how many regions the picture will have live at the end: the live count so far, scaled by rows.
    std::size_t foreseenRegions(std::size_t liveAbove, std::int32_t height, std::size_t mostRegions) const;
    // The second thread's events, played back as they would have happened in one scan; its record is then let
    // go of, before the links and the tree take their memory. ownLast is the calling thread's last row, the
    // one above the second thread's share.
    void playBack(RegionSets& sets, RegionIds& ids, IdScan& idScan, const LabelledRow& ownLast,
                  std::int32_t frame);
    // Scans the rows the second thread did not get to, their pairs offered to the calling thread's own.
    void scanRest(const PixelGeometry& g, const std::uint8_t* bytes, LabelledRow& ownLast, RowLabels& out,
                  std::int32_t frame, IdScan& idScan, BoundaryPairs& ownPairs);
    // The pairs of the rows the second thread scanned, once it has ended.
    const BoundaryPairs& pairs() const { return pairs_; }

private:
    SecondShare share_;
    LargeArray<std::uint64_t> log_;
    BoundaryPairs pairs_;
    bool waitForAll_ = false;
    ShareThread thread_; // last: it ends before what it writes to goes
};

} // namespace zelmar::parsing
