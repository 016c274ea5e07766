// Labelling, links, tree and highlight on the worked examples and edge cases, where the exact ids, tables and
// tree are known by hand.

#include "image/free_ids.h"
#include "image/regions.h"

#include <QTest>

#include <random>
#include <set>
#include <string>
#include <vector>

using namespace zelmar;

namespace {

// An image from rows of 'D' (dark, first byte 0) and 'L' (light, 255), 'a' (first byte 100, dark) and 'b'
// (101, light); every other byte is 0x55.
struct Picture {
    PixelGeometry geometry;
    std::vector<std::uint8_t> bytes;
};

Picture picture(const std::vector<std::string>& rows, std::int16_t bits = 32) {
    Picture p;
    p.geometry = PixelGeometry::of(
        {static_cast<std::int32_t>(rows[0].size()), static_cast<std::int32_t>(rows.size()), bits});
    p.bytes.assign(static_cast<std::size_t>(p.geometry.byteCount()), 0x55);
    for (std::size_t y = 0; y < rows.size(); ++y)
        for (std::size_t x = 0; x < rows[y].size(); ++x) {
            const char c = rows[y][x];
            const std::uint8_t first = c == 'D' ? 0 : c == 'L' ? 255 : c == 'a' ? 100 : 101;
            p.bytes[static_cast<std::size_t>(p.geometry.indexOf(int(x) + 1, int(y) + 1) - 1)] = first;
        }
    return p;
}

RegionAnalysis parse(const Picture& p) {
    return parseRegions(p.geometry, p.bytes.data());
}

std::vector<std::vector<std::int32_t>> pixelIds(const LabelMap& map) {
    std::vector<std::vector<std::int32_t>> rows;
    for (std::int32_t y = 1; y <= map.height(); ++y)
        rows.emplace_back(map.row(y) + 1, map.row(y) + map.width() + 1);
    return rows;
}

std::vector<std::int32_t> frameIds(const LabelMap& map) {
    std::vector<std::int32_t> ids(map.row(0), map.row(0) + map.width() + 1);
    for (std::int32_t y = 1; y <= map.height(); ++y)
        ids.push_back(map.at(0, y));
    return ids;
}

std::vector<NestingLink> links(const RegionTables& t) {
    return {t.linkTable.begin() + 1, t.linkTable.begin() + 1 + t.linkCount};
}

std::vector<std::int32_t> liveIds(const RegionTables& t) {
    std::vector<std::int32_t> ids;
    for (std::int32_t id = 1; id <= t.regionTableSize(); ++id)
        if (t.isLive(id))
            ids.push_back(id);
    return ids;
}

// (region id, parent region id or 0, expanded) of every node in the order added.
struct NodeView {
    std::int32_t id;
    std::int32_t parentId;
    bool expanded;
    bool operator==(const NodeView&) const = default;
};

std::vector<NodeView> nodes(const RegionTree& tree) {
    std::vector<NodeView> out;
    for (const TreeNode& n : tree.nodes)
        out.push_back({n.regionId,
                       n.parentNode < 0 ? 0 : tree.nodes[static_cast<std::size_t>(n.parentNode)].regionId,
                       n.expanded});
    return out;
}

std::int32_t depthOf(const RegionAnalysis& a, std::int32_t id) {
    return a.tables.regionTable[static_cast<std::size_t>(id)].depth;
}

} // namespace

namespace zelmar {
char* toString(const NestingLink& l) {
    return qstrdup(QByteArray("(parent ") + QByteArray::number(l.parentId) + ", child " +
                   QByteArray::number(l.childId) + ")");
}
} // namespace zelmar

class RegionsTest : public QObject {
    Q_OBJECT
private slots:
    void workedExampleGivesUpTheFrameId() {
        const RegionAnalysis a = parse(picture({"DDDD", "DLLD", "LLLD"}));
        const LabelMap& map = a.tables.labelMap;
        QCOMPARE(pixelIds(map),
                 (std::vector<std::vector<std::int32_t>>{{2, 2, 2, 2}, {2, 3, 3, 2}, {3, 3, 3, 2}}));
        QCOMPARE(frameIds(map), std::vector<std::int32_t>(8, 3)); // the frame carries the id that holds it
        QCOMPARE(a.tables.regionTableSize(), 100);
        QCOMPARE(a.tables.regionTable[1], (RegionRecord{0, true, regionFree})); // freed, class kept
        QCOMPARE(a.tables.regionTable[2], (RegionRecord{0, false, regionLive}));
        QCOMPARE(a.tables.regionTable[3], (RegionRecord{1, true, regionLive}));
        QCOMPARE(links(a.tables), (std::vector<NestingLink>{{3, 2}}));
        QCOMPARE(a.tables.linkTableSize(), 100);
        QCOMPARE(nodes(a.tree), (std::vector<NodeView>{{2, 0, true}, {3, 2, false}}));
        QCOMPARE(depthOf(a, 2), 0);
    }

    void aFreedFrameIdIsHandedOutAgain() {
        // As the worked example, then a dark pixel that touches nothing dark: it gets the lowest free id, 1.
        const RegionAnalysis a = parse(picture({"DDDD", "DLLD", "LLLD", "LLDL"}));
        QCOMPARE(a.tables.labelMap.at(3, 4), 1);
        QCOMPARE(a.tables.regionTable[1], (RegionRecord{a.tables.regionTable[1].depth, false, regionLive}));
        QCOMPARE(a.tables.labelMap.at(4, 4), 3); // light, joined through the falling diagonal
    }

    void oneClassOnly() {
        const RegionAnalysis light = parse(picture({"LLL", "LLL"}));
        QCOMPARE(pixelIds(light.tables.labelMap),
                 (std::vector<std::vector<std::int32_t>>{{1, 1, 1}, {1, 1, 1}}));
        QCOMPARE(light.tables.linkCount, 0);
        QVERIFY(light.tree.isEmpty());
        QCOMPARE(liveIds(light.tables), std::vector<std::int32_t>{1});

        const RegionAnalysis dark = parse(picture({"DDD", "DDD"}));
        QCOMPARE(pixelIds(dark.tables.labelMap),
                 (std::vector<std::vector<std::int32_t>>{{2, 2, 2}, {2, 2, 2}}));
        QCOMPARE(frameIds(dark.tables.labelMap), std::vector<std::int32_t>(6, 1));
        QCOMPARE(dark.tables.linkCount, 0); // the frame column is never compared
        QVERIFY(dark.tree.isEmpty());
    }

    void darkSquareInTheMiddle() {
        const RegionAnalysis a = parse(picture({"LLLL", "LDDL", "LDDL", "LLLL"}));
        QCOMPARE(links(a.tables), (std::vector<NestingLink>{{2, 1}}));
        QCOMPARE(nodes(a.tree), (std::vector<NodeView>{{1, 0, true}, {2, 1, false}}));
        QCOMPARE(depthOf(a, 1), 0);
        QCOMPARE(depthOf(a, 2), 1);
        QCOMPARE(nodeKey(2), std::string("P2"));
    }

    void onlyTheFallingDiagonalJoins() {
        const RegionAnalysis falling = parse(picture({"DL", "LD"}));
        QCOMPARE(falling.tables.labelMap.at(1, 1), falling.tables.labelMap.at(2, 2));
        const RegionAnalysis rising = parse(picture({"LD", "DL"}));
        QVERIFY(rising.tables.labelMap.at(2, 1) != rising.tables.labelMap.at(1, 2));
        // The light pixels of the rising case both touch the frame; of the falling case only (2, 1) and (1,
        // 2) touch it, and they are joined through it.
        QCOMPARE(rising.tables.labelMap.at(1, 1), rising.tables.labelMap.at(2, 2));
    }

    void thresholdIsBetween100And101() {
        const RegionAnalysis a = parse(picture({"bbb", "bab", "bbb"}));
        QCOMPARE(a.tables.labelMap.at(2, 2), 2);
        QCOMPARE(a.tables.regionTable[2].isLight, false);
        QCOMPARE(liveIds(a.tables), (std::vector<std::int32_t>{1, 2}));
    }

    void everyDepthOfPixelWorks() {
        // Same picture in 1, 2, 3 and 4 bytes per pixel (odd width: padded rows for 1 and 3 bytes) gives the
        // same result.
        const std::vector<std::string> rows{"LLLLL", "LDDDL", "LDLDL", "LDDDL", "LLLLD"};
        const RegionAnalysis four = parse(picture(rows, 32));
        for (std::int16_t bits : {std::int16_t{8}, std::int16_t{16}, std::int16_t{24}}) {
            const RegionAnalysis other = parse(picture(rows, bits));
            QCOMPARE(other.tables.labelMap, four.tables.labelMap);
            QCOMPARE(links(other.tables), links(four.tables));
            QCOMPARE(nodes(other.tree), nodes(four.tree));
        }
    }

    void ringWithAHoleNestsThreeDeep() {
        const RegionAnalysis a = parse(picture({"LLLLLL", "LDDDDL", "LDLLDL", "LDLLDL", "LDDDDL", "LLLLLL"}));
        QCOMPARE(nodes(a.tree), (std::vector<NodeView>{{1, 0, true}, {2, 1, true}, {3, 2, false}}));
        QCOMPARE(depthOf(a, 3), 2);
        QCOMPARE(a.tables.linkCount, 2); // the right-hand boundaries are known pairs in reverse
    }

    void childrenFollowTheirFirstBoundary() {
        // Side by side: left first. Different top rows: the higher one first, though it stands to the right.
        const RegionAnalysis side = parse(picture({"LLLLLLL", "LDDLDDL", "LDDLDDL", "LLLLLLL"}));
        QCOMPARE(nodes(side.tree), (std::vector<NodeView>{{1, 0, true}, {2, 1, false}, {3, 1, false}}));
        QCOMPARE(side.tables.labelMap.at(2, 2), 2);
        const RegionAnalysis stepped =
            parse(picture({"LLLLLLL", "LLLLDDL", "LDDLDDL", "LDDLLLL", "LLLLLLL"}));
        QCOMPARE(stepped.tables.labelMap.at(5, 2), 2);
        QCOMPARE(stepped.tables.labelMap.at(2, 3), 3);
        QCOMPARE(nodes(stepped.tree), (std::vector<NodeView>{{1, 0, true}, {2, 1, false}, {3, 1, false}}));
    }

    void stripesLinkNothing() {
        // The light stripes all reach the frame column, so they are one region with the frame.
        const RegionAnalysis a = parse(picture({"LLLL", "DDDD", "LLLL", "DDDD"}));
        QCOMPARE(liveIds(a.tables), (std::vector<std::int32_t>{1, 2, 3}));
        QCOMPARE(a.tables.linkCount, 0);
        QVERIFY(a.tree.isEmpty());
    }

    void barsAlongTheLeftEdge() {
        // One bar down the whole left edge: it is the root and the background its child.
        const RegionAnalysis one = parse(picture({"DLLLL", "DLDLL", "DLLLL"}));
        const std::int32_t bar = one.tables.labelMap.at(1, 1);
        const std::int32_t background = one.tables.labelMap.at(2, 1);
        const std::int32_t dot = one.tables.labelMap.at(3, 2);
        QCOMPARE(nodes(one.tree),
                 (std::vector<NodeView>{{bar, 0, true}, {background, bar, true}, {dot, background, false}}));
        QCOMPARE(depthOf(one, dot), 2);

        // Two bars: the upper is the root; the lower is also a parent of the background but gets no node.
        std::vector<std::string> rows(11, "LLLL");
        for (int y : {2, 3, 4})
            rows[static_cast<std::size_t>(y)] = "DLLL";
        for (int y : {7, 8, 9})
            rows[static_cast<std::size_t>(y)] = "DLLL";
        const RegionAnalysis two = parse(picture(rows));
        const std::int32_t upper = two.tables.labelMap.at(1, 3);
        const std::int32_t lower = two.tables.labelMap.at(1, 8);
        QCOMPARE(nodes(two.tree),
                 (std::vector<NodeView>{{upper, 0, true}, {two.tables.labelMap.at(2, 1), upper, false}}));
        QCOMPARE(two.tree.nodeOfRegion(lower), -1);
        QCOMPARE(depthOf(two, lower), 0);
    }

    void tablesDoubleWhenFull() {
        // 101 dark dots: ids 2..102, so the 101st region made gets id 101 and the table grows to 200; each
        // dot adds one link (parent 1), so the 101st link grows the link table to 200 as well.
        std::string dots(203, 'L');
        for (std::size_t x = 1; x < dots.size(); x += 2)
            dots[x] = 'D';
        const RegionAnalysis a = parse(picture({std::string(203, 'L'), dots, std::string(203, 'L')}));
        QCOMPARE(a.tables.regionTable[101], (RegionRecord{1, false, regionLive}));
        QCOMPARE(a.tables.regionTable[102], (RegionRecord{1, false, regionLive}));
        QCOMPARE(a.tables.regionTableSize(), 200);
        QCOMPARE(a.tables.linkCount, 101);
        QCOMPARE(a.tables.linkTableSize(), 200);
        QCOMPARE(a.tables.linkTable[101], (NestingLink{102, 1}));
        QCOMPARE(a.tree.nodes.size(), std::size_t{102});

        std::string hundred(200, 'L');
        for (std::size_t x = 1; x < hundred.size(); x += 2)
            hundred[x] = 'D';
        const RegionAnalysis exact = parse(picture({hundred}));
        QCOMPARE(exact.tables.linkCount, 100);
        QCOMPARE(exact.tables.linkTableSize(), 100);
        QCOMPARE(exact.tables.regionTableSize(), 200); // 1 + 100 dots = 101 regions
    }

    void parsingTwiceGivesTheSameResult() {
        const Picture p = picture({"LDLDDL", "DDLLDL", "LLDLDD", "DLLDLL"});
        const RegionAnalysis a = parse(p);
        const RegionAnalysis b = parse(p);
        QCOMPARE(a.tables.labelMap, b.tables.labelMap);
        QCOMPARE(a.tables.regionTable, b.tables.regionTable);
        QCOMPARE(links(a.tables), links(b.tables));
        QCOMPARE(nodes(a.tree), nodes(b.tree));
    }

    // Progress comes every 256 rows and at the end, in order, whichever thread scanned the rows; and the
    // result is the same.
    void progressAndResultDoNotDependOnTheSecondThread() {
        std::mt19937 random(3);
        std::vector<std::string> rows(1100, std::string(9, 'L'));
        for (std::string& row : rows)
            for (char& c : row)
                c = random() % 2 ? 'D' : 'L';
        const Picture p = picture(rows);
        const std::vector<double> expected{256 / 1100.0, 512 / 1100.0, 768 / 1100.0, 1024 / 1100.0, 1.0};
        std::vector<double> seen;
        const ProgressCallback record = [&seen](double done) { seen.push_back(done); };
        const RegionAnalysis alone = parseRegions(p.geometry, p.bytes.data(), record);
        QCOMPARE(seen, expected);
        for (const ParseThreads threads : {ParseThreads{0, 0, -1}, ParseThreads{0, 300, 200},
                                           ParseThreads{0, 257, 1000}, ParseThreads{0, 1100, 1}}) {
            seen.clear();
            const RegionAnalysis shared = parseRegions(p.geometry, p.bytes.data(), record, threads);
            QCOMPARE(seen, expected);
            QCOMPARE(shared.tables.labelMap, alone.tables.labelMap);
            QCOMPARE(shared.tables.regionTable, alone.tables.regionTable);
            QCOMPARE(links(shared.tables), links(alone.tables));
            QCOMPARE(nodes(shared.tree), nodes(alone.tree));
        }
    }

    // The room a parse pages in ahead for its tables and tree follows an estimate from the rows scanned
    // first, and is kept in the scratch until used. Whether the estimate is far too small (plain rows above
    // noise), far too big (noise above plain rows), or the room is left over from another picture (a
    // labelling without its tree), the results are those of a fresh parse.
    void roomPreparedAheadNeverShowsInTheResult() {
        std::mt19937 random(11);
        const auto rowsOf = [&random](int count, bool noise) {
            std::vector<std::string> rows(static_cast<std::size_t>(count), std::string(150, 'L'));
            for (std::string& row : rows)
                for (char& c : row)
                    c = noise && random() % 2 ? 'D' : 'L';
            return rows;
        };
        const auto stacked = [](std::vector<std::string> top, const std::vector<std::string>& bottom) {
            top.insert(top.end(), bottom.begin(), bottom.end());
            return top;
        };
        const Picture plainOverNoise = picture(stacked(rowsOf(200, false), rowsOf(200, true)));
        const Picture noiseOverPlain = picture(stacked(rowsOf(200, true), rowsOf(200, false)));
        const Picture smallNoise = picture(rowsOf(40, true));
        ParseScratch scratch;
        const auto checkSame = [](const RegionAnalysis& a, const RegionAnalysis& fresh) {
            QCOMPARE(a.tables.labelMap, fresh.tables.labelMap);
            QCOMPARE(a.tables.regionTable, fresh.tables.regionTable);
            QCOMPARE(links(a.tables), links(fresh.tables));
            QCOMPARE(nodes(a.tree), nodes(fresh.tree));
            QCOMPARE(a.tree.childNodes, fresh.tree.childNodes);
            QCOMPARE(a.tree.rowInParent, fresh.tree.rowInParent);
        };
        // The last: one thread, nothing prepared ahead, on arrays the parses before have written.
        for (const ParseThreads threads :
             {ParseThreads{0, 0, -1}, ParseThreads{0, 201, 1}, ParseThreads{0, 30, 5}, ParseThreads{}}) {
            for (const Picture* p : {&plainOverNoise, &noiseOverPlain, &smallNoise, &plainOverNoise}) {
                const RegionAnalysis fresh = parse(*p);
                checkSame(parseRegions(p->geometry, p->bytes.data(), {}, threads, &scratch), fresh);
                if (QTest::currentTestFailed())
                    return;
            }
            // A labelling alone leaves its room in the scratch; the next tree is built for other tables.
            const RegionTables big =
                labelRegions(noiseOverPlain.geometry, noiseOverPlain.bytes.data(), {}, threads, &scratch);
            QCOMPARE(big.labelMap, parse(noiseOverPlain).tables.labelMap);
            RegionAnalysis small = parse(smallNoise);
            const RegionTree before = small.tree;
            const RegionTree tree = buildRegionTree(small.tables, &scratch);
            QCOMPARE(nodes(tree), nodes(before));
            QCOMPARE(tree.childOffsets, before.childOffsets);
            QCOMPARE(tree.childNodes, before.childNodes);
            QCOMPARE(tree.rowInParent, before.rowInParent);
            QCOMPARE(tree.nodeByRegion, before.nodeByRegion);
        }
    }

    void deepNestingNeedsNoDeepStack() {
        // 3000 nested square rings (1500 under the sanitizers): a recursive walk would need as many frames;
        // ours walks them with its own stack.
        const int rings = ZELMAR_SANITIZED_BUILD ? 1500 : 3000;
        const int size = 2 * rings + 1;
        PixelGeometry g = PixelGeometry::of({size, size, 8});
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(g.byteCount()));
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const int ring = std::min(std::min(x, y), std::min(size - 1 - x, size - 1 - y));
                bytes[static_cast<std::size_t>(g.indexOf(x + 1, y + 1) - 1)] = ring % 2 ? 0 : 255;
            }
        const RegionAnalysis a = parseRegions(g, bytes.data());
        QCOMPARE(a.tree.nodes.size(), std::size_t(rings + 1));
        const std::int32_t centre = a.tables.labelMap.at(rings + 1, rings + 1);
        QCOMPARE(depthOf(a, centre), rings);
        QCOMPARE(a.tree.nodes.back().regionId, centre);
    }

    void treeChildrenListsMatchTheNodes() {
        const RegionAnalysis a = parse(picture({"LLLLLLLL", "LDDDLDDL", "LDLDLDDL", "LDDDLLLL", "LLLLLDLD"}));
        const RegionTree& t = a.tree;
        for (std::size_t n = 0; n < t.nodes.size(); ++n) {
            const std::int32_t parent = t.nodes[n].parentNode;
            if (parent < 0)
                continue;
            const auto p = static_cast<std::size_t>(parent);
            QCOMPARE(t.childNodes[static_cast<std::size_t>(t.childOffsets[p] + t.rowInParent[n])],
                     std::int32_t(n));
        }
        QCOMPARE(t.nodeOfRegion(-5), -1);
        QCOMPARE(t.nodeOfRegion(1 << 30), -1);
    }

    // The freed ids of a parse: always the lowest handed out, across word and summary-block boundaries and
    // after the set has run empty.
    void freeIdsHandOutTheLowest() {
        FreeIds ids;
        std::set<std::int32_t> model;
        const auto check = [&] {
            QCOMPARE(ids.empty(), model.empty());
            if (!model.empty())
                QCOMPARE(ids.lowest(), *model.begin());
        };
        const auto insert = [&](std::int32_t id) {
            if (model.insert(id).second)
                ids.insert(id);
            check();
        };
        const auto erase = [&](std::int32_t id) {
            if (model.erase(id) == 1)
                ids.erase(id);
            check();
        };
        check();
        // The edges of a word (64 ids), of a summary word (4096) and of a block (262 144), high ids first.
        for (std::int32_t id : {262144, 262143, 4096, 4095, 64, 63, 1, 0, 3 * 262144 + 5})
            insert(id);
        for (std::int32_t id : {0, 1, 63, 64, 4095, 4096, 262143, 262144})
            erase(id);
        erase(3 * 262144 + 5);
        QVERIFY(ids.empty());
        insert(700000); // a set run empty finds its lowest again
        insert(12);
        erase(12);

        std::mt19937 random(7);
        for (int step = 0; step < 200000; ++step) {
            const unsigned roll = random() % 8;
            if (roll < 4)
                insert(static_cast<std::int32_t>(random() % (roll == 0 ? 1'200'000u : 5000u)));
            else if (roll < 6 && !model.empty())
                erase(*model.begin());
            else if (!model.empty()) {
                auto it = model.lower_bound(static_cast<std::int32_t>(random() % 1'200'000u));
                erase(it == model.end() ? *model.begin() : *it);
            }
            if (QTest::currentTestFailed())
                return;
        }
    }

    void keysTurnBackIntoIds() {
        QCOMPARE(regionIdOfKey("P12"), std::optional<std::int32_t>(12));
        QCOMPARE(regionIdOfKey("P2147483647"), std::optional<std::int32_t>(2147483647));
        QCOMPARE(regionIdOfKey("P2147483648"), std::nullopt);
        QCOMPARE(regionIdOfKey("P"), std::nullopt);
        QCOMPARE(regionIdOfKey("P1x"), std::nullopt);
        QCOMPARE(regionIdOfKey(""), std::nullopt);
    }

    void highlightPaintsExactlyTheRegion() {
        const Picture p = picture({"LLLL", "LDDL", "LLLL"});
        const RegionAnalysis a = parse(p);
        PixelBuffer buffer(p.geometry);
        std::copy(p.bytes.begin(), p.bytes.end(), buffer.data());
        highlightRegion(buffer, a.tables.labelMap, 2);
        for (int y = 1; y <= 3; ++y)
            for (int x = 1; x <= 4; ++x) {
                const std::int64_t i = p.geometry.indexOf(x, y);
                const bool inSquare = y == 2 && (x == 2 || x == 3);
                QCOMPARE(int(buffer.at(i)), inSquare ? 0 : int(p.bytes[std::size_t(i - 1)]));
                QCOMPARE(int(buffer.at(i + 1)), inSquare ? 255 : 0x55);
                QCOMPARE(int(buffer.at(i + 2)), inSquare ? 0 : 0x55);
                QCOMPARE(int(buffer.at(i + 3)), 0x55); // the fourth byte is never written
            }
        // A free id paints nothing.
        PixelBuffer untouched(p.geometry);
        std::copy(p.bytes.begin(), p.bytes.end(), untouched.data());
        highlightRegion(untouched, a.tables.labelMap, 77);
        QVERIFY(std::equal(p.bytes.begin(), p.bytes.end(), untouched.data()));
    }

    void highlightRunsOnWithOneBytePixelsAndStopsAtTheEnd() {
        // 1 byte per pixel, width 3 (rows of 4 bytes). Region pixels (2,1), (3,1) and (3,2), the last pixel.
        const Picture p = picture({"LDD", "LLD"}, 8);
        const RegionAnalysis a = parse(p);
        const std::int32_t id = a.tables.labelMap.at(2, 1);
        QCOMPARE(a.tables.labelMap.at(3, 2), id);
        PixelBuffer buffer(p.geometry);
        std::copy(p.bytes.begin(), p.bytes.end(), buffer.data());
        highlightRegion(buffer, a.tables.labelMap, id);
        // (2,1): bytes 2,3,4 = 0,255,0; (3,1): bytes 3,4,5 = 0,255,0; (3,2) at byte 7: 0, then 255 at 8, then
        // the write at 9 lies beyond the buffer and ends the marking.
        const std::vector<std::uint8_t> expected{255, 0, 0, 255, 0, 255, 0, 255};
        QCOMPARE(std::vector<std::uint8_t>(buffer.data(), buffer.data() + buffer.size()), expected);
    }
};

QTEST_APPLESS_MAIN(RegionsTest)
#include "test_regions.moc"
