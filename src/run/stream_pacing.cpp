#include "stream_pacing.h"

#include "link/grbl_protocol.h"
#include "mill/gcode.h"

#include <algorithm>
#include <cstdlib>

namespace zelmar {

bool StreamPacing::streamed() const {
    return !run_.runsAside() && (st_.started || st_.locating);
}

std::size_t StreamPacing::movesAnswered() const {
    return static_cast<std::size_t>(st_.path.movesNotDone());
}

std::int64_t StreamPacing::travelOfOne(bool depth) const {
    CommandMove unit;
    (depth ? unit.z : unit.x) = 1;
    MachinePosition travel;
    const Checked& scale = run_.scale();
    return scale.ok() && link_.travelOf(unit, scale.value, travel) ? std::abs(depth ? travel.z : travel.x) : 0;
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

bool StreamPacing::sendLine(const std::string& text, LineRole role, std::optional<PathSegment> segment) {
    if (!link_.canSend(text.size()))
        return false;
    run_.logLine(text);
    if (segment)
        st_.path.sent(*segment);
    st_.wrote = true;
    run_.sendLine(text, role, std::move(segment));
    return true;
}

bool StreamPacing::readyForPlan() {
    if (st_.closing == Closing::Sending) {
        closeRun(); // the rest of the closing lines, as room allows
        return false;
    }
    if (st_.stopping || st_.locating || st_.regionEnd || st_.lifting || st_.settling || st_.closing != Closing::No)
        return false;
    if (run_.runsAside() || !run_.milling())
        return true; // a jog, or a job drawn only
    if (!link_.isOpen()) {
        // Nothing would ever answer: the run ends here, as on our board.
        drop();
        run_.endFailed({.kind = LinkFault::Kind::NotOpen, .fromGrbl = true});
        return false;
    }
    if (!st_.positionKnown) {
        if (st_.positionLostBy != 0) {
            // grbl's coordinates no longer say where the tool is against the stock: only a new start does.
            run_.endFailed({.kind = LinkFault::Kind::PositionLost, .code = std::max(st_.positionLostBy, 0),
                            .fromGrbl = true});
            return false;
        }
        if (st_.started && link_.positionEpoch() != st_.epoch) {
            // Restarted since: no position it could report says where the job stands.
            run_.endFailed({.kind = LinkFault::Kind::Restarted, .fromGrbl = true});
            return false;
        }
        st_.locating = true;
        link_.awaitIdle();
        return false;
    }
    if (!st_.modesDone) {
        const std::vector<std::string> modes = link_.modalLines();
        for (; st_.modesSent < modes.size(); ++st_.modesSent)
            if (!sendLine(modes[st_.modesSent], LineRole::Modes, std::nullopt))
                return false;
        st_.modesDone = true;
    }
    std::deque<PathSegment>& replay = st_.path.replay();
    while (!replay.empty()) {
        const PathSegment next = replay.front();
        if (!sendLine(next.line, LineRole::Replay, next))
            return false;
        replay.pop_front();
    }
    return true;
}

void StreamPacing::regionOut() {
    // The next region is planned from the marks this one leaves, which must show no sooner than the machine
    // cuts them: once every line is answered, the machine is asked to report standing idle after them.
    if (!streamed() || st_.regionEnd || movesAnswered() == 0)
        return;
    if (run_.jobLinesUnanswered())
        return; // their answers pump again
    st_.regionEnd = true;
    link_.awaitIdle();
}

bool StreamPacing::closeRun() {
    if (!(st_.wrote || (run_.runsAside() && run_.movesAcknowledged() > 0)))
        return false;
    const std::vector<std::string> lines = run_.runsAside() ? std::vector<std::string>() : link_.closingLines();
    if (!lines.empty()) {
        for (; st_.closingSent < lines.size(); ++st_.closingSent) {
            const std::string& line = lines[st_.closingSent];
            if (!link_.canSend(line.size())) {
                st_.closing = Closing::Sending;
                return true; // an answer frees room and pumps again
            }
            run_.logLine(line);
            // Only the program end's answer leads on to waiting for the machine to stand.
            run_.sendLine(line, st_.closingSent + 1 == lines.size() ? LineRole::Ending : LineRole::Modes,
                          std::nullopt);
        }
        st_.closing = Closing::EndSent;
        return true;
    }
    st_.closing = Closing::AwaitingIdle;
    link_.awaitIdle();
    return true;
}

bool StreamPacing::placeCommand(std::string& line, const CommandMove& command, std::size_t moves,
                                std::optional<PathSegment>& segment, bool& refused) {
    if (st_.map && !run_.runsAside()) {
        // Pieces computed from another end (a drop, a lift since) are stale.
        if (!st_.pieces.empty() && !(st_.pieces.front().start == st_.path.lineEnd()))
            st_.pieces.clear();
        if (st_.pieces.empty() && !bend(command, moves)) {
            refused = true;
            return false;
        }
        while (st_.pieces.size() > 1) {
            if (!sendLine(st_.pieces.front().line, LineRole::Piece, st_.pieces.front()))
                return false;
            st_.pieces.pop_front();
        }
        if (!link_.canSend(st_.pieces.front().line.size()))
            return false;
        line = st_.pieces.front().line;
        st_.path.sent(st_.pieces.front());
        st_.wrote = true;
        segment = std::move(st_.pieces.front());
        st_.pieces.clear();
        return true;
    }
    if (!link_.canSend(line.size()))
        return false; // it goes once the controller's buffer has room
    if (run_.runsAside())
        return true;
    MachinePosition travel;
    if (!link_.travelOf(command, run_.scale().value, travel)) {
        refused = true;
        return false;
    }
    const MachinePosition& from = st_.path.lineEnd();
    PathSegment placed;
    placed.start = from;
    placed.end = {from.x + travel.x, from.y + travel.y, from.z + travel.z};
    placed.line = line;
    placed.rapid = isRapid(command.kind, command.z);
    placed.unacknowledgedMoves = static_cast<std::int32_t>(moves);
    st_.path.sent(placed);
    st_.wrote = true;
    segment = std::move(placed);
    return true;
}

bool StreamPacing::bend(const CommandMove& command, std::size_t moves) {
    MachinePosition travel;
    const std::int64_t step = link_.stepTravel();
    if (step <= 0 || !link_.travelOf(command, run_.scale().value, travel))
        return false;
    // The plan stands where the tool stands less the surface's rise there: the tool always ends a piece at the
    // plan's point raised by the rise there, rounded alike, so the plan's own position comes back exactly.
    const StepPoint tool = stepsAt(st_.path.lineEnd());
    const StepPoint from{tool.x, tool.y, tool.z - riseAt(tool)};
    const StepPoint to{from.x + travel.x / step, from.y + travel.y / step, from.z + travel.z / step};
    const double mmPerStep = static_cast<double>(step) / 1e9;
    StepPoint at = tool;
    MachinePosition end = st_.path.lineEnd();
    for (const StepPoint& piece : mappedMove(*st_.map, mmPerStep, from, to)) {
        const StepPoint delta{piece.x - at.x, piece.y - at.y, piece.z - at.z};
        PathSegment segment;
        segment.start = end;
        end = {end.x + delta.x * step, end.y + delta.y * step, end.z + delta.z * step};
        segment.end = end;
        segment.line = link_.pieceLine(command, run_.scale().value, delta);
        segment.rapid = isRapid(command.kind, command.z);
        st_.pieces.push_back(std::move(segment));
        at = piece;
    }
    if (st_.pieces.empty())
        return false;
    st_.pieces.back().unacknowledgedMoves = static_cast<std::int32_t>(moves);
    return true;
}

bool StreamPacing::placeMap(const MachinePosition& at) {
    st_.map.reset();
    const HeightMap* map = run_.heightMap();
    if (!map)
        return true;
    const std::optional<MachinePosition> zero = link_.workZero();
    if (!zero || link_.stepTravel() <= 0)
        return false;
    st_.origin = at;
    HeightMap moved = *map;
    const double startX = static_cast<double>(at.x - zero->x) / 1e9;
    const double startY = static_cast<double>(at.y - zero->y) / 1e9;
    const double rise = map->heightAt(startX, startY);
    moved.originX -= startX;
    moved.originY -= startY;
    for (double& z : moved.z)
        z -= rise;
    st_.map = std::move(moved);
    return true;
}

StepPoint StreamPacing::stepsAt(const MachinePosition& at) const {
    const std::int64_t step = link_.stepTravel();
    const auto steps = [step](std::int64_t d) {
        const std::int64_t half = step / 2;
        return d >= 0 ? (d + half) / step : -((-d + half) / step);
    };
    return {steps(at.x - st_.origin.x), steps(at.y - st_.origin.y), steps(at.z - st_.origin.z)};
}

std::int64_t StreamPacing::riseAt(const StepPoint& at) const {
    if (!st_.map)
        return 0;
    const StepPoint flat{at.x, at.y, 0};
    return mappedPoint(*st_.map, static_cast<double>(link_.stepTravel()) / 1e9, flat).z;
}

bool StreamPacing::answered(LineRole role, std::optional<PathSegment> segment) {
    const bool onPath = segment.has_value();
    if (segment)
        st_.path.answered(std::move(*segment)); // its moves are done once the machine is past it
    if (role == LineRole::Ending) {
        st_.closing = Closing::AwaitingIdle;
        link_.awaitIdle();
    }
    return role == LineRole::Job && !onPath; // a jog is done when it is answered
}

bool StreamPacing::pause() {
    if (!streamed())
        return false;
    if (!st_.stopping) {
        // The feed hold: the machine stops on its path, its queue kept; nothing more is sent meanwhile.
        st_.holding = true;
        link_.hold();
        run_.enterPause();
    }
    return true;
}

bool StreamPacing::stop() {
    if (!streamed())
        return false;
    if (!st_.stopping) {
        // A hold, then, once the machine stands, the queue dropped: stoppedAt() ends the run.
        st_.stopping = true;
        st_.holding = false;
        st_.locating = false;
        st_.regionEnd = false;
        link_.stopAndDrop();
    }
    return true;
}

bool StreamPacing::resume() {
    if (!st_.holding)
        return false;
    st_.holding = false;
    link_.release();
    // A wait for the machine to stand idle may have been answered by the hold: asked again.
    if (st_.locating || st_.regionEnd || st_.closing == Closing::AwaitingIdle)
        link_.awaitIdle();
    run_.goOn();
    return true;
}

void StreamPacing::dropHeld() {
    // The held lines of a job let go must not run on with the next cycle start.
    if (st_.holding)
        link_.stopAndDrop();
}

void StreamPacing::takeBack() {
    st_ = aside_ ? std::move(*aside_) : State{};
    aside_.reset();
}

void StreamPacing::drop() {
    st_.path.dropped(run_.dropUnanswered());
    st_.pieces.clear();
    st_.positionKnown = false;
    st_.modesSent = 0;
    st_.modesDone = false;
    st_.closing = Closing::No;
    st_.closingSent = 0;
    st_.locating = false;
    st_.stopping = false;
    st_.holding = false;
    st_.regionEnd = false;
    st_.lifting = false;
    st_.settling = false;
    st_.liftAfterUnlock = false;
    st_.liftWhenStopped = false;
}

bool StreamPacing::failed(const LinkFault& fault) {
    const RunPhase phase = run_.runPhase();
    if (streamed()) {
        // Whatever the fault, the controller's queue is gone or in doubt: where it stands decides on continuing.
        if (phase != RunPhase::Running && phase != RunPhase::Paused) {
            st_.lifting = st_.settling = false; // a lift of a kept job was cut short: continuing finds where it is
            noteAlarm(fault);
            return true;
        }
        drop();
        noteAlarm(fault);
        // grbl holds and resets itself after a refused line; the tool comes out of the stock once it stands.
        st_.liftWhenStopped = fault.kind == LinkFault::Kind::Rejected;
        run_.endFailed(fault);
        return true;
    }
    if (!run_.linesUnanswered() && phase == RunPhase::Running &&
        (st_.locating || st_.closing != Closing::No)) {
        st_ = State{};
        run_.endFailed(fault);
        return true;
    }
    return false;
}

void StreamPacing::noteAlarm(const LinkFault& fault) {
    if (fault.kind != LinkFault::Kind::Alarm || !st_.started)
        return;
    // An alarm stopped the spindle with the tool wherever it was. Where grbl still knows the position, the tool
    // comes out once the operator has unlocked it; where it does not, nothing of this job may move it again.
    if (grblAlarmKeepsPosition(fault.code))
        st_.liftAfterUnlock = st_.positionLostBy == 0;
    else
        st_.positionLostBy = fault.code > 0 ? fault.code : -1;
}

bool StreamPacing::liftFrom(const MachinePosition& at, bool endsStop) {
    const std::int64_t unit = depthTravel();
    if (!st_.started || unit == 0 || !link_.isOpen())
        return false;
    const std::int64_t up =
        st_.surfaceZ + riseAt(stepsAt(at)) * link_.stepTravel() + std::int64_t{run_.safeHeight()} * unit - at.z;
    if (up <= 0)
        return false; // already at the safe height
    for (const std::string& line : link_.liftLines(up))
        if (!sendLine(line, LineRole::Modes, std::nullopt))
            return false;
    st_.lifting = true;
    st_.liftEndsStop = endsStop;
    st_.lift = up;
    link_.awaitIdle();
    return true;
}

bool StreamPacing::locate(const MachinePosition& at) {
    if (!st_.started) {
        st_.started = true;
        st_.epoch = link_.positionEpoch();
        st_.path.start(at);
        st_.surfaceZ = at.z + run_.boardDepth() * depthTravel();
        return true;
    }
    StreamRecovery::Carried carried;
    const auto rawMove = [this](const MachinePosition& delta, bool rapid) { return link_.rawMove(delta, rapid); };
    const bool on = st_.path.locate(at, positionTolerance(), rawMove, carried);
    run_.carriedOut(carried);
    return on;
}

void StreamPacing::offPath(const MachinePosition& at) {
    run_.endFailed({.kind = LinkFault::Kind::OffPath,
                    .fromGrbl = true,
                    .at = at,
                    .expected = st_.path.expected(),
                    .pixelTravel = pixelTravel()});
}

void StreamPacing::stoppedAt(const MachinePosition& at) {
    // Where it stands is asked again on continuing: the operator may move it meanwhile.
    if (!st_.stopping) {
        if (st_.liftWhenStopped && run_.runPhase() == RunPhase::Kept) {
            st_.liftWhenStopped = false;
            st_.path.stoodAt(at);
            liftFrom(at, false);
        }
        return;
    }
    drop();
    st_.path.stoodAt(at);
    // grbl drops its queue only with a reset, and a reset stops its spindle: the lift cannot come before it, as
    // a move queued in a hold runs only after what the hold kept. So the tool goes straight up at once, while a
    // spindle grbl drives runs down and one it does not drive (a router switched by hand) still turns. A
    // spindle started again in the cut would take the full load at once; it starts only up there, on continuing.
    if (liftFrom(at, true))
        return; // the stop ends once the machine stands above
    run_.endStopped();
}

void StreamPacing::idleAt(const MachinePosition& at) {
    if (st_.lifting) {
        st_.lifting = false;
        st_.path.liftedBy(st_.lift);
        if (st_.liftEndsStop) {
            run_.endStopped();
        } else if (run_.runPhase() == RunPhase::Running) {
            run_.schedulePump();
        }
        return;
    }
    if (st_.settling) {
        st_.settling = false;
        st_.path.stoodAt(at);
        if (!liftFrom(at, false) && run_.runPhase() == RunPhase::Running)
            run_.schedulePump();
        return;
    }
    if (run_.runPhase() != RunPhase::Running)
        return;
    if (st_.locating) {
        st_.locating = false;
        if (st_.started && link_.positionEpoch() != st_.epoch) {
            run_.endFailed({.kind = LinkFault::Kind::Restarted, .fromGrbl = true});
            return;
        }
        if (!st_.started && !placeMap(at)) {
            run_.endFailed({.kind = LinkFault::Kind::NoWorkZero, .fromGrbl = true});
            return;
        }
        if (!locate(at)) {
            offPath(at);
            return;
        }
        st_.positionKnown = true;
        run_.schedulePump();
        return;
    }
    if (st_.regionEnd) {
        // Standing after the region's last line: all of it is carried out, and the next region may be planned.
        st_.regionEnd = false;
        run_.carriedOut(st_.path.standsIdle());
        run_.schedulePump();
        return;
    }
    if (st_.closing == Closing::AwaitingIdle) {
        run_.carriedOut(st_.path.standsIdle());
        st_ = State{};
        run_.endCompleted();
    }
}

void StreamPacing::unlocked() {
    if (!st_.liftAfterUnlock || run_.runsAside())
        return;
    st_.liftAfterUnlock = false;
    st_.settling = true;
    link_.awaitIdle(); // where it stands: the lift starts there
}

void StreamPacing::reportedAt(const MachinePosition& at) {
    // Lines behind the machine are carried out: their moves are done, the rest may still have to go again.
    if (st_.stopping || st_.locating)
        return;
    run_.carriedOut(st_.path.reported(at, positionTolerance()));
}

} // namespace zelmar
