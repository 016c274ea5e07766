#pragma once
// A grbl 1.1 controller on a serial line. Connecting waits for its welcome line and sends one soft reset when
// none comes, then reads the rates its motion takes with "$$"; a job's G-code lines stream with character
// counting (as many lines in flight as fit its 128-byte receive buffer, each "ok" freeing its line's bytes);
// "?" asks for its state about five times a second; "!" holds, "~" goes on, and a stop is a hold, then, once
// the machine stands, a soft reset that drops what was queued (the runner then lifts the tool out of the
// stock). An alarm is reported and never cleared by the program on its own.

#include "grbl_protocol.h"
#include "mill/gcode.h"
#include "streaming_link.h"

#include <QElapsedTimer>
#include <QTimer>

#include <deque>
#include <optional>

namespace zelmar {

class GrblLink : public StreamingLink {
    Q_OBJECT
public:
    static constexpr int defaultBaud = 115200;
    static constexpr int welcomeWaitMs = 2000;
    static constexpr int statusEveryMs = 200;
    // While the machine is awaited to stand (the end of a region, of a job), so that it stands no longer than
    // needed: brief, and still within what grbl answers without strain.
    static constexpr int statusWhileAwaitingMs = 50;
    // A line still unanswered while grbl reports standing idle this long was lost on the way.
    static constexpr int lostLineMs = 2000;

    GrblLink(SerialLine& line, const Decimal& mmPerStep, std::int32_t feed, QObject* parent = nullptr);

    void setTimeoutMs(std::int64_t ms) { timeoutMs_ = ms; }

    // Opens the line at the rate, 8N1 without handshake, and waits for grbl: connected() or notConnected()
    // follows. False when the port itself cannot be opened.
    bool connectTo(const QString& portName, int baud);
    bool isConnected() const { return connected_; }
    // The rates grbl's motion takes ($11, $110-$122), as read after its welcome; grbl's defaults until then.
    const MachineRates& rates() const { return rates_; }
    // All of them came from the controller connected now.
    bool ratesRead() const { return ratesRead_; }
    // The last status report, and whether there was one.
    const std::optional<GrblStatus>& status() const { return status_; }
    // The alarm grbl is in (0: none); set by "ALARM:N" or an Alarm state, cleared only by clearAlarm().
    int alarm() const { return alarm_; }
    // The operator asks for the alarm lock to go: a reset, then "$X".
    void clearAlarm();
    // A line of the machine's set-up (homing, an offset, a probe), no job's: setupAnswered() follows its answer.
    // "$H" and "$X" answered "ok" end an alarm.
    void sendSetupLine(const std::string& line) { sendOwn(InFlight::Kind::Setup, line); }
    void cancelJog() { writeRealtime(grblJogCancel); }
    void overrideFeed(GrblOverride o) { writeRealtime(grblFeedOverrideByte(o)); }
    void overrideSpindle(GrblOverride o) { writeRealtime(grblSpindleOverrideByte(o)); }
    // The G54 offset (machine minus work) as last reported: reports without one keep it.
    const std::optional<GrblTriple>& workOffset() const { return workOffset_; }
    const std::optional<GrblOverrides>& overrides() const { return overrides_; }
    const std::optional<GrblProbe>& lastProbe() const { return lastProbe_; }
    // A jog: "$J=G91 G21 X… Y… Z… F…", the counts of the board times the millimetres a step.
    std::string jogLine(const CommandMove& move, std::int32_t stepsPerPixel) const;

    bool isOpen() const override { return line_.isOpen() && connected_; }
    MoveText commandFor(const CommandMove& command, std::int32_t stepsPerPixel) const override;
    bool canSend(std::size_t bytes) const override;
    void send(const std::string& command) override;
    void prepareForJob() override;
    void abort() override;

    void hold() override;
    void release() override;
    void stopAndDrop() override;
    void awaitIdle() override;
    // The spindle started with the modes: at a job's start and again whenever grbl dropped its queue (a stop), so
    // that no move of a job, and no plunge, ever runs with the spindle standing.
    void setSpindle(const Spindle& spindle) { spindle_ = spindle; }
    // How the machine's axes take the picture (GcodeSettings), and the plunge feed (0: the feed).
    void setMachineFrame(std::int32_t axisX, std::int32_t axisY, std::int32_t plungeFeed) {
        axisX_ = axisX;
        axisY_ = axisY;
        plungeFeed_ = plungeFeed;
    }
    // The rise to the travel height after the job's last move, for the job about to run.
    void setEndRise(std::int32_t depthUnits, std::int32_t stepsPerPixel) {
        endRise_ = depthUnits;
        endRiseScale_ = stepsPerPixel;
    }
    std::vector<std::string> modalLines() const override;
    std::string rawMove(const MachinePosition& delta, bool rapid) const override;
    bool travelOf(const CommandMove& command, std::int32_t stepsPerPixel, MachinePosition& travel) const override;
    std::vector<std::string> closingLines() const override;
    std::vector<std::string> liftLines(std::int64_t up) const override;
    bool takesMoveAside() const override;
    std::optional<MachinePosition> workZero() const override;
    std::int64_t stepTravel() const override;
    std::string pieceLine(const CommandMove& command, std::int32_t stepsPerPixel, const StepPoint& delta) const override;
    std::uint64_t positionEpoch() const override { return positionEpoch_; }

    static MachinePosition positionOf(const GrblStatus& status);

signals:
    void connected();
    // No welcome came, not even after a soft reset.
    void notConnected();
    void statusChanged();
    // "ALARM:N" or a status in Alarm: the code (0 when only the state said so).
    void alarmRaised(int code);
    // A set-up line was answered: "ok", or "error:N" (its code).
    void setupAnswered(bool ok, int code);
    // "[PRB:…]": where the probe stopped and whether it touched.
    void probed(const zelmar::GrblProbe& probe);

private:
    enum class Stopping { No, Holding, Resetting };
    std::int64_t now() const { return clock_.elapsed(); }
    void onBytes();
    void onReply(const GrblReply& reply);
    void onLost();
    void tick();
    void fail(LinkFault fault);
    void writeRealtime(char byte);
    // "?": one status report answers each, in order.
    void askStatus();
    void resetSent();
    // A soft reset of ours: its welcome does not mean the coordinates started afresh.
    void ownReset();

    SerialLine& line_;
    Spindle spindle_;
    Decimal mmPerStep_;
    std::int32_t feed_;
    std::int32_t axisX_ = 1;
    std::int32_t axisY_ = 1;
    std::int32_t plungeFeed_ = 0;
    std::int32_t endRise_ = 0;
    std::int32_t endRiseScale_ = 1;

    GcodeWriter writerAt(std::int32_t stepsPerPixel) const;
    std::int64_t timeoutMs_ = 30000;
    GrblReplies replies_;
    CharacterCounter counter_;
    // A line not yet answered: a job's (what it said), or one of our own that no job waits for.
    struct InFlight {
        enum class Kind { Job, Unlock, Settings, Setup };
        Kind kind = Kind::Job;
        std::string line;
    };
    // Our own line: written and counted, its answer never taken for a job's.
    void sendOwn(InFlight::Kind kind, const std::string& line);
    std::deque<InFlight> inFlight_; // in order
    std::int64_t jobLinesInFlight() const;
    std::int64_t linesSent_ = 0;      // in the current job, for the line's number in a message
    std::optional<GrblStatus> status_;
    QTimer ticker_;
    QTimer welcomeTimer_;
    QElapsedTimer clock_;
    std::int64_t lastHeardAt_ = 0;
    std::int64_t waitingSince_ = -1; // an answer or a status is due since then
    bool connected_ = false;
    bool resetTried_ = false;
    bool aborted_ = false;
    bool awaitingIdle_ = false;
    Stopping stopping_ = Stopping::No;
    int alarm_ = 0;
    bool unlockAfterReset_ = false;
    bool resetByUs_ = false;
    std::uint64_t positionEpoch_ = 0;
    std::uint64_t queriesSent_ = 0;
    std::uint64_t reportsSeen_ = 0;
    std::uint64_t idleAfterReport_ = 0; // awaitIdle() takes a report after this many
    std::optional<GrblTriple> workOffset_;
    std::optional<GrblOverrides> overrides_;
    std::optional<GrblProbe> lastProbe_;
    MachineRates rates_;
    MachineRates ratesComing_; // the "$$" listing's, until its "ok"
    unsigned ratesSeen_ = 0;   // which of its seven came, a bit each
    bool ratesRead_ = false;
};

} // namespace zelmar
