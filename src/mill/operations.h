#pragma once
// The operations of the window and of the command-line tool as words ("parse", "select=ID", "move=X,Y,Z",
// "mill-selected", "mill-all", "gradient", "offset", "cut3d", "restore-mill"; the machine's set-up "home",
// "unlock", "zero[=XYZ]", "goto-zero", "probe-z", "jog=X,Y,Z"), and their dry replay: what a journal needs to
// rebuild the layers and tables of a job that a crash interrupted, without sending a move.

#include "mill_job.h"
#include "move_source.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmar {

struct Operation {
    // RestoreMill: the mill layer as the picture was loaded, without the marks of earlier millings.
    // Home to ProbeMap set the machine up (grbl only): they change nothing of the picture.
    enum class Kind {
        Parse, Select, Move, MillSelected, MillAll, Gradient, Offset, Cut3D, RestoreMill,
        Home, Unlock, Zero, GotoZero, ProbeZ, Jog, ProbeMap,
    };
    Kind kind = Kind::Parse;
    std::int32_t id = 0;    // Select: the region of the tree node
    std::string tx, ty, tz; // Move: the texts of the three boxes; Jog: millimetres, signed
    std::string axes;       // Zero: the letters of the axes zeroed, in X, Y, Z order
    std::int32_t nx = 0, ny = 0; // ProbeMap: the grid's points along X and along Y
    // ProbeMap: millimetres kept inside the picture's edges, and above the work's zero between the points; empty:
    // none, and the probe's retract. The probe's feed in mm/min; 0: the setting's.
    std::string margin, clearance;
    std::int32_t probeFeed = 0;
    // In a history of what ran: how many moves a milling got through before it was left (-1: to its end), and
    // whether it sent nothing at all (the program then put its tool position back).
    std::int64_t reached = -1;
    bool sentNothing = false;

    bool moves() const { return kind == Kind::Move || isMilling(); }
    bool setsUp() const { return kind >= Kind::Home; }
    bool isMilling() const { return kind == Kind::MillSelected || kind == Kind::MillAll || kind == Kind::Cut3D; }
    MillKind millKind() const;
};

// The most points a probed height map takes along an axis.
constexpr std::int32_t maxProbeGrid = 100;

// The operation of a milling command ("Выделенная", "Все", "Резать 3D").
Operation millingOperation(MillKind kind);

// A word as the command line takes it; a history word may end in "@N" (reached) and "!" (sent nothing).
std::optional<Operation> operationOf(std::string_view word);
std::string wordOf(const Operation& operation);

// Runs an operation that moves nothing (parse, select, gradient, offset). False when a select names a node the
// tree does not have; nothing changes then.
bool runStillOperation(ImageSession& session, const Operation& operation, const ProgressCallback& progress = {});

// The job of a moving operation, from the tool position; nullptr when the command refuses (no tree, no
// selection). A manual move is a job of one move that changes nothing.
// settings: the travel height and the tool of the millings.
std::unique_ptr<MoveSource> jobOf(const Operation& operation, ImageSession& session, const ToolPosition& tool,
                                  MillIndexCache& cache, const MillSettings& settings,
                                  MillRefusal* refusal = nullptr);

// Where a dry replay of operations stopped.
struct ReplayPoint {
    bool ok = true;             // false: an operation could not run as it did then
    std::size_t operation = 0;  // operations before it are done
    std::unique_ptr<MoveSource> job; // the job of that operation, part done; none when it has not begun
    std::int64_t done = 0;      // moves done over all the operations
};

// Runs the operations dry from the start until movesDone of their moves are done, as they ran then. A job that
// reaches the count exactly at its end is finished (its closing stages run) and the next operation is where the
// replay stands. The tool position follows the jobs as the command-line tool keeps it.
ReplayPoint replayOperations(ImageSession& session, ToolPosition& tool, MillIndexCache& cache,
                             const std::vector<Operation>& operations, std::int64_t movesDone,
                             const MillSettings& settings);

// Runs a history dry: each milling to where it was left, its tool position put back when it sent nothing.
// False when an operation could not run as it did then.
bool replayHistory(ImageSession& session, ToolPosition& tool, MillIndexCache& cache,
                   const std::vector<Operation>& history, const MillSettings& settings);

} // namespace zelmar
