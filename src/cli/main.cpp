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
#include "picture_files/carving_image.h"
#include "picture_files/image_file.h"
#include "texts/operator_texts.h"
#include "config/settings_table.h"
#include "config/startup_config.h"
#include "config/version.h"
#include "job/job_controller.h"
#include "mill/gcode.h"
#include "mill/motion_time.h"
#include "mill/tool_shape.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
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
    "  --journal FILE keep the journal of the job on the machine in FILE: every move recorded as sent and as\n"
    "                 acknowledged before the program goes on\n"
    "  --resume       continue the job journalled in FILE after a stop, a line fault or a crash: the same\n"
    "                 IMAGE, operations and --steps; what was done is replayed without sending, the rest sent\n"
    "  --last-move done|redo  for --resume when the journal shows a move sent but never acknowledged: the\n"
    "                 machine carried it out (done) or it is sent again (redo)\n"
    "  Ctrl+C stops as \"Стоп\" does: after the current \"OK\", with a lift; the journal stays for --resume.\n"
    "  --merge        send each straight run of steps as one command (cnc.ini MergeSteps=1)\n"
    "  --safe-height N  travel between contours N depth units above the surface (cnc.ini SafeHeight, default 0)\n"
    "  --gcode FILE   write the commands (those sent, or in a dry run those that would be) as G-code:\n"
    "                 millimetres, incremental, one G0 or G1 move a command\n"
    "  --mm-per-step X  millimetres a motor step moves, for the G-code (cnc.ini MmPerStep, default 0.01)\n"
    "  --feed N       mm/min of the feed moves in the G-code (cnc.ini Feed, default 300)\n"
    "  --estimate     print the job's commands and its time on the board on one line, as a dry run\n"
    "  --controller zelmar|grbl  the controller on --port (cnc.ini Controller, default zelmar): grbl gets the\n"
    "                 job's G-code lines streamed (millimetres a step and feed as for --gcode), \"Ctrl+C\" is its\n"
    "                 feed hold and reset, then a lift out of the stock, and the program returns once grbl\n"
    "                 stands idle; no --journal\n"
    "  --baud N       the grbl port's speed (cnc.ini Baud, default 115200)\n"
    "  OPERATION restore-mill  the mill layer as the picture was loaded, without the marks of earlier millings\n"
    "                 (under --marks-as-depth they read as full depth)\n"
    "  --tool SHAPE:D  the cutter, D its diameter in mm: flat:D, ball:D or v:D:ANGLE (ANGLE in degrees, default\n"
    "                 60); each depth is the deepest the tool reaches without cutting below the picture\n"
    "                 (cnc.ini ToolShape, ToolDiameter, ToolAngle; default: a flat tool one pixel wide)\n"
    "  --merge-tolerance T  send consecutive steps whose points all lie within T pixels (depth units for Z) of\n"
    "                 one straight line as one command, ending where the steps end (cnc.ini MergeTolerance,\n"
    "                 default 0: only --merge's straight runs)\n"
    "  --marks-as-depth  the old rule (cnc.ini MarksAsDepth=1): depths read from the mill layer, where the red\n"
    "                 marks of earlier millings read as full depth, and a shaped tool's moves checked only where\n"
    "                 they end; by default depths come from the picture as loaded, and every move keeps the\n"
    "                 whole tool above it\n"
    "  --axis-x S, --axis-y S  grbl and the G-code: 1 (the default) takes the picture's right as X+ and its top\n"
    "                 as Y+; -1 turns that axis for a machine wired otherwise (cnc.ini AxisX, AxisY)\n"
    "  --tool-length L  the cutting edge of --tool's cutter, in mm (or --tool SHAPE:D:LL, e.g. ball:6:L20; cnc.ini\n"
    "                 ToolLength): no pass goes deeper into the material than L; a job in one pass that the\n"
    "                 picture asks deeper is refused, with --step-down the passes are kept within L\n"
    "  --plunge-feed N  grbl and the G-code: mm/min of the feed moves that go down (cnc.ini PlungeFeed; default\n"
    "                 the feed)\n"
    "  --step-down N  cut each contour in passes, each at most N depth units deeper than the one before, no\n"
    "                 move going down more than N at once (cnc.ini StepDown; default 0: at its depth at once)\n"
    "  --spindle RPM  grbl and the G-code: \"M3 SRPM\" and a dwell before the job's first move, again before\n"
    "                 the first move after a stop, and \"M5\" at the end (cnc.ini Spindle; default 0: the\n"
    "                 spindle is left alone)\n"
    "  --spindle-delay S  seconds for the spindle to come up to speed (cnc.ini SpindleDelay, default 3)\n"
    "  --preview FILE.png  the carving the operations' millings leave, shaded as if lit from the top left:\n"
    "                 from above and tilted, side by side (with the tool of --tool)\n"
    "  --result FILE.pgm  the same carving as a 16-bit height grid: the depth cut at each pixel in motor steps\n"
    "  --help         show this text on standard output and exit\n"
    "  --version      show the version and exit\n";

struct Options {
    std::string image;
    std::vector<zelmar::Operation> operations;
    std::vector<std::string> operationWords;
    std::optional<std::string> steps;
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
    bool estimate = false;
    // The job's settings, read through the settings table as cnc.ini's are; what it refused.
    zelmar::StartupConfig settings;
    std::vector<zelmar::SettingProblem> problems;
    bool baudGiven = false;

    bool grbl() const { return settings.controller == zelmar::StartupConfig::Controller::Grbl; }
};

// The options followed by a value.
bool takesValue(std::string_view a) {
    static constexpr std::string_view withValue[] = {
        "--steps",   "--state",       "--layers",  "--port",       "--commands",        "--journal", "--last-move",
        "--safe-height", "--mm-per-step", "--feed", "--gcode",     "--controller",      "--baud",    "--tool",
        "--merge-tolerance", "--spindle", "--spindle-delay", "--step-down", "--preview", "--result",
        "--axis-x", "--axis-y", "--plunge-feed", "--tool-length"};
    return std::find(std::begin(withValue), std::end(withValue), a) != std::end(withValue);
}

// The option's setting in the table, when its whole value is one.
std::optional<zelmar::Setting> settingOfOption(std::string_view option) {
    for (const zelmar::SettingSpec& spec : zelmar::settingsTable())
        if (spec.option == option && spec.part.empty() && spec.type != zelmar::SettingType::Text)
            return spec.setting;
    return std::nullopt;
}

// "ball:6", "v:6:90:L20", "pixel": the cutter's parts as the table names them; false when the word is no cutter.
bool takeToolWord(const std::string& word, zelmar::SettingTexts& texts) {
    using zelmar::Setting;
    const auto text = [&texts](Setting s) -> std::optional<std::string>& { return texts[std::size_t(s)]; };
    for (Setting s : {Setting::ToolShape, Setting::ToolDiameter, Setting::ToolAngle})
        text(s).reset();
    std::vector<std::string> parts;
    for (std::size_t from = 0;;) {
        const std::size_t colon = word.find(':', from);
        parts.push_back(word.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    if (parts.size() > 1 && parts.back().size() > 1 && parts.back()[0] == 'L') {
        text(Setting::ToolLength) = parts.back().substr(1);
        parts.pop_back();
    }
    if (word.empty() || parts.size() > 3 || (parts.size() == 3 && parts[0] != "v") ||
        (zelmar::namesNoCutter(parts[0]) && parts.size() > 1))
        return false;
    text(Setting::ToolShape) = parts[0];
    if (parts.size() > 1)
        text(Setting::ToolDiameter) = parts[1];
    if (parts.size() > 2)
        text(Setting::ToolAngle) = parts[2];
    return true;
}

std::optional<Options> parseArguments(const std::vector<std::string>& args) {
    Options options;
    bool haveImage = false;
    zelmar::SettingTexts texts;
    std::optional<std::string> toolLength; // applies to whichever --tool, given before or after it
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (takesValue(a)) {
            if (i + 1 >= args.size())
                return std::nullopt;
            const std::string& value = args[++i];
            if (a == "--last-move") {
                if (value != "done" && value != "redo")
                    return std::nullopt;
                options.lastMoveDone = value == "done";
                continue;
            }
            if (a == "--tool-length") {
                toolLength = value;
                continue;
            }
            if (a == "--tool") {
                if (!takeToolWord(value, texts))
                    options.problems.push_back({zelmar::Setting::ToolShape, zelmar::SettingProblem::Kind::Shape, value});
                continue;
            }
            if (const std::optional<zelmar::Setting> setting = settingOfOption(a)) {
                texts[std::size_t(*setting)] = value;
                options.baudGiven = options.baudGiven || a == "--baud";
                continue;
            }
            if (a == "--gcode" || a == "--preview" || a == "--result") {
                (a == "--gcode" ? options.gcodePath : a == "--preview" ? options.previewPath : options.resultPath) = value;
                continue;
            }
            auto& target = a == "--steps"    ? options.steps
                           : a == "--state"  ? options.statePath
                           : a == "--layers" ? options.layersDir
                           : a == "--port"   ? options.port
                           : a == "--journal" ? options.journalPath
                                             : options.commandsPath;
            target = value;
        } else if (a == "--labels") {
            options.labels = true;
        } else if (a == "--resume") {
            options.resume = true;
        } else if (a == "--merge") {
            texts[std::size_t(zelmar::Setting::MergeSteps)] = "1";
        } else if (a == "--marks-as-depth") {
            texts[std::size_t(zelmar::Setting::MarksAsDepth)] = "1";
        } else if (a == "--estimate") {
            options.estimate = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return std::nullopt;
        } else if (!haveImage) {
            options.image = a;
            haveImage = true;
        } else if (const auto operation = zelmar::operationOf(a);
                   operation && operation->reached < 0 && !operation->sentNothing) {
            options.operations.push_back(*operation);
            options.operationWords.push_back(a);
        } else {
            return std::nullopt;
        }
    }
    if (toolLength)
        texts[std::size_t(zelmar::Setting::ToolLength)] = *toolLength;
    const std::vector<zelmar::SettingProblem> refused = zelmar::applySettings(texts, options.settings);
    options.problems.insert(options.problems.end(), refused.begin(), refused.end());
    // An estimate is a dry run: with a port it would be a job on the machine.
    if (!haveImage || (options.resume && !options.journalPath) || (options.lastMoveDone && !options.resume) ||
        (options.estimate && options.port) || (options.grbl() && options.journalPath) ||
        (options.baudGiven && !options.grbl()))
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

std::string plainLines(std::string message) {
    for (std::size_t p; (p = message.find("\r\n")) != std::string::npos;)
        message.replace(p, 2, "\n");
    return message;
}

// Set by Ctrl+C; looked at by a timer, as a signal handler may do nothing more.
volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int) {
    interrupted = 1;
}

// Runs the operations one after the other; a moving one on the runner, the next when it has ended.
class Driver : public QObject {
public:
    Driver(const Options& options, zelmar::cli::Session& session)
        : options_(options), session_(session), controller_(session.image, session.tool) {
        zelmar::StartupConfig config = options_.settings;
        config.portName = options_.port.value_or(std::string());
        config.imagePath = options_.image;
        controller_.configure(config);
        controller_.setDryRunsMoveTheTool(true);
        controller_.setDryPauseMs(0); // no one watches a dry run here
        if (options_.journalPath) {
            controller_.setJournalPath(QString::fromStdString(*options_.journalPath));
            controller_.journalOperations(options_.operations);
        }
        controller_.setCommandLog([this](const zelmar::LoggedCommand& c) {
            commands_.push_back(c.text);
            if (!c.ofJob)
                return; // grbl's modes and program end: in the G-code file's header and footer already
            ++counted_.commands;
            counted_.moves += c.move.moves;
            counted_.bytes += static_cast<std::int64_t>(c.text.size());
            if (motion_)
                motion_->add(c.move);
            if (gcode_)
                gcodeText_ += gcode_->line(c.move);
        });
        if (options_.grbl()) {
            // A dry run for grbl is the grbl job: its travel and its time are a standard machine's.
            controller_.setStandardMachineTravel(true);
            const zelmar::Checked scale = zelmar::parseStepsPerPixel(options_.steps.value_or("150"));
            if (scale.ok())
                motion_.emplace(controller_.gcodeSettingsAt(scale.value, 0), zelmar::MachineRates{}, options_.settings.baud);
        }
        if (options_.gcodePath) {
            // A dry run's file is for a standard machine: its rapid moves keep above the stock. On our board the
            // file holds the board's own commands.
            controller_.setStandardMachineTravel(!options_.port || options_.grbl());
            const zelmar::Checked scale = zelmar::parseStepsPerPixel(options_.steps.value_or("150"));
            const bool standard = !options_.port || options_.grbl();
            const std::int32_t travel = controller_.travelHeightAt(scale, standard);
            gcode_.emplace(controller_.gcodeSettingsAt(scale.value, standard ? travel : 0));
            gcodeText_ = gcode_->header({options_.image, options_.operationWords, travel,
                                         options_.settings.mergeSteps, zelmar::wordOf(options_.settings.tool),
                                         options_.settings.mergeTolerance.isZero() ? "" : options_.settings.mergeTolerance.text(),
                                         options_.settings.stepDown, travel != options_.settings.safeHeight},
                                        zelmar::GcodeStart{session_.tool.toolX, session_.tool.toolY});
        }
        connect(&controller_, &zelmar::JobController::linkChanged, this, [this] {
            using Link = zelmar::JobController::LinkState;
            if (controller_.linkState() == Link::Open && options_.port) {
                controller_.setMilling(true);
                if (waitingForGrbl_) {
                    waitingForGrbl_ = false;
                    start();
                }
            } else if (controller_.linkState() == Link::GrblSilent) {
                fail("grbl на порту " + *options_.port +
                     " не прислал приветствия ни сразу, ни после программного сброса (Ctrl-X): проверьте "
                     "скорость порта (--baud) и что на плате grbl. Ничего не отправлено.");
            }
        });
        connect(&controller_, &zelmar::JobController::finished, this, &Driver::onEnded);
        connect(&controller_, &zelmar::JobController::moveDone, this, &Driver::showProgress);
        connect(&controller_, &zelmar::JobController::question, this,
                [this] { controller_.answerOpenMove(options_.lastMoveDone.value_or(false)); });
        connect(&interruptWatch_, &QTimer::timeout, this, [this] {
            if (!interrupted)
                return;
            interrupted = 0;
            stopRequested_ = true;
            controller_.stop();
        });
        interruptWatch_.start(50);
    }

    // Opens the port and takes up the journal; then the operations run from the event loop.
    bool prepare() {
        if (options_.steps)
            session_.stepsText = *options_.steps;
        if (options_.port && !controller_.openPort()) {
            std::cerr << "Ошибка открытия Com-порта: " << *options_.port << "\n"
                      << zelmar::portHintText(controller_.portHint()) << "\n";
            return false;
        }
        return !options_.resume || takeUpJournal();
    }

    void start() { QTimer::singleShot(0, this, &Driver::runNext); }
    const std::vector<std::string>& commands() const { return commands_; }
    // The G-code of the commands, ended; empty without --gcode.
    std::string gcode() const { return gcode_ ? gcodeText_ + gcode_->footer() : std::string(); }
    zelmar::MillSettings millSettings() const { return controller_.millSettingsAt(options_.steps.value_or("150")); }
    const zelmar::JobCount& counted() const { return counted_; }
    const std::optional<zelmar::MotionClock>& motion() const { return motion_; }

private:
    void finish(int status) {
        status_ = status;
        interruptWatch_.stop();
        QCoreApplication::exit(status);
    }

    void fail(const std::string& message) {
        std::cerr << plainLines(message) << "\n";
        finish(1);
    }

    void runNext() {
        while (next_ < options_.operations.size()) {
            if (stopRequested_) {
                fail("Остановлено (Ctrl+C).");
                return;
            }
            const zelmar::Operation& op = options_.operations[next_++];
            if (op.kind == zelmar::Operation::Kind::Select) {
                if (!controller_.select(op.id)) {
                    std::cerr << "select=" << op.id << ": the tree has no node P" << op.id << "\n" << usageText;
                    finish(2);
                    usageError_ = true;
                    return;
                }
                continue;
            }
            if (op.kind == zelmar::Operation::Kind::Parse) {
                controller_.parse(parseProgress(op));
                continue;
            }
            if (op.kind == zelmar::Operation::Kind::Gradient || op.kind == zelmar::Operation::Kind::Offset) {
                op.kind == zelmar::Operation::Kind::Gradient ? controller_.gradient() : controller_.offset();
                continue;
            }
            const zelmar::JobController::StartRefusal refusal = controller_.startOperation(op, session_.stepsText);
            if (refusal.mill != zelmar::MillRefusal::None) {
                fail(zelmar::refusalText(refusal.mill));
                return;
            }
            if (refusal.numbers.kind != zelmar::NumberRefusal::Kind::None) {
                if (controller_.milling()) {
                    fail(zelmar::refusalText(refusal.numbers));
                    return;
                }
                continue; // unticked, the manual move does nothing
            }
            return;
        }
        finish(0);
    }

    void onEnded(zelmar::JobRunner::Outcome outcome) {
        using Outcome = zelmar::JobRunner::Outcome;
        switch (outcome) {
        case Outcome::Completed:
            QTimer::singleShot(0, this, &Driver::runNext);
            return;
        case Outcome::Stopped:
            if (options_.grbl()) {
                fail("Задание остановлено (Ctrl+C): grbl удержал подачу и, когда станок встал, сброшен; "
                     "строки в его очереди отброшены." +
                     std::string(controller_.milling() ? " Фреза поднята над заготовкой." : ""));
                return;
            }
            fail("Задание остановлено (Ctrl+C) после текущего перемещения" +
                 std::string(controller_.milling() ? ", фреза поднята" : "") +
                 (controller_.keepsJournal() ? ". Журнал сохранён: продолжить можно той же командой с --resume."
                                             : "."));
            return;
        case Outcome::Failed:
            fail(zelmar::faultText(controller_.runner().fault(), false));
            return;
        case Outcome::Refused:
            fail(zelmar::refusalText(controller_.runner().refusal()));
            return;
        case Outcome::JournalFailed:
            fail(zelmar::journalFailureText(*options_.journalPath));
            return;
        }
    }

    // Replays what the journal says was done, then keeps the job it was in for the controller to continue.
    bool takeUpJournal() {
        const std::string& path = *options_.journalPath;
        using Verdict = zelmar::JournalTakeUp::Verdict;
        zelmar::JournalExpectation expected;
        expected.operations = options_.operationWords;
        expected.stepsText = session_.stepsText;
        expected.wordOnOpenMove = !options_.lastMoveDone;
        const zelmar::JournalTakeUp taken = controller_.takeUpJournalFile(expected);
        const zelmar::JournalHeader& h = taken.reading.header;
        const std::string cannot = "\nПродолжить по нему нельзя, ничего не отправлено.\n";
        std::string mismatch;
        switch (taken.verdict) {
        case Verdict::Taken:
            next_ = taken.nextOperation;
            resumeKept_ = taken.jobKept;
            return true;
        case Verdict::NotAJournal:
            std::cerr << "Журнал " << path << " не является журналом задания (или пуст)." << cannot;
            return false;
        case Verdict::Damaged:
            std::cerr << "Журнал " << path
                      << " повреждён: его заголовок неполон или записи противоречат друг другу." << cannot;
            return false;
        case Verdict::OtherImage:
            mismatch = "изображение другое";
            break;
        case Verdict::OtherOperations:
            mismatch = "операции другие";
            break;
        case Verdict::OtherSteps:
            mismatch = "число шагов на пиксель другое (--steps " + h.stepsText + ")";
            break;
        case Verdict::OtherSending:
            mismatch = std::string("команды шли ") + (h.mergeSteps ? "с --merge" : "без --merge") +
                       " и --safe-height " + std::to_string(h.safeHeight) +
                       (h.toolWord.empty() ? std::string()
                                           : " фрезой --tool " + h.toolWord + " при --mm-per-step " + h.mmPerStep) +
                       (h.mergeTolerance.empty() ? std::string() : " с --merge-tolerance " + h.mergeTolerance) +
                       (h.stepDown.empty() ? std::string() : " с --step-down " + h.stepDown) +
                       (h.depthRule.empty() ? std::string() : " с --marks-as-depth");
            break;
        case Verdict::OtherState:
            mismatch = "журнал записан окном программы для другого состояния изображения";
            break;
        case Verdict::DoesNotReplay:
            std::cerr << "Журнал " << path << " не сходится с заданием: операции дают не то, что в нём записано."
                      << cannot;
            return false;
        case Verdict::MoveUnsettled:
            std::cerr << "По журналу " << path << " команда " << zelmar::openMoveName(*taken.openMove)
                      << " отправлялась на станок, но «OK» на неё не пришло: дошла ли она до станка и выполнил ли он "
                         "её, неизвестно.\nУкажите --last-move done (станок её выполнил) или --last-move redo "
                         "(отправить её ещё раз).\nНичего не отправлено.\n";
            return false;
        case Verdict::Unwritable:
            std::cerr << "cannot write the journal " << path << "\n";
            return false;
        }
        std::cerr << "Журнал " << path << " относится к другому заданию: " << mismatch << "." << cannot;
        return false;
    }

    void showProgress(const zelmar::JobProgress& progress) {
        if (!showProgress_)
            return;
        const std::int64_t done = progress.movesDone;
        const std::int64_t total = progress.movesTotal;
        if (done % 1000 == 0 || done == total) {
            std::fprintf(stderr, "\rmill: %lld / %lld moves", static_cast<long long>(done),
                         static_cast<long long>(total));
            if (done == total)
                std::fprintf(stderr, "\n");
        }
    }

    // Progress of a long parse, only for a person watching a terminal.
    zelmar::ProgressCallback parseProgress(const zelmar::Operation& op) const {
        const auto& h = session_.image.layers.header();
        if (op.kind != zelmar::Operation::Kind::Parse || !zelmar::cli::standardErrorIsTerminal() ||
            std::int64_t{h.bmWidth} * h.bmHeight < 4'000'000)
            return {};
        return [](double done) {
            std::fprintf(stderr, "\rparse: %3d%%%s", static_cast<int>(done * 100), done >= 1.0 ? "\n" : "");
            std::fflush(stderr);
        };
    }

public:
    bool usageError() const { return usageError_; }
    // The job a journal was taken up in goes on first.
    void go() {
        if (resumeKept_)
            QTimer::singleShot(0, &controller_, &zelmar::JobController::resume);
        else if (options_.port && !controller_.linkReady())
            waitingForGrbl_ = true; // the operations start once grbl has said hello
        else
            start();
    }

private:
    const Options& options_;
    zelmar::cli::Session& session_;
    zelmar::JobController controller_;
    bool waitingForGrbl_ = false;
    QTimer interruptWatch_;
    std::vector<std::string> commands_;
    zelmar::JobCount counted_;
    std::optional<zelmar::MotionClock> motion_; // the grbl job's time
    std::optional<zelmar::GcodeWriter> gcode_;
    std::string gcodeText_;
    std::size_t next_ = 0;
    bool stopRequested_ = false;
    bool resumeKept_ = false;
    bool usageError_ = false;
    const bool showProgress_ = zelmar::cli::standardErrorIsTerminal();
    int status_ = 0;
};

std::string clockText(double seconds) {
    const auto whole = static_cast<long long>(seconds + 0.5);
    char clock[32];
    std::snprintf(clock, sizeof clock, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    return clock;
}

// "estimate: ..." for the commands of a grbl job: its time is the machine's motion, not a protocol's pause.
std::string grblEstimateLine(const zelmar::JobCount& count, const zelmar::MotionClock& motion, const Options& options) {
    return "estimate: " + std::to_string(count.commands) + " commands for " + std::to_string(count.moves) +
           " moves; " + clockText(motion.seconds()) + " on grbl: the motion at " + std::to_string(options.settings.feed) +
           " mm/min (plunges at " + std::to_string(options.settings.plungeFeed > 0 ? options.settings.plungeFeed : options.settings.feed) +
           "), rapid moves at 500 mm/min, 10 mm/s^2 and corners as grbl's planner takes them ($11, $110-$122 "
           "as grbl comes), and the lines at " + std::to_string(options.settings.baud) + " baud\n";
}

// "estimate: ..." for the commands a dry run counted.
std::string estimateLine(const zelmar::JobCount& count) {
    const auto seconds = static_cast<long long>(
        zelmar::lineTimeMs(count, zelmar::BoardLink::protocolPauseMs, zelmar::BoardLink::baudRate) / 1000.0 + 0.5);
    char clock[32];
    std::snprintf(clock, sizeof clock, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return "estimate: " + std::to_string(count.commands) + " commands for " + std::to_string(count.moves) +
           " moves, " + std::to_string(count.bytes) + " bytes; " + clock + " on the board at " +
           std::to_string(zelmar::BoardLink::baudRate) + " baud with the " +
           std::to_string(zelmar::BoardLink::protocolPauseMs) +
           " ms pause after each command, without the board's own motion time\n";
}

// The carving of the operations' millings, replayed dry from the picture as it was loaded.
bool writeCarving(const Options& options, const zelmar::cli::Session& loaded, const zelmar::MillSettings& settings) {
    if (!options.previewPath && !options.resultPath)
        return true;
    zelmar::ImageSession start = loaded.image;
    start.regions = std::make_shared<zelmar::RegionAnalysis>(*loaded.image.regions);
    zelmar::ToolPosition tool = loaded.tool;
    zelmar::MillIndexCache cache;
    const zelmar::ImageLayer& picture = start.layers.millLayer;
    zelmar::Carving carving(picture.header().bmWidth, picture.header().bmHeight, settings.tool);
    const zelmar::Checked scale = zelmar::parseStepsPerPixel(options.steps.value_or("150"));
    // Merged runs carved as the machine moves them.
    const zelmar::CommandFeed feed(scale.ok() ? zelmar::MergeRule{options.settings.mergeSteps, options.settings.mergeTolerance.value()}
                                              : zelmar::MergeRule{},
                                   scale.ok() ? scale.value : 1);
    zelmar::carveOperations(start, tool, cache, options.operations, settings, carving, feed);
    bool written = true;
    if (options.previewPath && !zelmar::previewImage(carving).save(QString::fromStdString(*options.previewPath), "PNG")) {
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

bool writeOutputs(const Options& options, const zelmar::cli::Session& session, const Driver& driver) {
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

    const std::optional<Options> options = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!options) {
        std::cerr << usageText;
        return 2;
    }
    if (!options->problems.empty()) { // every value refused, each on its line, and nothing done
        for (const zelmar::SettingProblem& problem : options->problems)
            std::cerr << "zelmar-cli: " << zelmar::optionProblemText(problem) << "\n";
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
    zelmar::cli::Session asLoaded = session; // for the carving, which replays the operations from the start

    // The commands, the G-code file, the estimate or the height grid of a job at a scale that is no number would be
    // those of an empty job: the window refuses such a job before it moves, and so does this, writing nothing.
    const zelmar::Checked scale = zelmar::parseStepsPerPixel(options->steps.value_or("150"));
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
    const bool carved = writeCarving(*options, asLoaded, driver.millSettings());
    return writeOutputs(*options, session, driver) && carved ? status : 1;
}
