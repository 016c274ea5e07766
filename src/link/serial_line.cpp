#include "serial_line.h"

namespace zelmar {

SerialLine::SerialLine(QObject* parent) : QObject(parent) {
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLine::onError);
    connect(&port_, &QSerialPort::readyRead, this, &SerialLine::readyRead);
    connect(&port_, &QSerialPort::bytesWritten, this, [this] {
        if (port_.bytesToWrite() == 0)
            emit allWritten();
    });
}

SerialLine::~SerialLine() {
    port_.close();
}

bool SerialLine::open(const QString& name, int baudRate, bool hardwareHandshake) {
    loss_ = Loss::None;
    openFailure_ = OpenFailure::None;
    openError_ = QSerialPort::NoError;
    name_ = name;
    if (port_.isOpen())
        port_.close();
    port_.setPortName(name);
    if (!port_.open(QIODevice::ReadWrite)) {
        openError_ = port_.error();
        openFailure_ = OpenFailure::CannotOpen;
        return false;
    }
    const bool settled = port_.setBaudRate(baudRate) && port_.setDataBits(QSerialPort::Data8) &&
                         port_.setParity(QSerialPort::NoParity) && port_.setStopBits(QSerialPort::OneStop);
    if (!settled) {
        openError_ = port_.error();
        port_.close();
        openFailure_ = OpenFailure::SettingsRefused;
        return false;
    }
    // Handshake and DTR where the device can: a pseudo-terminal has no modem lines and works without them.
    port_.setFlowControl(hardwareHandshake ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl);
    port_.setDataTerminalReady(true);
    port_.clearError();
    return true;
}

void SerialLine::close() {
    if (port_.isOpen())
        port_.close();
}

bool SerialLine::write(std::string_view bytes) {
    if (!port_.isOpen())
        return false;
    const auto n = static_cast<qint64>(bytes.size());
    if (n == 0)
        return true;
    const qint64 accepted = port_.write(bytes.data(), n);
    if (accepted == n)
        return true;
    discardOutput(); // a stuck remainder must not leave later, glued to the next command
    return false;
}

QByteArray SerialLine::readAll() {
    return port_.isOpen() ? port_.readAll() : QByteArray();
}

void SerialLine::discardInput() {
    if (!port_.isOpen())
        return;
    port_.clear(QSerialPort::Input);
    port_.readAll();
}

void SerialLine::discardOutput() {
    if (port_.isOpen())
        port_.clear(QSerialPort::Output);
}

void SerialLine::onError(QSerialPort::SerialPortError error) {
    // Open, handshake and timeout reports are not line failures; these three are, and Qt repeats them on
    // every event-loop pass until the port is closed.
    if (error != QSerialPort::ReadError && error != QSerialPort::WriteError &&
        error != QSerialPort::ResourceError)
        return;
    if (!port_.isOpen())
        return;
    loss_ = error == QSerialPort::ResourceError ? Loss::DeviceGone
            : error == QSerialPort::ReadError   ? Loss::ReadFailed
                                                : Loss::WriteFailed;
    port_.close();
    emit lost();
}

} // namespace zelmar
