// zelmar-cli: the window's work without the window, for scripts and checks.
//
//   zelmar-cli IMAGE [OPERATION ...] [--steps N] [--port PATH [--controller grbl [--baud N]]] [--commands FILE]
//              [--state FILE] [--labels] [--layers DIR] [--journal FILE [--resume [--last-move done|redo]]]
//
// Operations run left to right, each as the window's command runs it, the moves on the window's runner under
// this program's event loop. Exit status: 0 success, 1 a refusal, a failure, a stop (Ctrl+C) or an image that
// cannot be loaded (the reason on stderr; outputs still written once the image is loaded), 2 bad usage
// (nothing written).

#include "app/image_file.h"
#include "app/operator_texts.h"
#include "app/version.h"
#include "cli_state.h"
#include "image/content_hash.h"
#include "link/board_link.h"
#include "link/grbl_link.h"
#include "link/job_journal.h"
#include "link/job_resumption.h"
#include "link/job_runner.h"
#include "link/manual_move.h"
#include "link/serial_line.h"
#include "mill/gcode.h"
#include "mill/job_simulation.h"
#include "mill/mill_job.h"
#include "mill/operations.h"
#include "link/port_access.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <charconv>
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
    "                 feed hold and reset, and the program returns once grbl stands idle; no --journal\n"
    "  --baud N       the grbl port's speed (cnc.ini Baud, default 115200)\n"
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
    bool mergeSteps = false;
    std::int32_t safeHeight = 0;
    zelmar::Decimal mmPerStep{1, 2};
    std::int32_t feed = 300;
    std::optional<std::string> gcodePath;
    bool estimate = false;
    bool grbl = false;
    int baud = zelmar::GrblLink::defaultBaud;
    bool baudGiven = false;
};

std::optional<std::int32_t> wholeNumber(const std::string& text, std::int32_t least, std::int32_t most) {
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < least || value > most)
        return std::nullopt;
    return value;
}

std::optional<Options> parseArguments(const std::vector<std::string>& args) {
    Options options;
    bool haveImage = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--steps" || a == "--state" || a == "--layers" || a == "--port" || a == "--commands" ||
            a == "--journal" || a == "--last-move" || a == "--safe-height" || a == "--mm-per-step" ||
            a == "--feed" || a == "--gcode" || a == "--controller" || a == "--baud") {
            if (i + 1 >= args.size())
                return std::nullopt;
            const std::string& value = args[++i];
            if (a == "--controller") {
                if (value != "zelmar" && value != "grbl")
                    return std::nullopt;
                options.grbl = value == "grbl";
                continue;
            }
            if (a == "--baud") {
                const std::optional<std::int32_t> n = wholeNumber(value, 50, 4000000);
                if (!n)
                    return std::nullopt;
                options.baud = *n;
                options.baudGiven = true;
                continue;
            }
            if (a == "--last-move") {
                if (value != "done" && value != "redo")
                    return std::nullopt;
                options.lastMoveDone = value == "done";
                continue;
            }
            if (a == "--safe-height" || a == "--feed") {
                const std::optional<std::int32_t> n =
                    a == "--feed" ? wholeNumber(value, 1, 100000) : wholeNumber(value, 0, 1000);
                if (!n)
                    return std::nullopt;
                (a == "--feed" ? options.feed : options.safeHeight) = *n;
                continue;
            }
            if (a == "--mm-per-step") {
                const std::optional<zelmar::Decimal> d = zelmar::Decimal::parse(value);
                if (!d || d->isZero())
                    return std::nullopt;
                options.mmPerStep = *d;
                continue;
            }
            if (a == "--gcode") {
                options.gcodePath = value;
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
            options.mergeSteps = true;
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
    // An estimate is a dry run: with a port it would be a job on the machine.
    if (!haveImage || (options.resume && !options.journalPath) || (options.lastMoveDone && !options.resume) ||
        (options.estimate && options.port) || (options.grbl && options.journalPath) ||
        (options.baudGiven && !options.grbl))
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

std::string fileHash(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return zelmar::ContentHash::hexOf(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::string layerHash(const zelmar::ImageLayer& layer) {
    return zelmar::ContentHash::hexOf(layer.bits().data(), layer.bits().size());
}

// Set by Ctrl+C; looked at by a timer, as a signal handler may do nothing more.
volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int) {
    interrupted = 1;
}

// Runs the operations one after the other; a moving one on the runner, the next when it has ended.
class Driver : public QObject {
public:
    Driver(const Options& options, zelmar::cli::Session& session) : options_(options), session_(session) {
        if (options_.grbl) {
            grbl_ = std::make_unique<zelmar::GrblLink>(line_, options_.mmPerStep, options_.feed);
            connect(grbl_.get(), &zelmar::GrblLink::connected, this, [this] {
                if (waitingForGrbl_) {
                    waitingForGrbl_ = false;
                    start();
                }
            });
            connect(grbl_.get(), &zelmar::GrblLink::notConnected, this, [this] {
                fail("grbl на порту " + *options_.port +
                     " не прислал приветствия ни сразу, ни после программного сброса (Ctrl-X): проверьте "
                     "скорость порта (--baud) и что на плате grbl. Ничего не отправлено.");
            });
            runner_.setLink(grbl_.get());
        } else {
            runner_.setLink(&link_);
        }
        runner_.setDryPauseMs(0); // no one watches a dry run here
        runner_.setMillingSwitch([this] { return milling_; });
        runner_.setMergeSteps(options_.mergeSteps);
        runner_.setCommandLog([this](const zelmar::LoggedCommand& c) {
            commands_.push_back(c.text);
            if (!c.ofJob)
                return; // grbl's modes and program end: in the G-code file's header and footer already
            ++counted_.commands;
            counted_.moves += c.move.moves;
            counted_.bytes += static_cast<std::int64_t>(c.text.size());
            if (gcode_)
                gcodeText_ += gcode_->line(c.move);
        });
        if (options_.gcodePath) {
            gcode_.emplace(zelmar::GcodeSettings{zelmar::parseStepsPerPixel(options_.steps.value_or("150")).value,
                                                 options_.mmPerStep, options_.feed});
            gcodeText_ = gcode_->header({options_.image, options_.operationWords, options_.safeHeight,
                                         options_.mergeSteps});
        }
        runner_.setJournalSource([this](std::int64_t) { return openJournal(); });
        connect(&runner_, &zelmar::JobRunner::ended, this, &Driver::onEnded);
        connect(&runner_, &zelmar::JobRunner::moveDone, this, &Driver::showProgress);
        connect(&runner_, &zelmar::JobRunner::question, this, [this] {
            runner_.answer(options_.lastMoveDone.value_or(false));
        });
        connect(&interruptWatch_, &QTimer::timeout, this, [this] {
            if (!interrupted)
                return;
            interrupted = 0;
            stopRequested_ = true;
            runner_.stop();
        });
        interruptWatch_.start(50);
    }

    // Opens the port and takes up the journal; then the operations run from the event loop.
    bool prepare() {
        if (options_.steps)
            session_.stepsText = *options_.steps;
        if (options_.port) {
            const QString port = QString::fromStdString(*options_.port);
            const bool opened = grbl_ ? grbl_->connectTo(port, options_.baud)
                                      : line_.open(port, zelmar::BoardLink::baudRate);
            if (!opened) {
                std::cerr << "Ошибка открытия Com-порта: " << *options_.port << "\n";
                std::cerr << (line_.openFailure() == zelmar::SerialLine::OpenFailure::SettingsRefused
                                  ? zelmar::settingsRefusedHint(port)
                                  : zelmar::openFailureHint(port, line_.openError()))
                                 .toStdString()
                          << "\n";
                return false;
            }
            milling_ = true;
        }
        return !options_.resume || takeUpJournal();
    }

    void start() { QTimer::singleShot(0, this, &Driver::runNext); }
    const std::vector<std::string>& commands() const { return commands_; }
    // The G-code of the commands, ended; empty without --gcode.
    std::string gcode() const { return gcode_ ? gcodeText_ + gcode_->footer() : std::string(); }
    const zelmar::JobCount& counted() const { return counted_; }

private:
    void finish(int status) {
        status_ = status;
        interruptWatch_.stop();
        journal_.close();
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
                if (!zelmar::selectNode(session_.image, zelmar::nodeKey(op.id))) {
                    std::cerr << "select=" << op.id << ": the tree has no node P" << op.id << "\n" << usageText;
                    finish(2);
                    usageError_ = true;
                    return;
                }
                continue;
            }
            if (!op.moves()) {
                zelmar::runStillOperation(session_.image, op, parseProgress(op));
                continue;
            }
            startJob(op);
            return;
        }
        finish(0);
    }

    void startJob(const zelmar::Operation& op) {
        const zelmar::Checked scale = zelmar::parseStepsPerPixel(session_.stepsText);
        runner_.setJournalBase(journalled_);
        if (op.kind == zelmar::Operation::Kind::Move) {
            const zelmar::ManualMovePlan plan = zelmar::manualMovePlan(op.tx, op.ty, op.tz);
            if (!plan.move) {
                if (milling_) {
                    fail(zelmar::refusalText(plan.refusal));
                    return;
                }
                QTimer::singleShot(0, this, &Driver::runNext); // unticked, the manual move does nothing
                return;
            }
            job_ = nullptr;
            runner_.start(std::make_unique<zelmar::SingleMove>(*plan.move), scale, {});
            return;
        }
        zelmar::MillRefusal refusal = zelmar::MillRefusal::None;
        std::unique_ptr<zelmar::MoveSource> job =
            zelmar::jobOf(op, session_.image, session_.tool, cache_, options_.safeHeight, &refusal);
        if (!job) {
            fail(zelmar::refusalText(refusal));
            return;
        }
        job_ = static_cast<zelmar::MillJob*>(job.get());
        const zelmar::ToolPosition from = job_->tool();
        runner_.start(std::move(job), scale, {from.toolX, from.toolY, 0});
    }

    void onEnded(zelmar::JobRunner::Outcome outcome) {
        if (job_)
            session_.tool = job_->tool();
        if (zelmar::MoveSource* job = runner_.job())
            journalled_ += job->movesDone() - startedAt_;
        startedAt_ = 0;
        using Outcome = zelmar::JobRunner::Outcome;
        switch (outcome) {
        case Outcome::Completed:
            job_ = nullptr;
            QTimer::singleShot(0, this, &Driver::runNext);
            return;
        case Outcome::Stopped:
            if (grbl_) {
                fail("Задание остановлено (Ctrl+C): grbl удержал подачу и, когда станок встал, сброшен; "
                     "строки в его очереди отброшены.");
                return;
            }
            fail("Задание остановлено (Ctrl+C) после текущего перемещения" +
                 std::string(milling_ ? ", фреза поднята" : "") +
                 (journal_.isOpen() ? ". Журнал сохранён: продолжить можно той же командой с --resume."
                                    : "."));
            return;
        case Outcome::Failed:
            fail(zelmar::faultText(runner_.fault(), false));
            return;
        case Outcome::Refused:
            fail(zelmar::refusalText(runner_.refusal()));
            return;
        case Outcome::JournalFailed:
            fail(zelmar::journalFailureText(*options_.journalPath));
            return;
        }
    }

    zelmar::JournalWriter* openJournal() {
        if (!options_.journalPath)
            return nullptr;
        if (!journal_.isOpen()) {
            zelmar::JournalHeader header;
            header.imageHash = fileHash(options_.image);
            header.imageName = options_.image;
            header.stepsText = session_.stepsText;
            header.operations = options_.operationWords;
            header.mergeSteps = options_.mergeSteps;
            header.safeHeight = options_.safeHeight;
            header.millHash = millHashAtStart_;
            if (!journal_.create(*options_.journalPath, header))
                return nullptr;
        }
        return &journal_;
    }

    // Replays what the journal says was done, then keeps the job it was in for the runner to continue.
    bool takeUpJournal() {
        const std::string& path = *options_.journalPath;
        std::ifstream file(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const zelmar::JournalReading reading = zelmar::readJournal(text);
        if (!reading.readable()) {
            std::cerr << "Журнал " << path
                      << (reading.verdict == zelmar::JournalReading::Verdict::Damaged
                              ? " повреждён: его заголовок неполон или записи противоречат друг другу."
                              : " не является журналом задания (или пуст).")
                      << "\nПродолжить по нему нельзя, ничего не отправлено.\n";
            return false;
        }
        const zelmar::JournalHeader& h = reading.header;
        std::string mismatch;
        if (h.imageHash != fileHash(options_.image))
            mismatch = "изображение другое";
        else if (h.operations != options_.operationWords)
            mismatch = "операции другие";
        else if (h.stepsText != session_.stepsText)
            mismatch = "число шагов на пиксель другое (--steps " + h.stepsText + ")";
        else if (h.mergeSteps != options_.mergeSteps || h.safeHeight != options_.safeHeight)
            mismatch = std::string("команды шли ") + (h.mergeSteps ? "с --merge" : "без --merge") +
                       " и --safe-height " + std::to_string(h.safeHeight);
        else if (!h.prelude.empty() || h.millHash != millHashAtStart_)
            mismatch = "журнал записан окном программы для другого состояния изображения";
        if (!mismatch.empty()) {
            std::cerr << "Журнал " << path << " относится к другому заданию: " << mismatch
                      << ".\nПродолжить по нему нельзя, ничего не отправлено.\n";
            return false;
        }
        zelmar::ReplayPoint point = zelmar::replayOperations(session_.image, session_.tool, cache_,
                                                             options_.operations, reading.state.done,
                                                             options_.safeHeight);
        if (!point.ok) {
            std::cerr << "Журнал " << path
                      << " не сходится с заданием: операции дают не то, что в нём записано.\n"
                         "Продолжить по нему нельзя, ничего не отправлено.\n";
            return false;
        }
        const zelmar::Checked scale = zelmar::parseStepsPerPixel(session_.stepsText);
        auto* replayed = dynamic_cast<zelmar::MillJob*>(point.job.get());
        std::optional<zelmar::JobRunner::Resumption> at;
        if (replayed)
            at = zelmar::resumptionOf(reading.state, *replayed, link_, scale, options_.mergeSteps);
        else if (reading.state.pending == zelmar::JournalState::Pending::None && !reading.state.lifted)
            at.emplace(); // between two operations, or at a manual move: nothing owed
        if (!at) {
            std::cerr << "Журнал " << path << " не сходится с заданием: операции дают не то, что в нём записано.\n"
                         "Продолжить по нему нельзя, ничего не отправлено.\n";
            return false;
        }
        if (at->open && !options_.lastMoveDone) {
            std::cerr << "По журналу " << path << " команда " << zelmar::openMoveName(*at->open)
                      << " ушла на станок, но «OK» на неё не пришло: неизвестно, выполнил ли её станок.\n"
                         "Укажите --last-move done (станок её выполнил) или --last-move redo (отправить её "
                         "ещё раз).\nНичего не отправлено.\n";
            return false;
        }
        if (!journal_.resume(path, reading.wholeBytes)) {
            std::cerr << "cannot write the journal " << path << "\n";
            return false;
        }
        journalled_ = point.done;
        next_ = point.operation;
        if (!point.job)
            return true; // the journal ends between two operations: the next one starts afresh
        ++next_; // the job taken up is that operation
        job_ = replayed;
        startedAt_ = point.job->movesDone();
        runner_.setJournalBase(journalled_ - startedAt_);
        runner_.keep(std::move(point.job), scale, *at, &journal_);
        resumeKept_ = true;
        return true;
    }

    void showProgress() {
        if (!job_ || !showProgress_)
            return;
        const std::int64_t done = job_->millingDone();
        const std::int64_t total = job_->millingTotal();
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
    void setMillHashAtStart(std::string hash) { millHashAtStart_ = std::move(hash); }
    bool usageError() const { return usageError_; }
    // The job a journal was taken up in goes on first.
    void go() {
        if (resumeKept_)
            QTimer::singleShot(0, &runner_, &zelmar::JobRunner::resume);
        else if (grbl_ && !grbl_->isConnected())
            waitingForGrbl_ = true; // the operations start once grbl has said hello
        else
            start();
    }

private:
    const Options& options_;
    zelmar::cli::Session& session_;
    zelmar::SerialLine line_;
    zelmar::BoardLink link_{line_};
    std::unique_ptr<zelmar::GrblLink> grbl_;
    bool waitingForGrbl_ = false;
    zelmar::JobRunner runner_;
    zelmar::MillIndexCache cache_;
    zelmar::JournalWriter journal_;
    zelmar::MillJob* job_ = nullptr;
    QTimer interruptWatch_;
    std::vector<std::string> commands_;
    zelmar::JobCount counted_;
    std::optional<zelmar::GcodeWriter> gcode_;
    std::string gcodeText_;
    std::string millHashAtStart_;
    std::size_t next_ = 0;
    std::int64_t journalled_ = 0; // moves of the finished operations, as the journal counts them
    std::int64_t startedAt_ = 0;  // moves a job taken up from the journal had done before
    bool milling_ = false;
    bool stopRequested_ = false;
    bool resumeKept_ = false;
    bool usageError_ = false;
    const bool showProgress_ = zelmar::cli::standardErrorIsTerminal();
    int status_ = 0;
};

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
        if (a == "--steps" || a == "--state" || a == "--layers" || a == "--port" || a == "--commands" ||
            a == "--journal" || a == "--last-move" || a == "--safe-height" || a == "--mm-per-step" ||
            a == "--feed" || a == "--gcode" || a == "--controller" || a == "--baud")
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

    Driver driver(*options, session);
    if (options->journalPath)
        driver.setMillHashAtStart(layerHash(session.image.layers.millLayer));
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
        std::cout << estimateLine(driver.counted()) << std::flush;
    return writeOutputs(*options, session, driver) ? status : 1;
}
