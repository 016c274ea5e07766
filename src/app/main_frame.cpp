#include "main_frame.h"

#include "twips.h"
#include "work_window.h"

#include <QAction>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>

namespace zelmar {

namespace {
constexpr double designedClientWidth = 11115;
constexpr double designedClientHeight = 6660;
} // namespace

MainFrame::MainFrame(const QString& programDir, QWidget* parent)
    : QMainWindow(parent), programDir_(programDir), mdiArea_(new QMdiArea(this)) {
    setObjectName(QStringLiteral("MDIForm1"));
    setWindowTitle(QStringLiteral("Zelmar CNC"));
    mdiArea_->setBackground(palette().brush(QPalette::Dark));
    setCentralWidget(mdiArea_);
    millAction_ = menuBar()->addAction(QStringLiteral("Фрезеровка"));
    millAction_->setObjectName(QStringLiteral("mill_cl"));
    connect(millAction_, &QAction::triggered, this, &MainFrame::openWorkWindow);

    const TwipsPerPixel tpp = TwipsPerPixel::of(this);
    resize(twipsToPixels(designedClientWidth, tpp.x),
           twipsToPixels(designedClientHeight, tpp.y) + menuBar()->sizeHint().height());
}

void MainFrame::openWorkWindow() {
    if (workWindow_ && subWindow_) {
        mdiArea_->setActiveSubWindow(subWindow_);
        workWindow_->setFocus();
        return;
    }
    auto* form = new WorkWindow(programDir_, tool_);
    workWindow_ = form;
    subWindow_ = mdiArea_->addSubWindow(form);
    subWindow_->setAttribute(Qt::WA_DeleteOnClose);
    // The form was built at its designed client size; the sub-window adds its own title bar and borders.
    const QSize client = form->size();
    subWindow_->show();
    subWindow_->resize(client.grownBy(subWindow_->contentsMargins()));
    subWindow_->move(0, 0);
    form->setFocus();
    form->reportStartupError();
}

} // namespace zelmar
