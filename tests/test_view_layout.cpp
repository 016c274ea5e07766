// The work window's arrangement for its size, on plain numbers: the thresholds, the two modes, the visibility
// rules and the drawn size of the image.

#include "app/view_layout.h"

#include <QTest>

#include <cmath>

using namespace zelmar;

namespace {

ViewLayoutInput window(double w, double h, int imageW = 400, int imageH = 300) {
    ViewLayoutInput in;
    in.windowWidth = w;
    in.windowHeight = h;
    in.imageWidth = imageW;
    in.imageHeight = imageH;
    return in;
}

ViewVisibility tabModeShowing(int tab) {
    ViewVisibility v;
    v.tabStrip = true;
    v.views.fill(false);
    v.views[static_cast<std::size_t>(tab - 1)] = true;
    return v;
}

} // namespace

class ViewLayoutTest : public QObject {
    Q_OBJECT
private slots:
    void belowTheMinimumNothingHappens() {
        QVERIFY(layOutViews(window(6000, 4000)).laidOut);
        QVERIFY(!layOutViews(window(5999, 4000)).laidOut);
        QVERIFY(!layOutViews(window(6000, 3999)).laidOut);
        // A minimised window keeps its arrangement: the visibility given is the visibility returned.
        ViewLayoutInput tiny = window(2000, 500);
        tiny.visibility = tabModeShowing(3);
        const ViewLayout out = layOutViews(tiny);
        QVERIFY(!out.laidOut);
        QCOMPARE(out.visibility, tabModeShowing(3));
        QCOMPARE(out.drawnWidth, 0);
    }

    void panelAndTabStripFollowTheWindow() {
        ViewLayoutInput in = window(12000, 8000);
        in.twipsPerPixelX = in.twipsPerPixelY = 1; // no snapping: the twips as computed
        const ViewLayout out = layOutViews(in);
        QCOMPARE(out.panelLeft, 7870.0);
        QCOMPARE(out.tabStrip, (TwipRect{45, 45, 7670, 7500}));
    }

    void tabStripOfExactlyThresholdGivesTabMode() {
        // Tab strip width = W - 3930 - 400 and height = H - 500; 6000 is not "greater than 6000".
        QVERIFY(!layOutViews(window(10330, 6500)).gridMode);
        QVERIFY(!layOutViews(window(10345, 6500)).gridMode);
        QVERIFY(layOutViews(window(10345, 6515)).gridMode);
        QVERIFY(!layOutViews(window(20000, 6500)).gridMode);
    }

    void gridModeGeometry() {
        const ViewLayout out = layOutViews(window(14380, 8510));
        QVERIFY(out.gridMode);
        // Wt = 10050, Ht = 8010: views 4925 x 3905 twips, held as 328 x 260 pixels (4920 x 3900); the second
        // column at 4920 + 200 and the second row at 3900 + 200, both snapped to whole pixels.
        QCOMPARE(out.views[0], (TwipRect{105, 105, 4920, 3900}));
        QCOMPARE(out.views[1], (TwipRect{5115, 105, 4920, 3900}));
        QCOMPARE(out.views[2], (TwipRect{105, 4095, 4920, 3900}));
        QCOMPARE(out.views[3], (TwipRect{5115, 4095, 4920, 3900}));
    }

    void tabModeGeometry() {
        const ViewLayout out = layOutViews(window(10000, 5000));
        QVERIFY(!out.gridMode);
        // 5470 x 3950 twips are held as 365 x 263 pixels.
        const TwipRect expected{105, 495, 5475, 3945};
        for (const TwipRect& r : out.views)
            QCOMPARE(r, expected);
    }

    void switchingModesChangesVisibility() {
        // Start: tab strip and all four views visible; a first layout in tab mode changes nothing.
        const ViewLayout start = layOutViews(window(10000, 5000));
        QCOMPARE(start.visibility, ViewVisibility{});

        // Grow to grid mode: the tab strip hides, all four views show.
        ViewLayoutInput grow = window(16000, 9000);
        grow.visibility = tabModeShowing(2);
        const ViewLayout grid = layOutViews(grow);
        QVERIFY(grid.gridMode);
        QVERIFY(!grid.visibility.tabStrip);
        QCOMPARE(grid.visibility.views, (std::array<bool, 4>{true, true, true, true}));

        // Shrink back: only the selected tab's view shows.
        ViewLayoutInput shrink = window(10000, 5000);
        shrink.visibility = grid.visibility;
        shrink.selectedTab = 4;
        QCOMPARE(layOutViews(shrink).visibility, tabModeShowing(4));

        // Staying in a mode changes no visibility, whatever it is.
        ViewLayoutInput stay = window(16000, 9000);
        stay.visibility.tabStrip = false;
        stay.visibility.views = {true, false, true, false};
        QCOMPARE(layOutViews(stay).visibility.views, (std::array<bool, 4>{true, false, true, false}));
        ViewLayoutInput stayTab = window(10000, 5000);
        stayTab.visibility = tabModeShowing(1);
        stayTab.selectedTab = 3;
        QCOMPARE(layOutViews(stayTab).visibility, tabModeShowing(1));

        // A tab index outside 1..4 shows no view.
        shrink.selectedTab = 0;
        QCOMPARE(layOutViews(shrink).visibility.views, (std::array<bool, 4>{false, false, false, false}));
    }

    void imageKeepsItsAspectInTheTopLeft_data() {
        QTest::addColumn<int>("imageW");
        QTest::addColumn<int>("imageH");
        QTest::addColumn<int>("viewW");
        QTest::addColumn<int>("viewH");
        QTest::addColumn<int>("drawnW");
        QTest::addColumn<int>("drawnH");
        QTest::newRow("2:1 in 300x300") << 200 << 100 << 300 << 300 << 300 << 150;
        QTest::newRow("2:1 in 600x200") << 200 << 100 << 600 << 200 << 400 << 200;
        QTest::newRow("equal ratios recompute the width") << 400 << 300 << 800 << 600 << 800 << 600;
        QTest::newRow("width rounds half to even, down") << 5 << 2 << 100 << 1 << 2 << 1; // 2.5 -> 2
        QTest::newRow("width rounds half to even, up") << 7 << 2 << 100 << 1 << 4 << 1;   // 3.5 -> 4
        QTest::newRow("height rounds half to even") << 2 << 5 << 1 << 100 << 1 << 2;      // 2.5 -> 2
        QTest::newRow("long thin image, no overflow") << 100000000 << 1 << 1000 << 800 << 1000 << 0;
        QTest::newRow("no image") << 0 << 0 << 300 << 300 << 0 << 0;
    }
    void imageKeepsItsAspectInTheTopLeft() {
        QFETCH(int, imageW);
        QFETCH(int, imageH);
        QFETCH(int, viewW);
        QFETCH(int, viewH);
        QFETCH(int, drawnW);
        QFETCH(int, drawnH);
        std::int32_t w = viewW;
        std::int32_t h = viewH;
        fitImage(imageW, imageH, w, h);
        QCOMPARE(w, drawnW);
        QCOMPARE(h, drawnH);
    }

    void drawnSizeComesFromTheFirstView() {
        // Tab mode: a view of 365 x 263 pixels is narrower than a 2:1 image, so the height follows the width:
        // 365 * 100 / 200 = 182.5, rounded half to even.
        const ViewLayout out = layOutViews(window(10000, 5000, 200, 100));
        QCOMPARE(out.drawnWidth, 365);
        QCOMPARE(out.drawnHeight, 182);
    }

    void otherScreenDensities() {
        // 120 dpi: 12 twips per pixel; sizes snap to whole pixels of that screen.
        ViewLayoutInput in = window(12000, 8000);
        in.twipsPerPixelX = in.twipsPerPixelY = 12;
        const ViewLayout out = layOutViews(in);
        QVERIFY(out.laidOut);
        for (const TwipRect& r : out.views) {
            QCOMPARE(std::fmod(r.width, 12.0), 0.0);
            QCOMPARE(std::fmod(r.left, 12.0), 0.0);
        }
    }

    void roundingIsHalfToEven() {
        QCOMPARE(roundHalfEven(0.5), std::int64_t{0});
        QCOMPARE(roundHalfEven(1.5), std::int64_t{2});
        QCOMPARE(roundHalfEven(2.5), std::int64_t{2});
        QCOMPARE(roundHalfEven(-0.5), std::int64_t{0});
        QCOMPARE(roundHalfEven(2.6), std::int64_t{3});
        QCOMPARE(snappedToPixels(100, 15), 105.0);
        QCOMPARE(snappedToPixels(7.5, 15), 0.0);
        QCOMPARE(snappedToPixels(22.5, 15), 30.0);
    }
};

QTEST_APPLESS_MAIN(ViewLayoutTest)
#include "test_view_layout.moc"
