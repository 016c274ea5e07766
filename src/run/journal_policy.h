#pragma once
// When the journal of a job on the machine records what, and when it must be on the disk. A command's "sent"
// goes down right before its bytes are written, after the protocol's pause, and the bytes go only once it is on
// the disk: the journal never claims a command went out before it could have, and never misses one that did.
// Records reach the disk on a helper thread, so that the window stays live however slow the disk; an
// acknowledgement is brought there while the next command's pause runs.

#include "job_journal.h"

#include <QFutureWatcher>
#include <QObject>

#include <cstdint>
#include <functional>

namespace zelmar {

class JournalPolicy : public QObject {
    Q_OBJECT
public:
    explicit JournalPolicy(QObject* parent = nullptr);
    ~JournalPolicy() override;

    // The journal of the run (nullptr: none); what waited for the last one is dropped.
    void attach(JournalWriter* journal);
    JournalWriter* journal() const { return journal_; }

    // What goes to the machine next.
    struct Sent {
        enum class Kind { Plan, Lift, Plunge } kind = Kind::Plan;
        std::int64_t move = 0;   // Plan: the first plan move the command carries
        std::int32_t moves = 1;  // Plan: how many
        std::int32_t depth = 0;  // Lift, Plunge: by how much
    };
    // The one call right before a command is written: records it as sent and calls write() once the record is
    // on the disk; at once without a journal.
    void beforeWrite(const Sent& sent, std::function<void()> write);
    // A record is on its way to the disk and its command waits: nothing more may be written meanwhile.
    bool holdingWrite() const { return static_cast<bool>(write_); }

    // What happened to the commands, recorded and brought to the disk behind them.
    void acknowledged(std::int64_t move, std::int32_t moves);
    void liftOrPlungeDone(bool lift);
    // A command that never left (a refusal by the line before any byte): the journal must not show it open.
    void notWritten(Sent::Kind kind);
    // Recorded only; they reach the disk with the next record that does.
    void doneDry(std::int64_t move);
    // Recorded and on the disk before the call returns: the operator's word, the end of a job, a halt.
    bool answered(bool carriedOut);
    bool ended();
    // Everything recorded on the disk now; false when it could not be.
    bool settle();
    // The run is given up: a write still waiting never happens.
    void cancel();

signals:
    // A record could not reach the disk: the job must not go on.
    void failed();

private:
    // Hands what was recorded to the system and has the helper bring it to the disk.
    bool writeAndSync();
    void startSync();
    void onSynced();

    JournalWriter* journal_ = nullptr;
    QFutureWatcher<bool> sync_;
    // Records are counted as they are handed to the system; a sync covers all those handed over before it began.
    std::uint64_t written_ = 0;
    std::uint64_t syncing_ = 0; // what the running sync covers
    std::uint64_t synced_ = 0;
    std::function<void()> write_; // the command that waits for its record
    std::uint64_t writeNeeds_ = 0;
};

} // namespace zelmar
