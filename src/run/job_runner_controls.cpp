// The operator's hand on a run, and the window's and the command-line tool's: a job started, kept from its
// journal or forgotten, the manual move run aside a kept job, "Пауза", "Стоп", "Продолжить", the answer about
// a command that went out unanswered, and the window closing. What follows, as the commands go out and come
// back, is job_runner.cpp's.

#include "job_runner.h"

namespace zelmar {

void JobRunner::start(std::unique_ptr<MoveSource> job, const Checked& scale, const Board& at) {
    pacing_->dropHeld();
    abort();
    beginRun();
    forgetAside();
    run_.source = std::move(job);
    run_.scale = scale;
    run_.at.x = at.x;
    run_.at.y = at.y;
    run_.at.depth = at.depth;
    run_.journalBase = journalBase_;
    useJournal(nullptr);
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
    if (isRunning() || (millingOn() && link_ && !pacing_->takesMoveAside()))
        return;
    if (canContinue())
        putAside();
    beginRun();
    run_.source = std::move(move);
    run_.scale = scale;
    run_.aside = true;
    useJournal(nullptr);
    runFromHere();
}

void JobRunner::keep(std::unique_ptr<MoveSource> job, const Checked& scale, const Resumption& at,
                     JournalWriter* journal) {
    abort();
    beginRun();
    forgetAside();
    run_.source = std::move(job);
    run_.scale = scale;
    run_.at.x = at.board.x;
    run_.at.y = at.board.y;
    run_.at.depth = at.board.depth;
    run_.at.down = at.toolDown;
    run_.at.liveDepth = at.depth;
    run_.owesPlunge = at.owesPlunge;
    run_.plungeDepth = at.plungeDepth;
    run_.open = at.open;
    run_.journalAsked = true;
    run_.journalBase = journalBase_;
    useJournal(journal);
    fault_ = {};
    refusal_ = {};
    setPhase(Phase::Kept);
}

void JobRunner::pause() {
    if (phase_ == Phase::Running && pacing_->pause())
        return;
    if (phase_ == Phase::Running && !run_.aside && halt_ == Halt::None) {
        halt_ = Halt::Pause;
        schedulePump();
    }
}

void JobRunner::stop() {
    if ((phase_ == Phase::Running || phase_ == Phase::Paused) && pacing_->stop())
        return;
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
    if (pacing_->resume())
        return;
    runFromHere();
}

void JobRunner::answer(bool carriedOut) {
    if (phase_ != Phase::Asking || !run_.open)
        return;
    const OpenMove open = *run_.open;
    run_.open.reset();
    if (!journalPolicy_.answered(carriedOut)) {
        finish(Outcome::JournalFailed);
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
    pacing_->dropHeld();
    beginRun();
    forgetAside();
    useJournal(nullptr);
    setPhase(Phase::Idle);
}

void JobRunner::abort() {
    dryTimer_.stop();
    pumpTimer_.stop();
    journalPolicy_.cancel();
    if (!inFlight_.empty() && link_)
        link_->abort();
    inFlight_.clear();
    halt_ = Halt::None;
    if (isRunning())
        phase_ = Phase::Idle; // quietly: the window may be half gone
}

} // namespace zelmar
