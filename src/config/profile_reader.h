#pragma once
// Reads one key of a Windows-style initialisation file the way the platform's profile reader does.
// QSettings is no use here: it rewrites values holding commas, quotes and backslashes.

#include <optional>
#include <string>
#include <string_view>

namespace zelmar {

// The reader's text buffer is 255 characters with room for the terminator.
constexpr std::size_t maxProfileValueLength = 254;

// Section and key names match case-insensitively (ASCII) after trimming blanks; the first matching key of the
// first matching section wins. The value is trimmed of blanks, loses one pair of enclosing quotes, and is cut
// to its first 254 characters (UTF-8 characters, never half of one). A missing file, section or key, or an
// empty value, gives the default.
std::string readProfileString(std::string_view fileText, std::string_view section, std::string_view key,
                              std::string_view defaultValue);

// The text with the value of the key the reader would find (same rules) replaced by newValue, the rest of the
// file (comments, other keys, line ends) unchanged; nothing when the reader would find no such key.
std::optional<std::string> withProfileValue(std::string_view fileText, std::string_view section,
                                            std::string_view key, std::string_view newValue);

// A configuration file is a few lines; the cap keeps a device or a huge file named cnc.ini harmless.
constexpr std::size_t maxProfileFileBytes = 1 << 20;
// The file's first maxProfileFileBytes bytes; a missing or unreadable file reads as empty text.
std::string readProfileFile(const std::string& path);
// The same from a file; an unreadable file counts as missing.
std::string readProfileStringFromFile(const std::string& path, std::string_view section, std::string_view key,
                                      std::string_view defaultValue);

} // namespace zelmar
