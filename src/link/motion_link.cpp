#include "motion_link.h"

#include "move_command.h"

namespace zelmar {

MotionLink::MotionLink(BoardLine& port) : port_(port) {}

MoveResult MotionLink::SendMove(std::int32_t x, std::int32_t y, std::int32_t z, bool wait, bool milling,
                                std::string_view stepsText) {
    if (!milling) {
        // The scale is not even read in a dry run; only a log, if someone keeps one, sees the would-be
        // command.
        if (log_) {
            const Checked steps = parseStepsPerPixel(stepsText);
            const MoveText command = steps.ok() ? formatMoveCommand(x, y, z, steps.value) : MoveText{};
            if (command.ok() && !command.text.empty())
                log_(command.text);
        }
        return {MoveOutcome::Dry, {}};
    }
    if (aborted_)
        return {MoveOutcome::Aborted, {}};
    const Checked steps = parseStepsPerPixel(stepsText);
    if (!steps.ok())
        return {MoveOutcome::Refused, steps.error};
    const MoveText command = formatMoveCommand(x, y, z, steps.value);
    if (!command.ok())
        return {MoveOutcome::Refused, command.error};
    if (!port_.isOpen())
        return failure(port_.isLost() ? "Связь с платой потеряна: " + port_.lostReasonText() + "."
                                      : std::string("Порт платы закрыт."),
                       positionUncertain_);

    if (log_)
        log_(command.text);
    port_.WritePort(handle_, command.text);
    if (port_.portStatus() != 0) {
        positionUncertain_ = true;
        return failure(port_.isLost() ? "Связь с платой потеряна: " + port_.lostReasonText() + "."
                                      : std::string("Команда «") + command.text + "» не ушла в порт целиком.",
                       true);
    }
    return wait ? WaitForOK(milling) : MoveResult{};
}

MoveResult MotionLink::WaitForOK(bool milling) {
    if (!milling)
        return {MoveOutcome::Dry, {}};
    AcknowledgementScanner reply;
    for (;;) {
        if (reply.found())
            return {};
        // Everything there now is taken, also what follows the "OK" in the same piece.
        for (int b; (b = port_.ReadPortByte(handle_)) >= 0;)
            reply.add(static_cast<char>(b));
        if (reply.found())
            continue;
        if (aborted_) {
            positionUncertain_ = true;
            return {MoveOutcome::Aborted, {}};
        }
        if (!port_.isOpen()) {
            positionUncertain_ = true;
            return failure(
                "Связь с платой потеряна: " +
                    (port_.isLost() ? port_.lostReasonText() : std::string("порт закрыт")) + ".",
                true);
        }
        if (port_.msSinceActivity() > timeoutMs_) {
            positionUncertain_ = true;
            return failure("Плата не ответила «OK» за " + std::to_string(timeoutMs_ / 1000) +
                               " с после последнего обмена.",
                           true);
        }
        // A board that keeps sending without ever saying "OK" (a wrong speed, a noisy line) must not hold the
        // job for ever: received bytes put the time-out off, but only so far.
        if (port_.msSinceWrite() > babblingLimitFactor * timeoutMs_) {
            positionUncertain_ = true;
            return failure("Плата присылает данные, но не «OK», уже " +
                               std::to_string(babblingLimitFactor * timeoutMs_ / 1000) +
                               " с после команды (неверная скорость порта или помехи на линии?).",
                           true);
        }
        if (pump_)
            pump_();
        port_.waitForInput(2); // returns as soon as a byte comes: the answer is not kept waiting
    }
}

void MotionLink::prepareForJob() {
    if (positionUncertain_ && port_.isOpen())
        port_.discardInput();
}

MoveResult MotionLink::failure(const std::string& what, bool positionUncertain) {
    std::string message = what + "\r\nЗадание остановлено, больше ничего не отправлено.";
    if (positionUncertain)
        message += "\r\nПоложение станка теперь известно неточно: проверьте его, прежде чем продолжать.";
    return {MoveOutcome::Failed, message};
}

} // namespace zelmar
