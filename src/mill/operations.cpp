#include "operations.h"

#include "gcode.h"
#include "number_word.h"
#include "relief/relief_commands.h"

#include <charconv>

namespace zelmar {

namespace {

struct Name {
    Operation::Kind kind;
    std::string_view word;
};
constexpr Name plainNames[] = {
    {Operation::Kind::Parse, "parse"},       {Operation::Kind::MillSelected, "mill-selected"},
    {Operation::Kind::MillAll, "mill-all"},  {Operation::Kind::Gradient, "gradient"},
    {Operation::Kind::Offset, "offset"},     {Operation::Kind::Cut3D, "cut3d"},
    {Operation::Kind::RestoreMill, "restore-mill"},
    {Operation::Kind::Home, "home"},         {Operation::Kind::Unlock, "unlock"},
    {Operation::Kind::GotoZero, "goto-zero"}, {Operation::Kind::ProbeZ, "probe-z"},
};

// "-2.5", "+1", "0.004": a signed number of millimetres, as grbl takes it.
bool isMillimetres(std::string_view text) {
    if (!text.empty() && (text.front() == '-' || text.front() == '+'))
        text.remove_prefix(1);
    return !text.empty() && text.front() != ' ' && text.back() != ' ' && Decimal::parse(text).has_value();
}

} // namespace

MillKind Operation::millKind() const {
    return kind == Kind::MillSelected ? MillKind::Selected : kind == Kind::MillAll ? MillKind::All : MillKind::Cut3D;
}

Operation millingOperation(MillKind kind) {
    Operation op;
    op.kind = kind == MillKind::Selected ? Operation::Kind::MillSelected
              : kind == MillKind::All    ? Operation::Kind::MillAll
                                         : Operation::Kind::Cut3D;
    return op;
}

std::optional<Operation> operationOf(std::string_view word) {
    Operation op;
    // A history's marks: "!" (sent nothing) and "@N" (left after N moves).
    if (word.ends_with('!')) {
        op.sentNothing = true;
        word.remove_suffix(1);
    }
    if (const std::size_t at = word.find('@'); at != std::string_view::npos) {
        const std::optional<std::int64_t> reached = numberOf<std::int64_t>(word.substr(at + 1));
        if (!reached || *reached < 0)
            return std::nullopt;
        op.reached = *reached;
        word = word.substr(0, at);
    }
    for (const Name& n : plainNames)
        if (word == n.word) {
            op.kind = n.kind;
            return (op.reached >= 0 || op.sentNothing) && !op.isMilling() ? std::nullopt : std::optional(op);
        }
    if (op.reached >= 0 || op.sentNothing)
        return std::nullopt;
    if (word.starts_with("select=")) {
        const std::optional<std::int32_t> id = numberOf<std::int32_t>(word.substr(7));
        if (!id)
            return std::nullopt;
        op.kind = Operation::Kind::Select;
        op.id = *id;
        return op;
    }
    if (word == "zero" || word.starts_with("zero=")) {
        // Any of X, Y and Z, once each; written back in that order.
        const std::string_view letters = word == "zero" ? std::string_view("XYZ") : word.substr(5);
        for (char axis : std::string_view("XYZ"))
            if (letters.find(axis) != std::string_view::npos)
                op.axes += axis;
        if (op.axes.empty() || op.axes.size() != letters.size())
            return std::nullopt;
        op.kind = Operation::Kind::Zero;
        return op;
    }
    if (word.starts_with("jog=")) {
        std::string_view rest = word.substr(4);
        std::string* texts[] = {&op.tx, &op.ty, &op.tz};
        for (std::size_t i = 0; i < 3; ++i) {
            const std::size_t comma = rest.find(',');
            if ((comma == std::string_view::npos) != (i == 2) || !isMillimetres(rest.substr(0, comma)))
                return std::nullopt;
            *texts[i] = rest.substr(0, comma);
            rest = i == 2 ? std::string_view() : rest.substr(comma + 1);
        }
        op.kind = Operation::Kind::Jog;
        return op;
    }
    if (word.starts_with("probe-map=")) {
        const std::string_view rest = word.substr(10);
        const std::size_t comma = rest.find(',');
        if (comma == std::string_view::npos)
            return std::nullopt;
        const std::optional<std::int32_t> nx = numberOf<std::int32_t>(rest.substr(0, comma));
        const std::optional<std::int32_t> ny = numberOf<std::int32_t>(rest.substr(comma + 1));
        if (!nx || !ny || *nx < 2 || *ny < 2 || *nx > maxProbeGrid || *ny > maxProbeGrid)
            return std::nullopt;
        op.kind = Operation::Kind::ProbeMap;
        op.nx = *nx;
        op.ny = *ny;
        return op;
    }
    if (word.starts_with("move=")) {
        // Three texts, any of them possibly empty or not a number: the move itself judges them, as the
        // window's boxes would.
        const std::string_view rest = word.substr(5);
        const std::size_t first = rest.find(',');
        const std::size_t second = first == std::string_view::npos ? first : rest.find(',', first + 1);
        if (second == std::string_view::npos || rest.find(',', second + 1) != std::string_view::npos)
            return std::nullopt;
        op.kind = Operation::Kind::Move;
        op.tx = rest.substr(0, first);
        op.ty = rest.substr(first + 1, second - first - 1);
        op.tz = rest.substr(second + 1);
        return op;
    }
    return std::nullopt;
}

std::string wordOf(const Operation& op) {
    std::string word;
    if (op.kind == Operation::Kind::Select)
        word = "select=" + std::to_string(op.id);
    else if (op.kind == Operation::Kind::Move)
        word = "move=" + op.tx + "," + op.ty + "," + op.tz;
    else if (op.kind == Operation::Kind::Jog)
        word = "jog=" + op.tx + "," + op.ty + "," + op.tz;
    else if (op.kind == Operation::Kind::Zero)
        word = op.axes == "XYZ" ? "zero" : "zero=" + op.axes;
    else if (op.kind == Operation::Kind::ProbeMap)
        word = "probe-map=" + std::to_string(op.nx) + "," + std::to_string(op.ny);
    else
        for (const Name& n : plainNames)
            if (n.kind == op.kind)
                word = n.word;
    if (op.reached >= 0) {
        // Appended in two steps: "@" + a temporary string trips a false -Wrestrict of GCC 12 at -O3.
        word += '@';
        word += std::to_string(op.reached);
    }
    if (op.sentNothing)
        word += "!";
    return word;
}

bool runStillOperation(ImageSession& session, const Operation& op, const ProgressCallback& progress) {
    if (op.setsUp())
        return true; // the machine's, not the picture's: a replay passes over it
    switch (op.kind) {
    case Operation::Kind::Parse:
        parseImage(session, progress);
        return true;
    case Operation::Kind::Select:
        return selectNode(session, nodeKey(op.id));
    case Operation::Kind::Gradient:
        gradientCommand(session);
        return true;
    case Operation::Kind::Offset:
        offsetCommand(session);
        return true;
    case Operation::Kind::RestoreMill:
        restoreMillLayer(session);
        return true;
    default:
        return true;
    }
}

std::unique_ptr<MoveSource> jobOf(const Operation& op, ImageSession& session, const ToolPosition& tool,
                                  MillIndexCache& cache, const MillSettings& settings, MillRefusal* refusal) {
    if (op.kind == Operation::Kind::Move) {
        // Replayed, the manual move only counts: it changes nothing the program keeps.
        PlannedMove move;
        move.kind = MoveKind::Manual;
        move.tool = tool;
        return std::make_unique<SingleMove>(move);
    }
    const MillRefusal r = checkMillCommand(op.millKind(), session, settings);
    if (refusal)
        *refusal = r;
    if (r != MillRefusal::None)
        return nullptr;
    auto job = std::make_unique<MillJob>(op.millKind(), session, tool, cache);
    job->setSettings(settings);
    return job;
}

namespace {

// The tool a job leaves, as its own position says; a manual move leaves it alone.
void takeTool(ToolPosition& tool, const MoveSource& job) {
    if (const auto* mill = dynamic_cast<const MillJob*>(&job))
        tool = mill->tool();
}

} // namespace

ReplayPoint replayOperations(ImageSession& session, ToolPosition& tool, MillIndexCache& cache,
                             const std::vector<Operation>& operations, std::int64_t movesDone,
                             const MillSettings& settings) {
    ReplayPoint point;
    for (; point.operation < operations.size(); ++point.operation) {
        const Operation& op = operations[point.operation];
        if (!op.moves()) {
            if (!runStillOperation(session, op)) {
                point.ok = false;
                return point;
            }
            continue;
        }
        std::unique_ptr<MoveSource> job = jobOf(op, session, tool, cache, settings);
        if (!job) {
            point.ok = false;
            return point;
        }
        while (point.done < movesDone && job->next()) {
            job->complete();
            ++point.done;
        }
        const bool unfinished = job->next() != nullptr; // runs the closing stages of a job at its end
        takeTool(tool, *job);
        if (unfinished) {
            point.job = std::move(job);
            return point;
        }
    }
    if (point.done != movesDone)
        point.ok = false; // the operations have fewer moves than the journal counts
    return point;
}

bool replayHistory(ImageSession& session, ToolPosition& tool, MillIndexCache& cache,
                   const std::vector<Operation>& history, const MillSettings& settings) {
    for (const Operation& op : history) {
        if (!op.isMilling()) {
            if (!runStillOperation(session, op))
                return false;
            continue;
        }
        const ToolPosition before = tool;
        std::unique_ptr<MoveSource> job = jobOf(op, session, tool, cache, settings);
        if (!job)
            return false;
        for (std::int64_t n = 0; (op.reached < 0 || n < op.reached) && job->next(); ++n)
            job->complete();
        takeTool(tool, *job);
        if (op.sentNothing)
            tool = before;
    }
    return true;
}

} // namespace zelmar
