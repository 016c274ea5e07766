#include "probe_map_dialog.h"

#include "error_box.h"
#include "texts/height_map_texts.h"
#include "texts/setup_texts.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

namespace zelmar {

namespace {

QSpinBox* spinBox(QWidget* parent, const char* name, int low, int high, int value) {
    auto* box = new QSpinBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setRange(low, high);
    box->setValue(value);
    return box;
}

QLineEdit* lineEdit(QWidget* parent, const char* name) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

// Millimetres as typed ("2,5" as well as "2.5"): empty stays empty; nothing for anything but a number.
std::optional<std::string> millimetres(const QLineEdit* box, bool aboveZero) {
    const QString text = box->text().trimmed().replace(QLatin1Char(','), QLatin1Char('.'));
    if (text.isEmpty())
        return std::string();
    const std::optional<Decimal> mm = Decimal::parse(text.toStdString());
    if (!mm || (aboveZero && mm->isZero()))
        return std::nullopt;
    return mm->text();
}

QString mmText(double value) {
    const QString text = QString::number(value, 'f', 3);
    return text == QStringLiteral("-0.000") ? QStringLiteral("0.000") : text;
}

} // namespace

ProbeMapDialog::ProbeMapDialog(QWidget* parent, JobController& controller, std::string stepsText)
    : QDialog(parent), controller_(&controller), stepsText_(std::move(stepsText)) {
    setObjectName(QStringLiteral("probeMapDialog"));
    setWindowTitle(QStringLiteral("Снять карту высот"));
    setMinimumWidth(520);
    auto* layout = new QVBoxLayout(this);
    auto* hint = new QLabel(QString::fromStdString(probeGridHintText()), this);
    hint->setWordWrap(true);
    layout->addWidget(hint);

    auto* form = new QFormLayout;
    nx_ = spinBox(this, "probeNx", 2, maxProbeGrid, 5);
    ny_ = spinBox(this, "probeNy", 2, maxProbeGrid, 4);
    margin_ = lineEdit(this, "probeMargin");
    margin_->setText(QStringLiteral("0"));
    clearance_ = lineEdit(this, "probeClearance");
    const Checked scale = parseStepsPerPixel(stepsText_.empty() ? defaultStepsPerPixel : stepsText_);
    clearance_->setPlaceholderText(
        QString::fromStdString(clearancePlaceholderText(setupSettingsOf(controller.config(), scale).retractMm)));
    feed_ = spinBox(this, "probeFeed", 1, 5000, std::max(1, controller.config().probeFeed));
    form->addRow(QStringLiteral("Точек по X:"), nx_);
    form->addRow(QStringLiteral("Точек по Y:"), ny_);
    form->addRow(QStringLiteral("Поля от краёв картинки, мм:"), margin_);
    form->addRow(QStringLiteral("Подъём между точками, мм:"), clearance_);
    form->addRow(QStringLiteral("Подача щупа, мм/мин:"), feed_);
    layout->addLayout(form);

    point_ = new QLabel(this);
    point_->setObjectName(QStringLiteral("probePoint"));
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("probeProgress"));
    point_->hide();
    bar_->hide();
    layout->addWidget(point_);
    layout->addWidget(bar_);

    description_ = new QLabel(this);
    description_->setObjectName(QStringLiteral("probedMap"));
    description_->setWordWrap(true);
    description_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    description_->hide();
    layout->addWidget(description_);
    heights_ = new QTableWidget(this);
    heights_->setObjectName(QStringLiteral("probedHeights"));
    heights_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    heights_->hide();
    layout->addWidget(heights_, 1);

    auto* buttons = new QDialogButtonBox(this);
    probe_ = buttons->addButton(QStringLiteral("Снять"), QDialogButtonBox::ActionRole);
    probe_->setObjectName(QStringLiteral("probeStart"));
    probe_->setDefault(true);
    close_ = buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
    close_->setObjectName(QStringLiteral("probeClose"));
    connect(probe_, &QPushButton::clicked, this, &ProbeMapDialog::start);
    connect(buttons, &QDialogButtonBox::rejected, this, &ProbeMapDialog::reject);
    layout->addWidget(buttons);

    connect(&controller, &JobController::probeTouched, this, &ProbeMapDialog::onTouched);
    connect(&controller, &JobController::setupDone, this, &ProbeMapDialog::onDone);
    connect(&controller, &JobController::setupFailed, this, &ProbeMapDialog::onFailed);
    // The work window goes, and its machine with it.
    connect(&controller, &QObject::destroyed, this, [this] {
        running_ = false;
        QDialog::reject();
    });
}

void ProbeMapDialog::start() {
    if (!controller_ || running_)
        return;
    const std::optional<std::string> margin = millimetres(margin_, false);
    const std::optional<std::string> clearance = millimetres(clearance_, true);
    if (!margin || !clearance) {
        showErrorBox(this, QString::fromStdString(badProbeNumbersText()));
        return;
    }
    Operation op;
    op.kind = Operation::Kind::ProbeMap;
    op.nx = nx_->value();
    op.ny = ny_->value();
    op.margin = *margin;
    op.clearance = *clearance;
    // The setting's own feed sends the lines a probe without the dialog would.
    op.probeFeed = feed_->value() == controller_->config().probeFeed ? 0 : feed_->value();
    description_->hide();
    heights_->hide();
    const JobController::SetupRefusal refusal = controller_->startSetup(op, stepsText_);
    if (refusal != JobController::SetupRefusal::None) {
        showErrorBox(this, QString::fromStdString(
                               setupRefusalText(op.kind, refusal, controller_->blockingSettings())));
        return;
    }
    setRunning(true);
    onTouched(0, op.nx * op.ny);
}

void ProbeMapDialog::reject() {
    if (!running_)
        QDialog::reject();
}

void ProbeMapDialog::setRunning(bool running) {
    running_ = running;
    for (QWidget* w : std::initializer_list<QWidget*>{nx_, ny_, margin_, clearance_, feed_, probe_, close_})
        w->setEnabled(!running);
    point_->setVisible(running);
    bar_->setVisible(running);
}

void ProbeMapDialog::onTouched(int count, int of) {
    if (!running_)
        return;
    point_->setText(QString::fromStdString(probePointText(count, of)));
    bar_->setRange(0, of);
    bar_->setValue(count);
}

void ProbeMapDialog::onDone(Operation::Kind kind) {
    if (!running_ || kind != Operation::Kind::ProbeMap)
        return;
    setRunning(false);
    close_->setText(QStringLiteral("Закрыть"));
    if (!controller_ || !controller_->heightMap())
        return;
    showMap(*controller_->heightMap(), {}, QString());
    askWhereToSave();
}

void ProbeMapDialog::onFailed(Operation::Kind kind, const SetupFailure& failure) {
    if (!running_ || kind != Operation::Kind::ProbeMap)
        return;
    setRunning(false);
    // The machine panel puts every set-up's failure in the error box; the dialog keeps it beside its numbers.
    point_->setWordWrap(true);
    point_->setText(QString::fromStdString(setupFailureText(kind, failure)));
    point_->show();
}

void ProbeMapDialog::askWhereToSave() {
    auto* dialog = new QFileDialog(this, QStringLiteral("Сохранить карту высот"), QString(),
                                   QStringLiteral("Карта высот (*.txt *.map);;Все файлы (*)"));
    dialog->setObjectName(QStringLiteral("probedMapSave"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    dialog->selectFile(QStringLiteral("карта-высот.txt"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, &ProbeMapDialog::save);
    connect(dialog, &QDialog::rejected, this, [this] {
        if (controller_ && controller_->heightMap())
            showMap(*controller_->heightMap(), {}, QString::fromStdString(probedMapNotSavedText()));
    });
    dialog->open();
}

void ProbeMapDialog::save(const QString& path) {
    if (!controller_ || !controller_->heightMap())
        return;
    const HeightMap map = *controller_->heightMap();
    QFile file(path);
    const QByteArray text = QByteArray::fromStdString(map.text());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size() || !file.flush()) {
        showErrorBox(this, QString::fromStdString(
                               probedMapWriteFailedText(path.toStdString(), file.errorString().toStdString())));
        showMap(map, {}, QString::fromStdString(probedMapNotSavedText()));
        return;
    }
    file.close();
    const std::string name = QFileInfo(path).fileName().toStdString();
    controller_->setHeightMap(map, name);
    showMap(map, name, QString::fromStdString(probedMapSavedText(path.toStdString())));
}

void ProbeMapDialog::showMap(const HeightMap& map, const std::string& name, const QString& note) {
    QString text = QString::fromStdString(heightMapText(map, name.empty() ? unsavedMapName() : name));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (!note.isEmpty())
        text += QStringLiteral("\n") + note;
    description_->setText(text);
    description_->show();
    // The rows as the picture lies: the largest Y at the top.
    heights_->clear();
    heights_->setColumnCount(map.nx);
    heights_->setRowCount(map.ny);
    QStringList columns, rows;
    for (std::int32_t i = 0; i < map.nx; ++i)
        columns << QStringLiteral("X %1").arg(mmText(map.originX + map.stepX * i));
    for (std::int32_t r = 0; r < map.ny; ++r) {
        const std::int32_t j = map.ny - 1 - r;
        rows << QStringLiteral("Y %1").arg(mmText(map.originY + map.stepY * j));
        for (std::int32_t i = 0; i < map.nx; ++i) {
            auto* item = new QTableWidgetItem(mmText(map.at(i, j)));
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            heights_->setItem(r, i, item);
        }
    }
    heights_->setHorizontalHeaderLabels(columns);
    heights_->setVerticalHeaderLabels(rows);
    heights_->resizeColumnsToContents();
    heights_->resizeRowsToContents();
    // Up to 8 × 8 heights in view without scrolling; a larger grid scrolls within that.
    constexpr int shown = 8;
    const int frame = 2 * heights_->frameWidth() + 4;
    int width = heights_->verticalHeader()->sizeHint().width() + frame;
    int height = heights_->horizontalHeader()->sizeHint().height() + frame;
    for (int i = 0; i < std::min(map.nx, shown); ++i)
        width += heights_->columnWidth(i);
    for (int r = 0; r < std::min(map.ny, shown); ++r)
        height += heights_->rowHeight(r);
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    heights_->setMinimumSize(width + (map.ny > shown ? bar : 0), height + (map.nx > shown ? bar : 0));
    heights_->setMaximumHeight(map.ny > shown ? QWIDGETSIZE_MAX : heights_->minimumHeight());
    heights_->show();
    adjustSize();
}

} // namespace zelmar
