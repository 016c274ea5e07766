#include "job_status.h"

#include "texts/line_texts.h"
#include "texts/operator_texts.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace zelmar {

namespace {
QString clock(qint64 ms) {
    return QString::fromStdString(clockText(ms / 1000));
}
} // namespace

JobStatus::JobStatus(QWidget* parent)
    : QWidget(parent), bar_(new QProgressBar(this)), region_(new QLabel(this)), tool_(new QLabel(this)),
      machine_(new QLabel(this)), time_(new QLabel(this)), estimate_(new QLabel(this)),
      pause_(new QPushButton(QStringLiteral("Пауза"), this)), stop_(new QPushButton(QStringLiteral("Стоп"), this)),
      lateShow_(new QTimer(this)) {
    setObjectName(QStringLiteral("jobStatus"));
    lateShow_->setSingleShot(true);
    connect(lateShow_, &QTimer::timeout, this, [this] { show(true); });
    bar_->setObjectName(QStringLiteral("jobProgress"));
    region_->setObjectName(QStringLiteral("jobRegion"));
    tool_->setObjectName(QStringLiteral("jobTool"));
    time_->setObjectName(QStringLiteral("jobTime"));
    estimate_->setObjectName(QStringLiteral("jobEstimate"));
    machine_->setObjectName(QStringLiteral("machineStatus"));
    machine_->setToolTip(QStringLiteral("Состояние grbl и положение станка в его координатах, мм"));
    machine_->hide();
    stop_->setObjectName(QStringLiteral("jobStop"));
    pause_->setObjectName(QStringLiteral("jobPause"));
    // Three rows: the figures of the job, its times, then the estimate, grbl's state and the buttons.
    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(2, 0, 2, 0);
    rows->setSpacing(1);
    const auto row = [rows](std::initializer_list<std::pair<QWidget*, int>> widgets) {
        auto* line = new QHBoxLayout;
        line->setSpacing(12);
        for (const auto& [widget, stretch] : widgets)
            line->addWidget(widget, stretch);
        rows->addLayout(line);
    };
    row({{bar_, 1}, {tool_, 0}});
    row({{region_, 0}, {time_, 1}});
    row({{estimate_, 1}, {machine_, 0}, {pause_, 0}, {stop_, 0}});
    bar_->setRange(0, 1000);
    bar_->setValue(0);
    bar_->setMinimumWidth(bar_->fontMetrics().horizontalAdvance(QStringLiteral("00000 из 00000 · команд 0000 из 0000")) + 12);
    stop_->setEnabled(false);
    pause_->setEnabled(false);
    stop_->setToolTip(QStringLiteral("Остановить работу после текущего перемещения и поднять фрезу (Esc); "
                                     "задание сохранится, и его можно будет продолжить"));
    estimate_->setToolTip(
        QStringLiteral("Команды задания и их время на плате (паузы протокола и байты на линии, "
                       "без времени движения станка; на grbl — время движения при скоростях и "
                       "ускорениях, прочитанных из его $$); видно до следующего задания"));
    connect(stop_, &QPushButton::clicked, this, &JobStatus::stopClicked);
    connect(pause_, &QPushButton::clicked, this, [this] {
        if (control_ == Control::CanPause)
            emit pauseClicked();
        else if (control_ == Control::CanContinue)
            emit continueClicked();
    });
    // The button is as wide as its longer caption, so that it does not jump.
    pause_->setMinimumWidth(std::max(pause_->sizeHint().width(),
                                     pause_->fontMetrics().horizontalAdvance(QStringLiteral("Продолжить")) + 16));
}

void JobStatus::setPass(int pass) {
    pass_ = pass;
    show(true);
}

void JobStatus::begin() {
    elapsed_.start();
    pass_ = 0;
    outcome_.clear();
    figures_ = {};
    estimate_->clear();
}

void JobStatus::clear() {
    lateShow_->stop();
    elapsed_.invalidate();
    sinceShown_.invalidate();
    pass_ = 0;
    outcome_.clear();
    figures_ = {};
    bar_->setValue(0);
    bar_->resetFormat();
    for (QLabel* label : {region_, tool_, time_, estimate_})
        label->clear();
}

void JobStatus::setEstimate(std::int64_t commands, double lineMs) {
    if (commands < 0) {
        estimate_->setText(QStringLiteral("подсчёт команд…"));
        return;
    }
    figures_.commandsTotal = commands;
    // No time when none is known.
    const QString count = QString::fromStdString(countText(commands, "команда", "команды", "команд"));
    estimate_->setText(lineMs > 0 ? QStringLiteral("%1, на плате ≈ %2").arg(count, clock(qint64(lineMs))) : count);
    show(true);
}

void JobStatus::start(std::int64_t totalMoves) {
    figures_.movesTotal = totalMoves;
    figures_.movesDone = 0;
    if (!elapsed_.isValid())
        elapsed_.start();
    sinceShown_.start();
    show(true);
}

void JobStatus::setControl(Control control, bool canStop) {
    control_ = control;
    pause_->setText(control == Control::CanContinue ? QStringLiteral("Продолжить") : QStringLiteral("Пауза"));
    if (feedHold_)
        pause_->setToolTip(control == Control::CanContinue
                               ? QStringLiteral("Продолжить задание (пуск цикла grbl)")
                               : QStringLiteral("Приостановить: удержание подачи grbl, станок встаёт на месте"));
    else
        pause_->setToolTip(control == Control::CanContinue
                               ? QStringLiteral("Продолжить задание: фреза опустится туда, где остановилась")
                               : QStringLiteral("Приостановить после текущего перемещения и поднять фрезу"));
    pause_->setEnabled(control != Control::None);
    stop_->setEnabled(canStop);
    if (control == Control::CanPause && !outcome_.isEmpty()) {
        outcome_.clear();
        show(true);
    }
}

void JobStatus::progress(const JobProgress& progress) {
    const std::int64_t commandsTotal = figures_.commandsTotal;
    figures_ = progress;
    if (figures_.commandsTotal == 0)
        figures_.commandsTotal = commandsTotal;
    show(false);
}

void JobStatus::finish(const QString& outcome) {
    pass_ = 0;
    outcome_ = outcome;
    show(true);
}

void JobStatus::show(bool force) {
    if (!force && sinceShown_.isValid() && sinceShown_.elapsed() < 200) {
        if (!lateShow_->isActive())
            lateShow_->start(static_cast<int>(200 - sinceShown_.elapsed()));
        return;
    }
    lateShow_->stop();
    sinceShown_.start();
    const JobProgress& f = figures_;
    bar_->setValue(f.movesTotal > 0 ? static_cast<int>(std::min<std::int64_t>(1000, f.movesDone * 1000 / f.movesTotal))
                                    : 0);
    bar_->setFormat(f.commandsTotal > 0 ? QStringLiteral("%1 из %2 · команд %3 из %4")
                                              .arg(f.movesDone)
                                              .arg(f.movesTotal)
                                              .arg(f.commandsDone)
                                              .arg(f.commandsTotal)
                                        : QStringLiteral("%1 из %2").arg(f.movesDone).arg(f.movesTotal));
    region_->setText(pass_ > 0 ? QStringLiteral("Проход %1, фигура %2").arg(pass_).arg(f.regionId)
                               : QStringLiteral("Фигура %1").arg(f.regionId));
    tool_->setText(QStringLiteral("X %1  Y %2  Z %3").arg(f.x).arg(f.y).arg(f.z));
    const qint64 spent = elapsed_.isValid() ? elapsed_.elapsed() : 0;
    if (!outcome_.isEmpty())
        time_->setText(outcome_ + QStringLiteral(", ") + clock(spent));
    else
        time_->setText(QStringLiteral("прошло %1, осталось %2")
                           .arg(clock(spent), f.msLeft >= 0 ? clock(f.msLeft) : QStringLiteral("—")));
}

} // namespace zelmar
