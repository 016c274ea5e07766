#include "machine_panel.h"

#include "error_box.h"
#include "jog_pad.h"
#include "texts/setup_texts.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace zelmar {

namespace {

QPushButton* button(QWidget* parent, const QString& caption, const char* name) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

} // namespace

MachinePanel::MachinePanel(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("machinePanel"));
    // Narrow beside the work window: the longer texts wrap.
    setMaximumWidth(270);
    auto* layout = new QVBoxLayout(this);

    auto* where = new QGroupBox(QStringLiteral("Положение, мм"), this);
    coordinates_ = new QLabel(where);
    coordinates_->setObjectName(QStringLiteral("machineCoordinates"));
    coordinates_->setWordWrap(true);
    coordinates_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    (new QVBoxLayout(where))->addWidget(coordinates_);
    layout->addWidget(where);

    auto* jog = new QGroupBox(QStringLiteral("Толчок, мм"), this);
    auto* jogLayout = new QGridLayout(jog);
    const char* names[] = {"jogX", "jogY", "jogZ"};
    for (int i = 0; i < 3; ++i) {
        jogLayout->addWidget(new QLabel(QString(QChar(char16_t(u'X' + i))), jog), 0, 2 * i);
        offsets_[i] = new QLineEdit(jog);
        offsets_[i]->setObjectName(QString::fromLatin1(names[i]));
        offsets_[i]->setPlaceholderText(QStringLiteral("0"));
        offsets_[i]->setMaximumWidth(56);
        jogLayout->addWidget(offsets_[i], 0, 2 * i + 1);
        connect(offsets_[i], &QLineEdit::returnPressed, this, &MachinePanel::jogByTyped);
    }
    QPushButton* go = button(jog, QStringLiteral("Переместить"), "jogGo");
    connect(go, &QPushButton::clicked, this, &MachinePanel::jogByTyped);
    jogLayout->addWidget(go, 1, 0, 1, 6);
    pad_ = new JogPad(jog);
    pad_->setMinimumHeight(56);
    connect(pad_, &JogPad::refused, this,
            [this](JobController::SetupRefusal refusal) { showRefusal(Operation::Kind::Jog, refusal); });
    jogLayout->addWidget(pad_, 2, 0, 1, 6);
    layout->addWidget(jog);

    // grbl's real-time bytes: each click one step of the rate, "100 %" back to the programmed one.
    auto* overrides = new QGroupBox(QStringLiteral("Коррекция"), this);
    auto* ovLayout = new QGridLayout(overrides);
    struct Row {
        QString caption;
        const char* names[3];
        void (MachinePanel::*apply)(GrblOverride);
    };
    const Row rows[] = {{QStringLiteral("Подача"), {"feedMinus", "feedReset", "feedPlus"}, &MachinePanel::overrideFeed},
                        {QStringLiteral("Шпиндель"), {"spindleMinus", "spindleReset", "spindlePlus"},
                         &MachinePanel::overrideSpindle}};
    const QString captions[] = {QStringLiteral("−10 %"), QStringLiteral("100 %"), QStringLiteral("+10 %")};
    const GrblOverride steps[] = {GrblOverride::Minus10, GrblOverride::Reset, GrblOverride::Plus10};
    for (int r = 0; r < 2; ++r) {
        ovLayout->addWidget(new QLabel(rows[r].caption, overrides), r, 0);
        for (int c = 0; c < 3; ++c) {
            QPushButton* b = button(overrides, captions[c], rows[r].names[c]);
            b->setMaximumWidth(48);
            const auto apply = rows[r].apply;
            const GrblOverride step = steps[c];
            connect(b, &QPushButton::clicked, this, [this, apply, step] { (this->*apply)(step); });
            ovLayout->addWidget(b, r, c + 1);
        }
    }
    ovLayout->setColumnStretch(0, 1);
    layout->addWidget(overrides);

    result_ = new QLabel(this);
    result_->setObjectName(QStringLiteral("setupResult"));
    result_->setWordWrap(true);
    layout->addWidget(result_);
    layout->addStretch(1);
    setController(nullptr);
}

void MachinePanel::setController(JobController* controller) {
    for (const QMetaObject::Connection& c : connections_)
        disconnect(c);
    connections_.clear();
    controller_ = controller;
    pad_->setController(controller);
    result_->clear();
    if (controller) {
        connections_ = {
            connect(controller, &JobController::machineStatusChanged, this, &MachinePanel::showCoordinates),
            connect(controller, &JobController::linkChanged, this, &MachinePanel::showCoordinates),
            connect(controller, &JobController::setupDone, this,
                    [this](Operation::Kind kind) { result_->setText(QString::fromStdString(setupDoneText(kind))); }),
            connect(controller, &JobController::setupFailed, this,
                    [this](Operation::Kind kind, const SetupFailure& failure) {
                        const QString text = QString::fromStdString(setupFailureText(kind, failure));
                        result_->setText(text);
                        showError(text);
                    }),
            // The work window goes: the panel has no machine until the next one.
            connect(controller, &QObject::destroyed, this, [this] { setController(nullptr); }),
        };
    }
    showCoordinates();
}

void MachinePanel::showCoordinates() {
    const std::optional<MachineCoordinates> c = controller_ ? controller_->machineCoordinates() : std::nullopt;
    if (!c) {
        coordinates_->setText(QString::fromStdString(noCoordinatesText()));
        return;
    }
    // The machine, the work and the overrides a line each.
    QString text = QString::fromStdString(coordinatesText(*c));
    text.replace(QStringLiteral(", заготовка"), QStringLiteral(",\nзаготовка")).replace(QStringLiteral("; "), QStringLiteral(";\n"));
    coordinates_->setText(QStringLiteral("grbl: %1\n%2").arg(QString::fromStdString(c->state), text));
}

void MachinePanel::run(const Operation& operation) {
    if (!controller_)
        return;
    result_->clear();
    showRefusal(operation.kind, controller_->startSetup(operation));
}

void MachinePanel::jogByTyped() {
    if (!controller_)
        return;
    QStringList texts;
    for (QLineEdit* box : offsets_)
        texts << (box->text().trimmed().isEmpty() ? QStringLiteral("0") : box->text().trimmed());
    const std::optional<Operation> jog = operationOf(("jog=" + texts.join(',')).toStdString());
    if (!jog || jog->kind != Operation::Kind::Jog) {
        showError(QString::fromStdString(badJogText()));
        return;
    }
    run(*jog);
}

void MachinePanel::overrideFeed(GrblOverride o) {
    if (controller_)
        controller_->overrideFeed(o);
}

void MachinePanel::overrideSpindle(GrblOverride o) {
    if (controller_)
        controller_->overrideSpindle(o);
}

void MachinePanel::showRefusal(Operation::Kind kind, JobController::SetupRefusal refusal) {
    if (refusal == JobController::SetupRefusal::None || !controller_)
        return;
    showError(QString::fromStdString(setupRefusalText(kind, refusal, controller_->blockingSettings())));
}

void MachinePanel::showError(const QString& text) {
    showErrorBox(window(), text);
}

} // namespace zelmar
