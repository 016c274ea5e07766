#include "job_journal.h"

#include "mill/number_word.h"
#include "run/content_hash.h"

#include <charconv>
#include <filesystem>
#include <optional>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace zelmar {

namespace {

constexpr std::string_view magic = "zelmar-journal 1";

int fileNumber(std::FILE* file) {
#if defined(_WIN32)
    return _fileno(file);
#else
    return fileno(file);
#endif
}

std::string checkOf(std::string_view payload) {
    return ContentHash::hexOf(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()).substr(8);
}

// Values may hold anything but must stay one word: bytes outside '!'..'~', '%' and '#' are written %XX.
std::string encoded(std::string_view value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : value) {
        if (c > ' ' && c < 0x7F && c != '%' && c != '#') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out.empty() ? std::string("%") : out; // "%" alone: the empty value
}

std::optional<std::string> decoded(std::string_view word) {
    if (word == "%")
        return std::string();
    std::string out;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            out += word[i];
            continue;
        }
        if (i + 2 >= word.size())
            return std::nullopt;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(word.data() + i + 1, word.data() + i + 3, value, 16);
        if (error != std::errc() || end != word.data() + i + 3)
            return std::nullopt;
        out += static_cast<char>(value);
        i += 2;
    }
    return out;
}

std::vector<std::string_view> wordsOf(std::string_view line) {
    std::vector<std::string_view> words;
    while (!line.empty()) {
        const std::size_t space = line.find(' ');
        words.push_back(line.substr(0, space));
        if (space == std::string_view::npos)
            break;
        line.remove_prefix(space + 1);
    }
    return words;
}

// The payload of a whole line whose check holds; nothing for a cut or broken line.
std::optional<std::string_view> payloadOf(std::string_view line) {
    const std::size_t mark = line.rfind(" #");
    if (mark == std::string_view::npos || line.size() - mark != 10)
        return std::nullopt;
    const std::string_view payload = line.substr(0, mark);
    if (checkOf(payload) != line.substr(mark + 2))
        return std::nullopt;
    return payload;
}

std::optional<std::vector<std::string>> decodedWords(const std::vector<std::string_view>& words, std::size_t from) {
    std::vector<std::string> values;
    for (std::size_t i = from; i < words.size(); ++i) {
        std::optional<std::string> v = decoded(words[i]);
        if (!v)
            return std::nullopt;
        values.push_back(std::move(*v));
    }
    return values;
}

// Applies one record; false when it contradicts what came before.
bool applyRecord(JournalState& s, const std::vector<std::string_view>& w) {
    using Pending = JournalState::Pending;
    if (s.ended)
        return false;
    const std::string_view kind = w[0];
    // "S i", "A i", "D i"; "S i n" and "A i n" for a command of n moves.
    const auto moveArgument = [&w]() -> std::optional<std::int64_t> {
        if (w.size() != 2 && w.size() != 3)
            return std::nullopt;
        return numberOf<std::int64_t>(w[1]);
    };
    const auto countArgument = [&w]() -> std::optional<std::int32_t> {
        if (w.size() == 2)
            return 1;
        const std::optional<std::int32_t> n = numberOf<std::int32_t>(w[2]);
        return n && *n >= 1 ? n : std::nullopt;
    };
    if (kind == "S" || kind == "D") {
        const auto move = moveArgument();
        const auto count = countArgument();
        if (!move || !count || *move != s.done || s.pending != Pending::None || (kind == "D" && w.size() != 2))
            return false;
        if (kind == "D")
            ++s.done;
        else {
            s.pending = Pending::Move;
            s.pendingMove = *move;
            s.pendingMoves = *count;
        }
        return true;
    }
    if (kind == "A") {
        const auto move = moveArgument();
        const auto count = countArgument();
        if (!move || !count || s.pending != Pending::Move || *move != s.pendingMove || *count != s.pendingMoves)
            return false;
        s.pending = Pending::None;
        s.done = *move + *count;
        s.pendingMoves = 1;
        return true;
    }
    if (kind == "LS" || kind == "PS") {
        const auto depth = w.size() == 2 ? numberOf<std::int32_t>(w[1]) : std::nullopt;
        if (!depth || s.pending != Pending::None || s.lifted != (kind == "PS"))
            return false;
        if (kind == "PS" && *depth != s.liftDepth)
            return false;
        s.pending = kind == "LS" ? Pending::Lift : Pending::Plunge;
        s.pendingDepth = *depth;
        return true;
    }
    if (w.size() != 1)
        return false;
    const auto finish = [&s](bool carriedOut) {
        if (carriedOut) {
            if (s.pending == Pending::Move)
                s.done = s.pendingMove + s.pendingMoves;
            else if (s.pending == Pending::Lift) {
                s.lifted = true;
                s.liftDepth = s.pendingDepth;
            } else {
                s.lifted = false;
                s.liftDepth = 0;
            }
        }
        s.pending = Pending::None;
        s.pendingMoves = 1;
    };
    if (kind == "LA" || kind == "PA") {
        if (s.pending != (kind == "LA" ? Pending::Lift : Pending::Plunge))
            return false;
        finish(true);
        return true;
    }
    if (kind == "Y" || kind == "N" || kind == "U") {
        if (s.pending == Pending::None || (kind == "U" && s.pending != Pending::Move))
            return false;
        finish(kind == "Y");
        return true;
    }
    if (kind == "E") {
        if (s.pending != Pending::None)
            return false;
        s.ended = true;
        return true;
    }
    return false;
}

} // namespace

std::string journalLine(std::string_view payload) {
    return std::string(payload) + " #" + checkOf(payload) + "\n";
}

JournalReading readJournal(std::string_view text) {
    JournalReading r;
    using Verdict = JournalReading::Verdict;
    // Whole lines only: what follows the last line end is a record the crash cut.
    std::vector<std::pair<std::string_view, std::size_t>> lines; // line, bytes up to its end
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            break;
        lines.emplace_back(text.substr(at, end - at), end + 1);
        at = end + 1;
    }
    const auto damaged = [&r] {
        r.verdict = Verdict::Damaged;
        return r;
    };
    if (text.substr(0, magic.size()) != magic)
        return r; // not a journal: refused as such
    const char* const headerKeys[] = {"zelmar-journal", "image",      "steps", "travel",
                                      "prelude",        "operations", "mill",  "begin"};
    constexpr std::size_t headerLines = std::size(headerKeys);
    if (lines.size() < headerLines)
        return damaged();
    for (std::size_t i = 0; i < headerLines; ++i) {
        const std::optional<std::string_view> payload = payloadOf(lines[i].first);
        if (!payload)
            return damaged();
        const std::vector<std::string_view> w = wordsOf(*payload);
        if (w.empty() || w[0] != headerKeys[i])
            return damaged();
        const std::optional<std::vector<std::string>> values = decodedWords(w, 1);
        if (!values)
            return damaged();
        switch (i) {
        case 0:
            if (*payload != magic)
                return damaged();
            break;
        case 1:
            if (values->size() != 2)
                return damaged();
            r.header.imageHash = (*values)[0];
            r.header.imageName = (*values)[1];
            break;
        case 2:
            if (values->size() != 1)
                return damaged();
            r.header.stepsText = (*values)[0];
            break;
        case 3: {
            // Merging and the safe height, then what is set beyond them as key=value: tool, mm (a step), tolerance.
            const std::optional<std::int32_t> merge = values->size() >= 2 ? numberOf<std::int32_t>((*values)[0]) : std::nullopt;
            const std::optional<std::int32_t> safe = values->size() >= 2 ? numberOf<std::int32_t>((*values)[1]) : std::nullopt;
            if (!merge || !safe || (*merge != 0 && *merge != 1) || *safe < 0)
                return damaged();
            r.header.mergeSteps = *merge == 1;
            r.header.safeHeight = *safe;
            for (std::size_t k = 2; k < values->size(); ++k) {
                const std::string& v = (*values)[k];
                const std::size_t eq = v.find('=');
                const std::string key = v.substr(0, eq);
                std::string* field = key == "tool" ? &r.header.toolWord
                                     : key == "mm" ? &r.header.mmPerStep
                                     : key == "tolerance" ? &r.header.mergeTolerance
                                     : key == "stepdown" ? &r.header.stepDown
                                     : key == "depth" ? &r.header.depthRule
                                                          : nullptr;
                if (eq == std::string::npos || !field || !field->empty() || eq + 1 == v.size())
                    return damaged(); // a setting this program does not know would send other moves
                *field = v.substr(eq + 1);
            }
            break;
        }
        case 4:
            r.header.prelude = *values;
            break;
        case 5:
            r.header.operations = *values;
            break;
        case 6:
            if (values->size() != 1)
                return damaged();
            r.header.millHash = (*values)[0];
            break;
        default:
            if (!values->empty())
                return damaged();
        }
    }
    r.wholeBytes = lines[headerLines - 1].second;
    for (std::size_t i = headerLines; i < lines.size(); ++i) {
        const std::optional<std::string_view> payload = payloadOf(lines[i].first);
        if (!payload)
            break; // a record the crash left half written: the journal ends before it
        if (!applyRecord(r.state, wordsOf(*payload)))
            return damaged();
        r.wholeBytes = lines[i].second;
        ++r.records;
    }
    r.verdict = Verdict::Readable;
    return r;
}

JournalWriter::~JournalWriter() {
    close();
}

bool JournalWriter::create(const std::string& path, const JournalHeader& header) {
    close();
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_)
        return false;
    fd_ = fileNumber(file_);
    path_ = path;
    // Only what is set: a journal of today's settings reads as it always did.
    const auto setting = [](const char* key, const std::string& value) {
        return value.empty() ? std::string() : " " + encoded(std::string(key) + "=" + value);
    };
    const auto list = [](const std::vector<std::string>& values) {
        std::string words;
        for (const std::string& v : values)
            words += " " + encoded(v);
        return words;
    };
    buffer_ = journalLine(magic) + journalLine("image " + encoded(header.imageHash) + " " + encoded(header.imageName)) +
              journalLine("steps " + encoded(header.stepsText)) +
              journalLine("travel " + std::to_string(header.mergeSteps ? 1 : 0) + " " +
                          std::to_string(header.safeHeight) + setting("tool", header.toolWord) +
                          setting("mm", header.mmPerStep) + setting("tolerance", header.mergeTolerance) +
                          setting("stepdown", header.stepDown) + setting("depth", header.depthRule)) +
              journalLine("prelude" + list(header.prelude)) +
              journalLine("operations" + list(header.operations)) + journalLine("mill " + encoded(header.millHash)) +
              journalLine("begin");
    return commit();
}

bool JournalWriter::resume(const std::string& path, std::size_t wholeBytes) {
    close();
    std::error_code error;
    std::filesystem::resize_file(path, wholeBytes, error);
    if (error)
        return false;
    file_ = std::fopen(path.c_str(), "ab");
    fd_ = file_ ? fileNumber(file_) : -1;
    path_ = path;
    return file_ != nullptr;
}

void JournalWriter::record(const std::string& payload) {
    buffer_ += journalLine(payload);
}

namespace {
std::string moveWords(std::int64_t move, std::int32_t moves) {
    return std::to_string(move) + (moves > 1 ? " " + std::to_string(moves) : std::string());
}
} // namespace

void JournalWriter::sent(std::int64_t move, std::int32_t moves) {
    record("S " + moveWords(move, moves));
}
void JournalWriter::acknowledged(std::int64_t move, std::int32_t moves) {
    record("A " + moveWords(move, moves));
}
void JournalWriter::doneDry(std::int64_t move) {
    record("D " + std::to_string(move));
}
void JournalWriter::liftSent(std::int32_t depth) {
    record("LS " + std::to_string(depth));
}
void JournalWriter::liftDone() {
    record("LA");
}
void JournalWriter::plungeSent(std::int32_t depth) {
    record("PS " + std::to_string(depth));
}
void JournalWriter::plungeDone() {
    record("PA");
}
void JournalWriter::answered(bool carriedOut) {
    record(carriedOut ? "Y" : "N");
}
void JournalWriter::unsent() {
    record("U");
}
void JournalWriter::ended() {
    record("E");
}

bool JournalWriter::commit() {
    return write() && syncFile(fd_);
}

bool JournalWriter::write() {
    if (!file_)
        return false;
    if (buffer_.empty())
        return true;
    const bool written = std::fwrite(buffer_.data(), 1, buffer_.size(), file_) == buffer_.size() &&
                         std::fflush(file_) == 0;
    buffer_.clear();
    return written;
}

bool JournalWriter::syncFile(int fd) {
    if (fd < 0)
        return false;
#if defined(_WIN32)
    return _commit(fd) == 0;
#elif defined(__linux__)
    return fdatasync(fd) == 0;
#else
    return fsync(fd) == 0;
#endif
}

void JournalWriter::close() {
    if (!file_)
        return;
    commit();
    std::fclose(file_);
    file_ = nullptr;
    fd_ = -1;
}

} // namespace zelmar
