#include "app/command_line.h"
#include "config/startup_config.h"
#include "config/version.h"
#include "main_frame.h"
#include "qt_translations.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

int main(int argc, char** argv) {
    if (const std::optional<int> status = zelmar::answerInfoOptions(argc, argv))
        return *status;
    QApplication app(argc, argv);
    // The name decides the user's settings folder (~/.config/zelmar) and ties the windows to zelmar.desktop.
    QCoreApplication::setApplicationName(QStringLiteral("zelmar"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(zelmar::versionText));
    QGuiApplication::setDesktopFileName(QStringLiteral("zelmar"));
    QGuiApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("zelmar")));
    if (const std::optional<int> status = zelmar::refuseLeftoverArguments(QCoreApplication::arguments()))
        return *status;
    zelmar::installQtTranslations(app);

    zelmar::MainFrame frame(
        zelmar::standardConfigLocations(QCoreApplication::applicationDirPath().toStdString()));
    frame.show();
    // The work window opens by itself once the frame is on screen, so a start-up message has a window behind
    // it.
    QTimer::singleShot(0, &frame, &zelmar::MainFrame::openWorkWindow);
    return app.exec();
}
