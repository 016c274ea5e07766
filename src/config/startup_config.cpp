#include "startup_config.h"

#include "config/version.h"
#include "profile_reader.h"
#include "settings_table.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

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

StartupConfig startupConfigFromText(std::string_view iniText, const std::string& programDir) {
    StartupConfig config;
    config.configPath = inProgramFolder(programDir, configFileName);
    SettingTexts texts;
    for (const SettingSpec& spec : settingsTable()) {
        std::string value = readProfileString(iniText, configSection, spec.key, "");
        if (!value.empty()) // the reader gives an empty value as its default: not given
            texts[static_cast<std::size_t>(spec.setting)] = std::move(value);
    }
    config.problems = applySettings(texts, config);
    config.imagePath = inProgramFolder(programDir, config.imageName);
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
