#pragma once
// The serial line to the controller board: open with the board's settings, write and wait until the bytes are
// out, poll single received bytes without ever blocking, close. A line that fails (the board hung up, the
// adapter was pulled) is closed at once and stays lost until the next open: Qt would otherwise report the
// same error on every pass of the event loop.

#include "board_line.h"

#include <QObject>
#include <QSerialPort>

#include <QElapsedTimer>

#include <functional>
#include <string>

namespace zelmar {

class SerialPort : public QObject, public BoardLine {
public:
    static constexpr int cannotOpen = -1;
    static constexpr int settingsRefused = -2;

    explicit SerialPort(QObject* parent = nullptr);
    ~SerialPort() override;

    // The protocol's pause after every write. Only long soak tests shorten it, so that thousands of moves fit
    // in a test run.
    static constexpr int protocolPauseMs = 100;
    void setWritePauseMs(int ms) { writePauseMs_ = ms; }

    // Runs pending window events while a write pauses, so the window stays live.
    void setEventPump(std::function<void()> pump) { pump_ = std::move(pump); }

    // A positive handle, cannotOpen or settingsRefused. 8 data bits, no parity, one stop bit, RTS/CTS, DTR on
    // where the device has modem lines (a pseudo-terminal has none and still counts as open).
    int OpenPort(const QString& name, int baudRate);
    // Waits until the text is out (at most 10 ms a byte + 1000 ms), then pauses 100 ms. A short write, or a
    // closed or lost line, sets portStatus to -1.
    void WritePort(int handle, const std::string& text) override;
    // A received byte 0..255, or -1 when none is there now.
    int ReadPortByte(int handle) override;
    void ClosePort(int handle);
    // What Qt reported when the last OpenPort failed (NoError after a successful one).
    QSerialPort::SerialPortError openError() const { return openError_; }

    int portStatus() const override { return portStatus_; }
    bool isOpen() const override { return port_.isOpen(); }
    // The line failed while open; lostReason() says how, in Russian.
    bool isLost() const override { return !lostReason_.isEmpty(); }
    const QString& lostReason() const { return lostReason_; }
    std::string lostReasonText() const override { return lostReason_.toStdString(); }

    // Waits at most ms for input to arrive (returns at once when some is there); false on a closed line.
    bool waitForInput(int ms) override;
    // Throws away what the board sent and nobody read, e.g. a late "OK" after a time-out.
    void discardInput() override;
    // Milliseconds since a byte last went out or came in.
    std::int64_t msSinceActivity() const override { return activity_.elapsed(); }
    std::int64_t msSinceWrite() const override { return written_.elapsed(); }

private:
    void onError(QSerialPort::SerialPortError error);
    void pause(int ms);

    QSerialPort port_;
    std::function<void()> pump_;
    int writePauseMs_ = protocolPauseMs;
    int portStatus_ = 0;
    int handle_ = cannotOpen;
    QSerialPort::SerialPortError openError_ = QSerialPort::NoError;
    QString lostReason_;
    QElapsedTimer activity_;
    QElapsedTimer written_;
};

} // namespace zelmar
