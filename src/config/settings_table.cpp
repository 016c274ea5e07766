#include "settings_table.h"

#include "startup_config.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

namespace zelmar {

namespace {

using namespace settingNeeds;
using Type = SettingType;

// The machine's own output: the G-code file's numbers and grbl's lines.
constexpr unsigned standardOutput = gcode | onGrbl;
constexpr unsigned onMachine = onBoard | onGrbl;

constexpr std::array<SettingSpec, settingCount> table{{
    {Setting::Port, "Port", "--port", "", Type::Text, 0, 0, "", "", "", "com1", "порт станка", onMachine},
    {Setting::Image, "Image", "", "", Type::Text, 0, 0, "", "", "", "test.bmp", "изображение", 0},
    {Setting::Timeout, "Timeout", "", "", Type::Whole, 1, 24 * 3600, "", "s", "с", "30",
     "время ожидания ответа станка", onMachine},
    {Setting::Controller, "Controller", "--controller", "", Type::Word, 0, 0, "zelmar, grbl", "", "", "zelmar",
     "контроллер станка", onMachine},
    {Setting::Baud, "Baud", "--baud", "", Type::Whole, 50, 4000000, "", "baud", "бод", "115200",
     "скорость порта grbl", onGrbl},
    {Setting::MergeSteps, "MergeSteps", "--merge", "", Type::Whole, 0, 1, "", "", "", "0",
     "объединение прямых отрезков в одну команду", milling},
    {Setting::SafeHeight, "SafeHeight", "--safe-height", "", Type::Whole, 0, 1000, "", "depth units",
     "ед. глубины", "0", "высота перемещений над заготовкой", milling},
    // A step's millimetres also size the cutter in pixels.
    {Setting::MmPerStep, "MmPerStep", "--mm-per-step", "", Type::Decimal, 0.0001, 10, "", "mm", "мм", "0.01",
     "миллиметры на шаг двигателя", milling | standardOutput},
    {Setting::Feed, "Feed", "--feed", "", Type::Whole, 1, 50000, "", "mm/min", "мм/мин", "300", "подача",
     standardOutput},
    {Setting::PlungeFeed, "PlungeFeed", "--plunge-feed", "", Type::Whole, 1, 50000, "", "mm/min", "мм/мин", "",
     "подача при врезании", standardOutput},
    {Setting::Spindle, "Spindle", "--spindle", "", Type::Whole, 0, 60000, "", "rpm", "об/мин", "0",
     "обороты шпинделя", standardOutput},
    {Setting::SpindleDelay, "SpindleDelay", "--spindle-delay", "", Type::Decimal, 0, 60, "", "s", "с", "3",
     "ожидание разгона шпинделя", standardOutput},
    {Setting::MergeTolerance, "MergeTolerance", "--merge-tolerance", "", Type::Decimal, 0, 10, "", "pixels",
     "пикс.", "0", "допуск объединения шагов", milling},
    {Setting::StepDown, "StepDown", "--step-down", "", Type::Whole, 0, 1000, "", "depth units", "ед. глубины", "0",
     "глубина за проход", milling},
    {Setting::MarksAsDepth, "MarksAsDepth", "--marks-as-depth", "", Type::Whole, 0, 1, "", "", "", "0",
     "глубина по отметкам прежних фрезеровок", milling},
    {Setting::AxisX, "AxisX", "--axis-x", "", Type::Sign, -1, 1, "", "", "", "1", "направление оси X",
     standardOutput},
    {Setting::AxisY, "AxisY", "--axis-y", "", Type::Sign, -1, 1, "", "", "", "1", "направление оси Y",
     standardOutput},
    {Setting::ToolShape, "ToolShape", "--tool", "shape", Type::Word, 0, 0, "flat, ball, v", "", "", "",
     "форма фрезы", milling},
    {Setting::ToolDiameter, "ToolDiameter", "--tool", "diameter", Type::Decimal, 0.1, 50, "", "mm", "мм", "",
     "диаметр фрезы", milling},
    {Setting::ToolAngle, "ToolAngle", "--tool", "angle", Type::Decimal, 10, 170, "", "degrees", "°", "60",
     "угол V-фрезы", milling},
    {Setting::ToolLength, "ToolLength", "--tool-length", "", Type::Decimal, 0.1, 200, "", "mm", "мм", "",
     "длина режущей части фрезы", milling},
    {Setting::ProbeFeed, "ProbeFeed", "--probe-feed", "", Type::Whole, 1, 5000, "", "mm/min", "мм/мин", "50",
     "подача щупа", probe},
    {Setting::ProbeDepth, "ProbeDepth", "--probe-depth", "", Type::Decimal, 0.1, 100, "", "mm", "мм", "10",
     "глубина поиска щупом", probe},
    {Setting::ProbePlate, "ProbePlate", "--plate", "", Type::Decimal, 0, 50, "", "mm", "мм", "0",
     "толщина пластины щупа", probe},
}};

constexpr bool tableInOrder() {
    for (std::size_t i = 0; i < table.size(); ++i)
        if (static_cast<std::size_t>(table[i].setting) != i)
            return false;
    return true;
}
static_assert(tableInOrder(), "the table is looked up by the setting's number");

std::string lower(std::string_view text) {
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// A plain number: a sign, digits, a point and digits; nothing for anything else (exponents, blanks inside).
std::optional<double> plainNumber(std::string_view text, bool* whole) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
        digits.remove_prefix(1);
    std::size_t numerals = 0, points = 0;
    for (char c : digits) {
        if (c >= '0' && c <= '9')
            ++numerals;
        else if (c == '.')
            ++points;
        else
            return std::nullopt;
    }
    if (numerals == 0 || points > 1)
        return std::nullopt;
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size() || (error != std::errc() && error != std::errc::result_out_of_range))
        return std::nullopt;
    *whole = points == 0;
    return value;
}

class Reader {
public:
    Reader(const SettingTexts& texts, std::vector<SettingProblem>& problems) : texts_(texts), problems_(problems) {}

    const std::optional<std::string>& given(Setting s) const { return texts_[static_cast<std::size_t>(s)]; }

    void refuse(Setting s, SettingProblem::Kind kind) { problems_.push_back({s, kind, given(s).value_or("")}); }

    // The number in range, or nothing (not given, or refused and listed).
    std::optional<double> number(Setting s) {
        if (!given(s))
            return std::nullopt;
        const SettingSpec& spec = specOf(s);
        bool whole = false;
        const std::optional<double> value = plainNumber(trimmed(*given(s)), &whole);
        if (!value)
            refuse(s, spec.type == Type::Whole ? SettingProblem::Kind::NotWhole : SettingProblem::Kind::NotANumber);
        else if (spec.type == Type::Whole && !whole)
            refuse(s, SettingProblem::Kind::NotWhole);
        else if (!(*value >= spec.least && *value <= spec.most))
            refuse(s, SettingProblem::Kind::OutOfRange);
        else
            return value;
        return std::nullopt;
    }

    std::optional<std::int32_t> whole(Setting s) {
        const std::optional<double> value = number(s);
        return value ? std::optional<std::int32_t>(static_cast<std::int32_t>(*value)) : std::nullopt;
    }

    std::optional<Decimal> decimal(Setting s) {
        if (!number(s))
            return std::nullopt;
        std::string_view text = trimmed(*given(s));
        if (!text.empty() && text.front() == '+')
            text.remove_prefix(1);
        const std::optional<Decimal> d = Decimal::parse(text);
        if (!d)
            refuse(s, SettingProblem::Kind::TooPrecise);
        return d;
    }

    std::optional<std::int32_t> sign(Setting s) {
        if (!given(s))
            return std::nullopt;
        const std::string_view text = trimmed(*given(s));
        if (text == "1" || text == "+1")
            return 1;
        if (text == "-1")
            return -1;
        refuse(s, SettingProblem::Kind::NotSign);
        return std::nullopt;
    }

    std::optional<std::string> word(Setting s) {
        if (!given(s))
            return std::nullopt;
        const std::string w = lower(trimmed(*given(s)));
        std::string_view words = specOf(s).words;
        while (!words.empty()) {
            const std::size_t comma = words.find(", ");
            if (words.substr(0, comma) == w)
                return w;
            words = comma == std::string_view::npos ? std::string_view() : words.substr(comma + 2);
        }
        refuse(s, SettingProblem::Kind::NotAWord);
        return std::nullopt;
    }

private:
    const SettingTexts& texts_;
    std::vector<SettingProblem>& problems_;
};

void readCutter(Reader& r, StartupConfig& config) {
    const bool noCutter = !r.given(Setting::ToolShape) || namesNoCutter(*r.given(Setting::ToolShape));
    if (noCutter) {
        if (r.given(Setting::ToolLength))
            r.refuse(Setting::ToolLength, SettingProblem::Kind::NoCutter);
        return; // a diameter or an angle without a shape is a note for later, as cnc.ini's example keeps them
    }
    const std::optional<std::string> shape = r.word(Setting::ToolShape);
    std::optional<Decimal> diameter = r.decimal(Setting::ToolDiameter);
    if (!r.given(Setting::ToolDiameter))
        r.refuse(Setting::ToolDiameter, SettingProblem::Kind::Missing);
    const bool v = shape == "v";
    const std::optional<Decimal> angle = v ? r.decimal(Setting::ToolAngle) : std::nullopt;
    const std::optional<Decimal> length = r.decimal(Setting::ToolLength);
    if (!shape || !diameter || (v && r.given(Setting::ToolAngle) && !angle) ||
        (r.given(Setting::ToolLength) && !length))
        return; // the one-pixel tool's depths would be below the picture for a real cutter: millings refuse
    ToolShape tool;
    tool.kind = *shape == "flat" ? ToolKind::Flat : *shape == "ball" ? ToolKind::Ball : ToolKind::V;
    tool.diameterMm = *diameter;
    if (angle)
        tool.angleDeg = *angle;
    if (length)
        tool.lengthMm = *length;
    config.tool = tool;
}

// 0.1, 50, 4000000: as few digits as say the number.
std::string numberText(double value) {
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return error == std::errc() ? std::string(buffer, end) : std::string();
}

std::string withUnit(const std::string& text, std::string_view unit) {
    if (unit.empty())
        return text;
    if (unit == "°")
        return text + "°";
    return text + " " + std::string(unit);
}

} // namespace

const std::array<SettingSpec, settingCount>& settingsTable() {
    return table;
}

const SettingSpec& specOf(Setting setting) {
    return table[static_cast<std::size_t>(setting)];
}

bool namesNoCutter(std::string_view shape) {
    const std::string w = lower(trimmed(shape));
    return w.empty() || w == "pixel";
}

std::vector<SettingProblem> applySettings(const SettingTexts& texts, StartupConfig& config) {
    std::vector<SettingProblem> problems;
    Reader r(texts, problems);
    if (const auto& port = r.given(Setting::Port))
        config.portName = *port;
    if (const auto& image = r.given(Setting::Image))
        config.imageName = *image;
    config.timeoutSeconds = r.whole(Setting::Timeout).value_or(config.timeoutSeconds);
    if (const auto controller = r.word(Setting::Controller))
        config.controller =
            *controller == "grbl" ? StartupConfig::Controller::Grbl : StartupConfig::Controller::Zelmar;
    config.baud = r.whole(Setting::Baud).value_or(config.baud);
    if (const auto merge = r.whole(Setting::MergeSteps))
        config.mergeSteps = *merge == 1;
    config.safeHeight = r.whole(Setting::SafeHeight).value_or(config.safeHeight);
    if (const auto mmPerStep = r.decimal(Setting::MmPerStep)) {
        if (mmPerStep->isZero()) // below the range's least only when rounded: kept from a step of nothing
            r.refuse(Setting::MmPerStep, SettingProblem::Kind::OutOfRange);
        else
            config.mmPerStep = *mmPerStep;
    }
    config.feed = r.whole(Setting::Feed).value_or(config.feed);
    config.plungeFeed = r.whole(Setting::PlungeFeed).value_or(config.plungeFeed);
    config.spindle.rpm = r.whole(Setting::Spindle).value_or(config.spindle.rpm);
    config.spindle.delaySeconds = r.decimal(Setting::SpindleDelay).value_or(config.spindle.delaySeconds);
    config.mergeTolerance = r.decimal(Setting::MergeTolerance).value_or(config.mergeTolerance);
    config.stepDown = r.whole(Setting::StepDown).value_or(config.stepDown);
    if (const auto marks = r.whole(Setting::MarksAsDepth))
        config.marksAsDepth = *marks == 1;
    config.axisX = r.sign(Setting::AxisX).value_or(config.axisX);
    config.axisY = r.sign(Setting::AxisY).value_or(config.axisY);
    readCutter(r, config);
    config.probeFeed = r.whole(Setting::ProbeFeed).value_or(config.probeFeed);
    config.probeDepth = r.decimal(Setting::ProbeDepth).value_or(config.probeDepth);
    config.probePlate = r.decimal(Setting::ProbePlate).value_or(config.probePlate);
    return problems;
}

std::string optionProblemText(const SettingProblem& problem) {
    const SettingSpec& spec = specOf(problem.setting);
    const std::string part = spec.part.empty() ? std::string() : std::string(spec.part) + " ";
    const std::string range = withUnit(numberText(spec.least), "") + ".." + withUnit(numberText(spec.most), spec.unit);
    std::string text = std::string(spec.option) + ": ";
    using Kind = SettingProblem::Kind;
    switch (problem.kind) {
    case Kind::OutOfRange:
        return text + part + withUnit(problem.value, spec.unit) + " is outside " + range;
    case Kind::NotANumber:
        return text + part + problem.value + " is not a number (" + range + ")";
    case Kind::NotWhole:
        return text + part + problem.value + " is not a whole number (" + range + ")";
    case Kind::TooPrecise:
        return text + part + problem.value + " has more digits than 9";
    case Kind::NotSign:
        return text + problem.value + " is neither 1 nor -1";
    case Kind::NotAWord:
        return text + part + problem.value + " is not one of " + std::string(spec.words);
    case Kind::Missing:
        return text + "the " + std::string(spec.part) + " is missing (" + range + ")";
    case Kind::Shape:
        return text + (problem.value.empty() ? "\"\"" : problem.value) + " is not a cutter: flat:D, ball:D or v:D[:ANGLE], each may end in :LLENGTH";
    case Kind::NoCutter:
        return text + problem.value + " mm is the edge of no cutter: give --tool";
    }
    return text + problem.value;
}

std::string settingProblemText(const SettingProblem& problem) {
    const SettingSpec& spec = specOf(problem.setting);
    const std::string range =
        "от " + numberText(spec.least) + " до " + withUnit(numberText(spec.most), spec.unitRu);
    std::string text = std::string(spec.key) + "=" + problem.value + " — " + std::string(spec.nameRu) + ": ";
    using Kind = SettingProblem::Kind;
    switch (problem.kind) {
    case Kind::OutOfRange:
        return text + "вне допустимого, " + range;
    case Kind::NotANumber:
        return text + "не число; допустимо " + range;
    case Kind::NotWhole:
        return text + "не целое число; допустимо " + range;
    case Kind::TooPrecise:
        return text + "больше 9 цифр";
    case Kind::NotSign:
        return text + "допустимо 1 или -1";
    case Kind::NotAWord: {
        std::string words(spec.words);
        if (const std::size_t last = words.rfind(", "); last != std::string::npos)
            words.replace(last, 2, " или ");
        return text + "допустимо " + words;
    }
    case Kind::Missing:
        return text + "не задан; допустимо " + range;
    case Kind::Shape:
        return text + "это не фреза";
    case Kind::NoCutter:
        return text + "задана без формы фрезы (ToolShape)";
    }
    return text;
}

std::string heldBackText(Setting setting) {
    const unsigned needs = specOf(setting).needs;
    if (needs == probe)
        return "не начнётся измерение высоты щупом";
    if (needs & milling)
        return "не начнутся фрезерование (и пробное), предпросмотр и сохранение G-кода";
    if ((needs & gcode) && (needs & onGrbl))
        return "не начнутся задания и перемещения на grbl, не сохранится G-код";
    if ((needs & onGrbl) && (needs & onBoard))
        return "не начнутся задания и перемещения на станке";
    if (needs & onGrbl)
        return "не начнутся задания и перемещения на grbl";
    return "не начнутся задания и перемещения на станке";
}

std::string settingProblemsText(const std::string& configPath, const std::vector<SettingProblem>& problems) {
    std::string text = "В файле настроек " + configPath + " неверные значения (" + std::to_string(problems.size()) +
                       "): вместо каждого взято значение по умолчанию.";
    for (const SettingProblem& problem : problems)
        text += "\r\n• " + settingProblemText(problem) + "; пока оно не исправлено, " + heldBackText(problem.setting) + ".";
    return text;
}

std::string badSettingsRefusalText(const std::vector<SettingProblem>& problems) {
    std::string text = "Задание не начато: в файле настроек неверно задано то, что ему нужно.";
    for (const SettingProblem& problem : problems)
        text += "\r\n• " + settingProblemText(problem);
    return text + "\r\nИсправьте cnc.ini и откройте рабочее окно снова. Ничего не отправлено.";
}

} // namespace zelmar
