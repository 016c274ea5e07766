// cnc.ini as the platform's profile reader reads it, and the paths start-up builds from it.

#include "config/profile_reader.h"
#include "config/startup_config.h"

#include <QTemporaryDir>
#include <QTest>

#include <fstream>

using namespace zelmar;

namespace {

void writeFile(const QString& path, const std::string& text) {
    std::ofstream file(path.toStdString(), std::ios::binary);
    file << text;
}

std::string port(const std::string& ini) {
    return readProfileString(ini, "CNC", "Port", "com1");
}

} // namespace

class ProfileReaderTest : public QObject {
    Q_OBJECT
private slots:
    void valuesAndDefaults_data() {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "[CNC]\nPort=/dev/ttyUSB0\n"
                               << "/dev/ttyUSB0";
        QTest::newRow("no file text") << ""
                                      << "com1";
        QTest::newRow("no section") << "Port=com7\n"
                                    << "com1";
        QTest::newRow("other section only") << "[Other]\nPort=com7\n"
                                            << "com1";
        QTest::newRow("empty value") << "[CNC]\nPort=\n"
                                     << "com1";
        QTest::newRow("blank value") << "[CNC]\nPort=   \t \n"
                                     << "com1";
        QTest::newRow("names match in any case") << "[cnc]\nPORT=com3\n"
                                                 << "com3";
        QTest::newRow("blanks around names and value") << "  [ CNC ]  \n  Port  =   com4   \r\n"
                                                       << "com4";
        QTest::newRow("CR LF lines") << "[CNC]\r\nImage=a.bmp\r\nPort=com5\r\n"
                                     << "com5";
        QTest::newRow("first of duplicate keys") << "[CNC]\nPort=com5\nPort=com6\n"
                                                 << "com5";
        QTest::newRow("key in a later section ignored") << "[CNC]\nImage=x\n[B]\nPort=com9\n"
                                                        << "com1";
        QTest::newRow("only the first CNC section is read") << "[CNC]\nImage=x\n[CNC]\nPort=com9\n"
                                                            << "com1";
        QTest::newRow("other keys") << "[CNC]\nBaud=9600\nPorts=com8\nxPort=com2\n"
                                    << "com1";
        QTest::newRow("commas, backslashes kept") << "[CNC]\nPort=\\\\.\\COM12,x;y\n"
                                                  << "\\\\.\\COM12,x;y";
        QTest::newRow("enclosing quotes dropped") << "[CNC]\nPort=\" com2 \"\n"
                                                  << " com2 ";
        QTest::newRow("unmatched quote kept") << "[CNC]\nPort=\"com2\n"
                                              << "\"com2";
        QTest::newRow("equals sign inside value") << "[CNC]\nPort=a=b\n"
                                                  << "a=b";
        QTest::newRow("line without equals ignored") << "[CNC]\nPort\nPort=com6\n"
                                                     << "com6";
        QTest::newRow("UTF-8 byte order mark") << "\xEF\xBB\xBF[CNC]\nPort=com2\n"
                                               << "com2";
        QTest::newRow("no final line end") << "[CNC]\nPort=com2"
                                           << "com2";
    }
    void valuesAndDefaults() {
        QFETCH(QString, ini);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(port(ini.toStdString())), expected);
    }

    void longValuesKeepTheirFirst254Characters() {
        const std::string value300 = std::string(150, 'a') + std::string(150, 'b');
        const std::string got = port("[CNC]\nPort=" + value300 + "\n");
        QCOMPARE(got.size(), std::size_t{254});
        QCOMPARE(got, value300.substr(0, 254));
        QCOMPARE(port("[CNC]\nPort=" + std::string(254, 'z') + "\n"), std::string(254, 'z'));

        // Cyrillic names are cut between characters, never inside one.
        std::string cyrillic;
        for (int i = 0; i < 300; ++i)
            cyrillic += "ж";
        const std::string cut =
            readProfileString("[CNC]\nImage=" + cyrillic + "\n", "CNC", "Image", "test.bmp");
        QCOMPARE(cut.size(), std::size_t{254 * 2});
        QCOMPARE(QString::fromStdString(cut).size(), 254);
    }

    void binaryBytesDoNotDerailTheReader() {
        std::string ini = "\x01\x02garbage\xff\xfe\n[CNC]\nPort=co\xffm\n";
        ini.insert(3, 1, '\0');
        QCOMPARE(port(ini), std::string("co\xffm"));
    }

    // The defaults the settings table tells the operator (and the guide lists) are the ones the program uses: every
    // default written out in cnc.ini reads back as no setting at all.
    void theTableSaysTheDefaults() {
        SettingTexts texts;
        for (const SettingSpec& spec : settingsTable())
            if (!spec.defaultText.empty())
                texts[std::size_t(spec.setting)] = std::string(spec.defaultText);
        StartupConfig read;
        QVERIFY(applySettings(texts, read).empty());
        const StartupConfig none;
        QCOMPARE(read.portName, none.portName);
        QCOMPARE(read.imageName, none.imageName);
        QCOMPARE(read.timeoutSeconds, none.timeoutSeconds);
        QCOMPARE(read.controller, none.controller);
        QCOMPARE(read.baud, none.baud);
        QCOMPARE(read.mergeSteps, none.mergeSteps);
        QCOMPARE(read.safeHeight, none.safeHeight);
        QCOMPARE(read.mmPerStep.text(), none.mmPerStep.text());
        QCOMPARE(read.feed, none.feed);
        QCOMPARE(read.plungeFeed, none.plungeFeed);
        QCOMPARE(read.spindle.rpm, none.spindle.rpm);
        QCOMPARE(read.spindle.delaySeconds.value(), none.spindle.delaySeconds.value());
        QCOMPARE(read.mergeTolerance.value(), none.mergeTolerance.value());
        QCOMPARE(read.stepDown, none.stepDown);
        QCOMPARE(read.marksAsDepth, none.marksAsDepth);
        QCOMPARE(read.axisX, none.axisX);
        QCOMPARE(read.axisY, none.axisY);
        QCOMPARE(wordOf(read.tool), wordOf(none.tool));
        QCOMPARE(read.tool.angleDeg.value(), ToolShape{}.angleDeg.value());
    }

    void startupPathsComeFromTheProgramFolder() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const std::string folder = dir.path().toStdString();

        StartupConfig missing = readStartupConfig(folder);
        QCOMPARE(missing.portName, std::string("com1"));
        QCOMPARE(missing.imageName, std::string("test.bmp"));
        QCOMPARE(missing.imagePath, folder + "/test.bmp");
        QCOMPARE(missing.configPath, folder + "/cnc.ini");

        writeFile(dir.filePath("cnc.ini"), "[CNC]\nPort=/dev/pts/9\nImage=/abs/pic.png\n");
        StartupConfig absolute = readStartupConfig(folder);
        QCOMPARE(absolute.portName, std::string("/dev/pts/9"));
        // An absolute name is still appended to the program's folder.
        QCOMPARE(absolute.imagePath, folder + "//abs/pic.png");

        writeFile(dir.filePath("cnc.ini"), "[CNC]\nPort=\nImage=\n");
        StartupConfig empty = readStartupConfig(folder);
        QCOMPARE(empty.portName, std::string("com1"));
        QCOMPARE(empty.imagePath, folder + "/test.bmp");
    }

    void aFolderNamedCncIniCountsAsMissing() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("cnc.ini"));
        QCOMPARE(readStartupConfig(dir.path().toStdString()).portName, std::string("com1"));
    }

    void captionCarriesTheVersion() {
        QCOMPARE(QString::fromStdString(workWindowCaption()), QStringLiteral("Zelmar ЧПУ   ver. 1.0.1"));
    }
};

QTEST_APPLESS_MAIN(ProfileReaderTest)
#include "test_profile_reader.moc"
