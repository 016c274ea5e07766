#pragma once
// The machine's set-up for the front-ends, on grbl only: homing, the unlock, the work zero and the way back to it,
// jogs and their cancel, the probe of the tool's height on a touch plate, the feed and spindle overrides during a
// job, and where grbl's reports put the machine and the work. Each operation is refused with a code the texts
// word, or runs to done() or failed().

#include "config/startup_config.h"
#include "link/move_command.h"
#include "machine_line.h"
#include "mill/operations.h"
#include "run/held_jog.h"
#include "run/machine_setup.h"

#include <QObject>

#include <optional>

namespace zelmar {

// Where grbl last reported the machine and its work offset, in thousandths of a millimetre: the work position is
// the machine's minus the offset. A grbl set to report the work's ($10=0) gives the machine's only with an offset.
struct MachineCoordinates {
    std::optional<GrblTriple> machine;
    std::optional<GrblTriple> workOffset;
    std::optional<GrblOverrides> overrides;
    std::string state;
    std::optional<GrblTriple> reportedWork; // $10=0

    std::optional<GrblTriple> work() const {
        if (reportedWork)
            return reportedWork;
        if (!workOffset || !machine)
            return std::nullopt;
        return GrblTriple{machine->x - workOffset->x, machine->y - workOffset->y, machine->z - workOffset->z};
    }
};

// The set-up's settings from the configuration: the way to the work zero goes up to the job's travel height at
// this scale, in millimetres, at least 1 mm; the probe retracts by as much, at least 5 mm.
SetupSettings setupSettingsOf(const StartupConfig& config, const Checked& scale);

class MachineSetupPart : public QObject {
    Q_OBJECT
public:
    enum class Refusal {
        None,
        NotGrbl,      // our board has no set-up of its own
        NotConnected, // the port is not open, or grbl has not answered
        Busy,         // a job runs or waits paused
        SettingUp,    // another set-up runs
        BadSetting,   // a probe setting holds a bad value
        NotSetUp,     // the operation is none of the set-up's
        NoGrid,       // a height map's points do not fit the picture (no picture, margins too wide)
    };

    explicit MachineSetupPart(MachineLine& line, QObject* parent = nullptr);

    // The job's state is the controller's: `jobBusy` says whether a job runs or waits paused.
    Refusal start(const Operation& operation, const SetupSettings& settings, bool jobBusy);
    // A key held: a jog along "X", "Y" or "Z" (+1 or -1) that lasts while the same call is repeated, as the key's
    // auto-repeat does; refused as start() is, and while another key's jog is held. A failure is the Jog's.
    Refusal holdJog(char axis, int direction, const SetupSettings& settings, bool jobBusy);
    bool running() const { return setup_.running() || heldJog_.busy(); }
    // The window's key is let go: a held jog is no longer re-sent, and the jog running stops at once.
    void cancelJog();
    void overrideFeed(GrblOverride o);
    void overrideSpindle(GrblOverride o);
    std::optional<MachineCoordinates> coordinates() const;
    // The height map the last probe of a grid gave, in work coordinates.
    const std::optional<HeightMap>& probedMap() const { return probedMap_; }

signals:
    void done(zelmar::Operation::Kind kind);
    void failed(zelmar::Operation::Kind kind, const zelmar::SetupFailure& failure);
    void touched(int count, int of);

private:
    // What refuses any set-up on this line now: not grbl, not connected, a job under way.
    Refusal lineRefusal(bool jobBusy) const;
    MachineLine& line_;
    MachineSetup setup_;
    HeldJog heldJog_;
    Operation::Kind kind_ = Operation::Kind::Home;
    std::optional<ProbeGrid> grid_;
    std::optional<HeightMap> probedMap_;
};

} // namespace zelmar
