#include "board_link.h"

#include <algorithm>

namespace zelmar {

BoardLink::BoardLink(SerialLine& line, QObject* parent) : MachineLink(parent), line_(line) {
    clock_.start();
    exchange_.setPauseMs(protocolPauseMs);
    exchange_.setTimeoutMs(std::int64_t{defaultTimeoutSeconds} * 1000);
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, &BoardLink::decide);
    // Bytes that come while no command waits stay in the port: the next wait reads them first.
    connect(&line_, &SerialLine::readyRead, this, [this] {
        if (exchange_.running())
            take();
    });
    connect(&line_, &SerialLine::allWritten, this, [this] {
        exchange_.bytesOut(pauseStart());
        decide();
    });
    connect(&line_, &SerialLine::lost, this, [this] {
        if (!exchange_.running())
            return;
        if (exchange_.acknowledged()) {
            // Its "OK" came before the line went: the move is done, what follows will find the line gone.
            deadline_.stop();
            exchange_.reset();
            emit moveDone();
            return;
        }
        fail({.kind = LinkFault::Kind::Lost, .loss = line_.loss(), .command = command_, .positionUncertain = true,
              .commandWentOut = true});
    });
}

MoveText BoardLink::commandFor(const CommandMove& command, std::int32_t stepsPerPixel) const {
    return formatMoveCommand(command.x, command.y, command.z, stepsPerPixel);
}

void BoardLink::send(const std::string& command) {
    command_ = command;
    if (aborted_)
        return;
    if (!line_.isOpen()) {
        const LinkFault::Kind kind = line_.loss() != SerialLine::Loss::None ? LinkFault::Kind::Lost
                                                                            : LinkFault::Kind::NotOpen;
        const LinkFault fault{.kind = kind, .loss = line_.loss(), .command = command, .positionUncertain = positionUncertain_};
        QTimer::singleShot(0, this, [this, fault] { emit failed(fault); });
        return;
    }
    exchange_.begin(command.size(), now());
    acknowledgedSent_ = false;
    if (!line_.write(command)) {
        exchange_.reset();
        positionUncertain_ = true;
        const LinkFault fault{.kind = line_.isOpen() ? LinkFault::Kind::ShortWrite : LinkFault::Kind::Lost,
                              .loss = line_.loss(), .command = command, .positionUncertain = true,
                              .commandWentOut = true};
        QTimer::singleShot(0, this, [this, fault] { emit failed(fault); });
        return;
    }
    take(); // what waited in the port counts for this command, as the board may have answered late
    if (line_.bytesToWrite() == 0)
        exchange_.bytesOut(pauseStart());
    decide();
}

void BoardLink::take() {
    const QByteArray bytes = line_.readAll();
    exchange_.received(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), now());
    decide();
}

void BoardLink::decide() {
    if (!exchange_.running())
        return;
    const std::int64_t t = now();
    switch (exchange_.poll(t)) {
    case OkExchange::State::Done:
        deadline_.stop();
        positionUncertain_ = false;
        if (!acknowledgedSent_) {
            acknowledgedSent_ = true;
            emit acknowledged();
        }
        emit moveDone();
        return;
    case OkExchange::State::Failed: {
        const OkExchange::Fault f = exchange_.fault();
        const LinkFault::Kind kind = f == OkExchange::Fault::ShortWrite ? LinkFault::Kind::ShortWrite
                                     : f == OkExchange::Fault::Timeout  ? LinkFault::Kind::Timeout
                                                                        : LinkFault::Kind::Babbling;
        const std::int64_t waited = f == OkExchange::Fault::Babbling
                                        ? OkExchange::babblingLimitFactor * exchange_.timeoutMs() / 1000
                                        : exchange_.timeoutMs() / 1000;
        if (f == OkExchange::Fault::ShortWrite)
            line_.discardOutput(); // a stuck remainder must not leave later, glued to the next command
        fail({.kind = kind, .command = command_, .seconds = waited, .positionUncertain = true, .commandWentOut = true});
        return;
    }
    default:
        deadline_.start(static_cast<int>(std::clamp<std::int64_t>(exchange_.nextDeadline() - t, 0, 1 << 30)));
        if (exchange_.acknowledged() && !acknowledgedSent_) {
            acknowledgedSent_ = true;
            emit acknowledged();
        }
    }
}

void BoardLink::fail(LinkFault fault) {
    deadline_.stop();
    exchange_.reset();
    positionUncertain_ = true;
    emit failed(fault);
}

void BoardLink::prepareForJob() {
    aborted_ = false;
    if (positionUncertain_ && line_.isOpen())
        line_.discardInput();
}

void BoardLink::abort() {
    aborted_ = true;
    deadline_.stop();
    exchange_.reset();
}

} // namespace zelmar
