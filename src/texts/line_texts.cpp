#include "line_texts.h"

#include <cstdio>

namespace zelmar {

std::string grblSilentText(const std::string& port, const std::string& speedSetting) {
    return "Порт " + port + " открыт, но grbl не прислал приветствия ни сразу, ни после программного сброса "
           "(Ctrl-X). Проверьте скорость порта (" + speedSetting + ") и что на плате grbl.";
}

std::string clockText(std::int64_t seconds) {
    char clock[32];
    std::snprintf(clock, sizeof clock, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return clock;
}

} // namespace zelmar
