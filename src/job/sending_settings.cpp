#include "sending_settings.h"

#include "config/settings_table.h"

#include <algorithm>
#include <cmath>

namespace zelmar {

std::int32_t travelHeightOf(const StartupConfig& config, const Checked& scale, bool standardMachine) {
    if (config.safeHeight > 0 || !standardMachine || !scale.ok() || config.mmPerStep.isZero())
        return config.safeHeight;
    // A millimetre in depth units (pixels), rounded up: 10^places / (units * steps a pixel).
    std::int64_t millimetre = 1;
    for (int p = 0; p < config.mmPerStep.places; ++p)
        millimetre *= 10;
    const std::int64_t pixel = config.mmPerStep.units * std::int64_t{scale.value};
    if (pixel <= 0)
        return config.safeHeight; // no scale to measure a millimetre by
    return static_cast<std::int32_t>(std::min<std::int64_t>(
        (millimetre + pixel - 1) / pixel, static_cast<std::int64_t>(specOf(Setting::SafeHeight).most)));
}

GcodeSettings gcodeSettingsOf(const StartupConfig& config, std::int32_t stepsPerPixel, std::int32_t travelHeight) {
    GcodeSettings settings{stepsPerPixel, config.mmPerStep, config.feed, config.spindle};
    settings.axisX = config.axisX;
    settings.axisY = config.axisY;
    settings.plungeFeed = config.plungeFeed;
    settings.endRise = travelHeight;
    return settings;
}

SendingSettings SendingSettings::of(const StartupConfig& config, const std::string& stepsText,
                                    bool standardMachine) {
    SendingSettings s;
    s.stepsText = stepsText;
    s.scale = parseStepsPerPixel(stepsText);
    s.stepsPerPixel = s.scale.ok() ? s.scale.value : 1;
    s.merge = {config.mergeSteps, config.mergeTolerance.value()};
    s.stepDown = config.stepDown;
    s.safeHeight = config.safeHeight;
    s.tool = config.tool;
    s.mmPerStep = config.mmPerStep;
    s.mergeTolerance = config.mergeTolerance;

    MillSettings& mill = s.mill;
    mill.safeHeight = travelHeightOf(config, s.scale, standardMachine);
    mill.stepDown = config.stepDown;
    mill.marksAsDepth = config.marksAsDepth;
    if (s.scale.ok()) { // a job of wrong steps is refused before it moves
        const double mmPerPixel = config.mmPerStep.value() * s.scale.value;
        mill.tool = ToolProfile(config.tool, mmPerPixel);
        // No pass goes deeper into the material than the cutting edge is long.
        if (!config.tool.lengthMm.isZero() && config.tool.kind != ToolKind::Pixel && mmPerPixel > 0) {
            mill.edge = static_cast<std::int32_t>(
                std::min(1e6, std::floor(config.tool.lengthMm.value() / mmPerPixel + 1e-9)));
            if (mill.stepDown > 0 && mill.edge >= 1)
                mill.stepDown = std::min(mill.stepDown, mill.edge);
        }
    }
    s.gcode = gcodeSettingsOf(config, s.stepsPerPixel, mill.safeHeight);
    return s;
}

SimulationSettings SendingSettings::simulation() const {
    // The passes as the job on the machine cuts them: never deeper into the material than the cutting edge.
    return {merge.straightRuns, travelHeight(), stepsPerPixel, mill.tool, merge.tolerance, mill.stepDown,
            mill.marksAsDepth};
}

CommandFeed SendingSettings::commandFeed() const {
    if (!scale.ok())
        return CommandFeed({}, 1);
    return CommandFeed(merge, scale.value);
}

void SendingSettings::record(JournalHeader& header) const {
    header.stepsText = stepsText;
    header.mergeSteps = merge.straightRuns;
    header.safeHeight = safeHeight;
    if (tool.kind != ToolKind::Pixel) {
        header.toolWord = wordOf(tool);
        header.mmPerStep = mmPerStep.text();
    }
    if (!mergeTolerance.isZero())
        header.mergeTolerance = mergeTolerance.text();
    if (stepDown > 0)
        header.stepDown = std::to_string(stepDown);
    if (mill.marksAsDepth)
        header.depthRule = "marks";
}

bool SendingSettings::sendsAs(const JournalHeader& h) const {
    return h.mergeSteps == merge.straightRuns && h.safeHeight == safeHeight && h.toolWord == wordOf(tool) &&
           (h.toolWord.empty() || h.mmPerStep == mmPerStep.text()) &&
           h.mergeTolerance == (mergeTolerance.isZero() ? "" : mergeTolerance.text()) &&
           h.stepDown == (stepDown > 0 ? std::to_string(stepDown) : std::string()) &&
           h.depthRule == (mill.marksAsDepth ? "marks" : "");
}

GcodeOrigin SendingSettings::origin(const std::string& image, std::vector<std::string> operations) const {
    return {image,
            std::move(operations),
            travelHeight(),
            merge.straightRuns,
            wordOf(tool),
            mergeTolerance.isZero() ? "" : mergeTolerance.text(),
            stepDown,
            travelHeight() != safeHeight,
            {}};
}

} // namespace zelmar
