// cnc.ini bytes -> the reader and the start-up keys. Whatever the file holds, a value comes back whole from the
// file or is the default, within the reader's length, and the time-out stays a sane number of seconds.

#include "config/profile_reader.h"
#include "config/startup_config.h"
#include "fuzz_check.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

std::size_t utf8Characters(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); ++i)
        n += (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 || i == 0;
    return n;
}

void checkValue(std::string_view file, const std::string& value, std::string_view defaultValue) {
    using zelmar::fuzz::require;
    require(!value.empty(), "a missing or empty value gives the default");
    require(value == defaultValue || file.find(value) != std::string_view::npos,
            "a value is the default or comes from the file");
    require(utf8Characters(value) <= zelmar::maxProfileValueLength, "a value is cut to the reader's length");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zelmar::fuzz::require;
    const std::string_view file(reinterpret_cast<const char*>(data), size);

    const zelmar::StartupConfig config = zelmar::startupConfigFromText(file, "/opt/zelmar");
    checkValue(file, config.portName, zelmar::defaultPortName);
    checkValue(file, config.imageName, zelmar::defaultImageName);
    require(config.imagePath == "/opt/zelmar/" + config.imageName, "the image is looked for in the program's folder");
    require(config.timeoutSeconds >= 1 && config.timeoutSeconds <= 24 * 3600, "the time-out is a sane number");

    // The user's cnc.ini made from an example has its Image replaced: that value changes, and no other.
    const std::string sample = "/usr/share/zelmar/test.bmp";
    if (const auto replaced = zelmar::withProfileValue(file, "CNC", "Image", sample)) {
        require(zelmar::readProfileString(*replaced, "CNC", "Image", "-") == sample,
                "the new value is read back");
        require(zelmar::readProfileString(*replaced, "CNC", "Port", "-") ==
                    zelmar::readProfileString(file, "CNC", "Port", "-"),
                "the other keys keep their values");
    } else {
        require(zelmar::readProfileString(file, "CNC", "Image", "-") == "-",
                "no key to replace: none is read");
    }

    // Names as an operator might misspell them: blanks and other cases must not matter, nor crash.
    for (const auto& [section, key] : {std::pair{"cnc", "PORT"}, std::pair{" CNC ", " image "},
                                       std::pair{"", ""}, std::pair{"[", "="}}) {
        const std::string value = zelmar::readProfileString(file, section, key, "-");
        checkValue(file, value, "-");
    }
    return 0;
}
