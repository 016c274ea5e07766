// "Градиент", "Отступить" and "Резать 3D": the rules on hand-made pictures, the fast passes against a literal
// transcription on random ones, the tables they leave, and the sequence's passes and ends.

#include "image/image_session.h"
#include "mill/mill_job.h"
#include "relief/relief.h"
#include "relief/relief_commands.h"

#include <QTest>

#include <cstdlib>
#include <random>

using namespace zelmar;

namespace {

// Literal: read the input copy only, nine neighbours, three bytes from the first, never past the buffer.
std::vector<std::uint8_t> literalGradient(const std::vector<std::uint8_t>& in, const PixelGeometry& g) {
    std::vector<std::uint8_t> out = in;
    for (int y = 2; y <= g.height - 1; ++y)
        for (int x = 2; x <= g.width - 1; ++x) {
            const int v = in[std::size_t(g.indexOf(x, y) - 1)];
            for (int yy = y - 1; yy <= y + 1; ++yy)
                for (int xx = x - 1; xx <= x + 1; ++xx)
                    if (std::abs(v - in[std::size_t(g.indexOf(xx, yy) - 1)]) > 10)
                        for (std::int64_t i = g.indexOf(x, y); i <= g.indexOf(x, y) + 2 && i <= g.byteCount();
                             ++i)
                            out[std::size_t(i - 1)] = 255;
        }
    return out;
}

std::vector<std::uint8_t> literalOffset(const std::vector<std::uint8_t>& in, const PixelGeometry& g) {
    std::vector<std::uint8_t> out = in;
    for (int y = 2; y <= g.height - 1; ++y)
        for (int x = 2; x <= g.width - 1; ++x)
            for (int yy = y - 1; yy <= y + 1; ++yy)
                for (int xx = x - 1; xx <= x + 1; ++xx)
                    if (in[std::size_t(g.indexOf(xx, yy) - 1)] == 255)
                        for (std::int64_t i = g.indexOf(x, y); i <= g.indexOf(x, y) + 2 && i <= g.byteCount();
                             ++i)
                            out[std::size_t(i - 1)] = 255;
    return out;
}

// 4-byte picture from rows of first bytes given as digits '0'..'9' (times 28, so '9' is 252) or 'W' (255);
// the other three bytes are 7, 8, 9.
struct Picture {
    PixelGeometry g;
    std::vector<std::uint8_t> bytes;
    std::uint8_t first(int x, int y) const { return bytes[std::size_t(g.indexOf(x, y) - 1)]; }
    bool white(int x, int y) const {
        const auto i = std::size_t(g.indexOf(x, y) - 1);
        return bytes[i] == 255 && bytes[i + 1] == 255 && bytes[i + 2] == 255;
    }
};

Picture picture(int w, int h, std::uint8_t fill) {
    Picture p{PixelGeometry::of({w, h, 32}), {}};
    p.bytes.resize(std::size_t(p.g.byteCount()));
    for (int y = 1; y <= h; ++y)
        for (int x = 1; x <= w; ++x) {
            const auto i = std::size_t(p.g.indexOf(x, y) - 1);
            p.bytes[i] = fill;
            p.bytes[i + 1] = 7;
            p.bytes[i + 2] = 8;
            p.bytes[i + 3] = 9;
        }
    return p;
}

void set(Picture& p, int x, int y, std::uint8_t first) {
    p.bytes[std::size_t(p.g.indexOf(x, y) - 1)] = first;
}

Picture gradientOf(const Picture& p) {
    Picture out = p;
    gradientInto(p.bytes.data(), out.bytes.data(), p.g);
    return out;
}

ImageSession sessionOf(const Picture& p) {
    ImageSession s;
    s.layers = LayerSet::copiesOf(ImageLayer({p.g.width, p.g.height, 32}, p.bytes));
    return s;
}

// Runs a milling command to its end, dry, counting its moves.
class CountingHost : public JobEvents {
public:
    MillRefusal run(MillKind kind, ImageSession& s, ToolPosition& tool, MillIndexCache& cache) {
        const MillRefusal refusal = checkMillCommand(kind, s);
        if (refusal != MillRefusal::None)
            return refusal;
        MillJob job(kind, s, tool, cache, this);
        while (const PlannedMove* m = job.next()) {
            ++moves;
            plunges += m->z < 0 ? 1 : 0;
            job.complete();
        }
        tool = job.tool();
        return refusal;
    }
    void passStarts(int pass) override { passes = pass; }
    int moves = 0;
    int plunges = 0;
    int passes = 0;
};

} // namespace

class ReliefTest : public QObject {
    Q_OBJECT
private slots:
    void gradientRules() {
        // Uniform, and too small to have inner pixels: an exact copy.
        const Picture uniform = picture(6, 5, 120);
        QCOMPARE(gradientOf(uniform).bytes, uniform.bytes);
        Picture thin = picture(2, 5, 0);
        set(thin, 1, 3, 255);
        QCOMPARE(gradientOf(thin).bytes, thin.bytes);

        // Dark half 0, light half 200: a white band two pixels wide, inner rows only.
        Picture halves = picture(8, 5, 0);
        for (int y = 1; y <= 5; ++y)
            for (int x = 5; x <= 8; ++x)
                set(halves, x, y, 200);
        const Picture band = gradientOf(halves);
        for (int y = 1; y <= 5; ++y)
            for (int x = 1; x <= 8; ++x)
                QCOMPARE(band.white(x, y), y >= 2 && y <= 4 && (x == 4 || x == 5));
        QCOMPARE(int(band.bytes[std::size_t(band.g.indexOf(4, 2) + 2)]), 9); // the fourth byte is kept

        // A difference of 10 is no edge, 11 is.
        Picture ten = picture(5, 5, 100);
        set(ten, 3, 3, 110);
        QVERIFY(!gradientOf(ten).white(3, 3));
        set(ten, 3, 3, 111);
        QVERIFY(gradientOf(ten).white(3, 3) && gradientOf(ten).white(2, 2));

        // A single dark pixel vanishes into a white 3 x 3 block.
        Picture dot = picture(7, 7, 230);
        set(dot, 4, 4, 0);
        const Picture gone = gradientOf(dot);
        for (int y = 1; y <= 7; ++y)
            for (int x = 1; x <= 7; ++x)
                QCOMPARE(gone.white(x, y), std::abs(x - 4) <= 1 && std::abs(y - 4) <= 1);

        // Green or red differences do not count; the outer rows and columns keep their colours.
        Picture green = picture(5, 5, 100);
        green.bytes[std::size_t(green.g.indexOf(3, 3))] = 250;
        QCOMPARE(gradientOf(green).bytes, green.bytes);
        Picture border = picture(5, 5, 100);
        set(border, 1, 1, 0);
        set(border, 5, 3, 0);
        const Picture b = gradientOf(border);
        QCOMPARE(int(b.first(1, 1)), 0);
        QCOMPARE(int(b.first(5, 3)), 0);
        QVERIFY(b.white(2, 2) && b.white(4, 3));
    }

    void offsetRules() {
        // No first byte of 255: unchanged, and said so.
        Picture dark = picture(7, 7, 254); // 254 does not seed
        Picture copy = dark;
        QVERIFY(!offsetInPlace(copy.bytes.data(), copy.g));
        QCOMPARE(copy.bytes, dark.bytes);

        // A seed grows into 3 x 3, then 5 x 5; pure blue (only the first byte 255) seeds and turns white.
        Picture seed = picture(9, 9, 0);
        seed.bytes[std::size_t(seed.g.indexOf(5, 5) - 1)] = 255;
        QVERIFY(offsetInPlace(seed.bytes.data(), seed.g));
        for (int y = 1; y <= 9; ++y)
            for (int x = 1; x <= 9; ++x)
                QCOMPARE(seed.white(x, y), std::abs(x - 5) <= 1 && std::abs(y - 5) <= 1);
        QVERIFY(offsetInPlace(seed.bytes.data(), seed.g));
        for (int y = 1; y <= 9; ++y)
            for (int x = 1; x <= 9; ++x)
                QCOMPARE(seed.white(x, y), std::abs(x - 5) <= 2 && std::abs(y - 5) <= 2);

        // A seed in the outer column whitens its inner neighbours; the outer column itself stays.
        Picture edge = picture(6, 6, 30);
        set(edge, 1, 3, 255);
        offsetInPlace(edge.bytes.data(), edge.g);
        QVERIFY(edge.white(2, 2) && edge.white(2, 3) && edge.white(2, 4));
        QVERIFY(!edge.white(1, 3) && !edge.white(1, 2) && !edge.white(3, 3));

        // Right after a gradient one offset widens the two-pixel band to four.
        Picture halves = picture(10, 5, 0);
        for (int y = 1; y <= 5; ++y)
            for (int x = 6; x <= 10; ++x)
                set(halves, x, y, 200);
        Picture band = gradientOf(halves);
        offsetInPlace(band.bytes.data(), band.g);
        for (int x = 1; x <= 10; ++x)
            QCOMPARE(band.white(x, 3), x >= 4 && x <= 7);
    }

    // One and three bytes a pixel take their own paths through the offset; worked out byte by byte.
    void offsetOfNarrowPixels() {
        // One byte a pixel, 5 x 4, rows of 6 bytes (the last one padding): a seed at (3, 2). Each inner pixel
        // next to it gets 255 in its own byte and the two after it, so the run reaches the padding.
        const PixelGeometry one = PixelGeometry::of({5, 4, 8});
        QCOMPARE(one.stride, 6);
        std::vector<std::uint8_t> bytes(std::size_t(one.byteCount()), 0);
        bytes[std::size_t(one.indexOf(3, 2) - 1)] = 255;
        QVERIFY(offsetInPlace(bytes.data(), one));
        const std::vector<std::uint8_t> expectedOne = {0, 0,   0,   0,   0,   0,   //
                                                       0, 255, 255, 255, 255, 255, //
                                                       0, 255, 255, 255, 255, 255, //
                                                       0, 0,   0,   0,   0,   0};
        QCOMPARE(bytes, expectedOne);

        // Three bytes a pixel, 4 x 4, rows of 12 bytes: a seed that is pure blue at (2, 2) whitens the four
        // inner pixels, all three bytes of each, itself included; the outer ones stay.
        const PixelGeometry three = PixelGeometry::of({4, 4, 24});
        QCOMPARE(three.stride, 12);
        std::vector<std::uint8_t> rgb(std::size_t(three.byteCount()), 40);
        rgb[std::size_t(three.indexOf(2, 2) - 1)] = 255;
        QVERIFY(offsetInPlace(rgb.data(), three));
        for (int y = 1; y <= 4; ++y)
            for (int x = 1; x <= 4; ++x) {
                const bool inner = x >= 2 && x <= 3 && y >= 2 && y <= 3;
                const auto at = std::size_t(three.indexOf(x, y) - 1);
                for (std::size_t k = 0; k < 3; ++k)
                    QCOMPARE(int(rgb[at + k]), inner ? 255 : 40);
            }
    }

    void fastPassesMatchTheLiteralOnes() {
        std::mt19937 rng(11);
        for (int round = 0; round < 3000; ++round) {
            const int bits = 8 * (1 + int(rng() % 4));
            const int w = 1 + int(rng() % 12);
            const int h = 1 + int(rng() % 12);
            const PixelGeometry g = PixelGeometry::of({w, h, std::int16_t(bits)});
            std::vector<std::uint8_t> in(std::size_t(g.byteCount()));
            const int style = int(rng() % 3);
            for (auto& b : in)
                b = style == 0   ? std::uint8_t(rng())
                    : style == 1 ? std::uint8_t(rng() % 2 ? 255 : 0)
                                 : std::uint8_t(100 + rng() % 25);
            std::vector<std::uint8_t> out(in.size());
            gradientInto(in.data(), out.data(), g);
            QCOMPARE(out, literalGradient(in, g));
            std::vector<std::uint8_t> grown = in;
            const bool changed = offsetInPlace(grown.data(), g);
            const std::vector<std::uint8_t> expected = literalOffset(in, g);
            QCOMPARE(grown, expected);
            QCOMPARE(changed, expected != in);
        }
    }

    void theTablesEmptyButTheMapAndTreeStay() {
        Picture p = picture(12, 10, 255);
        for (int y = 3; y <= 7; ++y)
            for (int x = 3; x <= 8; ++x)
                set(p, x, y, 0);
        ImageSession s = sessionOf(p);
        gradientCommand(s); // before any parse: the map comes into being, all zero
        QCOMPARE(s.regions->tables.labelMap.at(5, 5), 0);
        QCOMPARE(s.regions->tables.regionTableSize(), 100);

        s.layers.workLayer = s.layers.sourceLayer;
        parseImage(s);
        const LabelMap map = s.regions->tables.labelMap;
        const std::int32_t links = s.regions->tables.linkCount;
        const std::size_t nodes = s.regions->tree.nodes.size();
        QVERIFY(nodes == 2);
        for (bool gradient : {true, false}) {
            gradient ? gradientCommand(s) : (void)offsetCommand(s);
            const RegionTables& t = s.regions->tables;
            QCOMPARE(t.regionTableSize(), 100);
            QCOMPARE(t.linkTableSize(), 100);
            QVERIFY(std::all_of(t.regionTable.begin(), t.regionTable.end(),
                                [](const RegionRecord& r) { return r == RegionRecord{}; }));
            QVERIFY(std::all_of(t.linkTable.begin(), t.linkTable.end(),
                                [](const NestingLink& l) { return l == NestingLink{}; }));
            QCOMPARE(t.labelMap, map);
            QCOMPARE(t.linkCount, links);
            QCOMPARE(s.regions->tree.nodes.size(), nodes);
        }
        // Milling before the next parse: "Все" finds nothing live; the selected region gets its outer
        // contour.
        CountingHost host;
        ToolPosition tool;
        MillIndexCache cache;
        QCOMPARE(int(host.run(MillKind::All, s, tool, cache)), int(MillRefusal::None));
        QCOMPARE(host.moves, 0);
        s.selectedNode = 1; // the block
        QCOMPARE(int(host.run(MillKind::Selected, s, tool, cache)), int(MillRefusal::None));
        QCOMPARE(host.plunges, 1);
        QCOMPARE(host.moves, 2 * 5 + 2 * 4 + 3);
    }

    void cut3DRefusesWithoutATree() {
        ImageSession s = sessionOf(picture(10, 10, 0));
        CountingHost host;
        ToolPosition tool;
        MillIndexCache cache;
        const std::vector<std::uint8_t> before = s.layers.workLayer.bits();
        QCOMPARE(int(host.run(MillKind::Cut3D, s, tool, cache)), int(MillRefusal::NoTree));
        QCOMPARE(s.layers.workLayer.bits(), before); // no gradient, no offset
    }

    void cut3DPassesInwardsAndEnds() {
        // A black disc of radius 12 well inside a white 40 x 40 picture.
        Picture p = picture(40, 40, 255);
        for (int y = 1; y <= 40; ++y)
            for (int x = 1; x <= 40; ++x)
                if ((x - 20) * (x - 20) + (y - 20) * (y - 20) <= 144)
                    set(p, x, y, 0);
        ImageSession s = sessionOf(p);
        parseImage(s);
        CountingHost host;
        ToolPosition tool;
        MillIndexCache cache;
        QCOMPARE(int(host.run(MillKind::Cut3D, s, tool, cache)), int(MillRefusal::None));
        QVERIFY(s.regions->tree.isEmpty());
        // Whitening grows in squares: the centre is 9 steps from white along the diagonal. Gradient and
        // offset take 2, each pass 4 more: passes after 2 and 6 steps, and after 10 nothing dark is left.
        QCOMPARE(host.passes, 2);
        // The first pass cuts two pixels inside a straight edge: a square from column 11 is cut along column
        // 13, whose 3 x 3 marks reach column 12 but not 11.
        Picture square = picture(40, 40, 255);
        for (int y = 11; y <= 30; ++y)
            for (int x = 11; x <= 30; ++x)
                set(square, x, y, 0);
        ImageSession q = sessionOf(square);
        parseImage(q);
        CountingHost squareHost;
        QCOMPARE(int(squareHost.run(MillKind::Cut3D, q, tool, cache)), int(MillRefusal::None));
        const ImageLayer& mill = q.layers.millLayer;
        const auto red = [&mill](int x, int y) {
            const auto i = std::size_t(mill.geometry().indexOf(x, y) - 1);
            return mill.bits()[i] == 0 && mill.bits()[i + 2] == 255;
        };
        QVERIFY(red(13, 20) && red(12, 20) && red(14, 20));
        QVERIFY(!red(11, 20) && !red(15, 20));
        QVERIFY(red(17, 20)); // the second pass, four pixels further in
    }

    void cut3DEndsWhenOffsetsChangeNothing() {
        // Dark pixels in the outer column never change: without the guard the same pass would repeat for
        // ever.
        Picture p = picture(12, 12, 255);
        for (int y = 1; y <= 12; ++y)
            set(p, 1, y, 0);
        ImageSession s = sessionOf(p);
        parseImage(s);
        QVERIFY(!s.regions->tree.isEmpty());
        CountingHost host;
        ToolPosition tool;
        MillIndexCache cache;
        QCOMPARE(int(host.run(MillKind::Cut3D, s, tool, cache)), int(MillRefusal::None));
        QVERIFY(host.passes >= 1 && host.passes <= 3);
        QVERIFY(!s.regions->tree.isEmpty());
    }
};

QTEST_APPLESS_MAIN(ReliefTest)
#include "test_relief.moc"
