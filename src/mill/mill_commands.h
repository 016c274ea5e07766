#pragma once
// "Выделенная" and "Все" as the window and the command-line tool run them.

#include "image/image_session.h"
#include "milling.h"

#include <memory>
#include <string>

namespace zelmar {

// The MillIndex of the current parse, made at the first milling after it.
class MillIndexCache {
public:
    const MillIndex& indexFor(const std::shared_ptr<RegionAnalysis>& analysis);

private:
    std::shared_ptr<const RegionAnalysis> of_;
    std::uint64_t version_ = 0;
    MillIndex index_;
};

struct MillCommandResult {
    std::string refusal; // Russian, lines joined by CR LF: nothing was done
    MillOutcome outcome = MillOutcome::Completed;

    bool refused() const { return !refusal.empty(); }
};

// The region of the selected tree node, from the tool declared to stand over pixel (1, 1).
MillCommandResult millSelected(ImageSession& session, ToolPosition& tool, MillingHost& host,
                               MillIndexCache& cache);

// Every live dark region, deepest first; each one milled to the end is marked milled (state 4). A job that is
// stopped or fails leaves the region it was on live, so that a later "Все" mills it again.
MillCommandResult millAll(ImageSession& session, ToolPosition& tool, MillingHost& host,
                          MillIndexCache& cache);

} // namespace zelmar
