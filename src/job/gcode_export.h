#pragma once
// A milling written as a G-code file: what it would send now, worked out on a copy of the work, so that nothing
// of the program changes.

#include "config/startup_config.h"
#include "image/image_session.h"
#include "link/move_command.h"
#include "mill/height_map.h"
#include "mill/mill_job.h"
#include "mill/tool_position.h"
#include "sending_settings.h"

#include <QString>

#include <optional>
#include <string>

namespace zelmar {

// Empty on success; else a refusal's code, or the file's error.
struct GcodeResult {
    MillRefusal refusal = MillRefusal::None;
    NumberRefusal numbers;
    QString fileError; // the file could not be written
    ToolPosition start; // where the tool must stand when the file starts: the tool position the program keeps
    std::string startText; // the same in words, as the file's header says it
    std::string startRightMm, startDownMm; // its offsets from the top-left pixel; empty: beyond the counter
    bool ok() const { return refusal == MillRefusal::None && numbers.kind == NumberRefusal::Kind::None && fileError.isEmpty(); }
};

class GcodeExport {
public:
    // The picture's work, and the settings that name its image file in the file's header.
    GcodeExport(const ImageSession& session, const StartupConfig& config) : session_(session), config_(config) {}

    // The milling, from the tool position, as `sending` makes its commands (for a standard machine); the
    // command itself must not be refused (checkMillCommand).
    GcodeResult write(const QString& path, MillKind kind, const SendingSettings& sending,
                      const ToolPosition& start) const;
    // The probed surface the file follows (its start the work zero), and the map file's name for the header;
    // nothing: a flat stock.
    void setHeightMap(std::optional<HeightMap> map, std::string name) {
        map_ = std::move(map);
        mapName_ = std::move(name);
    }
    const std::optional<HeightMap>& heightMap() const { return map_; }
    const std::string& heightMapName() const { return mapName_; }

private:
    std::optional<HeightMap> map_;
    std::string mapName_;
    const ImageSession& session_;
    const StartupConfig& config_;
};

} // namespace zelmar
