#include "line_texts.h"

#include <cstdio>

namespace zelmar {

std::string grblSilentText(const std::string& port, const std::string& speedSetting) {
    return "Порт " + port + " открыт, но grbl не прислал приветствия ни сразу, ни после программного сброса "
           "(Ctrl-X). Проверьте скорость порта (" + speedSetting + ") и что на плате grbl.";
}

StatusLine statusLineOf(JobController::LinkState state, const StartupConfig& config, const std::string& portHint) {
    const bool grbl = config.controller == StartupConfig::Controller::Grbl;
    switch (state) {
    case JobController::LinkState::Open:
        return {"Com-порт открыт", "Порт: " + config.portName};
    case JobController::LinkState::Lost:
        return {grbl ? "Связь с grbl потеряна" : "Связь с платой потеряна", std::nullopt};
    case JobController::LinkState::AwaitingGrbl:
        return {"Ожидание ответа grbl…", "Порт: " + config.portName};
    case JobController::LinkState::GrblSilent:
        return {"grbl не отвечает",
                grblSilentText(config.portName, "Baud в cnc.ini, сейчас " + std::to_string(config.baud))};
    case JobController::LinkState::NotOpen:
        // The status line keeps its words; what to do about a port that did not open is in its tooltip.
        return {portNotOpenedText, portHint};
    }
    return {};
}

namespace {

// Thousandths of a millimetre as grbl reports them: "1.500", "-0.020".
std::string millimetres(std::int64_t thousandths) {
    char text[32];
    const std::int64_t whole = thousandths < 0 ? -thousandths : thousandths;
    std::snprintf(text, sizeof text, "%s%lld.%03lld", thousandths < 0 ? "-" : "", static_cast<long long>(whole / 1000),
                  static_cast<long long>(whole % 1000));
    return text;
}

} // namespace

std::string machineStatusText(const JobController& controller) {
    const GrblLink* grbl = controller.grblLink();
    if (!grbl)
        return {};
    // What grbl is known to be doing now: a line that is lost says nothing more, an alarm stands until cleared.
    const JobController::LinkState link = controller.linkState();
    if (link == JobController::LinkState::Lost || link == JobController::LinkState::NotOpen ||
        link == JobController::LinkState::GrblSilent)
        return "grbl: нет связи";
    if (!grbl->status())
        return {};
    const GrblStatus& st = *grbl->status();
    std::string text = "grbl: " + (grbl->alarm() != 0 ? std::string("Alarm") : st.state);
    if (st.hasPosition)
        text += " X" + millimetres(st.x) + " Y" + millimetres(st.y) + " Z" + millimetres(st.z);
    // Shown once the operator has turned them: at 100 % they say nothing.
    if (const auto& ov = grbl->overrides(); ov && (ov->feed != 100 || ov->spindle != 100))
        text += ", подача " + std::to_string(ov->feed) + " %, шпиндель " + std::to_string(ov->spindle) + " %";
    return text;
}

std::string clockText(std::int64_t seconds) {
    char clock[32];
    std::snprintf(clock, sizeof clock, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return clock;
}

} // namespace zelmar
