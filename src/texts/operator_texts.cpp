#include "operator_texts.h"
#include "link/grbl_protocol.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace zelmar {

namespace {

// How the operator can bring the machine back to where the kept job stands. "Ручная уст-ка" moves whole pixels
// only, and only towards the machine's minus X, plus Y and plus Z (its boxes take no sign).
std::string wayBackText(const LinkFault& fault) {
    const MachinePosition back{fault.expected.x - fault.at.x, fault.expected.y - fault.at.y,
                               fault.expected.z - fault.at.z};
    const std::int64_t pixel = fault.pixelTravel;
    constexpr std::int64_t slack = 5'000'000; // a few of the report's thousandths of a millimetre
    const auto pixels = [pixel](std::int64_t travel) -> std::optional<std::int64_t> {
        if (pixel <= 0 || travel < -slack)
            return std::nullopt;
        const std::int64_t n = (std::max<std::int64_t>(travel, 0) + pixel / 2) / pixel;
        if (std::llabs(travel - n * pixel) > slack)
            return std::nullopt;
        return n;
    };
    const std::optional<std::int64_t> tx = pixels(-back.x);
    const std::optional<std::int64_t> ty = pixels(back.y);
    const std::optional<std::int64_t> tz = pixels(back.z);
    const std::string shift = "на " + machinePositionText(back);
    if (tx && ty && tz)
        return "Верните станок: сдвиг " + shift + " даёт «Ручная уст-ка» с числами " + std::to_string(*tx) + ", " +
               std::to_string(*ty) + ", " + std::to_string(*tz) + " (X, Y, Z в пикселях); затем «Продолжить».";
    return "Чтобы вернуть станок, его нужно сдвинуть " + shift + ". «Ручная уст-ка» так не может: она двигает "
           "только на целые пиксели и только к минусу X, плюсу Y и плюсу Z станка. Сдвиньте станок пультом или "
           "другой программой и нажмите «Продолжить» — или начните задание заново.";
}

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
    case MillRefusal::EdgeTooShort:
        return "Режущая часть фрезы (ToolLength) короче глубины, которую требует изображение: за один проход "
               "фреза ушла бы в материал глубже своей режущей части.\r\n"
               "Задайте глубину за проход StepDown (проходы будут не глубже режущей части) или фрезу с режущей "
               "частью длиннее.\r\nКоманда не отправлена.";
    case MillRefusal::BadSetting:
        return "Задание не начато: настройка, которая ему нужна, задана неверно.";
    case MillRefusal::MapNotFollowed:
        return "Задание не начато: загружена карта высот, а наша плата её не учитывает: карте следуют только grbl "
               "и файл G-кода («Сохранить G-код…»).\r\nЧтобы фрезеровать на этой плате по ровной заготовке, "
               "уберите карту: меню «Станок» → «Забыть карту высот».";
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

std::string grblErrorMeaning(int code) {
    switch (code) {
    case 1: return "в строке нет буквы команды (слово G-кода — буква и число)";
    case 2: return "число в строке записано неверно или пропущено";
    case 3: return "grbl не знает такой команды '$'";
    case 4: return "отрицательное значение там, где нужно положительное";
    case 5: return "поиск нуля (homing) выключен в настройках";
    case 6: return "длительность импульса шага должна быть больше 3 мкс";
    case 7: return "не удалось прочитать EEPROM, восстановлены настройки по умолчанию";
    case 8: return "команда '$' принимается только в состоянии Idle (станок стоит)";
    case 9: return "G-код заблокирован в состоянии тревоги или во время толчкового перемещения";
    case 10: return "программные пределы нельзя включить без поиска нуля";
    case 11: return "строка длиннее, чем grbl принимает; она не выполнена";
    case 12: return "значение настройки даёт частоту шагов выше допустимой";
    case 13: return "открыта защитная дверца";
    case 14: return "строка запуска или сведения о сборке длиннее допустимого";
    case 15: return "толчковое перемещение выходит за пределы хода станка; оно не выполнено";
    case 16: return "неверная команда толчкового перемещения ($J=)";
    case 17: return "режим лазера требует выхода ШИМ";
    case 20: return "команда G-кода не поддерживается или неверна";
    case 21: return "в строке две команды из одной модальной группы";
    case 22: return "скорость подачи (F) не задана";
    case 23: return "команде нужно целое значение";
    case 24: return "в строке две команды, которым нужны координаты осей";
    case 25: return "слово G-кода повторено в строке";
    case 26: return "команде нужны координаты осей, а их в строке нет";
    case 27: return "неверный номер строки";
    case 28: return "команде не хватает нужного значения";
    case 29: return "системы координат G59.x не поддерживаются";
    case 30: return "G53 допустима только с G0 и G1";
    case 31: return "в строке координаты осей, которые никакая команда не использует";
    case 32: return "дугам G2/G3 нужна хотя бы одна координата в плоскости";
    case 33: return "цель перемещения неверна";
    case 34: return "неверный радиус дуги";
    case 35: return "дугам G2/G3 нужно хотя бы одно смещение в плоскости";
    case 36: return "в строке лишние значения";
    case 37: return "смещение длины инструмента G43.1 не на оси длины инструмента";
    case 38: return "номер инструмента больше допустимого";
    default: return "код ошибки, неизвестный этой программе (см. описание grbl)";
    }
}

std::string grblAlarmMeaning(int code) {
    switch (code) {
    case 1: return "сработал концевой выключатель (жёсткий предел); положение станка, вероятно, потеряно — "
                   "рекомендуется поиск нуля";
    case 2: return "цель перемещения за пределами хода станка (программный предел); положение сохранено";
    case 3: return "сброс во время движения; положение станка не гарантировано — рекомендуется поиск нуля";
    case 4: return "щуп не в ожидаемом состоянии перед началом измерения";
    case 5: return "щуп не коснулся детали в пределах заданного хода";
    case 6: return "поиск нуля прерван сбросом";
    case 7: return "во время поиска нуля открыта защитная дверца";
    case 8: return "при поиске нуля не удалось отойти от концевого выключателя";
    case 9: return "при поиске нуля концевой выключатель не найден";
    default: return "станок заблокирован (состояние Alarm)";
    }
}

std::string grblAlarmText(int code) {
    return std::string("grbl в состоянии тревоги") + (code > 0 ? ": ALARM:" + std::to_string(code) : "") + " — " +
           grblAlarmMeaning(code) +
           ".\r\nПрограмма тревогу не снимает. Проверьте станок; снять блокировку можно командой $X.";
}

std::string machinePositionText(const MachinePosition& p) {
    const auto mm = [](std::int64_t nano) {
        // Thousandths, rounded half away from zero, as grbl shows them.
        const std::int64_t thousandths = (nano >= 0 ? nano + 500000 : nano - 500000) / 1000000;
        const std::int64_t magnitude = thousandths < 0 ? -thousandths : thousandths;
        std::string fraction = std::to_string(magnitude % 1000);
        fraction.insert(fraction.begin(), 3 - fraction.size(), '0');
        return std::string(thousandths < 0 ? "-" : "") + std::to_string(magnitude / 1000) + "." + fraction;
    };
    return "X " + mm(p.x) + " Y " + mm(p.y) + " Z " + mm(p.z) + " мм";
}

namespace {

std::string grblFaultText(const LinkFault& fault, bool kept) {
    std::string what;
    switch (fault.kind) {
    case LinkFault::Kind::NotOpen:
        what = "Порт контроллера закрыт или grbl не ответил при подключении.";
        break;
    case LinkFault::Kind::Lost:
        what = "Связь с контроллером grbl потеряна.";
        break;
    case LinkFault::Kind::ShortWrite:
        what = "Строка " + quoted(fault.command) + " не ушла в порт целиком.";
        break;
    case LinkFault::Kind::Timeout:
        what = fault.command.empty()
                   ? "grbl не отвечает — ни на строки, ни на запрос состояния — уже " + std::to_string(fault.seconds) +
                         " с."
                   : "Строка " + std::to_string(fault.lineNumber) + " задания " + quoted(fault.command) +
                         " потерялась по пути: grbl стоит (Idle) и не ответил на неё за " +
                         std::to_string(fault.seconds) + " с.";
        break;
    case LinkFault::Kind::Babbling:
        what = "grbl присылает данные, но не ответы на строки.";
        break;
    case LinkFault::Kind::Rejected:
        what = "grbl отверг строку " + std::to_string(fault.lineNumber) + " задания " + quoted(fault.command) +
               ": error:" + std::to_string(fault.code) + " — " + grblErrorMeaning(fault.code) + ".";
        break;
    case LinkFault::Kind::Alarm:
        if (!grblAlarmKeepsPosition(fault.code))
            return grblAlarmText(fault.code) + jobStopped +
                   (kept ? "\r\nПосле этой тревоги grbl не знает точно, где стоит станок, поэтому продолжить "
                           "задание нельзя. Снимите блокировку, выставьте ноль заново и начните задание заново."
                         : "");
        return grblAlarmText(fault.code) + jobStopped +
               (kept ? "\r\nЗадание сохранено: после снятия блокировки фреза поднимется над заготовкой, а "
                       "«Продолжить» спросит grbl, где стоит станок."
                     : "");
    case LinkFault::Kind::OffPath:
        return "Станок стоит не там, куда его привело задание: grbl сообщает " + machinePositionText(fault.at) +
               ", а задание остановилось около " + machinePositionText(fault.expected) +
               ".\r\nПродолжить задание отсюда нельзя, ничего не отправлено.\r\n" + wayBackText(fault);
    case LinkFault::Kind::PositionLost:
        return "После тревоги" + (fault.code > 0 ? " ALARM:" + std::to_string(fault.code) : std::string()) +
               " grbl не знает точно, где стоит станок: продолжить задание с того места, где оно остановилось, "
               "нельзя, ничего не отправлено.\r\nВыставьте ноль заново и начните задание заново.";
    case LinkFault::Kind::NoWorkZero:
        return "grbl не сообщил, где ноль заготовки (WCO), а карта высот задана от него: задание по карте не "
               "начато, ничего не отправлено.\r\nВыставьте ноль заготовки и начните задание заново.";
    case LinkFault::Kind::Restarted:
        return "grbl перезапустился (при открытии порта, по питанию или кнопкой сброса), и его координаты "
               "начались заново: где станок стоит относительно задания, неизвестно.\r\nПродолжить задание "
               "нельзя, ничего не отправлено. Начните задание заново.";
    case LinkFault::Kind::None:
        break;
    }
    std::string message = what + jobStopped;
    if (kept)
        message += "\r\nЗадание сохранено: «Продолжить» спросит grbl, где стоит станок, и продолжит с той строки, "
                   "на которой он остановился.";
    return message;
}

} // namespace

std::string faultText(const LinkFault& fault, bool kept) {
    if (fault.fromGrbl)
        return grblFaultText(fault, kept);
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
    case LinkFault::Kind::Rejected:
    case LinkFault::Kind::Alarm:
    case LinkFault::Kind::OffPath:
    case LinkFault::Kind::Restarted:
    case LinkFault::Kind::PositionLost:
    case LinkFault::Kind::NoWorkZero:
    case LinkFault::Kind::None:
        break; // grbl's own
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
    // What is known: the command was on its way (the journal records it right before the bytes are written),
    // and no "OK" came. Whether it reached the board, only the machine can tell.
    return "Команда " + openMoveName(move) +
           " отправлялась на плату, но «OK» на неё не пришло: дошла ли она до платы, неизвестно.\r\n"
           "Посмотрите на станок: выполнил ли он это перемещение?\r\n"
           "«Да» — считать его сделанным, «Нет» — " +
           (planMove ? std::string("отправить его ещё раз.") : std::string("считать, что его не было."));
}

std::string countText(std::int64_t n, const char* one, const char* few, const char* many) {
    const std::int64_t last = (n < 0 ? -n : n) % 100;
    const char* noun = last % 10 == 1 && last != 11                                 ? one
                       : last % 10 >= 2 && last % 10 <= 4 && (last < 12 || last > 14) ? few
                                                                                    : many;
    return std::to_string(n) + " " + noun;
}

std::string movesText(std::int64_t n) {
    return countText(n, "перемещение", "перемещения", "перемещений");
}

std::string journalFailureText(const std::string& path) {
    return "Журнал задания не удаётся записать на диск (" + path + ")." + std::string(jobStopped);
}

std::string gcodeStartText(std::int32_t x, std::int32_t y, const std::string& rightMm, const std::string& downMm) {
    const auto mm = [](const std::string& number) { return number.empty() ? std::string("?") : number + " мм"; };
    return "пикселем " + std::to_string(x) + ", " + std::to_string(y) + " (" + mm(rightMm) + " правее и " +
           mm(downMm) + " ниже левого верхнего пикселя изображения)";
}

std::string toolText(const ToolShape& tool) {
    const std::string diameter = tool.diameterMm.text() + " мм";
    switch (tool.kind) {
    case ToolKind::Pixel:
        return "";
    case ToolKind::Flat:
        return "Фреза: плоская " + diameter;
    case ToolKind::Ball:
        return "Фреза: шаровая " + diameter;
    case ToolKind::V:
        return "Фреза: V " + diameter + ", " + tool.angleDeg.text() + "°";
    }
    return "";
}

} // namespace zelmar
