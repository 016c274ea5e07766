// Fewer and safer moves: merged straight runs expand back into exactly the job without merging; the safe
// height puts every level move above the surface and leaves the cuts alone; the G-code of a job, read back,
// moves the axes exactly as the board's commands would, line by line; the job's cost counted on a copy.

#include "image/image_session.h"
#include "mill/carving.h"
#include "mill/commands.h"
#include "mill/gcode.h"
#include "mill/job_simulation.h"
#include "mill/mapped_gcode.h"
#include "mill/mill_job.h"
#include "reference/random_images.h"

#include <QTest>

#include <array>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace zelmar;
namespace ref = zelmar::reference;

namespace {

const std::uint64_t imageCount = ref::differentialImages(3000, 400) / 6;

std::string text(std::int64_t n) {
    return std::to_string(n);
}

// A parsed session of a random image, 4 bytes a pixel as every layer; the mill layer of random greys now and
// then, so that depths change along the paths.
ImageSession sessionOf(const ref::TestImage& image, ref::Random& random) {
    const ref::TestImage layer =
        ref::fromPixels(image.kind, image.seed, image.geometry.width, image.geometry.height, 4, ref::pixelsOf(image), 0);
    ImageSession s;
    s.layers = LayerSet::copiesOf(ImageLayer({layer.geometry.width, layer.geometry.height, 32}, layer.bytes));
    parseImage(s);
    if (random.percent(40)) {
        std::uint8_t* bytes = s.layers.millLayer.pixelBytes();
        for (std::size_t i = 0; i < s.layers.millLayer.bits().size(); i += 4)
            if (random.percent(30))
                bytes[i] = static_cast<std::uint8_t>(random.between(0, 255));
    }
    return s;
}

struct Run {
    std::vector<PlannedMove> moves;
    std::vector<CommandMove> commands;
};

// The job as the runner sends it: commands grouped from the plan as it falls due.
Run runJob(MillKind kind, ImageSession& s, const ToolPosition& tool, const MergeRule& merge,
           std::int32_t safeHeight, std::int32_t stepDown = 0, const ToolProfile& cutter = {}) {
    Run run;
    MillIndexCache cache;
    MillJob job(kind, s, tool, cache);
    job.setSettings({safeHeight, cutter, stepDown});
    while (job.next()) {
        const std::span<const PlannedMove> ahead = job.plannedAhead();
        const std::size_t n = movesInCommand(ahead, merge, longestRunAt(150));
        run.commands.push_back(commandOf(ahead.first(n)));
        for (std::size_t i = 0; i < n; ++i) {
            run.moves.push_back(ahead[i]);
            job.complete();
        }
    }
    return run;
}

bool sameCommand(const CommandMove& a, const CommandMove& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z && a.kind == b.kind && a.moves == b.moves;
}

// ---- A small G-code reader: enough of the language to check what we write ----

struct GcodeMove {
    bool rapid = false;
    bool hasFeed = false;
    std::int64_t feed = 0;
    // Millionths of a millimetre, exactly.
    std::int64_t x = 0, y = 0, z = 0;
};

std::int64_t micrometresTimesThousand(const std::string& number) {
    // "-1.50" -> -1500000: at most six decimals.
    const bool negative = number.starts_with('-');
    const std::string digits = negative ? number.substr(1) : number;
    const std::size_t point = digits.find('.');
    const std::string whole = digits.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : digits.substr(point + 1);
    if (fraction.size() > 6)
        QTest::qFail("more than six decimals", __FILE__, __LINE__);
    fraction.resize(6, '0');
    const std::int64_t v = std::stoll(whole.empty() ? "0" : whole) * 1000000 + std::stoll(fraction);
    return negative ? -v : v;
}

// The moves of a file; an empty optional for a file our reader does not accept.
std::optional<std::vector<GcodeMove>> readGcode(const std::string& text, std::string* why) {
    std::vector<GcodeMove> moves;
    std::istringstream in(text);
    std::string line;
    bool millimetres = false, incremental = false, ended = false;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const auto fail = [&](const std::string& what) {
            *why = "line " + std::to_string(number) + " \"" + line + "\": " + what;
            return std::nullopt;
        };
        if (ended)
            return fail("after the end of the program");
        if (line.empty())
            continue;
        if (line.front() == '(') {
            if (line.back() != ')' || line.find_first_of("()", 1) != line.size() - 1)
                return fail("a comment that is not one");
            continue;
        }
        if (line == "G21") {
            millimetres = true;
            continue;
        }
        if (line == "G91") {
            incremental = true;
            continue;
        }
        if (line == "M2") {
            ended = true;
            continue;
        }
        if (!millimetres || !incremental)
            return fail("a move before G21 and G91");
        std::istringstream words(line);
        std::string word;
        words >> word;
        GcodeMove m;
        if (word != "G0" && word != "G1")
            return fail("not G0 or G1");
        m.rapid = word == "G0";
        bool any = false;
        while (words >> word) {
            const char letter = word.front();
            const std::string value = word.substr(1);
            if (value.find_first_of("eE") != std::string::npos)
                return fail("a number with an exponent");
            if (letter == 'F') {
                if (m.rapid)
                    return fail("a feed on a rapid move");
                m.hasFeed = true;
                m.feed = std::stoll(value);
                continue;
            }
            if (letter != 'X' && letter != 'Y' && letter != 'Z')
                return fail("an unknown word");
            (letter == 'X' ? m.x : letter == 'Y' ? m.y : m.z) = micrometresTimesThousand(value);
            any = true;
        }
        if (!any)
            return fail("a move without an axis");
        moves.push_back(m);
    }
    if (!ended) {
        *why = "no M2 at the end";
        return std::nullopt;
    }
    return moves;
}

} // namespace

class CommandsTest : public QObject {
    Q_OBJECT
private slots:
    // Merged by straight runs or within a tolerance, the commands stand for the unmerged moves in order, each the
    // sum of those it stands for; a straight run moves one axis at one depth, and a run within a tolerance
    // passes every point of the unmerged path no farther than the tolerance from its line.
    void mergedRunsExpandIntoTheUnmergedJob() {
        for (const MergeRule rule : {MergeRule{true, 0}, MergeRule{false, 0.5}, MergeRule{false, 1}, MergeRule{true, 2.5}}) {
        std::int64_t merges = 0, commandsSaved = 0, bent = 0;
        for (std::uint64_t seed = 1; seed <= imageCount; ++seed) {
            ref::Random random(seed * 7 + 3);
            const ref::TestImage image = ref::randomImage(seed);
            const MillKind kind = random.percent(20) ? MillKind::Cut3D : MillKind::All;
            const ToolPosition tool{random.between(1, 5), random.between(1, 5), 0};
            ImageSession plain = sessionOf(image, random);
            ImageSession merged = plain;
            merged.regions = std::make_shared<RegionAnalysis>(*plain.regions);
            if (checkMillCommand(kind, plain) != MillRefusal::None)
                continue;
            const Run a = runJob(kind, plain, tool, MergeRule{}, 0);
            const Run b = runJob(kind, merged, tool, rule, 0);
            const std::string where = "seed " + text(std::int64_t(seed)) + ", tolerance " + std::to_string(rule.tolerance);
            QVERIFY2(a.moves == b.moves, where.c_str());
            QVERIFY(plain.layers.millLayer.bits() == merged.layers.millLayer.bits());
            QVERIFY(plain.regions->tables.regionTable == merged.regions->tables.regionTable);
            std::size_t next = 0;
            for (const CommandMove& c : b.commands) {
                QVERIFY2(c.moves >= 1 && next + std::size_t(c.moves) <= a.commands.size(), where.c_str());
                const CommandMove sum = commandOf(std::span(a.moves).subspan(next, std::size_t(c.moves)));
                QVERIFY2(sameCommand(c, sum), (where + ", command of move " + text(std::int64_t(next))).c_str());
                if (c.moves > 1) {
                    ++merges;
                    QCOMPARE(int(c.kind), int(MoveKind::Step));
                    if (rule.tolerance == 0) {
                        QVERIFY(c.z == 0 && (c.x == 0) != (c.y == 0));
                        QCOMPARE(std::abs(c.x + c.y), c.moves);
                    }
                    // Every point the unmerged steps pass, measured from the line of the merged command.
                    double px = 0, py = 0, pz = 0;
                    const double ll = double(c.x) * c.x + double(c.y) * c.y + double(c.z) * c.z;
                    bool straight = true;
                    for (std::int32_t i = 0; i < c.moves; ++i) {
                        const PlannedMove& m = a.moves[next + std::size_t(i)];
                        QCOMPARE(int(m.kind), int(MoveKind::Step));
                        px += m.x, py += m.y, pz += m.z;
                        const double t = ll > 0 ? std::clamp((px * c.x + py * c.y + pz * c.z) / ll, 0.0, 1.0) : 0.0;
                        const double dx = px - t * c.x, dy = py - t * c.y, dz = pz - t * c.z;
                        const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
                        QVERIFY2(d <= rule.tolerance + 1e-9, (where + ", command of move " + text(std::int64_t(next))).c_str());
                        straight = straight && d == 0;
                    }
                    bent += straight ? 0 : 1;
                }
                next += std::size_t(c.moves);
            }
            QCOMPARE(next, a.commands.size());
            commandsSaved += static_cast<std::int64_t>(a.commands.size() - b.commands.size());
        }
        qInfo("tolerance %.1f: %lld merged runs (%lld not straight) saved %lld commands", rule.tolerance,
              static_cast<long long>(merges), static_cast<long long>(bent), static_cast<long long>(commandsSaved));
        // The images must give merging something to do: about one merged run an image, fewer in a short run.
        QVERIFY(merges >= static_cast<std::int64_t>(imageCount) / 2);
        QVERIFY(rule.tolerance < 1 || bent > 0);
        }
    }

    void aRunIsSplitWhereTheDepthChangesOrTheTraceTurns() {
        // A black bar 8 x 3 whose top row holds one grey pixel: the run along the top splits before and after
        // it, and every turn starts a new command.
        ImageSession s;
        std::vector<std::uint8_t> bits(12 * 6 * 4, 255);
        const auto set = [&bits](int x, int y, std::uint8_t v) { bits[std::size_t(((y - 1) * 12 + x - 1) * 4)] = v; };
        for (int y = 2; y <= 4; ++y)
            for (int x = 2; x <= 9; ++x)
                set(x, y, 0);
        set(6, 2, 100); // depth 15 at (6, 2), dark still
        s.layers = LayerSet::copiesOf(ImageLayer({12, 6, 32}, bits));
        parseImage(s);
        const Run run = runJob(MillKind::All, s, ToolPosition{}, MergeRule{true, 0}, 0);
        std::vector<std::string> got;
        for (const CommandMove& c : run.commands)
            got.push_back("(" + text(c.x) + "," + text(c.y) + "," + text(c.z) + ")x" + text(c.moves));
        const std::vector<std::string> expected = {
            "(1,1,0)x1",   "(0,0,-25)x1", // approach, plunge at (2, 2)
            "(3,0,0)x3",                  // along the top to (5, 2)
            "(1,0,10)x1",                 // up to the grey (6, 2): a depth change, its own command
            "(1,0,-10)x1",                // down again at (7, 2)
            "(2,0,0)x2",                  // on to (9, 2)
            "(0,2,0)x2",                  // a turn: down the right side
            "(-7,0,0)x7", "(0,-2,0)x2",   // back along the bottom, up the left side
            "(0,0,25)x1"};                // the lift
        QCOMPARE(got, expected);
    }

    // In passes: no move goes more than the step-down below the surface or below where it starts, the job
    // ends at the surface, and every pixel is cut exactly as deep as the job in one go cuts it, with the same
    // marks. With any tool, nothing stands still but the moves every pass of a contour has: the approach to
    // where the tool already is, the plunge after it and the lift where the tool goes no deeper.
    void passesNeverGoDeeperThanTheStepDownAndCutWhatOneGoCuts() {
        std::int64_t splitDrops = 0, passesBeyondOne = 0, shortSteps = 0;
        for (std::uint64_t seed = 1; seed <= imageCount; ++seed) {
            ref::Random random(seed * 13 + 1);
            const ref::TestImage image = ref::randomImage(seed);
            const MillKind kind = random.percent(25) ? MillKind::Cut3D : MillKind::All;
            const std::int32_t down = random.between(1, 12);
            const std::int32_t safe = random.percent(50) ? 0 : random.between(1, 5);
            ImageSession once = sessionOf(image, random);
            if (checkMillCommand(kind, once) != MillRefusal::None)
                continue;
            ToolShape shape;
            if (random.percent(30)) {
                shape.kind = std::array{ToolKind::Flat, ToolKind::Ball, ToolKind::V}[random.between(0, 2)];
                shape.diameterMm = Decimal{random.between(1, 60), 1};
                shape.angleDeg = Decimal{random.between(20, 160), 0};
            }
            const ToolProfile cutter(shape, 0.5);
            ImageSession passes = once;
            passes.regions = std::make_shared<RegionAnalysis>(*once.regions);
            const Run a = runJob(kind, once, ToolPosition{}, MergeRule{}, safe, 0, cutter);
            const Run b = runJob(kind, passes, ToolPosition{}, MergeRule{}, safe, down, cutter);
            const std::string where =
                "seed " + text(std::int64_t(seed)) + ", step-down " + text(down) + ", tool " + wordOf(shape);
            QVERIFY2(once.layers.millLayer.bits() == passes.layers.millLayer.bits(), where.c_str());
            QVERIFY(once.regions->tables.regionTable == passes.regions->tables.regionTable);
            // The deepest cut at every position the tool passes.
            const auto deepest = [](const Run& run, std::int32_t limit, const std::string& label, std::int64_t* drops) {
                std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> cut;
                std::int32_t depth = 0;
                MoveKind before = MoveKind::Lift;
                for (const PlannedMove& m : run.moves) {
                    const std::int32_t from = depth;
                    depth -= m.z;
                    const bool standsStill = m.x == 0 && m.y == 0 && m.z == 0;
                    if (standsStill && m.kind != MoveKind::Approach && m.kind != MoveKind::Lift &&
                        !(m.kind == MoveKind::Plunge && before == MoveKind::Approach)) {
                        const std::string at = text(m.tool.toolX) + ", " + text(m.tool.toolY);
                        QTest::qFail((label + ": a move of nothing at " + at).c_str(), __FILE__, __LINE__);
                        return cut;
                    }
                    before = m.kind;
                    if (limit > 0 && depth > std::max(from, 0) + limit)
                        QTest::qFail((label + ": a move down from " + text(from) + " to " + text(depth)).c_str(), __FILE__, __LINE__);
                    if (drops && m.kind == MoveKind::Plunge && from > 0)
                        ++*drops;
                    if (m.kind == MoveKind::Step || m.kind == MoveKind::Plunge) {
                        std::int32_t& c = cut[{m.tool.toolX, m.tool.toolY}];
                        c = std::max(c, depth);
                    }
                }
                if (depth != 0 && !run.moves.empty())
                    QTest::qFail((label + ": the job ends at " + text(depth)).c_str(), __FILE__, __LINE__);
                return cut;
            };
            const auto cut = deepest(b, down, where, &splitDrops);
            if (QTest::currentTestFailed())
                return;
            QVERIFY2(deepest(a, 0, where, nullptr) == cut, where.c_str());
            if (QTest::currentTestFailed())
                return;
            passesBeyondOne += b.moves.size() > a.moves.size() ? 1 : 0;
            // The picture of the result, also where a step arrives short of its depth and plunges the rest on
            // the spot: at each cell where a cut ends, at least that deep, exactly so with a one-pixel tool.
            const BitmapHeader& size = passes.layers.millLayer.header();
            const std::int32_t w = size.bmWidth, h = size.bmHeight;
            Carving carving(w, h, cutter);
            for (std::size_t i = 0; i < b.moves.size(); ++i) {
                carving.take(b.moves[i]);
                shortSteps +=
                    i > 0 && b.moves[i].kind == MoveKind::Plunge && b.moves[i - 1].kind == MoveKind::Step;
            }
            for (const auto& [at, depth] : cut) {
                if (at.first < 1 || at.second < 1 || at.first > w || at.second > h)
                    continue;
                const float carved =
                    carving.depthAt(at.first - 1, at.second - 1);
                const std::string why = where + ": carved " + std::to_string(carved) + " at " +
                                        text(at.first) + ", " + text(at.second) + ", cut " + text(depth);
                QVERIFY2(cutter.coversOnePixel() ? carved == float(depth) : carved >= float(depth) - 1e-4f,
                         why.c_str());
            }
        }
        qInfo("%lld jobs cut in more than one pass, %lld plunges below the surface, %lld after a step",
              static_cast<long long>(passesBeyondOne), static_cast<long long>(splitDrops),
              static_cast<long long>(shortSteps));
        QVERIFY(passesBeyondOne > 0 && splitDrops > 0 && shortSteps > 0);
    }

    void aSafeHeightRaisesEveryLevelMoveAndLeavesTheCutsAlone() {
        for (std::uint64_t seed = 1; seed <= imageCount; ++seed) {
            ref::Random random(seed * 11 + 5);
            const ref::TestImage image = ref::randomImage(seed);
            const MillKind kind = random.percent(25) ? MillKind::Cut3D : random.percent(30) ? MillKind::Selected : MillKind::All;
            const std::int32_t safe = random.between(1, 30);
            ImageSession base = sessionOf(image, random);
            if (!base.regions->tree.isEmpty())
                base.selectedNode = random.between(0, std::int32_t(base.regions->tree.nodes.size()) - 1);
            if (checkMillCommand(kind, base) != MillRefusal::None)
                continue;
            ImageSession raised = base;
            raised.regions = std::make_shared<RegionAnalysis>(*base.regions);
            ImageSession zero = base;
            zero.regions = std::make_shared<RegionAnalysis>(*base.regions);
            const Run a = runJob(kind, base, ToolPosition{}, MergeRule{}, 0);
            const Run b = runJob(kind, raised, ToolPosition{}, MergeRule{}, safe);
            const Run c = runJob(kind, zero, ToolPosition{}, MergeRule{}, 0);
            const std::string where = "seed " + text(std::int64_t(seed)) + ", safe height " + text(safe);
            // N = 0 is the job without a safe height, move for move.
            QCOMPARE(c.moves.size(), a.moves.size());
            for (std::size_t i = 0; i < a.moves.size(); ++i)
                QVERIFY2(c.moves[i] == a.moves[i], where.c_str());
            // Height above the surface (depth units, up positive) along the raised job.
            std::int64_t height = 0;
            std::vector<PlannedMove> cutsA, cutsB;
            for (const PlannedMove& m : b.moves) {
                if (m.kind == MoveKind::Approach)
                    QVERIFY2(height == safe, (where + ": a level move at " + text(height)).c_str());
                height += m.z;
                QVERIFY2(height <= safe, where.c_str());
                if (m.kind == MoveKind::Step)
                    cutsB.push_back(m);
            }
            QVERIFY2(height == 0 || b.moves.empty(), (where + ": ends at " + text(height)).c_str());
            for (const PlannedMove& m : a.moves)
                if (m.kind == MoveKind::Step)
                    cutsA.push_back(m);
            QVERIFY2(cutsA == cutsB, (where + ": the cuts differ").c_str());
            QVERIFY(base.layers.millLayer.bits() == raised.layers.millLayer.bits());
        }
    }

    void decimalsAreExact() {
        QCOMPARE(Decimal::parse("0.01")->times(-150), std::string("-1.50"));
        QCOMPARE(Decimal::parse("0.01")->times(0), std::string("0.00"));
        QCOMPARE(Decimal::parse("0.0025")->times(3), std::string("0.0075"));
        QCOMPARE(Decimal::parse(" 2 ")->times(-2147483647 - 1LL), std::string("-4294967296"));
        QCOMPARE(Decimal::parse("0.12345678")->times(2147483647), std::string("265121416.16127666"));
        for (const char* bad : {"", ".", "1e-3", "-0.01", "0.000000001", "1,5", "0x10", "1.2.3"})
            QVERIFY2(!Decimal::parse(bad), bad);
        QVERIFY(Decimal::parse("0")->isZero());
    }

    // Every line of the file moves the axes exactly as the board's command would, at the scale, the picture the
    // right way up or an axis turned; rapid for level moves and lifts, feed for plunges and cuts, each feed move
    // with its feed, the plunge feed where it goes down.
    void gcodeMovesTheAxesAsTheBoardWould() {
        int split = 0; // commands cut at a line of a height map's grid
        for (std::uint64_t seed = 1; seed <= imageCount / 2; ++seed) {
            ref::Random random(seed * 13 + 1);
            const ref::TestImage image = ref::randomImage(seed);
            ImageSession s = sessionOf(image, random);
            if (checkMillCommand(MillKind::All, s) != MillRefusal::None)
                continue;
            const bool merge = random.percent(50);
            const std::int32_t safe = random.percent(50) ? 0 : random.between(1, 20);
            const std::int32_t steps = random.between(1, 400);
            const Decimal mm = *Decimal::parse(random.percent(50) ? "0.01" : "0.0025");
            GcodeSettings settings{.stepsPerPixel = steps, .mmPerStep = mm, .feed = 300};
            settings.axisX = random.percent(50) ? 1 : -1;
            settings.axisY = random.percent(50) ? 1 : -1;
            settings.plungeFeed = random.percent(50) ? 0 : random.between(10, 200);
            GcodeWriter writer(settings);
            std::string file = writer.header({.image = "picture.bmp",
                                              .operations = {"parse", "mill-all"},
                                              .safeHeight = safe,
                                              .mergeSteps = merge});
            std::vector<CommandMove> commands;
            ImageSession copy = copyForSimulation(s, MillKind::All);
            simulateJob(MillKind::All, copy, ToolPosition{},
                        {.mergeSteps = merge, .safeHeight = safe, .stepsPerPixel = steps},
                        [&](const CommandMove& c) {
                            commands.push_back(c);
                            file += writer.line(c);
                        });
            file += writer.footer();
            std::string why;
            const std::optional<std::vector<GcodeMove>> read = readGcode(file, &why);
            QVERIFY2(read, why.c_str());
            QCOMPARE(read->size(), commands.size());
            std::int64_t sx = 0, sy = 0, sz = 0, gx = 0, gy = 0, gz = 0;
            const std::int64_t perStep = micrometresTimesThousand(mm.text());
            for (std::size_t i = 0; i < commands.size(); ++i) {
                const CommandMove& c = commands[i];
                // The picture's right is X+ and its top Y+ (the board's counts turn X; its rows run down).
                sx += std::int64_t{c.x} * steps * settings.axisX;
                sy += -std::int64_t{c.y} * steps * settings.axisY;
                sz += std::int64_t{c.z} * steps;
                gx += (*read)[i].x;
                gy += (*read)[i].y;
                gz += (*read)[i].z;
                QVERIFY(gx == sx * perStep && gy == sy * perStep && gz == sz * perStep);
                const bool level = c.kind == MoveKind::Approach;
                const bool up = c.kind == MoveKind::Lift && c.z >= 0;
                QCOMPARE((*read)[i].rapid, level || up);
                // Every feed move carries its feed: a line streamed again after a reset means what it did.
                QCOMPARE((*read)[i].hasFeed, !(*read)[i].rapid);
                if ((*read)[i].hasFeed)
                    QCOMPARE((*read)[i].feed, std::int64_t{c.z < 0 && settings.plungeFeed > 0 ? settings.plungeFeed : 300});
            }

            // On a probed surface: each command's pieces, read back, end where the command ends, raised by the
            // surface there, as rapid or at the feed as the command is.
            HeightMap map;
            map.nx = random.between(2, 5);
            map.ny = random.between(2, 5);
            const double pictureMm = double(image.geometry.width + image.geometry.height) * steps * mm.value();
            map.originX = -pictureMm / 4;
            map.originY = -pictureMm;
            map.stepX = pictureMm / random.between(2, 6);
            map.stepY = pictureMm / random.between(2, 6);
            for (int k = 0; k < map.nx * map.ny; ++k)
                map.z.push_back(double(random.between(-400, 400)) / 100);
            MappedGcode mapped(writer, map);
            sx = sy = sz = gx = gy = gz = 0;
            for (const CommandMove& c : commands) {
                const std::optional<std::vector<GcodeMove>> pieces = readGcode("G21\nG91\n" + mapped.lines(c) + "M2\n", &why);
                QVERIFY2(pieces && !pieces->empty(), why.c_str());
                for (const GcodeMove& piece : *pieces) {
                    gx += piece.x;
                    gy += piece.y;
                    gz += piece.z;
                    QCOMPARE(piece.rapid, isRapid(c.kind, c.z));
                    if (piece.hasFeed)
                        QCOMPARE(piece.feed, std::int64_t{c.z < 0 && settings.plungeFeed > 0 ? settings.plungeFeed : 300});
                }
                sx += std::int64_t{c.x} * steps * settings.axisX;
                sy += -std::int64_t{c.y} * steps * settings.axisY;
                sz += std::int64_t{c.z} * steps;
                const double rise = map.heightAt(double(sx) * mm.value(), double(sy) * mm.value()) / mm.value();
                QVERIFY(gx == sx * perStep && gy == sy * perStep && gz == (sz + std::llround(rise)) * perStep);
                split += pieces->size() > 1;
            }
        }
        QVERIFY(split > 0);
    }

    void anEmptyJobIsStillAValidFile() {
        GcodeWriter writer({.stepsPerPixel = 150, .mmPerStep = Decimal{1, 2}, .feed = 300});
        const std::string file = writer.header({.image = "weiß (copy).bmp"}) + writer.footer();
        std::string why;
        const std::optional<std::vector<GcodeMove>> read = readGcode(file, &why);
        QVERIFY2(read, why.c_str());
        QVERIFY(read->empty());
        QVERIFY(file.find("weiß") == std::string::npos); // comments keep to printable ASCII
        QVERIFY(file.find("[copy]") != std::string::npos);
        // Where the tool must stand, as a comment of its own that a reader takes whole.
        const std::string placed = writer.header({.image = "a.bmp"}, GcodeStart{3, 5}) + writer.footer();
        QVERIFY2(readGcode(placed, &why), why.c_str());
        QVERIFY2(placed.find("(start: the tool at the surface over pixel 3, 5, 3.00 mm right and 6.00 mm down "
                             "of the picture's top-left pixel; every move is relative to it)\n") != std::string::npos,
                 placed.c_str());
    }

    void theCostIsCountedOnACopy() {
        std::vector<std::uint8_t> bits(20 * 12 * 4, 255);
        for (int y = 2; y <= 4; ++y)
            for (int x = 2; x <= 5; ++x)
                bits[std::size_t(((y - 1) * 20 + x - 1) * 4)] = 0;
        ImageSession s;
        s.layers = LayerSet::copiesOf(ImageLayer({20, 12, 32}, bits));
        parseImage(s);
        const std::vector<std::uint8_t> before = s.layers.millLayer.bits();
        const auto tables = s.regions->tables.regionTable;
        ImageSession copy = copyForSimulation(s, MillKind::All);
        JobCount count;
        simulateJob(MillKind::All, copy, ToolPosition{},
                    {.mergeSteps = true, .safeHeight = 0, .stepsPerPixel = 150},
                    [&count](const CommandMove& c) {
                        ++count.commands;
                        count.moves += c.moves;
                    });
        // Approach, plunge, three runs and one step around the 4 x 3 block... and the lift.
        QCOMPARE(count.moves, std::int64_t{13});
        QCOMPARE(count.commands, std::int64_t{7});
        QVERIFY(s.layers.millLayer.bits() == before);
        QVERIFY(s.regions->tables.regionTable == tables);
        count.bytes = 60;
        QCOMPARE(lineTimeMs(count, 100, 9600), 7 * 100 + 600 * 1000.0 / 9600);
    }
};

QTEST_APPLESS_MAIN(CommandsTest)
#include "test_commands.moc"
