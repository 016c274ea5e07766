#include "job_questions.h"

#include "error_box.h"
#include "texts/journal_texts.h"
#include "texts/operator_texts.h"

#include <QFile>
#include <QMessageBox>

#include <memory>

namespace zelmar {

JobQuestions::JobQuestions(QWidget* window, JobController& controller, std::function<bool()> closing)
    : window_(window), controller_(controller), closing_(std::move(closing)) {}

void JobQuestions::askAboutAlarm(const std::string& text) {
    if (alarmBox_ || !controller_.grblLink())
        return;
    alarmBox_ = askYesNo(window_, QStringLiteral("Тревога grbl"),
                         QString::fromStdString(text) + QStringLiteral("\r\n\r\nСнять блокировку сейчас ($X)?"),
                         [this](bool yes) {
                             if (yes && controller_.grblLink())
                                 controller_.grblLink()->clearAlarm();
                         });
}

void JobQuestions::onFault(const LinkFault& fault, bool manualMove) {
    if (closing_())
        return;
    if (!manualMove && fault.kind == LinkFault::Kind::Alarm)
        askAboutAlarm(faultText(fault, true));
    else
        showErrorBox(window_, QString::fromStdString(faultText(fault, !manualMove)));
}

void JobQuestions::askAboutOpenMove(const JobRunner::OpenMove& move) {
    if (questionBox_)
        return;
    questionBox_ = askYesNo(window_, QStringLiteral("Продолжение задания"),
                            QString::fromStdString(openMoveQuestion(move)),
                            [this](bool yes) { controller_.answerOpenMove(yes); });
}

void JobQuestions::onPositionInDoubt() {
    const JobProgress& at = controller_.progress();
    askYesNo(window_, QStringLiteral("Продолжение задания"),
             QStringLiteral("После остановки станок перемещали вручную («Ручная уст-ка»). Задание продолжится "
                            "оттуда, где, по расчёту программы, стоит фреза: X %1, Y %2 (пиксели), глубина %3 "
                            "(над поверхностью, если меньше нуля).\r\nВерните станок в это положение.\r\n\r\n"
                            "Станок стоит там? «Да» — продолжить задание, «Нет» — не продолжать.")
                 .arg(at.x)
                 .arg(at.y)
                 .arg(at.z),
             [this](bool yes) {
                 if (!yes)
                     return;
                 controller_.confirmPosition();
                 controller_.resume();
             });
}

void JobQuestions::offerJournalledJob() {
    const std::optional<JournalReading> found = controller_.journalToContinue();
    if (!found)
        return;
    auto reading = std::make_shared<JournalReading>(*found);
    const QString text = QString::fromStdString(journalOfferText(reading->state.done));
    askYesNo(window_, QStringLiteral("Незаконченное задание"), text, [this, reading](bool yes) {
        if (!yes) {
            controller_.forgetKeptJob();
            QFile::remove(controller_.journalPath());
            return;
        }
        const JournalTakeUp taken = controller_.takeUpJournal(*reading, {{}, {}, false});
        if (taken.verdict != JournalTakeUp::Verdict::Taken) {
            showErrorBox(window_, QString::fromStdString(journalNotTakenUpText()));
            return;
        }
        emit jobTakenUp();
        controller_.resume();
    });
}

} // namespace zelmar
