// zelmar-board: the controller board's side of the serial line, on a pseudo-terminal.

#include "board.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>
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
Ctrl-X (soft reset; in motion: "ALARM:3", homing: "ALARM:6"), 0x85 (jog cancel) and the overrides
(below) act at once and never enter the 128-byte receive buffer; bytes arriving while it is full
are lost, logged and counted. Motion lines (G0, G1, "$J=") are answered when their block enters the
planner of 15; a block takes its length at its feed rate, G0 at the maximum rate, without
acceleration. The last line of standard output is
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
  --homing                  homing enabled ($22=1): at power-up (a client's open) the board is in
                            alarm with "[MSG:'$H'|'$X' to unlock]" until "$H" or "$X". "$H" moves
                            in one straight line at the homing seek rate ($25, 500 mm/min), state
                            "Home", to the home switches, which sit where the board started, makes
                            that machine 0,0,0 (MPos 0,0,0 there, not grbl's negative positions
                            after homing to a positive corner) and answers "ok" on arrival, Idle.
                            "$X" answers "[MSG:Caution: Unlocked]" and "ok". Without it "$H" is
                            "error:5" until "$22=1" is written
  --surface SPEC            the stock's top, which "G38.2"-"G38.5" probe against (without it a probe
                            never touches). Machine Z in mm over the machine's fixed frame: mm from
                            where the board started, which MPos reads unless a client's open reset
                            the board elsewhere (and again after "$H"). SPEC is "flat:Z" (the top at
                            Z everywhere), "tilt:Z0,DX,DY" (at Z0 + DX*X/100 + DY*Y/100: DX and DY mm
                            of rise per 100 mm along X and Y; "tilt:DX,DY" has Z0 = 0), "twist:Z0,DX,DY,T"
                            (the tilt plus T*X*Y/10000: warped like a propeller) or the path of
                            a PGM picture (P2 or P5, any maximum value): each grey level is 0.01 mm
                            above --surface-z, each pixel a square of --surface-cell mm, the
                            picture's bottom-left corner at X=Y=0, its top row at the largest Y;
                            beyond the picture its edge pixels go on
  --surface-cell MM         a PGM pixel's side in mm (default 1)
  --surface-z Z             the machine Z of a PGM's grey level 0 in mm (default 0)
  --cut-log FILE            for every G1 move the machine carries out (to its end, or as far as it
                            went when a reset or an alarm stopped it), a line "X Y Z S": the tool
                            tip's position and the surface's Z under it (or "none" without
                            --surface), mm of the fixed frame with four decimals, space-separated
  --cut-log-every MM        also a line every MM mm along each such move (default 0: its end only)
  Probing: "G38.2 Z-10 F100" (any axes, G90 work or G91 relative, a feed needed: "error:22"; a
  target where the machine stands: "error:33") waits for the machine to stand, then moves until
  the tool tip's Z first reaches the surface at some motor step (G38.4/G38.5: first leaves it),
  stops there and answers "[PRB:X,Y,Z:1]" (machine coordinates, three decimals) and "ok". No
  contact by the target: G38.2/G38.4 send "ALARM:5", "[PRB:X,Y,Z:0]" (the last probe's position)
  and "ok", then every G-code line gets "error:9" until "$X" or "$H"; G38.3/G38.5 send
  "[PRB:X,Y,Z:0]" (where they stopped) and "ok". Already touching at the start (G38.4/G38.5: not
  touching): "ALARM:4" and "ok", no motion. "$#" lists G54-G59 (G10), G28, G30, G92, TLO and PRB.
  Work offsets: "G10 L20 P1 X.. Y.. Z.." (P0 or P1, any axes) waits for the machine to stand and
  makes where it stands read those work coordinates; "G10 L2 P1 X.." sets the G54 offset itself
  (P2-P6 are kept for "$#" only, G55-G59 cannot be selected). G0/G1 and "$J=" in G90
  are in G54 work coordinates, "G53"/"$J=G53" in machine coordinates. "$10=1" (the default) reports
  "MPos:", "$10=0" "WPos:" (MPos - WCO). "WCO:x,y,z" (the G54 offset) and "Ov:feed,rapid,spindle"
  come in every tenth report, WCO in the first report after a reset or a change of the offset, Ov
  in the report after that or after an override changed.
  Overrides: 0x90 feed 100 %, 0x91/0x92 +/-10 %, 0x93/0x94 +/-1 % (10-200 %); 0x95/0x96/0x97 rapid
  100/50/25 %; 0x99-0x9D the spindle likewise (10-200 %, no effect beyond the report). G1 and
  probing moves, and G0 at the rapid override, take their time at the overridden rate (never above
  the axes' maximum rate; with --delay-ms N they take N*100/percent ms), from the moment the byte
  arrives; jogs and homing ignore them. A reset brings them back to 100 %.
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

// Millimetres as a decimal number, sign allowed, bounded as the board's positions are.
std::optional<double> millimetres(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || !(value > -1e6 && value < 1e6))
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
        else if (name == "--homing")
            flag = &options.homing;
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

        if (name == "--link" || name == "--log" || name == "--surface" || name == "--cut-log") {
            const auto text = value();
            if (!text || text->empty())
                return usageError(std::string(name) +
                                  (name == "--surface" ? " needs a kind or a path" : " needs a path"));
            (name == "--link" ? options.link : name == "--log" ? options.log : name == "--surface" ? options.surface
                                                                                               : options.cutLog) =
                std::string(*text);
            given.push_back(name);
            continue;
        }
        if (name == "--surface-cell" || name == "--surface-z" || name == "--cut-log-every") {
            const auto text = value();
            const std::optional<double> parsed = text ? millimetres(*text) : std::nullopt;
            const bool positive = name == "--surface-cell";
            if (!parsed || (positive && *parsed <= 0) || (name == "--cut-log-every" && *parsed < 0))
                return usageError(std::string(name) + " needs a number of millimetres" +
                                  (positive ? " above 0" : name == "--cut-log-every" ? ", 0 or more" : ""));
            (name == "--surface-cell" ? options.surfaceCell
                                      : name == "--surface-z" ? options.surfaceZ : options.cutLogEvery) = *parsed;
            given.push_back(name);
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
    for (const std::string_view name : {"--baud", "--no-welcome", "--max-rate", "--travel", "--alarm-at", "--homing",
                                        "--surface", "--surface-cell", "--surface-z", "--cut-log", "--cut-log-every"})
        if (!options.grbl && isGiven(name))
            return usageError(std::string(name) + " needs --grbl");
    for (const std::string_view name : {"--surface-cell", "--surface-z"})
        if (isGiven(name) && options.surface.empty())
            return usageError(std::string(name) + " needs --surface");
    if (isGiven("--cut-log-every") && options.cutLog.empty())
        return usageError("--cut-log-every needs --cut-log");
    if (!options.surface.empty()) {
        std::string error;
        auto stock = zelmar::board::grbl::Surface::parse(options.surface, options.surfaceCell, options.surfaceZ, error);
        if (!stock)
            return usageError("--surface " + error);
        options.stock = std::move(*stock);
    }
    if (!zelmar::board::validBaud(options.baud))
        return usageError("--baud takes 9600, 19200, 38400, 57600, 115200 or 230400");
    return zelmar::board::run(options);
}
