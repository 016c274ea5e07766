#include "driver.h"

#include "outputs.h"
#include "texts/journal_texts.h"
#include "texts/line_texts.h"
#include "texts/operator_texts.h"
#include "texts/port_texts.h"
#include "texts/setup_texts.h"

#include <QCoreApplication>

#include <fstream>

#include <cstdio>
#include <iostream>

namespace zelmar::cli {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int) {
    interrupted = 1;
}

Driver::Driver(const Options& options, zelmar::cli::Session& session)
    : options_(options), session_(session), controller_(session.image, session.tool) {
    zelmar::StartupConfig config = options_.settings;
    config.portName = options_.port.value_or(std::string());
    config.imagePath = options_.image;
    controller_.configure(config);
    controller_.setScript(true);
    controller_.setDryPauseMs(0); // no one watches a dry run here
    if (options_.journalPath) {
        controller_.setJournalPath(QString::fromStdString(*options_.journalPath));
        controller_.journalOperations(options_.operations);
    }
    const zelmar::ImageLayer& picture = session.image.layers.millLayer;
    if ((options_.previewPath || options_.resultPath) && !options_.port && !options_.journalPath) {
        carvedWith_ = millSettings().tool;
        carving_.emplace(picture.header().bmWidth, picture.header().bmHeight, carvedWith_);
    }
    controller_.setCommandLog([this](const zelmar::LoggedCommand& c) {
        if (carving_ && !c.planMoves.empty())
            carving_->take(c.planMoves);
        commands_.push_back(c.text);
        if (!c.ofJob)
            return; // grbl's modes and program end: in the G-code file's header and footer already
        ++counted_.commands;
        counted_.moves += c.move.moves;
        counted_.bytes += static_cast<std::int64_t>(c.text.size());
        if (motion_)
            motion_->add(c.move);
        if (mappedGcode_)
            gcodeText_ += mappedGcode_->lines(c.move);
        else if (gcode_)
            gcodeText_ += gcode_->line(c.move);
    });
    if (options_.grbl()) {
        // A dry run for grbl is the grbl job: its travel and its time are a standard machine's.
        controller_.setStandardMachineTravel(true);
        const zelmar::Checked scale = options_.scale;
        if (scale.ok())
            motion_.emplace(controller_.gcodeSettingsAt(scale.value, 0), zelmar::MachineRates{}, options_.settings.baud);
        if (motion_ && options_.heightMap)
            motion_->setHeightMap(*options_.heightMap); // the moves grbl would get
    }
    if (options_.gcodePath) {
        // A dry run's file is for a standard machine: its rapid moves keep above the stock. On our board the
        // file holds the board's own commands.
        controller_.setStandardMachineTravel(!options_.port || options_.grbl());
        const zelmar::Checked scale = options_.scale;
        const bool standard = !options_.port || options_.grbl();
        const std::int32_t travel = controller_.travelHeightAt(scale, standard);
        gcode_.emplace(controller_.gcodeSettingsAt(scale.value, standard ? travel : 0));
        gcodeText_ = gcode_->header({options_.image, options_.operationWords, travel,
                                     options_.settings.mergeSteps, zelmar::wordOf(options_.settings.tool),
                                     options_.settings.mergeTolerance.isZero() ? "" : options_.settings.mergeTolerance.text(),
                                     options_.settings.stepDown, travel != options_.settings.safeHeight,
                                     options_.heightMapPath.value_or("")},
                                    zelmar::GcodeStart{session_.tool.toolX, session_.tool.toolY});
        if (options_.heightMap)
            mappedGcode_.emplace(*gcode_, *options_.heightMap);
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
            fail(zelmar::grblSilentText(*options_.port, "--baud") + " Ничего не отправлено.");
        }
    });
    connect(&controller_, &zelmar::JobController::finished, this, &Driver::onEnded);
    connect(&controller_, &zelmar::JobController::setupDone, this, [this](zelmar::Operation::Kind kind) {
        if (kind == zelmar::Operation::Kind::ProbeMap && !saveProbedMap())
            return;
        QTimer::singleShot(0, this, &Driver::runNext);
    });
    connect(&controller_, &zelmar::JobController::setupFailed, this,
            [this](zelmar::Operation::Kind kind, const zelmar::SetupFailure& failure) {
                fail(zelmar::setupFailureText(kind, failure));
            });
    connect(&controller_, &zelmar::JobController::moveDone, this, &Driver::showProgress);
    connect(&controller_, &zelmar::JobController::question, this,
            [this] { controller_.answerOpenMove(options_.lastMoveDone.value_or(false)); });
    connect(&interruptWatch_, &QTimer::timeout, this, [this] {
        if (!interrupted)
            return;
        interrupted = 0;
        stopRequested_ = true;
        controller_.stop();
        if (controller_.settingUp())
            controller_.cancelJog(); // a set-up's jog stops too; the operations after it do not start
    });
    interruptWatch_.start(50);
}

bool Driver::prepare() {
    session_.stepsText = options_.steps;
    if (options_.heightMap && options_.port)
        controller_.setHeightMap(options_.heightMap, *options_.heightMapPath);
    if (options_.port && !controller_.openPort()) {
        std::cerr << zelmar::portNotOpenedText << ": " << *options_.port << "\n"
                  << zelmar::portHintText(controller_.portHint()) << "\n";
        return false;
    }
    return !options_.resume || takeUpJournal();
}

const zelmar::Carving* Driver::carving() const {
    const zelmar::ImageLayer& picture = session_.image.layers.millLayer;
    if (!carving_ || status_ != 0 || !(millSettings().tool == carvedWith_) ||
        carving_->width() != picture.header().bmWidth || carving_->height() != picture.header().bmHeight)
        return nullptr;
    return &*carving_;
}

void Driver::finish(int status) {
    status_ = status;
    interruptWatch_.stop();
    QCoreApplication::exit(status);
}

bool Driver::saveProbedMap() {
    const std::optional<zelmar::HeightMap> map = controller_.heightMap();
    const std::string& path = *options_.heightMapPath;
    const std::string text = map ? map->text() : std::string();
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!map || !file.write(text.data(), static_cast<std::streamsize>(text.size())) || !file.flush()) {
        std::cerr << "zelmar-cli: --height-map " << path << ": cannot be written\n";
        finish(1);
        return false;
    }
    controller_.setHeightMap(map, path);
    return true;
}

void Driver::fail(const std::string& message) {
    std::cerr << plainLines(message) << "\n";
    finish(1);
}

void Driver::runNext() {
    while (next_ < options_.operations.size()) {
        if (stopRequested_) {
            fail("Остановлено (Ctrl+C).");
            return;
        }
        const zelmar::Operation& op = options_.operations[next_++];
        const zelmar::ProgressCallback progress =
            op.kind == zelmar::Operation::Kind::Parse ? parseProgress(op) : zelmar::ProgressCallback{};
        const zelmar::JobController::StartRefusal refusal = controller_.start(op, session_.stepsText, progress);
        if (refusal.noNode) {
            std::cerr << "select=" << op.id << ": the tree has no node P" << op.id << "\n" << usageText;
            finish(2);
            usageError_ = true;
            return;
        }
        if (op.setsUp()) {
            if (refusal.setup != zelmar::JobController::SetupRefusal::None)
                fail(zelmar::setupRefusalText(op.kind, refusal.setup, controller_.blockingSettings()));
            return; // the next once grbl has done it
        }
        if (!op.moves())
            continue;
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

void Driver::onEnded(zelmar::JobRunner::Outcome outcome) {
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

bool Driver::takeUpJournal() {
    const std::string& path = *options_.journalPath;
    zelmar::JournalExpectation expected;
    expected.operations = options_.operationWords;
    expected.stepsText = session_.stepsText;
    expected.wordOnOpenMove = !options_.lastMoveDone;
    const zelmar::JournalTakeUp taken = controller_.takeUpJournalFile(expected);
    if (taken.verdict != zelmar::JournalTakeUp::Verdict::Taken) {
        std::cerr << zelmar::journalRefusalText(taken, path);
        return false;
    }
    next_ = taken.nextOperation;
    resumeKept_ = taken.jobKept;
    return true;
}

void Driver::showProgress(const zelmar::JobProgress& progress) {
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

zelmar::ProgressCallback Driver::parseProgress(const zelmar::Operation& op) const {
    const auto& h = session_.image.layers.header();
    if (op.kind != zelmar::Operation::Kind::Parse || !zelmar::cli::standardErrorIsTerminal() ||
        std::int64_t{h.bmWidth} * h.bmHeight < 4'000'000)
        return {};
    return [](double done) {
        std::fprintf(stderr, "\rparse: %3d%%%s", static_cast<int>(done * 100), done >= 1.0 ? "\n" : "");
        std::fflush(stderr);
    };
}

void Driver::go() {
    if (resumeKept_)
        QTimer::singleShot(0, &controller_, &zelmar::JobController::resume);
    else if (options_.port && !controller_.linkReady())
        waitingForGrbl_ = true; // the operations start once grbl has said hello
    else
        start();
}

} // namespace zelmar::cli
