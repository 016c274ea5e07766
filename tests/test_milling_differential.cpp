// The fast milling against the literal, slow transcription in tests/reference, on thousands of small random
// images: for every region (and ids that name none), from a random tool position, with "Фрезеровать" ticked,
// unticked or flipping during the run, the moves (every one, and those that reach the board), the dry steps,
// the marked areas, the tool position and the whole mill layer must agree, call after call on the same layer;
// and "Все" must mill the same regions in the same order with the same result. Tables as a parse leaves them,
// as a gradient leaves them (empty tables, linkCount kept) and cut short (ids in the map beyond the region
// table, linkCount beyond the link table). A failure names the image (seed, kind, class grid), the first
// difference, and a shrunk image that still shows it.
//
// ZELMAR_DIFFERENTIAL_IMAGES and ZELMAR_DIFFERENTIAL_FIRST_SEED widen or move the run for a longer soak.

#include "image/image_layer.h"
#include "image/image_session.h"
#include "image/regions.h"
#include "mill/carving.h"
#include "mill/commands.h"
#include "mill/mill_job.h"
#include "mill/tool_sweep.h"
#include "mill/drop_cutter.h"
#include "mill/milling.h"
#include "reference/literal_milling.h"
#include "reference/random_images.h"

#include <QTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <set>
#include <sstream>
#include <string>

using namespace zelmar;
namespace ref = zelmar::reference;

namespace {

const std::uint64_t imageCount = ref::differentialImages(2000, 70);
const std::uint64_t firstSeed = ref::envNumber("ZELMAR_DIFFERENTIAL_FIRST_SEED", 1);

std::string text(std::int64_t n) {
    return std::to_string(n);
}

std::string moveText(const ref::MillMove& m) {
    return "(" + text(m.x) + ", " + text(m.y) + ", " + text(m.z) + ")";
}

std::string rectText(const PixelRect& r) {
    return "[" + text(r.left) + ", " + text(r.top) + ") .. [" + text(r.right) + ", " + text(r.bottom) + ")";
}

// ---- Inputs: an image, its tables as some operation left them, a mill layer ----

// Layers in the program are always 4 bytes per pixel, whatever the file had.
ref::TestImage asLayerImage(const ref::TestImage& image) {
    return ref::fromPixels(image.kind, image.seed, image.geometry.width, image.geometry.height, 4,
                           ref::pixelsOf(image), 0);
}

enum class Variant { Parsed, GreyMillLayer, AfterGradient, CutTables };
constexpr int variantCount = 4;

const char* variantName(Variant v) {
    switch (v) {
    case Variant::Parsed:
        return "tables of the parse, mill layer = image";
    case Variant::GreyMillLayer:
        return "tables of the parse, mill layer of unrelated grey levels";
    case Variant::AfterGradient:
        return "after a gradient: both tables 100 empty entries, linkCount kept";
    case Variant::CutTables:
        return "tables cut short: ids in the map beyond the region table, linkCount beyond the link table";
    }
    return "?";
}

struct Scene {
    ref::TestImage image; // 4 bytes per pixel, as parsed
    Variant variant = Variant::Parsed;
    RegionTables tables;
    RegionTree tree;
    std::int32_t treeNodes = 0;
    std::vector<std::uint8_t> millBytes; // the mill layer before the first call

    std::int32_t width() const { return image.geometry.width; }
    std::int32_t height() const { return image.geometry.height; }
};

std::int32_t largestId(const LabelMap& map) {
    std::int32_t largest = 0;
    for (std::int32_t y = 0; y <= map.height(); ++y)
        for (std::int32_t x = 0; x <= map.width(); ++x)
            largest = std::max(largest, map.at(x, y));
    return largest;
}

Scene makeScene(const ref::TestImage& image, Variant variant, ref::Random& random) {
    Scene scene;
    scene.image = image;
    scene.variant = variant;
    RegionAnalysis analysis = parseRegions(image.geometry, image.bytes.data());
    scene.tables = std::move(analysis.tables);
    scene.treeNodes = static_cast<std::int32_t>(analysis.tree.nodes.size());
    scene.tree = std::move(analysis.tree);
    scene.millBytes = image.bytes;
    RegionTables& t = scene.tables;
    switch (variant) {
    case Variant::Parsed:
        break;
    case Variant::GreyMillLayer:
        // Depths that have nothing to do with the regions, white and black often enough to matter.
        for (auto& b : scene.millBytes) {
            const std::int32_t roll = random.between(1, 10);
            b = static_cast<std::uint8_t>(roll == 1 ? 0 : roll == 2 ? 255 : random.between(0, 255));
        }
        break;
    case Variant::AfterGradient:
        t.regionTable.assign(std::size_t{initialTableSize} + 1, RegionRecord{});
        t.linkTable.assign(std::size_t{initialTableSize} + 1, NestingLink{});
        break;
    case Variant::CutTables: {
        const std::int32_t largest = largestId(t.labelMap);
        const std::int32_t keep = std::min(random.between(0, std::max(0, largest - 1)), t.regionTableSize());
        t.regionTable.resize(static_cast<std::size_t>(keep) + 1);
        if (t.linkCount > 0)
            t.linkTable.resize(static_cast<std::size_t>(random.between(0, t.linkCount - 1)) + 1);
        break;
    }
    }
    return scene;
}

ref::MillingState literalStateOf(const Scene& scene, const std::vector<std::uint8_t>& millBytes) {
    ref::MillingState s;
    s.bmWidth = scene.width();
    s.bmHeight = scene.height();
    s.bmBitsPixel = 32;
    s.millLayer = millBytes;
    const LabelMap& map = scene.tables.labelMap;
    s.labelMap.assign(static_cast<std::size_t>(map.width()) + 1,
                      std::vector<std::int32_t>(static_cast<std::size_t>(map.height()) + 1));
    for (std::int32_t x = 0; x <= map.width(); ++x)
        for (std::int32_t y = 0; y <= map.height(); ++y)
            s.labelMap[static_cast<std::size_t>(x)][static_cast<std::size_t>(y)] = map.at(x, y);
    for (const RegionRecord& r : scene.tables.regionTable)
        s.regionTable.push_back({r.depth, r.isLight, r.state});
    for (const NestingLink& l : scene.tables.linkTable)
        s.linkTable.push_back({l.childId, l.parentId});
    s.linkCount = scene.tables.linkCount;
    return s;
}

ImageLayer fastLayerOf(const Scene& scene, const std::vector<std::uint8_t>& millBytes) {
    return ImageLayer(BitmapHeader{scene.width(), scene.height(), 32}, millBytes);
}

std::string sceneText(const Scene& scene, const std::vector<std::uint8_t>& millBytes) {
    const RegionTables& t = scene.tables;
    std::ostringstream out;
    out << scene.image.describe() << variantName(scene.variant)
        << "\nlabel map (frame row and column too):\n";
    for (std::int32_t y = 0; y <= t.labelMap.height(); ++y) {
        for (std::int32_t x = 0; x <= t.labelMap.width(); ++x)
            out << (x ? " " : "") << t.labelMap.at(x, y);
        out << '\n';
    }
    out << "regions of " << t.regionTableSize() << ":";
    for (std::int32_t i = 1; i <= t.regionTableSize(); ++i) {
        const RegionRecord& r = t.regionTable[static_cast<std::size_t>(i)];
        if (r.state != 0)
            out << ' ' << i << (r.isLight ? "L" : "D") << "/depth " << r.depth << "/state " << r.state;
    }
    out << "\nlinkCount " << t.linkCount << ", link table " << t.linkTableSize() << ":";
    for (std::int32_t k = 1; k <= t.usableLinkCount(); ++k)
        out << ' ' << t.linkTable[static_cast<std::size_t>(k)].parentId << ">"
            << t.linkTable[static_cast<std::size_t>(k)].childId;
    out << "\ntree nodes " << scene.treeNodes << "\ncut depths of the mill layer on entry:\n";
    const PixelGeometry g = scene.image.geometry;
    for (std::int32_t y = 1; y <= g.height; ++y) {
        for (std::int32_t x = 1; x <= g.width; ++x)
            out << (x > 1 ? " " : "") << cutDepthOf(millBytes[static_cast<std::size_t>(g.indexOf(x, y) - 1)]);
        out << '\n';
    }
    return out.str();
}

// ---- The fast side's host: records what the milling did ----

// Whether "Фрезеровать" is ticked once a run has done `stepsDone` steps: always, never, or flipping now and
// then. Nothing changes it between two steps, so both sides must see the same answer at every move.
struct Ticking {
    enum Kind { On, Off, Flipping } kind = On;
    std::uint64_t seed = 0;

    bool at(std::size_t stepsDone) const {
        if (kind != Flipping)
            return kind == On;
        ref::Random random(seed * 1000003 + stepsDone);
        return random.percent(60);
    }
    std::string name() const {
        return kind == On    ? "ticked"
               : kind == Off ? "unticked"
                             : "flipping (seed " + text(std::int64_t(seed)) + ")";
    }
};

Ticking randomTicking(ref::Random& random) {
    const std::int32_t roll = random.between(1, 10);
    Ticking t;
    t.kind = roll <= 5 ? Ticking::On : roll <= 8 ? Ticking::Off : Ticking::Flipping;
    t.seed = random.next() % 100000;
    return t;
}

// Carries out the fast side's moves as the runner does: each move, as it falls due, is sent while the box is
// ticked and is otherwise only drawn (a dry step); then it is done, and a step's mark is painted.
class RecordingHost final {
public:
    explicit RecordingHost(Ticking ticking) : ticking_(ticking) {}

    void run(MoveSource& job) {
        while (const PlannedMove* m = job.next()) {
            take(*m);
            const PixelRect marked = job.complete();
            if (m->kind == MoveKind::Step)
                marks.push_back(marked);
        }
    }
    void run(const RegionPlan& plan, ImageLayer& layer, ToolPosition& tool) {
        for (const PlannedMove& m : plan.moves) {
            take(m);
            const PixelRect marked = markMove(layer, m);
            if (m.kind == MoveKind::Step)
                marks.push_back(marked);
            tool = m.tool;
        }
    }

    std::vector<ref::MillMove> moves;
    std::vector<ref::MillMove> sent;
    std::int32_t drySteps = 0;
    std::vector<PixelRect> marks;

private:
    void take(const PlannedMove& m) {
        const bool ticked = ticking_.at(marks.size());
        moves.push_back({m.x, m.y, m.z});
        if (ticked)
            sent.push_back({m.x, m.y, m.z});
        else if (m.kind == MoveKind::Step)
            ++drySteps;
    }

    Ticking ticking_;
};

// The regions a job reaches, in order.
struct RegionOrder final : JobEvents {
    std::vector<std::int32_t> regions;
    void regionStarts(std::int32_t regionId) override { regions.push_back(regionId); }
};

// The session a job runs on: the scene's tables and tree, the given mill layer.
ImageSession sessionOf(const Scene& scene, const std::vector<std::uint8_t>& millBytes) {
    ImageSession session;
    session.layers.millLayer = ImageLayer(BitmapHeader{scene.width(), scene.height(), 32}, millBytes);
    session.regions = std::make_shared<RegionAnalysis>();
    session.regions->tables = scene.tables;
    session.regions->tree = scene.tree;
    return session;
}

std::int64_t tracedMoves(const RegionTables& tables, const MillIndex& index, std::int32_t regionId) {
    TracedRegions traced;
    traced.trace(tables.labelMap, index, regionId);
    return traced.totalMoves();
}

void clearRecord(ref::MillingState& s) {
    s.moves.clear();
    s.sendMoves.clear();
    s.drySteps = 0;
    s.stepXs.clear();
    s.stepYs.clear();
    s.millRegions.clear();
}

void setTicking(ref::MillingState& s, Ticking ticking) {
    s.check1 = [&s, ticking] { return ticking.at(s.stepXs.size()); };
}

// The 3 x 3 block around a step's end, clipped to the image, 0-based.
PixelRect markedArea(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height) {
    return {std::max(x - 2, 0), std::max(y - 2, 0), std::min(x + 1, width), std::min(y + 1, height)};
}

// ---- Comparisons: the first difference, or nothing ----

std::optional<std::string> movesDifference(const std::vector<ref::MillMove>& fast,
                                           const std::vector<ref::MillMove>& literal) {
    const std::size_t common = std::min(fast.size(), literal.size());
    for (std::size_t i = 0; i < common; ++i)
        if (!(fast[i] == literal[i]))
            return "move " + text(std::int64_t(i)) + " of " + text(std::int64_t(literal.size())) + ": fast " +
                   moveText(fast[i]) + ", reference " + moveText(literal[i]);
    if (fast.size() != literal.size()) {
        std::string extra = fast.size() > literal.size()
                                ? "fast goes on with " + moveText(fast[common])
                                : "reference goes on with " + moveText(literal[common]);
        return "move count: fast " + text(std::int64_t(fast.size())) + ", reference " +
               text(std::int64_t(literal.size())) + "; " + extra;
    }
    return std::nullopt;
}

std::string movesText(const std::vector<ref::MillMove>& moves) {
    std::string out;
    for (std::size_t i = 0; i < moves.size() && i < 60; ++i)
        out += " " + moveText(moves[i]);
    if (moves.size() > 60)
        out += " ...";
    return out;
}

std::optional<std::string> layerDifference(const ImageLayer& fast, const std::vector<std::uint8_t>& literal,
                                           const PixelGeometry& g) {
    const std::vector<std::uint8_t>& bits = fast.bits();
    if (bits.size() != literal.size())
        return "mill layer: fast " + text(std::int64_t(bits.size())) + " bytes, reference " +
               text(std::int64_t(literal.size()));
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] != literal[i]) {
            const auto pixel = static_cast<std::int32_t>(i) / g.bytesPerPixel;
            return "mill layer byte " + text(std::int64_t(i)) + " (pixel (" + text(pixel % g.width + 1) +
                   ", " + text(pixel / g.width + 1) + "), byte " + text(std::int64_t(i) % g.bytesPerPixel) +
                   "): fast " + text(bits[i]) + ", reference " + text(literal[i]);
        }
    }
    return std::nullopt;
}

// One or more MillRegion calls of both sides, since the records were last cleared.
std::optional<std::string> runDifference(const RecordingHost& host, const ToolPosition& tool,
                                         const ImageLayer& layer, const ref::MillingState& literal,
                                         const PixelGeometry& g) {
    if (auto d = movesDifference(host.moves, literal.moves))
        return *d + "\n  fast moves:" + movesText(host.moves) +
               "\n  reference moves:" + movesText(literal.moves);
    if (auto d = movesDifference(host.sent, literal.sendMoves))
        return "moves sent to the board, " + *d + "\n  fast sent:" + movesText(host.sent) +
               "\n  reference sent:" + movesText(literal.sendMoves);
    if (host.drySteps != literal.drySteps)
        return "dry steps: fast " + text(host.drySteps) + ", reference " + text(literal.drySteps);
    for (std::size_t i = 0; i < literal.stepXs.size() && i < host.marks.size(); ++i) {
        const PixelRect expected = markedArea(literal.stepXs[i], literal.stepYs[i], g.width, g.height);
        if (!(host.marks[i] == expected))
            return "step " + text(std::int64_t(i)) + " to (" + text(literal.stepXs[i]) + ", " +
                   text(literal.stepYs[i]) + "): fast reports the marked area " + rectText(host.marks[i]) +
                   ", the marks cover " + rectText(expected);
    }
    if (host.marks.size() != literal.stepXs.size())
        return "steps reported done: fast " + text(std::int64_t(host.marks.size())) + ", reference steps " +
               text(std::int64_t(literal.stepXs.size()));
    if (tool.toolX != literal.toolX || tool.toolY != literal.toolY || tool.toolZ != literal.toolZ)
        return "tool afterwards: fast (" + text(tool.toolX) + ", " + text(tool.toolY) + ", " +
               text(tool.toolZ) + "), reference (" + text(literal.toolX) + ", " + text(literal.toolY) + ", " +
               text(literal.toolZ) + ")";
    return layerDifference(layer, literal.millLayer, g);
}

// ---- What the random inputs must keep reaching, or the comparison loses its teeth ----

struct Reach {
    std::int64_t images = 0, calls = 0, steps = 0, allRuns = 0, allRegions = 0;
    std::int64_t neighbourContours = 0, skippedContours = 0, loopGuards = 0, startRevisits = 0;
    std::int64_t stepsOutside = 0, dryRuns = 0, flippingRuns = 0, selectedRuns = 0, noPixelCalls = 0;
    std::int64_t linkCountBeyondTable = 0, idsBeyondRegionTable = 0, allDeeperThanZero = 0, premarked = 0;
};

void tallyCall(Reach* reach, const ref::MillingState& s, const ref::MillingState& before,
               const Scene& scene) {
    if (reach == nullptr)
        return;
    reach->steps += static_cast<std::int64_t>(s.stepXs.size());
    reach->skippedContours += s.contoursSkipped - before.contoursSkipped;
    reach->loopGuards += s.loopGuardStops - before.loopGuardStops;
    reach->startRevisits += s.startRevisits - before.startRevisits;
    reach->neighbourContours += s.contoursCut - before.contoursCut > 1;
    reach->noPixelCalls += s.contoursCut == before.contoursCut;
    for (std::size_t i = 0; i < s.stepXs.size(); ++i)
        reach->stepsOutside +=
            s.stepXs[i] < 1 || s.stepYs[i] < 1 || s.stepXs[i] > scene.width() || s.stepYs[i] > scene.height();
}

// ---- "Выделенная" and MillRegion, call after call on one layer ----

// Every id in the map and every live one, a free one, and ids that name nothing, in random order.
std::vector<std::int32_t> idsToMill(const RegionTables& t, ref::Random& random) {
    std::set<std::int32_t> ids = {0, -1, t.regionTableSize() + 1, std::numeric_limits<std::int32_t>::max()};
    for (std::int32_t y = 0; y <= t.labelMap.height(); ++y)
        for (std::int32_t x = 0; x <= t.labelMap.width(); ++x)
            ids.insert(t.labelMap.at(x, y));
    for (std::int32_t i = 1; i <= t.regionTableSize(); ++i) {
        if (t.regionTable[static_cast<std::size_t>(i)].state == 0) {
            ids.insert(i);
            break;
        }
    }
    std::vector<std::int32_t> list(ids.begin(), ids.end());
    for (std::size_t i = list.size(); i > 1; --i)
        std::swap(list[i - 1], list[static_cast<std::size_t>(random.between(0, std::int32_t(i) - 1))]);
    return list;
}

// A layer painted by an earlier milling of some region, as a second milling in the same run finds it.
std::vector<std::uint8_t> premarked(const Scene& scene, std::vector<std::uint8_t> bytes,
                                    ref::Random& random) {
    ref::MillingState s = literalStateOf(scene, bytes);
    const std::int32_t x = random.between(1, scene.width()), y = random.between(1, scene.height());
    ref::MillRegion(s, scene.tables.labelMap.at(x, y));
    return s.millLayer;
}

std::optional<std::string> regionMillingDifference(const ref::TestImage& image, Variant variant,
                                                   Reach* reach) {
    ref::Random random(image.seed * 16 + static_cast<std::uint64_t>(variant) + 1);
    Scene scene = makeScene(image, variant, random);
    std::vector<std::uint8_t> entry = scene.millBytes;
    if (random.percent(30)) {
        entry = premarked(scene, entry, random);
        if (reach != nullptr)
            reach->premarked += 1;
    }
    if (reach != nullptr) {
        reach->images += 1;
        reach->linkCountBeyondTable += scene.tables.linkCount > scene.tables.linkTableSize();
        reach->idsBeyondRegionTable += largestId(scene.tables.labelMap) > scene.tables.regionTableSize();
    }

    const MillIndex index = MillIndex::build(scene.tables);
    ref::MillingState literal = literalStateOf(scene, entry);
    ImageSession session = sessionOf(scene, entry);
    ImageLayer& layer = session.layers.millLayer;
    MillIndexCache cache;
    ToolPosition tool;
    const PixelGeometry g = scene.image.geometry;

    for (std::int32_t id : idsToMill(scene.tables, random)) {
        // Where the tool stands: left by the last call, or anywhere in and around the image.
        if (random.percent(60)) {
            tool.toolX = random.between(-3, scene.width() + 3);
            tool.toolY = random.between(-3, scene.height() + 3);
            tool.toolZ = random.between(0, 25);
        }
        literal.toolX = tool.toolX;
        literal.toolY = tool.toolY;
        literal.toolZ = tool.toolZ;
        const Ticking ticking = randomTicking(random);
        setTicking(literal, ticking);
        clearRecord(literal);
        const bool selected = random.percent(25);
        const ref::MillingState before = literal;

        RecordingHost host(ticking);
        std::string how;
        std::int64_t counted = 0;
        if (selected) {
            how = "\"Выделенная\" on node " + nodeKey(id);
            const auto message = ref::MillSelected(literal, scene.treeNodes, nodeKey(id));
            if (scene.treeNodes == 0) {
                session.selectedNode = -1;
                if (message != ref::noTreeText() || checkMillCommand(MillKind::Selected, session) != MillRefusal::NoTree)
                    return how + " with an empty tree: the two sides do not refuse alike";
                continue; // the command ends at its message on both sides
            }
            const std::optional<std::int32_t> parsed = regionIdOfKey(nodeKey(id));
            if (!parsed || *parsed != id)
                return how + ": the key does not give back region " + text(id);
            counted = tracedMoves(scene.tables, index, *parsed);
            session.selectedNode = scene.tree.nodeOfRegion(*parsed);
            if (session.selectedNode >= 0) {
                // The command itself: it declares the tool to stand over pixel (1, 1).
                MillJob job(MillKind::Selected, session, tool, cache);
                host.run(job);
                tool = job.tool();
            } else {
                // A region the tree does not show cannot be selected in the window; its milling is the same.
                tool.toolX = 1;
                tool.toolY = 1;
                host.run(MillRegion(scene.tables, index, layer, tool, *parsed), layer, tool);
            }
        } else {
            how = "MillRegion(" + text(id) + ") from (" + text(before.toolX) + ", " + text(before.toolY) +
                  ", " + text(before.toolZ) + ")";
            counted = tracedMoves(scene.tables, index, id);
            host.run(MillRegion(scene.tables, index, layer, tool, id), layer, tool);
            ref::MillRegion(literal, id);
        }

        if (reach != nullptr) {
            reach->calls += 1;
            reach->dryRuns += ticking.kind == Ticking::Off;
            reach->flippingRuns += ticking.kind == Ticking::Flipping;
            reach->selectedRuns += selected;
        }
        tallyCall(reach, literal, before, scene);
        auto fail = [&](const std::string& what) {
            return how + ", \"Фрезеровать\" " + ticking.name() + ": " + what + "\n" + sceneText(scene, entry);
        };
        if (auto d = runDifference(host, tool, layer, literal, g))
            return fail(*d);
        const auto literalCount = static_cast<std::int64_t>(literal.moves.size());
        if (counted != literalCount)
            return fail("the trace counts " + text(counted) + " moves, the milling made " + text(literalCount));
    }
    return std::nullopt;
}

// ---- "Все" ----

std::optional<std::string> millAllDifference(const ref::TestImage& image, Variant variant, Reach* reach) {
    ref::Random random(image.seed * 16 + static_cast<std::uint64_t>(variant) + 9);
    Scene scene = makeScene(image, variant, random);
    RegionTables& t = scene.tables;
    // Some regions milled already by an earlier "Все" of the same parse.
    if (random.percent(20))
        for (std::int32_t i = 1; i <= t.regionTableSize(); ++i)
            if (t.isLive(i) && random.percent(30))
                t.regionTable[static_cast<std::size_t>(i)].state = regionMilled;
    std::vector<std::uint8_t> entry = scene.millBytes;
    if (random.percent(30))
        entry = premarked(scene, entry, random);

    ref::MillingState literal = literalStateOf(scene, entry);
    ImageSession session = sessionOf(scene, entry);
    RegionTables& fastTables = session.regions->tables;
    MillIndexCache cache;
    ToolPosition tool{random.between(-2, scene.width() + 2), random.between(-2, scene.height() + 2),
                      random.between(0, 25)};
    literal.toolX = tool.toolX;
    literal.toolY = tool.toolY;
    literal.toolZ = tool.toolZ;
    const Ticking ticking = randomTicking(random);
    setTicking(literal, ticking);
    const PixelGeometry g = scene.image.geometry;

    // Twice without a parse in between: the second finds everything milled.
    for (int press = 1; press <= 2; ++press) {
        clearRecord(literal);
        const ref::MillingState before = literal;
        const auto message = ref::MillAll(literal, scene.treeNodes);
        auto fail = [&](const std::string& what) {
            return "\"Все\", press " + text(press) + ", tool from (" + text(before.toolX) + ", " +
                   text(before.toolY) + ", " + text(before.toolZ) + "), \"Фрезеровать\" " + ticking.name() +
                   ": " + what + "\n" + sceneText(scene, entry);
        };
        if (scene.treeNodes == 0) {
            if (message != ref::noTreeText() || checkMillCommand(MillKind::All, session) != MillRefusal::NoTree)
                return fail("with an empty tree the two sides do not refuse alike");
            return std::nullopt;
        }

        RecordingHost host(ticking);
        RegionOrder reached;
        // The command itself, from wherever the tool stands.
        MillJob job(MillKind::All, session, tool, cache, &reached);
        host.run(job);
        tool = job.tool();
        const std::vector<std::int32_t>& order = reached.regions;

        if (order != literal.millRegions) {
            std::string fastOrder, literalOrder;
            for (std::int32_t r : order)
                fastOrder += " " + text(r);
            for (std::int32_t r : literal.millRegions)
                literalOrder += " " + text(r);
            return fail("order of milling: fast" + fastOrder + ", reference" + literalOrder);
        }
        if (auto d = runDifference(host, tool, session.layers.millLayer, literal, g))
            return fail(*d);
        for (std::int32_t i = 1; i <= fastTables.regionTableSize(); ++i)
            if (fastTables.regionTable[static_cast<std::size_t>(i)].state !=
                literal.regionTable[static_cast<std::size_t>(i)].state)
                return fail("state of region " + text(i) + " afterwards: fast " +
                            text(fastTables.regionTable[static_cast<std::size_t>(i)].state) + ", reference " +
                            text(literal.regionTable[static_cast<std::size_t>(i)].state));
        if (reach != nullptr && press == 1) {
            reach->allRuns += 1;
            reach->allRegions += static_cast<std::int64_t>(order.size());
            for (std::int32_t r : order)
                if (fastTables.regionTable[static_cast<std::size_t>(r)].depth > 0) {
                    reach->allDeeperThanZero += 1;
                    break;
                }
        }
    }
    return std::nullopt;
}

// ---- Shrinking a failing image to one that is easier to read ----

using Check = std::function<std::optional<std::string>(const ref::TestImage&)>;

ref::TestImage shrink(const ref::TestImage& failing, const Check& check) {
    return ref::shrinkFailingImage(
        failing, [&check](const ref::TestImage& image) { return check(image).has_value(); }, 4, 0);
}

// Runs the check over the seeds; on failures reports the first in full, shrunk, and how many failed.
std::optional<std::string> runOverRandomImages(
    const std::function<std::optional<std::string>(const ref::TestImage&, Variant, Reach*)>& check,
    Reach& reach) {
    std::uint64_t failures = 0;
    std::string report;
    for (std::uint64_t seed = firstSeed; seed < firstSeed + imageCount; ++seed) {
        const ref::TestImage image = asLayerImage(ref::randomImage(seed));
        for (int v = 0; v < variantCount; ++v) {
            const auto variant = static_cast<Variant>(v);
            const std::optional<std::string> d = check(image, variant, &reach);
            if (!d)
                continue;
            if (failures++ == 0) {
                const Check again = [&](const ref::TestImage& i) { return check(i, variant, nullptr); };
                const ref::TestImage small = shrink(image, again);
                report = "seed " + text(std::int64_t(seed)) + ", first difference: " + *d +
                         "\n== shrunk to: " + again(small).value_or("?");
            }
        }
    }
    if (failures == 0)
        return std::nullopt;
    return text(std::int64_t(failures)) + " of " + text(std::int64_t(imageCount * variantCount)) +
           " image and table variants differ; the first:\n" + report;
}

// An image from rows of L (white) and D (black).
ref::TestImage imageOfRows(const std::vector<std::string>& rows) {
    const auto w = static_cast<std::int32_t>(rows.front().size());
    const auto h = static_cast<std::int32_t>(rows.size());
    std::vector<std::array<std::uint8_t, 4>> pixels;
    for (const std::string& row : rows)
        for (char c : row)
            pixels.push_back({static_cast<std::uint8_t>(c == 'L' ? 255 : 0), 0, 0, 0});
    return ref::fromPixels("drawn", 0, w, h, 4, pixels, 0);
}

// The deepest a tool goes at each pixel, by the rule itself: every pixel it covers, one by one, and the stock
// beyond the picture at the surface. Beyond the first row or column outside, farther pixels bind less.
std::vector<std::uint8_t> footprintDepths(const std::vector<std::uint8_t>& targets, std::int32_t w, std::int32_t h,
                                          const ToolProfile& tool) {
    std::vector<std::uint8_t> depths(targets.size());
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            std::int64_t best = targets[static_cast<std::size_t>(y * w + x)];
            for (std::int32_t qy = -1; qy <= h; ++qy)
                for (std::int32_t qx = -1; qx <= w; ++qx) {
                    const std::int64_t s = std::int64_t{qx - x} * (qx - x) + std::int64_t{qy - y} * (qy - y);
                    if (s > tool.reachSquared())
                        continue;
                    const bool inside = qx >= 0 && qy >= 0 && qx < w && qy < h;
                    const std::int64_t target = inside ? targets[static_cast<std::size_t>(qy * w + qx)] : 0;
                    best = std::min(best, target + tool.unitsAbove(s));
                }
            depths[static_cast<std::size_t>(y * w + x)] = static_cast<std::uint8_t>(best);
        }
    return depths;
}

// The tool's body carried along a straight move, by the rule itself at many points of the move: the deepest it
// reaches at the centre (qx, qy), or nothing where it never covers it.
std::optional<double> sampledDeepest(const ToolProfile& tool, double qx, double qy, const TipPoint& a,
                                     const TipPoint& b) {
    // Today's tool is its axis: it cuts a centre only where the axis passes over it, which on a move between two
    // centres happens at a whole fraction of the move's own divisor.
    const double radius = tool.kind() == ToolKind::Pixel ? 0 : tool.radius();
    const double r2 = radius * radius + 1e-9;
    const double length = std::hypot(b.x - a.x, b.y - a.y, b.depth - a.depth);
    const int divisor = std::max(1, std::gcd(static_cast<int>(std::abs(b.x - a.x)), static_cast<int>(std::abs(b.y - a.y))));
    const int samples = 64 * divisor * std::max(1, static_cast<int>(std::ceil(length)));
    std::optional<double> deepest;
    for (int i = 0; i <= samples; ++i) {
        const double t = double(i) / samples;
        const double dx = a.x + t * (b.x - a.x) - qx, dy = a.y + t * (b.y - a.y) - qy;
        const double d2 = dx * dx + dy * dy;
        if (d2 > r2)
            continue;
        const double cut = a.depth + t * (b.depth - a.depth) - tool.heightAbove(std::min(d2, radius * radius));
        deepest = std::max(deepest.value_or(cut), cut);
    }
    return deepest;
}

} // namespace

class MillingDifferentialTest : public QObject {
    Q_OBJECT
private slots:
    void turnsMatchForEveryPair() {
        for (std::int32_t x = -2; x <= 2; ++x) {
            for (std::int32_t y = -2; y <= 2; ++y) {
                std::int32_t fx = x, fy = y, rx = x, ry = y;
                TurnClockwise(fx, fy);
                ref::TurnClockwise(rx, ry);
                QVERIFY2(fx == rx && fy == ry, ("clockwise from (" + text(x) + ", " + text(y) + ")").c_str());
                fx = x, fy = y, rx = x, ry = y;
                TurnCounterClockwise(fx, fy);
                ref::TurnCounterClockwise(rx, ry);
                QVERIFY2(fx == rx && fy == ry,
                         ("counter-clockwise from (" + text(x) + ", " + text(y) + ")").c_str());
            }
        }
    }

    void regionMillingMatchesTheLiteralRun() {
        Reach reach;
        const auto failure = runOverRandomImages(regionMillingDifference, reach);
        std::ostringstream out;
        out << reach.images << " image and table variants, " << reach.calls << " millings, " << reach.steps
            << " steps (" << reach.stepsOutside << " outside the image); contours: around neighbours in "
            << reach.neighbourContours << " millings, skipped " << reach.skippedContours
            << ", ended at the start " << reach.startRevisits << ", by a repeated state " << reach.loopGuards
            << "; no pixel " << reach.noPixelCalls << "; dry " << reach.dryRuns << ", flipping "
            << reach.flippingRuns << ", \"Выделенная\" " << reach.selectedRuns << ", pre-marked layers "
            << reach.premarked << "; linkCount beyond the link table " << reach.linkCountBeyondTable
            << ", ids beyond the region table " << reach.idsBeyondRegionTable;
        qInfo("%s", out.str().c_str());
        if (failure)
            QFAIL(failure->c_str());
        QVERIFY(reach.neighbourContours > 0 && reach.skippedContours > 0 && reach.loopGuards > 0);
        QVERIFY(reach.stepsOutside > 0 && reach.noPixelCalls > 0 && reach.premarked > 0);
        QVERIFY(reach.dryRuns > 0 && reach.flippingRuns > 0 && reach.selectedRuns > 0);
        QVERIFY(reach.linkCountBeyondTable > 0 && reach.idsBeyondRegionTable > 0);
    }

    void millAllMatchesTheLiteralRun() {
        Reach reach;
        const auto failure = runOverRandomImages(millAllDifference, reach);
        qInfo("%lld runs of \"Все\" milled %lld regions; %lld reached below level 0",
              static_cast<long long>(reach.allRuns), static_cast<long long>(reach.allRegions),
              static_cast<long long>(reach.allDeeperThanZero));
        if (failure)
            QFAIL(failure->c_str());
        QVERIFY(reach.allRegions > reach.allRuns && reach.allDeeperThanZero > 0);
    }

    // Random small pictures of cut depths (noise, few levels, blocks, one level) under random tools: the
    // transform by levels gives exactly the footprint loop's depths.
    void dropCutterMatchesTheFootprintLoop() {
        ref::Random random(20261208);
        const std::uint64_t pictures = imageCount / 2;
        std::int64_t bound = 0, wide = 0;
        for (std::uint64_t n = 0; n < pictures; ++n) {
            const std::int32_t w = random.between(1, 36), h = random.between(1, 36);
            const int style = random.between(0, 3);
            const std::int32_t levels = random.between(1, 26);
            std::vector<std::uint8_t> targets(static_cast<std::size_t>(w * h));
            const std::int32_t block = random.between(1, 9);
            std::vector<std::int32_t> blockLevel(64 * 64);
            for (auto& v : blockLevel)
                v = random.between(0, levels - 1);
            for (std::int32_t y = 0; y < h; ++y)
                for (std::int32_t x = 0; x < w; ++x) {
                    std::int32_t v = style == 0   ? random.between(0, 25)
                                     : style == 1 ? random.between(0, levels - 1) * 25 / std::max(1, levels - 1)
                                     : style == 2 ? blockLevel[static_cast<std::size_t>((y / block) * 64 + x / block)]
                                                  : levels - 1;
                    targets[static_cast<std::size_t>(y * w + x)] = static_cast<std::uint8_t>(std::min(v, 25));
                }
            ToolShape shape;
            shape.kind = std::array{ToolKind::Flat, ToolKind::Ball, ToolKind::V}[random.between(0, 2)];
            shape.diameterMm = Decimal{random.between(1, 400), 1}; // 0.1 .. 40 mm
            shape.angleDeg = Decimal{random.between(10, 170), 0};
            const double mmPerPixel = std::array{0.5, 1.0, 1.5, 0.25}[random.between(0, 3)];
            const ToolProfile tool(shape, mmPerPixel);
            const auto fast = dropCutterDepths(targets, w, h, tool);
            const auto literal = footprintDepths(targets, w, h, tool);
            if (fast != literal) {
                std::ostringstream out;
                out << "picture " << n << " (" << w << " x " << h << "), tool " << wordOf(shape) << " at "
                    << mmPerPixel << " mm a pixel:";
                for (std::size_t i = 0; i < fast.size(); ++i)
                    if (fast[i] != literal[i]) {
                        out << " first difference at " << i % w << ", " << i / w << ": " << int(fast[i])
                            << " against " << int(literal[i]);
                        break;
                    }
                QFAIL(out.str().c_str());
            }
            bound += fast != targets;
            wide += tool.reachSquared() >= std::int64_t{w} * w + std::int64_t{h} * h;
        }
        qInfo("%llu pictures, the tool raised the cut in %lld, reached beyond the picture in %lld",
              static_cast<unsigned long long>(pictures), static_cast<long long>(bound), static_cast<long long>(wide));
        QVERIFY(bound > 0 && wide > 0 && bound < static_cast<std::int64_t>(pictures));
    }

    // Random small pictures of greys, parsed and milled with "Все" by a random flat, ball or V tool or today's,
    // merged or not, in passes or not: carried along every command as the machine moves it (sampled finely, by the tool's
    // own heights), the body never reaches below any pixel's depth or below the stock around the picture by a
    // motor step; the carving, swept exactly, is never shallower than the samples; and the tool still cuts.
    // A carving read only at the end (its moves carved all at once, by depth levels) holds at every pixel exactly
    // the deepest cut of any command, each worked out alone over the whole picture: tools wider than the picture,
    // runs along its edges and single steps among them.
    void noCommandOfAShapedToolCutsBelowThePicture() {
        ref::Random random(20261209);
        const std::uint64_t pictures = std::max<std::uint64_t>(8, imageCount / 12);
        const double motorStep = 1.0 / 150;
        std::int64_t cut = 0, staircases = 0, merged = 0, commands = 0;
        std::string failure;
        for (std::uint64_t n = 0; n < pictures; ++n) {
            const std::int32_t w = random.between(3, 22), h = random.between(3, 22);
            const std::int32_t block = random.between(1, 6);
            std::vector<std::int32_t> blockDepth(32 * 32);
            for (auto& d : blockDepth)
                d = random.percent(40) ? 0 : random.between(0, 25);
            std::vector<std::uint8_t> bytes;
            for (std::int32_t y = 0; y < h; ++y)
                for (std::int32_t x = 0; x < w; ++x) {
                    const std::int32_t d = random.percent(15) ? random.between(0, 25)
                                                              : blockDepth[std::size_t((y / block) * 32 + x / block)];
                    bytes.insert(bytes.end(), {static_cast<std::uint8_t>(std::max(0, 255 - 10 * d - random.between(0, 9))), 0, 0, 0});
                }
            const BitmapHeader header{w, h, 32};
            ImageSession session;
            session.layers.sourceLayer = ImageLayer(header, bytes);
            session.layers.workLayer = session.layers.sourceLayer;
            session.layers.millLayer = session.layers.sourceLayer;
            parseImage(session);
            if (checkMillCommand(MillKind::All, session) != MillRefusal::None)
                continue;
            ToolShape shape;
            shape.kind = std::array{ToolKind::Flat, ToolKind::Ball, ToolKind::V, ToolKind::Pixel}[random.between(0, 3)];
            shape.diameterMm = Decimal{random.between(3, 40), 1}; // 0.3 .. 4 mm
            shape.angleDeg = Decimal{random.between(20, 160), 0};
            const double mmPerPixel = std::array{0.25, 0.5, 1.0}[random.between(0, 2)];
            MillSettings settings;
            settings.tool = ToolProfile(shape, mmPerPixel);
            settings.safeHeight = random.between(0, 3);
            settings.stepDown = random.percent(40) ? random.between(1, 6) : 0;
            const MergeRule rule{random.percent(30), random.percent(50) ? std::array{0.5, 1.0, 2.5}[random.between(0, 2)] : 0.0};
            std::ostringstream what;
            what << "picture " << n << " (" << w << " x " << h << "), " << wordOf(shape) << " at " << mmPerPixel
                 << " mm a pixel, step-down " << settings.stepDown << ", safe " << settings.safeHeight
                 << ", merge " << rule.straightRuns << "/" << rule.tolerance;
            const auto target = [&](std::int32_t x, std::int32_t y) {
                return x < 1 || y < 1 || x > w || y > h ? 0 : cutDepthOf(bytes[std::size_t(((y - 1) * w + x - 1) * 4)]);
            };
            MillIndexCache cache;
            MillJob job(MillKind::All, session, ToolPosition{}, cache);
            job.setSettings(settings);
            const CommandFeed feed(rule, 150);
            Carving carving(w, h, settings.tool);
            Carving atOnce(w, h, settings.tool);
            std::vector<double> literal(static_cast<std::size_t>(w * h), 0.0);
            const ToolSweep sweep(settings.tool);
            while (job.next()) {
                const std::span<const PlannedMove> moves = feed.nextMoves(job.plannedAhead(), job.surfaceGuard());
                const PlannedMove& first = moves.front();
                const PlannedMove& last = moves.back();
                ++commands;
                merged += moves.size() > 1;
                staircases += first.kind == MoveKind::Step && first.x == 0 && first.y == 0;
                if (first.kind == MoveKind::Step || first.kind == MoveKind::Plunge) {
                    const TipPoint a{double(first.tool.toolX - first.x), double(first.tool.toolY - first.y),
                                     double(first.tool.toolZ + first.z)};
                    const TipPoint b{double(last.tool.toolX), double(last.tool.toolY), double(last.tool.toolZ)};
                    carving.take(moves);
                    atOnce.take(moves);
                    if (std::max(a.depth, b.depth) > 0)
                        for (std::int32_t y = 1; y <= h; ++y)
                            for (std::int32_t x = 1; x <= w; ++x) {
                                double& deepest = literal[static_cast<std::size_t>((y - 1) * w + x - 1)];
                                deepest = std::max(deepest, sweep.deepestAt(x, y, a, b));
                            }
                    sweep.forEachPixelNear(a, b, [&](std::int32_t x, std::int32_t y) {
                        const std::optional<double> d = sampledDeepest(settings.tool, x, y, a, b);
                        if (!d || *d <= 0)
                            return;
                        if (*d > target(x, y) + motorStep && failure.empty())
                            failure = (what.str() + ": the move from " + std::to_string(a.x) + ", " + std::to_string(a.y) + ", " +
                                   std::to_string(a.depth) + " to " + std::to_string(b.x) + ", " + std::to_string(b.y) + ", " +
                                   std::to_string(b.depth) + " cuts pixel " + std::to_string(x) + ", " + std::to_string(y) +
                                   " to " + std::to_string(*d) + " where the picture asks " + std::to_string(target(x, y)));
                        if (x >= 1 && y >= 1 && x <= w && y <= h &&
                            carving.depthAt(x - 1, y - 1) < *d - 1e-4 && failure.empty())
                            failure = what.str() + ": the carving is shallower than the tool's sweep at " +
                                      std::to_string(x) + ", " + std::to_string(y);
                    });
                    if (!failure.empty())
                        QFAIL(failure.c_str());
                }
                for (std::size_t i = moves.size(); i > 0; --i)
                    job.complete();
            }
            cut += carving.deepest() > 1;
            for (std::int32_t y = 1; y <= h; ++y)
                for (std::int32_t x = 1; x <= w; ++x) {
                    const float expected = static_cast<float>(literal[static_cast<std::size_t>((y - 1) * w + x - 1)]);
                    if (atOnce.depthAt(x - 1, y - 1) != expected)
                        QFAIL((what.str() + ": carved at once, pixel " + std::to_string(x) + ", " + std::to_string(y) +
                               " holds " + std::to_string(atOnce.depthAt(x - 1, y - 1)) + " against " +
                               std::to_string(expected))
                                  .c_str());
                }
            QCOMPARE(atOnce.deepest(), carving.deepest());
        }
        qInfo("%llu pictures: %lld commands, %lld merged, %lld staircases; the tool cut in %lld",
              static_cast<unsigned long long>(pictures), static_cast<long long>(commands), static_cast<long long>(merged),
              static_cast<long long>(staircases), static_cast<long long>(cut));
        QVERIFY(cut > 0 && merged > 0 && staircases > 0);
    }

    // Regions whose pixels meet only through the frame row or column: the trace steps off the region, comes
    // back and circles without passing its start again, so only the repeated state ends the contour.
    void repeatedEndStateEndsTheContour_data() {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("regionId");
        QTest::addColumn<bool>("ticked");
        QTest::newRow("outer contour, one row") << QStringList{"LDLL"} << 1 << true;
        QTest::newRow("outer contour, dry") << QStringList{"LDLL"} << 1 << false;
        QTest::newRow("contour around a neighbour") << QStringList{"LDL", "LDD"} << 1 << true;
    }
    void repeatedEndStateEndsTheContour() {
        QFETCH(QStringList, rows);
        QFETCH(int, regionId);
        QFETCH(bool, ticked);
        std::vector<std::string> lines;
        for (const QString& row : rows)
            lines.push_back(row.toStdString());
        ref::Random random(1);
        const Scene scene = makeScene(imageOfRows(lines), Variant::Parsed, random);
        const MillIndex index = MillIndex::build(scene.tables);
        ref::MillingState literal = literalStateOf(scene, scene.millBytes);
        const Ticking ticking{ticked ? Ticking::On : Ticking::Off, 0};
        setTicking(literal, ticking);
        ref::MillRegion(literal, regionId);
        QVERIFY2(literal.loopGuardStops == 1, "the image no longer repeats an end state");

        ImageLayer layer = fastLayerOf(scene, scene.millBytes);
        ToolPosition tool;
        RecordingHost host(ticking);
        host.run(MillRegion(scene.tables, index, layer, tool, regionId), layer, tool);
        if (auto d = runDifference(host, tool, layer, literal, scene.image.geometry))
            QFAIL((*d + "\n" + sceneText(scene, scene.millBytes)).c_str());
        QCOMPARE(tracedMoves(scene.tables, index, regionId), static_cast<std::int64_t>(literal.moves.size()));
    }
};

QTEST_APPLESS_MAIN(MillingDifferentialTest)
#include "test_milling_differential.moc"
