#include "port_texts.h"

namespace zelmar {

QString portProblemHint(PortProblem problem, const PortProbe& probe) {
    const QString& path = probe.devicePath;
    switch (problem) {
    case PortProblem::NoPermission: {
        // Serial adapters belong to dialout on Debian and its kin; root and tty own devices no user should
        // join.
        const bool userGroup = !probe.groupName.isEmpty() && probe.groupName != QLatin1String("root") &&
                               probe.groupName != QLatin1String("tty");
        const QString group = userGroup ? probe.groupName : QStringLiteral("dialout");
        const QString user = probe.userName.isEmpty() ? QStringLiteral("$USER") : probe.userName;
        if (userGroup && probe.processInGroup)
            return QStringLiteral("Нет прав на чтение и запись порта %1, хотя пользователь в группе %2: "
                                  "проверьте права устройства (ls -l %1).")
                .arg(path, group);
        if (userGroup && probe.userListedInGroup)
            return QStringLiteral("Нет прав на порт %1. Пользователь %2 уже в группе %3, но этот сеанс начат "
                                  "раньше: выйдите из системы и войдите снова.")
                .arg(path, user, group);
        return QStringLiteral(
                   "Нет прав на порт %1: %2. Добавьте пользователя в группу (sudo usermod -aG %3 %4), "
                   "затем выйдите из системы и войдите снова.")
            .arg(path,
                 userGroup ? QStringLiteral("доступ к нему есть у группы %1").arg(group)
                           : QStringLiteral("последовательные порты обычно доступны группе dialout"),
                 group, user);
    }
    case PortProblem::Busy:
        return QStringLiteral("Порт %1 занят другой программой (или остался её файл блокировки): закройте её "
                              "и попробуйте снова.")
            .arg(path);
    case PortProblem::NotFound:
#if defined(Q_OS_UNIX)
        return QStringLiteral("Устройство %1 не найдено: проверьте, подключена ли плата, и имя порта (путь "
                              "без «/» или «./» в начале ищется в /dev).")
            .arg(path);
#else
        return QStringLiteral("Устройство %1 не найдено: проверьте, подключена ли плата, и имя порта.")
            .arg(path);
#endif
    case PortProblem::Other:
        break;
    }
    return QStringLiteral("Порт %1 не открылся.").arg(path);
}

QString settingsRefusedHint(const QString& portName) {
    return QStringLiteral("Порт %1 открылся, но не принял настройки линии (9600 бод, 8 бит, без чётности, "
                          "1 стоповый бит).")
        .arg(portDevicePath(portName));
}

std::string portHintText(const PortHint& hint) {
    const auto problem = [&hint](PortProblem kind) { return portProblemHint(kind, hint.probe).toStdString(); };
    switch (hint.code) {
    case PortHint::Code::None:
        return "";
    case PortHint::Code::SettingsRefused:
        return settingsRefusedHint(hint.portName).toStdString();
    case PortHint::Code::NoPermission:
        return problem(PortProblem::NoPermission);
    case PortHint::Code::Busy:
        return problem(PortProblem::Busy);
    case PortHint::Code::NotFound:
        return problem(PortProblem::NotFound);
    case PortHint::Code::Other:
        break;
    }
    return problem(PortProblem::Other);
}

} // namespace zelmar
