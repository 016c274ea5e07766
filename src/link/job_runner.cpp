#include "job_runner.h"

#include <QElapsedTimer>

#include <cstdlib>

namespace zelmar {

namespace {
// A slice of dry moves drawn in one go: short enough to keep the window and signals flowing.
constexpr qint64 drySliceMs = 15;
} // namespace

JobRunner::JobRunner(QObject* parent) : QObject(parent) {
    dryTimer_.setSingleShot(true);
    dryTimer_.setTimerType(Qt::PreciseTimer);
    connect(&dryTimer_, &QTimer::timeout, this, [this] {
        completeDry();
        pump();
    });
    pumpTimer_.setSingleShot(true);
    pumpTimer_.setInterval(0);
    connect(&pumpTimer_, &QTimer::timeout, this, &JobRunner::pump);
}

JobRunner::~JobRunner() = default;

void JobRunner::setLink(MachineLink* link) {
    disconnect(acknowledgedConnection_);
    disconnect(doneConnection_);
    disconnect(failConnection_);
    link_ = link;
    if (link_) {
        acknowledgedConnection_ = connect(link_, &MachineLink::acknowledged, this, &JobRunner::onLinkAcknowledged);
        doneConnection_ = connect(link_, &MachineLink::moveDone, this, &JobRunner::onLinkDone);
        failConnection_ = connect(link_, &MachineLink::failed, this, &JobRunner::onLinkFailed);
    }
}

void JobRunner::setPhase(Phase phase) {
    if (phase_ == phase)
        return;
    phase_ = phase;
    emit phaseChanged();
}

void JobRunner::start(std::unique_ptr<MoveSource> job, const Checked& scale, const Board& at) {
    abort();
    run_ = Run{};
    keptAside_.reset();
    run_.source = std::move(job);
    run_.scale = scale;
    run_.board = at;
    run_.journalBase = journalBase_;
    fault_ = {};
    refusal_ = {};
    if (link_ && millingOn())
        link_->prepareForJob();
    setPhase(Phase::Running);
    schedulePump();
}

void JobRunner::runAside(std::unique_ptr<MoveSource> move, const Checked& scale) {
    if (isRunning())
        return;
    if (canContinue()) {
        keptAside_ = std::move(run_);
        keptPhase_ = phase_;
    }
    run_ = Run{};
    run_.source = std::move(move);
    run_.scale = scale;
    run_.aside = true;
    fault_ = {};
    refusal_ = {};
    if (link_ && millingOn())
        link_->prepareForJob();
    setPhase(Phase::Running);
    schedulePump();
}

void JobRunner::keep(std::unique_ptr<MoveSource> job, const Checked& scale, const Resumption& at,
                     JournalWriter* journal) {
    abort();
    run_ = Run{};
    keptAside_.reset();
    run_.source = std::move(job);
    run_.scale = scale;
    run_.board = at.board;
    run_.down = at.toolDown;
    run_.liveDepth = at.depth;
    run_.owesPlunge = at.owesPlunge;
    run_.plungeDepth = at.plungeDepth;
    run_.open = at.open;
    run_.journal = journal;
    run_.journalAsked = true;
    run_.journalBase = journalBase_;
    fault_ = {};
    refusal_ = {};
    setPhase(Phase::Kept);
}

void JobRunner::pause() {
    if (phase_ == Phase::Running && !run_.aside && halt_ == Halt::None) {
        halt_ = Halt::Pause;
        schedulePump();
    }
}

void JobRunner::stop() {
    if (phase_ == Phase::Running && !run_.aside) {
        halt_ = Halt::Stop;
        schedulePump();
    } else if (phase_ == Phase::Paused || phase_ == Phase::Asking) {
        setPhase(Phase::Kept);
        emit ended(Outcome::Stopped);
    }
}

void JobRunner::resume() {
    if (!canContinue() || !run_.source)
        return;
    if (run_.open) {
        setPhase(Phase::Asking);
        emit question();
        return;
    }
    fault_ = {};
    refusal_ = {};
    if (link_ && millingOn())
        link_->prepareForJob();
    setPhase(Phase::Running);
    schedulePump();
}

void JobRunner::answer(bool carriedOut) {
    if (phase_ != Phase::Asking || !run_.open)
        return;
    const OpenMove open = *run_.open;
    run_.open.reset();
    if (JournalWriter* j = journal()) {
        j->answered(carriedOut);
        if (!journalCommit())
            return;
    }
    if (carriedOut) {
        if (open.kind == OpenMove::Kind::Plan) {
            for (std::int32_t i = 0; i < open.moves; ++i)
                if (const PlannedMove* move = run_.source->next())
                    completePlanMove(*move, true);
            ++run_.commandsSent;
            emit commandDone();
        } else {
            insertedDone(open.kind, open.depth, true);
        }
    }
    setPhase(Phase::Kept);
    resume();
}

void JobRunner::dropKept() {
    if (isRunning())
        return;
    run_ = Run{};
    keptAside_.reset();
    setPhase(Phase::Idle);
}

void JobRunner::abort() {
    dryTimer_.stop();
    pumpTimer_.stop();
    if (!inFlight_.empty() && link_)
        link_->abort();
    inFlight_.clear();
    halt_ = Halt::None;
    if (isRunning())
        phase_ = Phase::Idle; // quietly: the window may be half gone
}

void JobRunner::schedulePump() {
    pumpTimer_.start();
}

std::size_t JobRunner::movesInFlight() const {
    std::size_t n = 0;
    for (const InFlight& f : inFlight_)
        if (f.kind == OpenMove::Kind::Plan)
            n += f.moves.size();
    return n;
}

std::span<const PlannedMove> JobRunner::nextCommandMoves(std::size_t offset) const {
    const std::span<const PlannedMove> ahead = run_.source->plannedAhead().subspan(offset);
    const std::size_t longest = run_.scale.ok() ? longestRunAt(run_.scale.value) : 1;
    return ahead.first(movesInCommand(ahead, mergeSteps_, longest));
}

MoveText JobRunner::textOf(const CommandMove& command) const {
    if (!run_.scale.ok())
        return {{}, run_.scale.refusal};
    return link_ ? link_->commandFor(command, run_.scale.value)
                 : formatMoveCommand(command.x, command.y, command.z, run_.scale.value);
}

void JobRunner::logCommand(const std::string& text, const CommandMove& command) {
    if (log_)
        log_({text, command});
}

void JobRunner::pump() {
    if (pumping_)
        return;
    pumping_ = true;
    QElapsedTimer slice;
    slice.start();
    while (phase_ == Phase::Running && !dryTimer_.isActive()) {
        const std::size_t inFlight = movesInFlight();
        if (!inFlight_.empty() && (!link_ || !link_->canSend()))
            break; // the machine has no room for more: its acknowledgements drive the job on
        if (halt_ != Halt::None || run_.owesPlunge) {
            if (!inFlight_.empty())
                break; // what went out comes back first
            if (halt_ != Halt::None) {
                halt();
                break;
            }
            if (millingOn()) {
                sendInserted(OpenMove::Kind::Plunge, run_.plungeDepth);
                break;
            }
            drawInserted(OpenMove::Kind::Plunge, run_.plungeDepth);
            continue;
        }
        if (inFlight == 0) {
            if (!run_.source->next()) { // reaches the next stage of the job when the plan is used up
                finish(Outcome::Completed);
                break;
            }
        } else if (inFlight >= run_.source->plannedAhead().size()) {
            break; // the rest of the plan is out; the next region is planned once it is done
        }
        const bool live = millingOn();
        if (!live && !inFlight_.empty())
            break; // what went out comes back before anything is only drawn
        if (live) {
            if (!sendPlanCommand(nextCommandMoves(inFlight), inFlight))
                break;
            continue; // a streaming machine may take more
        }
        drawDry();
        if (dryTimer_.isActive())
            break;
        if (slice.elapsed() >= drySliceMs) {
            schedulePump();
            break;
        }
    }
    pumping_ = false;
}

void JobRunner::drawDry() {
    // A dry run shows the commands that would have been sent; their moves are drawn one by one.
    if (run_.dryCommandLeft == 0) {
        const std::span<const PlannedMove> moves = nextCommandMoves(0);
        const CommandMove command = commandOf(moves);
        const MoveText text = textOf(command);
        if (text.ok())
            logCommand(text.text, command);
        run_.dryCommandLeft = static_cast<std::int32_t>(moves.size());
    }
    const PlannedMove* move = run_.source->next();
    if (move->kind == MoveKind::Step && dryPauseMs_ > 0) {
        dryTimer_.start(dryPauseMs_);
        return;
    }
    completeDry();
}

void JobRunner::completeDry() {
    const PlannedMove* move = run_.source->next();
    if (!move)
        return;
    if (JournalWriter* j = run_.journal) {
        retractEarlySent();
        j->doneDry(run_.journalBase + run_.source->movesDone());
    }
    completePlanMove(*move, false);
    if (run_.dryCommandLeft > 0 && --run_.dryCommandLeft == 0)
        emit commandDone();
}

void JobRunner::completePlanMove(const PlannedMove& move, bool live) {
    const PlannedMove done = move; // the move lives in the job, which complete() moves on
    run_.board.x += done.x;
    run_.board.y += done.y;
    run_.board.depth -= done.z;
    if (live) {
        run_.liveDepth -= done.z;
        ++run_.sent;
    }
    if (done.kind == MoveKind::Plunge)
        run_.down = true;
    else if (done.kind == MoveKind::Lift || done.kind == MoveKind::Approach)
        run_.down = false;
    emit moveDone(run_.source->complete());
}

void JobRunner::insertedDone(OpenMove::Kind kind, std::int32_t depth, bool live) {
    const bool lift = kind == OpenMove::Kind::Lift;
    const std::int32_t deeper = lift ? -depth : depth;
    run_.board.depth += deeper;
    if (live)
        run_.liveDepth += deeper;
    run_.down = !lift;
    run_.owesPlunge = lift;
    run_.plungeDepth = lift ? depth : 0;
    emit moveDone({});
}

void JobRunner::drawInserted(OpenMove::Kind kind, std::int32_t depth) {
    CommandMove command;
    command.z = kind == OpenMove::Kind::Lift ? depth : -depth;
    command.kind = kind == OpenMove::Kind::Lift ? MoveKind::Lift : MoveKind::Plunge;
    const MoveText text = textOf(command);
    if (text.ok())
        logCommand(text.text, command);
    insertedDone(kind, depth, false);
}

JournalWriter* JobRunner::journal() {
    if (!run_.journalAsked && !run_.aside) {
        run_.journalAsked = true;
        if (journalSource_)
            run_.journal = journalSource_(run_.source->movesDone());
    }
    return run_.journal;
}

bool JobRunner::journalCommit() {
    if (!run_.journal || run_.journal->commit())
        return true;
    finish(Outcome::JournalFailed);
    return false;
}

bool JobRunner::sendPlanCommand(std::span<const PlannedMove> moves, std::size_t offset) {
    if (!run_.scale.ok()) {
        refusal_ = run_.scale.refusal;
        finish(Outcome::Refused);
        return false;
    }
    if (!link_) {
        fault_ = {LinkFault::Kind::NotOpen, {}, {}, 0, false, false};
        finish(Outcome::Failed);
        return false;
    }
    const CommandMove command = commandOf(moves);
    const MoveText text = textOf(command);
    if (!text.ok()) {
        refusal_ = text.refusal;
        finish(Outcome::Refused);
        return false;
    }
    run_.dryCommandLeft = 0;
    InFlight item{OpenMove::Kind::Plan, std::vector<PlannedMove>(moves.begin(), moves.end()),
                  run_.journalBase + run_.source->movesDone() + static_cast<std::int64_t>(offset), text.text};
    if (journalledEarly_ == item.index && journalledEarlyMoves_ == command.moves) {
        journalledEarly_ = -1; // recorded and on the disk already
    } else if (JournalWriter* j = journal()) {
        retractEarlySent();
        j->sent(item.index, command.moves);
        if (!journalCommit())
            return false;
    }
    logCommand(text.text, command);
    sendCommand(std::move(item));
    return true;
}

void JobRunner::sendInserted(OpenMove::Kind kind, std::int32_t depth) {
    CommandMove command;
    command.z = kind == OpenMove::Kind::Lift ? depth : -depth;
    command.kind = kind == OpenMove::Kind::Lift ? MoveKind::Lift : MoveKind::Plunge;
    const MoveText text = textOf(command);
    if (!link_ || !text.ok()) {
        refusal_ = text.refusal;
        finish(Outcome::Refused);
        return;
    }
    if (JournalWriter* j = journal()) {
        retractEarlySent();
        kind == OpenMove::Kind::Lift ? j->liftSent(depth) : j->plungeSent(depth);
        if (!journalCommit())
            return;
    }
    PlannedMove move;
    move.z = command.z;
    move.kind = command.kind;
    logCommand(text.text, command);
    sendCommand({kind, {move}, 0, text.text});
}

void JobRunner::sendCommand(InFlight item) {
    const std::string command = item.command;
    inFlight_.push_back(std::move(item));
    link_->send(command);
}

void JobRunner::onLinkAcknowledged() {
    // The protocol's pause usually still runs: the time to put the acknowledgement, and the next command if it
    // is already certain to follow, on the disk, so that the journal costs the job nothing.
    if (inFlight_.empty() || !run_.journal || inFlight_.front().kind != OpenMove::Kind::Plan ||
        inFlight_.front().acknowledgementJournalled)
        return;
    InFlight& item = inFlight_.front();
    run_.journal->acknowledged(item.index, static_cast<std::int32_t>(item.moves.size()));
    item.acknowledgementJournalled = true;
    const std::size_t following = movesInFlight();
    if (halt_ == Halt::None && !run_.owesPlunge && millingOn() && inFlight_.size() == 1 &&
        following < run_.source->plannedAhead().size() && journalledEarly_ < 0) {
        const std::span<const PlannedMove> next = nextCommandMoves(following);
        journalledEarly_ = item.index + static_cast<std::int64_t>(following);
        journalledEarlyMoves_ = static_cast<std::int32_t>(next.size());
        run_.journal->sent(journalledEarly_, journalledEarlyMoves_);
    }
    journalCommit();
}

void JobRunner::retractEarlySent() {
    if (journalledEarly_ < 0)
        return;
    journalledEarly_ = -1;
    if (run_.journal)
        run_.journal->unsent();
}

void JobRunner::onLinkDone() {
    if (inFlight_.empty())
        return;
    const InFlight item = std::move(inFlight_.front());
    inFlight_.pop_front();
    JournalWriter* j = run_.journal;
    switch (item.kind) {
    case OpenMove::Kind::Plan:
        if (j && !item.acknowledgementJournalled)
            j->acknowledged(item.index, static_cast<std::int32_t>(item.moves.size()));
        for (const PlannedMove& move : item.moves)
            completePlanMove(move, true);
        ++run_.commandsSent;
        emit commandDone();
        break;
    case OpenMove::Kind::Lift:
    case OpenMove::Kind::Plunge:
        if (j)
            item.kind == OpenMove::Kind::Lift ? j->liftDone() : j->plungeDone();
        insertedDone(item.kind, std::abs(item.moves.front().z), true);
        break;
    }
    pump();
}

void JobRunner::onLinkFailed(const LinkFault& fault) {
    if (inFlight_.empty())
        return;
    retractEarlySent();
    const InFlight item = std::move(inFlight_.front());
    inFlight_.clear();
    fault_ = fault;
    if (!fault.commandWentOut && run_.journal) {
        // It never left: the journal must not show it open.
        item.kind == OpenMove::Kind::Plan ? run_.journal->unsent() : run_.journal->answered(false);
        run_.journal->commit();
    }
    if (fault.commandWentOut && !run_.aside)
        run_.open = OpenMove{item.kind, item.index, static_cast<std::int32_t>(item.moves.size()),
                             std::abs(item.moves.front().z), item.command};
    finish(Outcome::Failed);
}

void JobRunner::halt() {
    retractEarlySent();
    if (run_.down) {
        // Up to the surface: on the machine when it is being milled, in the drawing otherwise.
        if (millingOn() && link_ && link_->isOpen()) {
            sendInserted(OpenMove::Kind::Lift, run_.liveDepth);
            return;
        }
        drawInserted(OpenMove::Kind::Lift, static_cast<std::int32_t>(run_.board.depth));
    }
    const Halt halt = halt_;
    halt_ = Halt::None;
    if (!journalCommit())
        return;
    if (halt == Halt::Pause) {
        setPhase(Phase::Paused);
        return;
    }
    setPhase(Phase::Kept);
    emit ended(Outcome::Stopped);
}

void JobRunner::finish(Outcome outcome) {
    dryTimer_.stop();
    halt_ = Halt::None;
    retractEarlySent();
    if (outcome == Outcome::Completed && run_.journal) {
        run_.journal->ended();
        run_.journal->commit();
    } else if (outcome != Outcome::JournalFailed && run_.journal) {
        run_.journal->commit();
    }
    if (run_.aside) {
        // The manual move is over either way; a job put aside for it comes back as it was.
        if (keptAside_) {
            run_ = std::move(*keptAside_);
            keptAside_.reset();
            setPhase(keptPhase_);
        } else {
            setPhase(Phase::Idle);
        }
        emit ended(outcome);
        return;
    }
    setPhase(outcome == Outcome::Completed ? Phase::Idle : Phase::Kept);
    emit ended(outcome);
}

} // namespace zelmar
