#pragma once
// The words about the line and the time a job takes that the window and the command-line tool both say.

#include <cstdint>
#include <string>

namespace zelmar {

// The status line's words when the port did not open.
inline constexpr const char* portNotOpenedText = "Ошибка открытия Com-порта";

// grbl on an open port never said hello; `speedSetting` names where the port's speed is set and what it is.
std::string grblSilentText(const std::string& port, const std::string& speedSetting);

// "1:02:03": hours, minutes and seconds of a job's time.
std::string clockText(std::int64_t seconds);

} // namespace zelmar
