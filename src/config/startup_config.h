#pragma once
// What the work window reads when it loads: its caption and the keys of cnc.ini, and where that cnc.ini is.

#include "mill/gcode.h"
#include "mill/tool_shape.h"
#include "settings_table.h"

#include <string>
#include <string_view>
#include <vector>

namespace zelmar {

inline constexpr const char* configFileName = "cnc.ini";
inline constexpr const char* configSection = "CNC";
inline constexpr const char* defaultPortName = "com1";
inline constexpr const char* defaultImageName = "test.bmp";

// Where start-up looks for cnc.ini, in this order.
struct ConfigLocations {
    // The program's folder: a cnc.ini there wins (a build tree, a portable copy). Never written.
    std::string programDir;
    // The user's settings folder (~/.config/zelmar); empty: only the program's folder counts.
    std::string userDir;
    // Where the example shipped with the program may lie, in order; the first that exists is copied.
    std::vector<std::string> examplePaths;

    // Today's portable behaviour: the program's folder and nothing else.
    static ConfigLocations programFolderOnly(std::string programDir);
};

// The folder of the running program, the user's settings folder of QStandardPaths (AppConfigLocation), and
// the example installed beside the program (../share/zelmar/cnc.ini) or in the system's data folders.
ConfigLocations standardConfigLocations(const std::string& programDir);

enum class ConfigOrigin {
    ProgramFolder,      // programDir/cnc.ini
    UserFolder,         // userDir/cnc.ini, there already
    CreatedFromExample, // userDir/cnc.ini, just written from the example
    ExampleOnly,        // the example itself: the user's file could not be written
    Defaults,           // no file anywhere: the defaults, the image in the program's folder
};

struct StartupConfig {
    // The file the values came from (with Defaults, where it was looked for in the program's folder).
    std::string configPath;
    ConfigOrigin origin = ConfigOrigin::ProgramFolder;
    // For the operator, in Russian: where the file was created, or why it could not be; empty otherwise.
    std::string note;
    // The values cnc.ini gives that the table refuses: each keeps its default, and the work that needs it refuses
    // to start.
    std::vector<SettingProblem> problems;
    std::string portName = defaultPortName;
    std::string imageName = defaultImageName;
    // From the program's folder: always that folder, the separator and the configured name, even when the
    // name is absolute. From any other cnc.ini: a relative name is taken from that file's folder, an absolute
    // one names itself.
    std::string imagePath;
    // How long to wait for the board's "OK" (optional key Timeout, whole seconds from 1 up).
    int timeoutSeconds = defaultTimeoutSeconds;

    // How the moves go out; every key optional (its range in the settings table), and a value that does not fit
    // keeps the default, which leaves each byte sent as it has always been, and is listed in `problems`.
    bool mergeSteps = false;      // MergeSteps=1: straight runs of steps as one command each
    int safeHeight = 0;           // SafeHeight: depth units above the surface for the travel between contours
    Decimal mmPerStep{1, 2};      // MmPerStep: millimetres a motor step moves, for G-code and grbl
    int feed = 300;               // Feed: mm/min of the feed moves, for G-code
    // ToolShape=flat|ball|v, ToolDiameter (mm), ToolAngle (degrees, V-bits, default 60): the cutter. Empty:
    // today's tool, one pixel wide with a flat end.
    ToolShape tool;
    // MergeTolerance: pixels; above 0, steps within it of a straight line go as one command.
    Decimal mergeTolerance;
    // Spindle (rpm; 0: not touched) and SpindleDelay (s, default 3): grbl and the G-code start it before the job's
    // first move and stop it at the end. Our board has no spindle.
    Spindle spindle;
    // StepDown: depth units a pass; 0 (the default) cuts each contour at its depth at once.
    int stepDown = 0;
    // MarksAsDepth=1: the old rule, byte for byte: depths read from the mill layer, where the red marks of earlier
    // millings read as full depth, and a shaped tool's moves checked only where they end. By default depths come
    // from the picture as loaded and a shaped tool keeps its whole body above it along every move.
    bool marksAsDepth = false;
    // grbl and G-code only (our board's bytes never change): AxisX=-1 / AxisY=-1 turn an axis for a machine wired
    // otherwise (by default X+ is the picture's right, Y+ its top); PlungeFeed: mm/min of the moves that go down
    // (0: Feed).
    int axisX = 1;
    int axisY = 1;
    int plungeFeed = 0;
    // grbl's probe with a touch plate: ProbeFeed mm/min down, at most ProbeDepth mm, ProbePlate mm thick.
    int probeFeed = 50;
    Decimal probeDepth{10, 0};
    Decimal probePlate{0, 0};

    // The controller on the port: our board (Controller=zelmar, the default) or a grbl board (Controller=grbl),
    // which talks at Baud (default 115200).
    enum class Controller { Zelmar, Grbl };
    Controller controller = Controller::Zelmar;
    int baud = 115200;

    static constexpr int defaultTimeoutSeconds = 30;
};

// Looks in the program's folder, then the user's; when neither has a cnc.ini, writes the user's from the
// first example found. Writes nothing else, and never into the program's folder.
StartupConfig readStartupConfig(const ConfigLocations& locations);
// The program's folder only.
StartupConfig readStartupConfig(const std::string& programDir);
// The same from the text of a cnc.ini in the program's folder (a missing file reads as empty text).
StartupConfig startupConfigFromText(std::string_view iniText, const std::string& programDir);
// The same from the text of a cnc.ini in any other folder.
StartupConfig userConfigFromText(std::string_view iniText, const std::string& configDir);

// The user's cnc.ini made from the example's text: a relative Image becomes the absolute path of that file in
// the example's folder (the sample installed with the program), so that it is found from the user's folder.
std::string userConfigFromExample(std::string_view exampleText, const std::string& exampleDir);

// "Zelmar ЧПУ   ver. 1.0.1" from the project version.
std::string workWindowCaption();

} // namespace zelmar
