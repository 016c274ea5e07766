#include "gcode_export.h"

#include "mill/gcode.h"
#include "mill/mapped_gcode.h"
#include "mill/job_simulation.h"

#include <QFile>

#include <tuple>
#include <vector>

namespace zelmar {

GcodeResult GcodeExport::write(const QString& path, MillKind kind, const SendingSettings& sending,
                               const ToolPosition& start) const {
    GcodeResult result;
    result.start = start;
    if (!sending.scale.ok()) {
        result.numbers = sending.scale.refusal;
        return result;
    }
    const std::int32_t steps = sending.scale.value;
    GcodeWriter writer(sending.gcode);
    std::vector<std::string> operations;
    if (kind == MillKind::Selected)
        operations.push_back(
            "select=" +
            std::to_string(session_.regions->tree.nodes[static_cast<std::size_t>(session_.selectedNode)].regionId));
    operations.push_back(kind == MillKind::Selected ? "mill-selected" : "mill-all");
    GcodeOrigin origin = sending.origin(config_.imagePath, std::move(operations));
    origin.heightMap = map_ ? mapName_ : std::string();
    std::string text = writer.header(origin, GcodeStart{start.toolX, start.toolY});
    std::optional<MappedGcode> mapped;
    if (map_)
        mapped.emplace(writer, *map_);
    ImageSession copy = copyForSimulation(session_, kind);
    bool fits = true;
    simulateJob(kind, copy, start, sending.simulation(), [&](const CommandMove& c) {
        fits = fits && formatMoveCommand(c.x, c.y, c.z, steps).ok();
        text += mapped ? mapped->lines(c) : writer.line(c);
    });
    if (!fits) {
        result.numbers = NumberRefusal{NumberRefusal::Kind::CountTooLarge, {}, {}, steps};
        return result;
    }
    text += writer.footer();
    result.startText = writer.startText({start.toolX, start.toolY});
    std::tie(result.startRightMm, result.startDownMm) = writer.startMm({start.toolX, start.toolY});
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.flush())
        result.fileError = file.errorString().isEmpty() ? QStringLiteral("?") : file.errorString();
    return result;
}

} // namespace zelmar
