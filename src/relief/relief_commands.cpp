#include "relief_commands.h"

#include "relief.h"

namespace zelmar {
namespace {

void emptyTables(ImageSession& session) {
    RegionAnalysis& a = *session.regions;
    a.tables.regionTable.assign(initialTableSize + 1, RegionRecord{});
    a.tables.linkTable.assign(initialTableSize + 1, NestingLink{});
    // The label map keeps its cells; before any parse it comes into being, all zero.
    const BitmapHeader& h = session.layers.header();
    if (a.tables.labelMap.width() != h.bmWidth || a.tables.labelMap.height() != h.bmHeight)
        a.tables.labelMap = LabelMap(h.bmWidth, h.bmHeight);
    ++a.tablesVersion;
}

} // namespace

void gradientCommand(ImageSession& session) {
    if (!session.hasImage())
        return;
    emptyTables(session);
    LayerSet& l = session.layers;
    // Straight from the loaded layer into the work layer: the copy of the picture and the marks in one go.
    gradientInto(l.sourceLayer.bits().data(), l.workLayer.bytesForOverwrite(), l.sourceLayer.geometry());
    l.workLayer.markAllChanged();
}

bool offsetCommand(ImageSession& session) {
    if (!session.hasImage())
        return false;
    emptyTables(session);
    ImageLayer& work = session.layers.workLayer;
    const bool changed = offsetInPlace(work.pixelBytes(), work.geometry());
    work.markAllChanged();
    return changed;
}

} // namespace zelmar
