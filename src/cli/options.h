#pragma once
// What zelmar-cli is asked to do: its command line read into options, the settings through the settings table.

#include "config/settings_table.h"
#include "config/startup_config.h"
#include "link/move_command.h"
#include "mill/height_map.h"
#include "mill/operations.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmar::cli {

extern const std::string usageText;

struct Options {
    std::string image;
    std::vector<zelmar::Operation> operations;
    std::vector<std::string> operationWords;
    // The text of the steps-per-pixel box, as the window's starts; and its number, checked once here.
    std::string steps = defaultStepsPerPixel;
    Checked scale;
    std::optional<std::string> port;
    std::optional<std::string> commandsPath;
    std::optional<std::string> statePath;
    bool labels = false;
    std::optional<std::string> layersDir;
    std::optional<std::string> journalPath;
    bool resume = false;
    std::optional<bool> lastMoveDone;
    std::optional<std::string> gcodePath;
    std::optional<std::string> previewPath;
    std::optional<std::string> resultPath;
    // The probed surface the G-code follows.
    std::optional<std::string> heightMapPath;
    std::optional<zelmar::HeightMap> heightMap;
    bool estimate = false;
    // The job's settings, read through the settings table as cnc.ini's are; what it refused.
    zelmar::StartupConfig settings;
    std::vector<zelmar::SettingProblem> problems;
    bool baudGiven = false;
    // The first set-up operation given without a grbl machine to set up (a usage error).
    std::string setupWithoutMachine;

    bool grbl() const { return settings.controller == zelmar::StartupConfig::Controller::Grbl; }
    // An operation probes a height map: --height-map names where it is saved.
    bool probesMap() const {
        for (const zelmar::Operation& op : operations)
            if (op.kind == zelmar::Operation::Kind::ProbeMap)
                return true;
        return false;
    }
};

// The options followed by a value.
bool takesValue(std::string_view a);

// Nothing on bad usage; values out of their settings' ranges are listed in `problems`.
std::optional<Options> parseArguments(const std::vector<std::string>& args);

} // namespace zelmar::cli
