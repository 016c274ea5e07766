#include "height_map_choice.h"

#include "error_box.h"
#include "texts/height_map_texts.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

namespace zelmar {

void HeightMapChoice::load() {
    auto* dialog = new QFileDialog(window_, QStringLiteral("Карта высот"), QString(),
                                   QStringLiteral("Карта высот (*.txt *.map);;Все файлы (*)"));
    dialog->setObjectName(QStringLiteral("heightMapDialog"));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QFileDialog::fileSelected, window_, [this](const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            showErrorBox(window_, QStringLiteral("Карту высот не удалось прочитать: %1\r\n%2").arg(path, file.errorString()));
            return;
        }
        const QByteArray bytes = file.readAll();
        HeightMapProblem problem;
        std::optional<HeightMap> map =
            HeightMap::read(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), &problem);
        if (!map) {
            showErrorBox(window_, QStringLiteral("Файл %1 — не карта высот: %2")
                                      .arg(path, QString::fromStdString(heightMapProblemText(problem))));
            return;
        }
        const std::string name = QFileInfo(path).fileName().toStdString();
        const std::string description = heightMapText(*map, name);
        controller_.setHeightMap(std::move(map), name);
        showMessageBox(window_, QStringLiteral("Карта высот"), QString::fromStdString(description));
    });
    dialog->open();
}

void HeightMapChoice::forget() {
    const bool had = controller_.heightMap().has_value();
    controller_.setHeightMap(std::nullopt, {});
    showMessageBox(window_, QStringLiteral("Карта высот"),
                   had ? QStringLiteral("Карта высот забыта: файл G-кода и задания снова для ровной заготовки.")
                       : QStringLiteral("Карта высот не загружена."));
}

} // namespace zelmar
