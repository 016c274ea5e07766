#include "run_pacing.h"

#include "link/grbl_protocol.h"
#include "mill/gcode.h"

#include <algorithm>
#include <cstdlib>

namespace zelmar {

bool StreamPacing::streamed() const {
    const JobRunner::Stream& st = stream();
    return runner_.link_ && !runner_.run_.aside && (st.started || st.locating);
}

std::size_t StreamPacing::movesAnswered() const {
    return static_cast<std::size_t>(stream().path.movesNotDone());
}

std::int64_t StreamPacing::travelOfOne(bool depth) const {
    CommandMove unit;
    (depth ? unit.z : unit.x) = 1;
    MachinePosition travel;
    const Checked& scale = runner_.run_.scale;
    return scale.ok() && runner_.link_->travelOf(unit, scale.value, travel) ? std::abs(depth ? travel.z : travel.x) : 0;
}

std::int64_t StreamPacing::pixelTravel() const {
    return travelOfOne(false);
}

std::int64_t StreamPacing::depthTravel() const {
    return travelOfOne(true);
}

std::int64_t StreamPacing::positionTolerance() const {
    // A quarter of a pixel tells the segments of a pixel path apart; never finer than a few of the report's
    // thousandths of a millimetre.
    return std::max<std::int64_t>(pixelTravel() / 4, 5'000'000);
}

bool StreamPacing::sendLine(const std::string& text, JobRunner::Role role, std::optional<PathSegment> segment) {
    if (!runner_.link_->canSend(text.size()))
        return false;
    if (runner_.log_)
        runner_.log_({text, {}, false});
    JobRunner::InFlight item;
    item.role = role;
    item.command = text;
    if (segment)
        stream().path.sent(*segment);
    item.segment = std::move(segment);
    stream().wrote = true;
    runner_.sendCommand(std::move(item));
    return true;
}

bool StreamPacing::readyForPlan() {
    JobRunner::Stream& st = stream();
    MachineLink* link = runner_.link_;
    if (st.closing == JobRunner::Stream::Closing::Sending) {
        closeRun(); // the rest of the closing lines, as room allows
        return false;
    }
    if (st.stopping || st.locating || st.regionEnd || st.lifting || st.settling ||
        st.closing != JobRunner::Stream::Closing::No)
        return false;
    if (runner_.run_.aside || !runner_.millingOn())
        return true; // a jog, or a job drawn only
    if (!link->isOpen()) {
        // Nothing would ever answer: the run ends here, as on our board.
        drop();
        runner_.fault_ = {.kind = LinkFault::Kind::NotOpen, .fromGrbl = true};
        runner_.finish(JobRunner::Outcome::Failed);
        return false;
    }
    if (!st.positionKnown) {
        if (st.positionLostBy != 0) {
            // grbl's coordinates no longer say where the tool is against the stock: only a new start does.
            runner_.fault_ = {.kind = LinkFault::Kind::PositionLost, .code = std::max(st.positionLostBy, 0),
                              .fromGrbl = true};
            runner_.finish(JobRunner::Outcome::Failed);
            return false;
        }
        if (st.started && link->positionEpoch() != st.epoch) {
            // Restarted since: no position it could report says where the job stands.
            runner_.fault_ = {.kind = LinkFault::Kind::Restarted, .fromGrbl = true};
            runner_.finish(JobRunner::Outcome::Failed);
            return false;
        }
        st.locating = true;
        link->awaitIdle();
        return false;
    }
    if (!st.modesDone) {
        const std::vector<std::string> modes = link->modalLines();
        for (; st.modesSent < modes.size(); ++st.modesSent)
            if (!sendLine(modes[st.modesSent], JobRunner::Role::Modes, std::nullopt))
                return false;
        st.modesDone = true;
    }
    std::deque<PathSegment>& replay = st.path.replay();
    while (!replay.empty()) {
        const PathSegment next = replay.front();
        if (!sendLine(next.line, JobRunner::Role::Replay, next))
            return false;
        replay.pop_front();
    }
    return true;
}

void StreamPacing::regionOut() {
    // The next region is planned from the marks this one leaves, which must show no sooner than the machine
    // cuts them: once every line is answered, the machine is asked to report standing idle after them.
    JobRunner::Stream& st = stream();
    if (!streamed() || st.regionEnd || movesAnswered() == 0)
        return;
    for (const JobRunner::InFlight& item : runner_.inFlight_)
        if (item.role == JobRunner::Role::Job)
            return; // its answer pumps again
    st.regionEnd = true;
    runner_.link_->awaitIdle();
}

bool StreamPacing::closeRun() {
    JobRunner::Stream& st = stream();
    if (!(st.wrote || (runner_.run_.aside && runner_.run_.at.sent > 0)))
        return false;
    const std::vector<std::string> lines =
        runner_.run_.aside ? std::vector<std::string>() : runner_.link_->closingLines();
    if (!lines.empty()) {
        for (; st.closingSent < lines.size(); ++st.closingSent) {
            const std::string& line = lines[st.closingSent];
            if (!runner_.link_->canSend(line.size())) {
                st.closing = JobRunner::Stream::Closing::Sending;
                return true; // an answer frees room and pumps again
            }
            if (runner_.log_)
                runner_.log_({line, {}, false});
            JobRunner::InFlight item;
            // Only the program end's answer leads on to waiting for the machine to stand.
            item.role = st.closingSent + 1 == lines.size() ? JobRunner::Role::Ending : JobRunner::Role::Modes;
            item.command = line;
            runner_.sendCommand(std::move(item));
        }
        st.closing = JobRunner::Stream::Closing::EndSent;
        return true;
    }
    st.closing = JobRunner::Stream::Closing::AwaitingIdle;
    runner_.link_->awaitIdle();
    return true;
}

bool StreamPacing::placeCommand(JobRunner::InFlight& item, const CommandMove& command, bool& refused) {
    MachineLink* link = runner_.link_;
    if (!link->canSend(item.command.size()))
        return false; // it goes once the controller's buffer has room
    if (runner_.run_.aside)
        return true;
    MachinePosition travel;
    if (!link->travelOf(command, runner_.run_.scale.value, travel)) {
        refused = true;
        return false;
    }
    const MachinePosition& from = stream().path.lineEnd();
    PathSegment segment;
    segment.start = from;
    segment.end = {from.x + travel.x, from.y + travel.y, from.z + travel.z};
    segment.line = item.command;
    segment.rapid = isRapid(command.kind, command.z);
    segment.unacknowledgedMoves = static_cast<std::int32_t>(item.moves.size());
    stream().path.sent(segment);
    stream().wrote = true;
    item.segment = std::move(segment);
    return true;
}

bool StreamPacing::answered(JobRunner::InFlight& item) {
    if (item.segment)
        stream().path.answered(std::move(*item.segment)); // its moves are done once the machine is past it
    if (item.role == JobRunner::Role::Ending) {
        stream().closing = JobRunner::Stream::Closing::AwaitingIdle;
        runner_.link_->awaitIdle();
    }
    return item.role == JobRunner::Role::Job && !item.segment; // a jog is done when it is answered
}

bool StreamPacing::pause() {
    if (!streamed())
        return false;
    JobRunner::Stream& st = stream();
    if (!st.stopping) {
        // The feed hold: the machine stops on its path, its queue kept; nothing more is sent meanwhile.
        st.holding = true;
        runner_.link_->hold();
        runner_.setPhase(JobRunner::Phase::Paused);
    }
    return true;
}

bool StreamPacing::stop() {
    if (!streamed())
        return false;
    JobRunner::Stream& st = stream();
    if (!st.stopping) {
        // A hold, then, once the machine stands, the queue dropped: stoppedAt() ends the run.
        st.stopping = true;
        st.holding = false;
        st.locating = false;
        st.regionEnd = false;
        runner_.link_->stopAndDrop();
    }
    return true;
}

bool StreamPacing::resume() {
    JobRunner::Stream& st = stream();
    if (!st.holding)
        return false;
    st.holding = false;
    runner_.link_->release();
    // A wait for the machine to stand idle may have been answered by the hold: asked again.
    if (st.locating || st.regionEnd || st.closing == JobRunner::Stream::Closing::AwaitingIdle)
        runner_.link_->awaitIdle();
    runner_.fault_ = {};
    runner_.refusal_ = {};
    runner_.setPhase(JobRunner::Phase::Running);
    runner_.schedulePump();
    return true;
}

void StreamPacing::dropHeld() {
    // The held lines of a job let go must not run on with the next cycle start.
    if (stream().holding && runner_.link_)
        runner_.link_->stopAndDrop();
}

void StreamPacing::drop() {
    JobRunner::Stream& st = stream();
    std::vector<PathSegment> unanswered;
    for (JobRunner::InFlight& item : runner_.inFlight_)
        if (item.segment)
            unanswered.push_back(std::move(*item.segment));
    st.path.dropped(std::move(unanswered));
    runner_.inFlight_.clear();
    st.positionKnown = false;
    st.modesSent = 0;
    st.modesDone = false;
    st.closing = JobRunner::Stream::Closing::No;
    st.closingSent = 0;
    st.locating = false;
    st.stopping = false;
    st.holding = false;
    st.regionEnd = false;
    st.lifting = false;
    st.settling = false;
    st.liftAfterUnlock = false;
    st.liftWhenStopped = false;
}

bool StreamPacing::failed(const LinkFault& fault) {
    JobRunner::Stream& st = stream();
    const JobRunner::Phase phase = runner_.phase_;
    if (streamed()) {
        // Whatever the fault, the controller's queue is gone or in doubt: where it stands decides on continuing.
        if (phase != JobRunner::Phase::Running && phase != JobRunner::Phase::Paused) {
            st.lifting = st.settling = false; // a lift of a kept job was cut short: continuing finds where it is
            noteAlarm(fault);
            return true;
        }
        drop();
        noteAlarm(fault);
        // grbl holds and resets itself after a refused line; the tool comes out of the stock once it stands.
        st.liftWhenStopped = fault.kind == LinkFault::Kind::Rejected;
        runner_.fault_ = fault;
        runner_.finish(JobRunner::Outcome::Failed);
        return true;
    }
    if (runner_.inFlight_.empty() && phase == JobRunner::Phase::Running &&
        (st.locating || st.closing != JobRunner::Stream::Closing::No)) {
        st = JobRunner::Stream{};
        runner_.fault_ = fault;
        runner_.finish(JobRunner::Outcome::Failed);
        return true;
    }
    return false;
}

void StreamPacing::noteAlarm(const LinkFault& fault) {
    JobRunner::Stream& st = stream();
    if (fault.kind != LinkFault::Kind::Alarm || !st.started)
        return;
    // An alarm stopped the spindle with the tool wherever it was. Where grbl still knows the position, the tool
    // comes out once the operator has unlocked it; where it does not, nothing of this job may move it again.
    if (grblAlarmKeepsPosition(fault.code))
        st.liftAfterUnlock = st.positionLostBy == 0;
    else
        st.positionLostBy = fault.code > 0 ? fault.code : -1;
}

bool StreamPacing::liftFrom(const MachinePosition& at, bool endsStop) {
    JobRunner::Stream& st = stream();
    MachineLink* link = runner_.link_;
    const std::int64_t unit = depthTravel();
    if (!st.started || unit == 0 || !link->isOpen())
        return false;
    const std::int64_t up = st.surfaceZ + std::int64_t{runner_.safeHeight_} * unit - at.z;
    if (up <= 0)
        return false; // already at the safe height
    for (const std::string& line : link->liftLines(up))
        if (!sendLine(line, JobRunner::Role::Modes, std::nullopt))
            return false;
    st.lifting = true;
    st.liftEndsStop = endsStop;
    st.lift = up;
    link->awaitIdle();
    return true;
}

bool StreamPacing::locate(const MachinePosition& at) {
    JobRunner::Stream& st = stream();
    if (!st.started) {
        st.started = true;
        st.epoch = runner_.link_->positionEpoch();
        st.path.start(at);
        st.surfaceZ = at.z + runner_.run_.at.depth * depthTravel();
        return true;
    }
    StreamRecovery::Carried carried;
    MachineLink* link = runner_.link_;
    const bool on = st.path.locate(at, positionTolerance(),
                                   [link](const MachinePosition& delta, bool rapid) { return link->rawMove(delta, rapid); },
                                   carried);
    runner_.carriedOut(carried);
    return on;
}

void StreamPacing::offPath(const MachinePosition& at) {
    runner_.fault_ = {.kind = LinkFault::Kind::OffPath,
                      .fromGrbl = true,
                      .at = at,
                      .expected = stream().path.expected(),
                      .pixelTravel = pixelTravel()};
    runner_.finish(JobRunner::Outcome::Failed);
}

void StreamPacing::stoppedAt(const MachinePosition& at) {
    // Where it stands is asked again on continuing: the operator may move it meanwhile.
    JobRunner::Stream& st = stream();
    if (!st.stopping) {
        if (st.liftWhenStopped && runner_.phase_ == JobRunner::Phase::Kept) {
            st.liftWhenStopped = false;
            st.path.stoodAt(at);
            liftFrom(at, false);
        }
        return;
    }
    drop();
    st.path.stoodAt(at);
    // grbl drops its queue only with a reset, and a reset stops its spindle: the lift cannot come before it, as
    // a move queued in a hold runs only after what the hold kept. So the tool goes straight up at once, while a
    // spindle grbl drives runs down and one it does not drive (a router switched by hand) still turns. A
    // spindle started again in the cut would take the full load at once; it starts only up there, on continuing.
    if (liftFrom(at, true))
        return; // the stop ends once the machine stands above
    runner_.halt_ = JobRunner::Halt::None;
    runner_.setPhase(JobRunner::Phase::Kept);
    emit runner_.ended(JobRunner::Outcome::Stopped);
}

void StreamPacing::idleAt(const MachinePosition& at) {
    JobRunner::Stream& st = stream();
    if (st.lifting) {
        st.lifting = false;
        st.path.liftedBy(st.lift);
        if (st.liftEndsStop) {
            runner_.halt_ = JobRunner::Halt::None;
            runner_.setPhase(JobRunner::Phase::Kept);
            emit runner_.ended(JobRunner::Outcome::Stopped);
        } else if (runner_.phase_ == JobRunner::Phase::Running) {
            runner_.schedulePump();
        }
        return;
    }
    if (st.settling) {
        st.settling = false;
        st.path.stoodAt(at);
        if (!liftFrom(at, false) && runner_.phase_ == JobRunner::Phase::Running)
            runner_.schedulePump();
        return;
    }
    if (runner_.phase_ != JobRunner::Phase::Running)
        return;
    if (st.locating) {
        st.locating = false;
        if (st.started && runner_.link_->positionEpoch() != st.epoch) {
            runner_.fault_ = {.kind = LinkFault::Kind::Restarted, .fromGrbl = true};
            runner_.finish(JobRunner::Outcome::Failed);
            return;
        }
        if (!locate(at)) {
            offPath(at);
            return;
        }
        st.positionKnown = true;
        runner_.schedulePump();
        return;
    }
    if (st.regionEnd) {
        // Standing after the region's last line: all of it is carried out, and the next region may be planned.
        st.regionEnd = false;
        runner_.carriedOut(st.path.standsIdle());
        runner_.schedulePump();
        return;
    }
    if (st.closing == JobRunner::Stream::Closing::AwaitingIdle) {
        runner_.carriedOut(st.path.standsIdle());
        st = JobRunner::Stream{};
        runner_.finish(JobRunner::Outcome::Completed);
    }
}

void StreamPacing::unlocked() {
    JobRunner::Stream& st = stream();
    if (!st.liftAfterUnlock || runner_.run_.aside || !runner_.link_)
        return;
    st.liftAfterUnlock = false;
    st.settling = true;
    runner_.link_->awaitIdle(); // where it stands: the lift starts there
}

void StreamPacing::reportedAt(const MachinePosition& at) {
    // Lines behind the machine are carried out: their moves are done, the rest may still have to go again.
    const JobRunner::Stream& st = stream();
    if (st.stopping || st.locating)
        return;
    runner_.carriedOut(stream().path.reported(at, positionTolerance()));
}

} // namespace zelmar
