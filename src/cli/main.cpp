// zelmar-cli: the window's work without the window, for scripts and checks.
//
//   zelmar-cli IMAGE [--steps N] [--state FILE] [--labels] [--layers DIR]
//
// Exit status: 0 success, 1 a refusal or an image that cannot be loaded (reason on stderr), 2 bad usage.

#include "app/image_file.h"
#include "cli_state.h"

#include <QCoreApplication>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* usageText =
    "usage: zelmar-cli IMAGE [--steps N] [--state FILE] [--labels] [--layers DIR]\n"
    "  IMAGE          the picture to load, as the window loads its configured image\n"
    "  --steps N      the text of the steps-per-pixel field (default 150)\n"
    "  --state FILE   write the final state as JSON (- for standard output)\n"
    "  --labels       include the label map in the state\n"
    "  --layers DIR   write DIR/source.bmp, work.bmp, selection.bmp, mill.bmp (24-bit BMP)\n";

struct Options {
    std::string image;
    std::optional<std::string> steps;
    std::optional<std::string> statePath;
    bool labels = false;
    std::optional<std::string> layersDir;
};

std::optional<Options> parseArguments(const std::vector<std::string>& args) {
    Options options;
    bool haveImage = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (a == "--steps" || a == "--state" || a == "--layers") {
            const auto v = value();
            if (!v)
                return std::nullopt;
            (a == "--steps" ? options.steps : a == "--state" ? options.statePath : options.layersDir) = *v;
        } else if (a == "--labels") {
            options.labels = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            return std::nullopt;
        } else if (!haveImage) {
            options.image = a;
            haveImage = true;
        } else {
            return std::nullopt; // operations arrive with the features that run them
        }
    }
    if (!haveImage)
        return std::nullopt;
    return options;
}

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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // image format plug-ins are found through it

    std::vector<std::string> args(argv + 1, argv + argc);
    const std::optional<Options> options = parseArguments(args);
    if (!options) {
        std::cerr << usageText;
        return 2;
    }

    zelmar::LoadedImage loaded = zelmar::loadImageFile(options->image);
    if (!loaded.ok()) {
        std::string reason = loaded.error;
        for (std::size_t p; (p = reason.find("\r\n")) != std::string::npos;)
            reason.replace(p, 2, ": ");
        std::cerr << reason << "\n";
        return 1;
    }
    zelmar::cli::Session session;
    session.layers = zelmar::LayerSet::copiesOf(loaded.layer);
    if (options->steps)
        session.stepsText = *options->steps;

    int status = 0;
    if (options->statePath &&
        !writeText(*options->statePath, zelmar::cli::stateJson(session, options->labels).dump() + "\n")) {
        std::cerr << "cannot write the state to " << *options->statePath << "\n";
        status = 1;
    }
    if (options->layersDir) {
        std::error_code ignored;
        std::filesystem::create_directories(*options->layersDir, ignored);
        if (!zelmar::cli::writeLayers(session, *options->layersDir)) {
            std::cerr << "cannot write the layers to " << *options->layersDir << "\n";
            status = 1;
        }
    }
    return status;
}
