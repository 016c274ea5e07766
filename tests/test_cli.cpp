// zelmar-cli as scripts use it: exit statuses, the state JSON of a loaded image, the layer files.

#include <QFile>
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

    void failuresAndUsage() {
        QTemporaryDir dir;
        const Run missing = runCli({dir.filePath("none.bmp"), "--state", dir.filePath("s.json")});
        QCOMPARE(missing.status, 1);
        QVERIFY(QString::fromUtf8(missing.err).contains(QStringLiteral("Файл не найден.")));
        QVERIFY(QString::fromUtf8(missing.err).contains(dir.filePath("none.bmp")));

        for (const QStringList& bad :
             {QStringList{}, QStringList{sample, "--state"}, QStringList{sample, "--bogus"},
              QStringList{sample, "no-such-operation"}}) {
            const Run r = runCli(bad);
            QCOMPARE(r.status, 2);
            QVERIFY(r.err.startsWith("usage: zelmar-cli"));
            QVERIFY(r.out.isEmpty());
        }
        QVERIFY(!QFile::exists(dir.filePath("s.json")));
    }
};

QTEST_APPLESS_MAIN(CliTest)
#include "test_cli.moc"
