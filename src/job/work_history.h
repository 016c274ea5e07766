#pragma once
// What ran on the picture since it was loaded, as operation words: the commands that move nothing, run here, and
// the jobs, each entry taking how far its job went. A journal's take-up rebuilds it; the journal names it.

#include "image/image_session.h"
#include "mill/mill_job.h"
#include "mill/operations.h"
#include "mill/tool_position.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelmar {

class WorkHistory {
public:
    // Runs a command's own work (the window shows a wait cursor meanwhile).
    using WorkRunner = std::function<void(const std::function<void()>& work)>;

    // The picture's work and the tool position the program keeps; both outlive the history.
    WorkHistory(ImageSession& session, ToolPosition& tool) : session_(session), tool_(tool) {}

    const std::vector<Operation>& operations() const { return history_; }
    // The command-line tool's operations are a script: a dry one starts where the last one's drawing ended, as
    // it would on the machine, and a milling records its own word. In the window a dry run leaves the tool where
    // the machine has it, and "Выделенная" records the selection that chose its region first.
    void setScript(bool script) { script_ = script; }

    // A command that moves nothing, run on the picture (its own work handed to `run` when given) and recorded.
    void runStill(const Operation& op, const ProgressCallback& progress = {}, const WorkRunner& run = {});
    // A click on a tree node; false when there is no such node.
    bool select(std::int32_t regionId);

    // What a milling command records.
    std::vector<Operation> millingOperations(MillKind kind, std::int32_t selectedRegion) const;
    // A job of these operations begins from where the tool stands: the last is the job's own, those before it
    // (a selection) lead to it.
    void beginJob(std::vector<Operation> operations);
    // The job was called off before its first command: it leaves the history, and its selection with it.
    void callOffJob();
    // The job is let go: its entry stays as it was last recorded.
    void letGoJob() { jobEntry_ = -1; }
    // The job's entry takes how far it went and whether it sent nothing; the tool stands where the job left it,
    // or where it stood before when nothing was sent.
    void recordJob(const MillJob& job, bool sentNothing);

    // What ran before the job, and the job's operations, as words.
    std::vector<std::string> wordsBeforeJob() const;
    std::vector<std::string> jobWords() const;

    // A journal taken up: the history it names was replayed, the tool standing where it left the tool.
    void replayed(std::vector<Operation> history);
    // ...and the job it keeps, with the operations that lead to it.
    void keepJob(std::vector<Operation> operations);
    const ToolPosition& toolBeforeJob() const { return toolBefore_; }

private:
    ImageSession& session_;
    ToolPosition& tool_;
    bool script_ = false;
    std::vector<Operation> history_;
    std::int64_t jobEntry_ = -1; // the job's place in history_
    std::vector<Operation> jobOperations_;
    ToolPosition toolBefore_; // where the tool stood when the job began
};

} // namespace zelmar
