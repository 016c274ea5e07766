#include "cli_state.h"

#include "image/bmp_file.h"

namespace zelmar::cli {

nlohmann::ordered_json stateJson(const Session& session, bool withLabels) {
    const PixelGeometry g = session.layers.sourceLayer.geometry();
    nlohmann::ordered_json state = {
        {"width", g.width},
        {"height", g.height},
        {"bytesPerPixel", g.bytesPerPixel},
        {"stride", g.stride},
        {"tool", {{"x", session.tool.toolX}, {"y", session.tool.toolY}, {"z", session.tool.toolZ}}},
        // No parse has run yet: the tables are empty until labelling exists.
        {"regionTableSize", 0},
        {"regions", nlohmann::ordered_json::array()},
        {"linkTableSize", 0},
        {"linkCount", 0},
        {"links", nlohmann::ordered_json::array()},
        {"tree", nlohmann::ordered_json::array()},
        {"selected", nullptr},
    };
    if (withLabels)
        state["labelMap"] = nlohmann::ordered_json::array();
    return state;
}

bool writeLayers(const Session& session, const std::string& dir) {
    const std::pair<const char*, const ImageLayer*> files[] = {
        {"source.bmp", &session.layers.sourceLayer},
        {"work.bmp", &session.layers.workLayer},
        {"selection.bmp", &session.layers.selectionLayer},
        {"mill.bmp", &session.layers.millLayer}};
    bool allWritten = true;
    for (const auto& [name, layer] : files)
        allWritten = writeBmp24(dir + "/" + name, *layer) && allWritten;
    return allWritten;
}

} // namespace zelmar::cli
