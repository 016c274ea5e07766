// The milling's worked examples with their exact moves, and the edge cases of the contour rules and of "Все"
// on small drawn images.

#include "image/image_layer.h"
#include "image/regions.h"
#include "mill/mill_job.h"
#include "mill/carving.h"
#include "image/image_session.h"
#include "mill/milling.h"
#include "mill/tool_shape.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace zelmar;

namespace {

struct Move {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    bool operator==(const Move&) const = default;
};

std::string movesText(const std::vector<Move>& moves) {
    std::string out;
    for (const Move& m : moves)
        out += " (" + std::to_string(m.x) + ", " + std::to_string(m.y) + ", " + std::to_string(m.z) + ")";
    return out;
}

// Carries out a plan as the runner does, move by move: sent while the box is ticked, a dry step otherwise; a
// step's mark painted once it is done.
class Host final {
public:
    void run(const RegionPlan& plan, ImageLayer& layer, ToolPosition& tool) {
        for (const PlannedMove& m : plan.moves) {
            moves.push_back({m.x, m.y, m.z});
            if (ticked)
                sent.push_back({m.x, m.y, m.z});
            else if (m.kind == MoveKind::Step)
                ++drySteps;
            if (!markMove(layer, m).isEmpty())
                ++stepsDone;
            tool = m.tool;
        }
    }

    bool ticked = true;
    std::vector<Move> moves;
    std::vector<Move> sent;
    int drySteps = 0;
    int stepsDone = 0;
};

// A 4-bytes-per-pixel image drawn as rows of '.' (white, 255), '#' (black, 0) or a digit d (first byte d *
// 25, a grey); the other bytes 7, 8, 9 so that a mark that spills over shows.
struct Drawing {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> bytes;

    explicit Drawing(const std::vector<std::string>& rows)
        : width(static_cast<std::int32_t>(rows.front().size())),
          height(static_cast<std::int32_t>(rows.size())) {
        for (const std::string& row : rows) {
            for (char c : row) {
                const int first = c == '.' ? 255 : c == '#' ? 0 : (c - '0') * 25;
                bytes.insert(bytes.end(), {static_cast<std::uint8_t>(first), 7, 8, 9});
            }
        }
    }
    PixelGeometry geometry() const { return PixelGeometry::of({width, height, 32}); }
};

// White w x h with black rectangles (columns x0..x1, rows y0..y1, 1-based).
std::vector<std::string> whiteWith(std::int32_t w, std::int32_t h,
                                   const std::vector<std::array<std::int32_t, 4>>& blackRects) {
    std::vector<std::string> rows(static_cast<std::size_t>(h), std::string(static_cast<std::size_t>(w), '.'));
    for (const auto& r : blackRects)
        for (std::int32_t y = r[1]; y <= r[3]; ++y)
            for (std::int32_t x = r[0]; x <= r[2]; ++x)
                rows[static_cast<std::size_t>(y - 1)][static_cast<std::size_t>(x - 1)] = '#';
    return rows;
}

// One parse and a milling setup around it.
struct Bench {
    Drawing drawing;
    RegionAnalysis analysis;
    MillIndex index;
    ImageLayer layer;
    ToolPosition tool;
    Host host;

    explicit Bench(const std::vector<std::string>& rows)
        : drawing(rows), analysis(parseRegions(drawing.geometry(), drawing.bytes.data())),
          index(MillIndex::build(analysis.tables)),
          layer(BitmapHeader{drawing.width, drawing.height, 32}, drawing.bytes) {}

    RegionTables& tables() { return analysis.tables; }
    std::int32_t idAt(std::int32_t x, std::int32_t y) const { return analysis.tables.labelMap.at(x, y); }
    void reindex() { index = MillIndex::build(analysis.tables); }

    std::vector<Move> mill(std::int32_t regionId) {
        host.moves.clear();
        host.sent.clear();
        TracedRegions traced;
        traced.trace(analysis.tables.labelMap, index, regionId);
        const RegionPlan plan = MillRegion(analysis.tables, index, layer, tool, regionId);
        if (traced.totalMoves() != static_cast<std::int64_t>(plan.moves.size()))
            QTest::qFail("the trace counts other moves than the plan has", __FILE__, __LINE__);
        host.run(plan, layer, tool);
        return host.moves;
    }

    // "Все" as the window runs it.
    std::vector<std::int32_t> millAll() {
        const std::vector<std::int32_t> order = millAllOrder(analysis.tables, index);
        for (std::int32_t r : order) {
            host.run(MillRegion(analysis.tables, index, layer, tool, r), layer, tool);
            analysis.tables.regionTable[static_cast<std::size_t>(r)].state = regionMilled;
        }
        return order;
    }

    const std::uint8_t* pixel(std::int32_t x, std::int32_t y) const {
        return layer.bits().data() + (drawing.geometry().indexOf(x, y) - 1);
    }
    bool isMarked(std::int32_t x, std::int32_t y) const {
        const std::uint8_t* p = pixel(x, y);
        return p[0] == 0 && p[1] == 0 && p[2] == 255;
    }
    // Untouched: the bytes as drawn.
    bool isAsDrawn(std::int32_t x, std::int32_t y) const {
        const std::uint8_t* p = pixel(x, y);
        const std::uint8_t* d = drawing.bytes.data() + (drawing.geometry().indexOf(x, y) - 1);
        return std::equal(p, p + 4, d);
    }
};

std::vector<Move> repeat(std::int32_t n, Move m) {
    return std::vector<Move>(static_cast<std::size_t>(n), m);
}

std::vector<Move> concat(std::initializer_list<std::vector<Move>> parts) {
    std::vector<Move> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

#define COMPARE_MOVES(actual, expected)                                                                      \
    do {                                                                                                     \
        const std::vector<Move> a_ = (actual), e_ = (expected);                                              \
        QVERIFY2(a_ == e_, ("moves:" + movesText(a_) + "\nexpected:" + movesText(e_)).c_str());              \
    } while (false)

// Black regions only: where each contour starts, that is where the tool stands before each plunge to 25.
std::vector<std::pair<std::int32_t, std::int32_t>> contourStarts(const std::vector<Move>& moves,
                                                                 std::int32_t x, std::int32_t y) {
    std::vector<std::pair<std::int32_t, std::int32_t>> starts;
    for (const Move& m : moves) {
        if (m == Move{0, 0, -25})
            starts.emplace_back(x, y);
        x += m.x;
        y += m.y;
    }
    return starts;
}

} // namespace

class MillingTest : public QObject {
    Q_OBJECT
private slots:
    void blockOfThreeByTwo() {
        Bench b(whiteWith(10, 10, {{5, 4, 7, 5}}));
        const std::int32_t block = b.idAt(5, 4);
        COMPARE_MOVES(b.mill(block), (std::vector<Move>{{4, 3, 0},
                                                        {0, 0, -25},
                                                        {1, 0, 0},
                                                        {1, 0, 0},
                                                        {0, 1, 0},
                                                        {-1, 0, 0},
                                                        {-1, 0, 0},
                                                        {0, -1, 0},
                                                        {0, 0, 25}}));
        QCOMPARE(b.tool.toolX, 5);
        QCOMPARE(b.tool.toolY, 4);
        QCOMPARE(b.tool.toolZ, 25);
        QCOMPARE(b.host.stepsDone, 6);
        // Every step marks the 3 x 3 block around it: columns 4..8, rows 3..6; the fourth byte stays.
        for (std::int32_t y = 1; y <= 10; ++y) {
            for (std::int32_t x = 1; x <= 10; ++x) {
                const bool inside = x >= 4 && x <= 8 && y >= 3 && y <= 6;
                QVERIFY2(inside ? b.isMarked(x, y) && b.pixel(x, y)[3] == 9 : b.isAsDrawn(x, y),
                         ("pixel " + std::to_string(x) + ", " + std::to_string(y)).c_str());
            }
        }
    }

    void ringWithAHole() {
        auto rows = whiteWith(10, 10, {{3, 3, 7, 6}});
        for (std::int32_t y = 4; y <= 5; ++y)
            for (std::int32_t x = 4; x <= 6; ++x)
                rows[static_cast<std::size_t>(y - 1)][static_cast<std::size_t>(x - 1)] = '.';
        Bench b(rows);
        const std::int32_t ring = b.idAt(3, 3), hole = b.idAt(4, 4);
        std::int32_t linksOfRing = 0;
        for (std::int32_t k = 1; k <= b.tables().linkCount; ++k)
            if (b.tables().linkTable[static_cast<std::size_t>(k)].parentId == ring) {
                QCOMPARE(b.tables().linkTable[static_cast<std::size_t>(k)].childId, hole);
                ++linksOfRing;
            }
        QCOMPARE(linksOfRing, 1);

        const std::vector<Move> expected =
            concat({{{3, 2, 0}, {0, 0, -25}},
                    {{-1, 1, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}, {1, 0, 0}},
                    {{1, -1, 0}, {0, -1, 0}, {-1, -1, 0}, {-1, 0, 0}, {-1, 0, 0}},
                    {{0, 0, 25}, {-1, 0, 0}, {0, 0, -25}},
                    repeat(4, {1, 0, 0}),
                    repeat(3, {0, 1, 0}),
                    repeat(4, {-1, 0, 0}),
                    repeat(3, {0, -1, 0}),
                    {{0, 0, 25}}});
        COMPARE_MOVES(b.mill(ring), expected);
        QCOMPARE(b.tool.toolX, 3);
        QCOMPARE(b.tool.toolY, 3);
    }

    void singlePixelStepsOutAndBack() {
        Bench b(whiteWith(10, 10, {{5, 5, 5, 5}}));
        b.tool = {1, 1, 0};
        // Out onto the white pixel up and to the right (depth 0), back onto the black one (depth 25).
        COMPARE_MOVES(b.mill(b.idAt(5, 5)),
                      (std::vector<Move>{{4, 4, 0}, {0, 0, -25}, {1, -1, 25}, {-1, 1, -25}, {0, 0, 25}}));
        for (std::int32_t y = 3; y <= 6; ++y)
            for (std::int32_t x = 4; x <= 7; ++x)
                QVERIFY((x == 4 && y == 3) || (x == 7 && y == 6) ? b.isAsDrawn(x, y) : b.isMarked(x, y));
    }

    void lineRunsToTheEndAndBack_data() {
        QTest::addColumn<int>("length");
        for (int n : {2, 3, 7})
            QTest::addRow("%d pixels", n) << n;
    }
    void lineRunsToTheEndAndBack() {
        QFETCH(int, length);
        Bench b(whiteWith(10, 5, {{2, 3, 1 + length, 3}}));
        COMPARE_MOVES(b.mill(b.idAt(2, 3)), concat({{{1, 2, 0}, {0, 0, -25}},
                                                    repeat(length - 1, {1, 0, 0}),
                                                    repeat(length - 1, {-1, 0, 0}),
                                                    {{0, 0, 25}}}));
    }

    void rectangleRunsClockwiseFromItsTopLeft_data() {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::newRow("2 x 2") << 2 << 2;
        QTest::newRow("5 x 2") << 5 << 2;
        QTest::newRow("2 x 6") << 2 << 6;
        QTest::newRow("4 x 3") << 4 << 3;
        QTest::newRow("filling the image") << 8 << 6;
    }
    void rectangleRunsClockwiseFromItsTopLeft() {
        QFETCH(int, w);
        QFETCH(int, h);
        const bool whole = w == 8 && h == 6;
        Bench b(whole ? whiteWith(8, 6, {{1, 1, 8, 6}}) : whiteWith(10, 10, {{3, 2, 2 + w, 1 + h}}));
        const std::int32_t x0 = whole ? 1 : 3, y0 = whole ? 1 : 2;
        COMPARE_MOVES(b.mill(b.idAt(x0, y0)), concat({{{x0 - 1, y0 - 1, 0}, {0, 0, -25}},
                                                      repeat(w - 1, {1, 0, 0}),
                                                      repeat(h - 1, {0, 1, 0}),
                                                      repeat(w - 1, {-1, 0, 0}),
                                                      repeat(h - 1, {0, -1, 0}),
                                                      {{0, 0, 25}}}));
    }

    // Pixels joined only through the frame column: the trace leaves the region above the dark pixel, walks
    // the right-hand pair to and fro, and ends when it is back in a state it was in, never at the start.
    void repeatedEndStateEndsTheContour() {
        Bench b({".#.."});
        COMPARE_MOVES(
            b.mill(b.idAt(1, 1)),
            (std::vector<Move>{
                {0, 0, 0}, {0, 0, 0}, {1, -1, 0}, {1, 1, 0}, {1, 0, 0}, {-1, 0, 0}, {1, 0, 0}, {0, 0, 0}}));
        QCOMPARE(b.tool.toolX, 4);
        QCOMPARE(b.tool.toolY, 1);
    }

    void threeChildrenGiveFourContoursInLinkOrder() {
        // Holes at row 3 (columns 6, 3) and row 5 (column 4): links come in raster order of first contact.
        auto rows = whiteWith(9, 7, {{2, 2, 8, 6}});
        for (auto [x, y] : {std::pair{6, 3}, std::pair{3, 3}, std::pair{4, 5}})
            rows[static_cast<std::size_t>(y - 1)][static_cast<std::size_t>(x - 1)] = '.';
        Bench b(rows);
        const std::int32_t block = b.idAt(2, 2);
        std::vector<std::pair<std::int32_t, std::int32_t>> expectedStarts;
        for (std::int32_t k = 1; k <= b.tables().linkCount; ++k) {
            const NestingLink& link = b.tables().linkTable[static_cast<std::size_t>(k)];
            if (link.parentId != block)
                continue;
            // The first block pixel in raster order with the hole directly below.
            for (std::int32_t y = 1, found = 0; y < 7 && !found; ++y)
                for (std::int32_t x = 1; x <= 9 && !found; ++x)
                    if (b.idAt(x, y) == block && b.idAt(x, y + 1) == link.childId) {
                        expectedStarts.emplace_back(x, y);
                        found = 1;
                    }
        }
        QCOMPARE(expectedStarts.size(), std::size_t(3));
        expectedStarts.emplace_back(2, 2);
        const std::vector<Move> moves = b.mill(block);
        std::int32_t plunges = 0, lifts = 0;
        for (std::size_t i = 0; i + 1 < moves.size(); ++i)
            plunges += moves[i].z == 0 && moves[i + 1] == Move{0, 0, -25};
        for (const Move& m : moves)
            lifts += m == Move{0, 0, 25};
        QCOMPARE(plunges, 4);
        QCOMPARE(lifts, 4);
        QCOMPARE(contourStarts(moves, 1, 1), expectedStarts);
    }

    // A neighbour that is never directly below the region has no start pixel: its contour is skipped whole,
    // and the links after it are still followed.
    void neighbourWithoutAStartPixelIsSkipped() {
        auto rows = whiteWith(12, 10, {{3, 3, 7, 6}, {10, 3, 11, 4}});
        for (std::int32_t y = 4; y <= 5; ++y)
            for (std::int32_t x = 4; x <= 6; ++x)
                rows[static_cast<std::size_t>(y - 1)][static_cast<std::size_t>(x - 1)] = '.';
        Bench whole(rows);
        const std::vector<Move> expected = whole.mill(whole.idAt(3, 3));

        Bench b(rows);
        const std::int32_t ring = b.idAt(3, 3), beside = b.idAt(10, 3), frame = b.idAt(1, 1);
        RegionTables& t = b.tables();
        // Links from the ring to the block beside it and to the white outside, ahead of the ring's own link.
        std::vector<NestingLink> links = {{beside, ring}, {frame, ring}};
        for (std::int32_t k = 1; k <= t.linkCount; ++k)
            links.push_back(t.linkTable[static_cast<std::size_t>(k)]);
        for (std::size_t k = 0; k < links.size(); ++k)
            t.linkTable[k + 1] = links[k];
        t.linkCount = static_cast<std::int32_t>(links.size());
        b.reindex();
        const std::vector<Move> moves = b.mill(ring);
        // The frame region is below the ring's bottom row: that contour is cut, around the outside.
        QVERIFY(!expected.empty());
        QVERIFY(moves.size() > expected.size());
        const std::vector<Move> tail(moves.end() - static_cast<std::ptrdiff_t>(expected.size()), moves.end());
        std::vector<Move> expectedTail = expected;
        expectedTail.front() = tail.front(); // the approach comes from elsewhere
        COMPARE_MOVES(tail, expectedTail);
        const auto starts = contourStarts(moves, 1, 1);
        QVERIFY(!starts.empty());
        QCOMPARE(starts.front(), std::make_pair(3, 6));
    }

    void dryRunSendsNothingAndMarksTheSame() {
        const auto rows = whiteWith(10, 10, {{2, 2, 6, 7}, {8, 8, 8, 8}});
        Bench real(rows), dry(rows);
        dry.host.ticked = false;
        const std::vector<Move> moves = real.mill(real.idAt(2, 2));
        QVERIFY(real.host.sent == moves);
        QCOMPARE(real.host.drySteps, 0);
        COMPARE_MOVES(dry.mill(dry.idAt(2, 2)), moves);
        QVERIFY(dry.host.sent.empty());
        QCOMPARE(dry.host.drySteps, static_cast<int>(moves.size()) - 3);
        QCOMPARE(dry.host.stepsDone, real.host.stepsDone);
        QVERIFY(dry.layer.bits() == real.layer.bits());
        QCOMPARE(dry.tool.toolX, real.tool.toolX);
        QCOMPARE(dry.tool.toolY, real.tool.toolY);
        QCOMPARE(dry.tool.toolZ, real.tool.toolZ);
    }

    // Depths come from the layer as it was on entry: the way back reads the same greys, not this call's
    // marks.
    void cutDepthsFollowTheMillLayerOnEntry() {
        // First bytes 0, 25, 50, 75, 100, 0: all dark, depths 25, 23, 20, 18, 15, 25 ((255 - b) div 10).
        Bench b({"........", ".01234#.", "........"});
        const std::vector<std::int32_t> depths = {25, 23, 20, 18, 15, 25, 15, 18, 20, 23, 25};
        std::vector<Move> expected = {{1, 1, 0}, {0, 0, -25}};
        for (std::size_t i = 1; i < depths.size(); ++i)
            expected.push_back({i <= 5 ? 1 : -1, 0, -(depths[i] - depths[i - 1])});
        expected.push_back({0, 0, 25});
        COMPARE_MOVES(b.mill(b.idAt(2, 2)), expected);
    }

    void secondMillingReadsItsOwnMarksAsFullDepth() {
        std::vector<std::string> rows(8, std::string(8, '#'));
        for (std::int32_t y = 3; y <= 4; ++y)
            for (std::int32_t x = 3; x <= 5; ++x)
                rows[static_cast<std::size_t>(y - 1)][static_cast<std::size_t>(x - 1)] = '.';
        Bench b(rows);
        const std::int32_t white = b.idAt(3, 3);
        const std::vector<Move> first = b.mill(white);
        COMPARE_MOVES(std::vector<Move>(first.begin(), first.begin() + 2),
                      (std::vector<Move>{{2, 2, 0}, {0, 0, 0}}));
        b.tool = {1, 1, 0};
        std::vector<Move> second = b.mill(white);
        QCOMPARE(second.size(), first.size());
        QCOMPARE(second[1], (Move{0, 0, -25}));
        for (std::size_t i = 2; i + 1 < second.size(); ++i)
            QCOMPARE(second[i].z, 0);
        QCOMPARE(second.back(), (Move{0, 0, 25}));
    }

    // A job reads its depths from the picture as loaded: the marks of an earlier milling, dry or real, deepen
    // nothing. Under the old rule they read as full depth.
    void marksDeepenACutOnlyUnderTheOldRule() {
        const Drawing grey({".........", ".44444...", ".44444...", ".44444...", ".........", ".........", "........."});
        ImageSession session;
        session.layers.sourceLayer = ImageLayer(BitmapHeader{grey.width, grey.height, 32}, grey.bytes);
        session.layers.workLayer = session.layers.sourceLayer;
        session.layers.millLayer = session.layers.sourceLayer;
        parseImage(session);
        QVERIFY(selectNode(session, "P" + std::to_string(session.regions->tables.labelMap.at(2, 2))));
        const auto millSelected = [&session](bool marksAsDepth) {
            MillIndexCache cache;
            MillJob job(MillKind::Selected, session, ToolPosition{}, cache);
            MillSettings settings;
            settings.marksAsDepth = marksAsDepth;
            job.setSettings(settings);
            std::vector<Move> moves;
            while (const PlannedMove* m = job.next()) {
                moves.push_back({m->x, m->y, m->z});
                job.complete();
            }
            return moves;
        };
        const std::vector<Move> first = millSelected(false);
        QCOMPARE(first[1], (Move{0, 0, -15})); // (255 - 100) div 10
        QVERIFY(millLayerMarked(session));
        COMPARE_MOVES(millSelected(false), first);
        const std::vector<Move> literal = millSelected(true);
        QCOMPARE(literal.size(), first.size());
        QCOMPARE(literal[1], (Move{0, 0, -25}));
    }

    // Marks at the image's edge are clipped: nothing lands at the start of the next row.
    void marksAtTheEdgeDoNotWrap() {
        Bench b({"....", "...#", "....", "...."});
        b.mill(b.idAt(4, 2));
        // Steps to (5, 1), outside, and back to (4, 2).
        for (std::int32_t y = 1; y <= 4; ++y)
            for (std::int32_t x = 1; x <= 4; ++x)
                QVERIFY2(x >= 3 && y <= 3 ? b.isMarked(x, y) : b.isAsDrawn(x, y),
                         ("pixel " + std::to_string(x) + ", " + std::to_string(y)).c_str());
        QCOMPARE(b.host.moves[2], (Move{1, -1, 25}));
    }

    void aRegionWithoutPixelsIsNotCut() {
        Bench b(whiteWith(6, 6, {{2, 2, 3, 3}}));
        const std::vector<std::uint8_t> before = b.layer.bits();
        b.tool = {4, 5, 7};
        for (std::int32_t id : {0, -3, b.tables().regionTableSize() + 1, 99999}) {
            QVERIFY(b.mill(id).empty());
            QCOMPARE(b.host.stepsDone, 0);
        }
        QCOMPARE(b.tool.toolX, 4);
        QCOMPARE(b.tool.toolY, 5);
        QCOMPARE(b.tool.toolZ, 7);
        QVERIFY(b.layer.bits() == before);
    }

    void millAllGoesDeepestFirstThenInRasterOrder() {
        // A dark ring whose hole holds a dark dot; two separate dark blocks, the right one higher.
        auto rows = whiteWith(14, 9, {{2, 3, 6, 7}, {9, 5, 10, 6}, {12, 2, 13, 3}});
        for (std::int32_t y = 4; y <= 6; ++y)
            for (std::int32_t x = 3; x <= 5; ++x)
                rows[static_cast<std::size_t>(y - 1)][static_cast<std::size_t>(x - 1)] = '.';
        rows[4][3] = '#';
        Bench b(rows);
        const std::int32_t ring = b.idAt(2, 3), dot = b.idAt(4, 5), left = b.idAt(9, 5),
                           right = b.idAt(12, 2);
        const std::vector<std::int32_t> order = b.millAll();
        QCOMPARE(order, (std::vector<std::int32_t>{dot, right, ring, left}));
        for (std::int32_t r : order)
            QCOMPARE(b.tables().regionTable[static_cast<std::size_t>(r)].state, regionMilled);
        QVERIFY(b.tables().regionTable[static_cast<std::size_t>(b.idAt(1, 1))].state == regionLive);
        // Again without a parse: nothing left.
        b.host.moves.clear();
        QVERIFY(b.millAll().empty());
        QVERIFY(b.host.moves.empty());
    }

    void afterAGradientOnlyOuterContoursAndNothingForAll() {
        auto rows = whiteWith(10, 10, {{3, 3, 7, 6}});
        for (std::int32_t x = 4; x <= 6; ++x)
            rows[3][static_cast<std::size_t>(x - 1)] = '.';
        Bench b(rows);
        const std::int32_t ring = b.idAt(3, 3);
        RegionTables& t = b.tables();
        t.linkCount = 150; // as a big parse left it
        t.regionTable.assign(101, RegionRecord{});
        t.linkTable.assign(101, NestingLink{});
        b.reindex();
        QVERIFY(b.millAll().empty());
        const std::vector<Move> moves = b.mill(ring);
        QCOMPARE(contourStarts(moves, 1, 1).size(), std::size_t(1));
        QCOMPARE(moves.front(), (Move{2, 2, 0}));
        QCOMPARE(moves.size(), std::size_t(2 + 14 + 1));
    }

    // The extra turn after a diagonal step starts the next search 90 degrees counter-clockwise of it: after
    // the step south-east to (3, 3) the trace goes north-east to (4, 2), where a search from 45 degrees would
    // go east to (4, 3) first.
    void aDiagonalStepTurnsOnceMore() {
        Bench b({"......", ".#.#..", "..##..", "......"});
        COMPARE_MOVES(b.mill(b.idAt(2, 2)), (std::vector<Move>{{1, 1, 0},
                                                               {0, 0, -25},
                                                               {1, 1, 0},
                                                               {1, -1, 0},
                                                               {0, 1, 0},
                                                               {-1, 0, 0},
                                                               {-1, -1, 0},
                                                               {0, 0, 25}}));
    }

    // "Выделенная" declares the tool to stand over pixel (1, 1) before it starts; "Все" starts from wherever
    // the tool is.
    void selectedStartsAtTheTopLeftPixelAndAllWhereTheToolIs() {
        Bench b(whiteWith(10, 10, {{5, 4, 7, 5}}));
        ImageSession session;
        session.layers.millLayer = b.layer;
        session.regions = std::make_shared<RegionAnalysis>(b.analysis);
        session.selectedNode = session.regions->tree.nodeOfRegion(b.idAt(5, 4));
        QVERIFY(session.selectedNode >= 0);
        MillIndexCache cache;
        const ToolPosition elsewhere{9, 8, 3};
        MillJob selected(MillKind::Selected, session, elsewhere, cache);
        QCOMPARE(selected.next()->x, 4);
        QCOMPARE(selected.next()->y, 3);
        MillJob all(MillKind::All, session, elsewhere, cache);
        QCOMPARE(all.next()->x, -4);
        QCOMPARE(all.next()->y, -4);
        QCOMPARE(all.next()->z, 0);
        // Neither changes the tool a caller keeps before a move is done.
        QCOMPARE(all.tool().toolX, 9);
    }

    // A shaped tool keeps the one-pixel tool's path in X and Y; where it stops it goes exactly as deep as no part
    // of the tool goes below the picture as the milling began (every pixel it covers, one by one, and the
    // untouched stock beyond the picture), however the layer is laid out in memory, even where the move there goes
    // as a staircase; a tool that could cut nowhere below the surface traces nothing. The carving of the job, with
    // the same tool swept along its moves, then lies nowhere below the picture.
    void aShapedToolKeepsThePathAndStaysAboveThePicture() {
        // The tool's heights at known distances, worked out by hand (0.1 mm a pixel): a ball of radius r
        // stands r - sqrt(r^2 - d^2) above its tip, a V-bit d / tan(A / 2), a flat end nothing; a pixel whose
        // centre is on the rim is covered even when the radius comes out a hair short of a whole number.
        struct Height {
            const char* word;
            std::int64_t reachSquared;
            std::int64_t squaredDistance;
            double height;
            std::int32_t units;
        };
        for (const Height& h :
             {Height{"ball:1", 25, 9, 1, 1}, Height{"ball:1", 25, 16, 2, 2},
              Height{"ball:1", 25, 1, 0.1010205, 0}, Height{"ball:1", 25, 25, 5, 5},
              Height{"ball:0.6", 9, 5, 1, 1}, Height{"ball:0.6", 9, 9, 3, 3},
              Height{"v:1.2:60", 36, 1, 1.7320508, 1}, Height{"v:1.2:60", 36, 4, 3.4641016, 3},
              Height{"v:1.2:60", 36, 25, 8.6602540, 8}, Height{"v:1:120", 25, 25, 2.8867513, 2},
              Height{"v:1:120", 25, 9, 1.7320508, 1}, Height{"flat:0.5", 6, 5, 0, 0},
              Height{"flat:0.5", 6, 0, 0, 0}, Height{"flat:0.05", 0, 0, 0, 0}}) {
            const ToolProfile tool(*toolShapeOf(h.word), 0.1);
            const std::string where = std::string(h.word) + " at " + std::to_string(h.squaredDistance);
            QVERIFY2(tool.reachSquared() == h.reachSquared, where.c_str());
            QVERIFY2(tool.coversOnePixel() == (h.reachSquared == 0), where.c_str());
            QVERIFY2(std::abs(tool.heightAbove(double(h.squaredDistance)) - h.height) < 1e-6, where.c_str());
            QVERIFY2(tool.unitsAbove(h.squaredDistance) == h.units, where.c_str());
        }
        std::vector<std::string> rows = whiteWith(26, 17, {{2, 3, 10, 14}, {14, 5, 24, 9}, {16, 12, 17, 17}});
        rows[5].replace(3, 4, "4433");
        rows[10].replace(5, 3, "111");
        rows[6].replace(16, 5, "22#77");
        Bench b(rows);
        const auto depthAt = [&b](std::int32_t x, std::int32_t y) {
            return x < 1 || y < 1 || x > b.drawing.width || y > b.drawing.height ? 0 : cutDepthOf(*b.pixel(x, y));
        };
        const auto runAll = [&b](const ToolProfile& tool) {
            ImageSession session;
            session.layers.millLayer = b.layer;
            session.regions = std::make_shared<RegionAnalysis>(b.analysis);
            MillIndexCache cache;
            MillJob job(MillKind::All, session, ToolPosition{}, cache);
            job.setSettings({2, tool});
            std::vector<PlannedMove> moves;
            while (const PlannedMove* m = job.next()) {
                moves.push_back(*m);
                job.complete();
            }
            return moves;
        };
        const std::vector<PlannedMove> plain = runAll({});
        std::set<std::pair<std::int32_t, std::int32_t>> path;
        for (const PlannedMove& m : plain)
            if (m.kind == MoveKind::Step)
                path.insert({m.tool.toolX, m.tool.toolY});
        int carved = 0;
        for (const char* word : {"ball:0.6", "flat:0.5", "v:0.8:90", "ball:9"}) {
            const ToolProfile tool(*toolShapeOf(word), 0.1);
            const std::vector<PlannedMove> shaped = runAll(tool);
            const std::int32_t reach = static_cast<std::int32_t>(std::sqrt(double(tool.reachSquared())));
            const auto deepestAt = [&](std::int32_t x, std::int32_t y) {
                std::int32_t deepest = depthAt(x, y);
                for (std::int32_t dy = -reach; dy <= reach; ++dy)
                    for (std::int32_t dx = -reach; dx <= reach; ++dx)
                        if (dx * dx + dy * dy <= tool.reachSquared())
                            deepest = std::min(deepest, depthAt(x + dx, y + dy) + tool.unitsAbove(dx * dx + dy * dy));
                return deepest;
            };
            // The shaped tool keeps to the path; where it stops it goes as deep as it may there, never deeper,
            // even when a move that would cut on the way goes as a staircase.
            int raised = 0;
            for (std::size_t i = 0; i < shaped.size(); ++i) {
                const PlannedMove& m = shaped[i];
                if (m.kind != MoveKind::Step && m.kind != MoveKind::Plunge)
                    continue;
                const std::int32_t deepest = deepestAt(m.tool.toolX, m.tool.toolY);
                QVERIFY2(m.tool.toolZ <= deepest, (std::string(word) + " at move " + std::to_string(i)).c_str());
                if (m.x == 0 && m.y == 0)
                    continue;
                QVERIFY(path.count({m.tool.toolX, m.tool.toolY}) == 1 && std::abs(m.x) <= 1 && std::abs(m.y) <= 1);
                std::int32_t reached = m.tool.toolZ;
                for (std::size_t j = i + 1; j < shaped.size() && shaped[j].x == 0 && shaped[j].y == 0 &&
                                            shaped[j].kind != MoveKind::Lift;
                     ++j)
                    reached = std::max(reached, shaped[j].tool.toolZ);
                QVERIFY2(reached == deepest, (std::string(word) + " stops short at move " + std::to_string(i)).c_str());
                raised += deepest < depthAt(m.tool.toolX, m.tool.toolY);
            }
            if (std::string(word) == "ball:9") { // nowhere below the surface: no contour is traced at all
                QVERIFY(shaped.empty());
                continue;
            }
            QVERIFY2(raised > 0, word);
            Carving carving(b.drawing.width, b.drawing.height, tool);
            for (const PlannedMove& m : shaped)
                carving.take(m);
            for (std::int32_t y = 1; y <= b.drawing.height; ++y)
                for (std::int32_t x = 1; x <= b.drawing.width; ++x)
                    QVERIFY2(carving.depthAt(x - 1, y - 1) <= static_cast<float>(depthAt(x, y)) + 1e-4f,
                             (std::string(word) + " cuts below the picture at " + std::to_string(x) + ", " +
                              std::to_string(y)).c_str());
            carved += carving.deepest() > 0 ? 1 : 0;
        }
        QVERIFY(carved >= 3); // the widest tool reaches the stock beyond the picture wherever it stands
        // Today's tool carves its pixel only, as deep as its deepest move there.
        Carving pixel(b.drawing.width, b.drawing.height, ToolProfile{});
        std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> deepest;
        for (const PlannedMove& m : plain) {
            pixel.take(m);
            if (m.kind == MoveKind::Step || m.kind == MoveKind::Plunge) {
                std::int32_t& d = deepest[{m.tool.toolX, m.tool.toolY}];
                d = std::max(d, m.tool.toolZ);
            }
        }
        for (std::int32_t y = 1; y <= b.drawing.height; ++y)
            for (std::int32_t x = 1; x <= b.drawing.width; ++x) {
                const auto at = deepest.find({x, y});
                QCOMPARE(pixel.depthAt(x - 1, y - 1),
                         static_cast<float>(at == deepest.end() ? 0 : at->second));
            }
    }

    void depthsStayThoseOfTheStartWhenAMillingPaintsThousands() {
        // A dark square full of light slits: one milling cuts around 49 holes and paints far more pixels than
        // the small table of painted depths holds, so it moves them to the per-pixel arrays mid-milling. The
        // mill layer is one grey (depth 15) throughout: every depth read must still say 15, never the 25 of a
        // pixel painted earlier in the same milling.
        std::vector<std::string> rows(200, std::string(200, '#'));
        for (int y = 3; y <= 197; ++y)
            for (int x = 3; x <= 197; x += 4)
                rows[std::size_t(y - 1)][std::size_t(x - 1)] = '.';
        const Drawing drawing(rows);
        RegionAnalysis a = parseRegions(drawing.geometry(), drawing.bytes.data());
        const std::int32_t dark = a.tables.labelMap.at(1, 1);
        const MillIndex index = MillIndex::build(a.tables);
        std::vector<std::uint8_t> grey(drawing.bytes.size(), 105);
        ImageLayer mill({200, 200, 32}, grey);
        ToolPosition tool;
        Host host;
        host.run(MillRegion(a.tables, index, mill, tool, dark), mill, tool);
        int plunges = 0;
        int steps = 0;
        for (const Move& m : host.moves) {
            if (m.x == 0 && m.y == 0 && m.z != 0) {
                plunges += m.z < 0 ? 1 : 0;
                QCOMPARE(std::abs(m.z), 15); // plunges and lifts of 15
            } else if (m.x != 0 || m.y != 0) {
                QCOMPARE(m.z, 0);
                ++steps;
            }
        }
        QCOMPARE(plunges, 50); // 49 holes and the outer edge
        QVERIFY(steps > 16384 / 3);
        // And the layer itself is painted where the path ran.
        QCOMPARE(int(mill.bits()[std::size_t(mill.geometry().indexOf(2, 3) - 1)]), 0);
    }
};

QTEST_APPLESS_MAIN(MillingTest)
#include "test_milling.moc"
