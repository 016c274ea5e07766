#pragma once
// What the tests against the simulated grbl share: pictures, the command-line tool run as a process, the
// simulated board's log and cut log read back.

#include "bmp_bytes.h"
#include "board_harness.h"

#include <QFile>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace zelmar::testing {

// Rings inside rings and a stray dot: contours that double back on themselves, several regions deep.
inline int rings(int x, int y) {
    const int dx = x - 15, dy = y - 11;
    const int r2 = dx * dx + dy * dy;
    if (x == 2 && y == 20)
        return 0;
    return (r2 < 25 || (r2 >= 49 && r2 < 100)) ? 0 : 255;
}

inline QString writePicture(const QTemporaryDir& dir, const QString& name, int (*picture)(int, int), int w, int h) {
    QFile image(dir.filePath(name));
    image.open(QIODevice::WriteOnly | QIODevice::Truncate);
    image.write(testing::bmpBytes(24, w, h, picture));
    return image.fileName();
}

struct Run {
    int status = -1;
    QString out;
    QString err;
};

inline Run cli(const QStringList& args, int ms = 60000) {
    QProcess p;
    p.start(QStringLiteral(ZELMAR_BIN_DIR "/zelmar-cli"), args);
    p.waitForFinished(ms);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// The lines of a G-code file that go to the controller: all but the comments.
inline QStringList streamedLinesOf(const QString& gcode) {
    QStringList lines;
    for (const QString& line : gcode.split('\n', Qt::SkipEmptyParts))
        if (!line.startsWith('('))
            lines << line;
    return lines;
}

// A number of millimetres with up to nine decimals, in 10^-9 mm.
inline qint64 nanoOf(const QString& text) {
    const bool negative = text.startsWith('-');
    const QString digits = negative ? text.mid(1) : text;
    const qsizetype point = digits.indexOf('.');
    const QString whole = point < 0 ? digits : digits.left(point);
    QString fraction = point < 0 ? QString() : digits.mid(point + 1);
    fraction = fraction.leftJustified(9, '0');
    const qint64 v = whole.toLongLong() * 1000000000LL + fraction.toLongLong();
    return negative ? -v : v;
}

// Where a machine that started at 0 stands after these incremental lines, as the simulated board says it:
// "position X Y Z", millimetres with three decimals.
inline QString positionAfter(const QStringList& lines) {
    qint64 at[3] = {0, 0, 0};
    static const QRegularExpression word(QStringLiteral("([XYZ])(-?[0-9.]+)"));
    for (const QString& line : lines) {
        if (!line.startsWith(QLatin1String("G0")) && !line.startsWith(QLatin1String("G1")) &&
            !line.startsWith(QLatin1String("$J=")))
            continue;
        for (auto m = word.globalMatch(line); m.hasNext();) {
            const auto w = m.next();
            at[w.captured(1).at(0).unicode() - 'X'] += nanoOf(w.captured(2));
        }
    }
    // The machine moves in whole steps of 0.004 mm (250 steps/mm), the nearest to each target, halves away from 0.
    for (qint64& v : at) {
        const qint64 step = 4000000;
        const qint64 steps = (v >= 0 ? v + step / 2 : v - step / 2) / step;
        v = steps * step;
    }
    QStringList parts;
    for (const qint64 v : at)
        parts << QString::asprintf("%s%lld.%03lld", v < 0 ? "-" : "", std::llabs(v) / 1000000000LL,
                                   std::llabs(v) / 1000000LL % 1000);
    return QStringLiteral("position ") + parts.join(' ');
}

// The lines the simulated grbl answered ("ok" or "error:N"), in order, from its log.
inline QStringList answeredLines(const Board& board) {
    QStringList lines;
    static const QRegularExpression entry(QStringLiteral("^\\S+ \"(.*)\" (ok|error:\\d+)"));
    for (const QString& l : board.logLines())
        if (const auto m = entry.match(l); m.hasMatch())
            lines << m.captured(1);
    return lines;
}

// A point of a cut as the simulated grbl carried it out: X Y Z and the stock's top under the tool.
using CutPoint = std::array<double, 4>;

inline std::vector<CutPoint> cutPoints(const QString& log) {
    std::vector<CutPoint> points;
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return points;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (const QList<QByteArray> w = line.split(' '); w.size() == 4)
            points.push_back({w[0].toDouble(), w[1].toDouble(), w[2].toDouble(), w[3].toDouble()});
    return points;
}

// The worst difference of a run's depth below the top from a flat run's, at the same point of its path; a point
// between two of the flat run's (a move cut at a map's grid, a stop) is planned on the straight line between them.
// `samePath`: the run passed every point of the flat one, in order.
inline double worstDepthOff(const std::vector<CutPoint>& flat, const std::vector<CutPoint>& run, bool& samePath) {
    double worst = 0;
    std::size_t k = 0;
    samePath = true;
    for (const auto& [x, y, z, top] : run) {
        if (k >= flat.size()) {
            samePath = false;
            break;
        }
        const auto& [fx, fy, fz, ftop] = flat[k];
        double planned = ftop - fz;
        if (std::abs(fx - x) < 5e-4 && std::abs(fy - y) < 5e-4) {
            ++k;
        } else if (k > 0) {
            const auto& [px, py, pz, ptop] = flat[k - 1];
            const double whole = std::hypot(fx - px, fy - py);
            const double t = whole > 0 ? std::hypot(x - px, y - py) / whole : 0;
            planned = (ptop - pz) + (planned - (ptop - pz)) * t;
        }
        worst = std::max(worst, std::abs((top - z) - planned));
    }
    samePath = samePath && k == flat.size();
    return worst;
}

inline QStringList grblBoardArgs(std::initializer_list<QString> more = {}) {
    QStringList args{"--grbl"};
    for (const QString& a : more)
        args << a;
    return args;
}

// Answers the next question box with the given title "Да" or "Нет", keeping its text.

// The window on the simulated grbl: cnc.ini says Controller=grbl; "Все" ticked, ready to click.
inline void connectWindow(WindowOnBoard& w) {
    QVERIFY(waitFor([&] { return w.label("Label4") == QStringLiteral("Com-порт открыт"); }, 10000));
    w.check1()->setChecked(true);
    w.click("Command1");
}

struct QuestionAnswerer {
    QuestionAnswerer(const QString& boxTitle, bool answerYes) : title(boxTitle), yes(answerYes) {}
    QString title;
    bool yes = false;
    QString text;
    int seen = 0;
    QObject guard;
    void arm() {
        QTimer::singleShot(5, &guard, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box->windowTitle() != title) {
                arm();
                return;
            }
            text = box->text();
            ++seen;
            for (QAbstractButton* b : box->buttons())
                if (b->text() == (yes ? QStringLiteral("Да") : QStringLiteral("Нет"))) {
                    b->click();
                    return;
                }
        });
    }
};

} // namespace zelmar::testing
