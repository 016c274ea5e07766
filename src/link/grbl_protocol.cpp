#include "grbl_protocol.h"

#include <charconv>
#include <cmath>

namespace zelmar {

std::optional<std::int64_t> thousandthsOf(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (!text.empty() && (text.front() == '-' || text.front() == '+'))
        return std::nullopt; // one sign at most
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if ((whole.empty() && fraction.empty()) || fraction.size() > 3)
        return std::nullopt;
    std::int64_t w = 0;
    if (!whole.empty()) {
        const auto [end, error] = std::from_chars(whole.data(), whole.data() + whole.size(), w);
        if (error != std::errc() || end != whole.data() + whole.size())
            return std::nullopt;
    }
    std::int64_t f = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        const char c = i < fraction.size() ? fraction[i] : '0';
        if (c < '0' || c > '9')
            return std::nullopt;
        f = f * 10 + (c - '0');
    }
    const std::int64_t v = w * 1000 + f;
    return negative ? -v : v;
}

namespace {

// "1.000,-2.5,0": three numbers; a fourth axis's, where a build has one, is not ours.
std::optional<GrblTriple> tripleOf(std::string_view values) {
    GrblTriple t;
    std::int64_t* axes[] = {&t.x, &t.y, &t.z};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t comma = values.find(',');
        if (comma == std::string_view::npos && i < 2)
            return std::nullopt;
        const std::optional<std::int64_t> v = thousandthsOf(values.substr(0, comma));
        if (!v)
            return std::nullopt;
        *axes[i] = *v;
        values = i == 2 ? std::string_view() : values.substr(comma + 1);
    }
    return t;
}

std::optional<GrblOverrides> overridesOf(std::string_view values) {
    int percent[3] = {0, 0, 0};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t comma = values.find(',');
        if ((comma == std::string_view::npos) != (i == 2))
            return std::nullopt;
        const std::string_view digits = values.substr(0, comma);
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), percent[i]);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || percent[i] < 0)
            return std::nullopt;
        values = i == 2 ? std::string_view() : values.substr(comma + 1);
    }
    return GrblOverrides{percent[0], percent[1], percent[2]};
}

bool parseStatus(std::string_view body, GrblStatus& status) {
    // Fields separated by '|'; the first is the state, maybe with ":substate".
    std::size_t field = 0;
    while (!body.empty()) {
        const std::size_t bar = body.find('|');
        const std::string_view part = body.substr(0, bar);
        if (field == 0) {
            const std::size_t colon = part.find(':');
            status.state = std::string(part.substr(0, colon));
            if (colon != std::string_view::npos) {
                int sub = 0;
                const std::string_view digits = part.substr(colon + 1);
                const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), sub);
                if (error == std::errc() && end == digits.data() + digits.size())
                    status.substate = sub;
            }
        } else if (part.starts_with("MPos:") || part.starts_with("WPos:")) {
            const std::optional<GrblTriple> at = tripleOf(part.substr(5));
            if (!at)
                return false;
            status.x = at->x;
            status.y = at->y;
            status.z = at->z;
            status.workPosition = part.starts_with("W");
            status.hasPosition = true;
        } else if (part.starts_with("WCO:")) {
            status.workOffset = tripleOf(part.substr(4));
            if (!status.workOffset)
                return false;
        } else if (part.starts_with("Ov:")) {
            status.overrides = overridesOf(part.substr(3));
            if (!status.overrides)
                return false;
        }
        ++field;
        if (bar == std::string_view::npos)
            break;
        body.remove_prefix(bar + 1);
    }
    return !status.state.empty();
}

int codeAfter(std::string_view line, std::string_view prefix) {
    int code = 0;
    const std::string_view digits = line.substr(prefix.size());
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code);
    return error == std::errc() && end == digits.data() + digits.size() ? code : -1;
}

} // namespace

GrblReply grblReplyOf(std::string_view line) {
    GrblReply r;
    r.line = std::string(line);
    if (line == "ok") {
        r.kind = GrblReply::Kind::Ok;
    } else if (line.starts_with("error:")) {
        r.kind = GrblReply::Kind::Error;
        r.code = codeAfter(line, "error:");
    } else if (line.starts_with("ALARM:")) {
        r.kind = GrblReply::Kind::Alarm;
        r.code = codeAfter(line, "ALARM:");
    } else if (line.size() >= 2 && line.front() == '<' && line.back() == '>' &&
               parseStatus(line.substr(1, line.size() - 2), r.status)) {
        r.kind = GrblReply::Kind::Status;
    } else if (line.starts_with("[PRB:") && line.ends_with("]") && line.size() > 8 &&
               (line[line.size() - 2] == '0' || line[line.size() - 2] == '1') && line[line.size() - 3] == ':') {
        if (const std::optional<GrblTriple> at = tripleOf(line.substr(5, line.size() - 8))) {
            r.kind = GrblReply::Kind::Probe;
            r.probe = {*at, line[line.size() - 2] == '1'};
        }
    } else if (line.starts_with("Grbl ")) {
        r.kind = GrblReply::Kind::Welcome;
    }
    return r;
}

std::optional<int> readGrblRate(std::string_view line, MachineRates& rates) {
    const std::size_t eq = line.find('=');
    if (!line.starts_with('$') || eq == std::string_view::npos || eq < 2)
        return std::nullopt;
    int id = 0;
    const auto [idEnd, idError] = std::from_chars(line.data() + 1, line.data() + eq, id);
    if (idError != std::errc() || idEnd != line.data() + eq)
        return std::nullopt;
    // grbl prints its settings as plain decimals: no exponent, no "inf" or "nan".
    const std::string_view text = line.substr(eq + 1);
    double value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    // $11 may be 0 (each corner a standstill); a rate or an acceleration of 0 would move nothing.
    if (id == 11 && value >= 0) {
        rates.junctionDeviation = value;
    } else if (id >= 110 && id <= 112 && value > 0) {
        rates.maxRate[static_cast<std::size_t>(id - 110)] = value;
    } else if (id >= 120 && id <= 122 && value > 0) {
        rates.acceleration[static_cast<std::size_t>(id - 120)] = value;
    } else {
        return std::nullopt;
    }
    return id;
}

std::vector<GrblReply> GrblReplies::add(std::string_view bytes) {
    std::vector<GrblReply> replies;
    for (char c : bytes) {
        if (c == '\n' || c == '\r') {
            if (!partial_.empty())
                replies.push_back(grblReplyOf(partial_));
            partial_.clear();
            continue;
        }
        // A line longer than grbl ever sends is noise: it is cut, so that noise cannot grow without end.
        if (partial_.size() < 256)
            partial_ += c;
    }
    return replies;
}

} // namespace zelmar
