#include "split_scan.h"

#include "system_memory.h"

#include <algorithm>
#include <atomic>
#include <limits>

namespace zelmar::parsing {
namespace {

// A record of the second thread's scan, one 64-bit word an event, in raster order. A join holds the two
// labels (each below 2^31; the top bit clear); a new region or one swallowed at birth sets the top bit,
// with its class and, for a new region, its label.
namespace event {
constexpr std::uint64_t single = std::uint64_t{1} << 63;
constexpr std::uint64_t swallowed = std::uint64_t{1} << 33;
constexpr std::uint64_t light = std::uint64_t{1} << 32;
} // namespace event

// The scan of the second thread over the lower rows: sets of its own labels, no ids, every event that
// gives or frees an id recorded. A join is recorded only when the two sets are apart in its own scan: two
// sets it has joined already are joined in the whole picture too, where that join frees nothing.
struct LoggedScan {
    std::int32_t* parent;
    std::int32_t next; // the next new label
    std::uint64_t* log;
    std::size_t logged = 0;
    const std::atomic<bool>& stop;
    std::int32_t rowsLeft;                                           // -1: no limit
    std::vector<std::pair<std::size_t, std::int32_t>> progressMarks; // events logged when row y was done
    std::int64_t netRegions = 0; // new regions less joins: about what its rows add to the live count
    PagesAhead parentAhead;
    PagesAhead logAhead;

    std::int32_t find(std::int32_t label) {
        while (parent[label] != label) {
            parent[label] = parent[parent[label]];
            label = parent[label];
        }
        return label;
    }
    std::int32_t created(bool light) {
        const std::int32_t label = next++;
        parent[label] = label;
        log[logged++] = event::single | (light ? event::light : 0) | static_cast<std::uint32_t>(label);
        ++netRegions;
        return label;
    }
    void swallowedAtBirth(bool light) {
        log[logged++] = event::single | event::swallowed | (light ? event::light : 0);
    }
    std::int32_t join(std::int32_t mine, std::int32_t upper) {
        log[logged++] = std::uint64_t(std::uint32_t(mine)) << 32 | std::uint32_t(upper);
        --netRegions;
        const std::int32_t root = std::min(mine, upper);
        parent[std::max(mine, upper)] = root;
        return root;
    }
    bool goOn(std::int32_t) const {
        return rowsLeft > 0 || (rowsLeft < 0 && !stop.load(std::memory_order_relaxed));
    }
    void rowDone(std::int32_t y) {
        parentAhead.follow(parent + next);
        logAhead.follow(log + logged);
        if (rowsLeft > 0)
            --rowsLeft;
        if ((y & 255) == 0)
            progressMarks.emplace_back(logged, y);
    }
};

// The second thread's work: rows share.firstRow on, as many as it gets done before stop, in labels from
// share.firstLabel on. The row above its share is split into runs again here, so it never reads what the
// calling thread writes.
void scanSecondShare(const PixelGeometry& g, const std::uint8_t* bytes, RowLabels& out, std::int32_t* parent,
                     LargeArray<std::uint64_t>& log, const std::atomic<bool>& stop, std::int32_t rowLimit,
                     SecondShare& share, BoundaryPairs& pairs) noexcept {
    try {
        const std::int32_t w = g.width;
        LabelledRow seam(w);
        RowRuns& runs = seam.runs;
        runs.count = rowRuns<true>(bytes + std::int64_t{share.firstRow - 2} * g.stride, w, g.bytesPerPixel,
                                   seam.start.data(), seam.runAt.data(), runs.firstIsLight);
        seam.start[runs.count] = w + 1;
        seam.columns = runs.count * 8 > static_cast<std::size_t>(w);
        const std::int32_t frame = share.firstLabel;
        for (std::size_t k = 0; k <= runs.count; ++k) {
            const std::int32_t label = k < runs.count ? frame + 1 + static_cast<std::int32_t>(k) : frame;
            seam.label[k] = label;
            parent[label] = label;
        }
        parent[frame] = frame;
        LoggedScan scan{
            parent, frame + 1 + static_cast<std::int32_t>(runs.count), log.data(), 0, stop, rowLimit, {}, 0};
        // Its labels: a stand-in for each run of the seam and the frame, and a run at every pixel of its
        // rows.
        const std::size_t labelsAtMost =
            static_cast<std::size_t>(w) * static_cast<std::size_t>(g.height - share.firstRow + 2) + 2;
        scan.parentAhead = PagesAhead(parent + frame, labelsAtMost * sizeof(std::int32_t));
        scan.logAhead = PagesAhead(log.data(), log.size() * sizeof(std::uint64_t));
        share.rowsDone = scanRows(g, bytes, share.firstRow, g.height, seam, out, 1, frame, scan, pairs);
        share.labelsEnd = scan.next;
        share.logged = scan.logged;
        share.progressMarks = std::move(scan.progressMarks);
        share.netRegions = scan.netRegions;
        share.lastRow = std::move(seam);
    } catch (...) {
        share.rowsDone = 0; // the calling thread scans the share itself
        pairs.clear();
    }
}

} // namespace

std::int32_t secondShareRow(const PixelGeometry& g, const ParseThreads& threads) {
    if (std::int64_t{g.width} * g.height < threads.fromPixels || g.height < 2 ||
        threads.secondThreadRows == 0)
        return 0;
    if (threads.splitRow == 0)
        return g.height / 2 + 1;
    return threads.splitRow >= 2 && threads.splitRow <= g.height ? threads.splitRow : 0;
}

SplitScan::SplitScan(const PixelGeometry& g, const std::uint8_t* bytes, RowLabels& out, std::int32_t* parent,
                     const ParseThreads& threads)
    : waitForAll_(threads.secondThreadRows >= 0) {
    share_.firstRow = secondShareRow(g, threads);
    if (share_.firstRow == 0)
        return;
    const std::int32_t w = g.width;
    const auto rowsAbove = static_cast<std::size_t>(share_.firstRow - 1);
    share_.firstLabel = static_cast<std::int32_t>(1 + rowsAbove * static_cast<std::size_t>(w) + 1);
    const std::size_t eventsAtMost =
        2 * static_cast<std::size_t>(w) * static_cast<std::size_t>(g.height - share_.firstRow + 1) +
        static_cast<std::size_t>(w) + 2;
    log_ = LargeArray<std::uint64_t>(eventsAtMost);
    pairs_ = BoundaryPairs(expectedBoundaryPairs(w, g.height - share_.firstRow + 1));
    const bool started = thread_.start([=, &out, &share = share_, &pairs = pairs_, &log = log_,
                                        rowLimit = threads.secondThreadRows](const std::atomic<bool>& stop) {
        scanSecondShare(g, bytes, out, parent, log, stop, rowLimit, share, pairs);
    });
    if (!started)
        share_.firstRow = 0; // no thread to be had: one thread scans all
}

void SplitScan::end() {
    thread_.end(waitForAll_);
}

std::size_t SplitScan::foreseenRegions(std::size_t liveAbove, std::int32_t height,
                                       std::size_t mostRegions) const {
    const std::int64_t rowsScanned = share_.firstRow - 1 + share_.rowsDone;
    const std::int64_t liveSoFar =
        std::max<std::int64_t>(0, static_cast<std::int64_t>(liveAbove) + share_.netRegions);
    return static_cast<std::size_t>(
        std::min<std::int64_t>({liveSoFar * height / rowsScanned, static_cast<std::int64_t>(mostRegions),
                                std::numeric_limits<std::int32_t>::max() / 4}));
}

void SplitScan::playBack(RegionSets& sets, RegionIds& ids, IdScan& idScan, const LabelledRow& ownLast,
                         std::int32_t frame) {
    // Its stand-ins become the sets they stand for, its new regions take their ids in turn, its joins free an
    // id unless the rows above had joined the two sets already.
    const std::size_t seamRuns = ownLast.runs.count;
    const std::int32_t standIns = share_.firstLabel + 1 + static_cast<std::int32_t>(seamRuns);
    sets.openRange(share_.firstLabel, std::max(share_.labelsEnd, standIns));
    sets.attach(share_.firstLabel, sets.find(frame));
    for (std::size_t k = 0; k < seamRuns; ++k)
        sets.attach(share_.firstLabel + 1 + static_cast<std::int32_t>(k), sets.find(ownLast.label[k]));
    std::size_t mark = 0;
    const auto& marks = share_.progressMarks;
    // What is played back is given back as it goes, so that the pages paged in meanwhile for the last stages
    // do not come on top of the whole record.
    constexpr std::size_t eventsAChunk = (std::size_t{1} << 20) / sizeof(std::uint64_t);
    for (std::size_t i = 0; i < share_.logged; ++i) {
        for (; mark < marks.size() && marks[mark].first == i; ++mark)
            idScan.rowDone(marks[mark].second);
        if (i % eventsAChunk == 0 && i > 0)
            giveBackPages(log_.data() + (i - eventsAChunk), eventsAChunk * sizeof(std::uint64_t));
        const std::uint64_t e = log_[i];
        const bool light = (e & event::light) != 0;
        if ((e & event::single) == 0) {
            // Its labels were roots of its own scan. One whose set holds no stand-in (a stand-in is the
            // lowest label of any set it joins) is a root here too: the joins replayed here are its own.
            const auto root = [&](std::int32_t label) { return label < standIns ? sets.find(label) : label; };
            const std::int32_t mine = root(static_cast<std::int32_t>(e >> 32));
            const std::int32_t upper = root(static_cast<std::int32_t>(e & 0xffffffffu));
            if (mine != upper)
                idScan.join(mine, upper);
        } else if ((e & event::swallowed) != 0) {
            ids.takeAndRelease(light);
        } else {
            sets.setPublicId(static_cast<std::int32_t>(e & 0xffffffffu), ids.take(light));
        }
    }
    for (; mark < marks.size(); ++mark)
        idScan.rowDone(marks[mark].second);
    log_ = LargeArray<std::uint64_t>();
}

void SplitScan::scanRest(const PixelGeometry& g, const std::uint8_t* bytes, LabelledRow& ownLast,
                         RowLabels& out, std::int32_t frame, IdScan& idScan, BoundaryPairs& ownPairs) {
    LabelledRow& above = share_.rowsDone > 0 ? share_.lastRow : ownLast;
    scanRows(g, bytes, share_.firstRow + share_.rowsDone, g.height, above, out, 0, frame, idScan, ownPairs);
}

} // namespace zelmar::parsing
