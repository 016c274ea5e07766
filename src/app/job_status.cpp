#include "job_status.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace zelmar {

namespace {
QString clock(qint64 ms) {
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}
} // namespace

JobStatus::JobStatus(QWidget* parent)
    : QWidget(parent), bar_(new QProgressBar(this)), region_(new QLabel(this)), tool_(new QLabel(this)),
      time_(new QLabel(this)), pause_(new QPushButton(QStringLiteral("Пауза"), this)),
      stop_(new QPushButton(QStringLiteral("Стоп"), this)), lateShow_(new QTimer(this)) {
    setObjectName(QStringLiteral("jobStatus"));
    lateShow_->setSingleShot(true);
    connect(lateShow_, &QTimer::timeout, this, [this] { show(true); });
    bar_->setObjectName(QStringLiteral("jobProgress"));
    region_->setObjectName(QStringLiteral("jobRegion"));
    tool_->setObjectName(QStringLiteral("jobTool"));
    time_->setObjectName(QStringLiteral("jobTime"));
    stop_->setObjectName(QStringLiteral("jobStop"));
    pause_->setObjectName(QStringLiteral("jobPause"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 0, 2, 0);
    row->addWidget(bar_, 2);
    row->addWidget(region_, 1);
    row->addWidget(tool_, 2);
    row->addWidget(time_, 2);
    row->addWidget(pause_);
    row->addWidget(stop_);
    bar_->setRange(0, 1000);
    bar_->setValue(0);
    stop_->setEnabled(false);
    pause_->setEnabled(false);
    stop_->setToolTip(QStringLiteral("Остановить работу после текущего перемещения и поднять фрезу (Esc); "
                                     "задание сохранится, и его можно будет продолжить"));
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
    commandsTotal_ = 0;
    commandsDone_ = 0;
    estimatedMs_ = 0;
    sinceFirstCommand_.invalidate();
}

void JobStatus::setEstimate(std::int64_t commands, double lineMs) {
    if (commands < 0) {
        lateShow_->stop();
        time_->setText(QStringLiteral("подсчёт команд…"));
        return;
    }
    commandsTotal_ = commands;
    commandsDone_ = 0;
    estimatedMs_ = lineMs;
    sinceFirstCommand_.start();
    show(true);
    // No time for a controller whose motion, not its line, sets the pace (grbl).
    time_->setText(lineMs > 0 ? QStringLiteral("команд %1, на плате ≈ %2").arg(commands).arg(clock(qint64(lineMs)))
                              : QStringLiteral("команд %1").arg(commands));
}

void JobStatus::commandsDone(std::int64_t commands) {
    commandsDone_ = commands;
    show(false);
}

void JobStatus::start(std::int64_t totalMoves) {
    total_ = totalMoves;
    done_ = 0;
    if (!elapsed_.isValid())
        elapsed_.start();
    sinceStart_.start();
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
}

void JobStatus::progress(std::int64_t movesDone, std::int32_t regionId, std::int32_t x, std::int32_t y,
                         std::int32_t z) {
    done_ = movesDone;
    regionId_ = regionId;
    x_ = x;
    y_ = y;
    z_ = z;
    show(false);
}

void JobStatus::finish(const QString& outcome) {
    pass_ = 0;
    show(true);
    time_->setText(outcome + QStringLiteral(", ") + clock(elapsed_.isValid() ? elapsed_.elapsed() : 0));
}

void JobStatus::show(bool force) {
    if (!force && sinceShown_.elapsed() < 200) {
        if (!lateShow_->isActive())
            lateShow_->start(static_cast<int>(200 - sinceShown_.elapsed()));
        return;
    }
    lateShow_->stop();
    sinceShown_.restart();
    bar_->setValue(total_ > 0 ? static_cast<int>(std::min<std::int64_t>(1000, done_ * 1000 / total_)) : 0);
    bar_->setFormat(commandsTotal_ > 0 ? QStringLiteral("%1 из %2 · команд %3 из %4")
                                             .arg(done_)
                                             .arg(total_)
                                             .arg(commandsDone_)
                                             .arg(commandsTotal_)
                                       : QStringLiteral("%1 из %2").arg(done_).arg(total_));
    region_->setText(pass_ > 0 ? QStringLiteral("Проход %1, фигура %2").arg(pass_).arg(regionId_)
                               : QStringLiteral("Фигура %1").arg(regionId_));
    tool_->setText(QStringLiteral("X %1  Y %2  Z %3").arg(x_).arg(y_).arg(z_));
    const qint64 spent = elapsed_.isValid() ? elapsed_.elapsed() : 0;
    const qint64 thisMilling = sinceStart_.isValid() ? sinceStart_.elapsed() : 0;
    qint64 left = done_ > 0 ? thisMilling * (total_ - done_) / done_ : 0;
    if (commandsTotal_ > 0) {
        // On the machine: the estimate until commands are done, then their own pace, the machine's motion
        // included.
        const qint64 remaining = std::max<std::int64_t>(commandsTotal_ - commandsDone_, 0);
        left = commandsDone_ > 0 ? sinceFirstCommand_.elapsed() * remaining / commandsDone_
                                 : qint64(estimatedMs_);
    }
    time_->setText(QStringLiteral("прошло %1, осталось %2").arg(clock(spent), clock(left)));
}

} // namespace zelmar
