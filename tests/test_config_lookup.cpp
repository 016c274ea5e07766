// Where start-up finds cnc.ini: the program's folder, then the user's, then the user's made from the example;
// the image taken from the folder of the file used; the program's folder never written.

#include "config/profile_reader.h"
#include "config/startup_config.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

using namespace zelmar;

namespace {

void writeFile(const QString& path, const std::string& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    std::ofstream file(path.toStdString(), std::ios::binary);
    file << text;
}

std::string readFile(const QString& path) {
    return readProfileFile(path.toStdString());
}

// Names and sizes and times of everything in a folder: what "never written" must leave as it was.
QStringList snapshot(const QString& dir) {
    QStringList entries;
    for (const QFileInfo& f : QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
        entries << QStringLiteral("%1 %2 %3")
                       .arg(f.fileName())
                       .arg(f.size())
                       .arg(f.lastModified().toMSecsSinceEpoch());
    return entries;
}

// A scratch tree laid out like an installation: prefix/bin (the program), prefix/share/zelmar (the example
// and the sample), and a home with its own settings folder.
struct Tree {
    QTemporaryDir root;
    QString programDir = root.filePath("prefix/bin");
    QString shareDir = root.filePath("prefix/share/zelmar");
    QString userDir = root.filePath("home/.config/zelmar");
    ConfigLocations locations;

    Tree() {
        QDir().mkpath(programDir);
        locations.programDir = programDir.toStdString();
        locations.userDir = userDir.toStdString();
        locations.examplePaths = {(shareDir + "/cnc.ini").toStdString()};
    }
    void writeExample(const std::string& text) { writeFile(shareDir + "/cnc.ini", text); }
};

const std::string example =
    "; an example\n[CNC]\n; the board\nPort=/dev/ttyUSB0\nImage=test.bmp\nTimeout=12\n";

} // namespace

class ConfigLookupTest : public QObject {
    Q_OBJECT
private slots:
    void theProgramFolderComesFirst() {
        Tree t;
        t.writeExample(example);
        writeFile(t.programDir + "/cnc.ini", "[CNC]\nPort=/dev/pts/3\nImage=pic.png\n");
        writeFile(t.userDir + "/cnc.ini", "[CNC]\nPort=/dev/ttyS1\n");
        const StartupConfig c = readStartupConfig(t.locations);
        QCOMPARE(c.origin, ConfigOrigin::ProgramFolder);
        QCOMPARE(c.portName, std::string("/dev/pts/3"));
        QCOMPARE(c.configPath, (t.programDir + "/cnc.ini").toStdString());
        QCOMPARE(c.imagePath, (t.programDir + "/pic.png").toStdString());
        QVERIFY(c.note.empty());
    }

    // Today's rule stays for the program's folder: the value is appended, even an absolute one.
    void inTheProgramFolderAnAbsoluteImageIsStillAppended() {
        Tree t;
        writeFile(t.programDir + "/cnc.ini", "[CNC]\nImage=/abs/pic.png\n");
        QCOMPARE(readStartupConfig(t.locations).imagePath, (t.programDir + "//abs/pic.png").toStdString());
    }

    void thenTheUserFolder_data() {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("expected"); // relative to the user's folder unless absolute
        QTest::newRow("relative") << "parts/lid.png"
                                  << "@/parts/lid.png";
        QTest::newRow("absolute names itself") << "/srv/pictures/lid.png"
                                               << "/srv/pictures/lid.png";
        QTest::newRow("missing: the default beside the file") << ""
                                                              << "@/test.bmp";
        QTest::newRow("quoted") << "\"my lid.png\""
                                << "@/my lid.png";
    }
    void thenTheUserFolder() {
        QFETCH(QString, image);
        QFETCH(QString, expected);
        Tree t;
        t.writeExample(example);
        // A folder called cnc.ini in the program's folder is no file: the user's is used.
        QVERIFY(QDir(t.programDir).mkdir("cnc.ini"));
        writeFile(t.userDir + "/cnc.ini", "[CNC]\nPort=/dev/ttyACM0\nImage=" + image.toStdString() + "\n");
        const StartupConfig c = readStartupConfig(t.locations);
        QCOMPARE(c.origin, ConfigOrigin::UserFolder);
        QCOMPARE(c.portName, std::string("/dev/ttyACM0"));
        QCOMPARE(c.configPath, (t.userDir + "/cnc.ini").toStdString());
        QCOMPARE(QString::fromStdString(c.imagePath), expected.replace("@", t.userDir));
        QVERIFY(c.note.empty());
        QCOMPARE(readFile(t.shareDir + "/cnc.ini"), example); // the example is only read
    }

    // The program's folder is read-only and stays exactly as it was; the user's file is made from the
    // example, keeping its comments, with the sample named by its absolute path, and the status line is told
    // where.
    void lastTheUserFileIsMadeFromTheExample() {
        Tree t;
        t.writeExample(example);
        writeFile(t.programDir + "/test.bmp", "not the sample");
        QFile::setPermissions(t.programDir, QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                                QFileDevice::ReadGroup | QFileDevice::ExeGroup);
        const QStringList before = snapshot(t.programDir);

        const StartupConfig c = readStartupConfig(t.locations);
        QFile::setPermissions(t.programDir,
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(snapshot(t.programDir), before);
        QCOMPARE(c.origin, ConfigOrigin::CreatedFromExample);
        const QString userFile = t.userDir + "/cnc.ini";
        QCOMPARE(c.configPath, userFile.toStdString());
        QCOMPARE(c.note, "Создан файл настроек " + userFile.toStdString());
        QCOMPARE(c.portName, std::string("/dev/ttyUSB0"));
        QCOMPARE(c.timeoutSeconds, 12);
        QCOMPARE(c.imagePath, (t.shareDir + "/test.bmp").toStdString());

        const std::string written = readFile(userFile);
        QVERIFY(written.find("; the board\n") != std::string::npos);
        QVERIFY(written.find("\nImage=" + (t.shareDir + "/test.bmp").toStdString() + "\n") !=
                std::string::npos);

        // The next start finds it there and says nothing more.
        const StartupConfig again = readStartupConfig(t.locations);
        QCOMPARE(again.origin, ConfigOrigin::UserFolder);
        QVERIFY(again.note.empty());
        QCOMPARE(again.imagePath, c.imagePath);
    }

    void theFirstExampleThatExistsIsUsed() {
        Tree t;
        t.writeExample(example);
        const QString other = t.root.filePath("elsewhere/zelmar/cnc.ini");
        writeFile(other, "[CNC]\nPort=/dev/other\n");
        t.locations.examplePaths.insert(t.locations.examplePaths.begin(),
                                        t.root.filePath("absent/cnc.ini").toStdString());
        t.locations.examplePaths.push_back(other.toStdString());
        QCOMPARE(readStartupConfig(t.locations).portName, std::string("/dev/ttyUSB0"));
    }

    // A settings folder that cannot be made (its parent is a file: even root cannot): the example's values
    // are used as they are, nothing is written, and the note says why.
    void anUnwritableUserFolderFallsBackToTheExample() {
        Tree t;
        t.writeExample(example);
        writeFile(t.root.filePath("blocked"), "a file, not a folder");
        t.locations.userDir = t.root.filePath("blocked/zelmar").toStdString();
        const StartupConfig c = readStartupConfig(t.locations);
        QCOMPARE(c.origin, ConfigOrigin::ExampleOnly);
        QCOMPARE(c.configPath, (t.shareDir + "/cnc.ini").toStdString());
        QCOMPARE(c.imagePath, (t.shareDir + "/test.bmp").toStdString());
        QCOMPARE(c.timeoutSeconds, 12);
        QVERIFY2(c.note.find("Не удалось создать файл настроек " + t.locations.userDir + "/cnc.ini") == 0,
                 c.note.c_str());
        QVERIFY(c.note.find(t.shareDir.toStdString()) != std::string::npos);
        QCOMPARE(snapshot(t.programDir), QStringList{});
    }

    void withoutAnyFileTheDefaultsOfThePortableProgram() {
        Tree t; // no example installed
        const StartupConfig c = readStartupConfig(t.locations);
        QCOMPARE(c.origin, ConfigOrigin::Defaults);
        QCOMPARE(c.portName, std::string(defaultPortName));
        QCOMPARE(c.imagePath, (t.programDir + "/test.bmp").toStdString());
        QVERIFY(c.note.empty());
        QVERIFY(!QFileInfo::exists(t.userDir));
        QCOMPARE(snapshot(t.programDir), QStringList{});

        // The program's folder only, as portable copies and the older tests use it: no example is copied.
        t.writeExample(example);
        QCOMPARE(readStartupConfig(t.locations.programDir).origin, ConfigOrigin::Defaults);
        QVERIFY(!QFileInfo::exists(t.userDir));
    }

    // Were the user's folder the program's own (XDG_CONFIG_HOME pointed there), nothing is written there.
    void aUserFolderThatIsTheProgramFolderIsNotWritten() {
        Tree t;
        t.writeExample(example);
        t.locations.userDir = (t.programDir + "/.").toStdString();
        QCOMPARE(readStartupConfig(t.locations).origin, ConfigOrigin::Defaults);
        QCOMPARE(snapshot(t.programDir), QStringList{});
    }

    void theUserFileFromTheExample_data() {
        QTest::addColumn<QByteArray>("exampleText");
        QTest::addColumn<QByteArray>("imageLine"); // the Image line of the user's file; empty: none
        QTest::newRow("relative") << QByteArray("[CNC]\nImage=test.bmp\n") << QByteArray("Image=@/test.bmp");
        QTest::newRow("relative, up a folder, made clean")
            << QByteArray("[CNC]\nImage=../pics/a.bmp\n") << QByteArray("Image=/opt/z/share/pics/a.bmp");
        QTest::newRow("absolute kept")
            << QByteArray("[CNC]\nImage=/srv/a.bmp\n") << QByteArray("Image=/srv/a.bmp");
        QTest::newRow("CR LF kept") << QByteArray("[CNC]\r\nImage=test.bmp\r\nPort=x\r\n")
                                    << QByteArray("Image=@/test.bmp\r");
        QTest::newRow("byte order mark dropped")
            << QByteArray("\xEF\xBB\xBF[CNC]\nImage=test.bmp\n") << QByteArray("Image=@/test.bmp");
        QTest::newRow("only the key the reader reads")
            << QByteArray("[Other]\nImage=x\n[CNC]\nImage=test.bmp\nImage=y\n")
            << QByteArray("Image=@/test.bmp");
        QTest::newRow("no Image key") << QByteArray("[CNC]\nPort=com2\n") << QByteArray();
    }
    void theUserFileFromTheExample() {
        QFETCH(QByteArray, exampleText);
        QFETCH(QByteArray, imageLine);
        const std::string dir = "/opt/z/share/zelmar";
        const std::string text = userConfigFromExample(exampleText.toStdString(), dir);
        QVERIFY(text.rfind("; ", 0) == 0); // the note of its making comes first
        QVERIFY(text.find("\xEF\xBB\xBF") == std::string::npos);
        const std::string expected = imageLine.replace("@", "/opt/z/share/zelmar").toStdString();
        // The reader sees what the example meant, resolved to the example's folder.
        const StartupConfig c = userConfigFromText(text, "/home/u/.config/zelmar");
        if (expected.empty()) {
            QCOMPARE(c.imageName, std::string(defaultImageName));
            return;
        }
        QVERIFY2(text.find("\n" + expected + "\n") != std::string::npos, text.c_str());
        QCOMPARE(QDir::cleanPath(QString::fromStdString(c.imagePath)),
                 QDir::cleanPath(QString::fromStdString(expected.substr(6)).trimmed()));
    }

    void aValueIsReplacedWhereTheReaderFindsIt() {
        QCOMPARE(withProfileValue("[CNC]\nPort = com1 ; x\nImage=a\n", "cnc", "PORT", "/dev/ttyS0"),
                 std::optional<std::string>("[CNC]\nPort =/dev/ttyS0\nImage=a\n"));
        QCOMPARE(withProfileValue("[CNC]\nPort=", "CNC", "Port", "x"),
                 std::optional<std::string>("[CNC]\nPort=x"));
        QCOMPARE(withProfileValue("[CNC]\nImage=a\n", "CNC", "Port", "x"), std::nullopt);
        QCOMPARE(withProfileValue("[CNC]\nImage=a\n[CNC]\nPort=b\n", "CNC", "Port", "x"), std::nullopt);
        QCOMPARE(withProfileValue("", "CNC", "Port", "x"), std::nullopt);
    }

    // The standard places: the user's folder of QStandardPaths (XDG_CONFIG_HOME here, a scratch folder) and
    // the example beside an installed program, then in the system's data folders.
    void theStandardPlaces() {
        QTemporaryDir scratch;
        qputenv("XDG_CONFIG_HOME", scratch.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", scratch.filePath("data-home").toUtf8());
        qputenv("XDG_DATA_DIRS", scratch.filePath("data").toUtf8());
        writeFile(scratch.filePath("data/zelmar/cnc.ini"), example);
        const ConfigLocations l = standardConfigLocations(scratch.filePath("usr/bin").toStdString());
        QCOMPARE(QString::fromStdString(l.userDir), scratch.filePath("config/zelmar"));
        QCOMPARE(l.examplePaths.size(), std::size_t{2});
        QCOMPARE(QString::fromStdString(l.examplePaths[0]), scratch.filePath("usr/share/zelmar/cnc.ini"));
        QCOMPARE(QString::fromStdString(l.examplePaths[1]), scratch.filePath("data/zelmar/cnc.ini"));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelmar")); // as the program names itself
    ConfigLookupTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_config_lookup.moc"
