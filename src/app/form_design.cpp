#include "form_design.h"

#include "caption_button.h"
#include "config/settings_table.h"
#include "layer_view.h"
#include "tab_strip.h"
#include "twips.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTreeView>

#include <algorithm>
#include <utility>
#include <vector>

namespace zelmar {

namespace {

enum class Kind { Frame, Button, Tree, Label, TextBox, CheckBox, TabStrip, Picture };

// The work window as designed: positions and sizes in twips relative to the container; tabIndex is the
// keyboard order.
struct ControlDesign {
    const char* name;
    Kind kind;
    const char* container; // nullptr: the window itself
    const char* caption;
    double left, top, width, height;
    int tabIndex;
};

// Containers come before what they hold.
const ControlDesign designs[] = {
    {"Frame2", Kind::Frame, nullptr, "", 6525, 0, 3930, 6090, 4},
    {"Command4", Kind::Button, "Frame2", "Градиент", 90, 180, 1230, 375, 8},
    {"Command5", Kind::Button, "Frame2", "Отступить", 1395, 180, 1140, 375, 7},
    {"Command1", Kind::Button, "Frame2", "Разобрать", 2610, 180, 1185, 375, 20},
    {"tv", Kind::Tree, "Frame2", "", 135, 630, 3660, 3075, 19},
    {"Command2", Kind::Button, "Frame2", "Выделенная", 90, 3780, 1230, 375, 18},
    {"Command6", Kind::Button, "Frame2", "Все", 1395, 3780, 1185, 375, 6},
    {"Command7", Kind::Button, "Frame2", "Резать 3D", 2655, 3780, 1140, 375, 5},
    {"Frame1", Kind::Frame, "Frame2", "Настройка", 135, 4230, 3660, 1365, 9},
    {"Label2", Kind::Label, "Frame1", "1 пиксель - ", 150, 270, 915, 240, 17},
    {"Text2", Kind::TextBox, "Frame1", defaultStepsPerPixel, 1095, 225, 510, 285, 12},
    {"Label3", Kind::Label, "Frame1", "шагов", 1725, 270, 690, 240, 16},
    {"Check1", Kind::CheckBox, "Frame1", "Фрезеровать", 150, 540, 1455, 285, 13},
    {"tx", Kind::TextBox, "Frame1", "", 135, 855, 780, 375, 14},
    {"ty", Kind::TextBox, "Frame1", "", 990, 855, 780, 375, 11},
    {"tz", Kind::TextBox, "Frame1", "", 1845, 855, 780, 375, 10},
    {"Command3", Kind::Button, "Frame1", "Ручная уст-ка", 2745, 765, 795, 480, 15},
    // The cutter, when cnc.ini names one; empty for the one-pixel tool.
    {"ToolLabel", Kind::Label, "Frame1", "", 1650, 570, 1950, 240, 24},
    {"Label1", Kind::Label, "Frame2", "Статус:", 225, 5715, 600, 240, 22},
    {"Label4", Kind::Label, "Frame2", "Ошибка открытия Com-порта", 855, 5715, 2940, 285, 23},
    {"TabStrip1", Kind::TabStrip, nullptr, "", 45, 45, 4290, 3660, 21},
    {"Pict", Kind::Picture, nullptr, "", 135, 450, 2000, 1500, 0},
    {"Pict1", Kind::Picture, nullptr, "", 2205, 450, 2000, 1500, 1},
    {"Pict2", Kind::Picture, nullptr, "", 135, 2025, 2000, 1500, 2},
    {"Pict3", Kind::Picture, nullptr, "", 2205, 2025, 2000, 1500, 3},
};

constexpr double designedClientWidth = 10455;
constexpr double designedClientHeight = 6105;

QWidget* createControl(const ControlDesign& d, QWidget* container) {
    const QString caption = QString::fromUtf8(d.caption);
    switch (d.kind) {
    case Kind::Frame:
        return new QGroupBox(caption, container);
    case Kind::Button:
        return new CaptionButton(caption, container);
    case Kind::Tree: {
        auto* tree = new QTreeView(container);
        tree->setHeaderHidden(true);
        return tree;
    }
    case Kind::Label:
        return new QLabel(caption, container);
    case Kind::TextBox:
        return new QLineEdit(caption, container);
    case Kind::CheckBox:
        return new QCheckBox(caption, container);
    case Kind::TabStrip:
        return new TabStrip({QStringLiteral("Основная"), QStringLiteral("Градиент"),
                             QStringLiteral("Выделение"), QStringLiteral("Фреза")},
                            container);
    case Kind::Picture:
        return new LayerView(container);
    }
    return nullptr;
}

} // namespace

QHash<QString, QWidget*> buildDesignedControls(QWidget* form) {
    const TwipsPerPixel tpp = TwipsPerPixel::of(form);
    form->resize(twipsToPixels(designedClientWidth, tpp.x), twipsToPixels(designedClientHeight, tpp.y));

    QHash<QString, QWidget*> made;
    std::vector<std::pair<int, QWidget*>> tabOrder;
    for (const ControlDesign& d : designs) {
        QWidget* container = d.container ? made.value(QString::fromUtf8(d.container)) : form;
        QWidget* control = createControl(d, container);
        control->setObjectName(QString::fromUtf8(d.name));
        control->setGeometry(pixelRect({d.left, d.top, d.width, d.height}, tpp));
        made.insert(control->objectName(), control);
        tabOrder.emplace_back(d.tabIndex, control);
    }
    std::sort(tabOrder.begin(), tabOrder.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    QWidget* previous = nullptr;
    for (const auto& [index, control] : tabOrder) {
        QWidget* focusable = control;
        if (auto* strip = qobject_cast<TabStrip*>(control))
            focusable = strip->tabBar();
        if (focusable->focusPolicy() == Qt::NoFocus)
            continue;
        if (previous)
            QWidget::setTabOrder(previous, focusable);
        previous = focusable;
    }
    return made;
}

} // namespace zelmar
