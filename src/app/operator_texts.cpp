#include "operator_texts.h"

namespace zelmar {

namespace {

std::string quoted(const std::string& text) {
    return "\u00AB" + text + "\u00BB";
}

constexpr const char* jobStopped = "\r\nЗадание остановлено, больше ничего не отправлено.";

} // namespace

std::string refusalText(MillRefusal refusal) {
    switch (refusal) {
    case MillRefusal::NoTree:
        return "Изображение не загружено или не разобрано.\r\n"
               "Если изображение загружено, нажмите кнопку 'Разобрать'.\r\n"
               "Необходимо, чтобы программа построила дерево вложения фигур.";
    case MillRefusal::NoSelection:
        return "Не выбрана фигура.\r\nВыберите фигуру в дереве.";
    case MillRefusal::None:
        break;
    }
    return {};
}

std::string refusalText(const NumberRefusal& r) {
    switch (r.kind) {
    case NumberRefusal::Kind::StepsPerPixel:
        return "Число шагов на один пиксель должно быть целым числом от 1 до 2147483647.\r\nСейчас в поле: " +
               quoted(r.fieldText) + ".\r\nКоманда не отправлена.";
    case NumberRefusal::Kind::Increment:
        return "Перемещение по оси " + r.axis + " должно быть целым числом от 0 и больше.\r\nСейчас в поле: " +
               quoted(r.fieldText) + ".\r\nКоманда не отправлена.";
    case NumberRefusal::Kind::CountTooLarge:
        return "Перемещение слишком велико: при " + std::to_string(r.stepsPerPixel) +
               " шагах на пиксель число шагов выходит за пределы счётчика платы (32 бита).\r\n"
               "Команда не отправлена.";
    case NumberRefusal::Kind::None:
        break;
    }
    return {};
}

std::string faultText(const LinkFault& fault, bool kept) {
    std::string what;
    const auto lossText = [&fault] {
        switch (fault.loss) {
        case SerialLine::Loss::DeviceGone:
            return std::string("устройство порта пропало или плата отключилась");
        case SerialLine::Loss::ReadFailed:
            return std::string("ошибка чтения: линия оборвана");
        case SerialLine::Loss::WriteFailed:
            return std::string("ошибка записи в порт");
        case SerialLine::Loss::None:
            break;
        }
        return std::string("порт закрыт");
    };
    switch (fault.kind) {
    case LinkFault::Kind::NotOpen:
        what = "Порт платы закрыт.";
        break;
    case LinkFault::Kind::Lost:
        what = "Связь с платой потеряна: " + lossText() + ".";
        break;
    case LinkFault::Kind::ShortWrite:
        what = "Команда " + quoted(fault.command) + " не ушла в порт целиком.";
        break;
    case LinkFault::Kind::Timeout:
        what = "Плата не ответила «OK» за " + std::to_string(fault.seconds) + " с после последнего обмена.";
        break;
    case LinkFault::Kind::Babbling:
        what = "Плата присылает данные, но не «OK», уже " + std::to_string(fault.seconds) +
               " с после команды (неверная скорость порта или помехи на линии?).";
        break;
    case LinkFault::Kind::None:
        break;
    }
    std::string message = what + jobStopped;
    if (fault.positionUncertain)
        message += "\r\nПоложение станка теперь известно неточно: проверьте его, прежде чем продолжать.";
    if (kept)
        message += "\r\nЗадание сохранено: «Продолжить» продолжит его с того места, где оно остановилось.";
    return message;
}

std::string openMoveName(const JobRunner::OpenMove& move) {
    switch (move.kind) {
    case JobRunner::OpenMove::Kind::Plan:
        return quoted(move.command) + " (перемещение " + std::to_string(move.index + 1) + " задания)";
    case JobRunner::OpenMove::Kind::Lift:
        return quoted(move.command) + " (подъём фрезы)";
    case JobRunner::OpenMove::Kind::Plunge:
        return quoted(move.command) + " (опускание фрезы)";
    }
    return {};
}

std::string openMoveQuestion(const JobRunner::OpenMove& move) {
    const bool planMove = move.kind == JobRunner::OpenMove::Kind::Plan;
    return "Команда " + openMoveName(move) +
           " ушла в порт, но плата не ответила «OK».\r\nСтанок выполнил это перемещение?\r\n"
           "«Да» — считать его сделанным, «Нет» — " +
           (planMove ? std::string("отправить его ещё раз.") : std::string("считать, что его не было."));
}

std::string journalFailureText(const std::string& path) {
    return "Журнал задания не удаётся записать на диск (" + path + ")." + std::string(jobStopped);
}

} // namespace zelmar
