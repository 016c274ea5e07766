#include "setup_texts.h"

#include "operator_texts.h"

namespace zelmar {

namespace {

std::string mm(std::int64_t thousandths) {
    const std::int64_t magnitude = thousandths < 0 ? -thousandths : thousandths;
    std::string fraction = std::to_string(magnitude % 1000);
    fraction.insert(fraction.begin(), 3 - fraction.size(), '0');
    return (thousandths < 0 ? "-" : "") + std::to_string(magnitude / 1000) + "." + fraction;
}

std::string triple(const GrblTriple& t) {
    return "X " + mm(t.x) + " Y " + mm(t.y) + " Z " + mm(t.z);
}

// The past participle's ending after the name: "не начат", "не начата", "не начато".
std::string ending(Operation::Kind kind) {
    switch (kind) {
    case Operation::Kind::Home:
    case Operation::Kind::GotoZero: return "";
    case Operation::Kind::Zero: return "а";
    default: return "о";
    }
}

} // namespace

std::string setupName(Operation::Kind kind) {
    switch (kind) {
    case Operation::Kind::Home: return "Поиск нуля станка";
    case Operation::Kind::Unlock: return "Снятие блокировки";
    case Operation::Kind::Zero: return "Установка нуля заготовки";
    case Operation::Kind::GotoZero: return "Переход в ноль заготовки";
    case Operation::Kind::ProbeZ: return "Измерение высоты щупом";
    case Operation::Kind::Jog: return "Перемещение станка";
    case Operation::Kind::ProbeMap: return "Снятие карты высот";
    default: return "Наладка станка";
    }
}

std::string setupRefusalText(Operation::Kind kind, MachineSetupPart::Refusal refusal,
                             const std::vector<SettingProblem>& blocking) {
    const std::string start = setupName(kind) + " не начат" + ending(kind) + ": ";
    using Refusal = MachineSetupPart::Refusal;
    switch (refusal) {
    case Refusal::None:
        return {};
    case Refusal::NotGrbl:
        return start + "это умеет только контроллер grbl (Controller=grbl).";
    case Refusal::NotConnected:
        return start + "станок не подключён или grbl ещё не ответил. Ничего не отправлено.";
    case Refusal::Busy:
        return start + "идёт задание; дождитесь его конца или остановите его.";
    case Refusal::SettingUp:
        return start + "станок ещё выполняет предыдущую команду наладки.";
    case Refusal::BadSetting: {
        std::string text = start + "в файле настроек неверно задано то, что ему нужно.";
        for (const SettingProblem& problem : blocking)
            text += "\r\n• " + settingProblemText(problem);
        return text + "\r\nИсправьте cnc.ini и откройте рабочее окно снова. Ничего не отправлено.";
    }
    case Refusal::NotSetUp:
        return start + "это не команда наладки.";
    case Refusal::NoGrid:
        return start + "точки сетки не помещаются на картинке (картинка не загружена или поля шире её). Ничего "
                       "не отправлено.";
    }
    return start;
}

std::string setupFailureText(Operation::Kind kind, const SetupFailure& failure) {
    using Kind = SetupFailure::Kind;
    const std::string unlock = " Станок заблокирован: снимите блокировку ($X), прежде чем продолжать.";
    switch (failure.kind) {
    case Kind::NoContact:
        if (kind == Operation::Kind::ProbeMap)
            return "Щуп не коснулся заготовки: касания нет в пределах хода измерения" +
                   (failure.code > 0 ? " (ALARM:" + std::to_string(failure.code) + ")" : std::string()) +
                   ". Карта высот не снята." + (failure.code > 0 ? unlock : std::string()) +
                   " Проверьте провод щупа и глубину поиска (ProbeDepth): заготовка может лежать ниже нуля не "
                   "больше чем на неё.";
        return "Щуп не коснулся пластины: касания нет в пределах хода измерения" +
               (failure.code > 0 ? " (ALARM:" + std::to_string(failure.code) + ")" : std::string()) +
               ". Ноль по Z не изменён." + (failure.code > 0 ? unlock : std::string()) +
               " Проверьте пластину, провод щупа и глубину поиска (ProbeDepth).";
    case Kind::AlreadyTouching:
        if (kind == Operation::Kind::ProbeMap)
            return "Щуп уже касался заготовки до начала измерения (ALARM:4): карта высот не снята." + unlock +
                   " Проверьте провод щупа и высоту подъёма между точками.";
        return "Щуп уже касался пластины до начала измерения (ALARM:4): станок не двигался, ноль по Z не изменён." +
               unlock + " Проверьте провод щупа и поднимите фрезу над пластиной.";
    case Kind::NoWorkOffset:
        return "Снятие карты высот не выполнено: grbl не сообщил, где ноль заготовки (WCO), а высоты карты "
               "отсчитываются от него. Выставьте ноль заготовки и снимите карту снова.";
    case Kind::Refused:
        return setupName(kind) + " не выполнен" + ending(kind) + ": grbl отказал в строке «" + failure.line + "»: error:" + std::to_string(failure.code) + " — " +
               grblErrorMeaning(failure.code) + ".";
    case Kind::Alarm:
        return grblAlarmText(failure.code);
    case Kind::LineFault:
        return faultText(failure.fault, false);
    }
    return setupName(kind);
}

std::string setupDoneText(Operation::Kind kind) {
    return setupName(kind) + " выполнен" + ending(kind) + ".";
}

std::string badJogText() {
    return setupName(Operation::Kind::Jog) + " не начато: смещения по X, Y и Z — числа в миллиметрах со знаком "
                                             "(например -2.5), пустое поле — 0. Ничего не отправлено.";
}

std::string noCoordinatesText() {
    return "grbl ещё не сообщил, где стоит станок.";
}

std::string coordinatesText(const MachineCoordinates& c) {
    std::string text;
    if (c.machine)
        text = "Станок " + triple(*c.machine);
    if (const std::optional<GrblTriple> work = c.work())
        text += (text.empty() ? "Заготовка " : ", заготовка ") + triple(*work);
    text += " (мм)";
    if (c.overrides)
        text += "; подача " + std::to_string(c.overrides->feed) + " %, шпиндель " +
                std::to_string(c.overrides->spindle) + " %";
    return text;
}

} // namespace zelmar
