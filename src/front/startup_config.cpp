#include "startup_config.h"

#include "front/version.h"
#include "profile_reader.h"
#include "setting_ranges.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <charconv>
#include <optional>
#include <filesystem>

namespace zelmar {
namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

std::string inProgramFolder(const std::string& programDir, const std::string& name) {
    return programDir + std::string(1, std::filesystem::path::preferred_separator) + name;
}

bool isFile(const QString& path) {
    return QFileInfo(path).isFile();
}

// Fails rather than replace a file that appeared meanwhile (another start of the program).
bool writeNewFile(const QString& path, const std::string& text, QString& error) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        error = QStringLiteral("папку создать нельзя");
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        error = file.errorString();
        return false;
    }
    const auto size = static_cast<qint64>(text.size());
    if (file.write(text.data(), size) != size || !file.flush()) {
        error = file.errorString();
        file.close();
        file.remove(); // a half-written file would be read as the user's settings next time
        return false;
    }
    return true;
}

} // namespace

ConfigLocations ConfigLocations::programFolderOnly(std::string programDir) {
    ConfigLocations locations;
    locations.programDir = std::move(programDir);
    return locations;
}

ConfigLocations standardConfigLocations(const std::string& programDir) {
    ConfigLocations locations = ConfigLocations::programFolderOnly(programDir);
    locations.userDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation).toStdString();
    const QString relative = QStringLiteral("zelmar/") + QString::fromLatin1(configFileName);
    // An installed program finds its data beside it (bin/../share), wherever the tree was put.
    locations.examplePaths.push_back(
        QDir::cleanPath(qs(programDir) + QStringLiteral("/../share/") + relative).toStdString());
    for (const QString& path : QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, relative))
        locations.examplePaths.push_back(path.toStdString());
    return locations;
}

StartupConfig readStartupConfig(const std::string& programDir) {
    return readStartupConfig(ConfigLocations::programFolderOnly(programDir));
}

StartupConfig readStartupConfig(const ConfigLocations& locations) {
    const std::string programConfig = inProgramFolder(locations.programDir, configFileName);
    const bool inProgram = isFile(qs(programConfig));
    const bool userFolderUsable = !locations.userDir.empty() && QDir::cleanPath(qs(locations.userDir)) !=
                                                                    QDir::cleanPath(qs(locations.programDir));
    if (inProgram || !userFolderUsable) {
        StartupConfig config = startupConfigFromText(readProfileFile(programConfig), locations.programDir);
        config.origin = inProgram ? ConfigOrigin::ProgramFolder : ConfigOrigin::Defaults;
        return config;
    }

    const QString userConfig = QDir(qs(locations.userDir)).filePath(QString::fromLatin1(configFileName));
    const auto fromUserFile = [&](ConfigOrigin origin) {
        StartupConfig config =
            userConfigFromText(readProfileFile(userConfig.toStdString()), locations.userDir);
        config.origin = origin;
        return config;
    };
    if (isFile(userConfig))
        return fromUserFile(ConfigOrigin::UserFolder);

    QString example;
    for (const std::string& path : locations.examplePaths)
        if (isFile(qs(path))) {
            example = qs(path);
            break;
        }
    if (example.isEmpty()) {
        StartupConfig config = startupConfigFromText({}, locations.programDir);
        config.origin = ConfigOrigin::Defaults;
        return config;
    }

    const QString exampleDir = QFileInfo(example).absolutePath();
    const std::string text =
        userConfigFromExample(readProfileFile(example.toStdString()), exampleDir.toStdString());
    QString error;
    if (writeNewFile(userConfig, text, error)) {
        StartupConfig config = fromUserFile(ConfigOrigin::CreatedFromExample);
        config.note = "Создан файл настроек " + userConfig.toStdString();
        return config;
    }
    if (isFile(userConfig)) // written meanwhile by another start of the program
        return fromUserFile(ConfigOrigin::UserFolder);
    StartupConfig config = userConfigFromText(text, exampleDir.toStdString());
    config.origin = ConfigOrigin::ExampleOnly;
    config.configPath = example.toStdString();
    config.note = "Не удалось создать файл настроек " + userConfig.toStdString() + " (" +
                  error.toStdString() + "), настройки взяты из " + example.toStdString();
    return config;
}

namespace {

// A whole number of the key within its range, or nothing.
std::optional<int> wholeValue(std::string_view iniText, const char* key, SettingRange range) {
    return wholeNumberIn(readProfileString(iniText, configSection, key, ""), range);
}

} // namespace

StartupConfig startupConfigFromText(std::string_view iniText, const std::string& programDir) {
    StartupConfig config;
    config.configPath = inProgramFolder(programDir, configFileName);
    config.portName = readProfileString(iniText, configSection, "Port", defaultPortName);
    config.imageName = readProfileString(iniText, configSection, "Image", defaultImageName);
    config.imagePath = inProgramFolder(programDir, config.imageName);
    config.timeoutSeconds = wholeValue(iniText, "Timeout", settingRanges::timeoutSeconds).value_or(config.timeoutSeconds);
    config.mergeSteps = wholeValue(iniText, "MergeSteps", settingRanges::mergeSteps).value_or(0) == 1;
    config.safeHeight = wholeValue(iniText, "SafeHeight", settingRanges::safeHeight).value_or(0);
    config.feed = wholeValue(iniText, "Feed", settingRanges::feed).value_or(config.feed);
    if (const std::optional<Decimal> mmPerStep =
            millimetresAStep(readProfileString(iniText, configSection, "MmPerStep", "")))
        config.mmPerStep = *mmPerStep;
    config.stepDown = wholeValue(iniText, "StepDown", settingRanges::stepDown).value_or(0);
    config.marksAsDepth = wholeValue(iniText, "MarksAsDepth", settingRanges::marksAsDepth).value_or(0) == 1;
    config.axisX = wholeValue(iniText, "AxisX", settingRanges::axisSign).value_or(1) < 0 ? -1 : 1;
    config.axisY = wholeValue(iniText, "AxisY", settingRanges::axisSign).value_or(1) < 0 ? -1 : 1;
    config.plungeFeed = wholeValue(iniText, "PlungeFeed", settingRanges::plungeFeed).value_or(0);
    config.spindle.rpm = wholeValue(iniText, "Spindle", settingRanges::spindleRpm).value_or(0);
    if (const std::optional<Decimal> delay = Decimal::parse(readProfileString(iniText, configSection, "SpindleDelay", "")))
        config.spindle.delaySeconds = *delay;
    if (const std::optional<Decimal> tolerance =
            Decimal::parse(readProfileString(iniText, configSection, "MergeTolerance", "")))
        config.mergeTolerance = *tolerance;
    const std::string shape = qs(readProfileString(iniText, configSection, "ToolShape", "")).trimmed().toLower().toStdString();
    if (!shape.empty()) {
        const std::string diameter = qs(readProfileString(iniText, configSection, "ToolDiameter", "")).trimmed().toStdString();
        const std::string angle = qs(readProfileString(iniText, configSection, "ToolAngle", "60")).trimmed().toStdString();
        const std::string length = qs(readProfileString(iniText, configSection, "ToolLength", "")).trimmed().toStdString();
        const std::optional<ToolShape> tool = toolShapeOf(shape + ":" + diameter + (shape == "v" ? ":" + angle : "") +
                                                          (length.empty() ? "" : ":L" + length));
        if (tool)
            config.tool = *tool;
        else // cut with a one-pixel tool's depths, a real cutter would go below the picture: the operator must know
            config.note = "Фреза в cnc.ini не понята (ToolShape=" + shape + ", ToolDiameter=" + diameter +
                          (shape == "v" ? ", ToolAngle=" + angle : "") + (length.empty() ? "" : ", ToolLength=" + length) +
                          "): глубины считаются для фрезы шириной в один пиксель. Допустимо ToolShape=flat, ball "
                          "или v, ToolDiameter больше 0 мм, ToolAngle от 0 до 180 градусов, ToolLength больше 0 мм.";
    }
    QString controller = qs(readProfileString(iniText, configSection, "Controller", "zelmar")).trimmed().toLower();
    if (controller == QLatin1String("grbl")) {
        config.controller = StartupConfig::Controller::Grbl;
    } else if (controller != QLatin1String("zelmar") && !controller.isEmpty()) {
        // Our board's commands would be errors to any other controller: harmless, but the operator must know.
        config.note = "Неизвестный контроллер Controller=" + controller.toStdString() +
                      " в cnc.ini: используется плата Zelmar (допустимо zelmar или grbl).";
    }
    config.baud = wholeValue(iniText, "Baud", settingRanges::baud).value_or(config.baud);
    return config;
}

StartupConfig userConfigFromText(std::string_view iniText, const std::string& configDir) {
    StartupConfig config = startupConfigFromText(iniText, configDir);
    const QDir dir(qs(configDir));
    config.configPath = dir.filePath(QString::fromLatin1(configFileName)).toStdString();
    const QString image = qs(config.imageName);
    config.imagePath = QDir::isAbsolutePath(image) ? config.imageName : dir.filePath(image).toStdString();
    return config;
}

std::string userConfigFromExample(std::string_view exampleText, const std::string& exampleDir) {
    // The note goes on the first line: a byte order mark after it would spoil the section line.
    if (exampleText.substr(0, 3) == "\xEF\xBB\xBF")
        exampleText.remove_prefix(3);
    std::string text = "; Создан программой Zelmar CNC из " +
                       QDir(qs(exampleDir)).filePath(QString::fromLatin1(configFileName)).toStdString() +
                       "\n" + std::string(exampleText);
    const QString image = qs(readProfileString(exampleText, configSection, "Image", ""));
    if (!image.isEmpty() && QDir::isRelativePath(image)) {
        const QString absolute = QDir::cleanPath(QDir(qs(exampleDir)).absoluteFilePath(image));
        if (auto replaced = withProfileValue(text, configSection, "Image", absolute.toStdString()))
            text = std::move(*replaced);
    }
    return text;
}

std::string workWindowCaption() {
    return "Zelmar ЧПУ   ver. " + std::to_string(versionMajor) + "." + std::to_string(versionMinor) + "." +
           std::to_string(versionPatch);
}

} // namespace zelmar
