#pragma once
// The line to the machine: the serial port and, on it, our board's link or grbl's, as configured. It opens the
// port, opens it again to continue a job, waits for grbl's hello, and tells how far the line has got and why a
// port did not open.

#include "config/settings_table.h"
#include "config/startup_config.h"
#include "link/board_link.h"
#include "link/grbl_link.h"
#include "link/serial_line.h"
#include "port_hint.h"

#include <QObject>
#include <QString>

#include <memory>

namespace zelmar {

class MachineLine : public QObject {
    Q_OBJECT
public:
    enum class State {
        NotOpen,      // the port did not open
        Open,         // ready for jobs
        AwaitingGrbl, // the port is open, grbl has not said hello yet
        GrblSilent,   // grbl never said hello
        Lost,         // the line failed
    };

    explicit MachineLine(QObject* parent = nullptr);
    ~MachineLine() override;

    // The port, the controller on it and their settings; grbl's link is made the first time it is configured.
    void configure(const StartupConfig& config);
    // Opens the configured port: our board at once; grbl once it says hello (changed() follows). False when the
    // port itself did not open; hint() says why.
    bool open();
    // After open() to continue a job on grbl: reopened() follows its hello, reopenFailed() its silence.
    void continueOnHello() { continueOnHello_ = true; }

    State state() const;
    bool ready() const { return state() == State::Open; }
    bool isGrbl() const { return grbl_ != nullptr; }
    // What a job or a move on this line needs of the settings (settingNeeds): our board's, or grbl's output.
    unsigned needs() const { return grbl_ ? settingNeeds::onGrbl : settingNeeds::onBoard; }
    const PortHint& hint() const { return hint_; }
    int baud() const { return baud_; }
    SerialLine& serialLine() { return line_; }
    BoardLink& boardLink() { return link_; }
    GrblLink* grblLink() const { return grbl_.get(); }
    MachineLink& machineLink() { return grbl_ ? static_cast<MachineLink&>(*grbl_) : link_; }

    // Nothing more goes out: the window is closing.
    void abort();
    void close() { line_.close(); }

signals:
    // Opened, lost, grbl answered or stayed silent.
    void changed();
    void lost();
    // grbl's state or position; an alarm is announced first.
    void statusChanged();
    void alarmRaised();
    void reopened();
    void reopenFailed();

private:
    void onGrblConnected();
    void onGrblSilent();

    SerialLine line_;
    BoardLink link_{line_};
    std::unique_ptr<GrblLink> grbl_;
    QString portName_ = QString::fromUtf8(defaultPortName);
    int baud_ = StartupConfig{}.baud; // grbl's; our board talks at its own
    bool grblSilent_ = false;
    bool continueOnHello_ = false;
    PortHint hint_;
};

} // namespace zelmar
