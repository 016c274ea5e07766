#pragma once
// What a job asks or tells the operator while it runs or waits: a fault, grbl's alarm and its unlock, the move sent
// and never answered, a machine moved by hand since the stop, and the unfinished job a journal kept.

#include "job/job_controller.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <string>

class QMessageBox;
class QWidget;

namespace zelmar {

class JobQuestions : public QObject {
    Q_OBJECT
public:
    // Boxes open over `window`; while `closing` says the window closes after its job, faults go unshown.
    JobQuestions(QWidget* window, JobController& controller, std::function<bool()> closing);

    void onFault(const zelmar::LinkFault& fault, bool manualMove);
    // grbl's alarm, with the offer to unlock it ($X); one box at a time.
    void askAboutAlarm(const std::string& text);
    void askAboutOpenMove(const zelmar::JobRunner::OpenMove& move);
    void onPositionInDoubt();
    // A journal left for this picture: continue its job, or forget it.
    void offerJournalledJob();

signals:
    // The journal's job was taken up (its picture work replayed): the window shows its steps and tree.
    void jobTakenUp();

private:
    QWidget* window_;
    JobController& controller_;
    std::function<bool()> closing_;
    QPointer<QMessageBox> alarmBox_;
    QPointer<QMessageBox> questionBox_;
};

} // namespace zelmar
