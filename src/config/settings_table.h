#pragma once
// Every setting of a job, declared once: its key in cnc.ini, its option of zelmar-cli, what it holds, its range,
// its default and its words. cnc.ini, the command line and the window read through this table, so that a value is
// taken, or refused with the same range, wherever it is given; a value refused is never dropped in silence.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmar {

struct StartupConfig;

// The steps-per-pixel box's text when the window opens, and zelmar-cli's --steps when none is given.
inline constexpr const char* defaultStepsPerPixel = "150";

enum class Setting {
    Port, Image, Timeout, Controller, Baud, MergeSteps, SafeHeight, MmPerStep, Feed, PlungeFeed, Spindle,
    SpindleDelay, MergeTolerance, StepDown, MarksAsDepth, AxisX, AxisY, ToolShape, ToolDiameter, ToolAngle,
    ToolLength, ProbeFeed, ProbeDepth, ProbePlate,
};
inline constexpr std::size_t settingCount = static_cast<std::size_t>(Setting::ProbePlate) + 1;

enum class SettingType {
    Text,    // taken as it stands
    Whole,   // a whole number in the range
    Decimal, // an exact decimal in the range (at most nine digits)
    Sign,    // 1 or -1
    Word,    // one of `words`, in any case
};

// What a bad value holds back: the work that would go wrong with the default in its place.
namespace settingNeeds {
inline constexpr unsigned milling = 1;  // every milling, dry or on the machine, its preview and its G-code
inline constexpr unsigned gcode = 2;    // a G-code file
inline constexpr unsigned onGrbl = 4;   // a job or a move on a grbl machine
inline constexpr unsigned onBoard = 8;  // a job or a move on our board
inline constexpr unsigned probe = 16;   // the probe of the tool's height on grbl
} // namespace settingNeeds

struct SettingSpec {
    Setting setting;
    std::string_view key;    // in cnc.ini
    std::string_view option; // of zelmar-cli; the cutter's parts are parts of --tool
    std::string_view part;   // the part of the option's value it is ("diameter"); empty: the whole value
    SettingType type;
    double least = 0, most = 0;
    std::string_view words;       // Word: the words it takes, ", " between them
    std::string_view unit;        // for the command line: "mm/min"
    std::string_view unitRu;      // for the operator: "мм/мин"
    std::string_view defaultText; // as cnc.ini would hold it; empty: none
    std::string_view nameRu;      // what it is, in the operator's words
    unsigned needs = 0;
};

const std::array<SettingSpec, settingCount>& settingsTable();
const SettingSpec& specOf(Setting setting);

// A value given and refused; the default stands in its place, and the work that needs it refuses to start.
struct SettingProblem {
    enum class Kind {
        NotANumber,
        NotWhole,
        TooPrecise, // more digits than an exact decimal keeps
        OutOfRange,
        NotSign,
        NotAWord,
        Missing,  // the cutter's diameter, with a shape named
        Shape,    // the option's value is not a cutter's word at all
        NoCutter, // a cutting edge for the one-pixel tool
    };
    Setting setting;
    Kind kind;
    std::string value; // as it was given
};

// The texts given for the settings (nothing: not given, the default stands).
using SettingTexts = std::array<std::optional<std::string>, settingCount>;

// Reads every text given into the configuration through the table; a value that is refused leaves the default
// and is listed.
std::vector<SettingProblem> applySettings(const SettingTexts& texts, StartupConfig& config);

// The one-pixel tool's shape words: no cutter at all.
bool namesNoCutter(std::string_view shape);

// "--tool: diameter -6 mm is outside 0.1..50 mm": what the command line says of a value it refuses.
std::string optionProblemText(const SettingProblem& problem);
// "Spindle=12000rpm — частота вращения шпинделя: не целое число; допустимо от 0 до 60000 об/мин": the same for
// the operator, naming the key of cnc.ini.
std::string settingProblemText(const SettingProblem& problem);
// What a bad value of this setting holds back, in the operator's words.
std::string heldBackText(Setting setting);
// Every value of the file refused, a line each with what it holds back: what the window shows at start. Lines are
// joined by CR LF, as the message boxes show them.
std::string settingProblemsText(const std::string& configPath, const std::vector<SettingProblem>& problems);
// A job or a move refused for these values.
std::string badSettingsRefusalText(const std::vector<SettingProblem>& problems);

// Whether the setting is needed by work of these needs.
inline bool neededBy(Setting setting, unsigned needs) {
    return (specOf(setting).needs & needs) != 0;
}

} // namespace zelmar
