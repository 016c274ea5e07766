#pragma once
// What the wait for "OK" needs of the line to the board. The serial port is the real line; a scripted line
// lets the fuzzer drive every path of the wait without a device.

#include <cstdint>
#include <string>

namespace zelmar {

class BoardLine {
public:
    virtual ~BoardLine() = default;

    // Waits until the text is out, then pauses; a short write or a closed or lost line sets portStatus to -1.
    virtual void WritePort(int handle, const std::string& text) = 0;
    // A received byte 0..255, or -1 when none is there now. Never blocks.
    virtual int ReadPortByte(int handle) = 0;
    virtual int portStatus() const = 0;
    virtual bool isOpen() const = 0;
    // The line failed while open; lostReasonText() says how, in Russian.
    virtual bool isLost() const = 0;
    virtual std::string lostReasonText() const = 0;
    // Waits at most ms for input to arrive (returns at once when some is there); false on a closed line.
    virtual bool waitForInput(int ms) = 0;
    // Throws away what the board sent and nobody read, e.g. a late "OK" after a time-out.
    virtual void discardInput() = 0;
    // Milliseconds since a byte last went out or came in.
    virtual std::int64_t msSinceActivity() const = 0;
    // Milliseconds since the last command went out.
    virtual std::int64_t msSinceWrite() const = 0;
};

} // namespace zelmar
