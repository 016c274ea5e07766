#pragma once
// What the operator reads about a job's journal: the offer to continue a job a crash left, and why a journal
// cannot be taken up.

#include "job/journal_keeper.h"

#include <cstdint>
#include <string>

namespace zelmar {

// Why zelmar-cli does not continue from the journal at `path` (its lines end in a line break); empty when the
// journal was taken up.
std::string journalRefusalText(const JournalTakeUp& taken, const std::string& path);
// The window's question when it finds a journal for the picture, and its answer when the journal does not replay.
std::string journalOfferText(std::int64_t movesDone);
std::string journalNotTakenUpText();

} // namespace zelmar
