// The probed surface: its file, and a job's moves bent to it, held against a literal computation that walks each
// move step by step and interpolates the grid by searching it.

#include "mill/height_map.h"
#include "mill/motion_time.h"
#include "mill/probe_grid.h"
#include "texts/height_map_texts.h"

#include <QTest>

#include <array>
#include <cmath>
#include <random>
#include <set>

using namespace zelmar;

namespace {

// The four grid points around a position, found by walking the grid lines, and the plane between them; beyond
// the grid the edge's heights.
double literalHeight(const HeightMap& m, double x, double y) {
    const auto locate = [](double v, double origin, double step, int points, int& cell, double& f) {
        cell = 0;
        while (cell + 2 < points && v >= origin + step * (cell + 1))
            ++cell;
        f = (v - (origin + step * cell)) / step;
        f = f < 0 ? 0 : f > 1 ? 1 : f;
    };
    int i = 0, j = 0;
    double fx = 0, fy = 0;
    locate(x, m.originX, m.stepX, m.nx, i, fx);
    locate(y, m.originY, m.stepY, m.ny, j, fy);
    const auto h = [&m](int a, int b) { return m.z[std::size_t(b) * std::size_t(m.nx) + std::size_t(a)]; };
    return (1 - fy) * ((1 - fx) * h(i, j) + fx * h(i + 1, j)) + fy * ((1 - fx) * h(i, j + 1) + fx * h(i + 1, j + 1));
}

// The cell a position lies in, inner lines only (beyond the grid counts as the edge cell).
std::pair<int, int> literalCell(const HeightMap& m, double x, double y) {
    int i = 0, j = 0;
    while (i + 2 < m.nx && x > m.originX + m.stepX * (i + 1))
        ++i;
    while (j + 2 < m.ny && y > m.originY + m.stepY * (j + 1))
        ++j;
    return {i, j};
}

HeightMap randomMap(std::mt19937& random) {
    std::uniform_int_distribution<int> points(2, 7);
    std::uniform_real_distribution<double> spot(-30, 30), spacing(3, 25), height(-2, 2);
    HeightMap m;
    m.nx = points(random);
    m.ny = points(random);
    m.originX = spot(random);
    m.originY = spot(random);
    m.stepX = spacing(random);
    m.stepY = spacing(random);
    for (int k = 0; k < m.nx * m.ny; ++k)
        m.z.push_back(height(random));
    return m;
}

} // namespace

class HeightMapTest : public QObject {
    Q_OBJECT
private slots:
    // Every move of random maps: the pieces end where the move does, each lies in one cell, together they pass the
    // cells the move passes and no other, and each end stands at the plan's depth below the surface there.
    void movesFollowTheSurfaceCellByCell() {
        std::mt19937 random(20261208);
        const double mmPerStep = 0.01;
        std::uniform_int_distribution<std::int64_t> place(-8000, 8000), depth(-500, 100), run(-3000, 3000);
        int split = 0;
        for (int mapIndex = 0; mapIndex < 40; ++mapIndex) {
            const HeightMap m = randomMap(random);
            for (int moveIndex = 0; moveIndex < 60; ++moveIndex) {
                const StepPoint from{place(random), place(random), depth(random)};
                // Level runs along an axis, diagonals and arbitrary moves, as merged commands make them.
                const std::int64_t a = run(random), b = run(random);
                const int shape = moveIndex % 3;
                const StepPoint to{from.x + a, from.y + (shape == 0 ? 0 : shape == 1 ? a : b), from.z + (shape == 2 ? b / 10 : 0)};
                const std::vector<StepPoint> ends = mappedMove(m, mmPerStep, from, to);
                QVERIFY(!ends.empty());
                split += ends.size() > 1;

                // Step by step along the move: the cells it passes through.
                const std::int64_t steps = std::max({std::abs(to.x - from.x), std::abs(to.y - from.y), std::int64_t{1}});
                std::set<std::pair<int, int>> passed;
                for (std::int64_t s = 0; s <= steps; ++s) {
                    const double t = double(s) / double(steps);
                    passed.insert(literalCell(m, (double(from.x) + t * double(to.x - from.x)) * mmPerStep,
                                              (double(from.y) + t * double(to.y - from.y)) * mmPerStep));
                }
                std::set<std::pair<int, int>> pieces;
                StepPoint start = from;
                for (std::size_t k = 0; k < ends.size(); ++k) {
                    const StepPoint& end = ends[k];
                    // On the move's line within half a step.
                    const double dx = double(to.x - from.x), dy = double(to.y - from.y);
                    const double length = std::hypot(dx, dy);
                    if (length > 0)
                        QVERIFY(std::abs((double(end.x - from.x) * dy - double(end.y - from.y) * dx) / length) <= 0.75);
                    // One cell: the piece's middle names it, and both ends lie in it or on its border (within a step).
                    const double mx = (double(start.x + end.x) / 2) * mmPerStep, my = (double(start.y + end.y) / 2) * mmPerStep;
                    const auto cell = literalCell(m, mx, my);
                    pieces.insert(cell);
                    for (const StepPoint& p : {start, end}) {
                        const double px = double(p.x) * mmPerStep, py = double(p.y) * mmPerStep;
                        const double slack = mmPerStep * 1.01;
                        if (cell.first > 0)
                            QVERIFY(px >= m.originX + m.stepX * cell.first - slack);
                        if (cell.first + 2 < m.nx)
                            QVERIFY(px <= m.originX + m.stepX * (cell.first + 1) + slack);
                        if (cell.second > 0)
                            QVERIFY(py >= m.originY + m.stepY * cell.second - slack);
                        if (cell.second + 2 < m.ny)
                            QVERIFY(py <= m.originY + m.stepY * (cell.second + 1) + slack);
                    }
                    // The plan's depth at this point of the move, below the surface there.
                    const double t = length > 0 ? (double(end.x - from.x) * dx + double(end.y - from.y) * dy) / (length * length) : 1;
                    const double plannedZ = double(from.z) + t * double(to.z - from.z);
                    const double rise = literalHeight(m, double(end.x) * mmPerStep, double(end.y) * mmPerStep) / mmPerStep;
                    QVERIFY2(std::abs(double(end.z) - (plannedZ + rise)) <= 1.0,
                             qPrintable(QStringLiteral("z %1, planned %2 + rise %3").arg(end.z).arg(plannedZ).arg(rise)));
                    start = end;
                }
                QCOMPARE(ends.back(), (StepPoint{to.x, to.y, to.z + std::llround(literalHeight(m, double(to.x) * mmPerStep, double(to.y) * mmPerStep) / mmPerStep)}));
                // The pieces pass the cells the move passes (a corner touched within a step aside).
                for (const auto& cell : pieces)
                    QVERIFY(passed.count(cell));
                QVERIFY(pieces.size() + 1 >= passed.size());
            }
        }
        QVERIFY(split > 100); // the cases do cross grid lines
    }

    // The file reads back as written; what is not a map is refused with the line that is wrong.
    void theFileRoundTripsAndRefusesWhatIsNotAMap() {
        std::mt19937 random(7);
        HeightMap m = randomMap(random);
        for (double& h : m.z)
            h = std::round(h * 10000) / 10000;
        m.originX = -12.5;
        m.originY = 3;
        m.stepX = 20;
        m.stepY = 12.25;
        HeightMapProblem problem;
        const std::optional<HeightMap> back = HeightMap::read(m.text(), &problem);
        QVERIFY2(back, heightMapProblemLine(problem).c_str());
        QCOMPARE(back->nx, m.nx);
        QCOMPARE(back->ny, m.ny);
        QCOMPARE(back->originX, m.originX);
        QCOMPARE(back->stepY, m.stepY);
        QCOMPARE(back->z, m.z);
        QCOMPARE(back->text(), m.text());

        const std::string head = "grid 2 2\norigin 0 0\nstep 10 10\n";
        const struct {
            const char* text;
            const char* error;
        } bad[] = {
            {"", "grid, origin and step are missing"},
            {"grid 2 2\norigin 0 0\nstep 10 10\n0 0\n", "2 rows of heights are needed, 1 given"},
            {"grid 1 2\n", "the grid is two whole numbers"},
            {"grid 2.5 2\n", "the grid is two whole numbers"},
            {"grid 2 2\norigin 0 0\nstep 0 10\n", "the step is above 0"},
            {"grid 2 2\norigin 0 0\n0 0\n", "heights come after grid, origin and step"},
            {"grid 2 2\norigin 0 0\nstep 10 10\n0 0 0\n0 0\n", "line 4: a row holds 2 heights, 3 given"},
            {"grid 2 2\norigin 0 0\nstep 10 10\n0 1e3\n0 0\n", "line 4: \"1e3\" is not a number"},
            {"grid 2 2\norigin 0 nan\n", "\"nan\" is not a number"},
            {"grid 2 2\norigin 0\n", "origin takes two numbers"},
        };
        for (const auto& b : bad) {
            problem = {};
            QVERIFY2(!HeightMap::read(b.text, &problem), b.text);
            const std::string error = heightMapProblemLine(problem);
            QVERIFY2(error.find(b.error) != std::string::npos, (std::string(b.text) + " -> " + error).c_str());
            QVERIFY(!heightMapProblemText(problem).empty());
        }
        // Comments, blank lines and CR LF are taken.
        QVERIFY(HeightMap::read("# probed\r\n\r\n" + head + "0 0.5\r\n-1 +2\r\n"));
        QCOMPARE(HeightMap::read(head + "0 0.5\n-1 +2\n")->heightAt(5, 5), (0 + 0.5 - 1 + 2) / 4.0);
    }

    // The points probed for a map lie over the picture as the job lays it on the stock from its start pixel: the
    // picture's right is X+ and its top Y+ unless an axis is turned, the margin kept inside, and none when nothing
    // is left inside the margins. The map puts each height back where its point was probed.
    void theProbeGridCoversThePictureAsItLies() {
        struct Row {
            ProbeArea area;
            std::int32_t nx, ny;
            std::int64_t originX, originY, stepX, stepY; // µm; stepX 0: no grid
        };
        const Row rows[] = {
            {{20, 12, 1, 1, 1.5, 1, 1, 0}, 3, 2, 0, -16500, 14250, 16500},
            {{20, 12, 20, 12, 1.5, 1, 1, 0}, 3, 2, -28500, 0, 14250, 16500},
            {{20, 12, 1, 1, 1.5, -1, -1, 0}, 3, 2, -28500, 0, 14250, 16500},
            {{20, 12, 1, 1, 1.5, 1, 1, 2}, 3, 2, 2000, -14500, 12250, 12500},
            {{20, 12, 1, 1, 1.5, 1, 1, 8.25}, 3, 2, 0, 0, 0, 0}, // the margins meet across Y
            {{1, 12, 1, 1, 1.5, 1, 1, 0}, 2, 2, 0, 0, 0, 0},     // one column: no width
            {{7, 5, 4, 3, 0.1, 1, 1, 0}, 4, 3, -300, -200, 200, 200},
        };
        for (const Row& r : rows) {
            const std::optional<ProbeGrid> grid = probeGridOver(r.area, r.nx, r.ny);
            QCOMPARE(grid.has_value(), r.stepX != 0);
            if (!grid)
                continue;
            QCOMPARE((std::array{grid->originX, grid->originY, grid->stepX, grid->stepY}),
                     (std::array{r.originX, r.originY, r.stepX, r.stepY}));
        }
        const ProbeGrid grid{3, 2, -1500, 2000, 1250, 500};
        using Point = std::pair<std::int32_t, std::int32_t>;
        QCOMPARE(grid.order(), (std::vector<Point>{{0, 0}, {1, 0}, {2, 0}, {2, 1}, {1, 1}, {0, 1}}));
        const HeightMap map = grid.mapOf({10, 20, 30, 40, 50, -60});
        QCOMPARE(map.z, (std::vector<double>{0.01, 0.02, 0.03, -0.06, 0.05, 0.04}));
        QCOMPARE(map.heightAt(-1.5, 2.5), -0.06);
        QCOMPARE(micrometreText(-500), std::string("-0.5"));
        QCOMPARE(micrometreText(12050), std::string("12.05"));
        QCOMPARE(micrometreText(-3000), std::string("-3"));
    }

    // grbl's time follows the bent moves: a level map changes nothing, a tilted one lengthens the moves that climb it.
    void theEstimateTimesTheBentMoves() {
        GcodeSettings settings;
        settings.stepsPerPixel = 100;
        const auto seconds = [&](const HeightMap* map) {
            MotionClock clock(settings, MachineRates{}, 115200);
            if (map)
                clock.setHeightMap(*map);
            for (int k = 0; k < 6; ++k) {
                CommandMove c;
                c.x = k % 2 ? 0 : 10;
                c.y = k % 2 ? 3 : 0;
                clock.add(c);
            }
            return clock.seconds();
        };
        const HeightMap level = *HeightMap::read("grid 2 2\norigin 0 0\nstep 20 20\n0 0\n0 0\n");
        const HeightMap tilted = *HeightMap::read("grid 2 2\norigin 0 0\nstep 20 20\n0 15\n0 15\n");
        QCOMPARE(seconds(&level), seconds(nullptr));
        QVERIFY(seconds(&tilted) > seconds(nullptr) * 1.05);
    }
};

QTEST_APPLESS_MAIN(HeightMapTest)
#include "test_height_map.moc"
