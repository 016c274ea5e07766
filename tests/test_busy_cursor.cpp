// The wait cursor over long work: it appears only once the work has outlasted the delay, goes when the work
// ends however it ends, and leaves a cursor set by someone else as it was. The delays are chosen so that no
// outcome depends on how fast the machine is: an hour that quick work never reaches, or none at all with work
// that waits for the cursor to appear.

#include "app/busy_cursor.h"

#include <QCursor>
#include <QGuiApplication>
#include <QTest>

#include <chrono>
#include <stdexcept>
#include <thread>

using namespace zelmar;
using namespace std::chrono_literals;

namespace {

// Waits on the work's thread until the cursor is shown; false after a long while without it.
bool waitForBusyCursor() {
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (!busyCursorShown()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The override cursor as the work's thread sees it; only read once busyCursorShown() has said the waiting
// thread is done changing it.
int overrideShape() {
    const QCursor* cursor = QGuiApplication::overrideCursor();
    return cursor ? int(cursor->shape()) : -1;
}

} // namespace

class BusyCursorTest : public QObject {
    Q_OBJECT
private slots:
    void quickWorkNeverShowsIt() {
        bool ran = false;
        bool shownDuringWork = true;
        runShowingBusyCursor(
            [&] {
                ran = true;
                shownDuringWork = busyCursorShown() || QGuiApplication::overrideCursor() != nullptr;
            },
            1h);
        QVERIFY(ran);
        QVERIFY(!shownDuringWork);
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }

    void longWorkShowsItUntilDone() {
        bool appeared = false;
        int shape = -1;
        runShowingBusyCursor(
            [&] {
                appeared = waitForBusyCursor();
                shape = overrideShape();
            },
            0ms);
        QVERIFY(appeared);
        QCOMPARE(shape, int(Qt::WaitCursor));
        QVERIFY(!busyCursorShown());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }

    void workThatThrowsStillTakesItAway() {
        bool appeared = false;
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, runShowingBusyCursor(
                                                         [&] {
                                                             appeared = waitForBusyCursor();
                                                             throw std::runtime_error("no picture");
                                                         },
                                                         0ms));
        QVERIFY(appeared);
        QVERIFY(!busyCursorShown());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }

    void anotherOverrideCursorSurvives() {
        QGuiApplication::setOverrideCursor(QCursor(Qt::PointingHandCursor));
        int shape = -1;
        runShowingBusyCursor(
            [&] {
                if (waitForBusyCursor())
                    shape = overrideShape();
            },
            0ms);
        QCOMPARE(shape, int(Qt::WaitCursor));
        QVERIFY(QGuiApplication::overrideCursor() != nullptr);
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::PointingHandCursor);
        QGuiApplication::restoreOverrideCursor();
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }
};

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    BusyCursorTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_busy_cursor.moc"
