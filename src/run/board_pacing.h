#pragma once
// Our board's pacing: one command at a time, nothing of its own; the runner pauses and stops it.

#include "run_pacing.h"

namespace zelmar {

class BoardPacing : public RunPacing {
public:
    bool readyForPlan() override { return true; }
    void regionOut() override {}
    std::size_t movesAnswered() const override { return 0; }
    bool closeRun() override { return false; }
    bool placeCommand(std::string&, const CommandMove&, std::size_t, std::optional<PathSegment>&,
                      bool&) override {
        return true;
    }
    bool answered(LineRole, std::optional<PathSegment>) override { return true; }
    bool pause() override { return false; }
    bool stop() override { return false; }
    bool resume() override { return false; }
    void dropHeld() override {}
    bool failed(const LinkFault&) override { return false; }
    bool settlesUnansweredCommands() const override { return true; }
    bool takesMoveAside() const override { return true; }
    bool wroteLines() const override { return false; }
};

} // namespace zelmar
