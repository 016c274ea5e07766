#include "job_controller.h"

#include "config/settings_table.h"

namespace zelmar {

JobController::JobController(ImageSession& session, ToolPosition& tool, QObject* parent)
    : QObject(parent), session_(session), tool_(tool) {
    runner_.setLink(&line_.boardLink());
    runner_.setMillingSwitch([this] { return milling_; });
    runner_.setJournalSource([this](std::int64_t done) { return journal_.open(sending_, done); });
    connect(&runner_, &JobRunner::moveDone, this, &JobController::onMoveDone);
    connect(&runner_, &JobRunner::ended, this, &JobController::onJobEnded);
    connect(&runner_, &JobRunner::phaseChanged, this, &JobController::onPhaseChanged);
    connect(&runner_, &JobRunner::question, this, [this] {
        if (runner_.openMove())
            emit question(*runner_.openMove());
    });
    connect(&runner_, &JobRunner::commandDone, this, [this] {
        if (!manualRunning_ && millingJob_)
            updateFigures();
    });
    connect(&line_, &MachineLine::lost, this, [this] {
        setMilling(false);
        emit linkChanged();
        emit machineStatusChanged();
    });
    connect(&line_, &MachineLine::changed, this, &JobController::linkChanged);
    connect(&line_, &MachineLine::statusChanged, this, &JobController::machineStatusChanged);
    connect(&line_, &MachineLine::alarmRaised, this, &JobController::onGrblAlarm);
    connect(&line_, &MachineLine::reopened, this, &JobController::continueJob);
    connect(&line_, &MachineLine::reopenFailed, this, &JobController::reopenFailed);
    connect(&estimate_, &JobEstimate::counted, this, &JobController::startPendingJob);
    connect(&setup_, &MachineSetupPart::done, this, &JobController::onSetupDone);
    connect(&setup_, &MachineSetupPart::touched, this, &JobController::probeTouched);
    connect(&setup_, &MachineSetupPart::failed, this, &JobController::setupFailed);
}

JobController::~JobController() {
    abort();
    line_.close();
}

void JobController::configure(const StartupConfig& config) {
    config_ = config;
    runner_.setMergeSteps(config_.mergeSteps);
    runner_.setMergeTolerance(config_.mergeTolerance.value());
    runner_.setSafeHeight(config_.safeHeight);
    journal_.setImagePath(config_.imagePath);
    const bool grblBefore = line_.isGrbl();
    line_.configure(config_);
    if (line_.isGrbl() && !grblBefore)
        runner_.setLink(line_.grblLink());
}

SendingSettings JobController::sendingAt(const std::string& stepsText) const {
    return SendingSettings::of(config_, stepsText, line_.isGrbl() || standardTravel_);
}

MillRefusal JobController::checkSettings(unsigned needs) {
    blockingSettings_.clear();
    for (const SettingProblem& problem : config_.problems)
        if (neededBy(problem.setting, needs))
            blockingSettings_.push_back(problem);
    return blockingSettings_.empty() ? MillRefusal::None : MillRefusal::BadSetting;
}

// ---- The line

bool JobController::openPort() {
    const bool opened = line_.open();
    if (!linkReady())
        setMilling(false);
    emit linkChanged();
    return opened;
}

void JobController::setMilling(bool on) {
    // Nothing can be sent while the line is not ready: every milling is then a dry run.
    on = on && linkReady();
    if (milling_ == on)
        return;
    milling_ = on;
    emit millingChanged(on);
}

void JobController::onGrblAlarm() {
    // A running or held job reports the alarm as its fault, when it ends.
    if (runner_.isRunning() || runner_.phase() == JobRunner::Phase::Paused)
        return;
    emit alarmRaised(line_.grblLink()->alarm());
}

// ---- Work that moves nothing

void JobController::runStill(const Operation& op, const ProgressCallback& progress, const WorkRunner& run) {
    if (!session_.hasImage() || busy_)
        return;
    forgetKeptJob();
    history_.runStill(op, progress, run);
    if (op.kind == Operation::Kind::RestoreMill)
        carving_.reset(); // the marks of what was cut are gone, and so is the picture of it
}

void JobController::clearSelection() {
    session_.selectedNode = -1;
    if (session_.regions)
        highlightIntoSelection(session_, 0);
}

// ---- Jobs

JobController::StartRefusal JobController::start(const Operation& operation, const std::string& stepsText,
                                                 const ProgressCallback& progress, const WorkRunner& run) {
    StartRefusal refusal;
    if (operation.kind == Operation::Kind::Select)
        refusal.noNode = !history_.select(operation.id);
    else if (operation.kind == Operation::Kind::Move)
        refusal.numbers = startMove(operation, stepsText);
    else if (operation.isMilling())
        refusal.mill = startMilling(operation.millKind(), stepsText);
    else if (operation.setsUp())
        refusal.setup = startSetup(operation, stepsText);
    else
        runStill(operation, progress, run);
    return refusal;
}

MillRefusal JobController::startMilling(MillKind kind, const std::string& stepsText) {
    if (busy_ || runner_.isRunning() || setup_.running())
        return MillRefusal::None;
    const SendingSettings sending = sendingAt(stepsText);
    MillRefusal refusal = checkMillCommand(kind, session_, sending.mill);
    if (refusal == MillRefusal::None)
        refusal = checkSettings(settingNeeds::milling | machineNeeds());
    if (refusal == MillRefusal::None && milling_ && heightMap() && !line_.isGrbl())
        refusal = MillRefusal::MapNotFollowed;
    if (refusal != MillRefusal::None)
        return refusal;
    JobEvents* events = this;
    auto job = std::make_unique<MillJob>(kind, session_, tool_, millIndex_, events);
    std::vector<Operation> operations = history_.millingOperations(kind, job->selectedRegion());
    job->setSettings(sending.mill);
    beginJob(std::move(job), std::move(operations), stepsText);
    return MillRefusal::None;
}

NumberRefusal JobController::startMove(const Operation& operation, const std::string& stepsText) {
    const ManualMovePlan plan = manualMovePlan(operation.tx, operation.ty, operation.tz);
    if (!plan.move)
        return plan.refusal;
    beginJob(std::make_unique<SingleMove>(*plan.move), {operation}, stepsText);
    return {};
}

void JobController::beginJob(std::unique_ptr<MoveSource> job, std::vector<Operation> operations,
                             const std::string& stepsText) {
    forgetKeptJob();
    sending_ = sendingAt(stepsText); // settled once for the whole job
    sentBefore_ = 0;
    movedSinceStop_ = false;
    auto* milling = dynamic_cast<MillJob*>(job.get());
    millingJob_ = milling;
    if (milling) {
        carving_.reset();
        if (keepsCarving_) {
            const ImageLayer& layer = session_.layers.millLayer;
            carving_ = std::make_unique<Carving>(layer.header().bmWidth, layer.header().bmHeight, sending_.mill.tool);
            milling->setCarving(carving_.get());
        }
    }
    history_.beginJob(std::move(operations));
    journal_.jobBegins();
    progress_ = {};
    estimate_.restart();
    setBusy(true);
    emit jobBegun();
    if (milling && milling_ && estimateFirst_) {
        job.release();
        estimate_.count(std::unique_ptr<MillJob>(milling), session_, tool_, sending_);
        emit estimated(-1, 0); // counting
        emit stateChanged(state());
        return;
    }
    runJob(std::move(job));
}

void JobController::runJob(std::unique_ptr<MoveSource> job) {
    runner_.setJournalBase(journal_.movesBefore());
    if (line_.isGrbl() && sending_.scale.ok())
        line_.grblLink()->setEndRise(sending_.travelHeight(), sending_.scale.value);
    startedAt_ = job->movesDone();
    JobRunner::Board from;
    if (millingJob_)
        from = {millingJob_->tool().toolX, millingJob_->tool().toolY, 0};
    runner_.start(std::move(job), sending_.scale, from);
}

void JobController::startPendingJob() {
    if (!estimate_.counting())
        return; // stopped, or the controller is going
    if (estimate_.marksMatter()) {
        emit marksInDoubt(); // answerMarks() goes on
        return;
    }
    answerMarks(true);
}

void JobController::answerMarks(bool go) {
    if (!estimate_.counting())
        return;
    if (!go) {
        stop(); // called off before its first command
        return;
    }
    const JobEstimate::Count count = estimate_.result();
    progress_.commandsTotal = count.count.commands;
    estimate_.begin(count);
    emit estimated(count.count.commands, count.ms);
    runJob(estimate_.takeJob());
}

JobController::MoveRefusal JobController::manualMove(const std::string& tx, const std::string& ty,
                                                    const std::string& tz, const std::string& stepsText,
                                                    NumberRefusal* numbers) {
    // While a job is paused only "Продолжить" and "Стоп" act: the paused job goes on from where the tool is.
    if (runner_.phase() == JobRunner::Phase::Paused || estimate_.counting())
        return MoveRefusal::Paused;
    if (runner_.isRunning() || manualRunning_ || setup_.running())
        return MoveRefusal::Busy;
    if (!milling_)
        return MoveRefusal::NotOnMachine; // unticked, the manual move does nothing at all
    if (line_.isGrbl() && !line_.grblLink()->takesMoveAside())
        return MoveRefusal::MachineBusy; // a jog in feed hold or alarm would be refused and drop a held job
    if (checkSettings(machineNeeds()) != MillRefusal::None)
        return MoveRefusal::Settings;
    const ManualMovePlan plan = manualMovePlan(tx, ty, tz);
    if (!plan.move) {
        if (numbers)
            *numbers = plan.refusal;
        return MoveRefusal::Numbers;
    }
    // Our board tells nothing of where it stands: a kept job can no longer be trusted to go on from where the
    // program believes the tool is. grbl's report settles that itself.
    if (canContinue() && !line_.isGrbl())
        movedSinceStop_ = true;
    manualRunning_ = true;
    setBusy(true);
    runner_.runAside(std::make_unique<SingleMove>(*plan.move), parseStepsPerPixel(stepsText));
    return MoveRefusal::None;
}

void JobController::stop() {
    if (estimate_.counting()) {
        // Stopped before its first command: nothing happened, nothing is kept.
        estimate_.drop();
        millingJob_ = nullptr;
        history_.callOffJob();
        setBusy(false);
        emit finished(JobRunner::Outcome::Stopped);
        onPhaseChanged();
        return;
    }
    runner_.stop();
}

void JobController::resume() {
    if (runner_.phase() == JobRunner::Phase::Asking) {
        if (runner_.openMove())
            emit question(*runner_.openMove());
        return;
    }
    if (!canContinue())
        return;
    if (movedSinceStop_) {
        emit positionInDoubt();
        return;
    }
    if (tickedAtEnd_ && !linkReady()) {
        // A lost line is opened again as at start.
        if (!openPort())
            return;
        if (line_.isGrbl()) {
            line_.continueOnHello(); // once grbl has said hello
            return;
        }
        setMilling(true);
    }
    setBusy(true);
    runner_.resume();
}

void JobController::continueJob() {
    setMilling(true);
    setBusy(true);
    runner_.resume();
}

void JobController::forgetKeptJob() {
    if (runner_.isRunning())
        return;
    millingJob_ = nullptr; // before the runner lets the job go
    history_.letGoJob();
    movedSinceStop_ = false;
    runner_.dropKept();
    if (!journal_.journalsRun())
        journal_.remove();
    onPhaseChanged();
}

void JobController::abort() {
    estimate_.drop();
    runner_.abort();
    line_.abort();
}

JobState JobController::state() const {
    if (estimate_.counting())
        return JobState::Estimating;
    if (manualRunning_)
        return JobState::Aside;
    switch (runner_.phase()) {
    case JobRunner::Phase::Running:
        return JobState::Running;
    case JobRunner::Phase::Paused:
        return JobState::Paused;
    case JobRunner::Phase::Kept:
        return millingJob_ ? JobState::Kept : JobState::Idle;
    case JobRunner::Phase::Asking:
        return JobState::Asking;
    case JobRunner::Phase::Idle:
        break;
    }
    return JobState::Idle;
}

// ---- The job's stages and progress

void JobController::millingStarts(std::int64_t totalMoves) {
    if (progress_.commandsTotal == 0)
        estimate_.setTotalMoves(totalMoves);
    emit jobStarted(totalMoves);
    updateProgress();
}

void JobController::regionStarts(std::int32_t) {
    updateProgress();
}

void JobController::passStarts(int pass) {
    emit passStarted(pass);
}

void JobController::workChanged(bool treeRebuilt) {
    emit pictureChanged(treeRebuilt);
}

void JobController::onMoveDone() {
    if (manualRunning_)
        return;
    updateProgress();
}

void JobController::updateProgress() {
    if (!millingJob_)
        return;
    updateFigures();
    emit moveDone(progress_);
}

void JobController::updateFigures() {
    const JobRunner::Board& b = runner_.board();
    progress_.movesDone = millingJob_->millingDone();
    progress_.movesTotal = millingJob_->millingTotal();
    progress_.regionId = millingJob_->region();
    progress_.x = b.x;
    progress_.y = b.y;
    progress_.z = b.depth;
    progress_.commandsDone = runner_.commandsSent();
    const JobEstimate::Times times =
        estimate_.times(progress_.commandsTotal > 0 ? progress_.commandsDone : progress_.movesDone);
    progress_.msLeft = times.msLeft;
    progress_.msRun = times.msRun;
    emit figuresChanged(progress_);
}

void JobController::recordJobInHistory() {
    if (millingJob_)
        history_.recordJob(*millingJob_, !runner_.wroteToMachine() && sentBefore_ == 0);
}

void JobController::onJobEnded(JobRunner::Outcome outcome) {
    using Outcome = JobRunner::Outcome;
    if (manualRunning_) {
        manualRunning_ = false;
        setBusy(runner_.phase() == JobRunner::Phase::Paused);
        if (outcome == Outcome::Failed)
            emit faulted(runner_.fault(), true);
        else if (outcome == Outcome::Refused)
            emit refused(runner_.refusal(), true);
        onPhaseChanged();
        return;
    }
    if (MoveSource* job = runner_.job()) {
        journal_.addMoves(job->movesDone() - startedAt_);
        startedAt_ = job->movesDone();
    }
    recordJobInHistory();
    tickedAtEnd_ = milling_ || runner_.wroteToMachine();
    setBusy(false);
    if (outcome == Outcome::Completed) {
        if (!journal_.journalsRun())
            journal_.remove();
        millingJob_ = nullptr;
    }
    estimate_.setRunning(false);
    progress_.msRun = estimate_.msRun();
    emit finished(outcome);
    if (outcome == Outcome::Failed)
        emit faulted(runner_.fault(), false);
    else if (outcome == Outcome::Refused)
        emit refused(runner_.refusal(), false);
    else if (outcome == Outcome::JournalFailed)
        emit journalFailed(journal_.path());
    else if (outcome == Outcome::Stopped)
        emit stopped();
}

void JobController::onPhaseChanged() {
    const JobState now = state();
    if (now == JobState::Paused && millingJob_)
        recordJobInHistory();
    estimate_.setRunning(now == JobState::Running);
    emit stateChanged(now);
    if (now == JobState::Paused)
        emit paused();
    updateProgress();
}

// ---- Journal

JournalTakeUp JobController::takeUpJournal(const JournalReading& reading, const JournalExpectation& expected) {
    // The journal names the steps it was written for.
    const SendingSettings sending = sendingAt(reading.header.stepsText);
    JournalKeeper::Kept kept = journal_.takeUp(reading, expected, sending, line_.boardLink(), estimateFirst_);
    if (kept.answer.verdict != JournalTakeUp::Verdict::Taken)
        return kept.answer;
    sending_ = sending;
    if (kept.job)
        keepTakenUpJob(kept);
    return kept.answer;
}

void JobController::keepTakenUpJob(JournalKeeper::Kept& kept) {
    MillJob* job = kept.job.get();
    JobEvents* events = this;
    job->setEvents(events);
    millingJob_ = job;
    startedAt_ = job->movesDone();
    runner_.setJournalBase(journal_.movesBefore());
    runner_.keep(std::move(kept.job), sending_.scale, kept.at, journal_.writer());
    tickedAtEnd_ = true;
    const JournalState& state = kept.answer.reading.state;
    sentBefore_ = state.done + (state.pending != JournalState::Pending::None ? 1 : 0);
    recordJobInHistory();
    setMilling(true); // the operator asked for the job on the machine
    progress_ = {};
    // The window shows a job's count before it goes on.
    const std::optional<JobEstimate::Count> rest = estimate_.beginKept(
        *job, kept.workAtJob ? &*kept.workAtJob : nullptr, history_.toolBeforeJob(), sending_);
    if (rest)
        progress_.commandsTotal = rest->count.commands;
    emit jobBegun();
    if (rest)
        emit estimated(rest->count.commands, rest->ms);
    emit jobStarted(job->millingTotal());
    onPhaseChanged();
}

// ---- G-code

JobController::GcodeResult JobController::writeGcode(const QString& path, MillKind kind,
                                                      const std::string& stepsText) {
    // The file is for a standard machine whatever the line: its rapid moves keep above the stock.
    const SendingSettings sending = SendingSettings::of(config_, stepsText, true);
    GcodeResult result;
    result.start = tool_;
    result.refusal = checkMillCommand(kind, session_, sending.mill);
    if (result.refusal == MillRefusal::None)
        result.refusal = checkSettings(settingNeeds::milling | settingNeeds::gcode);
    if (result.refusal != MillRefusal::None)
        return result;
    return gcode_.write(path, kind, sending, tool_);
}

} // namespace zelmar
