#pragma once
// The tab strip: a row of tabs over a bordered area in which the views lie stacked in tab mode.

#include <QWidget>

class QTabBar;
class QFrame;

namespace zelmar {

class TabStrip : public QWidget {
    Q_OBJECT
public:
    TabStrip(const QStringList& captions, QWidget* parent);

    // 1-based, as the window's handlers count tabs.
    int selectedIndex() const;
    QTabBar* tabBar() const { return tabBar_; }

signals:
    // A click on a tab, or a change of tab from the keyboard; carries the 1-based index now selected.
    void tabClicked(int selectedIndex);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QTabBar* tabBar_;
    QFrame* panel_;
};

} // namespace zelmar
