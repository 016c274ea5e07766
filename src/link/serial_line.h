#pragma once
// The serial line to a controller board as a plain object: open says whether it opened, write whether the
// port took the bytes; what arrives is announced and read when the reader wants it. A line that fails (the
// board hung up, the adapter was pulled) is closed at once and stays lost until the next open: Qt would
// otherwise report the same error on every pass of the event loop.

#include <QByteArray>
#include <QObject>
#include <QSerialPort>

#include <string_view>

namespace zelmar {

class SerialLine : public QObject {
    Q_OBJECT
public:
    enum class OpenFailure { None, CannotOpen, SettingsRefused };
    enum class Loss { None, DeviceGone, ReadFailed, WriteFailed };

    explicit SerialLine(QObject* parent = nullptr);
    ~SerialLine() override;

    // 8 data bits, no parity, one stop bit at the given rate; with hardwareHandshake RTS/CTS and DTR on where
    // the device has modem lines (a pseudo-terminal has none and still counts as open).
    bool open(const QString& name, int baudRate, bool hardwareHandshake = true);
    void close();
    bool isOpen() const { return port_.isOpen(); }
    OpenFailure openFailure() const { return openFailure_; }
    // Qt's error of the last failed open (a missing device, no permission, busy).
    QSerialPort::SerialPortError openError() const { return openError_; }
    const QString& name() const { return name_; }
    // The line failed while open, and how.
    Loss loss() const { return loss_; }

    // Queues the bytes; false, with nothing queued, when the line is not open or took fewer bytes.
    bool write(std::string_view bytes);
    qint64 bytesToWrite() const { return port_.bytesToWrite(); }
    QByteArray readAll();
    // Throws away what the board sent and nobody read, e.g. a late "OK" after a time-out.
    void discardInput();
    void discardOutput();

signals:
    void readyRead();
    // Every queued byte has left.
    void allWritten();
    void lost();

private:
    void onError(QSerialPort::SerialPortError error);

    QSerialPort port_;
    QString name_;
    OpenFailure openFailure_ = OpenFailure::None;
    QSerialPort::SerialPortError openError_ = QSerialPort::NoError;
    Loss loss_ = Loss::None;
};

} // namespace zelmar
