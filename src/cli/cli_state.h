#pragma once
// What the command-line tool knows after its operations run, and its JSON form.

#include "config/settings_table.h"
#include "image/image_session.h"
#include "mill/tool_position.h"

#include <nlohmann/json.hpp>

#include <string>

namespace zelmar::cli {

struct Session {
    ImageSession image;
    ToolPosition tool;
    std::string stepsText = defaultStepsPerPixel; // the text of Text2
};

nlohmann::ordered_json stateJson(const Session& session, bool withLabels);

// DIR/source.bmp, work.bmp, selection.bmp, mill.bmp; false when one of them could not be written.
bool writeLayers(const Session& session, const std::string& dir);

} // namespace zelmar::cli
