#include "job_estimate.h"

#include "link/move_command.h"

#include <QtConcurrent/QtConcurrentRun>

#include <vector>

namespace zelmar {

JobEstimate::JobEstimate(const MachineLine& line, QObject* parent) : QObject(parent), line_(line) {
    clock_.start();
    connect(&watcher_, &QFutureWatcher<Result>::finished, this, &JobEstimate::counted);
}

std::optional<MotionClock> JobEstimate::motionClock(const SendingSettings& sending) const {
    if (!line_.isGrbl())
        return std::nullopt;
    MotionClock clock(sending.gcode, line_.grblLink()->rates(), line_.baud());
    if (map_)
        clock.setHeightMap(*map_);
    return clock;
}

double JobEstimate::jobTimeMs(const JobCount& count, double motionMs) const {
    // On grbl the machine's motion sets the pace, its lines stream behind it; on our board the protocol's
    // pause after every command does, and its own motion is not known.
    return line_.isGrbl() ? motionMs : lineTimeMs(count, BoardLink::protocolPauseMs, BoardLink::baudRate);
}

void JobEstimate::count(std::unique_ptr<MillJob> job, const ImageSession& session, const ToolPosition& tool,
                        const SendingSettings& sending) {
    const MillKind kind = job->kind();
    waiting_ = std::move(job);
    auto copy = std::make_shared<ImageSession>(copyForSimulation(session, kind));
    // Marks of earlier millings read as full depth: the job is counted a second time without them, to know
    // whether they change what it sends.
    std::shared_ptr<ImageSession> unmarked;
    if (sending.mill.marksAsDepth && millLayerMarked(session)) {
        unmarked = std::make_shared<ImageSession>(copyForSimulation(session, kind));
        unmarked->layers.millLayer = session.layers.sourceLayer; // the copy holds no loaded picture of its own
    }
    const SimulationSettings settings = sending.simulation();
    const std::optional<MotionClock> clock = motionClock(sending);
    watcher_.setFuture(QtConcurrent::run([copy, unmarked, settings, tool, kind, clock] {
        Result result;
        std::optional<MotionClock> motion = clock;
        std::vector<CommandMove> commands;
        simulateJob(kind, *copy, tool, settings, [&](const CommandMove& c) {
            ++result.count.commands;
            result.count.moves += c.moves;
            result.count.bytes += static_cast<std::int64_t>(
                formatMoveCommand(c.x, c.y, c.z, settings.stepsPerPixel).text.size());
            if (motion)
                motion->add(c);
            if (unmarked)
                commands.push_back(c);
        });
        if (motion)
            result.motionMs = motion->seconds() * 1000;
        if (unmarked) {
            std::size_t i = 0;
            simulateJob(kind, *unmarked, tool, settings, [&](const CommandMove& c) {
                const bool same = i < commands.size() && commands[i].x == c.x && commands[i].y == c.y &&
                                  commands[i].z == c.z && commands[i].kind == c.kind && commands[i].moves == c.moves;
                result.marksMatter = result.marksMatter || !same;
                ++i;
            });
            result.marksMatter = result.marksMatter || i != commands.size();
        }
        return result;
    }));
}

JobEstimate::Count JobEstimate::result() const {
    const Result& counted = watcher_.result();
    return {counted.count, jobTimeMs(counted.count, counted.motionMs)};
}

JobEstimate::Count JobEstimate::countRest(MillKind kind, ImageSession& work, const ToolPosition& tool,
                                          const SendingSettings& sending, std::int64_t movesDone) const {
    const SimulationSettings settings = sending.simulation();
    std::optional<MotionClock> motion = motionClock(sending);
    JobCount count;
    std::int64_t moves = 0;
    simulateJob(kind, work, tool, settings, [&](const CommandMove& c) {
        moves += c.moves;
        if (moves <= movesDone)
            return;
        ++count.commands;
        count.moves += c.moves;
        count.bytes += static_cast<std::int64_t>(
            formatMoveCommand(c.x, c.y, c.z, settings.stepsPerPixel).text.size());
        if (motion)
            motion->add(c);
    });
    return {count, jobTimeMs(count, motion ? motion->seconds() * 1000 : 0.0)};
}

void JobEstimate::restart() {
    timeLeft_.begin(0, 0, clock_.elapsed());
}

void JobEstimate::begin(const Count& count) {
    const std::int64_t commands = count.count.commands;
    timeLeft_.begin(commands, commands > 0 ? count.ms / static_cast<double>(commands) : 0, clock_.elapsed());
}

std::optional<JobEstimate::Count> JobEstimate::beginKept(const MillJob& job, ImageSession* work,
                                                         const ToolPosition& tool, const SendingSettings& sending) {
    std::optional<Count> rest;
    if (work)
        rest = countRest(job.kind(), *work, tool, sending, job.movesDone());
    if (rest)
        begin(*rest);
    else
        timeLeft_.begin(job.millingTotal(), 0, clock_.elapsed(), job.millingDone());
    setRunning(false);
    return rest;
}

JobEstimate::Times JobEstimate::times(std::int64_t done) {
    timeLeft_.setDone(done);
    const std::int64_t now = clock_.elapsed();
    return {timeLeft_.msLeft(now), timeLeft_.msRun(now)};
}

} // namespace zelmar
