#include "manual_move.h"

namespace zelmar {

ManualMovePlan manualMovePlan(std::string_view tx, std::string_view ty, std::string_view tz) {
    const Checked z = parseIncrement(tz, "Z");
    const Checked y = parseIncrement(ty, "Y");
    const Checked x = parseIncrement(tx, "X");
    for (const Checked* value : {&z, &y, &x})
        if (!value->ok())
            return {std::nullopt, value->refusal};
    PlannedMove move;
    move.x = x.value;
    move.y = y.value;
    move.z = z.value;
    move.kind = MoveKind::Manual;
    return {move, {}};
}

} // namespace zelmar
