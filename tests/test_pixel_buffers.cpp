// The byte layout shared by every pixel operation: sizes, row lengths, the 1-based index rule, the light
// test, and the bulk copies between a layer and a buffer.

#include "image/image_layer.h"
#include "image/layer_set.h"
#include "image/pixel_buffer.h"
#include "image/pixel_geometry.h"

#include <QTest>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

using namespace zelmar;

class PixelBuffersTest : public QObject {
    Q_OBJECT
private slots:
    void bytesPerPixelRoundsHalfToEven_data() {
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("bytes");
        QTest::newRow("1 bit") << 1 << 0;
        QTest::newRow("4 bits (0.5 goes to even 0)") << 4 << 0;
        QTest::newRow("8 bits") << 8 << 1;
        QTest::newRow("12 bits (1.5 goes to even 2)") << 12 << 2;
        QTest::newRow("16 bits") << 16 << 2;
        QTest::newRow("20 bits (2.5 goes to even 2)") << 20 << 2;
        QTest::newRow("24 bits") << 24 << 3;
        QTest::newRow("32 bits") << 32 << 4;
    }
    void bytesPerPixelRoundsHalfToEven() {
        QFETCH(int, bits);
        QFETCH(int, bytes);
        QCOMPARE(bytesPerPixelFor(static_cast<std::int16_t>(bits)), bytes);
    }

    void strideAndIndex_data() {
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("stride");
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<qint64>("index");
        QTest::newRow("32-bit, 5 wide, pixel (5,2)") << 32 << 5 << 20 << 5 << 2 << qint64{37};
        QTest::newRow("24-bit, 5 wide, raised to even") << 24 << 5 << 16 << 1 << 2 << qint64{17};
        QTest::newRow("24-bit, 4 wide, no padding") << 24 << 4 << 12 << 4 << 3 << qint64{34};
        QTest::newRow("8-bit, 7 wide") << 8 << 7 << 8 << 7 << 1 << qint64{7};
        QTest::newRow("8-bit, 7 wide, second row") << 8 << 7 << 8 << 1 << 2 << qint64{9};
        QTest::newRow("16-bit, 3 wide") << 16 << 3 << 6 << 3 << 2 << qint64{11};
        QTest::newRow("1-bit gives no valid row") << 1 << 9 << 0 << 1 << 1 << qint64{1};
    }
    void strideAndIndex() {
        QFETCH(int, bits);
        QFETCH(int, width);
        QFETCH(int, stride);
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(qint64, index);
        const PixelGeometry g = PixelGeometry::of({width, 3, static_cast<std::int16_t>(bits)});
        QCOMPARE(g.stride, stride);
        QCOMPARE(g.byteCount(), qint64{stride} * 3);
        QCOMPARE(g.indexOf(x, y), index);
    }

    void firstAndLastPixelsBoundTheBuffer() {
        for (int bits : {8, 16, 24, 32}) {
            for (int width : {1, 2, 5, 8}) {
                const PixelGeometry g = PixelGeometry::of({width, 4, static_cast<std::int16_t>(bits)});
                QCOMPARE(g.indexOf(1, 1), qint64{1});
                const qint64 last = g.indexOf(width, 4);
                QCOMPARE(last, qint64{3} * g.stride + qint64{width - 1} * g.bytesPerPixel + 1);
                // The last pixel's bytes end inside the buffer, at most one padding byte after them.
                const qint64 end = last + g.bytesPerPixel - 1;
                QVERIFY(end <= g.byteCount());
                QVERIFY(g.byteCount() - end <= 1);
            }
        }
    }

    void largeImagesDoNotOverflowTheByteCount() {
        const PixelGeometry g = PixelGeometry::of({30000, 30000, 32});
        QCOMPARE(g.byteCount(), qint64{30000} * 30000 * 4);
        QCOMPARE(g.indexOf(30000, 30000), g.byteCount() - 3);
    }

    void onlyTheFirstByteDecidesLightness() {
        QVERIFY(!isLightByte(0));
        QVERIFY(!isLightByte(100));
        QVERIFY(isLightByte(101));
        QVERIFY(isLightByte(255));

        // Blue 255 with red and green 0 is light; blue 0 with red and green 255 is dark.
        PixelBuffer buffer(PixelGeometry::of({2, 1, 32}));
        const std::uint8_t bgrx[] = {255, 0, 0, 0, 0, 255, 255, 0};
        std::copy(std::begin(bgrx), std::end(bgrx), buffer.data());
        QVERIFY(buffer.isLight(1, 1));
        QVERIFY(!buffer.isLight(2, 1));
    }

    void lightTestReadsTheLowByteOfSixteenBitPixels() {
        PixelBuffer buffer(PixelGeometry::of({3, 1, 16}));
        const std::uint8_t bytes[] = {101, 0, 100, 255, 0, 255};
        std::copy(std::begin(bytes), std::end(bytes), buffer.data());
        QVERIFY(buffer.isLight(1, 1));
        QVERIFY(!buffer.isLight(2, 1));
        QVERIFY(!buffer.isLight(3, 1));
    }

    void lightTestWithOneAndThreeBytePixelsSkipsPadding() {
        PixelBuffer grey(PixelGeometry::of({3, 2, 8}));
        // Rows of 4 bytes: three pixels and a padding byte that must never be read as a pixel.
        const std::uint8_t bytes[] = {0, 200, 101, 255, 100, 0, 255, 0};
        std::copy(std::begin(bytes), std::end(bytes), grey.data());
        QCOMPARE(grey.isLight(1, 1), false);
        QCOMPARE(grey.isLight(2, 1), true);
        QCOMPARE(grey.isLight(3, 1), true);
        QCOMPARE(grey.isLight(1, 2), false);
        QCOMPARE(grey.isLight(3, 2), true);

        PixelBuffer colour(PixelGeometry::of({1, 2, 24}));
        QCOMPARE(colour.size(), qint64{8});
        colour.at(5) = 101; // pixel (1, 2) starts after the row's padding byte at index 4
        QVERIFY(colour.isLight(1, 2));
        QVERIFY(!colour.isLight(1, 1));
    }

    void layerCopiesAreWholeAndIndependent() {
        std::vector<std::uint8_t> bits(4 * 3 * 2);
        for (std::size_t i = 0; i < bits.size(); ++i)
            bits[i] = static_cast<std::uint8_t>(i);
        ImageLayer layer({3, 2, 32}, bits);
        PixelBuffer buffer = layer.toBuffer();
        QCOMPARE(std::vector<std::uint8_t>(buffer.data(), buffer.data() + buffer.size()), bits);

        LayerSet set = LayerSet::copiesOf(layer);
        buffer.at(buffer.geometry().indexOf(2, 2)) = 250;
        QVERIFY(set.workLayer.copyFrom(buffer));
        QCOMPARE(set.workLayer.bits()[static_cast<std::size_t>(buffer.geometry().indexOf(2, 2) - 1)], 250);
        QCOMPARE(set.sourceLayer.bits(), bits);
        QCOMPARE(set.millLayer.bits(), bits);

        // A buffer of another size is refused and changes nothing.
        PixelBuffer wrong(PixelGeometry::of({2, 2, 32}));
        QVERIFY(!set.millLayer.copyFrom(wrong));
        QVERIFY(!set.millLayer.copyInto(wrong));
        QCOMPARE(set.millLayer.bits(), bits);
    }

    // The four layers of a loaded picture share its bytes until one is written; every way of writing gives
    // the written layer bytes of its own and leaves the other three as loaded.
    void writingOneLayerNeverChangesAnother_data() {
        QTest::addColumn<int>("writer");
        QTest::addColumn<int>("layerIndex");
        const char* writers[] = {"pixelBytes", "bytesForOverwrite", "copyFrom whole", "copyFrom area"};
        const char* layers[] = {"source", "work", "selection", "mill"};
        for (int w = 0; w < 4; ++w)
            for (int l = 0; l < 4; ++l)
                QTest::newRow(qPrintable(QString("%1 on %2").arg(writers[w], layers[l]))) << w << l;
    }
    void writingOneLayerNeverChangesAnother() {
        QFETCH(int, writer);
        QFETCH(int, layerIndex);
        std::vector<std::uint8_t> bits(5 * 3 * 4);
        for (std::size_t i = 0; i < bits.size(); ++i)
            bits[i] = static_cast<std::uint8_t>(i * 7);
        LayerSet set = LayerSet::copiesOf(ImageLayer({5, 3, 32}, bits));
        ImageLayer* layers[] = {&set.sourceLayer, &set.workLayer, &set.selectionLayer, &set.millLayer};
        ImageLayer& written = *layers[layerIndex];

        PixelBuffer buffer = written.toBuffer();
        const std::int64_t at = buffer.geometry().indexOf(4, 2) - 1; // pixel (4, 2), 0-based byte
        switch (writer) {
        case 0:
            written.pixelBytes()[at] = 1;
            break;
        case 1: {
            std::uint8_t* out = written.bytesForOverwrite();
            std::copy(bits.begin(), bits.end(), out);
            out[at] = 1;
            break;
        }
        case 2:
            buffer.data()[at] = 1;
            QVERIFY(written.copyFrom(buffer));
            break;
        default:
            buffer.data()[at] = 1;
            QVERIFY(written.copyFrom(buffer, PixelRect{3, 1, 4, 2}));
        }

        std::vector<std::uint8_t> expected = bits;
        expected[static_cast<std::size_t>(at)] = 1;
        QCOMPARE(written.bits(), expected); // the rest of the written layer kept its bytes
        for (ImageLayer* other : layers)
            if (other != &written)
                QCOMPARE(other->bits(), bits);
    }

    void sharingEndsOnlyForTheLayerWritten() {
        LayerSet set = LayerSet::copiesOf(ImageLayer({4, 4, 32}, std::vector<std::uint8_t>(64, 200)));
        QVERIFY(set.workLayer.sharesBytesWith(set.sourceLayer));
        QVERIFY(set.millLayer.sharesBytesWith(set.sourceLayer));
        const std::uint64_t loaded = set.sourceLayer.contentVersion();
        QVERIFY(loaded != ImageLayer().contentVersion());
        QCOMPARE(set.millLayer.contentVersion(), loaded);
        set.millLayer.pixelBytes()[0] = 0;
        QVERIFY(!set.millLayer.sharesBytesWith(set.sourceLayer));
        // What was worked out of the bytes holds for the layers not written, and for no layer that was.
        QCOMPARE(set.sourceLayer.contentVersion(), loaded);
        QVERIFY(set.millLayer.contentVersion() != loaded);
        QVERIFY(set.workLayer.sharesBytesWith(set.sourceLayer));
        QVERIFY(set.selectionLayer.sharesBytesWith(set.sourceLayer));

        // Once its own, a layer is written in place: a milling mark does not copy the picture again.
        const std::uint64_t marked = set.millLayer.contentVersion();
        const std::uint8_t* own = set.millLayer.pixelBytes();
        QVERIFY(set.millLayer.contentVersion() != marked); // written in place: the bytes may differ all the same
        set.millLayer.pixelBytes()[1] = 0;
        QVERIFY(set.millLayer.pixelBytes() == own);
        QCOMPARE(int(set.millLayer.bits()[0]), 0);
        QCOMPARE(int(set.millLayer.bits()[1]), 0);

        // A copy made of a written layer shares with it afresh and separates again on the next write.
        ImageLayer copy = set.millLayer;
        QVERIFY(copy.sharesBytesWith(set.millLayer));
        QCOMPARE(copy.contentVersion(), set.millLayer.contentVersion());
        const std::uint64_t beforeOverwrite = copy.contentVersion();
        PixelBuffer whole = copy.toBuffer();
        QVERIFY(copy.copyFrom(whole));
        QVERIFY(copy.contentVersion() != beforeOverwrite);
        const std::uint64_t beforeArea = copy.contentVersion();
        QVERIFY(copy.copyFrom(whole, PixelRect{0, 0, 1, 1}));
        QVERIFY(copy.contentVersion() != beforeArea);
        set.millLayer.pixelBytes()[2] = 0;
        QCOMPARE(int(copy.bits()[2]), 200);
        QCOMPARE(int(set.millLayer.bits()[2]), 0);
        QCOMPARE(int(set.sourceLayer.bits()[0]), 200);
    }

    void layersOfShareablePagesKeepTheirWritesApart() {
        // As a loaded picture's layers are: copies map the same pages and must never see each other's writes,
        // nor the writes of the layer they were copied from, in whichever order the writes come.
        const std::size_t size = 3 * 4096 + 16; // a few pages and part of one
        auto bits = LargeArray<std::uint8_t>::shareable(size);
        for (std::size_t i = 0; i < size; ++i)
            bits[i] = static_cast<std::uint8_t>(i % 251);
        const std::vector<std::uint8_t> loaded(bits.data(), bits.data() + size);
        LayerSet set = LayerSet::copiesOf(ImageLayer({static_cast<std::int32_t>(size / 4), 1, 32}, std::move(bits)));
        set.millLayer.pixelBytes()[5000] = 1;
        set.workLayer.pixelBytes()[0] = 2;
        set.selectionLayer = ImageLayer();
        set.sourceLayer.pixelBytes()[4100] = 3; // in place, the last layer of the loaded bytes, copies mapping them
        ImageLayer later = set.sourceLayer;
        later.pixelBytes()[size - 1] = 4;
        std::vector<std::uint8_t> expected = loaded;
        expected[5000] = 1;
        QCOMPARE(set.millLayer.bits(), expected);
        expected = loaded;
        expected[0] = 2;
        QCOMPARE(set.workLayer.bits(), expected);
        expected = loaded;
        expected[4100] = 3;
        QCOMPARE(set.sourceLayer.bits(), expected);
        expected[size - 1] = 4;
        QCOMPARE(later.bits(), expected);
    }

    void bytesGivenInAnotherLengthAreCutOrPadded() {
        const ImageLayer longer({2, 1, 32}, std::vector<std::uint8_t>(12, 9));
        QCOMPARE(longer.bits(), std::vector<std::uint8_t>(8, 9));
        const ImageLayer shorter({2, 1, 32}, std::vector<std::uint8_t>(3, 9));
        QCOMPARE(shorter.bits(), (std::vector<std::uint8_t>{9, 9, 9, 0, 0, 0, 0, 0}));
        LargeArray<std::uint8_t> few(2, 5);
        const ImageLayer fromArray({1, 1, 32}, std::move(few));
        QCOMPARE(fromArray.bits(), (std::vector<std::uint8_t>{5, 5, 0, 0}));
    }

    void anArrayBeyondMemoryIsRefusedWhateverItsByteCount() {
        // A count whose byte size wraps round to a few bytes must not become a few bytes posing as billions.
        const std::size_t wraps = std::numeric_limits<std::size_t>::max() / sizeof(std::int32_t) + 2;
        QVERIFY_THROWS_EXCEPTION(std::bad_alloc, LargeArray<std::int32_t>{wraps});
        QVERIFY_THROWS_EXCEPTION(std::bad_alloc, LargeArray<std::int32_t>::zeroed(wraps));
        QVERIFY_THROWS_EXCEPTION(std::bad_alloc,
                                 LargeArray<std::uint8_t>{std::numeric_limits<std::size_t>::max()});
        const LargeArray<std::int64_t> ordinary(3, -1);
        QCOMPARE(ordinary[2], std::int64_t{-1});
        QCOMPARE(reinterpret_cast<std::uintptr_t>(ordinary.data()) % alignof(std::max_align_t),
                 std::uintptr_t{0});
    }

    void copyBackOfAnAreaTouchesOnlyThatArea() {
        ImageLayer layer({5, 4, 32}, std::vector<std::uint8_t>(5 * 4 * 4, 7));
        layer.takeChangedArea();
        PixelBuffer buffer = layer.toBuffer();
        std::fill(buffer.data(), buffer.data() + buffer.size(), 9);
        QVERIFY(layer.copyFrom(buffer, PixelRect{1, 1, 3, 3}));
        for (int y = 1; y <= 4; ++y)
            for (int x = 1; x <= 5; ++x) {
                const bool inside = x >= 2 && x <= 3 && y >= 2 && y <= 3;
                const auto at = static_cast<std::size_t>(layer.geometry().indexOf(x, y) - 1);
                QCOMPARE(int(layer.bits()[at]), inside ? 9 : 7);
            }
        QCOMPARE(layer.takeChangedArea(), (PixelRect{1, 1, 3, 3}));
        QVERIFY(layer.takeChangedArea().isEmpty());

        // An area reaching past the image is clipped, never written beyond it.
        QVERIFY(layer.copyFrom(buffer, PixelRect{-2, 3, 9, 8}));
        QCOMPARE(layer.takeChangedArea(), (PixelRect{0, 3, 5, 4}));
    }

    void changedAreasAccumulateUntilTaken() {
        ImageLayer layer({10, 10, 32}, std::vector<std::uint8_t>(400));
        QCOMPARE(layer.takeChangedArea(), (PixelRect{0, 0, 10, 10})); // a new layer is all new
        layer.markChanged({2, 2, 3, 3});
        layer.markChanged({7, 1, 9, 2});
        layer.markChanged({}); // empty areas add nothing
        QCOMPARE(layer.takeChangedArea(), (PixelRect{2, 1, 9, 3}));
    }

    void emptyLayerIsHarmless() {
        ImageLayer empty;
        QVERIFY(empty.isEmpty());
        PixelBuffer buffer = empty.toBuffer();
        QCOMPARE(buffer.size(), qint64{0});
        QVERIFY(empty.copyFrom(buffer));
        QVERIFY(empty.takeChangedArea().isEmpty());
        QVERIFY(empty.pixelBytes() == nullptr);
        QVERIFY(empty.bytesForOverwrite() == nullptr);
        QVERIFY(empty.bits().empty());
        QVERIFY(!empty.sharesBytesWith(ImageLayer()));
    }
};

QTEST_APPLESS_MAIN(PixelBuffersTest)
#include "test_pixel_buffers.moc"
