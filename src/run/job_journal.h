#pragma once
// The journal of a job on the machine, so that a crash or a power cut never makes the program cut a part of
// the work twice or skip it. It names the job (the picture file's fingerprint, the operations, the steps per
// pixel, the mill layer as the job began) and then records, move by move, that a move was sent (before its
// bytes go to the port) and that it was acknowledged. Each record reaches the disk before the program goes
// on. Every line carries its own check, so a journal cut at any byte reads up to its last whole record.
//
// Moves are counted over the plan moves of the operations, from 0; a command that carries a merged run of
// moves is recorded with its first move and their number. The lift of a pause or a stop and the plunge that
// follows it are recorded apart, as they are no moves of the plan.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zelmar {

struct JournalHeader {
    std::string imageHash; // fingerprint of the picture file
    std::string imageName; // for the operator only
    std::string stepsText;
    // How the moves went out: straight runs merged, the safe height of the travel.
    bool mergeSteps = false;
    std::int32_t safeHeight = 0;
    // A shaped tool (its word, as --tool takes it) and the millimetres a motor step moves, which make its size in
    // pixels; both empty for today's tool.
    std::string toolWord;
    std::string mmPerStep;
    std::string mergeTolerance; // pixels, as cnc.ini or the command line gave it; empty: none
    std::string stepDown;       // depth units a pass; empty: all at once
    std::string depthRule;      // "marks": depths read with the marks of earlier millings; empty: as loaded
    // What ran since the picture was loaded, before the operations (the window's history), as operation words
    // with what they reached.
    std::vector<std::string> prelude;
    std::vector<std::string> operations;
    std::string millHash; // the mill layer as the operations began

    bool operator==(const JournalHeader&) const = default;
};

// What the records say.
struct JournalState {
    enum class Pending { None, Move, Lift, Plunge };
    std::int64_t done = 0; // plan moves done: acknowledged, counted done by the operator, or drawn only
    // Sent, and its "OK" never recorded: a command of pendingMoves plan moves from pendingMove, or a lift or
    // plunge of pendingDepth.
    Pending pending = Pending::None;
    std::int64_t pendingMove = 0;
    std::int32_t pendingMoves = 1;
    std::int32_t pendingDepth = 0;
    // A pause or a stop lifted the tool by liftDepth and it has not gone back down.
    bool lifted = false;
    std::int32_t liftDepth = 0;
    bool ended = false; // the job ran to its end

    bool operator==(const JournalState&) const = default;
};

struct JournalReading {
    enum class Verdict {
        Readable,
        NotAJournal, // empty, or another kind of file
        Damaged,     // the header is cut or broken, or the records contradict each other
    };
    Verdict verdict = Verdict::NotAJournal;
    JournalHeader header;
    JournalState state;
    std::size_t wholeBytes = 0; // the journal up to its last whole record
    std::size_t records = 0;

    bool readable() const { return verdict == Verdict::Readable; }
};

JournalReading readJournal(std::string_view text);

// Appends records to a journal file; nothing is on the disk before commit().
class JournalWriter {
public:
    JournalWriter() = default;
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;
    ~JournalWriter();

    // A new journal at path, the header on the disk; false when it cannot be written.
    bool create(const std::string& path, const JournalHeader& header);
    // Goes on with a journal that was read: whatever follows its last whole record is cut off first.
    bool resume(const std::string& path, std::size_t wholeBytes);
    bool isOpen() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }

    // A command of `moves` plan moves from `move` (more than one: a merged straight run).
    void sent(std::int64_t move, std::int32_t moves = 1);
    void acknowledged(std::int64_t move, std::int32_t moves = 1);
    void doneDry(std::int64_t move);
    void liftSent(std::int32_t depth);
    void liftDone();
    void plungeSent(std::int32_t depth);
    void plungeDone();
    // The operator's word on a move that was sent but never acknowledged.
    void answered(bool carriedOut);
    // A move recorded as sent ahead of time (while the last one's pause ran) did not go after all.
    void unsent();
    void ended();

    // Writes what was recorded and waits until it is on the disk; false when that failed.
    bool commit();
    // The two halves of commit(): what was recorded handed to the system, then the file brought to the disk.
    // The second may run on another thread while this one records and writes more (it only reads the file's
    // number); it covers everything written before it began.
    bool write();
    int fileDescriptor() const { return fd_; }
    static bool syncFile(int fd);
    bool hasUncommitted() const { return !buffer_.empty(); }
    void close();

private:
    void record(const std::string& payload);

    std::FILE* file_ = nullptr;
    int fd_ = -1;
    std::string path_;
    std::string buffer_;
};

// One line of the journal: the payload, its check, the line end.
std::string journalLine(std::string_view payload);

} // namespace zelmar
