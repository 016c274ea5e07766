#include "grbl_link.h"

#include <algorithm>

namespace zelmar {

namespace {

// 10^-9 mm as millimetres, exactly: as many decimals as needed, at most nine.
std::string millimetres(std::int64_t nano) {
    const bool negative = nano < 0;
    std::uint64_t v = negative ? 0 - static_cast<std::uint64_t>(nano) : static_cast<std::uint64_t>(nano);
    std::string fraction = std::to_string(v % 1000000000);
    fraction.insert(fraction.begin(), 9 - fraction.size(), '0');
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    std::string text = std::to_string(v / 1000000000);
    if (!fraction.empty())
        text += "." + fraction;
    return negative && v != 0 ? "-" + text : text;
}

// Each of the seven rates "$$" lists, a bit: $11, $110-$112, $120-$122.
constexpr unsigned allRates = 0x7f;
unsigned rateBit(int setting) {
    return 1u << (setting == 11 ? 0 : setting <= 112 ? setting - 109 : setting - 116);
}

} // namespace

GrblLink::GrblLink(SerialLine& line, const Decimal& mmPerStep, std::int32_t feed, QObject* parent)
    : StreamingLink(parent), line_(line), mmPerStep_(mmPerStep), feed_(feed) {
    clock_.start();
    ticker_.setInterval(statusEveryMs);
    connect(&ticker_, &QTimer::timeout, this, &GrblLink::tick);
    welcomeTimer_.setSingleShot(true);
    connect(&welcomeTimer_, &QTimer::timeout, this, [this] {
        if (connected_)
            return;
        if (!resetTried_) {
            // A board that was running prints nothing when the port opens: a soft reset makes it speak.
            resetTried_ = true;
            ownReset();
            welcomeTimer_.start(welcomeWaitMs);
            return;
        }
        emit notConnected();
    });
    connect(&line_, &SerialLine::readyRead, this, &GrblLink::onBytes);
    connect(&line_, &SerialLine::lost, this, &GrblLink::onLost);
}

bool GrblLink::connectTo(const QString& portName, int baud) {
    connected_ = false;
    resetTried_ = false;
    alarm_ = 0;
    status_.reset();
    workOffset_.reset();
    overrides_.reset();
    lastProbe_.reset();
    replies_.clear();
    counter_.clear();
    inFlight_.clear();
    stopping_ = Stopping::No;
    awaitingIdle_ = false;
    // Another controller may answer this time: its rates are read afresh.
    rates_ = {};
    ratesRead_ = false;
    if (!line_.open(portName, baud, false))
        return false;
    lastHeardAt_ = now();
    welcomeTimer_.start(welcomeWaitMs);
    ticker_.start();
    onBytes(); // a welcome that came with the open
    return true;
}

MachinePosition GrblLink::positionOf(const GrblStatus& status) {
    return {status.x * 1000000, status.y * 1000000, status.z * 1000000};
}

MoveText GrblLink::commandFor(const CommandMove& command, std::int32_t stepsPerPixel) const {
    // The board's counts first: what fits the board fits here, and a job's G-code is its commands.
    const MoveText counts = formatMoveCommand(command.x, command.y, command.z, stepsPerPixel);
    if (!counts.ok())
        return counts;
    if (command.kind == MoveKind::Manual)
        return {jogLine(command, stepsPerPixel), {}};
    std::string line = writerAt(stepsPerPixel).line(command);
    line.pop_back(); // the line end goes on the line, not into the text
    return {line, {}};
}

std::int64_t GrblLink::stepTravel() const {
    // The number's digits shifted to nine places (parsing allows at most nine).
    std::int64_t perStep = mmPerStep_.units;
    for (int p = mmPerStep_.places; p < 9; ++p)
        perStep *= 10;
    return perStep;
}

std::optional<MachinePosition> GrblLink::workZero() const {
    if (status_ && status_->hasPosition && status_->workPosition)
        return MachinePosition{}; // it reports the work's position itself
    if (!workOffset_)
        return std::nullopt;
    return MachinePosition{workOffset_->x * 1000000, workOffset_->y * 1000000, workOffset_->z * 1000000};
}

std::string GrblLink::pieceLine(const CommandMove& command, std::int32_t stepsPerPixel, const StepPoint& delta) const {
    const GcodeWriter writer = writerAt(stepsPerPixel);
    std::string line = writer.moveLine(isRapid(command.kind, command.z), delta.x, delta.y, delta.z,
                                       writer.feedOf(command));
    line.pop_back();
    return line;
}

bool GrblLink::travelOf(const CommandMove& command, std::int32_t stepsPerPixel, MachinePosition& travel) const {
    const std::int64_t perStep = stepTravel();
    const GcodeWriter writer = writerAt(stepsPerPixel);
    return !__builtin_mul_overflow(writer.countX(command), perStep, &travel.x) &&
           !__builtin_mul_overflow(writer.countY(command), perStep, &travel.y) &&
           !__builtin_mul_overflow(writer.countZ(command), perStep, &travel.z);
}

bool GrblLink::takesMoveAside() const {
    return !status_ || (status_->state != "Hold" && status_->state != "Alarm");
}

std::string GrblLink::jogLine(const CommandMove& move, std::int32_t stepsPerPixel) const {
    const GcodeWriter writer = writerAt(stepsPerPixel);
    return "$J=G91 G21 X" + mmPerStep_.times(writer.countX(move)) + " Y" + mmPerStep_.times(writer.countY(move)) +
           " Z" + mmPerStep_.times(writer.countZ(move)) + " F" + std::to_string(feed_);
}

std::string GrblLink::rawMove(const MachinePosition& delta, bool rapid) const {
    std::string line = rapid ? "G0" : "G1";
    line += " X" + millimetres(delta.x) + " Y" + millimetres(delta.y) + " Z" + millimetres(delta.z);
    if (!rapid)
        line += " F" + std::to_string(feed_);
    return line;
}

bool GrblLink::canSend(std::size_t bytes) const {
    return connected_ && !aborted_ && alarm_ == 0 && stopping_ == Stopping::No && counter_.fits(bytes + 1);
}

void GrblLink::send(const std::string& command) {
    if (aborted_)
        return;
    const std::string line = command + "\n";
    if (!line_.isOpen() || !connected_) {
        const LinkFault fault{.kind = line_.loss() != SerialLine::Loss::None ? LinkFault::Kind::Lost
                                                                              : LinkFault::Kind::NotOpen,
                              .loss = line_.loss(), .command = command};
        QTimer::singleShot(0, this, [this, fault] { fail(fault); });
        return;
    }
    if (!line_.write(line)) {
        const LinkFault fault{.kind = LinkFault::Kind::ShortWrite, .loss = line_.loss(), .command = command,
                              .positionUncertain = true, .commandWentOut = true};
        QTimer::singleShot(0, this, [this, fault] { fail(fault); });
        return;
    }
    counter_.sent(line.size());
    inFlight_.push_back({InFlight::Kind::Job, command});
    ++linesSent_;
    if (waitingSince_ < 0)
        waitingSince_ = now();
}

void GrblLink::prepareForJob() {
    aborted_ = false;
    linesSent_ = 0;
}

void GrblLink::abort() {
    // Held lines must not run on with a later cycle start once nobody watches them: a reset drops them (safe
    // while the machine stands in its hold).
    if (status_ && status_->state == "Hold" && status_->substate != 1)
        ownReset();
    aborted_ = true;
    awaitingIdle_ = false;
}

void GrblLink::hold() {
    writeRealtime(grblFeedHold);
}

void GrblLink::release() {
    writeRealtime(grblCycleStart);
}

std::vector<std::string> GrblLink::modalLines() const {
    std::vector<std::string> lines{"G21", "G91"};
    for (std::string& line : spindle_.startLines())
        lines.push_back(std::move(line));
    return lines;
}

std::vector<std::string> GrblLink::closingLines() const {
    GcodeSettings settings{endRiseScale_, mmPerStep_, feed_, spindle_};
    settings.endRise = endRise_;
    // The footer's lines: up to the travel height, the spindle's stop, the program end.
    std::vector<std::string> lines;
    const std::string footer = GcodeWriter(settings).footer();
    for (std::size_t from = 0, end; (end = footer.find('\n', from)) != std::string::npos; from = end + 1)
        lines.push_back(footer.substr(from, end - from));
    return lines;
}

GcodeWriter GrblLink::writerAt(std::int32_t stepsPerPixel) const {
    GcodeSettings settings{stepsPerPixel, mmPerStep_, feed_, spindle_};
    settings.axisX = axisX_;
    settings.axisY = axisY_;
    settings.plungeFeed = plungeFeed_;
    return GcodeWriter(settings);
}

std::vector<std::string> GrblLink::liftLines(std::int64_t up) const {
    // A reset has put grbl back to G90, and a lift must not depend on what the modes were.
    std::vector<std::string> lines{"G21 G91 G0 Z" + millimetres(up)};
    for (std::string& line : spindle_.stopLines())
        lines.push_back(std::move(line));
    return lines;
}

void GrblLink::stopAndDrop() {
    stopping_ = Stopping::Holding;
    awaitingIdle_ = false;
    writeRealtime(grblFeedHold);
    askStatus();
}

void GrblLink::askStatus() {
    writeRealtime(grblStatusQuery);
    ++queriesSent_;
}

void GrblLink::awaitIdle() {
    if (alarm_ != 0) {
        // Locked: it would never report Idle. The alarm is told again instead.
        const LinkFault fault{.kind = LinkFault::Kind::Alarm, .code = std::max(alarm_, 0)};
        QTimer::singleShot(0, this, [this, fault] { fail(fault); });
        return;
    }
    awaitingIdle_ = true;
    // Only the answer to this question says where the machine stands now: a report already on its way may
    // predate the last move.
    idleAfterReport_ = queriesSent_;
    askStatus();
    ticker_.setInterval(statusWhileAwaitingMs);
}

void GrblLink::clearAlarm() {
    if (!line_.isOpen())
        return;
    // After a hard limit grbl takes nothing but a reset; a reset of a machine in alarm (standing) costs nothing.
    // "$X" follows its welcome; the alarm is over once that is answered "ok".
    unlockAfterReset_ = true;
    ownReset();
}

void GrblLink::ownReset() {
    resetByUs_ = true;
    writeRealtime(grblSoftReset);
}

std::int64_t GrblLink::jobLinesInFlight() const {
    return std::count_if(inFlight_.begin(), inFlight_.end(),
                         [](const InFlight& f) { return f.kind == InFlight::Kind::Job; });
}

void GrblLink::sendOwn(InFlight::Kind kind, const std::string& line) {
    const std::string text = line + "\n";
    line_.write(text);
    counter_.sent(text.size());
    inFlight_.push_back({kind, line});
}

void GrblLink::writeRealtime(char byte) {
    if (line_.isOpen())
        line_.write(std::string_view(&byte, 1));
}

void GrblLink::onBytes() {
    const QByteArray bytes = line_.readAll();
    if (bytes.isEmpty())
        return;
    lastHeardAt_ = now();
    for (const GrblReply& reply : replies_.add(std::string_view(bytes.constData(), std::size_t(bytes.size()))))
        onReply(reply);
}

void GrblLink::resetSent() {
    counter_.clear();
    inFlight_.clear();
    waitingSince_ = -1;
}

void GrblLink::onReply(const GrblReply& reply) {
    switch (reply.kind) {
    case GrblReply::Kind::Welcome: {
        welcomeTimer_.stop();
        const bool busy = counter_.lines() > 0 || awaitingIdle_;
        resetSent(); // a reset drops whatever was queued
        reportsSeen_ = queriesSent_; // and the questions not answered yet
        // A reset we did not ask for (power, the port's open, a button) starts its coordinates afresh.
        const bool foreign = !resetByUs_;
        if (foreign)
            ++positionEpoch_;
        resetByUs_ = false;
        if (foreign && connected_ && busy) {
            // Restarted in the middle of a job: its queue and its coordinates are gone.
            awaitingIdle_ = false;
            stopping_ = Stopping::No;
            fail({.kind = LinkFault::Kind::Restarted, .positionUncertain = true, .commandWentOut = true});
        }
        if (unlockAfterReset_) {
            unlockAfterReset_ = false;
            sendOwn(InFlight::Kind::Unlock, "$X");
        }
        if (stopping_ == Stopping::Resetting)
            askStatus(); // where it stands: the next status report says
        if (!connected_) {
            // The rates its motion takes, for a job's time: grbl's defaults stand until the listing's "ok".
            ratesComing_ = {};
            ratesSeen_ = 0;
            sendOwn(InFlight::Kind::Settings, "$$");
            connected_ = true;
            emit connected();
        }
        return;
    }
    case GrblReply::Kind::Ok:
    case GrblReply::Kind::Error: {
        if (!counter_.answered())
            return; // an answer to nothing of ours
        const InFlight answered = std::move(inFlight_.front());
        inFlight_.pop_front();
        const std::string& line = answered.line;
        waitingSince_ = counter_.lines() > 0 ? now() : -1;
        if (answered.kind == InFlight::Kind::Unlock) {
            if (reply.kind == GrblReply::Kind::Ok && alarm_ != 0) {
                alarm_ = 0;
                emit unlocked();
            }
            return;
        }
        if (answered.kind == InFlight::Kind::Setup) {
            const bool ok = reply.kind == GrblReply::Kind::Ok;
            if (ok && alarm_ != 0 && (line == "$H" || line == "$X")) {
                alarm_ = 0;
                emit unlocked();
            }
            emit setupAnswered(ok, reply.code);
            return;
        }
        if (answered.kind == InFlight::Kind::Settings) {
            if (reply.kind == GrblReply::Kind::Ok) {
                rates_ = ratesComing_;
                ratesRead_ = ratesSeen_ == allRates;
            }
            return;
        }
        const std::int64_t number = linesSent_ - jobLinesInFlight();
        if (reply.kind == GrblReply::Kind::Error) {
            // The job stops: nothing queued after the refused line may run.
            fail({.kind = LinkFault::Kind::Rejected, .command = line, .positionUncertain = true, .commandWentOut = true,
                  .code = reply.code, .lineNumber = number});
            stopAndDrop();
            return;
        }
        emit acknowledged();
        emit moveDone();
        return;
    }
    case GrblReply::Kind::Alarm:
        alarm_ = reply.code > 0 ? reply.code : -1;
        resetSent(); // an alarm drops the queue
        stopping_ = Stopping::No;
        emit alarmRaised(reply.code);
        emit statusChanged(); // the state shown is Alarm from now, whatever the last report said
        fail({.kind = LinkFault::Kind::Alarm, .positionUncertain = true, .commandWentOut = true, .code = reply.code});
        return;
    case GrblReply::Kind::Probe:
        lastProbe_ = reply.probe;
        emit probed(reply.probe);
        return;
    case GrblReply::Kind::Status:
        ++reportsSeen_;
        status_ = reply.status;
        if (status_->workOffset)
            workOffset_ = status_->workOffset;
        if (status_->overrides)
            overrides_ = status_->overrides;
        emit statusChanged();
        if (reply.status.hasPosition)
            emit reportedAt(positionOf(reply.status));
        if (reply.status.state == "Alarm" && alarm_ == 0) {
            alarm_ = -1;
            emit alarmRaised(0);
            fail({.kind = LinkFault::Kind::Alarm, .positionUncertain = true, .commandWentOut = true});
        }
        if (stopping_ == Stopping::Holding && reply.status.standing()) {
            stopping_ = Stopping::Resetting;
            ownReset();
        } else if (stopping_ == Stopping::Resetting && counter_.lines() == 0 && reply.status.state != "Hold" &&
                   reply.status.hasPosition) {
            stopping_ = Stopping::No;
            emit stoppedAt(positionOf(reply.status));
        }
        if (reply.status.state == "Idle" && counter_.lines() > 0 && stopping_ == Stopping::No && waitingSince_ >= 0 &&
            now() - waitingSince_ > lostLineMs) {
            // Standing idle with a line unanswered: the line was lost on the way, it will never be answered.
            // One of our own lines is no line of the job: not named.
            const bool ofJob = inFlight_.front().kind == InFlight::Kind::Job;
            const std::string lost = ofJob ? inFlight_.front().line : std::string();
            const std::int64_t number = ofJob ? linesSent_ - jobLinesInFlight() + 1 : 0;
            resetSent();
            fail({.kind = LinkFault::Kind::Timeout, .command = lost, .seconds = lostLineMs / 1000, .positionUncertain = true,
                  .commandWentOut = true, .lineNumber = number});
            return;
        }
        if (awaitingIdle_ && reportsSeen_ > idleAfterReport_ && reply.status.state == "Idle" &&
            counter_.lines() == 0 && reply.status.hasPosition) {
            awaitingIdle_ = false;
            emit idleAt(positionOf(reply.status));
        }
        return;
    case GrblReply::Kind::Other:
        // The "$$" listing comes before its "ok", while it is the oldest line unanswered. Other messages and
        // settings: nothing the sender must act on.
        if (!inFlight_.empty() && inFlight_.front().kind == InFlight::Kind::Settings)
            if (const std::optional<int> id = readGrblRate(reply.line, ratesComing_))
                ratesSeen_ |= rateBit(*id);
        return;
    }
}

void GrblLink::onLost() {
    connected_ = false;
    ticker_.stop();
    welcomeTimer_.stop();
    const bool busy = counter_.lines() > 0 || awaitingIdle_ || stopping_ != Stopping::No;
    resetSent();
    stopping_ = Stopping::No;
    awaitingIdle_ = false;
    if (busy)
        fail({.kind = LinkFault::Kind::Lost, .loss = line_.loss(), .positionUncertain = true, .commandWentOut = true});
}

void GrblLink::tick() {
    ticker_.setInterval(awaitingIdle_ ? statusWhileAwaitingMs : statusEveryMs);
    if (!connected_ || !line_.isOpen())
        return;
    askStatus();
    // A controller that answers nothing, not even its status, for the time-out is given up on.
    const bool expecting = counter_.lines() > 0 || awaitingIdle_ || stopping_ != Stopping::No;
    if (expecting && now() - lastHeardAt_ > timeoutMs_) {
        resetSent();
        stopping_ = Stopping::No;
        awaitingIdle_ = false;
        fail({.kind = LinkFault::Kind::Timeout, .seconds = timeoutMs_ / 1000, .positionUncertain = true,
              .commandWentOut = true});
    }
}

void GrblLink::fail(LinkFault fault) {
    fault.fromGrbl = true;
    emit failed(fault);
}

} // namespace zelmar
