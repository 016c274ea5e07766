#pragma once
// A job taken up from its journal: after the finished part has been replayed without sending, where the
// runner picks it up. Shared by the window (at start-up) and zelmar-cli (--resume).

#include "job_journal.h"
#include "job_runner.h"
#include "mill/mill_job.h"

#include <optional>

namespace zelmar {

// Where the board stands and what is owed, from the journal's state and the job replayed up to its count. The
// open command, if any, is named in the machine's own words. Nothing when the journal and the job disagree.
std::optional<JobRunner::Resumption> resumptionOf(const JournalState& state, MillJob& job,
                                                  const MachineLink& link, const Checked& scale,
                                                  const MergeRule& merge);

} // namespace zelmar
