#include "machine_setup_part.h"

#include "sending_settings.h"

namespace zelmar {

namespace {

// The millimetres of `count` steps, at least `least` whole millimetres.
std::string atLeastMm(const Decimal& mmPerStep, std::int64_t count, std::int64_t least) {
    std::int64_t scale = 1;
    for (int p = 0; p < mmPerStep.places; ++p)
        scale *= 10;
    std::int64_t units = 0;
    if (__builtin_mul_overflow(count, mmPerStep.units, &units) || units < least * scale)
        return std::to_string(least);
    return mmPerStep.times(count);
}

} // namespace

SetupSettings setupSettingsOf(const StartupConfig& config, const Checked& scale) {
    SetupSettings s;
    const std::int64_t steps = scale.ok() ? std::int64_t{travelHeightOf(config, scale, true)} * scale.value : 0;
    s.travelMm = atLeastMm(config.mmPerStep, steps, 1);
    s.retractMm = atLeastMm(config.mmPerStep, steps, 5);
    s.feed = config.feed;
    s.plungeFeed = config.plungeFeed > 0 ? config.plungeFeed : config.feed;
    s.probeFeed = config.probeFeed;
    s.probeDepth = config.probeDepth;
    s.plate = config.probePlate;
    return s;
}

MachineSetupPart::MachineSetupPart(MachineLine& line, QObject* parent) : QObject(parent), line_(line) {
    connect(&setup_, &MachineSetup::done, this, [this] {
        if (kind_ == Operation::Kind::ProbeMap && grid_) {
            // grbl reports a probe in machine coordinates; the map is in the work's.
            const GrblLink* link = line_.grblLink();
            if (!link || !link->workOffset() || setup_.touches().size() != grid_->points())
                return emit failed(kind_, {.kind = SetupFailure::Kind::NoWorkOffset});
            std::vector<std::int64_t> heights;
            for (std::int64_t z : setup_.touches())
                heights.push_back(z - link->workOffset()->z);
            probedMap_ = grid_->mapOf(heights);
        }
        emit done(kind_);
    });
    connect(&setup_, &MachineSetup::touched, this, &MachineSetupPart::touched);
    connect(&setup_, &MachineSetup::failed, this,
            [this](const SetupFailure& failure) { emit failed(kind_, failure); });
    connect(&heldJog_, &HeldJog::failed, this,
            [this](const SetupFailure& failure) { emit failed(Operation::Kind::Jog, failure); });
}

MachineSetupPart::Refusal MachineSetupPart::lineRefusal(bool jobBusy) const {
    if (!line_.isGrbl())
        return Refusal::NotGrbl;
    if (!line_.ready())
        return Refusal::NotConnected;
    return jobBusy ? Refusal::Busy : Refusal::None;
}

MachineSetupPart::Refusal MachineSetupPart::start(const Operation& op, const SetupSettings& settings, bool jobBusy) {
    if (!op.setsUp())
        return Refusal::NotSetUp;
    if (const Refusal refusal = lineRefusal(jobBusy); refusal != Refusal::None)
        return refusal;
    if (running())
        return Refusal::SettingUp;
    kind_ = op.kind;
    grid_ = settings.grid;
    if (op.kind == Operation::Kind::ProbeMap)
        probedMap_.reset();
    setup_.run(*line_.grblLink(), setupSteps(op, settings));
    return Refusal::None;
}

MachineSetupPart::Refusal MachineSetupPart::holdJog(char axis, int direction, const SetupSettings& settings,
                                                     bool jobBusy) {
    if (const Refusal refusal = lineRefusal(jobBusy); refusal != Refusal::None)
        return refusal;
    const HeldJogSegment segment = heldJogSegment(axis, direction, settings);
    if (setup_.running() || (heldJog_.busy() && !(heldJog_.held() && heldJog_.segment() == segment)))
        return Refusal::SettingUp;
    heldJog_.hold(*line_.grblLink(), segment);
    return Refusal::None;
}

void MachineSetupPart::cancelJog() {
    heldJog_.release();
    if (line_.isGrbl() && line_.ready())
        line_.grblLink()->cancelJog();
}

void MachineSetupPart::overrideFeed(GrblOverride o) {
    if (line_.isGrbl() && line_.ready())
        line_.grblLink()->overrideFeed(o);
}

void MachineSetupPart::overrideSpindle(GrblOverride o) {
    if (line_.isGrbl() && line_.ready())
        line_.grblLink()->overrideSpindle(o);
}

std::optional<MachineCoordinates> MachineSetupPart::coordinates() const {
    const GrblLink* link = line_.grblLink();
    if (!link || !link->status() || !link->status()->hasPosition)
        return std::nullopt;
    const GrblStatus& s = *link->status();
    MachineCoordinates c{std::nullopt, link->workOffset(), link->overrides(), s.state, std::nullopt};
    const GrblTriple at{s.x, s.y, s.z};
    if (!s.workPosition)
        c.machine = at;
    else if (c.reportedWork = at; c.workOffset)
        c.machine = GrblTriple{at.x + c.workOffset->x, at.y + c.workOffset->y, at.z + c.workOffset->z};
    return c;
}

} // namespace zelmar
