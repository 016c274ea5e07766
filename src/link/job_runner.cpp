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
            if (const PlannedMove* move = run_.source->next())
                completePlanMove(*move, true);
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

void JobRunner::pump() {
    if (pumping_)
        return;
    pumping_ = true;
    QElapsedTimer slice;
    slice.start();
    while (phase_ == Phase::Running && inFlight_.empty() && !dryTimer_.isActive()) {
        if (halt_ != Halt::None) {
            halt();
            break;
        }
        const bool live = millingOn();
        if (run_.owesPlunge) {
            if (live) {
                sendInserted(OpenMove::Kind::Plunge, run_.plungeDepth);
                break;
            }
            drawInserted(OpenMove::Kind::Plunge, run_.plungeDepth);
            continue;
        }
        const PlannedMove* move = run_.source->next();
        if (!move) {
            finish(Outcome::Completed);
            break;
        }
        if (live) {
            sendPlanMove(*move);
            break;
        }
        if (log_ && run_.scale.ok()) {
            // A dry run shows what would have been sent.
            const MoveText text = link_ ? link_->commandFor(move->x, move->y, move->z, run_.scale.value)
                                        : formatMoveCommand(move->x, move->y, move->z, run_.scale.value);
            if (text.ok())
                log_(text.text);
        }
        if (move->kind == MoveKind::Step && dryPauseMs_ > 0) {
            dryTimer_.start(dryPauseMs_);
            break;
        }
        completeDry();
        if (slice.elapsed() >= drySliceMs) {
            schedulePump();
            break;
        }
    }
    pumping_ = false;
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
    if (log_ && run_.scale.ok()) {
        const std::int32_t z = kind == OpenMove::Kind::Lift ? depth : -depth;
        const MoveText text = link_ ? link_->commandFor(0, 0, z, run_.scale.value) : formatMoveCommand(0, 0, z, run_.scale.value);
        if (text.ok())
            log_(text.text);
    }
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

void JobRunner::sendPlanMove(const PlannedMove& move) {
    if (!run_.scale.ok()) {
        refusal_ = run_.scale.refusal;
        finish(Outcome::Refused);
        return;
    }
    if (!link_) {
        fault_ = {LinkFault::Kind::NotOpen, {}, {}, 0, false, false};
        finish(Outcome::Failed);
        return;
    }
    const MoveText text = link_->commandFor(move.x, move.y, move.z, run_.scale.value);
    if (!text.ok()) {
        refusal_ = text.refusal;
        finish(Outcome::Refused);
        return;
    }
    InFlight item{OpenMove::Kind::Plan, move, run_.journalBase + run_.source->movesDone(), text.text};
    if (journalledEarly_ == item.index) {
        journalledEarly_ = -1; // recorded and on the disk already
    } else if (JournalWriter* j = journal()) {
        retractEarlySent();
        j->sent(item.index);
        if (!journalCommit())
            return;
    }
    sendCommand(std::move(item));
}

void JobRunner::sendInserted(OpenMove::Kind kind, std::int32_t depth) {
    PlannedMove move;
    move.z = kind == OpenMove::Kind::Lift ? depth : -depth;
    move.kind = kind == OpenMove::Kind::Lift ? MoveKind::Lift : MoveKind::Plunge;
    const MoveText text = link_ && run_.scale.ok() ? link_->commandFor(0, 0, move.z, run_.scale.value) : MoveText{};
    if (!link_ || !text.ok()) {
        refusal_ = run_.scale.ok() ? text.refusal : run_.scale.refusal;
        finish(Outcome::Refused);
        return;
    }
    if (JournalWriter* j = journal()) {
        retractEarlySent();
        kind == OpenMove::Kind::Lift ? j->liftSent(depth) : j->plungeSent(depth);
        if (!journalCommit())
            return;
    }
    sendCommand({kind, move, 0, text.text});
}

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

bool JobRunner::sendCommand(InFlight item) {
    if (log_)
        log_(item.command);
    const std::string command = item.command;
    inFlight_.push_back(std::move(item));
    link_->send(command);
    return true;
}

void JobRunner::onLinkAcknowledged() {
    // The protocol's pause usually still runs: the time to put the acknowledgement, and the next move if it is
    // already certain to follow, on the disk, so that the journal costs the job nothing.
    if (inFlight_.empty() || !run_.journal || inFlight_.front().kind != OpenMove::Kind::Plan)
        return;
    InFlight& item = inFlight_.front();
    run_.journal->acknowledged(item.index);
    item.acknowledgementJournalled = true;
    const std::span<const PlannedMove> ahead = run_.source->plannedAhead();
    if (halt_ == Halt::None && !run_.owesPlunge && millingOn() && ahead.size() >= 2 && inFlight_.size() == 1) {
        run_.journal->sent(item.index + 1);
        journalledEarly_ = item.index + 1;
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
            j->acknowledged(item.index);
        completePlanMove(item.move, true);
        break;
    case OpenMove::Kind::Lift:
    case OpenMove::Kind::Plunge:
        if (j)
            item.kind == OpenMove::Kind::Lift ? j->liftDone() : j->plungeDone();
        insertedDone(item.kind, std::abs(item.move.z), true);
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
        run_.open = OpenMove{item.kind, item.index, std::abs(item.move.z), item.command};
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
