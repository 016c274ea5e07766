#include "profile_reader.h"

#include <fstream>
#include <optional>

namespace zelmar {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    return true;
}

std::string_view withoutEnclosingQuotes(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

// Cut after maxChars UTF-8 characters; a stray byte that is not valid UTF-8 counts as one character.
std::string_view firstCharacters(std::string_view v, std::size_t maxChars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const auto byte = static_cast<unsigned char>(v[i]);
        const bool continuation = (byte & 0xC0) == 0x80 && i > 0;
        if (!continuation) {
            if (chars == maxChars)
                return v.substr(0, i);
            ++chars;
        }
    }
    return v;
}

std::optional<std::string_view> sectionName(std::string_view line) {
    const std::string_view t = trimmed(line);
    if (t.empty() || t.front() != '[')
        return std::nullopt;
    const std::size_t close = t.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return trimmed(t.substr(1, close - 1));
}

} // namespace

namespace {

// Where the reader finds the key: the value's place in the file text (before trimming and quotes).
struct FoundValue {
    std::size_t offset;
    std::size_t length;
};

std::optional<FoundValue> findProfileValue(std::string_view fileText, std::string_view section,
                                           std::string_view key) {
    std::size_t pos = fileText.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    bool inSection = false;
    bool sectionSeen = false;
    while (pos <= fileText.size()) {
        std::size_t end = fileText.find('\n', pos);
        if (end == std::string_view::npos)
            end = fileText.size();
        const std::string_view line = fileText.substr(pos, end - pos);
        const std::size_t lineStart = pos;
        pos = end + 1;

        if (const auto name = sectionName(line)) {
            // Only the first section of that name is read.
            if (inSection)
                break;
            inSection = !sectionSeen && equalsIgnoringCase(*name, trimmed(section));
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection)
            continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || !equalsIgnoringCase(trimmed(line.substr(0, eq)), trimmed(key)))
            continue;
        std::size_t length = line.size() - eq - 1;
        if (length > 0 && line.back() == '\r')
            --length; // a CR LF file keeps its CR
        return FoundValue{lineStart + eq + 1, length};
    }
    return std::nullopt;
}

} // namespace

std::string readProfileString(std::string_view fileText, std::string_view section, std::string_view key,
                              std::string_view defaultValue) {
    const std::optional<FoundValue> found = findProfileValue(fileText, section, key);
    if (!found)
        return std::string(defaultValue);
    const std::string_view value =
        firstCharacters(withoutEnclosingQuotes(trimmed(fileText.substr(found->offset, found->length))),
                        maxProfileValueLength);
    return value.empty() ? std::string(defaultValue) : std::string(value);
}

std::optional<std::string> withProfileValue(std::string_view fileText, std::string_view section,
                                            std::string_view key, std::string_view newValue) {
    const std::optional<FoundValue> found = findProfileValue(fileText, section, key);
    if (!found)
        return std::nullopt;
    std::string text(fileText);
    text.replace(found->offset, found->length, newValue);
    return text;
}

std::string readProfileFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return {};
    std::string text(maxProfileFileBytes, '\0');
    file.read(text.data(), static_cast<std::streamsize>(maxProfileFileBytes));
    text.resize(static_cast<std::size_t>(file.gcount()));
    return text;
}

std::string readProfileStringFromFile(const std::string& path, std::string_view section, std::string_view key,
                                      std::string_view defaultValue) {
    return readProfileString(readProfileFile(path), section, key, defaultValue);
}

} // namespace zelmar
