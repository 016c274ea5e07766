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

} // namespace zelmar
