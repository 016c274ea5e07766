#include "machine_line.h"

namespace zelmar {

namespace {

// Why the line did not open, as the operator is told it.
PortHint hintOf(const SerialLine& line, const QString& portName) {
    PortHint hint;
    hint.portName = portName;
    if (line.isOpen())
        return hint;
    if (line.openFailure() == SerialLine::OpenFailure::SettingsRefused) {
        hint.code = PortHint::Code::SettingsRefused;
        return hint;
    }
    hint.probe = probePort(portName);
    switch (classifyOpenFailure(line.openError(), hint.probe)) {
    case PortProblem::NoPermission:
        hint.code = PortHint::Code::NoPermission;
        break;
    case PortProblem::Busy:
        hint.code = PortHint::Code::Busy;
        break;
    case PortProblem::NotFound:
        hint.code = PortHint::Code::NotFound;
        break;
    case PortProblem::Other:
        hint.code = PortHint::Code::Other;
        break;
    }
    return hint;
}

} // namespace

MachineLine::MachineLine(QObject* parent) : QObject(parent) {
    connect(&line_, &SerialLine::lost, this, &MachineLine::lost);
}

MachineLine::~MachineLine() = default;

void MachineLine::configure(const StartupConfig& config) {
    portName_ = QString::fromStdString(config.portName);
    baud_ = config.baud;
    link_.setTimeoutMs(std::int64_t{config.timeoutSeconds} * 1000);
    if (config.controller == StartupConfig::Controller::Grbl && !grbl_) {
        grbl_ = std::make_unique<GrblLink>(line_, config.mmPerStep, config.feed);
        connect(grbl_.get(), &GrblLink::connected, this, &MachineLine::onGrblConnected);
        connect(grbl_.get(), &GrblLink::notConnected, this, &MachineLine::onGrblSilent);
        connect(grbl_.get(), &GrblLink::statusChanged, this, &MachineLine::statusChanged);
        connect(grbl_.get(), &GrblLink::alarmRaised, this, &MachineLine::alarmRaised);
        connect(grbl_.get(), &GrblLink::alarmRaised, this, &MachineLine::statusChanged);
    }
    if (grbl_) {
        grbl_->setTimeoutMs(std::int64_t{config.timeoutSeconds} * 1000);
        grbl_->setSpindle(config.spindle);
        grbl_->setMachineFrame(config.axisX, config.axisY, config.plungeFeed);
    }
}

bool MachineLine::open() {
    grblSilent_ = false;
    if (grbl_)
        grbl_->connectTo(portName_, baud_); // ready only once grbl has answered
    else
        line_.open(portName_, BoardLink::baudRate);
    hint_ = hintOf(line_, portName_);
    return line_.isOpen();
}

MachineLine::State MachineLine::state() const {
    if (line_.isOpen() && (!grbl_ || grbl_->isConnected()))
        return State::Open;
    if (line_.loss() != SerialLine::Loss::None)
        return State::Lost;
    if (grbl_ && line_.isOpen())
        return grblSilent_ ? State::GrblSilent : State::AwaitingGrbl;
    return State::NotOpen;
}

void MachineLine::onGrblConnected() {
    emit changed();
    emit statusChanged();
    if (continueOnHello_) {
        continueOnHello_ = false;
        emit reopened();
    }
}

void MachineLine::onGrblSilent() {
    grblSilent_ = true;
    emit changed();
    if (continueOnHello_) {
        continueOnHello_ = false;
        emit reopenFailed();
    }
}

void MachineLine::abort() {
    link_.abort();
    if (grbl_)
        grbl_->abort();
}

} // namespace zelmar
