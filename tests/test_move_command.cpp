// The numbers of a motion command and its text: scale, increments, the 32-bit limits, the "OK" scan, the key
// filter of the number boxes, and the words the operator reads for a refusal.

#include "app/key_filter.h"
#include "texts/operator_texts.h"
#include "link/move_command.h"

#include <QTest>

using namespace zelmar;

class MoveCommandTest : public QObject {
    Q_OBJECT
private slots:
    void commandTextOfTheExamples() {
        QCOMPARE(formatMoveCommand(1, 0, 0, 150).text, std::string("-150,0,0;"));
        QCOMPARE(formatMoveCommand(1, 0, 0, 150).text.size(), std::size_t{9});
        QCOMPARE(formatMoveCommand(-2, 3, -5, 150).text, std::string("300,450,-750;"));
        QCOMPARE(formatMoveCommand(0, 0, 0, 150).text, std::string("0,0,0;")); // no "-0"
        QCOMPARE(formatMoveCommand(7, -8, 9, 1).text, std::string("-7,-8,9;"));
        QCOMPARE(formatMoveCommand(10, 0, 2, 150).text, std::string("-1500,0,300;"));
    }

    void countsMustFitTheBoardsCounters() {
        // 14317 * 150000 = 2147550000 > 2^31 - 1: refused, nothing to send; 14316 still fits.
        QVERIFY(!formatMoveCommand(14317, 0, 0, 150000).ok());
        QVERIFY(formatMoveCommand(14317, 0, 0, 150000).text.empty());
        QCOMPARE(formatMoveCommand(14316, 0, 0, 150000).text, std::string("-2147400000,0,0;"));
        QCOMPARE(formatMoveCommand(14317, 0, 0, 150000).refusal.stepsPerPixel, 150000);
        QVERIFY(refusalText(formatMoveCommand(14317, 0, 0, 150000).refusal).find("32 бита") != std::string::npos);
        // The edges: -2147483647 fits for X, and so does 2147483647 for Y; X = -(-2147483648) does not.
        QCOMPARE(formatMoveCommand(2147483647, 0, 0, 1).text, std::string("-2147483647,0,0;"));
        QCOMPARE(formatMoveCommand(0, 2147483647, -2147483647 - 1, 1).text,
                 std::string("0,2147483647,-2147483648;"));
        QVERIFY(!formatMoveCommand(-2147483647 - 1, 0, 0, 1).ok());
        QVERIFY(!formatMoveCommand(0, 0, 2, 1073741824).ok());
    }

    void stepsPerPixel_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value"); // 0: refused
        QTest::newRow("start value") << "150" << 150;
        QTest::newRow("one") << "1" << 1;
        QTest::newRow("blanks around") << " 42 " << 42;
        QTest::newRow("largest") << "2147483647" << 2147483647;
        QTest::newRow("too large") << "2147483648" << 0;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("blank") << "   " << 0;
        QTest::newRow("negative") << "-5" << 0;
        QTest::newRow("plus sign") << "+5" << 0;
        QTest::newRow("decimal") << "1.5" << 0;
        QTest::newRow("letters") << "15a" << 0;
        QTest::newRow("huge") << "99999999999999999999999" << 0;
    }
    void stepsPerPixel() {
        QFETCH(QString, text);
        QFETCH(int, value);
        const Checked steps = parseStepsPerPixel(text.toStdString());
        QCOMPARE(steps.ok(), value != 0);
        if (value != 0)
            QCOMPARE(steps.value, value);
        else
            QVERIFY(QString::fromStdString(refusalText(steps.refusal))
                        .contains(QStringLiteral("Сейчас в поле: «") + text + "»"));
    }

    void increments() {
        QCOMPARE(parseIncrement("0", "X").value, 0);
        QCOMPARE(parseIncrement("99999", "Y").value, 99999);
        for (const char* bad : {"", "-1", "abc", "1 2", "2147483648"}) {
            const Checked c = parseIncrement(bad, "Z");
            QVERIFY2(!c.ok(), bad);
            QVERIFY(refusalText(c.refusal).find("оси Z") != std::string::npos);
        }
    }

    void acknowledgementIsCapitalOKAnywhere() {
        const auto scan = [](const std::vector<std::string>& pieces) {
            AcknowledgementScanner s;
            for (const std::string& piece : pieces)
                for (char c : piece)
                    s.add(c);
            return s.found();
        };
        QVERIFY(scan({"OK"}));
        QVERIFY(scan({"O", "K"}));
        QVERIFY(scan({"\r\n#", "O", "", "K\r\n"}));
        QVERIFY(scan({"xxOKyy"}));
        QVERIFY(!scan({"ok"}));
        QVERIFY(!scan({"Ok", "oK"}));
        QVERIFY(!scan({"O", "x", "K"}));
        QVERIFY(!scan({"KO"}));
    }

    void keyFilter() {
        QVERIFY(keyFilterAccepts("", '1'));
        QVERIFY(keyFilterAccepts("1234", '5'));
        QVERIFY(!keyFilterAccepts("12345", '6'));
        QVERIFY(keyFilterAccepts("1234", '\b'));
        QVERIFY(!keyFilterAccepts("12345", '\b')); // backspace too, at five characters
        QVERIFY(keyFilterAccepts("", '\b'));
        for (char c : {'a', '-', '+', '.', ',', ' ', '\r', '\x16', '/', ':'})
            QVERIFY2(!keyFilterAccepts("", c), std::string(1, c).c_str());
        QVERIFY(!keyFilterAccepts("", QChar(0x0661))); // an Arabic-Indic digit is no digit here
    }

    void refusalsAreWordedWithLinesJoinedByCrLf() {
        QCOMPARE(refusalText(MillRefusal::NoSelection), std::string("Не выбрана фигура.\r\nВыберите фигуру в дереве."));
        QCOMPARE(refusalText(MillRefusal::NoTree),
                 std::string("Изображение не загружено или не разобрано.\r\n"
                             "Если изображение загружено, нажмите кнопку 'Разобрать'.\r\n"
                             "Необходимо, чтобы программа построила дерево вложения фигур."));
        QVERIFY(refusalText(MillRefusal::None).empty());
    }
};

QTEST_APPLESS_MAIN(MoveCommandTest)
#include "test_move_command.moc"
