#include "cli_state.h"

#include "image/bmp_file.h"

namespace zelmar::cli {

nlohmann::ordered_json stateJson(const Session& session, bool withLabels) {
    using Json = nlohmann::ordered_json;
    const PixelGeometry g = session.image.layers.sourceLayer.geometry();
    const RegionAnalysis& regions = *session.image.regions;
    const RegionTables& t = regions.tables;

    Json records = Json::array();
    for (std::int32_t id = 1; id <= t.regionTableSize(); ++id) {
        const RegionRecord& r = t.regionTable[static_cast<std::size_t>(id)];
        if (r.state > 0)
            records.push_back({{"id", id}, {"isLight", r.isLight}, {"state", r.state}, {"depth", r.depth}});
    }
    Json links = Json::array();
    for (std::int32_t i = 1; i <= t.usableLinkCount(); ++i) {
        const NestingLink& l = t.linkTable[static_cast<std::size_t>(i)];
        links.push_back({{"parentId", l.parentId}, {"childId", l.childId}});
    }
    Json tree = Json::array();
    for (const TreeNode& node : regions.tree.nodes) {
        const Json parent =
            node.parentNode < 0
                ? Json(nullptr)
                : Json(nodeKey(regions.tree.nodes[static_cast<std::size_t>(node.parentNode)].regionId));
        tree.push_back({{"key", nodeKey(node.regionId)},
                        {"text", std::to_string(node.regionId)},
                        {"parent", parent},
                        {"expanded", node.expanded}});
    }
    const std::int32_t selected = session.image.selectedNode;

    Json state = {
        {"width", g.width},
        {"height", g.height},
        {"bytesPerPixel", g.bytesPerPixel},
        {"stride", g.stride},
        {"tool", {{"x", session.tool.toolX}, {"y", session.tool.toolY}, {"z", session.tool.toolZ}}},
        {"regionTableSize", t.regionTableSize()},
        {"regions", std::move(records)},
        {"linkTableSize", t.linkTableSize()},
        {"linkCount", t.linkCount},
        {"links", std::move(links)},
        {"tree", std::move(tree)},
        {"selected", selected < 0
                         ? Json(nullptr)
                         : Json(nodeKey(regions.tree.nodes[static_cast<std::size_t>(selected)].regionId))},
    };
    if (withLabels) {
        Json rows = Json::array();
        const LabelMap& map = t.labelMap;
        for (std::int32_t y = 0; !map.isEmpty() && y <= map.height(); ++y)
            rows.push_back(Json(std::vector<std::int32_t>(map.row(y), map.row(y) + map.width() + 1)));
        state["labelMap"] = std::move(rows);
    }
    return state;
}

bool writeLayers(const Session& session, const std::string& dir) {
    const LayerSet& l = session.image.layers;
    const std::pair<const char*, const ImageLayer*> files[] = {{"source.bmp", &l.sourceLayer},
                                                               {"work.bmp", &l.workLayer},
                                                               {"selection.bmp", &l.selectionLayer},
                                                               {"mill.bmp", &l.millLayer}};
    bool allWritten = true;
    for (const auto& [name, layer] : files)
        allWritten = writeBmp24(dir + "/" + name, *layer) && allWritten;
    return allWritten;
}

} // namespace zelmar::cli
