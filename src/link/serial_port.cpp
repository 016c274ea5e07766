#include "serial_port.h"

#include <QThread>

namespace zelmar {

SerialPort::SerialPort(QObject* parent) : QObject(parent) {
    activity_.start();
    written_.start();
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialPort::onError);
}

SerialPort::~SerialPort() {
    port_.close();
}

int SerialPort::OpenPort(const QString& name, int baudRate) {
    portStatus_ = -1;
    lostReason_.clear();
    if (port_.isOpen())
        port_.close();
    port_.setPortName(name);
    openError_ = QSerialPort::NoError;
    if (!port_.open(QIODevice::ReadWrite)) {
        openError_ = port_.error();
        return handle_ = cannotOpen;
    }
    const bool settled = port_.setBaudRate(baudRate) && port_.setDataBits(QSerialPort::Data8) &&
                         port_.setParity(QSerialPort::NoParity) && port_.setStopBits(QSerialPort::OneStop);
    if (!settled) {
        port_.close();
        return handle_ = settingsRefused;
    }
    // Handshake and DTR where the device can: a pseudo-terminal has no modem lines and works without them.
    port_.setFlowControl(QSerialPort::HardwareControl);
    port_.setDataTerminalReady(true);
    port_.clearError();
    portStatus_ = 0;
    activity_.restart();
    return handle_ = 1;
}

void SerialPort::WritePort(int handle, const std::string& text) {
    if (handle != handle_ || !port_.isOpen()) {
        portStatus_ = -1;
        return;
    }
    const auto n = static_cast<qint64>(text.size());
    qint64 accepted = n > 0 ? port_.write(text.data(), n) : 0;
    QElapsedTimer elapsed;
    elapsed.start();
    const qint64 limit = 10 * n + 1000;
    while (accepted == n && port_.isOpen() && port_.bytesToWrite() > 0) {
        // One reading of the clock: a remainder that went negative in between would mean "wait for ever".
        const qint64 left = limit - elapsed.elapsed();
        if (left <= 0)
            break;
        port_.waitForBytesWritten(static_cast<int>(left));
    }
    const bool allOut = accepted == n && port_.isOpen() && port_.bytesToWrite() == 0;
    if (n > 0) {
        activity_.restart();
        written_.restart();
    }
    pause(writePauseMs_);
    if (!allOut && port_.isOpen())
        port_.clear(QSerialPort::Output); // a stuck remainder must not leave later, glued to the next command
    portStatus_ = allOut ? 0 : -1;
}

int SerialPort::ReadPortByte(int handle) {
    if (handle != handle_ || !port_.isOpen()) {
        portStatus_ = -1;
        return -1;
    }
    if (port_.bytesAvailable() == 0)
        port_.waitForReadyRead(0); // takes what the system has received, without waiting
    char c;
    if (!port_.isOpen() || !port_.getChar(&c)) {
        portStatus_ = -1;
        return -1;
    }
    activity_.restart();
    portStatus_ = 0;
    return static_cast<unsigned char>(c);
}

void SerialPort::ClosePort(int handle) {
    if (handle == handle_ && port_.isOpen())
        port_.close();
}

bool SerialPort::waitForInput(int ms) {
    if (!port_.isOpen())
        return false;
    if (port_.bytesAvailable() > 0)
        return true;
    return port_.waitForReadyRead(ms);
}

void SerialPort::discardInput() {
    if (!port_.isOpen())
        return;
    while (port_.waitForReadyRead(0)) {
    }
    port_.clear(QSerialPort::Input);
    port_.readAll();
}

void SerialPort::onError(QSerialPort::SerialPortError error) {
    // Open, handshake and timeout reports are not line failures; these three are, and Qt repeats them on
    // every event-loop pass until the port is closed.
    if (error != QSerialPort::ReadError && error != QSerialPort::WriteError &&
        error != QSerialPort::ResourceError)
        return;
    if (!port_.isOpen())
        return;
    lostReason_ = error == QSerialPort::ResourceError
                      ? QStringLiteral("устройство порта пропало или плата отключилась")
                  : error == QSerialPort::ReadError ? QStringLiteral("ошибка чтения: линия оборвана")
                                                    : QStringLiteral("ошибка записи в порт");
    portStatus_ = -1;
    port_.close();
}

void SerialPort::pause(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (pump_)
            pump_();
        // Read the clock again: the events may have taken the rest of the pause and more, and a negative
        // remainder turned unsigned would sleep for ever.
        const qint64 left = ms - t.elapsed();
        if (left <= 0)
            break;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(2, left)));
    }
}

} // namespace zelmar
