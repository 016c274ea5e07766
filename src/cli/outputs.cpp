#include "outputs.h"

#include "mill/carving.h"
#include "picture_files/carving_image.h"
#include "run/board_position.h"
#include "texts/line_texts.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

namespace zelmar::cli {

bool writeText(const std::string& path, const std::string& text) {
    if (path == "-") {
        std::cout << text << std::flush;
        return static_cast<bool>(std::cout);
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return static_cast<bool>(file);
}

std::string plainLines(std::string message) {
    for (std::size_t p; (p = message.find("\r\n")) != std::string::npos;)
        message.replace(p, 2, "\n");
    return message;
}

std::string grblEstimateLine(const zelmar::JobCount& count, const zelmar::MotionClock& motion, const Options& options) {
    return "estimate: " + std::to_string(count.commands) + " commands for " + std::to_string(count.moves) +
           " moves; " + clockText(static_cast<std::int64_t>(motion.seconds() + 0.5)) + " on grbl: the motion at " + std::to_string(options.settings.feed) +
           " mm/min (plunges at " + std::to_string(options.settings.plungeFeed > 0 ? options.settings.plungeFeed : options.settings.feed) +
           "), rapid moves at 500 mm/min, 10 mm/s^2 and corners as grbl's planner takes them ($11, $110-$122 "
           "as grbl comes), and the lines at " + std::to_string(options.settings.baud) + " baud\n";
}

std::string estimateLine(const zelmar::JobCount& count) {
    const auto seconds = static_cast<std::int64_t>(
        zelmar::lineTimeMs(count, zelmar::BoardLink::protocolPauseMs, zelmar::BoardLink::baudRate) / 1000.0 + 0.5);
    return "estimate: " + std::to_string(count.commands) + " commands for " + std::to_string(count.moves) +
           " moves, " + std::to_string(count.bytes) + " bytes; " + clockText(seconds) + " on the board at " +
           std::to_string(zelmar::BoardLink::baudRate) + " baud with the " +
           std::to_string(zelmar::BoardLink::protocolPauseMs) +
           " ms pause after each command, without the board's own motion time\n";
}

namespace {

// The operations replayed dry from the picture as loaded, their millings carved.
zelmar::Carving replayedCarving(const Options& options, const zelmar::cli::Session& loaded,
                                const zelmar::MillSettings& settings) {
    zelmar::ImageSession start = loaded.image;
    start.regions = std::make_shared<zelmar::RegionAnalysis>(*loaded.image.regions);
    zelmar::ToolPosition tool = loaded.tool;
    zelmar::MillIndexCache cache;
    const zelmar::ImageLayer& picture = start.layers.millLayer;
    zelmar::Carving carving(picture.header().bmWidth, picture.header().bmHeight, settings.tool);
    const zelmar::Checked scale = options.scale;
    // Merged runs carved as the machine moves them.
    const zelmar::CommandFeed feed(scale.ok() ? zelmar::MergeRule{options.settings.mergeSteps, options.settings.mergeTolerance.value()}
                                              : zelmar::MergeRule{},
                                   scale.ok() ? scale.value : 1);
    zelmar::carveOperations(start, tool, cache, options.operations, settings, carving, feed);
    return carving;
}

} // namespace

bool writeCarving(const Options& options, const zelmar::cli::Session& loaded, const zelmar::MillSettings& settings,
                  const zelmar::Carving* carved) {
    if (!options.previewPath && !options.resultPath)
        return true;
    std::optional<zelmar::Carving> replayed;
    if (!carved)
        carved = &replayed.emplace(replayedCarving(options, loaded, settings));
    const zelmar::Carving& carving = *carved;
    const zelmar::Checked scale = options.scale;
    bool written = true;
    if (options.previewPath && !zelmar::writePreview(*options.previewPath, carving)) {
        std::cerr << "cannot write the preview to " << *options.previewPath << "\n";
        written = false;
    }
    if (options.resultPath &&
        !zelmar::writeHeightGrid(*options.resultPath, carving, scale.ok() ? scale.value : 1, options.settings.mmPerStep)) {
        std::cerr << "cannot write the result to " << *options.resultPath << "\n";
        written = false;
    }
    return written;
}

bool writeOutputs(const Options& options, const Session& session, const Driver& driver) {
    bool written = true;
    if (options.commandsPath) {
        std::string text;
        for (const std::string& c : driver.commands())
            text += c + "\n";
        if (!writeText(*options.commandsPath, text)) {
            std::cerr << "cannot write the commands to " << *options.commandsPath << "\n";
            written = false;
        }
    }
    if (options.statePath &&
        !writeText(*options.statePath, zelmar::cli::stateJson(session, options.labels).dump() + "\n")) {
        std::cerr << "cannot write the state to " << *options.statePath << "\n";
        written = false;
    }
    if (options.layersDir) {
        std::error_code ignored;
        std::filesystem::create_directories(*options.layersDir, ignored);
        if (!zelmar::cli::writeLayers(session, *options.layersDir)) {
            std::cerr << "cannot write the layers to " << *options.layersDir << "\n";
            written = false;
        }
    }
    if (options.gcodePath && !writeText(*options.gcodePath, driver.gcode())) {
        std::cerr << "cannot write the G-code to " << *options.gcodePath << "\n";
        written = false;
    }
    return written;
}

} // namespace zelmar::cli
