#pragma once
// The text of one motion command and the numbers that go into it: the scale from "1 пиксель - ... шагов"
// and the increments of the manual move. A refusal says what was wrong; the front-ends word it.

#include <cstdint>
#include <string>
#include <string_view>

namespace zelmar {

// Why a number or a command was refused before anything was sent.
struct NumberRefusal {
    enum class Kind {
        None,
        StepsPerPixel, // the scale is no whole number from 1 to 2^31 - 1
        Increment,     // an increment is no whole number from 0 that fits in 32 bits
        CountTooLarge, // a count leaves the 32-bit range of the board's counters
    };
    Kind kind = Kind::None;
    std::string fieldText;          // what the box held
    std::string axis;               // "X", "Y" or "Z", for an increment
    std::int32_t stepsPerPixel = 0; // for a count too large
};

struct Checked {
    std::int32_t value = 0;
    NumberRefusal refusal;
    bool ok() const { return refusal.kind == NumberRefusal::Kind::None; }
};

// Motor steps per image pixel: a whole number from 1 up that fits in 32 bits. Blanks around it are allowed.
Checked parseStepsPerPixel(std::string_view text);

// An increment typed for one axis ("X", "Y" or "Z"): a whole number of zero or more that fits in 32 bits.
Checked parseIncrement(std::string_view text, std::string_view axis);

// "X,Y,Z;" with X = -x * steps, Y = y * steps, Z = z * steps, no line end; refused when a count leaves the
// 32-bit range of the board's counters.
struct MoveText {
    std::string text;
    NumberRefusal refusal;
    bool ok() const { return refusal.kind == NumberRefusal::Kind::None; }
};
MoveText formatMoveCommand(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t stepsPerPixel);

// Scans a reply byte by byte for the acknowledgement "OK" (capital letters, anywhere, in any number of
// pieces).
class AcknowledgementScanner {
public:
    void add(char c) {
        found_ = found_ || (previous_ == 'O' && c == 'K');
        previous_ = c;
    }
    bool found() const { return found_; }

private:
    char previous_ = '\0';
    bool found_ = false;
};

} // namespace zelmar
