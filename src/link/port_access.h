#pragma once
// Why the board's port did not open. On Linux a serial device usually belongs to the group dialout, and a user outside it gets "permission denied"; Qt reports the same
// error when another program holds the port (its lock file), so the device's own permissions decide which.

#include <QSerialPort>
#include <QString>

#include <string>

namespace zelmar {

enum class PortProblem { NoPermission, Busy, NotFound, Other };

// What the system says about the device behind a port name. Gathered by probePort where the system can tell
// (POSIX); elsewhere the device counts as present and accessible.
struct PortProbe {
    QString devicePath; // the name as Qt completes it: /dev/ in front of a bare name
    bool exists = true;
    bool accessible = true;         // this process may read and write it
    QString groupName;              // the device's group, e.g. "dialout"; empty where unknown
    bool processInGroup = false;    // this process has that group now
    bool userListedInGroup = false; // the group lists the user: a new login would give it
    QString userName;
};

// The device path Qt opens for a port name.
QString portDevicePath(const QString& portName);
PortProbe probePort(const QString& portName);

// The error QSerialPort reported for the failed open, and what the device allows.
PortProblem classifyOpenFailure(QSerialPort::SerialPortError error, const PortProbe& probe);

} // namespace zelmar
