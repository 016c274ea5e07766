// zelmar-board: the controller board's side of the serial line, on a pseudo-terminal.

#include "board.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr const char* usage = R"(usage: zelmar-board [OPTIONS]

Simulates the mill's controller board on a pseudo-terminal (9600 baud, 8N1, RTS/CTS, raw).
Takes "X,Y,Z;" move commands (signed step counts, no line end) and answers each with "OK".
Standard output: the device path as the first line, "position X Y Z" (motor steps) as the last,
printed when the board stops (SIGINT, SIGTERM, SIGHUP, or the conditions below).

Options:
  --link PATH               make PATH a symbolic link to the device (an old link is replaced);
                            removed at exit
  --log FILE                log every command with a time stamp and its outcome ("-": standard error)
  --step-rate N             steps per second of the simulated motors (default 20000); an answer comes
                            when the longest axis of the move would be done
  --max-delay-ms N          longest time a move takes (default 200)
  --delay-ms N              answer every command after N ms instead (0: at once)
  --answer-late-ms N        answer every command N ms later still (default 0)
  --reject-malformed        answer a malformed command with "ERR" (default: ignore it, no answer)
  --silent-after N          after N answers take no more commands: never answer, never move
  --hangup-after N          after N answers close the line when the next command arrives (it is not
                            carried out), then stop
  --split                   send "O" and "K" in two writes
  --split-pause-ms N        pause between the two writes (default 20)
  --noise                   stray printable bytes and line ends around every answer
  --seed N                  seed of the stray bytes (default 1)
  --lowercase               answer "ok" instead of "OK"
  --exit-after-commands N   stop once N commands have arrived and been answered
  --stdin-control           stop when standard input reaches end of file
  --grbl                    be a grbl 1.1h controller instead (below)
  -h, --help                show this text
  --version                 show the version

With --grbl the board speaks grbl 1.1h on a raw line without handshake. A client's open resets it (as
the DTR line resets a real one): it prints "\r\nGrbl 1.1h ['$' for help]\r\n", as after a soft reset.
Every line, ended by "\n" or by "\r" ("\r\n" is a line and an empty line: two answers, as in grbl),
is answered "ok" or "error:N" in order. "?" (status report), "!" (feed hold), "~" (cycle start),
Ctrl-X (soft reset; in motion: "ALARM:3") and 0x85 (jog cancel) act at once and never enter the
128-byte receive buffer; bytes arriving while it is full are lost, logged and counted. Motion lines
(G0, G1, "$J=") are answered when their block enters the planner of 15; a block takes its length at
its feed rate, G0 at the maximum rate, without acceleration. The last line of standard output is
"position X Y Z overrun N": millimetres (exact: 250 steps/mm) from where the board started, and the
bytes the receive buffer lost.
  --baud N                  the line's speed, for the record (default 115200)
  --no-welcome              the board was already running: a client's open changes nothing and shows
                            no welcome (only a soft reset does)
  --max-rate N              each axis's maximum rate, mm/min ($110-$112, default 500)
  --delay-ms N              every move takes N ms, whatever its length (0: done at once)
  --travel N                soft limits, N mm each way from where the board powered up: a jog beyond
                            is answered "error:15", a G0/G1 beyond raises ALARM:2
  --alarm-at N              a hard limit trips (ALARM:1) once N motion blocks have run: the motion
                            stops, the planner is emptied and nothing but a soft reset is taken
  --silent-after, --hangup-after and --exit-after-commands count "ok" and "error:N" answers, and the
  machine finishes the moves it accepted before the board stops by itself; --split sends the first
  byte of every answer apart; --noise puts an empty line or a "[MSG:...]" before every answer;
  --answer-late-ms, --link, --log and --stdin-control work as above.
)";

int usageError(std::string_view message) {
    std::fprintf(stderr, "zelmar-board: %.*s\n%s", static_cast<int>(message.size()), message.data(), usage);
    return 2;
}

std::optional<std::int64_t> number(std::string_view text, std::int64_t least) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    // Bounded so that no time or step arithmetic can overflow.
    if (error != std::errc{} || end != text.data() + text.size() || value < least || value > 1'000'000'000)
        return std::nullopt;
    return value;
}

} // namespace

int main(int argc, char** argv) {
    using zelmar::board::Options;
    Options options;
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    std::vector<std::string_view> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> inlineValue;
        if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string_view::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        const auto value = [&]() -> std::optional<std::string_view> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args[++i];
            return std::nullopt;
        };

        bool* flag = nullptr;
        if (name == "--reject-malformed")
            flag = &options.rejectMalformed;
        else if (name == "--split")
            flag = &options.split;
        else if (name == "--noise")
            flag = &options.noise;
        else if (name == "--lowercase")
            flag = &options.lowercase;
        else if (name == "--stdin-control")
            flag = &options.stdinControl;
        else if (name == "--grbl")
            flag = &options.grbl;
        if (name == "--no-welcome") {
            if (inlineValue)
                return usageError(std::string(name) + " takes no value");
            options.welcomeAtOpen = false;
            given.push_back(name);
            continue;
        }
        if (flag) {
            if (inlineValue)
                return usageError(std::string(name) + " takes no value");
            *flag = true;
            given.push_back(name);
            continue;
        }
        if (name == "-h" || name == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (name == "--version") {
            std::puts("zelmar-board " ZELMAR_VERSION);
            return 0;
        }

        if (name == "--link" || name == "--log") {
            const auto text = value();
            if (!text || text->empty())
                return usageError(std::string(name) + " needs a path");
            (name == "--link" ? options.link : options.log) = std::string(*text);
            continue;
        }

        std::int64_t least = 0;
        std::optional<std::int64_t>* optionalTarget = nullptr;
        std::int64_t* target = nullptr;
        std::int64_t seed = 0;
        if (name == "--step-rate") {
            target = &options.stepRate;
            least = 1;
        } else if (name == "--max-delay-ms") {
            target = &options.maxDelayMs;
        } else if (name == "--delay-ms") {
            optionalTarget = &options.fixedDelayMs;
        } else if (name == "--answer-late-ms") {
            target = &options.answerLateMs;
        } else if (name == "--silent-after") {
            optionalTarget = &options.silentAfter;
        } else if (name == "--hangup-after") {
            optionalTarget = &options.hangupAfter;
        } else if (name == "--split-pause-ms") {
            target = &options.splitPauseMs;
        } else if (name == "--seed") {
            target = &seed;
        } else if (name == "--exit-after-commands") {
            optionalTarget = &options.exitAfterCommands;
            least = 1;
        } else if (name == "--baud") {
            target = &options.baud;
        } else if (name == "--max-rate") {
            target = &options.maxRate;
            least = 1;
        } else if (name == "--travel") {
            optionalTarget = &options.travel;
            least = 1;
        } else if (name == "--alarm-at") {
            optionalTarget = &options.alarmAt;
            least = 1;
        } else {
            return usageError("unknown option " + std::string(name));
        }
        const auto text = value();
        const std::optional<std::int64_t> parsed = text ? number(*text, least) : std::nullopt;
        if (!parsed)
            return usageError(std::string(name) + " needs a whole number from " + std::to_string(least));
        if (target)
            *target = *parsed;
        else
            *optionalTarget = *parsed;
        if (target == &seed)
            options.seed = static_cast<std::uint32_t>(seed);
        given.push_back(name);
    }

    // Options of one kind of board only: rather an error than one silently ignored.
    const auto isGiven = [&given](std::string_view name) {
        return std::find(given.begin(), given.end(), name) != given.end();
    };
    for (const std::string_view name : {"--step-rate", "--max-delay-ms", "--reject-malformed", "--lowercase"})
        if (options.grbl && isGiven(name))
            return usageError(std::string(name) + " has no meaning with --grbl");
    for (const std::string_view name : {"--baud", "--no-welcome", "--max-rate", "--travel", "--alarm-at"})
        if (!options.grbl && isGiven(name))
            return usageError(std::string(name) + " needs --grbl");
    if (!zelmar::board::validBaud(options.baud))
        return usageError("--baud takes 9600, 19200, 38400, 57600, 115200 or 230400");
    return zelmar::board::run(options);
}
