#pragma once
// What the work window reads when it loads: its caption and the two keys of cnc.ini.

#include <string>
#include <string_view>

namespace zelmar {

inline constexpr const char* configFileName = "cnc.ini";
inline constexpr const char* configSection = "CNC";
inline constexpr const char* defaultPortName = "com1";
inline constexpr const char* defaultImageName = "test.bmp";

struct StartupConfig {
    std::string configPath;
    std::string portName;
    std::string imageName;
    // Always the program's folder, the separator and the configured name, even when that name is absolute.
    std::string imagePath;
    // How long to wait for the board's "OK" (optional key Timeout, whole seconds from 1 up).
    int timeoutSeconds = defaultTimeoutSeconds;

    static constexpr int defaultTimeoutSeconds = 30;
};

StartupConfig readStartupConfig(const std::string& programDir);
// The same from the text of a cnc.ini (a missing file reads as empty text).
StartupConfig startupConfigFromText(std::string_view iniText, const std::string& programDir);

// "Zelmar ЧПУ   ver. 1.0.1" from the project version.
std::string workWindowCaption();

} // namespace zelmar
