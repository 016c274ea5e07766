#include "tab_strip.h"

#include <QFrame>
#include <QResizeEvent>
#include <QTabBar>

namespace zelmar {

TabStrip::TabStrip(const QStringList& captions, QWidget* parent)
    : QWidget(parent), tabBar_(new QTabBar(this)), panel_(new QFrame(this)) {
    tabBar_->setObjectName(QStringLiteral("tabBar"));
    tabBar_->setDrawBase(false);
    tabBar_->setExpanding(false);
    for (const QString& caption : captions)
        tabBar_->addTab(caption);
    panel_->setFrameStyle(QFrame::Box | QFrame::Plain);
    panel_->lower();
    connect(tabBar_, &QTabBar::currentChanged, this, [this](int index) { emit tabClicked(index + 1); });
    // A click on the tab already selected changes nothing in the bar but is still a click.
    connect(tabBar_, &QTabBar::tabBarClicked, this, [this](int index) {
        if (index >= 0 && index == tabBar_->currentIndex())
            emit tabClicked(index + 1);
    });
}

int TabStrip::selectedIndex() const {
    return tabBar_->currentIndex() + 1;
}

void TabStrip::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int barHeight = tabBar_->sizeHint().height();
    tabBar_->setGeometry(0, 0, width(), barHeight);
    panel_->setGeometry(0, barHeight - 1, width(), qMax(0, height() - barHeight + 1));
}

} // namespace zelmar
