// zelmar-cli: the window's work without the window, for scripts and checks.
//
//   zelmar-cli IMAGE [OPERATION ...] [--steps N] [--state FILE] [--labels] [--layers DIR]
//
// Operations run left to right, each as the window's command runs it. Exit status: 0 success, 1 a refusal or
// an image that cannot be loaded (the reason on stderr; outputs still written for a refusal), 2 bad usage
// (nothing written).

#include "app/image_file.h"
#include "cli_state.h"

#include <QCoreApplication>

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* usageText =
    "usage: zelmar-cli IMAGE [OPERATION ...] [--steps N] [--state FILE] [--labels] [--layers DIR]\n"
    "  IMAGE          the picture to load, as the window loads its configured image\n"
    "  OPERATION      parse        \"Разобрать\": regions, links and tree of the working image\n"
    "                 select=ID    a click on the tree node with key P<ID>\n"
    "  --steps N      the text of the steps-per-pixel field (default 150)\n"
    "  --state FILE   write the final state as JSON (- for standard output)\n"
    "  --labels       include the label map in the state\n"
    "  --layers DIR   write DIR/source.bmp, work.bmp, selection.bmp, mill.bmp (24-bit BMP)\n";

struct Operation {
    enum class Kind { Parse, Select } kind;
    std::int32_t id = 0;
};

struct Options {
    std::string image;
    std::vector<Operation> operations;
    std::optional<std::string> steps;
    std::optional<std::string> statePath;
    bool labels = false;
    std::optional<std::string> layersDir;
};

std::optional<Operation> operationOf(const std::string& word) {
    if (word == "parse")
        return Operation{Operation::Kind::Parse};
    if (word.rfind("select=", 0) == 0) {
        const std::string digits = word.substr(7);
        std::int32_t id = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
            return std::nullopt;
        return Operation{Operation::Kind::Select, id};
    }
    return std::nullopt; // the other commands arrive with the features that run them
}

std::optional<Options> parseArguments(const std::vector<std::string>& args) {
    Options options;
    bool haveImage = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--steps" || a == "--state" || a == "--layers") {
            if (i + 1 >= args.size())
                return std::nullopt;
            const std::string& value = args[++i];
            (a == "--steps" ? options.steps : a == "--state" ? options.statePath : options.layersDir) = value;
        } else if (a == "--labels") {
            options.labels = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return std::nullopt;
        } else if (!haveImage) {
            options.image = a;
            haveImage = true;
        } else if (const auto operation = operationOf(a)) {
            options.operations.push_back(*operation);
        } else {
            return std::nullopt;
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

// Progress of a long parse, only for a person watching a terminal.
zelmar::ProgressCallback parseProgress(const zelmar::ImageSession& image) {
    const auto& h = image.layers.header();
    if (!isatty(STDERR_FILENO) || std::int64_t{h.bmWidth} * h.bmHeight < 4'000'000)
        return {};
    return [](double done) {
        std::fprintf(stderr, "\rparse: %3d%%%s", static_cast<int>(done * 100), done >= 1.0 ? "\n" : "");
        std::fflush(stderr);
    };
}

bool writeOutputs(const Options& options, const zelmar::cli::Session& session) {
    bool written = true;
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
    return written;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // image format plug-ins are found through it

    const std::optional<Options> options = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
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
    session.image.layers = zelmar::LayerSet::copiesOf(std::move(loaded.layer));
    if (options->steps)
        session.stepsText = *options->steps;

    for (const Operation& operation : options->operations) {
        switch (operation.kind) {
        case Operation::Kind::Parse:
            zelmar::parseImage(session.image, parseProgress(session.image));
            break;
        case Operation::Kind::Select:
            if (!zelmar::selectNode(session.image, zelmar::nodeKey(operation.id))) {
                std::cerr << "select=" << operation.id << ": the tree has no node P" << operation.id << "\n"
                          << usageText;
                return 2;
            }
            break;
        }
    }
    return writeOutputs(*options, session) ? 0 : 1;
}
