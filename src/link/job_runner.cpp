#include "job_runner.h"

#include "mill/gcode.h"

#include <QElapsedTimer>

#include <algorithm>

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
    disconnect(stoppedConnection_);
    disconnect(idleConnection_);
    disconnect(reportConnection_);
    link_ = link;
    if (link_) {
        acknowledgedConnection_ = connect(link_, &MachineLink::acknowledged, this, &JobRunner::onLinkAcknowledged);
        doneConnection_ = connect(link_, &MachineLink::moveDone, this, &JobRunner::onLinkDone);
        failConnection_ = connect(link_, &MachineLink::failed, this, &JobRunner::onLinkFailed);
        stoppedConnection_ = connect(link_, &MachineLink::stoppedAt, this, &JobRunner::onLinkStopped);
        idleConnection_ = connect(link_, &MachineLink::idleAt, this, &JobRunner::onLinkIdle);
        reportConnection_ = connect(link_, &MachineLink::reportedAt, this, &JobRunner::onLinkReported);
    }
}

void JobRunner::setPhase(Phase phase) {
    if (phase_ == phase)
        return;
    phase_ = phase;
    emit phaseChanged();
}

void JobRunner::start(std::unique_ptr<MoveSource> job, const Checked& scale, const Board& at) {
    if (run_.stream.holding && link_)
        link_->stopAndDrop(); // the held lines of the job dropped must not run on with the next cycle start
    abort();
    run_ = Run{};
    keptAside_.reset();
    run_.source = std::move(job);
    run_.scale = scale;
    run_.board = at;
    run_.journalBase = journalBase_;
    runFromHere();
}

void JobRunner::runFromHere() {
    fault_ = {};
    refusal_ = {};
    if (link_ && millingOn())
        link_->prepareForJob();
    setPhase(Phase::Running);
    schedulePump();
}

void JobRunner::runAside(std::unique_ptr<MoveSource> move, const Checked& scale) {
    if (isRunning() || (millingOn() && link_ && !link_->takesMoveAside()))
        return;
    if (canContinue()) {
        keptAside_ = std::move(run_);
        keptPhase_ = phase_;
    }
    run_ = Run{};
    run_.source = std::move(move);
    run_.scale = scale;
    run_.aside = true;
    runFromHere();
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
    if (phase_ == Phase::Running && streamedRun()) {
        if (run_.stream.stopping)
            return;
        // The feed hold: the machine stops on its path, its queue kept; nothing more is sent meanwhile.
        run_.stream.holding = true;
        link_->hold();
        setPhase(Phase::Paused);
        return;
    }
    if (phase_ == Phase::Running && !run_.aside && halt_ == Halt::None) {
        halt_ = Halt::Pause;
        schedulePump();
    }
}

void JobRunner::stop() {
    if ((phase_ == Phase::Running || phase_ == Phase::Paused) && streamedRun()) {
        if (run_.stream.stopping)
            return;
        // A hold, then, once the machine stands, the queue dropped: stoppedAt() ends the run.
        run_.stream.stopping = true;
        run_.stream.holding = false;
        run_.stream.locating = false;
        link_->stopAndDrop();
        return;
    }
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
    if (run_.stream.holding) {
        run_.stream.holding = false;
        link_->release();
        // A wait for the machine to stand idle may have been answered by the hold: asked again.
        if (run_.stream.locating || run_.stream.closing == Stream::Closing::AwaitingIdle)
            link_->awaitIdle();
        fault_ = {};
        refusal_ = {};
        setPhase(Phase::Running);
        schedulePump();
        return;
    }
    runFromHere();
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
    if (run_.stream.holding && link_)
        link_->stopAndDrop();
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
        if (f.kind == OpenMove::Kind::Plan && f.role == Role::Job && !f.doneEarly)
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
        if (streaming() && !streamReady())
            break;
        const std::size_t inFlight = movesInFlight();
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
        if (inFlight == 0) {
            if (!run_.source->next()) { // reaches the next stage of the job when the plan is used up
                if (streaming() && (run_.stream.wrote || (run_.aside && run_.sent > 0))) {
                    closeStream();
                    break;
                }
                finish(Outcome::Completed);
                break;
            }
        } else if (inFlight >= run_.source->plannedAhead().size()) {
            // The rest of the plan is out; the next region is planned once it is done. A streaming controller
            // would run its buffer dry meanwhile: there the region is done in the plan as it goes out.
            if (streaming() && !run_.aside && completeInFlightEarly())
                continue;
            break;
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

void JobRunner::countLiveMove(const PlannedMove& move, const PixelRect& marked) {
    run_.board.x += move.x;
    run_.board.y += move.y;
    run_.board.depth -= move.z;
    run_.liveDepth -= move.z;
    ++run_.sent;
    if (move.kind == MoveKind::Plunge)
        run_.down = true;
    else if (move.kind == MoveKind::Lift || move.kind == MoveKind::Approach)
        run_.down = false;
    emit moveDone(marked);
}

bool JobRunner::completeInFlightEarly() {
    bool any = false;
    for (InFlight& item : inFlight_) {
        if (item.role != Role::Job || item.kind != OpenMove::Kind::Plan || item.doneEarly)
            continue;
        for (std::size_t i = 0; i < item.moves.size(); ++i) {
            run_.source->next();
            item.marks.push_back(run_.source->complete());
        }
        item.doneEarly = true;
        if (item.segment)
            item.segment->unacknowledgedMoves = 0; // done in the plan: after a drop it goes again as it is
        any = true;
    }
    return any;
}

void JobRunner::acknowledgeEarly(const InFlight& item) {
    for (std::size_t i = 0; i < item.moves.size(); ++i)
        countLiveMove(item.moves[i], item.marks[i]);
    ++run_.commandsSent;
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
    if (!run_.journalAsked && !run_.aside && !streaming()) {
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
    std::optional<PathSegment> segment;
    if (streaming()) {
        if (!link_->canSend(text.text.size()))
            return false; // it goes once the controller's buffer has room
        if (!run_.aside) {
            segment = segmentOf(command, text.text);
            if (!segment) {
                refusal_ = {NumberRefusal::Kind::CountTooLarge, {}, {}, run_.scale.value};
                finish(Outcome::Refused);
                return false;
            }
            segment->unacknowledgedMoves = static_cast<std::int32_t>(moves.size());
            run_.stream.lineEnd = segment->end;
            run_.stream.wrote = true;
        }
    }
    run_.dryCommandLeft = 0;
    InFlight item{OpenMove::Kind::Plan, std::vector<PlannedMove>(moves.begin(), moves.end()),
                  run_.journalBase + run_.source->movesDone() + static_cast<std::int64_t>(offset), text.text};
    item.segment = std::move(segment);
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
    InFlight item = std::move(inFlight_.front());
    inFlight_.pop_front();
    if (item.segment) {
        item.segment->unacknowledgedMoves = 0;
        run_.stream.acknowledged.push_back(std::move(*item.segment));
    }
    if (item.role != Role::Job) {
        if (item.role == Role::Ending) {
            run_.stream.closing = Stream::Closing::AwaitingIdle;
            link_->awaitIdle();
        }
        pump();
        return;
    }
    if (item.doneEarly) {
        acknowledgeEarly(item);
        pump();
        return;
    }
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
    if (streamedRun()) {
        // Whatever the fault, the controller's queue is gone or in doubt: where it stands decides on continuing.
        if (phase_ != Phase::Running && phase_ != Phase::Paused)
            return;
        dropStream();
        fault_ = fault;
        finish(Outcome::Failed);
        return;
    }
    if (streaming() && inFlight_.empty() && phase_ == Phase::Running &&
        (run_.stream.locating || run_.stream.closing != Stream::Closing::No)) {
        run_.stream = Stream{};
        fault_ = fault;
        finish(Outcome::Failed);
        return;
    }
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
    if (fault.commandWentOut && !run_.aside && !streaming())
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

std::int64_t JobRunner::pixelTravel() const {
    CommandMove pixel;
    pixel.x = 1;
    MachinePosition travel;
    return run_.scale.ok() && link_->travelOf(pixel, run_.scale.value, travel) ? std::abs(travel.x) : 0;
}

std::int64_t JobRunner::positionTolerance() const {
    // A quarter of a pixel tells the segments of a pixel path apart; never finer than a few of the report's
    // thousandths of a millimetre.
    return std::max<std::int64_t>(pixelTravel() / 4, 5'000'000);
}

std::optional<PathSegment> JobRunner::segmentOf(const CommandMove& command, const std::string& text) {
    MachinePosition travel;
    if (!link_->travelOf(command, run_.scale.value, travel))
        return std::nullopt;
    const MachinePosition& from = run_.stream.lineEnd;
    PathSegment segment;
    segment.start = from;
    segment.end = {from.x + travel.x, from.y + travel.y, from.z + travel.z};
    segment.line = text;
    segment.rapid = isRapid(command.kind, command.z);
    return segment;
}

bool JobRunner::sendStreamLine(const std::string& text, Role role, std::optional<PathSegment> segment) {
    if (!link_->canSend(text.size()))
        return false;
    if (log_)
        log_({text, {}, false});
    InFlight item;
    item.role = role;
    item.command = text;
    if (segment)
        run_.stream.lineEnd = segment->end;
    item.segment = std::move(segment);
    run_.stream.wrote = true;
    sendCommand(std::move(item));
    return true;
}

bool JobRunner::streamReady() {
    Stream& st = run_.stream;
    if (st.stopping || st.locating || st.closing != Stream::Closing::No)
        return false;
    if (run_.aside || !millingOn())
        return true; // a jog, or a job drawn only
    if (!link_->isOpen()) {
        // Nothing would ever answer: the run ends here, as on our board.
        dropStream();
        fault_ = {.kind = LinkFault::Kind::NotOpen, .fromGrbl = true};
        finish(Outcome::Failed);
        return false;
    }
    if (!st.positionKnown) {
        if (st.started && link_->positionEpoch() != st.epoch) {
            // Restarted since: no position it could report says where the job stands.
            fault_ = {.kind = LinkFault::Kind::Restarted, .fromGrbl = true};
            finish(Outcome::Failed);
            return false;
        }
        st.locating = true;
        link_->awaitIdle();
        return false;
    }
    if (!st.modesDone) {
        const std::vector<std::string> modes = link_->modalLines();
        for (; st.modesSent < modes.size(); ++st.modesSent)
            if (!sendStreamLine(modes[st.modesSent], Role::Modes, std::nullopt))
                return false;
        st.modesDone = true;
    }
    while (!st.replay.empty()) {
        if (!sendStreamLine(st.replay.front().line, Role::Replay, st.replay.front()))
            return false;
        st.replay.pop_front();
    }
    return true;
}

void JobRunner::closeStream() {
    Stream& st = run_.stream;
    const std::string end = run_.aside ? std::string() : link_->closingLine();
    if (!end.empty()) {
        if (!link_->canSend(end.size()))
            return; // an answer frees room and pumps again
        st.closing = Stream::Closing::EndSent;
        if (log_)
            log_({end, {}, false});
        InFlight item;
        item.role = Role::Ending;
        item.command = end;
        sendCommand(std::move(item));
        return;
    }
    st.closing = Stream::Closing::AwaitingIdle;
    link_->awaitIdle();
}

void JobRunner::dropStream() {
    Stream& st = run_.stream;
    // In the order sent: answered lines, then unanswered ones (lines of the job again before new ones), then
    // those not sent yet.
    std::deque<PathSegment> path = std::move(st.acknowledged);
    for (InFlight& item : inFlight_) {
        if (item.doneEarly)
            acknowledgeEarly(item); // done in the plan; the machine is taken through it again if need be
        if (item.segment)
            path.push_back(std::move(*item.segment));
    }
    for (PathSegment& segment : st.replay)
        path.push_back(std::move(segment));
    st.replay = std::move(path);
    st.acknowledged.clear();
    inFlight_.clear();
    st.positionKnown = false;
    st.modesSent = 0;
    st.modesDone = false;
    st.closing = Stream::Closing::No;
    st.locating = false;
    st.stopping = false;
    st.holding = false;
}

PathSegment JobRunner::catchUp(const MachinePosition& from, const MachinePosition& to, bool rapid) const {
    return {from, to, link_->rawMove({to.x - from.x, to.y - from.y, to.z - from.z}, rapid), rapid, 0};
}

bool JobRunner::locate(const MachinePosition& at) {
    Stream& st = run_.stream;
    if (!st.started) {
        st.started = true;
        st.epoch = link_->positionEpoch();
        st.lineEnd = st.confirmed = at;
        return true;
    }
    // Within the report's last digit the machine is where a line took it.
    constexpr std::int64_t reportDigit = 1'000'000;
    const std::int64_t tolerance = positionTolerance();
    const std::optional<std::size_t> k = segmentHolding(st.replay, at, tolerance);
    std::deque<PathSegment> path = std::move(st.replay);
    st.replay.clear();
    if (!k) {
        if (path.empty() && samePlace(at, st.confirmed, tolerance)) {
            if (!samePlace(at, st.confirmed, reportDigit))
                st.replay.push_back(catchUp(at, st.confirmed, false));
            st.lineEnd = st.confirmed;
            return true;
        }
        st.replay = std::move(path);
        return false;
    }
    // The lines before the one it stood on were carried out, that one up to where it stands. Commands of the
    // plan among them that were never answered count as done now; the rest of the plan goes from the plan.
    for (std::size_t i = 0; i <= *k; ++i)
        for (std::int32_t m = 0; m < path[i].unacknowledgedMoves; ++m)
            if (const PlannedMove* move = run_.source->next()) {
                completePlanMove(*move, true);
                if (m + 1 == path[i].unacknowledgedMoves) {
                    ++run_.commandsSent;
                    emit commandDone();
                }
            }
    const PathSegment& held = path[*k];
    st.confirmed = held.start;
    if (!samePlace(at, held.end, reportDigit))
        st.replay.push_back(catchUp(at, held.end, held.rapid));
    st.lineEnd = held.end;
    for (std::size_t i = *k + 1; i < path.size() && path[i].unacknowledgedMoves == 0; ++i) {
        st.replay.push_back(std::move(path[i]));
        st.lineEnd = st.replay.back().end;
    }
    return true;
}

void JobRunner::onLinkStopped(const MachinePosition& at) {
    (void)at; // where it stands is asked again on continuing: the operator may move it meanwhile
    if (!run_.stream.stopping)
        return;
    dropStream();
    halt_ = Halt::None;
    setPhase(Phase::Kept);
    emit ended(Outcome::Stopped);
}

void JobRunner::onLinkIdle(const MachinePosition& at) {
    Stream& st = run_.stream;
    if (phase_ != Phase::Running)
        return;
    if (st.locating) {
        st.locating = false;
        if (st.started && link_->positionEpoch() != st.epoch) {
            fault_ = {.kind = LinkFault::Kind::Restarted, .fromGrbl = true};
            finish(Outcome::Failed);
            return;
        }
        if (!locate(at)) {
            fault_ = {.kind = LinkFault::Kind::OffPath,
                      .fromGrbl = true,
                      .at = at,
                      .expected = st.replay.empty() ? st.confirmed : st.replay.front().start,
                      .pixelTravel = pixelTravel()};
            finish(Outcome::Failed);
            return;
        }
        st.positionKnown = true;
        schedulePump();
        return;
    }
    if (st.closing == Stream::Closing::AwaitingIdle) {
        run_.stream = Stream{};
        finish(Outcome::Completed);
    }
}

void JobRunner::onLinkReported(const MachinePosition& at) {
    // Lines behind the machine are carried out: only those after it may have to go again.
    Stream& st = run_.stream;
    if (st.stopping || st.locating || st.acknowledged.empty() || st.replay.size() > 0)
        return;
    const std::optional<std::size_t> k = segmentHolding(st.acknowledged, at, positionTolerance());
    if (!k || *k == 0)
        return;
    st.confirmed = st.acknowledged[*k - 1].end;
    st.acknowledged.erase(st.acknowledged.begin(), st.acknowledged.begin() + static_cast<std::ptrdiff_t>(*k));
}

} // namespace zelmar
