#include "cut3d.h"

#include "relief/relief_commands.h"

namespace zelmar {

MillCommandResult cut3D(ImageSession& session, ToolPosition& tool, MillingHost& host, MillIndexCache& cache) {
    if (session.regions->tree.isEmpty())
        return {noTreeMessage, MillOutcome::Completed};
    gradientCommand(session);
    host.workChanged(false);
    offsetCommand(session);
    host.workChanged(false);
    parseImage(session);
    host.workChanged(true);
    for (int pass = 1; !session.regions->tree.isEmpty(); ++pass) {
        if (host.stopRequested())
            return {{}, MillOutcome::Stopped};
        host.passStarts(pass);
        const MillCommandResult milled = millAll(session, tool, host, cache);
        if (milled.refused() || milled.outcome != MillOutcome::Completed)
            return milled;
        bool changed = false;
        for (int i = 0; i < 4; ++i) {
            changed = offsetCommand(session) || changed;
            host.workChanged(false);
        }
        parseImage(session);
        host.workChanged(true);
        if (!changed)
            break;
    }
    return {{}, MillOutcome::Completed};
}

} // namespace zelmar
