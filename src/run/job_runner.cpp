// How a run moves on once it is started: the moves due made into commands, sent to the machine through its
// pacing or only drawn, the machine's answers and faults, the halt of a pause or a stop, and the run's end; and
// the run as its pacing sees it. Starting, pausing and continuing are job_runner_controls.cpp's.

#include "job_runner.h"

#include "board_pacing.h"
#include "link/streaming_link.h"
#include "stream_pacing.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstdlib>

namespace zelmar {

namespace {
// A slice of dry moves drawn in one go: short enough to keep the window and signals flowing.
constexpr qint64 drySliceMs = 15;
} // namespace

JobRunner::JobRunner(QObject* parent) : QObject(parent), pacing_(std::make_unique<BoardPacing>()) {
    dryTimer_.setSingleShot(true);
    dryTimer_.setTimerType(Qt::PreciseTimer);
    connect(&dryTimer_, &QTimer::timeout, this, [this] {
        completeDry();
        pump();
    });
    pumpTimer_.setSingleShot(true);
    pumpTimer_.setInterval(0);
    connect(&pumpTimer_, &QTimer::timeout, this, &JobRunner::pump);
    connect(&journalPolicy_, &JournalPolicy::failed, this, [this] {
        if (isRunning())
            finish(Outcome::JournalFailed);
    });
}

JobRunner::~JobRunner() = default;

void JobRunner::setLink(MachineLink* link) {
    for (const QMetaObject::Connection& c : linkConnections_)
        disconnect(c);
    linkConnections_.clear();
    link_ = link;
    // The pacing follows what the machine is: one that streams, or our board.
    StreamingLink* streaming = qobject_cast<StreamingLink*>(link);
    PacedRun& run = *this;
    if (streaming)
        pacing_ = std::make_unique<StreamPacing>(*streaming, run);
    else
        pacing_ = std::make_unique<BoardPacing>();
    if (!link_)
        return;
    linkConnections_ = {
        connect(link_, &MachineLink::acknowledged, this, &JobRunner::onLinkAcknowledged),
        connect(link_, &MachineLink::moveDone, this, &JobRunner::onLinkDone),
        connect(link_, &MachineLink::failed, this, &JobRunner::onLinkFailed),
    };
    if (!streaming)
        return;
    linkConnections_.insert(
        linkConnections_.end(),
        {
            connect(streaming, &StreamingLink::stoppedAt, this,
                    [this](const MachinePosition& at) { pacing_->stoppedAt(at); }),
            connect(streaming, &StreamingLink::idleAt, this, [this](const MachinePosition& at) { pacing_->idleAt(at); }),
            connect(streaming, &StreamingLink::reportedAt, this,
                    [this](const MachinePosition& at) { pacing_->reportedAt(at); }),
            connect(streaming, &StreamingLink::unlocked, this, [this] { pacing_->unlocked(); }),
        });
}

void JobRunner::setPhase(Phase phase) {
    if (phase_ == phase)
        return;
    phase_ = phase;
    emit phaseChanged();
}

void JobRunner::useJournal(JournalWriter* journal) {
    run_.journal = journal;
    journalPolicy_.attach(journal);
}

void JobRunner::beginRun() {
    run_ = Run{};
    pacing_->beginRun();
}

void JobRunner::putAside() {
    keptAside_ = std::move(run_);
    keptPhase_ = phase_;
    pacing_->putAside();
}

void JobRunner::takeBack() {
    run_ = std::move(*keptAside_);
    keptAside_.reset();
    pacing_->takeBack();
}

void JobRunner::forgetAside() {
    keptAside_.reset();
    pacing_->forgetAside();
}

void JobRunner::schedulePump() {
    pumpTimer_.start();
}

std::size_t JobRunner::movesOut() const {
    std::size_t n = pacing_->movesAnswered();
    for (const InFlight& f : inFlight_)
        if (f.kind == OpenMove::Kind::Plan && f.role == LineRole::Job)
            n += f.moves.size();
    return n;
}

std::span<const PlannedMove> JobRunner::nextCommandMoves(std::size_t offset) const {
    // Without a scale nothing is merged: no run's length is known to fit the board's counters.
    return CommandFeed(run_.scale.ok() ? merge_ : MergeRule{}, run_.scale.ok() ? run_.scale.value : 1)
        .nextMoves(run_.source->plannedAhead().subspan(offset), run_.source->surfaceGuard());
}

MoveText JobRunner::textOf(const CommandMove& command) const {
    if (!run_.scale.ok())
        return {{}, run_.scale.refusal};
    return link_ ? link_->commandFor(command, run_.scale.value)
                 : formatMoveCommand(command.x, command.y, command.z, run_.scale.value);
}

void JobRunner::logCommand(const std::string& text, const CommandMove& command,
                           std::span<const PlannedMove> planMoves) {
    if (log_)
        log_({text, command, true, planMoves});
}

void JobRunner::pump() {
    if (pumping_)
        return;
    pumping_ = true;
    QElapsedTimer slice;
    slice.start();
    while (phase_ == Phase::Running && !dryTimer_.isActive()) {
        if (journalPolicy_.holdingWrite())
            break; // the command before waits for its record to reach the disk
        if (!pacing_->readyForPlan())
            break;
        const std::size_t out = movesOut();
        if (!inFlight_.empty() && (!link_ || !link_->canSend(0)))
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
        if (out == 0) {
            if (!run_.source->next()) { // reaches the next stage of the job when the plan is used up
                if (!pacing_->closeRun())
                    finish(Outcome::Completed);
                break;
            }
        } else if (out >= run_.source->plannedAhead().size()) {
            // The rest of the plan is out; the next region is planned once it is done.
            pacing_->regionOut();
            break;
        }
        const bool live = millingOn();
        if (!live && !inFlight_.empty())
            break; // what went out comes back before anything is only drawn
        if (live) {
            if (!sendPlanCommand(nextCommandMoves(out), out))
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
            logCommand(text.text, command, moves);
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
    if (run_.journal)
        journalPolicy_.doneDry(run_.journalBase + run_.source->movesDone());
    completePlanMove(*move, false);
    if (run_.dryCommandLeft > 0 && --run_.dryCommandLeft == 0)
        emit commandDone();
}

void JobRunner::completePlanMove(const PlannedMove& move, bool live) {
    run_.at.planMoveDone(move, live); // before the job moves on, which the move lives in
    emit moveDone(run_.source->complete());
}

void JobRunner::carriedOut(const StreamRecovery::Carried& carried) {
    for (const std::int32_t moves : carried) {
        if (moves == 0)
            continue; // a line of no plan move: the modes, the rest of a line cut off
        for (std::int32_t m = 0; m < moves; ++m)
            if (const PlannedMove* move = run_.source->next())
                completePlanMove(*move, true);
        ++run_.commandsSent;
        emit commandDone();
    }
}

void JobRunner::insertedDone(OpenMove::Kind kind, std::int32_t depth, bool live) {
    const bool lift = kind == OpenMove::Kind::Lift;
    run_.at.liftedOrPlunged(lift, depth, live);
    run_.owesPlunge = lift;
    run_.plungeDepth = lift ? depth : 0;
    emit moveDone({});
}

void JobRunner::drawInserted(OpenMove::Kind kind, std::int32_t depth) {
    const CommandMove command = CommandFeed::liftOrPlunge(kind == OpenMove::Kind::Lift, depth);
    const MoveText text = textOf(command);
    if (text.ok())
        logCommand(text.text, command);
    insertedDone(kind, depth, false);
}

JournalWriter* JobRunner::journal() {
    if (!run_.journalAsked && !run_.aside && pacing_->settlesUnansweredCommands()) {
        run_.journalAsked = true;
        if (journalSource_)
            useJournal(journalSource_(run_.source->movesDone()));
    }
    return run_.journal;
}

bool JobRunner::sendPlanCommand(std::span<const PlannedMove> moves, std::size_t offset) {
    if (!run_.scale.ok()) {
        refusal_ = run_.scale.refusal;
        finish(Outcome::Refused);
        return false;
    }
    if (!link_) {
        fault_ = {.kind = LinkFault::Kind::NotOpen};
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
    InFlight item{OpenMove::Kind::Plan, std::vector<PlannedMove>(moves.begin(), moves.end()),
                  run_.journalBase + run_.source->movesDone() + static_cast<std::int64_t>(offset), text.text};
    bool refused = false;
    if (!pacing_->placeCommand(item.command, command, item.moves.size(), item.segment, refused)) {
        if (refused) {
            refusal_ = {NumberRefusal::Kind::CountTooLarge, {}, {}, run_.scale.value};
            finish(Outcome::Refused);
        }
        return false;
    }
    run_.dryCommandLeft = 0;
    logCommand(item.command, command, moves);
    sendCommand(std::move(item));
    return true;
}

void JobRunner::sendInserted(OpenMove::Kind kind, std::int32_t depth) {
    const CommandMove command = CommandFeed::liftOrPlunge(kind == OpenMove::Kind::Lift, depth);
    const MoveText text = textOf(command);
    if (!link_ || !text.ok()) {
        refusal_ = text.refusal;
        finish(Outcome::Refused);
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
    JournalPolicy::Sent sent;
    sent.kind = item.kind == OpenMove::Kind::Plan   ? JournalPolicy::Sent::Kind::Plan
                : item.kind == OpenMove::Kind::Lift ? JournalPolicy::Sent::Kind::Lift
                                                    : JournalPolicy::Sent::Kind::Plunge;
    sent.move = item.index;
    sent.moves = static_cast<std::int32_t>(item.moves.size());
    sent.depth = item.kind == OpenMove::Kind::Plan ? 0 : std::abs(item.moves.front().z);
    const bool journalled = item.role == LineRole::Job && journal() != nullptr;
    inFlight_.push_back(std::move(item));
    if (!journalled) {
        link_->send(command);
        return;
    }
    journalPolicy_.beforeWrite(sent, [this, command] { link_->send(command); });
}

void JobRunner::onLinkAcknowledged() {
    // The protocol's pause usually still runs: the time to bring the acknowledgement to the disk, so that the
    // journal costs the job nothing.
    if (inFlight_.empty() || !run_.journal || inFlight_.front().kind != OpenMove::Kind::Plan ||
        inFlight_.front().acknowledgementJournalled)
        return;
    InFlight& item = inFlight_.front();
    journalPolicy_.acknowledged(item.index, static_cast<std::int32_t>(item.moves.size()));
    item.acknowledgementJournalled = true;
}

void JobRunner::onLinkDone() {
    if (inFlight_.empty())
        return;
    InFlight item = std::move(inFlight_.front());
    inFlight_.pop_front();
    if (!pacing_->answered(item.role, std::move(item.segment))) {
        pump();
        return;
    }
    switch (item.kind) {
    case OpenMove::Kind::Plan:
        if (run_.journal && !item.acknowledgementJournalled)
            journalPolicy_.acknowledged(item.index, static_cast<std::int32_t>(item.moves.size()));
        for (const PlannedMove& move : item.moves)
            completePlanMove(move, true);
        ++run_.commandsSent;
        emit commandDone();
        break;
    case OpenMove::Kind::Lift:
    case OpenMove::Kind::Plunge:
        if (run_.journal)
            journalPolicy_.liftOrPlungeDone(item.kind == OpenMove::Kind::Lift);
        insertedDone(item.kind, std::abs(item.moves.front().z), true);
        break;
    }
    pump();
}

void JobRunner::onLinkFailed(const LinkFault& fault) {
    if (pacing_->failed(fault) || inFlight_.empty())
        return;
    const InFlight item = std::move(inFlight_.front());
    inFlight_.clear();
    fault_ = fault;
    if (!fault.commandWentOut && run_.journal) // it never left: the journal must not show it open
        journalPolicy_.notWritten(item.kind == OpenMove::Kind::Plan ? JournalPolicy::Sent::Kind::Plan
                                                                     : JournalPolicy::Sent::Kind::Lift);
    if (fault.commandWentOut && !run_.aside && pacing_->settlesUnansweredCommands())
        run_.open = OpenMove{item.kind, item.index, static_cast<std::int32_t>(item.moves.size()),
                             std::abs(item.moves.front().z), item.command};
    finish(Outcome::Failed);
}

void JobRunner::halt() {
    if (run_.at.down) {
        // Up to the surface: on the machine when it is being milled, in the drawing otherwise.
        if (millingOn() && link_ && link_->isOpen()) {
            sendInserted(OpenMove::Kind::Lift, run_.at.liveDepth);
            return;
        }
        drawInserted(OpenMove::Kind::Lift, static_cast<std::int32_t>(run_.at.depth));
    }
    const Halt halt = halt_;
    halt_ = Halt::None;
    if (!journalPolicy_.settle()) {
        finish(Outcome::JournalFailed);
        return;
    }
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
    if (outcome == Outcome::JournalFailed) {
        journalPolicy_.cancel();
        inFlight_.clear(); // a command that waited for its record never goes
    } else if (outcome == Outcome::Completed) {
        journalPolicy_.ended();
    } else {
        journalPolicy_.settle();
    }
    if (run_.aside) {
        // The manual move is over either way; a job put aside for it comes back as it was.
        if (keptAside_) {
            takeBack();
            journalPolicy_.attach(run_.journal);
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

// ---- The run as its pacing sees it

bool JobRunner::jobLinesUnanswered() const {
    return std::any_of(inFlight_.begin(), inFlight_.end(), [](const InFlight& f) { return f.role == LineRole::Job; });
}

void JobRunner::logLine(const std::string& line) {
    if (log_)
        log_({line, {}, false, {}});
}

void JobRunner::sendLine(const std::string& line, LineRole role, std::optional<PathSegment> segment) {
    InFlight item;
    item.role = role;
    item.command = line;
    item.segment = std::move(segment);
    sendCommand(std::move(item));
}

std::vector<PathSegment> JobRunner::dropUnanswered() {
    std::vector<PathSegment> segments;
    for (InFlight& item : inFlight_)
        if (item.segment)
            segments.push_back(std::move(*item.segment));
    inFlight_.clear();
    return segments;
}

void JobRunner::goOn() {
    fault_ = {};
    refusal_ = {};
    setPhase(Phase::Running);
    schedulePump();
}

void JobRunner::endStopped() {
    halt_ = Halt::None;
    setPhase(Phase::Kept);
    emit ended(Outcome::Stopped);
}

void JobRunner::endFailed(const LinkFault& fault) {
    fault_ = fault;
    finish(Outcome::Failed);
}

} // namespace zelmar
