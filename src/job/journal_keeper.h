#pragma once
// The journal of a job on the machine: made at the job's first command, written as the job goes, removed when
// it is done; and, after a crash or a stop, read back: whether it may be taken up, and the replay of what it
// records, without sending, up to the job it keeps.

#include "image/image_session.h"
#include "link/machine_link.h"
#include "mill/mill_job.h"
#include "mill/operations.h"
#include "mill/tool_position.h"
#include "run/job_journal.h"
#include "run/job_runner.h"
#include "sending_settings.h"
#include "work_history.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelmar {

// What a journal left by a crash or a stop says, and whether it may be taken up.
struct JournalTakeUp {
    enum class Verdict {
        Taken,            // the job is kept at the point the journal reached
        NotAJournal,      // empty, or another kind of file
        Damaged,          // its header is cut or its records contradict each other
        OtherImage,       // another picture's journal
        OtherOperations,  // the operations differ from those given
        OtherSteps,       // the steps per pixel differ from those given
        OtherSending,     // the commands went out merged or at a safe height differently
        OtherState,       // written for another state of the picture (by the window, after other operations)
        DoesNotReplay,    // the operations, replayed, do not give what it records
        MoveUnsettled,    // a move went out unanswered, and no word on it was given
        Unwritable,       // it cannot be written on
    };
    Verdict verdict = Verdict::NotAJournal;
    JournalReading reading;
    std::size_t nextOperation = 0; // the operations before it are done (the kept job's included)
    bool jobKept = false;          // an operation's job is kept part done
    std::optional<JobRunner::OpenMove> openMove; // the move that went out unanswered, if any
};

// What the take-up must find, beside the picture: the command-line tool names its operations and steps.
struct JournalExpectation {
    std::optional<std::vector<std::string>> operations;
    std::optional<std::string> stepsText;
    // A move sent and never answered needs the operator's word before anything is sent.
    bool wordOnOpenMove = true;
};

class JournalKeeper {
public:
    // A journal taken up, and the job it keeps part done, if any.
    struct Kept {
        JournalTakeUp answer;
        std::unique_ptr<MillJob> job;
        JobRunner::Resumption at;
        // The work as it stood when the job began, to count the job's rest on; kept only when asked for.
        std::optional<ImageSession> workAtJob;
    };

    // The picture's work, the tool position, the milling's index and the history that a take-up replays.
    JournalKeeper(ImageSession& session, ToolPosition& tool, MillIndexCache& millIndex, WorkHistory& history)
        : session_(session), tool_(tool), millIndex_(millIndex), history_(history) {}

    // Where the journal is kept; empty: none is kept.
    void setPath(const QString& path) { path_ = path; }
    const QString& path() const { return path_; }
    // The picture file the journal is of.
    void setImagePath(const std::string& path) { imagePath_ = path; }

    // The command-line tool's run: one journal for all these operations, moves counted over them all.
    void journalOperations(std::vector<Operation> operations);
    bool journalsRun() const { return run_.has_value(); }
    // Moves of the run's operations before the current one.
    std::int64_t movesBefore() const { return movesBefore_; }
    void addMoves(std::int64_t moves) { movesBefore_ += moves; }
    // A job begins: a journal of its own records the mill layer as it is now.
    void jobBegins();

    // The journal of the job now under way, made when its first command goes (movesDone moves drawn before);
    // null when none is kept or it cannot be written.
    JournalWriter* open(const SendingSettings& sending, std::int64_t movesDone);
    JournalWriter* writer() const { return writer_.get(); }
    bool keeps() const { return writer_ && writer_->isOpen(); }
    void remove();

    // The journal a crash left for this picture, when there is one to continue; grbl's own report says where
    // its job stands.
    std::optional<JournalReading> toContinue(bool grbl);
    JournalReading readFile() const;
    // Replays what the journal says was done, without sending, with the settings it was written at. keepWork:
    // the work as it stood when the kept job began is handed back too.
    Kept takeUp(const JournalReading& reading, const JournalExpectation& expected, const SendingSettings& sending,
                const MachineLink& board, bool keepWork);

private:
    std::string imageFileHash();
    std::string millHash() const;

    ImageSession& session_;
    ToolPosition& tool_;
    MillIndexCache& millIndex_;
    WorkHistory& history_;
    QString path_;
    std::string imagePath_;
    std::string imageHash_; // of the picture file, read once
    std::optional<std::vector<Operation>> run_;
    std::int64_t movesBefore_ = 0;
    std::string millHashAtStart_;
    // The last hash of the mill layer and the contents it was taken of.
    mutable std::string millHash_;
    mutable std::uint64_t millHashOf_ = 0;
    std::unique_ptr<JournalWriter> writer_;
};

} // namespace zelmar
