// zelmar-bench-grbl [IMAGE] [--feed MM_PER_MIN] [--max-rate MM_PER_MIN] [--mm-per-step X]: "Все" on the picture
// (the sample by default) streamed by zelmar-cli to the simulated grbl, twice: with no motion time (how many lines
// a second the character counting gets through), and at the given feed and maximum rate (default 300 and
// 500 mm/min, a small mill's), how long the job takes and for what share of it grbl's receive buffer stood empty
// before the last line came. Unmerged, straight runs merged, and merged within 0.5 and 1 pixel. One JSON line each.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

struct Outcome {
    bool ok = false;
    double wallSeconds = 0;
    qint64 lines = 0;
    double programMs = 0;     // the board's own clock: first move to program end
    double rxEmptyShare = -1; // percent, before the last line came
    double plannerEmptyShare = -1;
};

Outcome runOnce(const QString& image, const QStringList& boardOptions, const QStringList& cliOptions) {
    Outcome o;
    QTemporaryDir dir;
    const QString log = dir.filePath("board.log");
    const QString link = dir.filePath("port");
    QProcess board;
    board.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-board"),
                QStringList{"--grbl", "--stdin-control", "--log", log, "--link", link} + boardOptions);
    if (!board.waitForReadyRead(5000))
        return o;
    QProcess cli;
    QElapsedTimer t;
    t.start();
    cli.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"),
              QStringList{image, "parse", "mill-all", "--controller", "grbl", "--port", link, "--commands",
                          dir.filePath("lines.txt")} +
                  cliOptions);
    cli.waitForFinished(-1);
    o.wallSeconds = static_cast<double>(t.elapsed()) / 1000.0;
    board.closeWriteChannel();
    board.waitForFinished(10000);
    QFile lines(dir.filePath("lines.txt"));
    lines.open(QIODevice::ReadOnly);
    o.lines = lines.readAll().count('\n');
    QFile logFile(log);
    logFile.open(QIODevice::ReadOnly);
    static const QRegularExpression summary(
        QStringLiteral("program from its first move to its end: (\\d+) ms; receive buffer empty \\d+ ms \\(([0-9.]+) "
                       "%\\).*planner empty \\d+ ms \\(([0-9.]+) %\\)"));
    const auto m = summary.match(QString::fromUtf8(logFile.readAll()));
    if (m.hasMatch()) {
        o.programMs = m.captured(1).toDouble();
        o.rxEmptyShare = m.captured(2).toDouble();
        o.plannerEmptyShare = m.captured(3).toDouble();
    }
    o.ok = cli.exitCode() == 0 && m.hasMatch();
    return o;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString image = QStringLiteral(ZELMAR_BIN_DIR "/test.bmp");
    QString feed = QStringLiteral("300");
    QString maxRate = QStringLiteral("500");
    QStringList scale;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--feed" && i + 1 < args.size())
            feed = args[++i];
        else if (args[i] == "--max-rate" && i + 1 < args.size())
            maxRate = args[++i];
        else if (args[i] == "--mm-per-step" && i + 1 < args.size())
            scale = QStringList{"--mm-per-step", args[++i]};
        else
            image = args[i];
    }
    const std::pair<const char*, QStringList> merges[] = {{"none", {}},
                                                           {"straight", {"--merge"}},
                                                           {"within 0.5", {"--merge-tolerance", "0.5"}},
                                                           {"within 1", {"--merge-tolerance", "1"}}};
    for (const auto& [merge, option] : merges) {
        const QStringList mergeOption = option + scale;
        const Outcome instant = runOnce(image, {"--delay-ms", "0"}, mergeOption);
        // With no motion grbl empties its buffer as fast as lines come: only the rate means anything here.
        std::printf("{\"bench\":\"grbl-stream\",\"motion\":\"none\",\"merge\":\"%s\",\"ok\":%s,\"lines\":%lld,"
                    "\"stream_ms\":%.0f,\"lines_per_s\":%.0f}\n",
                    merge, instant.ok ? "true" : "false", static_cast<long long>(instant.lines),
                    instant.programMs,
                    instant.programMs > 0 ? 1000.0 * static_cast<double>(instant.lines) / instant.programMs : 0);
        std::fflush(stdout);
        const Outcome real = runOnce(image, {"--max-rate", maxRate}, mergeOption + QStringList{"--feed", feed});
        std::printf("{\"bench\":\"grbl-stream\",\"motion\":\"feed %s, rapids %s mm/min\",\"merge\":\"%s\",\"ok\":%s,"
                    "\"lines\":%lld,\"job_s\":%.1f,\"wall_s\":%.1f,\"rx_empty_pct\":%.1f,\"planner_empty_pct\":%.1f}\n",
                    qPrintable(feed), qPrintable(maxRate), merge, real.ok ? "true" : "false",
                    static_cast<long long>(real.lines), real.programMs / 1000.0, real.wallSeconds, real.rxEmptyShare,
                    real.plannerEmptyShare);
        std::fflush(stdout);
    }
    return 0;
}
