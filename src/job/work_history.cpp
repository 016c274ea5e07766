#include "work_history.h"

namespace zelmar {

void WorkHistory::runStill(const Operation& op, const ProgressCallback& progress, const WorkRunner& run) {
    const auto work = [this, &op, &progress] { runStillOperation(session_, op, progress); };
    if (run)
        run(work);
    else
        work();
    history_.push_back(op);
}

bool WorkHistory::select(std::int32_t regionId) {
    Operation op;
    op.kind = Operation::Kind::Select;
    op.id = regionId;
    if (!runStillOperation(session_, op))
        return false;
    // Only the last of several selections in a row counts for what follows.
    if (!history_.empty() && history_.back().kind == Operation::Kind::Select)
        history_.back() = op;
    else
        history_.push_back(op);
    return true;
}

std::vector<Operation> WorkHistory::millingOperations(MillKind kind, std::int32_t selectedRegion) const {
    std::vector<Operation> operations;
    if (kind == MillKind::Selected && !script_) {
        Operation select;
        select.kind = Operation::Kind::Select;
        select.id = selectedRegion;
        operations.push_back(select);
    }
    operations.push_back(millingOperation(kind));
    return operations;
}

void WorkHistory::beginJob(std::vector<Operation> operations) {
    toolBefore_ = tool_;
    for (std::size_t i = 0; i + 1 < operations.size(); ++i)
        history_.push_back(operations[i]);
    jobEntry_ = static_cast<std::int64_t>(history_.size());
    history_.push_back(operations.back());
    jobOperations_ = std::move(operations);
}

void WorkHistory::callOffJob() {
    if (jobEntry_ >= 0)
        history_.resize(static_cast<std::size_t>(jobEntry_) - (jobOperations_.size() > 1 ? 1 : 0));
    jobEntry_ = -1;
}

void WorkHistory::recordJob(const MillJob& job, bool sentNothing) {
    if (jobEntry_ < 0)
        return;
    Operation& entry = history_[static_cast<std::size_t>(jobEntry_)];
    entry.reached = job.finished() ? -1 : job.movesDone();
    entry.sentNothing = sentNothing;
    // A job that sent the board nothing did not move the tool: the next real job must start its approach from
    // where the tool really is, not from where the drawing ended. The command-line tool's operations are a
    // script, whose dry run shows what its run on the machine would send: there each starts where the last ended.
    tool_ = sentNothing && !script_ ? toolBefore_ : job.tool();
}

std::vector<std::string> WorkHistory::wordsBeforeJob() const {
    std::vector<std::string> words;
    const std::int64_t before = jobEntry_ - static_cast<std::int64_t>(jobOperations_.size() - 1);
    for (std::int64_t i = 0; i < before; ++i)
        words.push_back(wordOf(history_[static_cast<std::size_t>(i)]));
    return words;
}

std::vector<std::string> WorkHistory::jobWords() const {
    std::vector<std::string> words;
    for (const Operation& op : jobOperations_)
        words.push_back(wordOf(op));
    return words;
}

void WorkHistory::replayed(std::vector<Operation> history) {
    history_ = std::move(history);
    toolBefore_ = tool_;
}

void WorkHistory::keepJob(std::vector<Operation> operations) {
    jobOperations_ = std::move(operations);
    for (const Operation& op : jobOperations_)
        history_.push_back(op);
    jobEntry_ = static_cast<std::int64_t>(history_.size()) - 1;
}

} // namespace zelmar
