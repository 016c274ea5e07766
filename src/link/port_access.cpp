#include "port_access.h"

#if defined(Q_OS_UNIX)
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>
#endif

namespace zelmar {

QString portDevicePath(const QString& portName) {
#if defined(Q_OS_WIN)
    if (portName.startsWith(QStringLiteral("COM")))
        return QStringLiteral("\\\\.\\") + portName;
    return portName;
#else
    if (portName.startsWith(QLatin1Char('/')) || portName.startsWith(QStringLiteral("./")) ||
        portName.startsWith(QStringLiteral("../")))
        return portName;
    return QStringLiteral("/dev/") + portName;
#endif
}

PortProbe probePort(const QString& portName) {
    PortProbe probe;
    probe.devicePath = portDevicePath(portName);
#if defined(Q_OS_UNIX)
    const QByteArray path = probe.devicePath.toLocal8Bit();
    struct stat st {};
    probe.exists = ::stat(path.constData(), &st) == 0;
    if (!probe.exists)
        return probe;
    probe.accessible = ::access(path.constData(), R_OK | W_OK) == 0;
    if (const passwd* user = ::getpwuid(::getuid()))
        probe.userName = QString::fromLocal8Bit(user->pw_name);
    if (const group* g = ::getgrgid(st.st_gid)) {
        probe.groupName = QString::fromLocal8Bit(g->gr_name);
        for (char** member = g->gr_mem; member && *member; ++member)
            probe.userListedInGroup =
                probe.userListedInGroup || probe.userName == QString::fromLocal8Bit(*member);
    }
    probe.processInGroup = ::getegid() == st.st_gid;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(count > 0 ? count : 0));
    if (count > 0 && ::getgroups(count, groups.data()) == count)
        for (const gid_t g : groups)
            probe.processInGroup = probe.processInGroup || g == st.st_gid;
#endif
    return probe;
}

PortProblem classifyOpenFailure(QSerialPort::SerialPortError error, const PortProbe& probe) {
    if (!probe.exists || error == QSerialPort::DeviceNotFoundError)
        return PortProblem::NotFound;
    if (!probe.accessible)
        return PortProblem::NoPermission;
    // Allowed to open it and still refused: another program holds it (its lock file, or exclusive use).
    if (error == QSerialPort::PermissionError)
        return PortProblem::Busy;
    return PortProblem::Other;
}

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

QString openFailureHint(const QString& portName, QSerialPort::SerialPortError error) {
    const PortProbe probe = probePort(portName);
    return portProblemHint(classifyOpenFailure(error, probe), probe);
}

QString settingsRefusedHint(const QString& portName) {
    return QStringLiteral("Порт %1 открылся, но не принял настройки линии (9600 бод, 8 бит, без чётности, "
                          "1 стоповый бит).")
        .arg(portDevicePath(portName));
}

} // namespace zelmar
