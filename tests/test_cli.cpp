// zelmar-cli as scripts use it: exit statuses, the state JSON of a loaded image, the layer files.

#include "image/bmp_file.h"

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run runCli(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"), args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

const QString sample = QStringLiteral(ZELMAR_BIN_DIR "/test.bmp");

// A light 6 x 5 image with a dark 2 x 2 square at (3, 2) and a dark pixel at (6, 5), as a BMP file.
QString squareImage(const QTemporaryDir& dir) {
    std::vector<std::uint8_t> bits(6 * 5 * 4, 255);
    for (const auto& [x, y] : {std::pair{3, 2}, {4, 2}, {3, 3}, {4, 3}, {6, 5}})
        std::fill_n(bits.begin() + ((y - 1) * 6 + (x - 1)) * 4, 3, std::uint8_t{0});
    const QString path = dir.filePath("square.bmp");
    zelmar::writeBmp24(path.toStdString(), zelmar::ImageLayer({6, 5, 32}, bits));
    return path;
}

QJsonObject stateOf(const Run& r) {
    return QJsonDocument::fromJson(r.out).object();
}

} // namespace

class CliTest : public QObject {
    Q_OBJECT
private slots:
    void stateOfTheLoadedSample() {
        const Run r = runCli({sample, "--state", "-", "--labels"});
        QCOMPARE(r.status, 0);
        const QJsonObject state = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(state.value("width").toInt(), 480);
        QCOMPARE(state.value("height").toInt(), 360);
        QCOMPARE(state.value("bytesPerPixel").toInt(), 4);
        QCOMPARE(state.value("stride").toInt(), 1920);
        const QJsonObject tool = state.value("tool").toObject();
        QCOMPARE(tool.value("x").toInt(), 1);
        QCOMPARE(tool.value("y").toInt(), 1);
        QCOMPARE(tool.value("z").toInt(), 0);
        // Before any parse the tables are empty and nothing is selected.
        QCOMPARE(state.value("regionTableSize").toInt(), 0);
        QVERIFY(state.value("regions").toArray().isEmpty());
        QCOMPARE(state.value("linkCount").toInt(), 0);
        QVERIFY(state.value("tree").toArray().isEmpty());
        QVERIFY(state.value("selected").isNull());
        QVERIFY(state.value("labelMap").toArray().isEmpty());
        const QStringList keys{
            "width",         "height",    "bytesPerPixel", "stride", "tool",     "regionTableSize", "regions",
            "linkTableSize", "linkCount", "links",         "tree",   "selected", "labelMap"};
        QCOMPARE(QStringList(state.keys()).size(), keys.size());
        for (const QString& key : keys)
            QVERIFY2(state.contains(key), qPrintable(key));
        QVERIFY(!runCli({sample, "--state", "-"}).out.contains("labelMap"));
    }

    void parseAndSelect() {
        QTemporaryDir dir;
        const QString image = squareImage(dir);
        const Run r =
            runCli({image, "parse", "select=2", "--state", "-", "--labels", "--layers", dir.filePath("l")});
        QCOMPARE(r.status, 0);
        const QJsonObject state = stateOf(r);
        QCOMPARE(state.value("regionTableSize").toInt(), 100);
        QCOMPARE(QJsonDocument(state.value("regions").toArray()).toJson(QJsonDocument::Compact),
                 QByteArray(R"([{"depth":0,"id":1,"isLight":true,"state":1},)" // keys sorted by QJsonObject
                            R"({"depth":1,"id":2,"isLight":false,"state":1},)"
                            R"({"depth":1,"id":3,"isLight":false,"state":1}])"));
        QCOMPARE(state.value("linkTableSize").toInt(), 100);
        QCOMPARE(state.value("linkCount").toInt(), 2);
        QCOMPARE(QJsonDocument(state.value("links").toArray()).toJson(QJsonDocument::Compact),
                 QByteArray(R"([{"childId":2,"parentId":1},{"childId":3,"parentId":1}])"));
        QCOMPARE(QJsonDocument(state.value("tree").toArray()).toJson(QJsonDocument::Compact),
                 QByteArray(R"([{"expanded":true,"key":"P1","parent":null,"text":"1"},)"
                            R"({"expanded":false,"key":"P2","parent":"P1","text":"2"},)"
                            R"({"expanded":false,"key":"P3","parent":"P1","text":"3"}])"));
        QCOMPARE(state.value("selected").toString(), QStringLiteral("P2"));
        const QJsonArray labels = state.value("labelMap").toArray();
        QCOMPARE(labels.size(), 6); // rows 0..5
        QCOMPARE(QJsonDocument(labels[2].toArray()).toJson(QJsonDocument::Compact),
                 QByteArray("[1,1,1,2,2,1,1]"));
        QCOMPARE(QJsonDocument(labels[5].toArray()).toJson(QJsonDocument::Compact),
                 QByteArray("[1,1,1,1,1,1,3]"));

        // The square is painted green in the selection layer only.
        QImage selection(dir.filePath("l/selection.bmp"));
        QCOMPARE(selection.pixel(2, 1), qRgb(0, 255, 0));
        QCOMPARE(selection.pixel(3, 2), qRgb(0, 255, 0));
        QCOMPARE(selection.pixel(5, 4), qRgb(0, 0, 0));
        QCOMPARE(selection.pixel(0, 0), qRgb(255, 255, 255));
        QCOMPARE(QImage(dir.filePath("l/work.bmp")).pixel(2, 1), qRgb(0, 0, 0));
    }

    void aParseClearsTheSelection() {
        QTemporaryDir dir;
        const Run r = runCli({squareImage(dir), "parse", "select=3", "parse", "--state", "-"});
        QCOMPARE(r.status, 0);
        QVERIFY(stateOf(r).value("selected").isNull());
    }

    void selectingANodeThatIsNotThereIsAUsageError() {
        QTemporaryDir dir;
        const QString image = squareImage(dir);
        for (const QStringList& ops : {QStringList{"select=2"}, QStringList{"parse", "select=9"},
                                       QStringList{"parse", "select=x"}, QStringList{"parse", "select="}}) {
            const Run r = runCli(QStringList{image} + ops + QStringList{"--state", dir.filePath("s.json")});
            QCOMPARE(r.status, 2);
            QVERIFY(r.err.contains("usage: zelmar-cli"));
            QVERIFY(!QFile::exists(dir.filePath("s.json")));
        }
    }

    void layersAreWrittenAsBmp() {
        QTemporaryDir dir;
        const Run r = runCli({sample, "--layers", dir.filePath("out")});
        QCOMPARE(r.status, 0);
        QFile source(sample);
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QByteArray original = source.readAll();
        for (const char* name : {"source.bmp", "work.bmp", "selection.bmp", "mill.bmp"}) {
            QFile f(dir.filePath("out/") + name);
            QVERIFY2(f.open(QIODevice::ReadOnly), name);
            // The sample is a 24-bit BMP written by the same encoder: the round trip is byte for byte.
            QCOMPARE(f.readAll(), original);
        }
    }

    // "restore-mill" takes the marks of the milling before it away and sends nothing itself.
    void restoreMillMovesNothing() {
        QTemporaryDir dir;
        const Run alone = runCli({sample, "parse", "mill-all", "--commands", dir.filePath("alone.txt")});
        const Run restored = runCli({sample, "parse", "mill-all", "restore-mill", "--commands",
                                     dir.filePath("restored.txt"), "--layers", dir.filePath("out")});
        QCOMPARE(alone.status, 0);
        QCOMPARE(restored.status, 0);
        QFile a(dir.filePath("alone.txt")), b(dir.filePath("restored.txt")), mill(dir.filePath("out/mill.bmp")),
            source(sample);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY(a.size() > 0);
        QCOMPARE(b.readAll(), a.readAll());
        QVERIFY(mill.open(QIODevice::ReadOnly) && source.open(QIODevice::ReadOnly));
        QCOMPARE(mill.readAll(), source.readAll());
    }

    // The carving "Все" leaves: a height grid of motor steps (the black pixels the one-pixel tool cuts 25 units
    // deep, the white ones untouched) and the two shaded views side by side.
    void theCarvingIsWrittenAsAPictureAndAHeightGrid() {
        QTemporaryDir dir;
        const Run r = runCli({squareImage(dir), "parse", "mill-all", "--steps", "7", "--result", dir.filePath("r.pgm"),
                              "--preview", dir.filePath("p.png")});
        QCOMPARE(r.status, 0);
        QFile grid(dir.filePath("r.pgm"));
        QVERIFY(grid.open(QIODevice::ReadOnly));
        QCOMPARE(grid.readLine(), QByteArray("P5\n"));
        QVERIFY(grid.readLine().startsWith("# zelmar: each value the depth cut below the surface in motor steps"));
        QCOMPARE(grid.readLine(), QByteArray("6 5\n"));
        QCOMPARE(grid.readLine(), QByteArray("65535\n"));
        const QByteArray values = grid.readAll();
        QCOMPARE(values.size(), 6 * 5 * 2);
        const auto at = [&values](int x, int y) {
            const int i = ((y - 1) * 6 + x - 1) * 2;
            return (std::uint8_t(values[i]) << 8) | std::uint8_t(values[i + 1]);
        };
        QCOMPARE(at(3, 2), 25 * 7);
        QCOMPARE(at(6, 5), 25 * 7);
        QCOMPARE(at(1, 1), 0);
        const QImage preview(dir.filePath("p.png"));
        QCOMPARE(preview.width(), 6 + 8 + 6);
        QVERIFY(preview.height() >= 5);
        // From above, lit from the top left: the square pit's rim below it and to its right slopes towards
        // the light, the rim above it and to its left away from it.
        const auto brightness = [&preview](int x, int y) { return qGray(preview.pixel(x - 1, y - 1)); };
        QVERIFY2(brightness(3, 4) > brightness(3, 1) + 40,
                 qPrintable(QStringLiteral("%1 %2").arg(brightness(3, 4)).arg(brightness(3, 1))));
        QVERIFY2(brightness(5, 2) > brightness(2, 2) + 40,
                 qPrintable(QStringLiteral("%1 %2").arg(brightness(5, 2)).arg(brightness(2, 2))));
    }

    void failuresAndUsage() {
        QTemporaryDir dir;
        const Run missing = runCli({dir.filePath("none.bmp"), "--state", dir.filePath("s.json")});
        QCOMPARE(missing.status, 1);
        QVERIFY(QString::fromUtf8(missing.err).contains(QStringLiteral("Файл не найден.")));
        QVERIFY(QString::fromUtf8(missing.err).contains(dir.filePath("none.bmp")));

        for (const QStringList& bad : {QStringList{}, QStringList{sample, "--state"}, QStringList{sample, "--bogus"},
                                       QStringList{sample, "no-such-operation"}, QStringList{sample, "zero=XQ"},
                                       QStringList{sample, "zero=XX"}, QStringList{sample, "jog=1,,2"},
                                       QStringList{sample, "jog=1,2"}, QStringList{sample, "jog=1,2,3mm"}}) {
            const Run r = runCli(bad + QStringList{"--state", dir.filePath("s.json")});
            QCOMPARE(r.status, 2);
            QVERIFY(r.err.startsWith("usage: zelmar-cli"));
            QVERIFY(r.out.isEmpty());
        }
        // A value out of its setting's range: one line a problem, naming the option, the value and the range.
        const std::pair<QStringList, QStringList> refused[] = {
            {{"--tool", "ball:-6"}, {"--tool: diameter -6 mm is outside 0.1..50 mm"}},
            {{"--tool", "v:6:180"}, {"--tool: angle 180 degrees is outside 10..170 degrees"}},
            {{"--tool", "flat:0.0001"}, {"--tool: diameter 0.0001 mm is outside 0.1..50 mm"}},
            {{"--tool", "ball:99999"}, {"--tool: diameter 99999 mm is outside"}},
            {{"--tool", "ball"}, {"--tool: the diameter is missing"}},
            {{"--tool", "drill:3"}, {"--tool: shape drill is not one of flat, ball, v"}},
            {{"--tool", "ball:3:60"}, {"--tool: ball:3:60 is not a cutter"}},
            {{"--tool", ""}, {"--tool: \"\" is not a cutter"}},
            {{"--tool", "ball:3:L0"}, {"--tool-length: 0 mm is outside 0.1..200 mm"}},
            {{"--tool-length", "3"}, {"--tool-length: 3 mm is the edge of no cutter"}},
            {{"--step-down", "-1"}, {"--step-down: -1 depth units is outside 0..1000 depth units"}},
            {{"--step-down", "1.5"}, {"--step-down: 1.5 is not a whole number"}},
            {{"--spindle", "1e12"}, {"--spindle: 1e12 is not a whole number (0..60000 rpm)"}},
            {{"--spindle", "60001"}, {"--spindle: 60001 rpm is outside 0..60000 rpm"}},
            {{"--feed", "0"}, {"--feed: 0 mm/min is outside 1..50000 mm/min"}},
            {{"--plunge-feed", "0"}, {"--plunge-feed: 0 mm/min is outside"}},
            {{"--axis-x", "0"}, {"--axis-x: 0 is neither 1 nor -1"}},
            {{"--mm-per-step", "0"}, {"--mm-per-step: 0 mm is outside 0.0001..10 mm"}},
            {{"--height-map", sample}, {"--height-map " + sample + ": line 1: \""}},
            {{"--height-map", "none.map"}, {"--height-map none.map: cannot be read"}},
            {{"--height-map", sample, "--port", "none"}, {"--height-map: our board does not follow a map"}},
            {{"--probe-feed", "5001"}, {"--probe-feed: 5001 mm/min is outside 1..5000 mm/min"}},
            {{"--plate", "-0.5"}, {"--plate: -0.5 mm is outside 0..50 mm"}},
            // A set-up needs a grbl machine: not on a dry run, nor on our board's port.
            {{"--controller", "grbl", "jog=-1,0,2.5"}, {"jog=-1,0,2.5: a set-up of the machine needs --controller grbl"}},
            {{"--port", "none", "zero=Z"}, {"zero=Z: a set-up of the machine needs --controller grbl and --port PATH"}},
            // All of them, not the first only.
            {{"--merge-tolerance", "half", "--spindle-delay", "-3", "--controller", "marlin"},
             {"--controller: marlin is not one of zelmar, grbl", "--spindle-delay: -3 s is outside 0..60 s",
              "--merge-tolerance: half is not a number (0..10 pixels)"}},
        };
        for (const auto& [args, lines] : refused) {
            const Run r = runCli(QStringList{sample, "parse", "mill-all", "--gcode", dir.filePath("s.json")} + args);
            QCOMPARE(r.status, 2);
            const QStringList said = QString::fromUtf8(r.err).split('\n', Qt::SkipEmptyParts);
            QCOMPARE(said.size(), lines.size());
            for (qsizetype i = 0; i < lines.size(); ++i)
                QVERIFY2(said[i].startsWith("zelmar-cli: " + lines[i]), qPrintable(said[i]));
            QVERIFY(r.out.isEmpty());
        }
        QVERIFY(!QFile::exists(dir.filePath("s.json")));

        // A scale that is no number: no empty G-code file, no estimate of nothing, but the window's refusal.
        for (const char* steps : {"0", "abc", "-5"}) {
            for (const char* output : {"--gcode", "--commands", "--result"}) {
                const Run r = runCli({sample, "parse", "mill-all", "--steps", steps, output, dir.filePath("job.out")});
                QCOMPARE(r.status, 1);
                QVERIFY2(QString::fromUtf8(r.err).contains(QStringLiteral("Число шагов на один пиксель")),
                         r.err.constData());
                QVERIFY(!QFile::exists(dir.filePath("job.out")));
            }
            const Run estimate = runCli({sample, "parse", "mill-all", "--steps", steps, "--estimate"});
            QCOMPARE(estimate.status, 1);
            QVERIFY(estimate.out.isEmpty());
        }

        // A cutting edge shorter than the picture's depth: in one pass the job is refused before any move; in
        // passes no move goes down more than the edge (a 3 mm cone at 1.5 mm a pixel: 2 depth units, 300 steps).
        const Run tooShort = runCli({sample, "parse", "mill-all", "--tool", "v:6:90:L3", "--commands", "-"});
        QCOMPARE(tooShort.status, 1);
        QVERIFY2(QString::fromUtf8(tooShort.err).contains(QStringLiteral("Режущая часть фрезы")), tooShort.err.constData());
        QVERIFY(tooShort.out.isEmpty());
        const Run inPasses =
            runCli({sample, "parse", "mill-all", "--tool", "v:6:90", "--tool-length", "3", "--step-down", "10", "--commands", "-"});
        QCOMPARE(inPasses.status, 0);
        int deepestDrop = 0;
        for (const QByteArray& line : inPasses.out.split('\n'))
            if (line.count(',') == 2)
                deepestDrop = std::max(deepestDrop, -line.chopped(1).split(',')[2].toInt());
        QCOMPARE(deepestDrop, 300);
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "test_cli.moc"
