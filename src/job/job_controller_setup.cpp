#include "job_controller.h"

// The machine's set-up as the controller offers it: the operations on grbl apart from any job, and the height map a
// probed grid leaves for the jobs after it.

namespace zelmar {

JobController::SetupRefusal JobController::startSetup(const Operation& op, const std::string& stepsText) {
    const bool probes = op.kind == Operation::Kind::ProbeZ || op.kind == Operation::Kind::ProbeMap;
    if (probes && line_.isGrbl() && checkSettings(settingNeeds::probe) != MillRefusal::None)
        return SetupRefusal::BadSetting;
    const Checked scale = parseStepsPerPixel(stepsText.empty() ? defaultStepsPerPixel : stepsText);
    SetupSettings settings = setupSettingsOf(config_, scale);
    if (op.kind == Operation::Kind::ProbeMap) {
        settings.grid = probeGridFor(op, scale);
        if (!settings.grid)
            return SetupRefusal::NoGrid;
    }
    return setup_.start(op, settings, busy_ || runner_.isRunning());
}

std::optional<ProbeGrid> JobController::probeGridFor(const Operation& op, const Checked& scale) const {
    const std::optional<Decimal> margin = Decimal::parse(op.margin.empty() ? std::string_view("0") : op.margin);
    if (!scale.ok() || !margin || !session_.hasImage())
        return std::nullopt;
    ProbeArea area;
    area.width = session_.layers.header().bmWidth;
    area.height = session_.layers.header().bmHeight;
    area.startX = tool_.toolX;
    area.startY = tool_.toolY;
    area.pixelMm = config_.mmPerStep.value() * scale.value;
    area.axisX = config_.axisX;
    area.axisY = config_.axisY;
    area.marginMm = margin->value();
    return probeGridOver(area, op.nx, op.ny);
}

void JobController::onSetupDone(Operation::Kind kind) {
    // The probed map is the one the file and the jobs follow from now on; the front-end names and keeps it.
    if (kind == Operation::Kind::ProbeMap && setup_.probedMap())
        setHeightMap(setup_.probedMap(), {});
    emit setupDone(kind);
}

} // namespace zelmar
