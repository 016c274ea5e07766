#include "job_exports.h"

#include "config/settings_table.h"
#include "error_box.h"
#include "job/planned_carving.h"
#include "picture_files/carving_image.h"
#include "preview_dialog.h"
#include "texts/operator_texts.h"

#include <QFileDialog>
#include <QFutureWatcher>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

namespace zelmar {

QString millRefusalText(const JobController& controller, MillRefusal refusal) {
    return QString::fromStdString(refusal == MillRefusal::BadSetting
                                      ? badSettingsRefusalText(controller.blockingSettings())
                                      : refusalText(refusal));
}

JobExports::JobExports(QWidget* window, JobController& controller, const ImageSession& session,
                       const ToolPosition& tool, std::function<std::string()> stepsText)
    : window_(window), controller_(controller), session_(session), tool_(tool), stepsText_(std::move(stepsText)) {}

namespace {

struct PreviewPictures {
    QImage above, tilted;
};

PreviewPictures picturesOf(const Carving& carving) {
    return {imageOf(pictureOf(carving, CarvingView::Above)), imageOf(pictureOf(carving, CarvingView::Tilted))};
}

// Shades the carving beside the window and hands the pictures to the dialog.
void shadeInto(PreviewDialog* dialog, std::function<Carving()> carve) {
    auto* watcher = new QFutureWatcher<PreviewPictures>(dialog);
    QObject::connect(watcher, &QFutureWatcher<PreviewPictures>::finished, dialog, [dialog, watcher] {
        const PreviewPictures p = watcher->result();
        dialog->showPictures(p.above, p.tilted);
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run([carve = std::move(carve)] { return picturesOf(carve()); }));
}

} // namespace

void JobExports::showPreview() {
    const std::string cutter = toolText(controller_.config().tool);
    const QString tool = cutter.empty() ? QString() : QStringLiteral(", ") + QString::fromStdString(cutter).toLower();
    const Carving* cut = controller_.jobCarving();
    if (cut && (cut->deepest() > 0 || controller_.isBusy() || controller_.runner().isRunning())) {
        // What the last job has cut, in a dry run too, growing while it runs and the dialog stays open.
        auto* dialog = new PreviewDialog(QStringLiteral("Вырезано заданием") + tool, window_);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
        auto* timer = new QTimer(dialog);
        const auto refresh = [this, dialog] {
            if (!controller_.jobCarving() || dialog->findChild<QFutureWatcher<PreviewPictures>*>())
                return; // the last pictures are still being shaded
            auto snapshot = std::make_shared<Carving>(*controller_.jobCarving());
            shadeInto(dialog, [snapshot] { return *snapshot; });
        };
        QObject::connect(timer, &QTimer::timeout, dialog, refresh);
        timer->start(1000);
        refresh();
        return;
    }
    // "Все" from where the tool stands, on a copy: the work is left alone.
    PlannedCarving planned = plannedCarving(controller_, session_, tool_, stepsText_());
    if (planned.refusal != MillRefusal::None) {
        showErrorBox(window_, millRefusalText(controller_, planned.refusal));
        return;
    }
    auto* dialog = new PreviewDialog(QStringLiteral("Результат «Все»") + tool, window_);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    shadeInto(dialog, std::move(planned.carve));
}

void JobExports::saveGcode() {
    if (controller_.isBusy() || controller_.runner().isRunning()) {
        showErrorBox(window_, QStringLiteral("Идёт задание: G-код можно сохранить, когда оно закончится или будет "
                                          "остановлено."));
        return;
    }
    // Before the file is named: nothing could be written.
    const MillRefusal refusal =
        checkPlannedJob(controller_, session_, MillKind::All, settingNeeds::milling | settingNeeds::gcode);
    if (refusal != MillRefusal::None) {
        showErrorBox(window_, millRefusalText(controller_, refusal));
        return;
    }
    const auto askWhere = [this](MillKind kind) {
        auto* dialog = new QFileDialog(window_, QStringLiteral("Сохранить G-код"), QString(),
                                       QStringLiteral("G-код (*.nc *.ngc *.gcode);;Все файлы (*)"));
        dialog->setObjectName(QStringLiteral("gcodeDialog"));
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setDefaultSuffix(QStringLiteral("nc"));
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(dialog, &QFileDialog::fileSelected, window_, [this, kind](const QString& path) {
            QString startText;
            const QString problem = writeGcodeFile(path, kind, &startText);
            if (!problem.isEmpty()) {
                showErrorBox(window_, problem);
                return;
            }
            showMessageBox(window_, QStringLiteral("G-код сохранён"),
                           QStringLiteral("G-код записан в %1.\r\nПеред запуском поставьте фрезу на поверхность "
                                          "над %2: все перемещения файла отсчитываются от этого места.")
                                   .arg(path, startText) +
                               (controller_.heightMap()
                                    ? QStringLiteral("\r\nФайл следует карте высот: это место — её ноль заготовки.")
                                    : QString()));
        });
        dialog->open();
    };
    const RegionTree& tree = session_.regions->tree;
    if (session_.selectedNode < 0 || static_cast<std::size_t>(session_.selectedNode) >= tree.nodes.size()) {
        askWhere(MillKind::All);
        return;
    }
    const std::int32_t region = tree.nodes[static_cast<std::size_t>(session_.selectedNode)].regionId;
    askYesNo(window_, QStringLiteral("Сохранить G-код"),
             QStringLiteral("В дереве выбрана фигура %1.\nЗаписать только её, как её фрезерует «Выделенная»?\n"
                            "«Нет» — записать все фигуры, как «Все».")
                 .arg(region),
             [askWhere](bool onlySelected) { askWhere(onlySelected ? MillKind::Selected : MillKind::All); });
}

QString JobExports::writeGcodeFile(const QString& path, MillKind kind, QString* startText) {
    const JobController::GcodeResult r = controller_.writeGcode(path, kind, stepsText_());
    if (startText)
        *startText = QString::fromStdString(gcodeStartText(r.start.toolX, r.start.toolY, r.startRightMm, r.startDownMm));
    if (r.refusal != MillRefusal::None)
        return millRefusalText(controller_, r.refusal);
    if (r.numbers.kind != NumberRefusal::Kind::None)
        return QString::fromStdString(refusalText(r.numbers));
    if (!r.fileError.isEmpty())
        return QStringLiteral("Файл G-кода не удалось записать: %1\n%2").arg(path, r.fileError);
    return {};
}

} // namespace zelmar
