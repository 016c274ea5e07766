#include "options.h"

#include <algorithm>
#include <iterator>

namespace zelmar::cli {

const std::string usageText =
    std::string("usage: zelmar-cli IMAGE [OPERATION ...] [--steps N] [--port PATH] [--commands FILE] [--state FILE]\n"
    "                  [--labels] [--layers DIR]\n"
    "  IMAGE          the picture to load, as the window loads its configured image\n"
    "  OPERATION      parse        \"Разобрать\": regions, links and tree of the working image\n"
    "                 select=ID    a click on the tree node with key P<ID>\n"
    "                 move=X,Y,Z   \"Ручная уст-ка\" with those texts in tx, ty, tz\n"
    "                 mill-selected  \"Выделенная\": mills the selected region\n"
    "                 mill-all     \"Все\": mills every live dark region, deepest first\n"
    "                 gradient     \"Градиент\": the outline picture of the loaded image\n"
    "                 offset       \"Отступить\": the white of the working picture grows by a pixel\n"
    "                 cut3d        \"Резать 3D\": the relief, pass by pass\n"
    "  --steps N      the text of the steps-per-pixel field (default ") + defaultStepsPerPixel + ")\n"
    "  --port PATH    open the board's serial port as the window does and tick \"Фрезеровать\"\n"
    "  --commands FILE  every command sent, one per line; in a dry run those that would be sent (- stdout)\n"
    "  --state FILE   write the final state as JSON (- for standard output)\n"
    "  --labels       include the label map in the state\n"
    "  --layers DIR   write DIR/source.bmp, work.bmp, selection.bmp, mill.bmp (24-bit BMP)\n"
    "  --journal FILE keep the journal of the job on the machine in FILE: every move recorded as sent and as\n"
    "                 acknowledged before the program goes on\n"
    "  --resume       continue the job journalled in FILE after a stop, a line fault or a crash: the same\n"
    "                 IMAGE, operations and --steps; what was done is replayed without sending, the rest sent\n"
    "  --last-move done|redo  for --resume when the journal shows a move sent but never acknowledged: the\n"
    "                 machine carried it out (done) or it is sent again (redo)\n"
    "  Ctrl+C stops as \"Стоп\" does: after the current \"OK\", with a lift; the journal stays for --resume.\n"
    "  --merge        send each straight run of steps as one command (cnc.ini MergeSteps=1)\n"
    "  --safe-height N  travel between contours N depth units above the surface (cnc.ini SafeHeight, default 0)\n"
    "  --gcode FILE   write the commands (those sent, or in a dry run those that would be) as G-code:\n"
    "                 millimetres, incremental, one G0 or G1 move a command\n"
    "  --mm-per-step X  millimetres a motor step moves, for the G-code (cnc.ini MmPerStep, default 0.01)\n"
    "  --feed N       mm/min of the feed moves in the G-code (cnc.ini Feed, default 300)\n"
    "  --estimate     print the job's commands and its time on the board on one line, as a dry run\n"
    "  --controller zelmar|grbl  the controller on --port (cnc.ini Controller, default zelmar): grbl gets the\n"
    "                 job's G-code lines streamed (millimetres a step and feed as for --gcode), \"Ctrl+C\" is its\n"
    "                 feed hold and reset, then a lift out of the stock, and the program returns once grbl\n"
    "                 stands idle; no --journal\n"
    "  --baud N       the grbl port's speed (cnc.ini Baud, default 115200)\n"
    "  OPERATION restore-mill  the mill layer as the picture was loaded, without the marks of earlier millings\n"
    "                 (under --marks-as-depth they read as full depth)\n"
    "  --tool SHAPE:D  the cutter, D its diameter in mm: flat:D, ball:D or v:D:ANGLE (ANGLE in degrees, default\n"
    "                 60); each depth is the deepest the tool reaches without cutting below the picture\n"
    "                 (cnc.ini ToolShape, ToolDiameter, ToolAngle; default: a flat tool one pixel wide)\n"
    "  --merge-tolerance T  send consecutive steps whose points all lie within T pixels (depth units for Z) of\n"
    "                 one straight line as one command, ending where the steps end (cnc.ini MergeTolerance,\n"
    "                 default 0: only --merge's straight runs)\n"
    "  --marks-as-depth  the old rule (cnc.ini MarksAsDepth=1): depths read from the mill layer, where the red\n"
    "                 marks of earlier millings read as full depth, and a shaped tool's moves checked only where\n"
    "                 they end; by default depths come from the picture as loaded, and every move keeps the\n"
    "                 whole tool above it\n"
    "  --axis-x S, --axis-y S  grbl and the G-code: 1 (the default) takes the picture's right as X+ and its top\n"
    "                 as Y+; -1 turns that axis for a machine wired otherwise (cnc.ini AxisX, AxisY)\n"
    "  --tool-length L  the cutting edge of --tool's cutter, in mm (or --tool SHAPE:D:LL, e.g. ball:6:L20; cnc.ini\n"
    "                 ToolLength): no pass goes deeper into the material than L; a job in one pass that the\n"
    "                 picture asks deeper is refused, with --step-down the passes are kept within L\n"
    "  --plunge-feed N  grbl and the G-code: mm/min of the feed moves that go down (cnc.ini PlungeFeed; default\n"
    "                 the feed)\n"
    "  --step-down N  cut each contour in passes, each at most N depth units deeper than the one before, no\n"
    "                 move going down more than N at once (cnc.ini StepDown; default 0: at its depth at once)\n"
    "  --spindle RPM  grbl and the G-code: \"M3 SRPM\" and a dwell before the job's first move, again before\n"
    "                 the first move after a stop, and \"M5\" at the end (cnc.ini Spindle; default 0: the\n"
    "                 spindle is left alone)\n"
    "  --spindle-delay S  seconds for the spindle to come up to speed (cnc.ini SpindleDelay, default 3)\n"
    "  --preview FILE.png  the carving the operations' millings leave, shaded as if lit from the top left:\n"
    "                 from above and tilted, side by side (with the tool of --tool)\n"
    "  --result FILE.pgm  the same carving as a 16-bit height grid: the depth cut at each pixel in motor steps\n"
    "  --height-map FILE  the probed surface of the stock (a text file: grid, origin and step, then the heights\n"
    "                 in mm in work coordinates): the G-code starts at the work zero and every move follows the\n"
    "                 surface, cut where it crosses the grid's lines; with --controller grbl --port, so does the\n"
    "                 job on the machine (the map's work coordinates taken from grbl's WCO); with probe-map,\n"
    "                 where the probed map is saved\n"
    "  OPERATION      the machine's set-up, only with --controller grbl --port PATH (a dry run has no machine);\n"
    "                 a set-up that fails ends the program (status 1) and nothing after it runs:\n"
    "                 home         \"$H\": grbl's homing cycle, then waits until the machine stands\n"
    "                 unlock       \"$X\": grbl's alarm lock is lifted\n"
    "                 zero[=XYZ]   the work zero where the tool stands (\"G10 L20 P1\"), for all axes or those named\n"
    "                 goto-zero    up to the travel height (at least 1 mm above the work zero), over to X0 Y0, down\n"
    "                              to Z0 at the plunge feed\n"
    "                 jog=X,Y,Z    a jog by these signed millimetres (\"$J=G91\") at --feed\n"
    "                 probe-z      the tool goes down onto the touch plate at --probe-feed, at most --probe-depth mm;\n"
    "                              at contact the work's Z becomes the plate's thickness, then the tool rises;\n"
    "                              no contact is a failure, and grbl's alarm is left for unlock\n"
    "                 probe-map=NX,NY  a height map of NX by NY points (2 to 100 each) over the picture as it\n"
    "                              lies from the tool's start pixel at the work zero: at each point the probe goes\n"
    "                              down to --probe-depth below the work zero, up again between points; saved to\n"
    "                              --height-map FILE (needed), and followed by the jobs after it\n"
    "  --probe-feed N  mm/min of the probe's way down (cnc.ini ProbeFeed, default 50)\n"
    "  --probe-depth D  mm the probe goes down at most (cnc.ini ProbeDepth, default 10)\n"
    "  --plate T      the touch plate's thickness in mm (cnc.ini ProbePlate, default 0)\n"
    "  --help         show this text on standard output and exit\n"
    "  --version      show the version and exit\n";

namespace {

// The option's setting in the table, when its whole value is one.
std::optional<zelmar::Setting> settingOfOption(std::string_view option) {
    for (const zelmar::SettingSpec& spec : zelmar::settingsTable())
        if (spec.option == option && spec.part.empty() && spec.type != zelmar::SettingType::Text)
            return spec.setting;
    return std::nullopt;
}

// "ball:6", "v:6:90:L20", "pixel": the cutter's parts as the table names them; false when the word is no cutter.
bool takeToolWord(const std::string& word, zelmar::SettingTexts& texts) {
    using zelmar::Setting;
    const auto text = [&texts](Setting s) -> std::optional<std::string>& { return texts[std::size_t(s)]; };
    for (Setting s : {Setting::ToolShape, Setting::ToolDiameter, Setting::ToolAngle})
        text(s).reset();
    std::vector<std::string> parts;
    for (std::size_t from = 0;;) {
        const std::size_t colon = word.find(':', from);
        parts.push_back(word.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    if (parts.size() > 1 && parts.back().size() > 1 && parts.back()[0] == 'L') {
        text(Setting::ToolLength) = parts.back().substr(1);
        parts.pop_back();
    }
    if (word.empty() || parts.size() > 3 || (parts.size() == 3 && parts[0] != "v") ||
        (zelmar::namesNoCutter(parts[0]) && parts.size() > 1))
        return false;
    text(Setting::ToolShape) = parts[0];
    if (parts.size() > 1)
        text(Setting::ToolDiameter) = parts[1];
    if (parts.size() > 2)
        text(Setting::ToolAngle) = parts[2];
    return true;
}

} // namespace

bool takesValue(std::string_view a) {
    static constexpr std::string_view withValue[] = {
        "--steps",   "--state",       "--layers",  "--port",       "--commands",        "--journal", "--last-move",
        "--safe-height", "--mm-per-step", "--feed", "--gcode",     "--controller",      "--baud",    "--tool",
        "--merge-tolerance", "--spindle", "--spindle-delay", "--step-down", "--preview", "--result",
        "--axis-x", "--axis-y", "--plunge-feed", "--tool-length", "--height-map", "--probe-feed", "--probe-depth",
        "--plate"};
    return std::find(std::begin(withValue), std::end(withValue), a) != std::end(withValue);
}

std::optional<Options> parseArguments(const std::vector<std::string>& args) {
    Options options;
    bool haveImage = false;
    zelmar::SettingTexts texts;
    std::optional<std::string> toolLength; // applies to whichever --tool, given before or after it
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (takesValue(a)) {
            if (i + 1 >= args.size())
                return std::nullopt;
            const std::string& value = args[++i];
            if (a == "--last-move") {
                if (value != "done" && value != "redo")
                    return std::nullopt;
                options.lastMoveDone = value == "done";
                continue;
            }
            if (a == "--tool-length") {
                toolLength = value;
                continue;
            }
            if (a == "--tool") {
                if (!takeToolWord(value, texts))
                    options.problems.push_back({zelmar::Setting::ToolShape, zelmar::SettingProblem::Kind::Shape, value});
                continue;
            }
            if (const std::optional<zelmar::Setting> setting = settingOfOption(a)) {
                texts[std::size_t(*setting)] = value;
                options.baudGiven = options.baudGiven || a == "--baud";
                continue;
            }
            if (a == "--height-map") {
                options.heightMapPath = value;
                continue;
            }
            if (a == "--gcode" || a == "--preview" || a == "--result") {
                (a == "--gcode" ? options.gcodePath : a == "--preview" ? options.previewPath : options.resultPath) = value;
                continue;
            }
            if (a == "--steps") {
                options.steps = value;
                continue;
            }
            auto& target = a == "--state"  ? options.statePath
                           : a == "--layers" ? options.layersDir
                           : a == "--port"   ? options.port
                           : a == "--journal" ? options.journalPath
                                             : options.commandsPath;
            target = value;
        } else if (a == "--labels") {
            options.labels = true;
        } else if (a == "--resume") {
            options.resume = true;
        } else if (a == "--merge") {
            texts[std::size_t(zelmar::Setting::MergeSteps)] = "1";
        } else if (a == "--marks-as-depth") {
            texts[std::size_t(zelmar::Setting::MarksAsDepth)] = "1";
        } else if (a == "--estimate") {
            options.estimate = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return std::nullopt;
        } else if (!haveImage) {
            options.image = a;
            haveImage = true;
        } else if (const auto operation = zelmar::operationOf(a);
                   operation && operation->reached < 0 && !operation->sentNothing) {
            options.operations.push_back(*operation);
            options.operationWords.push_back(a);
        } else {
            return std::nullopt;
        }
    }
    if (toolLength)
        texts[std::size_t(zelmar::Setting::ToolLength)] = *toolLength;
    options.scale = parseStepsPerPixel(options.steps);
    const std::vector<zelmar::SettingProblem> refused = zelmar::applySettings(texts, options.settings);
    options.problems.insert(options.problems.end(), refused.begin(), refused.end());
    // An estimate is a dry run: with a port it would be a job on the machine.
    if (!haveImage || (options.resume && !options.journalPath) || (options.lastMoveDone && !options.resume) ||
        (options.estimate && options.port) || (options.grbl() && options.journalPath) ||
        (options.baudGiven && !options.grbl()) || (options.probesMap() && !options.heightMapPath))
        return std::nullopt;
    for (std::size_t i = 0; i < options.operations.size() && options.setupWithoutMachine.empty(); ++i)
        if (options.operations[i].setsUp() && (!options.port || !options.grbl()))
            options.setupWithoutMachine = options.operationWords[i];
    return options;
}

} // namespace zelmar::cli
