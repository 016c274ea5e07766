#include "startup_config.h"

#include "app/version.h"
#include "profile_reader.h"

#include <charconv>
#include <filesystem>

namespace zelmar {

StartupConfig readStartupConfig(const std::string& programDir) {
    const std::string separator(1, std::filesystem::path::preferred_separator);
    const std::string configPath = programDir + separator + configFileName;
    StartupConfig config = startupConfigFromText(readProfileFile(configPath), programDir);
    config.configPath = configPath;
    return config;
}

StartupConfig startupConfigFromText(std::string_view iniText, const std::string& programDir) {
    const std::string separator(1, std::filesystem::path::preferred_separator);
    StartupConfig config;
    config.configPath = programDir + separator + configFileName;
    config.portName = readProfileString(iniText, configSection, "Port", defaultPortName);
    config.imageName = readProfileString(iniText, configSection, "Image", defaultImageName);
    config.imagePath = programDir + separator + config.imageName;
    const std::string timeout = readProfileString(iniText, configSection, "Timeout", "");
    int seconds = 0;
    const auto [end, error] = std::from_chars(timeout.data(), timeout.data() + timeout.size(), seconds);
    if (error == std::errc() && end == timeout.data() + timeout.size() && seconds >= 1 &&
        seconds <= 24 * 3600)
        config.timeoutSeconds = seconds;
    return config;
}

std::string workWindowCaption() {
    return "Zelmar ЧПУ   ver. " + std::to_string(versionMajor) + "." + std::to_string(versionMinor) + "." +
           std::to_string(versionPatch);
}

} // namespace zelmar
