#pragma once
// The machine's set-up on grbl, apart from any job: homing, the unlock, the work zero, the way back to it, a jog
// and the probe of the tool's height on a touch plate. Each is a short list of steps (a line and its "ok", or the
// wait until grbl stands idle) run one after the other as grbl answers; the first refusal, alarm or fault of the
// line ends the list, and nothing after it is sent.

#include "link/grbl_link.h"
#include "mill/gcode.h"
#include "mill/operations.h"
#include "mill/probe_grid.h"

#include <QObject>

#include <optional>
#include <string>
#include <vector>

namespace zelmar {

struct SetupStep {
    enum class Kind {
        Line,     // a line, answered "ok"
        Probe,    // a probing line: "ok" after a contact; no contact fails
        AwaitIdle // until grbl reports standing idle with nothing queued
    };
    Kind kind = Kind::Line;
    std::string line;
    bool operator==(const SetupStep&) const = default;
};

// What the steps take from the settings; millimetres as grbl reads them.
struct SetupSettings {
    std::string travelMm = "1"; // above the work's zero on the way to it
    std::string retractMm = "5"; // up from the plate after the probe
    std::int32_t feed = 300;      // a jog's
    std::int32_t plungeFeed = 300; // down to the work's zero
    std::int32_t probeFeed = 50;
    Decimal probeDepth{10, 0};
    Decimal plate{0, 0};
    std::optional<ProbeGrid> grid; // a height map's points
};

// The steps of a set-up operation; none for any other operation.
std::vector<SetupStep> setupSteps(const Operation& operation, const SetupSettings& settings);

// A jog held by a key goes out as short segments, each this long at the jog's feed.
constexpr int heldJogSegmentMs = 200;
// One segment of a held jog along "X", "Y" or "Z", `direction` +1 or -1: a jog line, answered "ok"; the axis (0
// to 2) and its length in thousandths of a millimetre, signed.
struct HeldJogSegment {
    SetupStep step;
    int axis = 0;
    std::int64_t length = 0;
    bool operator==(const HeldJogSegment&) const = default;
};
HeldJogSegment heldJogSegment(char axis, int direction, const SetupSettings& settings);

// Why a set-up ended before its last step.
struct SetupFailure {
    enum class Kind {
        Refused,         // "error:N" to a line
        NoContact,       // the probe reached its depth without touching
        AlreadyTouching, // the probe touched before it moved (ALARM:4)
        Alarm,           // any other alarm
        LineFault,       // the line failed (lost, silent)
        NoWorkOffset,    // a probed map's heights: grbl never said where the work's zero lies (WCO)
    };
    Kind kind = Kind::Refused;
    int code = 0;     // error:N, ALARM:N
    std::string line; // the line refused
    LinkFault fault;  // LineFault's
};

class MachineSetup : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Runs the steps on the link; done() or failed() follows. Nothing when steps already run.
    void run(GrblLink& link, std::vector<SetupStep> steps);
    bool running() const { return link_ != nullptr; }
    // Where the probes of the steps run last touched, in order: machine Z in µm.
    const std::vector<std::int64_t>& touches() const { return touches_; }

signals:
    void done();
    void failed(const zelmar::SetupFailure& failure);
    // A probe touched: `count` of `of` probing steps are done.
    void touched(int count, int of);

private:
    void next();
    void onAnswer(bool ok, int code);
    void onAlarm(int code);
    void fail(SetupFailure failure);
    void end();
    const SetupStep& current() const { return steps_[step_]; }

    GrblLink* link_ = nullptr;
    std::vector<SetupStep> steps_;
    std::size_t step_ = 0;
    bool touched_ = false;
    std::vector<std::int64_t> touches_;
    int probes_ = 0;
    std::vector<QMetaObject::Connection> connections_;
};

} // namespace zelmar
