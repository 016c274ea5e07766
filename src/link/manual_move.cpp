#include "manual_move.h"

#include "move_command.h"

namespace zelmar {

MoveResult manualMove(MotionLink& link, bool milling, std::string_view tx, std::string_view ty,
                      std::string_view tz, std::string_view stepsText) {
    const Checked z = parseIncrement(tz, "Z");
    const Checked y = parseIncrement(ty, "Y");
    const Checked x = parseIncrement(tx, "X");
    for (const Checked* value : {&z, &y, &x})
        if (!value->ok())
            return milling ? MoveResult{MoveOutcome::Refused, value->error}
                           : MoveResult{MoveOutcome::Dry, {}};
    if (milling)
        link.prepareForJob();
    return link.SendMove(x.value, y.value, z.value, true, milling, stepsText);
}

} // namespace zelmar
