#include "regions.h"

#include "free_ids.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelmar {

LabelMap::LabelMap(std::int32_t width, std::int32_t height) : LabelMap(forOverwrite(width, height)) {
    std::fill_n(cells_.data(), cells_.size(), 0);
}

LabelMap LabelMap::forOverwrite(std::int32_t width, std::int32_t height) {
    LabelMap map;
    map.width_ = width;
    map.height_ = height;
    map.cells_ =
        LargeArray<std::int32_t>(static_cast<std::size_t>(width + 1) * static_cast<std::size_t>(height + 1));
    return map;
}

bool LabelMap::operator==(const LabelMap& other) const {
    return width_ == other.width_ && height_ == other.height_ && cells_.size() == other.cells_.size() &&
           std::equal(cells_.data(), cells_.data() + cells_.size(), other.cells_.data());
}

std::int32_t RegionTables::usableLinkCount() const {
    return std::min(linkCount, linkTableSize());
}

std::int32_t RegionTree::nodeOfRegion(std::int32_t regionId) const {
    if (regionId < 0 || static_cast<std::size_t>(regionId) >= nodeByRegion.size())
        return -1;
    return nodeByRegion[static_cast<std::size_t>(regionId)];
}

std::string nodeKey(std::int32_t regionId) {
    // Appended rather than "P" + ...: GCC 12 at -O3 warns falsely (-Wrestrict) about the inlined insert.
    std::string key = "P";
    key += std::to_string(regionId);
    return key;
}

std::optional<std::int32_t> regionIdOfKey(std::string_view key) {
    if (key.size() < 2)
        return std::nullopt;
    const std::string_view digits = key.substr(1);
    std::int32_t id = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return id;
}

namespace {

// Table sizes start at 100 and double whenever an entry past the end is needed.
std::int32_t doubledSizeFor(std::int64_t highestIndex) {
    std::int64_t size = initialTableSize;
    while (size < highestIndex)
        size *= 2;
    return static_cast<std::int32_t>(size);
}

// Public region ids as the labelling hands them out: always the lowest free one; a merge frees one.
class RegionIds {
public:
    explicit RegionIds(std::size_t mostIds) {
        isLight_.reserve(mostIds + 1);
        state_.reserve(mostIds + 1);
        isLight_.push_back(0);
        state_.push_back(regionFree);
    }

    std::int32_t take(bool isLight) {
        std::int32_t id;
        if (!freed_.empty()) {
            id = freed_.lowest();
            freed_.erase(id);
        } else {
            id = ++highest_;
            isLight_.push_back(0);
            state_.push_back(regionFree);
        }
        isLight_[static_cast<std::size_t>(id)] = isLight ? 1 : 0;
        state_[static_cast<std::size_t>(id)] = regionLive;
        ++live_;
        return id;
    }

    // The record keeps its class; only its slot is given up.
    void release(std::int32_t id) {
        state_[static_cast<std::size_t>(id)] = regionFree;
        freed_.insert(id);
        --live_;
    }

    // A region that joins an upper one as soon as it is made: take(isLight) and release of that id at once,
    // whose only trace is the class left on the slot.
    void takeAndRelease(bool isLight) {
        std::int32_t id;
        if (!freed_.empty()) {
            id = freed_.lowest();
        } else {
            id = ++highest_;
            isLight_.push_back(0);
            state_.push_back(regionFree);
            freed_.insert(id);
        }
        isLight_[static_cast<std::size_t>(id)] = isLight ? 1 : 0;
    }

    std::int32_t highest() const { return highest_; }
    std::size_t liveCount() const { return live_; }

    // The region table, written into records (whose room is kept).
    std::vector<RegionRecord> table(std::vector<RegionRecord> records) const {
        records.assign(static_cast<std::size_t>(doubledSizeFor(highest_)) + 1, RegionRecord{});
        for (std::int32_t id = 1; id <= highest_; ++id) {
            records[static_cast<std::size_t>(id)].isLight = isLight_[static_cast<std::size_t>(id)] != 0;
            records[static_cast<std::size_t>(id)].state = state_[static_cast<std::size_t>(id)];
        }
        return records;
    }

private:
    FreeIds freed_;
    std::int32_t highest_ = 0;
    std::size_t live_ = 0;
    // By id; element 0 unused. Room for every id a picture can have is set aside at once: growing by copies
    // would touch the memory over again, and what is never written costs nothing.
    std::vector<std::uint8_t> isLight_;
    std::vector<std::int32_t> state_;
};

template <typename T> LargeArray<T>& atLeast(LargeArray<T>& array, std::size_t size) {
    if (array.size() < size)
        array = LargeArray<T>(size);
    return array;
}

} // namespace

struct ParseScratch::Arrays {
    LargeArray<std::int32_t> runStart;
    LargeArray<std::int32_t> runLabel;
    LargeArray<std::int32_t> parent;
    LargeArray<std::int32_t> publicId;
    LargeArray<std::uint64_t> pairSlots;
    std::size_t emptyPairSlots = 0; // the leading pair slots known to hold no pair, filled ahead
    LargeArray<std::uint8_t> isChild;
    LargeArray<std::int32_t> childOffsets;
    LargeArray<std::int32_t> children;
    LargeArray<std::int32_t> fill;
    // Room for the link table, the region table and the tree of the parse under way, paged in ahead of them;
    // each is taken by the step that builds it.
    std::vector<NestingLink> links;
    std::vector<RegionRecord> regionTable;
    RegionTree tree;
};

ParseScratch::ParseScratch() : arrays_(std::make_unique<Arrays>()) {}
ParseScratch::~ParseScratch() = default;
ParseScratch::ParseScratch(const ParseScratch&) : ParseScratch() {}
ParseScratch& ParseScratch::operator=(const ParseScratch&) {
    return *this;
}

namespace {

using Scratch = ParseScratch::Arrays;

// Sets of runs that form one region, each set carrying the public id it has at this point of the scan. The
// labels of a scan shared with a second thread leave a gap: the second thread's labels start where the
// calling thread's can no longer reach.
class RegionSets {
public:
    RegionSets(std::size_t capacity, Scratch& scratch)
        : parent_(atLeast(scratch.parent, capacity)), publicId_(atLeast(scratch.publicId, capacity)) {}

    std::int32_t add(std::int32_t publicId) {
        const auto label = static_cast<std::int32_t>(size_++);
        parent_[static_cast<std::size_t>(label)] = label;
        publicId_[static_cast<std::size_t>(label)] = publicId;
        return label;
    }

    std::int32_t find(std::int32_t label) {
        while (parent_[static_cast<std::size_t>(label)] != label) {
            auto& up = parent_[static_cast<std::size_t>(label)];
            up = parent_[static_cast<std::size_t>(up)]; // path halving
            label = up;
        }
        return label;
    }

    std::int32_t publicIdOfRoot(std::int32_t root) const { return publicId_[static_cast<std::size_t>(root)]; }
    void setPublicId(std::int32_t root, std::int32_t publicId) {
        publicId_[static_cast<std::size_t>(root)] = publicId;
    }

    // The set of keptRoot survives with its id; the other set joins it. Returns the root of the joined set:
    // the older label, whose trees tend to be the bigger, so paths stay short.
    std::int32_t join(std::int32_t removedRoot, std::int32_t keptRoot) {
        const std::int32_t root = std::min(removedRoot, keptRoot);
        const std::int32_t child = std::max(removedRoot, keptRoot);
        parent_[static_cast<std::size_t>(child)] = root;
        publicId_[static_cast<std::size_t>(root)] = publicId_[static_cast<std::size_t>(keptRoot)];
        return root;
    }

    // Labels begin .. end - 1 become sets of their own, with no id yet; later labels follow them.
    void openRange(std::int32_t begin, std::int32_t end) {
        gapBegin_ = size_;
        gapEnd_ = static_cast<std::size_t>(begin);
        for (std::int32_t label = begin; label < end; ++label)
            parent_[static_cast<std::size_t>(label)] = label;
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
                const auto up = static_cast<std::size_t>(parent_[label]);
                parent_[label] = up == label ? publicId_[label] : parent_[up];
            }
    }
    std::int32_t finalId(std::int32_t label) const { return parent_[static_cast<std::size_t>(label)]; }
    // The final public ids by label, once settled.
    const std::int32_t* finalIds() const { return parent_.data(); }

private:
    std::array<std::pair<std::size_t, std::size_t>, 2> ranges() const {
        return {{{0, std::min(gapBegin_, size_)}, {gapEnd_, size_}}};
    }

    LargeArray<std::int32_t>& parent_;
    LargeArray<std::int32_t>& publicId_;
    std::size_t size_ = 0;
    std::size_t gapBegin_ = std::numeric_limits<std::size_t>::max(); // no gap: the second range is empty
    std::size_t gapEnd_ = std::numeric_limits<std::size_t>::max();
};

// A row's runs of one class: run k covers start[k] .. start[k + 1] - 1, classes alternate along the row.
// After the last run comes a start of width + 1, so the end of every run is found the same way.
struct RowRuns {
    std::size_t first = 0; // index of the row's first run in the shared arrays
    std::size_t count = 0;
    bool firstIsLight = false;
};

bool runIsLight(const RowRuns& row, std::size_t k) {
    return row.firstIsLight != ((k & 1) != 0);
}

// Open addressing over unordered id pairs: the links already recorded. Most boundaries repeat a pair met a
// row or two before, and a small direct-mapped table of recent pairs answers those from the cache. The rest
// are queued for the row with their slot prefetched, so their misses in the big table overlap instead of
// stalling one by one, and are settled in order at the end of the row.
class PairSet {
public:
    static constexpr std::uint64_t empty = 0; // ids are at least 1, so no real key is 0

    static std::size_t slotsFor(std::size_t expectedPairs) {
        return std::bit_ceil(std::max<std::size_t>(expectedPairs * 2 + 2, 1024));
    }

    // expectedPairs sizes the table once; more pairs than that still fit, at the cost of a rehash.
    PairSet(std::size_t expectedPairs, Scratch& scratch) : scratch_(scratch), recent_(recentSize, empty) {
        const std::size_t slots = slotsFor(expectedPairs);
        if (scratch.emptyPairSlots < slots)
            std::fill_n(atLeast(scratch.pairSlots, slots).data(), slots, empty);
        scratch.emptyPairSlots = 0; // from here on they are written
        slots_ = scratch.pairSlots.data();
        slotCount_ = slots;
        shift_ = 64 - std::countr_zero(slots);
    }

    // Queues the pair (left, right) unless it is certainly known already.
    void offer(std::int32_t left, std::int32_t right) {
        const std::uint64_t key = keyOf(left, right);
        const std::uint64_t hash = key * 0x9E3779B97F4A7C15ull;
        std::uint64_t& cached = recent_[static_cast<std::size_t>(hash >> (64 - recentBits))];
        if (cached == key)
            return;
        cached = key;
        __builtin_prefetch(slots_ + static_cast<std::size_t>(hash >> shift_));
        queue_.push_back({left, right});
    }

    // Settles the queued pairs in the order offered; each one not known before is handed to newPair.
    template <typename NewPair> void settle(NewPair&& newPair) {
        for (const auto& [left, right] : queue_)
            if (insert(keyOf(left, right)))
                newPair(left, right);
        queue_.clear();
    }

private:
    static constexpr int recentBits = 14;
    static constexpr std::size_t recentSize = std::size_t{1} << recentBits;

    static std::uint64_t keyOf(std::int32_t a, std::int32_t b) {
        // Without a branch: which id is the smaller is a coin toss in noise. Ids are positive, so b - a
        // cannot overflow.
        const std::int32_t below = (b - a) & ((b - a) >> 31); // b - a when b is the smaller, else 0
        return std::uint64_t(std::uint32_t(a + below)) << 32 | std::uint32_t(b - below);
    }

    // The top bits of a Fibonacci product: both ids of the pair reach them.
    std::size_t slotOf(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    bool insert(std::uint64_t key) {
        if ((count_ + 1) * 2 > slotCount_)
            grow();
        std::size_t i = slotOf(key);
        while (slots_[i] != empty) {
            if (slots_[i] == key)
                return false;
            i = (i + 1) & (slotCount_ - 1);
        }
        slots_[i] = key;
        ++count_;
        return true;
    }

    void grow() {
        LargeArray<std::uint64_t> bigger(slotCount_ * 2, empty);
        const std::uint64_t* old = slots_;
        const std::size_t oldCount = slotCount_;
        slots_ = bigger.data();
        slotCount_ = bigger.size();
        shift_ = 64 - std::countr_zero(slotCount_);
        for (std::size_t k = 0; k < oldCount; ++k) {
            const std::uint64_t key = old[k];
            if (key == empty)
                continue;
            std::size_t i = slotOf(key);
            while (slots_[i] != empty)
                i = (i + 1) & (slotCount_ - 1);
            slots_[i] = key;
        }
        scratch_.pairSlots = std::move(bigger);
    }

    Scratch& scratch_;
    std::vector<std::uint64_t> recent_;
    std::uint64_t* slots_ = nullptr;
    std::size_t slotCount_ = 0;
    int shift_ = 64;
    std::size_t count_ = 0;
    std::vector<std::pair<std::int32_t, std::int32_t>> queue_;
};

// Writes value over data[0 .. size) a megabyte at a time; false when told to stop first.
template <typename T>
bool fillUnlessStopped(T* data, std::size_t size, const T& value, const std::atomic<bool>& stop) {
    constexpr std::size_t chunk = (std::size_t{1} << 20) / sizeof(T);
    for (std::size_t at = 0; at < size; at += chunk) {
        if (stop.load(std::memory_order_relaxed))
            return false;
        std::fill_n(data + at, std::min(chunk, size - at), value);
    }
    return true;
}

// The same for an emptied vector that grows to size.
template <typename T>
bool growUnlessStopped(std::vector<T>& vector, std::size_t size, const T& value,
                       const std::atomic<bool>& stop) {
    constexpr std::size_t chunk = (std::size_t{1} << 20) / sizeof(T);
    vector.clear();
    vector.reserve(size);
    while (vector.size() < size) {
        if (stop.load(std::memory_order_relaxed))
            return false;
        vector.resize(std::min(size, vector.size() + chunk), value);
    }
    return true;
}

// Pages in the memory that the calling thread's last steps write into (the pair set, the link and region
// tables, the tree), sized for about the given number of regions. In a one-shot parse all of it is fresh from
// the system, and the first touch of a page costs about as much as the work then done in it; a helper makes
// those touches while the calling thread plays back the second thread's record and the other core would
// stand idle. An estimate that falls short only leaves the rest to be paged in where it is used.
void warmUp(Scratch& scratch, std::size_t regions, const std::atomic<bool>& stop) noexcept {
    try {
        const std::size_t table =
            static_cast<std::size_t>(doubledSizeFor(static_cast<std::int64_t>(regions))) + 1;
        const std::size_t nodes = regions + regions / 32 + 64; // links, nearly one a region, and tree nodes
        const auto fill = [&stop](auto& array, std::size_t size, auto value) {
            return fillUnlessStopped(atLeast(array, size).data(), size, value, stop);
        };
        const auto grow = [&stop](auto& vector, std::size_t size, auto value) {
            return growUnlessStopped(vector, size, value, stop);
        };
        RegionTree& tree = scratch.tree;
        // In the order of use; the tree's arrays by id have room for the ids 0 .. table and one more.
        const std::size_t pairSlots = PairSet::slotsFor(regions);
        if (!fill(scratch.pairSlots, pairSlots, PairSet::empty))
            return;
        scratch.emptyPairSlots = pairSlots;
        grow(scratch.links, table, NestingLink{}) && grow(scratch.regionTable, table, RegionRecord{}) &&
            grow(tree.nodeByRegion, table, std::int32_t{-1}) &&
            fill(scratch.isChild, table + 1, std::uint8_t{0}) &&
            fill(scratch.childOffsets, table + 1, std::int32_t{0}) &&
            fill(scratch.fill, table + 1, std::int32_t{0}) &&
            fill(scratch.children, nodes, std::int32_t{0}) && grow(tree.nodes, nodes, TreeNode{}) &&
            grow(tree.childOffsets, nodes + 1, std::int32_t{0}) &&
            grow(tree.childNodes, nodes, std::int32_t{0}) && grow(tree.rowInParent, nodes, std::int32_t{0});
    } catch (...) {
        // what is not paged in here is paged in where it is used
    }
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

// Bit i set: pixel i of the 64 from p on is light. Four-byte pixels, the working image's usual form, are
// classed sixteen at a time where the processor allows.
template <int bytesPerPixel> std::uint64_t lightBits(const std::uint8_t* p) {
#if defined(__SSE2__)
    if constexpr (bytesPerPixel == 4) {
        // A byte is light when it is its maximum with 101; each pixel's first byte is kept and the 16 pixels
        // packed to a byte each, whose top bits make the mask.
        const __m128i lightFrom = _mm_set1_epi8(static_cast<char>(lightThreshold + 1));
        const __m128i firstByte = _mm_set1_epi32(0xff);
        const auto light = [&](const std::uint8_t* q) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            return _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, lightFrom), v), firstByte);
        };
        std::uint64_t bits = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t* q = p + 64 * i;
            const __m128i low = _mm_packs_epi32(light(q), light(q + 16));
            const __m128i high = _mm_packs_epi32(light(q + 32), light(q + 48));
            bits |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_packus_epi16(low, high)))}
                    << (16 * i);
        }
        return bits;
    }
#endif
    std::uint64_t bits = 0;
    for (int i = 0; i < 64; ++i)
        bits |= std::uint64_t{isLightByte(p[i * bytesPerPixel])} << i;
    return bits;
}

// rowRuns without columns, for rows of long runs: 64 pixels classed at a time, and a start written only where
// the class changes.
template <int bytesPerPixel>
std::size_t longRowRuns(const std::uint8_t* row, std::int32_t width, std::int32_t* out, bool& firstIsLight) {
    std::uint64_t previous = isLightByte(row[0]) ? 1 : 0;
    firstIsLight = previous != 0;
    out[0] = 1;
    std::size_t n = 1;
    std::int32_t x = 1; // the block's first pixel
    for (; x + 63 <= width; x += 64) {
        const std::uint64_t light = lightBits<bytesPerPixel>(row + std::int64_t{x - 1} * bytesPerPixel);
        std::uint64_t changes = light ^ (light << 1 | previous);
        previous = light >> 63;
        for (; changes != 0; changes &= changes - 1)
            out[n++] = x + std::countr_zero(changes);
    }
    for (; x <= width; ++x) {
        const std::uint64_t light = isLightByte(row[std::int64_t{x - 1} * bytesPerPixel]) ? 1 : 0;
        out[n] = x;
        n += light != previous ? 1 : 0;
        previous = light;
    }
    return n;
}

std::size_t longRowRuns(const std::uint8_t* row, std::int32_t width, std::int32_t bytesPerPixel,
                        std::int32_t* out, bool& firstIsLight) {
    switch (bytesPerPixel) {
    case 1:
        return longRowRuns<1>(row, width, out, firstIsLight);
    case 3:
        return longRowRuns<3>(row, width, out, firstIsLight);
    case 4:
        return longRowRuns<4>(row, width, out, firstIsLight);
    default:
        return rowRuns<false>(row, width, bytesPerPixel, out, nullptr, firstIsLight);
    }
}

// Cells a .. b of a label map row set to id. Short runs, the rule in noise, are written as one block of eight
// that may spill past b; a run of any length then costs no mispredicted branch. Spilled cells belong to
// later runs of the row or to later rows, written after this one; cells[room] is the first cell that may not
// be written.
void fillRun(std::int32_t* cells, std::int32_t a, std::int32_t b, std::int32_t id, std::int64_t room) {
    constexpr std::int32_t block = 8;
    if (b - a < block && a + block <= room) {
        for (std::int32_t i = 0; i < block; ++i)
            cells[a + i] = id;
        return;
    }
    std::fill(cells + a, cells + b + 1, id);
}

// The row above the one being labelled: its runs, their labels (roots found are written back) and, for a
// row of short runs, the run that holds each column.
struct UpperRow {
    RowRuns runs;
    const std::int32_t* start = nullptr;
    std::int32_t* label = nullptr;
    const std::int32_t* runAt = nullptr; // null: found by a search
};

// Labels the runs of one row against the row above. Regions decides what a new region, a region that an
// upper one swallows at birth, and a join of two regions do.
template <bool columnsAbove, typename Regions>
void labelRow(const RowRuns& cur, const std::int32_t* curStart, std::int32_t* curLabel, const UpperRow& up,
              std::int32_t frame, Regions& regions) {
    const std::int32_t* upStart = up.start;
    std::int32_t* upLabel = up.label;
    const std::size_t upCount = up.runs.count;
    std::size_t u = 0; // the upper run that holds column max(a - 1, 1)
    for (std::size_t k = 0; k < cur.count; ++k) {
        const std::int32_t a = curStart[k];
        const std::int32_t b = curStart[k + 1] - 1;
        const bool light = runIsLight(cur, k);
        const std::int32_t left = std::max(a - 1, 1);
        std::size_t ua; // the upper run above column a
        if constexpr (columnsAbove) {
            u = static_cast<std::size_t>(up.runAt[static_cast<std::size_t>(left)]);
            ua = static_cast<std::size_t>(up.runAt[static_cast<std::size_t>(a)]);
        } else {
            while (upStart[u + 1] <= left)
                ++u;
            ua = upStart[u + 1] <= a ? u + 1 : u;
        }

        // The first pixel takes the left, upper or upper-left neighbour's region, or a new one; the rest of
        // the run takes its left neighbour's. Which neighbour is a coin toss in noise, so the choice is made
        // by selection, not by branches.
        const bool onFrame = (a == 1) & light; // the frame column on the left
        const bool sameAbove = runIsLight(up.runs, ua) == light;
        const bool sameUpperLeft = (a != 1) & (runIsLight(up.runs, u) == light);
        // The first upper run of the run's class from column a on.
        std::size_t v = ua + (sameAbove ? 0 : 1);
        std::int32_t mine;
        if (onFrame | sameAbove | sameUpperLeft) {
            mine = regions.find(onFrame ? frame : upLabel[sameAbove ? ua : u]);
        } else if (v < upCount && upStart[v] <= b) {
            // A new region that the upper one at v swallows at once: it keeps the upper region's set.
            regions.swallowedAtBirth(light);
            mine = regions.find(upLabel[v]);
            upLabel[v] = mine;
            v += 2;
        } else {
            mine = regions.created(light);
        }

        // Each upper region of the same class above the run joins it, keeping the upper region's id. Roots
        // found are written back, so later rows start their search from them.
        for (; v < upCount && upStart[v] <= b; v += 2) {
            const std::int32_t upper = regions.find(upLabel[v]);
            upLabel[v] = upper;
            if (upper != mine)
                mine = regions.join(mine, upper);
        }
        curLabel[k] = mine;
    }
}

// The run arrays a scan writes into: starts and labels of every row's runs, each row closed by a start of
// width + 1 whose label is the frame's.
struct RunArrays {
    std::int32_t* start;
    std::int32_t* label;
    std::vector<RowRuns>& rows;
};

// Splits rows first .. last into runs, written from index at on, and labels them; above is the row before
// first. Stops early when regions.goOn(y) says so. Returns the rows done; at ends past the last run written.
template <typename Regions>
std::int32_t scanRows(const PixelGeometry& g, const std::uint8_t* bytes, std::int32_t first,
                      std::int32_t last, UpperRow above, RunArrays runs, std::size_t& at, std::int32_t frame,
                      Regions& regions) {
    // For rows of short runs (noise), the run of the row that holds each column: the upper runs of a run are
    // then looked up, where a search would stop after a random number of steps, mispredicted half the time.
    // Rows of long runs keep the search, which costs less than writing a column each. A row is taken for
    // short runs when the row above was; a guess gone wrong is put right with a fill by runs. Eight entries
    // of room past the last column take the spill of fillRun.
    const std::int32_t w = g.width;
    std::vector<std::int32_t> upRunAt(static_cast<std::size_t>(w) + 9);
    std::vector<std::int32_t> curRunAt(static_cast<std::size_t>(w) + 9);
    if (above.runAt != nullptr)
        std::copy_n(above.runAt, w + 1, upRunAt.begin());
    bool upColumns = above.runAt != nullptr;
    std::int32_t y = first;
    for (; y <= last && regions.goOn(y); ++y) {
        RowRuns& cur = runs.rows[static_cast<std::size_t>(y)];
        cur.first = at;
        const std::uint8_t* pixels = bytes + std::int64_t{y - 1} * g.stride;
        cur.count = upColumns ? rowRuns<true>(pixels, w, g.bytesPerPixel, runs.start + at, curRunAt.data(),
                                              cur.firstIsLight)
                              : longRowRuns(pixels, w, g.bytesPerPixel, runs.start + at, cur.firstIsLight);
        runs.start[at + cur.count] = w + 1;
        runs.label[at + cur.count] = frame;
        at += cur.count + 1;
        const std::int32_t* curStart = runs.start + cur.first;
        const bool curColumns = cur.count * 8 > static_cast<std::size_t>(w);
        if (curColumns && !upColumns)
            for (std::size_t k = 0; k < cur.count; ++k)
                fillRun(curRunAt.data(), curStart[k], curStart[k + 1] - 1, static_cast<std::int32_t>(k),
                        w + 9);

        above.runAt = upRunAt.data();
        if (upColumns)
            labelRow<true>(cur, curStart, runs.label + cur.first, above, frame, regions);
        else
            labelRow<false>(cur, curStart, runs.label + cur.first, above, frame, regions);
        above = {cur, curStart, runs.label + cur.first, nullptr};
        std::swap(upRunAt, curRunAt);
        upColumns = curColumns;
        regions.rowDone(y);
    }
    return y - first;
}

// The scan of the calling thread: public ids as it goes.
struct IdScan {
    RegionSets& sets;
    RegionIds& ids;
    const ProgressCallback& progress;
    std::int32_t height;

    std::int32_t find(std::int32_t label) { return sets.find(label); }
    std::int32_t created(bool light) { return sets.add(ids.take(light)); }
    void swallowedAtBirth(bool light) { ids.takeAndRelease(light); }
    std::int32_t join(std::int32_t mine, std::int32_t upper) {
        ids.release(sets.publicIdOfRoot(mine));
        return sets.join(mine, upper);
    }
    bool goOn(std::int32_t) const { return true; }
    void rowDone(std::int32_t y) const {
        if (progress && (y & 255) == 0)
            progress(static_cast<double>(y) / height);
    }
};

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
        if (rowsLeft > 0)
            --rowsLeft;
        if ((y & 255) == 0)
            progressMarks.emplace_back(logged, y);
    }
};

// What the second thread leaves for the calling thread.
struct SecondShare {
    std::int32_t firstRow = 0; // the first row of its share
    std::int32_t firstLabel =
        0; // its first label: the frame's stand-in, then one for each run of the row above
    std::int32_t labelsEnd = 0;
    std::size_t firstRun = 0; // where its runs begin in the run arrays
    std::size_t runsEnd = 0;
    std::int32_t rowsDone = 0;
    std::size_t logged = 0;
    std::vector<std::pair<std::size_t, std::int32_t>> progressMarks;
    std::int64_t netRegions = 0;
};

// The second thread's work: rows share.firstRow on, as many as it gets done before stop, in labels from
// share.firstLabel on. The row above its share is split into runs again here, so it never reads what the
// calling thread writes.
void scanSecondShare(const PixelGeometry& g, const std::uint8_t* bytes, RunArrays runs, std::int32_t* parent,
                     std::uint64_t* log, const std::atomic<bool>& stop, std::int32_t rowLimit,
                     SecondShare& share) noexcept {
    try {
        const std::int32_t w = g.width;
        std::vector<std::int32_t> seamStart(static_cast<std::size_t>(w) + 1);
        std::vector<std::int32_t> seamRunAt(static_cast<std::size_t>(w) + 9);
        RowRuns seam;
        seam.count = rowRuns<true>(bytes + std::int64_t{share.firstRow - 2} * g.stride, w, g.bytesPerPixel,
                                   seamStart.data(), seamRunAt.data(), seam.firstIsLight);
        seamStart[seam.count] = w + 1;
        const std::int32_t frame = share.firstLabel;
        std::vector<std::int32_t> seamLabel(seam.count + 1, frame);
        for (std::size_t k = 0; k <= seam.count; ++k) {
            const std::int32_t label = k < seam.count ? frame + 1 + static_cast<std::int32_t>(k) : frame;
            seamLabel[k] = label;
            parent[label] = label;
        }
        parent[frame] = frame;
        LoggedScan scan{parent, frame + 1 + static_cast<std::int32_t>(seam.count), log, 0, stop, rowLimit, {},
                        0};
        const UpperRow above{seam, seamStart.data(), seamLabel.data(),
                             seam.count * 8 > static_cast<std::size_t>(w) ? seamRunAt.data() : nullptr};
        std::size_t at = share.firstRun;
        share.rowsDone = scanRows(g, bytes, share.firstRow, g.height, above, runs, at, frame, scan);
        share.runsEnd = at;
        share.labelsEnd = scan.next;
        share.logged = scan.logged;
        share.progressMarks = std::move(scan.progressMarks);
        share.netRegions = scan.netRegions;
    } catch (...) {
        share.rowsDone = 0; // the calling thread scans the share itself
    }
}

// A helper thread of a labelling (the second thread's scan, the warm-up), ended in every case, also on the
// way out of an exception. Under load it may get no processor before the calling thread needs what it does;
// that thread then takes the work back rather than wait, and the helper, when it comes to run, finds the work
// taken and touches nothing else (which is why what the two share lives on the heap).
class ShareThread {
public:
    ShareThread() = default;
    ShareThread(const ShareThread&) = delete;
    ShareThread& operator=(const ShareThread&) = delete;
    ~ShareThread() { end(false); }

    // work(stop) runs on the second thread unless the share is taken first; false when no thread could be
    // had.
    template <typename Work> bool start(Work work) {
        try {
            thread_ = std::thread([handover = handover_, work]() mutable {
                int notBegun = 0;
                if (handover->state.compare_exchange_strong(notBegun, begun))
                    work(handover->stop);
            });
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    // Waits for all the work with waitForAll; otherwise stops it after its current row, or takes the share
    // at once when it has not begun.
    void end(bool waitForAll) {
        if (!thread_.joinable())
            return;
        int notBegun = 0;
        if (waitForAll) {
            thread_.join();
        } else if (handover_->state.compare_exchange_strong(notBegun, takenBack)) {
            thread_.detach();
        } else {
            handover_->stop.store(true, std::memory_order_relaxed);
            thread_.join();
        }
    }

private:
    static constexpr int begun = 1;
    static constexpr int takenBack = 2;
    struct Handover {
        std::atomic<int> state{0};
        std::atomic<bool> stop{false};
    };
    std::shared_ptr<Handover> handover_ = std::make_shared<Handover>();
    std::thread thread_;
};

// The row where the second thread's share begins, or 0 for none.
std::int32_t secondShareRow(const PixelGeometry& g, const ParseThreads& threads) {
    if (std::int64_t{g.width} * g.height < threads.fromPixels || g.height < 2 ||
        threads.secondThreadRows == 0)
        return 0;
    if (threads.splitRow == 0)
        return g.height / 2 + 1;
    return threads.splitRow >= 2 && threads.splitRow <= g.height ? threads.splitRow : 0;
}

// The label map filled from the runs and their final ids, in bands of rows that two threads take in turn: a
// second thread from when it starts, the calling thread once its links (and, for a parse, its tree) are done.
// No thread waits for the other to begin, and neither writes into a band it has not taken: the last row of
// a band keeps its block fills to itself.
class MapFill {
public:
    MapFill(std::vector<RowRuns> rows, const std::int32_t* start, const std::int32_t* label,
            const std::int32_t* finalIds, LabelMap& map, std::int32_t frameId)
        : rows_(std::move(rows)), start_(start), label_(label), finalIds_(finalIds), cells_(map.row(0)),
          width_(map.width()), height_(map.height()), frameId_(frameId) {
        std::fill_n(cells_, width_ + 1, frameId_);
    }

    void takeBands() {
        for (std::int32_t band; (band = nextBand_.fetch_add(1, std::memory_order_relaxed)) < bands();)
            fillRows(band * bandRows + 1, std::min(height_, (band + 1) * bandRows));
    }
    // No band is taken any more (the map is not wanted after all).
    void abandon() { nextBand_.store(bands(), std::memory_order_relaxed); }

private:
    static constexpr std::int32_t bandRows = 32;

    std::int32_t bands() const { return (height_ + bandRows - 1) / bandRows; }

    void fillRows(std::int32_t first, std::int32_t last) {
        const auto rowCells = static_cast<std::size_t>(width_) + 1;
        for (std::int32_t y = first; y <= last; ++y) {
            const RowRuns& row = rows_[static_cast<std::size_t>(y)];
            std::int32_t* cells = cells_ + static_cast<std::size_t>(y) * rowCells;
            const std::int64_t room = std::int64_t{width_ + 1} * (last + 1 - y);
            cells[0] = frameId_;
            for (std::size_t k = row.first; k < row.first + row.count; ++k)
                fillRun(cells, start_[k], start_[k + 1] - 1, finalIds_[label_[k]], room);
        }
    }

    std::vector<RowRuns> rows_;
    const std::int32_t* start_;
    const std::int32_t* label_;
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

    void start(std::unique_ptr<MapFill> fill, bool secondThread) {
        fill_ = std::move(fill);
        if (!secondThread)
            return;
        try {
            helper_ = std::thread([fill = fill_.get()] { fill->takeBands(); });
        } catch (const std::system_error&) {
            // no thread to be had: finish() fills it all
        }
    }

    void finish() {
        if (!fill_)
            return;
        fill_->takeBands();
        if (helper_.joinable())
            helper_.join();
        fill_.reset();
    }

    // For the way out of an exception: the second thread ends after its band, and the map stays unfilled.
    void abandon() {
        if (!fill_)
            return;
        fill_->abandon();
        if (helper_.joinable())
            helper_.join();
        fill_.reset();
    }

private:
    std::unique_ptr<MapFill> fill_;
    std::thread helper_;
};

} // namespace

namespace {

// The links, from the final ids of the runs, and the region table. Each region but the root usually has one
// parent link, so the live region count is a good first size of the link table.
void linkRegions(RegionTables& tables, const std::vector<RowRuns>& rows, const std::int32_t* runLabel,
                 const std::int32_t* finalIds, const RegionIds& ids, Scratch& scratch) {
    const std::size_t liveRegions = ids.liveCount();
    PairSet known(liveRegions, scratch);
    std::vector<NestingLink> links = std::move(scratch.links);
    links.assign(1, NestingLink{});
    links.reserve(liveRegions + 1);
    for (std::size_t y = 1; y < rows.size(); ++y) {
        const RowRuns& row = rows[y];
        // A boundary between two runs of a row, left to right: the left region is the parent.
        std::int32_t previous = finalIds[runLabel[row.first]];
        for (std::size_t k = row.first + 1; k < row.first + row.count; ++k) {
            const std::int32_t id = finalIds[runLabel[k]];
            known.offer(previous, id);
            previous = id;
        }
        known.settle([&links](std::int32_t left, std::int32_t right) { links.push_back({right, left}); });
    }
    tables.regionTable = ids.table(std::move(scratch.regionTable));
    tables.linkCount = static_cast<std::int32_t>(links.size() - 1);
    links.resize(static_cast<std::size_t>(doubledSizeFor(tables.linkCount)) + 1);
    tables.linkTable = std::move(links);
}

// Labelling and links; the label map is left to fill, begun on a second thread where the picture is big.
RegionTables labelAndLink(const PixelGeometry& g, const std::uint8_t* bytes, const ProgressCallback& progress,
                          const ParseThreads& threads, PendingMapFill& mapFill, Scratch& scratch) {
    RegionTables tables;
    tables.regionTable.assign(initialTableSize + 1, RegionRecord{});
    tables.linkTable.assign(initialTableSize + 1, NestingLink{});
    if (g.width <= 0 || g.height <= 0 || g.bytesPerPixel <= 0 || bytes == nullptr)
        return tables;

    // Room for the worst case, a run at every pixel and a closing start a row; only what is written is ever
    // touched. Labels: never more than runs, and a stand-in for each run of one row and the frame.
    const std::int32_t w = g.width;
    const std::size_t maxRuns = (static_cast<std::size_t>(w) + 1) * static_cast<std::size_t>(g.height) + 2;
    RegionIds ids(maxRuns);
    RegionSets sets(maxRuns + static_cast<std::size_t>(w) + 2, scratch);
    const std::int32_t frame = sets.add(ids.take(true)); // the frame region, id 1, light
    LargeArray<std::int32_t>& runStart = atLeast(scratch.runStart, maxRuns);
    LargeArray<std::int32_t>& runLabel = atLeast(scratch.runLabel, maxRuns);
    std::vector<RowRuns> rows(static_cast<std::size_t>(g.height) + 1);
    const RunArrays runs{runStart.data(), runLabel.data(), rows};
    // Row 0 is the frame: one light run over the whole width.
    runStart[0] = 1;
    runLabel[0] = frame;
    runStart[1] = w + 1;
    runLabel[1] = frame;
    rows[0] = {0, 1, true};
    std::size_t runCount = 2;
    IdScan idScan{sets, ids, progress, g.height};

    // The lower rows go to a second thread. Its runs and labels start where those of the rows above can no
    // longer reach: every row before holds at most width runs and a closing start, and a set each run.
    SecondShare share;
    share.firstRow = secondShareRow(g, threads);
    // The second thread's record of new regions and joins: fresh each parse and let go of after its playback,
    // before the label map and the tree take their memory.
    LargeArray<std::uint64_t> log;
    ShareThread second; // after all it may write to, so that it ends before they go
    ShareThread warm;
    if (share.firstRow > 0) {
        const auto rowsAbove = static_cast<std::size_t>(share.firstRow - 1);
        share.firstRun = 2 + rowsAbove * (static_cast<std::size_t>(w) + 1);
        share.firstLabel = static_cast<std::int32_t>(1 + rowsAbove * static_cast<std::size_t>(w) + 1);
        const std::size_t eventsAtMost =
            2 * static_cast<std::size_t>(w) * static_cast<std::size_t>(g.height - share.firstRow + 1) +
            static_cast<std::size_t>(w) + 2;
        log = LargeArray<std::uint64_t>(eventsAtMost);
        std::int32_t* parent = scratch.parent.data();
        const bool started = second.start([=, &share, events = log.data()](const std::atomic<bool>& stop) {
            scanSecondShare(g, bytes, runs, parent, events, stop, threads.secondThreadRows, share);
        });
        if (!started)
            share.firstRow = 0; // no thread to be had: one thread scans all
    }

    const std::int32_t ownLast = share.firstRow > 0 ? share.firstRow - 1 : g.height;
    scanRows(g, bytes, 1, ownLast, UpperRow{rows[0], runStart.data(), runLabel.data(), nullptr}, runs,
             runCount, frame, idScan);
    if (share.firstRow > 0) {
        second.end(threads.secondThreadRows >= 0); // a set number of rows is waited for
        // The tables and the tree to come are about as big as the live regions at the end, which the rows
        // scanned so far foretell.
        const std::int64_t rowsScanned = share.firstRow - 1 + share.rowsDone;
        const std::int64_t liveSoFar =
            std::max<std::int64_t>(0, static_cast<std::int64_t>(ids.liveCount()) + share.netRegions);
        const auto regions = static_cast<std::size_t>(
            std::min<std::int64_t>({liveSoFar * g.height / rowsScanned, static_cast<std::int64_t>(maxRuns),
                                    std::numeric_limits<std::int32_t>::max() / 4}));
        warm.start([&scratch, regions](const std::atomic<bool>& stop) { warmUp(scratch, regions, stop); });
        // The second thread's events, played back as they would have happened in one scan: its stand-ins
        // become the sets they stand for, its new regions take their ids in turn, its joins free an id unless
        // the rows above had joined the two sets already.
        const RowRuns& seam = rows[static_cast<std::size_t>(share.firstRow - 1)];
        const std::int32_t standIns = share.firstLabel + 1 + static_cast<std::int32_t>(seam.count);
        sets.openRange(share.firstLabel, std::max(share.labelsEnd, standIns));
        sets.attach(share.firstLabel, sets.find(frame));
        for (std::size_t k = 0; k < seam.count; ++k)
            sets.attach(share.firstLabel + 1 + static_cast<std::int32_t>(k),
                        sets.find(runLabel[seam.first + k]));
        std::size_t mark = 0;
        for (std::size_t i = 0; i < share.logged; ++i) {
            for (; mark < share.progressMarks.size() && share.progressMarks[mark].first == i; ++mark)
                idScan.rowDone(share.progressMarks[mark].second);
            const std::uint64_t e = log[i];
            const bool light = (e & event::light) != 0;
            if ((e & event::single) == 0) {
                const std::int32_t mine = sets.find(static_cast<std::int32_t>(e >> 32));
                const std::int32_t upper = sets.find(static_cast<std::int32_t>(e & 0xffffffffu));
                if (mine != upper)
                    idScan.join(mine, upper);
            } else if ((e & event::swallowed) != 0) {
                ids.takeAndRelease(light);
            } else {
                sets.setPublicId(static_cast<std::int32_t>(e & 0xffffffffu), ids.take(light));
            }
        }
        for (; mark < share.progressMarks.size(); ++mark)
            idScan.rowDone(share.progressMarks[mark].second);
        log = LargeArray<std::uint64_t>();
        // Rows the second thread did not get to are scanned here.
        const std::int32_t resume = share.firstRow + share.rowsDone;
        if (share.rowsDone > 0)
            runCount = share.runsEnd;
        const RowRuns& last = rows[static_cast<std::size_t>(resume - 1)];
        scanRows(g, bytes, resume, g.height,
                 UpperRow{last, runStart.data() + last.first, runLabel.data() + last.first, nullptr}, runs,
                 runCount, frame, idScan);
    }

    // Final public id of every set; the runs keep their labels, looked up by the map fill and the links as
    // they pass (one pass over the runs fewer).
    sets.settleFinalIds();
    const std::int32_t frameId = sets.finalId(frame);

    warm.end(false); // what it has not paged in by now is paged in where it is used
    tables.labelMap = LabelMap::forOverwrite(w, g.height);
    const bool big = std::int64_t{w} * g.height >= threads.fromPixels;
    std::vector<RowRuns> rowsOfMap = rows;
    mapFill.start(std::make_unique<MapFill>(std::move(rowsOfMap), runStart.data(), runLabel.data(),
                                            sets.finalIds(), tables.labelMap, frameId),
                  big);
    try {
        linkRegions(tables, rows, runLabel.data(), sets.finalIds(), ids, scratch);
    } catch (...) {
        mapFill.abandon(); // it writes into tables, about to go
        throw;
    }
    if (progress)
        progress(1.0);
    return tables;
}

} // namespace

RegionTables labelRegions(const PixelGeometry& g, const std::uint8_t* bytes, const ProgressCallback& progress,
                          const ParseThreads& threads, ParseScratch* scratch) {
    ParseScratch own;
    PendingMapFill mapFill;
    RegionTables tables =
        labelAndLink(g, bytes, progress, threads, mapFill, (scratch ? *scratch : own).arrays());
    mapFill.finish();
    return tables;
}

RegionTree buildRegionTree(RegionTables& tables, ParseScratch* given) {
    ParseScratch own;
    Scratch& scratch = (given ? *given : own).arrays();
    // The room paged in ahead for this tree, if any; the arrays not emptied here are assigned whole below.
    RegionTree tree = std::exchange(scratch.tree, RegionTree());
    tree.nodes.clear();
    tree.childNodes.clear();
    const std::int32_t tableSize = tables.regionTableSize();
    tree.nodeByRegion.assign(static_cast<std::size_t>(tableSize) + 1, -1);
    const std::int32_t count = tables.usableLinkCount();
    const auto link = [&](std::int32_t i) -> const NestingLink& {
        return tables.linkTable[static_cast<std::size_t>(i)];
    };
    const auto inTable = [&](std::int32_t id) { return id >= 1 && id <= tableSize; };

    // The root: the parent of the first link whose parent is no link's child.
    const auto slots = static_cast<std::size_t>(tableSize) + 2;
    std::uint8_t* isChild = atLeast(scratch.isChild, slots).data();
    std::fill_n(isChild, slots, std::uint8_t{0});
    for (std::int32_t i = 1; i <= count; ++i)
        if (inTable(link(i).childId))
            isChild[static_cast<std::size_t>(link(i).childId)] = 1;
    std::int32_t root = 0;
    for (std::int32_t i = 1; i <= count && root == 0; ++i) {
        const std::int32_t p = link(i).parentId;
        if (inTable(p) && !isChild[static_cast<std::size_t>(p)])
            root = p;
    }
    if (root != 0) {
        // Children of every region in link order.
        std::int32_t* offsets = atLeast(scratch.childOffsets, slots).data();
        std::fill_n(offsets, slots, 0);
        for (std::int32_t i = 1; i <= count; ++i)
            if (inTable(link(i).parentId))
                ++offsets[static_cast<std::size_t>(link(i).parentId) + 1];
        for (std::size_t id = 1; id < slots; ++id)
            offsets[id] += offsets[id - 1];
        std::int32_t* children =
            atLeast(scratch.children, static_cast<std::size_t>(offsets[slots - 1]) + 1).data();
        std::int32_t* fill = atLeast(scratch.fill, slots).data();
        std::copy_n(offsets, slots - 1, fill);
        tree.nodes.reserve(static_cast<std::size_t>(count) + 1);
        for (std::int32_t i = 1; i <= count; ++i)
            if (inTable(link(i).parentId))
                children[static_cast<std::size_t>(fill[static_cast<std::size_t>(link(i).parentId)]++)] =
                    link(i).childId;

        // Depth-first, each child's subtree before the next child; an explicit stack, as nesting can run
        // deep.
        struct Frame {
            std::int32_t regionId;
            std::int32_t node;
            std::int32_t next; // position in children
            std::int32_t depth;
        };
        tables.regionTable[static_cast<std::size_t>(root)].depth = 0;
        tree.nodes.push_back({root, -1, false});
        tree.nodeByRegion[static_cast<std::size_t>(root)] = 0;
        std::vector<Frame> stack{{root, 0, offsets[static_cast<std::size_t>(root)], 1}};
        const std::int32_t childCount = offsets[slots - 1];
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next == offsets[static_cast<std::size_t>(top.regionId) + 1]) {
                stack.pop_back();
                continue;
            }
            // Most children are leaves, so the children a few places on are met soon. Ids are handed out
            // again as regions merge, which scatters their entries: those are fetched ahead.
            if (const std::int32_t ahead = top.next + 32; ahead < childCount) {
                const std::int32_t id = children[static_cast<std::size_t>(ahead)];
                if (inTable(id)) {
                    __builtin_prefetch(tree.nodeByRegion.data() + id);
                    __builtin_prefetch(tables.regionTable.data() + id);
                    __builtin_prefetch(offsets + id);
                }
            }
            const std::int32_t child = children[static_cast<std::size_t>(top.next++)];
            if (!inTable(child) || tree.nodeByRegion[static_cast<std::size_t>(child)] != -1)
                continue; // already in the tree: skipped with its subtree
            tables.regionTable[static_cast<std::size_t>(child)].depth = top.depth;
            const auto node = static_cast<std::int32_t>(tree.nodes.size());
            tree.nodes.push_back({child, top.node, false});
            tree.nodeByRegion[static_cast<std::size_t>(child)] = node;
            tree.nodes[static_cast<std::size_t>(top.node)].expanded = true;
            const Frame next{child, node, offsets[static_cast<std::size_t>(child)], top.depth + 1};
            stack.push_back(next);
        }
    }

    // Children of each node, for the tree view's model.
    const std::size_t n = tree.nodes.size();
    tree.childOffsets.assign(n + 1, 0);
    for (const TreeNode& node : tree.nodes)
        if (node.parentNode >= 0)
            ++tree.childOffsets[static_cast<std::size_t>(node.parentNode) + 1];
    for (std::size_t i = 1; i <= n; ++i)
        tree.childOffsets[i] += tree.childOffsets[i - 1];
    tree.childNodes.resize(n > 0 ? n - 1 : 0);
    tree.rowInParent.assign(n, 0);
    std::int32_t* fill = atLeast(scratch.fill, n + 1).data();
    std::copy_n(tree.childOffsets.data(), n, fill);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t parent = tree.nodes[i].parentNode;
        if (parent < 0)
            continue;
        const std::int32_t slot = fill[static_cast<std::size_t>(parent)]++;
        tree.childNodes[static_cast<std::size_t>(slot)] = static_cast<std::int32_t>(i);
        tree.rowInParent[i] = slot - tree.childOffsets[static_cast<std::size_t>(parent)];
    }
    return tree;
}

RegionAnalysis parseRegions(const PixelGeometry& geometry, const std::uint8_t* bytes,
                            const ProgressCallback& progress, const ParseThreads& threads,
                            ParseScratch* scratch) {
    ParseScratch own;
    ParseScratch& used = scratch ? *scratch : own;
    RegionAnalysis analysis;
    PendingMapFill mapFill;
    analysis.tables = labelAndLink(geometry, bytes, progress, threads, mapFill, used.arrays());
    // The tree needs no label map: it is built while the map is filled.
    analysis.tree = buildRegionTree(analysis.tables, &used);
    mapFill.finish();
    return analysis;
}

void highlightRegion(PixelBuffer& buffer, const LabelMap& labelMap, std::int32_t regionId) {
    const PixelGeometry& g = buffer.geometry();
    const std::int32_t width = std::min(g.width, labelMap.width());
    const std::int32_t height = std::min(g.height, labelMap.height());
    const std::int64_t size = buffer.size();
    for (std::int32_t y = 1; y <= height; ++y) {
        const std::int32_t* cells = labelMap.row(y);
        for (std::int32_t x = 1; x <= width; ++x) {
            if (cells[x] != regionId)
                continue;
            const std::int64_t i = g.indexOf(x, y);
            // With fewer than three bytes a pixel, the colour runs on into the next pixels; it never runs
            // past the end of the buffer.
            const std::uint8_t colour[3] = {0, 255, 0};
            for (int b = 0; b < 3; ++b) {
                if (i + b > size)
                    return;
                buffer.at(i + b) = colour[b];
            }
        }
    }
}

} // namespace zelmar
