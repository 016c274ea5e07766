// zelmar-cli: the window's work without the window, for scripts and checks.
//
//   zelmar-cli IMAGE [OPERATION ...] [--steps N] [--port PATH [--controller grbl [--baud N]]] [--commands FILE]
//              [--state FILE] [--labels] [--layers DIR] [--journal FILE [--resume [--last-move done|redo]]]
//
// Operations run left to right, each as the window's command runs it, on the window's job controller under this
// program's event loop. Exit status: 0 success, 1 a refusal, a failure, a stop (Ctrl+C) or an image that
// cannot be loaded (the reason on stderr; outputs still written once the image is loaded), 2 bad usage
// (nothing written).

#include "cli_state.h"
#include "config/version.h"
#include "driver.h"
#include "options.h"
#include "outputs.h"
#include "picture_files/image_file.h"
#include "texts/height_map_texts.h"
#include "texts/operator_texts.h"

#include <QCoreApplication>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

using namespace zelmar::cli;

namespace {

// The map of --height-map, read into the options; false, with the reason said, when it cannot be used.
bool readHeightMap(Options& options) {
    const std::string& path = *options.heightMapPath;
    if (options.port && !options.grbl()) {
        std::cerr << "zelmar-cli: --height-map: our board does not follow a map; grbl (--controller grbl) and "
                     "--gcode's file do\n";
        return false;
    }
    if (options.probesMap())
        return true; // the file is where the probed map goes
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
        std::cerr << "zelmar-cli: --height-map " << path << ": cannot be read\n";
        return false;
    }
    zelmar::HeightMapProblem problem;
    options.heightMap = zelmar::HeightMap::read(text, &problem);
    if (!options.heightMap) {
        std::cerr << "zelmar-cli: --height-map " << path << ": " << zelmar::heightMapProblemLine(problem) << "\n";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // Asked for anywhere an option may stand (not as the value of one), answered on standard output.
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help") {
            std::cout << usageText;
            return 0;
        }
        if (a == "--version") {
            std::cout << "zelmar-cli " << zelmar::versionText << "\n";
            return 0;
        }
        if (takesValue(a))
            ++i;
    }
    QCoreApplication app(argc, argv); // image format plug-ins are found through it

    std::optional<Options> options = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!options) {
        std::cerr << usageText;
        return 2;
    }
    if (!options->setupWithoutMachine.empty()) {
        std::cerr << "zelmar-cli: " << options->setupWithoutMachine
                  << ": a set-up of the machine needs --controller grbl and --port PATH; a dry run has no machine\n";
        return 2;
    }
    if (!options->problems.empty()) { // every value refused, each on its line, and nothing done
        for (const zelmar::SettingProblem& problem : options->problems)
            std::cerr << "zelmar-cli: " << zelmar::optionProblemText(problem) << "\n";
        return 2;
    }
    if (options->heightMapPath && !readHeightMap(*options))
        return 2;

    zelmar::LoadedImage loaded = zelmar::loadImageFile(options->image);
    if (!loaded.ok()) {
        std::string reason = loaded.error;
        for (std::size_t p; (p = reason.find("\r\n")) != std::string::npos;)
            reason.replace(p, 2, ": ");
        std::cerr << reason << "\n";
        return 1;
    }
    zelmar::cli::Session session;
    session.image.layers = zelmar::LayerSet::copiesOf(std::move(loaded.layer));
    zelmar::cli::Session asLoaded = session; // for the carving, which replays the operations from the start

    // The commands, the G-code file, the estimate or the height grid of a job at a scale that is no number would be
    // those of an empty job: the window refuses such a job before it moves, and so does this, writing nothing.
    const zelmar::Checked scale = options->scale;
    const bool moves = std::any_of(options->operations.begin(), options->operations.end(),
                                   [](const zelmar::Operation& op) { return op.moves(); });
    if (!scale.ok() && moves &&
        (options->gcodePath || options->estimate || options->commandsPath || options->resultPath)) {
        std::cerr << plainLines(zelmar::refusalText(scale.refusal)) << "\n";
        return 1;
    }

    Driver driver(*options, session);
    if (!driver.prepare()) {
        writeOutputs(*options, session, driver);
        return 1;
    }
    std::signal(SIGINT, onInterrupt);
    driver.go();
    const int status = app.exec();
    if (driver.usageError())
        return 2; // nothing written on bad usage
    if (options->estimate && status == 0)
        std::cout << (driver.motion() ? grblEstimateLine(driver.counted(), *driver.motion(), *options)
                                      : estimateLine(driver.counted()))
                  << std::flush;
    const bool carved = writeCarving(*options, asLoaded, driver.millSettings(), driver.carving());
    return writeOutputs(*options, session, driver) && carved ? status : 1;
}
