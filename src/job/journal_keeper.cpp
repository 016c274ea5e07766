#include "journal_keeper.h"

#include "run/content_hash.h"
#include "run/job_resumption.h"

#include <QFile>

#include <fstream>
#include <iterator>

namespace zelmar {

void JournalKeeper::journalOperations(std::vector<Operation> operations) {
    run_ = std::move(operations);
    movesBefore_ = 0;
    millHashAtStart_ = millHash();
}

void JournalKeeper::jobBegins() {
    if (!run_ && !path_.isEmpty()) // without a path no journal is made, and the hash goes nowhere
        millHashAtStart_ = millHash();
}

std::string JournalKeeper::imageFileHash() {
    if (imageHash_.empty()) {
        std::ifstream file(imagePath_, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        imageHash_ = ContentHash::hexOf(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    return imageHash_;
}

std::string JournalKeeper::millHash() const {
    const ImageLayer& layer = session_.layers.millLayer;
    if (millHash_.empty() || millHashOf_ != layer.contentVersion()) {
        const LayerBytes mill = layer.bits();
        millHash_ = ContentHash::hexOf(mill.data(), mill.size());
        millHashOf_ = layer.contentVersion();
    }
    return millHash_;
}

JournalWriter* JournalKeeper::open(const SendingSettings& sending, std::int64_t movesDone) {
    if (path_.isEmpty())
        return nullptr; // no journal kept
    if (run_ && keeps())
        return writer_.get(); // one journal for the whole run of operations
    JournalHeader header;
    header.imageHash = imageFileHash();
    header.imageName = imagePath_;
    sending.record(header);
    if (run_) {
        for (const Operation& op : *run_)
            header.operations.push_back(wordOf(op));
    } else {
        header.prelude = history_.wordsBeforeJob();
        header.operations = history_.jobWords();
    }
    header.millHash = millHashAtStart_;
    auto journal = std::make_unique<JournalWriter>();
    if (!journal->create(path_.toStdString(), header))
        return nullptr;
    // The moves drawn before the switch was turned on are done, as the journal counts them.
    for (std::int64_t i = 0; i < movesDone; ++i)
        journal->doneDry(movesBefore_ + i);
    writer_ = std::move(journal);
    return writer_.get();
}

void JournalKeeper::remove() {
    writer_.reset();
    if (!path_.isEmpty())
        QFile::remove(path_);
}

std::optional<JournalReading> JournalKeeper::toContinue(bool grbl) {
    if (path_.isEmpty() || grbl)
        return std::nullopt; // a journal is our board's: grbl's own report says where a job stands
    QFile file(path_);
    if (!session_.hasImage() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    JournalReading reading = readJournal(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (!reading.readable() || reading.state.ended || reading.header.imageHash != imageFileHash())
        return std::nullopt; // another picture's job, or nothing to continue: left for that picture
    return reading;
}

JournalReading JournalKeeper::readFile() const {
    std::ifstream file(path_.toStdString(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return readJournal(text);
}

JournalKeeper::Kept JournalKeeper::takeUp(const JournalReading& reading, const JournalExpectation& expected,
                                          const SendingSettings& sending, const MachineLink& board, bool keepWork) {
    using Verdict = JournalTakeUp::Verdict;
    Kept kept;
    JournalTakeUp& result = kept.answer;
    result.reading = reading;
    const auto refuse = [&kept](Verdict verdict) {
        kept.answer.verdict = verdict;
        kept.workAtJob.reset();
        return std::move(kept);
    };
    if (!reading.readable())
        return refuse(reading.verdict == JournalReading::Verdict::Damaged ? Verdict::Damaged : Verdict::NotAJournal);
    const JournalHeader& h = reading.header;
    if (h.imageHash != imageFileHash())
        return refuse(Verdict::OtherImage);
    if (expected.operations && h.operations != *expected.operations)
        return refuse(Verdict::OtherOperations);
    if (expected.stepsText && h.stepsText != *expected.stepsText)
        return refuse(Verdict::OtherSteps);
    // The commands must go out as they went: the same merging and the same travel.
    if (!sending.sendsAs(h))
        return refuse(Verdict::OtherSending);
    if (expected.operations && (!h.prelude.empty() || h.millHash != millHash()))
        return refuse(Verdict::OtherState);
    std::vector<Operation> prelude;
    std::vector<Operation> operations;
    for (const std::string& word : h.prelude) {
        const std::optional<Operation> op = operationOf(word);
        if (!op)
            return refuse(Verdict::DoesNotReplay);
        prelude.push_back(*op);
    }
    for (const std::string& word : h.operations) {
        const std::optional<Operation> op = operationOf(word);
        if (!op || op->reached >= 0)
            return refuse(Verdict::DoesNotReplay);
        operations.push_back(*op);
    }
    // The window journals one milling and what led to it.
    if (!expected.operations && (operations.empty() || !operations.back().isMilling()))
        return refuse(Verdict::DoesNotReplay);
    if (!replayHistory(session_, tool_, millIndex_, prelude, sending.mill) || millHash() != h.millHash)
        return refuse(Verdict::DoesNotReplay);
    history_.replayed(prelude);
    // The work as it stands before the job, to count the job on (the copy shares the layers' bytes).
    if (keepWork)
        kept.workAtJob = copyForSimulation(session_, MillKind::Cut3D);
    ReplayPoint point = replayOperations(session_, tool_, millIndex_, operations, reading.state.done, sending.mill);
    if (!point.ok)
        return refuse(Verdict::DoesNotReplay);
    auto* job = dynamic_cast<MillJob*>(point.job.get());
    if (!expected.operations && !job)
        return refuse(Verdict::DoesNotReplay);
    std::optional<JobRunner::Resumption> at;
    if (job)
        at = resumptionOf(reading.state, *job, board, sending.scale, sending.merge);
    else if (reading.state.pending == JournalState::Pending::None && !reading.state.lifted)
        at.emplace(); // between two operations, or at a manual move: nothing owed
    if (!at)
        return refuse(Verdict::DoesNotReplay);
    result.openMove = at->open;
    if (at->open && expected.wordOnOpenMove)
        return refuse(Verdict::MoveUnsettled);
    writer_ = std::make_unique<JournalWriter>();
    if (!writer_->resume(path_.toStdString(), reading.wholeBytes)) {
        writer_.reset();
        if (expected.operations)
            return refuse(Verdict::Unwritable);
    }
    millHashAtStart_ = h.millHash;
    result.verdict = Verdict::Taken;
    result.nextOperation = point.operation;
    if (expected.operations)
        movesBefore_ = point.done;
    if (!job) {
        kept.workAtJob.reset();
        return kept; // the journal ends between two operations: the next one starts afresh
    }
    result.nextOperation = point.operation + 1; // the job taken up is that operation
    result.jobKept = true;
    point.job.release();
    kept.job.reset(job);
    kept.at = *at;
    if (expected.operations) {
        history_.keepJob({operations[point.operation]});
        movesBefore_ = point.done - job->movesDone();
    } else {
        history_.keepJob(operations);
    }
    // The operations before the job select its region: run on the copy, the job is counted from its start.
    bool still = kept.workAtJob && sending.scale.ok();
    for (std::size_t i = 0; i < point.operation && still; ++i)
        still = !operations[i].moves() && runStillOperation(*kept.workAtJob, operations[i]);
    if (!still)
        kept.workAtJob.reset();
    return kept;
}

} // namespace zelmar
