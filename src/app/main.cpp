#include "main_frame.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    zelmar::MainFrame frame(QCoreApplication::applicationDirPath());
    frame.show();
    // The work window opens by itself once the frame is on screen, so a start-up message has a window behind
    // it.
    QTimer::singleShot(0, &frame, &zelmar::MainFrame::openWorkWindow);
    return app.exec();
}
