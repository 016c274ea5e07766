// zelmar-cli: the window's work without the window, for scripts and checks.
//
//   zelmar-cli IMAGE [OPERATION ...] [--steps N] [--port PATH] [--commands FILE] [--state FILE] [--labels]
//              [--layers DIR]
//
// Operations run left to right, each as the window's command runs it. Exit status: 0 success, 1 a refusal or
// an image that cannot be loaded (the reason on stderr; outputs still written for a refusal), 2 bad usage
// (nothing written).

#include "app/image_file.h"
#include "app/version.h"
#include "cli_state.h"
#include "link/manual_move.h"
#include "link/motion_link.h"
#include "link/port_access.h"
#include "link/serial_port.h"
#include "mill/cut3d.h"
#include "mill/mill_commands.h"
#include "relief/relief_commands.h"
#include "terminal.h"

#include <QCoreApplication>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* usageText =
    "usage: zelmar-cli IMAGE [OPERATION ...] [--steps N] [--port PATH] [--commands FILE] [--state FILE]\n"
    "                  [--labels] [--layers DIR]\n"
    "  IMAGE          the picture to load, as the window loads its configured image\n"
    "  OPERATION      parse        \"Разобрать\": regions, links and tree of the working image\n"
    "                 select=ID    a click on the tree node with key P<ID>\n"
    "                 move=X,Y,Z   \"Ручная уст-ка\" with those texts in tx, ty, tz\n"
    "                 mill-selected  \"Выделенная\": mills the selected region\n"
    "                 mill-all     \"Все\": mills every live dark region, deepest first\n"
    "                 gradient     \"Градиент\": the outline picture of the loaded image\n"
    "                 offset       \"Отступить\": the white of the working picture grows by a pixel\n"
    "                 cut3d        \"Резать 3D\": the relief, pass by pass\n"
    "  --steps N      the text of the steps-per-pixel field (default 150)\n"
    "  --port PATH    open the board's serial port as the window does and tick \"Фрезеровать\"\n"
    "  --commands FILE  every command sent, one per line; in a dry run those that would be sent (- stdout)\n"
    "  --state FILE   write the final state as JSON (- for standard output)\n"
    "  --labels       include the label map in the state\n"
    "  --layers DIR   write DIR/source.bmp, work.bmp, selection.bmp, mill.bmp (24-bit BMP)\n"
    "  --help         show this text on standard output and exit\n"
    "  --version      show the version and exit\n";

struct Operation {
    enum class Kind { Parse, Select, Move, MillSelected, MillAll, Gradient, Offset, Cut3D };
    Kind kind = Kind::Parse;
    std::int32_t id = 0;
    std::string tx, ty, tz; // for Move: the texts of the three boxes

    static Operation of(Kind kind, std::int32_t id = 0) {
        Operation op;
        op.kind = kind;
        op.id = id;
        return op;
    }
};

struct Options {
    std::string image;
    std::vector<Operation> operations;
    std::optional<std::string> steps;
    std::optional<std::string> port;
    std::optional<std::string> commandsPath;
    std::optional<std::string> statePath;
    bool labels = false;
    std::optional<std::string> layersDir;
};

std::optional<Operation> operationOf(const std::string& word) {
    if (word == "parse")
        return Operation::of(Operation::Kind::Parse);
    if (word == "mill-selected")
        return Operation::of(Operation::Kind::MillSelected);
    if (word == "mill-all")
        return Operation::of(Operation::Kind::MillAll);
    if (word == "gradient")
        return Operation::of(Operation::Kind::Gradient);
    if (word == "offset")
        return Operation::of(Operation::Kind::Offset);
    if (word == "cut3d")
        return Operation::of(Operation::Kind::Cut3D);
    if (word.rfind("select=", 0) == 0) {
        const std::string digits = word.substr(7);
        std::int32_t id = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
            return std::nullopt;
        return Operation::of(Operation::Kind::Select, id);
    }
    if (word.rfind("move=", 0) == 0) {
        // Three texts, any of them possibly empty or not a number: the move itself judges them, as the
        // window's boxes would.
        const std::string rest = word.substr(5);
        const std::size_t first = rest.find(',');
        const std::size_t second = first == std::string::npos ? first : rest.find(',', first + 1);
        if (second == std::string::npos || rest.find(',', second + 1) != std::string::npos)
            return std::nullopt;
        Operation move = Operation::of(Operation::Kind::Move);
        move.tx = rest.substr(0, first);
        move.ty = rest.substr(first + 1, second - first - 1);
        move.tz = rest.substr(second + 1);
        return move;
    }
    return std::nullopt; // the other commands arrive with the features that run them
}

std::optional<Options> parseArguments(const std::vector<std::string>& args) {
    Options options;
    bool haveImage = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--steps" || a == "--state" || a == "--layers" || a == "--port" || a == "--commands") {
            if (i + 1 >= args.size())
                return std::nullopt;
            const std::string& value = args[++i];
            auto& target = a == "--steps"    ? options.steps
                           : a == "--state"  ? options.statePath
                           : a == "--layers" ? options.layersDir
                           : a == "--port"   ? options.port
                                             : options.commandsPath;
            target = value;
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
    if (!zelmar::cli::standardErrorIsTerminal() || std::int64_t{h.bmWidth} * h.bmHeight < 4'000'000)
        return {};
    return [](double done) {
        std::fprintf(stderr, "\rparse: %3d%%%s", static_cast<int>(done * 100), done >= 1.0 ? "\n" : "");
        std::fflush(stderr);
    };
}

// Milling from the command line: every move through the motion protocol, a progress line for a person at a
// terminal, no pause in dry runs.
class CliMillingHost : public zelmar::MillingHost {
public:
    CliMillingHost(zelmar::MotionLink& link, bool milling, const std::string& steps)
        : link_(link), milling_(milling), steps_(steps),
          showProgress_(zelmar::cli::standardErrorIsTerminal()) {}

    bool millingOn() override { return milling_; }
    void jobStarts(std::int64_t totalMoves) override {
        total_ = totalMoves;
        done_ = 0;
    }
    bool sendMove(std::int32_t x, std::int32_t y, std::int32_t z) override {
        const zelmar::MoveResult r = link_.SendMove(x, y, z, true, milling_, steps_);
        if (!r.jobGoesOn()) {
            failure_ = r.message;
            return false;
        }
        ++done_;
        if (showProgress_ && (done_ % 1000 == 0 || done_ == total_)) {
            std::fprintf(stderr, "\rmill: %lld / %lld moves", static_cast<long long>(done_),
                         static_cast<long long>(total_));
            if (done_ == total_)
                std::fprintf(stderr, "\n");
        }
        return true;
    }
    const std::string& failure() const { return failure_; }

private:
    zelmar::MotionLink& link_;
    bool milling_;
    std::string steps_;
    bool showProgress_;
    std::int64_t total_ = 0;
    std::int64_t done_ = 0;
    std::string failure_;
};

std::string plainLines(std::string message) {
    for (std::size_t p; (p = message.find("\r\n")) != std::string::npos;)
        message.replace(p, 2, "\n");
    return message;
}

bool writeOutputs(const Options& options, const zelmar::cli::Session& session,
                  const std::vector<std::string>& commands) {
    bool written = true;
    if (options.commandsPath) {
        std::string text;
        for (const std::string& c : commands)
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
    return written;
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
        if (a == "--steps" || a == "--state" || a == "--layers" || a == "--port" || a == "--commands")
            ++i;
    }
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

    // The board's line, as the work window opens it; with it, "Фрезеровать" is ticked.
    zelmar::SerialPort serial;
    zelmar::MotionLink motion(serial);
    std::vector<std::string> commands;
    motion.setCommandLog([&commands](const std::string& c) { commands.push_back(c); });
    bool milling = false;
    if (options->port) {
        const int handle = serial.OpenPort(QString::fromStdString(*options->port), 9600);
        if (handle <= 0) {
            std::cerr << "Ошибка открытия Com-порта: " << *options->port << "\n";
            const QString port = QString::fromStdString(*options->port);
            std::cerr << (handle == zelmar::SerialPort::settingsRefused
                              ? zelmar::settingsRefusedHint(port)
                              : zelmar::openFailureHint(port, serial.openError()))
                             .toStdString()
                      << "\n";
            writeOutputs(*options, session, commands);
            return 1;
        }
        motion.setHandle(handle);
        milling = true;
    }

    zelmar::MillIndexCache millIndex;
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
        case Operation::Kind::Move: {
            const zelmar::MoveResult result = zelmar::manualMove(motion, milling, operation.tx, operation.ty,
                                                                 operation.tz, session.stepsText);
            if (!result.jobGoesOn()) {
                std::cerr << plainLines(result.message) << "\n";
                writeOutputs(*options, session, commands);
                return 1;
            }
            break;
        }
        case Operation::Kind::Gradient:
            zelmar::gradientCommand(session.image);
            break;
        case Operation::Kind::Offset:
            zelmar::offsetCommand(session.image);
            break;
        case Operation::Kind::MillSelected:
        case Operation::Kind::MillAll:
        case Operation::Kind::Cut3D: {
            CliMillingHost host(motion, milling, session.stepsText);
            if (milling)
                motion.prepareForJob();
            const zelmar::MillCommandResult result =
                operation.kind == Operation::Kind::MillAll ? zelmar::millAll(session.image, session.tool, host, millIndex)
                : operation.kind == Operation::Kind::Cut3D ? zelmar::cut3D(session.image, session.tool, host, millIndex)
                                                           : zelmar::millSelected(session.image, session.tool, host, millIndex);
            if (result.refused() || result.outcome != zelmar::MillOutcome::Completed) {
                std::cerr << plainLines(result.refused() ? result.refusal : host.failure()) << "\n";
                writeOutputs(*options, session, commands);
                return 1;
            }
            break;
        }
        }
    }
    return writeOutputs(*options, session, commands) ? 0 : 1;
}
