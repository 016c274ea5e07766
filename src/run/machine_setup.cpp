#include "machine_setup.h"

#include <QTimer>

#include <algorithm>

namespace zelmar {

std::vector<SetupStep> setupSteps(const Operation& op, const SetupSettings& s) {
    using Kind = SetupStep::Kind;
    const auto line = [](std::string text) { return SetupStep{Kind::Line, std::move(text)}; };
    const SetupStep idle{Kind::AwaitIdle, {}};
    switch (op.kind) {
    case Operation::Kind::Home:
        return {line("$H"), idle};
    case Operation::Kind::Unlock:
        return {line("$X")};
    case Operation::Kind::Zero: {
        std::string text = "G10 L20 P1";
        for (char axis : op.axes)
            text += std::string(" ") + axis + "0";
        return {line(text)};
    }
    case Operation::Kind::GotoZero:
        // Up first, over to it, then down at the plunge feed; the jobs that follow move incrementally.
        return {line("G90 G0 Z" + s.travelMm), line("G0 X0 Y0"),
                line("G1 Z0 F" + std::to_string(s.plungeFeed)), line("G91"), idle};
    case Operation::Kind::Jog:
        return {line("$J=G91 G21 X" + op.tx + " Y" + op.ty + " Z" + op.tz + " F" + std::to_string(s.feed)), idle};
    case Operation::Kind::ProbeZ:
        // The tool rests on the plate at contact: its work Z is the plate's thickness.
        return {{Kind::Probe, "G91 G38.2 Z-" + s.probeDepth.text() + " F" + std::to_string(s.probeFeed)},
                line("G10 L20 P1 Z" + s.plate.text()), line("G91 G0 Z" + s.retractMm), idle};
    case Operation::Kind::ProbeMap: {
        if (!s.grid)
            return {};
        // Down to the probe's depth below the work's zero at each point, up to the clearance between them; the
        // jobs that follow move incrementally.
        const std::string up = "G0 Z" + (op.clearance.empty() ? s.retractMm : op.clearance);
        std::vector<SetupStep> steps{line("G90 " + up)};
        for (const auto& [i, j] : s.grid->order()) {
            steps.push_back(line("G0 X" + micrometreText(s.grid->x(i)) + " Y" + micrometreText(s.grid->y(j))));
            steps.push_back({Kind::Probe, "G38.2 Z-" + s.probeDepth.text() + " F" +
                                              std::to_string(op.probeFeed > 0 ? op.probeFeed : s.probeFeed)});
            steps.push_back(line(up));
        }
        steps.push_back(line("G91"));
        steps.push_back(idle);
        return steps;
    }
    default:
        return {};
    }
}

HeldJogSegment heldJogSegment(char axis, int direction, const SetupSettings& s) {
    // Thousandths of a millimetre the feed (mm/min) covers in a segment: at least one.
    const std::int64_t um = std::max<std::int64_t>(1, std::int64_t{s.feed} * heldJogSegmentMs / 60);
    std::string fraction = std::to_string(um % 1000);
    fraction.insert(fraction.begin(), 3 - fraction.size(), '0');
    std::string line = "$J=G91 G21 ";
    line += axis;
    if (direction < 0)
        line += "-";
    line += std::to_string(um / 1000);
    line += ".";
    line += fraction;
    line += " F";
    line += std::to_string(s.feed);
    return {{SetupStep::Kind::Line, line}, axis - 'X', direction < 0 ? -um : um};
}

void MachineSetup::run(GrblLink& link, std::vector<SetupStep> steps) {
    if (running())
        return;
    link_ = &link;
    steps_ = std::move(steps);
    step_ = 0;
    touches_.clear();
    probes_ = static_cast<int>(std::count_if(steps_.begin(), steps_.end(),
                                             [](const SetupStep& s) { return s.kind == SetupStep::Kind::Probe; }));
    connections_ = {
        connect(&link, &GrblLink::setupAnswered, this, &MachineSetup::onAnswer),
        connect(&link, &GrblLink::probed, this,
                [this](const GrblProbe& probe) {
                    if (!probe.contact || touched_ || step_ >= steps_.size() ||
                        current().kind != SetupStep::Kind::Probe)
                        return;
                    touched_ = true;
                    touches_.push_back(probe.at.z);
                    emit touched(static_cast<int>(touches_.size()), probes_);
                }),
        connect(&link, &GrblLink::alarmRaised, this, &MachineSetup::onAlarm),
        connect(&link, &GrblLink::failed, this,
                [this](const LinkFault& fault) {
                    if (fault.kind == LinkFault::Kind::Alarm) // awaiting a machine that is locked
                        return onAlarm(fault.code);
                    fail({.kind = SetupFailure::Kind::LineFault, .fault = fault});
                }),
        connect(&link, &GrblLink::idleAt, this, [this] {
            if (step_ < steps_.size() && current().kind == SetupStep::Kind::AwaitIdle) {
                ++step_;
                next();
            }
        }),
    };
    // Started from the caller's stack, ended from the event loop: done() never comes inside run().
    QTimer::singleShot(0, this, &MachineSetup::next);
}

void MachineSetup::next() {
    if (!running())
        return;
    if (step_ == steps_.size()) {
        end();
        emit done();
        return;
    }
    touched_ = false;
    if (current().kind == SetupStep::Kind::AwaitIdle)
        link_->awaitIdle();
    else
        link_->sendSetupLine(current().line);
}

void MachineSetup::onAnswer(bool ok, int code) {
    if (step_ >= steps_.size() || current().kind == SetupStep::Kind::AwaitIdle)
        return;
    if (!ok)
        return fail({.kind = SetupFailure::Kind::Refused, .code = code, .line = current().line});
    // G38.3 and the like answer "ok" without a contact: the work's Z would be set in the air.
    if (current().kind == SetupStep::Kind::Probe && !touched_)
        return fail({.kind = SetupFailure::Kind::NoContact, .line = current().line});
    ++step_;
    next();
}

void MachineSetup::onAlarm(int code) {
    const bool probing = step_ < steps_.size() && current().kind == SetupStep::Kind::Probe;
    using Kind = SetupFailure::Kind;
    const Kind kind = probing && code == 5 ? Kind::NoContact : probing && code == 4 ? Kind::AlreadyTouching : Kind::Alarm;
    fail({.kind = kind, .code = code, .line = step_ < steps_.size() ? current().line : std::string()});
}

void MachineSetup::fail(SetupFailure failure) {
    if (!running())
        return;
    end();
    emit failed(failure);
}

void MachineSetup::end() {
    for (const QMetaObject::Connection& c : connections_)
        disconnect(c);
    connections_.clear();
    link_ = nullptr;
}

} // namespace zelmar
