#include "journal_texts.h"

#include "operator_texts.h"

namespace zelmar {

namespace {

// Which setting of the journal's job differs, in zelmar-cli's option words.
std::string sendingMismatch(const JournalHeader& h) {
    return std::string("команды шли ") + (h.mergeSteps ? "с --merge" : "без --merge") + " и --safe-height " +
           std::to_string(h.safeHeight) +
           (h.toolWord.empty() ? std::string() : " фрезой --tool " + h.toolWord + " при --mm-per-step " + h.mmPerStep) +
           (h.mergeTolerance.empty() ? std::string() : " с --merge-tolerance " + h.mergeTolerance) +
           (h.stepDown.empty() ? std::string() : " с --step-down " + h.stepDown) +
           (h.depthRule.empty() ? std::string() : " с --marks-as-depth");
}

} // namespace

std::string journalRefusalText(const JournalTakeUp& taken, const std::string& path) {
    using Verdict = JournalTakeUp::Verdict;
    const std::string cannot = "\nПродолжить по нему нельзя, ничего не отправлено.\n";
    const JournalHeader& h = taken.reading.header;
    std::string mismatch;
    switch (taken.verdict) {
    case Verdict::Taken:
        return "";
    case Verdict::NotAJournal:
        return "Журнал " + path + " не является журналом задания (или пуст)." + cannot;
    case Verdict::Damaged:
        return "Журнал " + path + " повреждён: его заголовок неполон или записи противоречат друг другу." + cannot;
    case Verdict::OtherImage:
        mismatch = "изображение другое";
        break;
    case Verdict::OtherOperations:
        mismatch = "операции другие";
        break;
    case Verdict::OtherSteps:
        mismatch = "число шагов на пиксель другое (--steps " + h.stepsText + ")";
        break;
    case Verdict::OtherSending:
        mismatch = sendingMismatch(h);
        break;
    case Verdict::OtherState:
        mismatch = "журнал записан окном программы для другого состояния изображения";
        break;
    case Verdict::DoesNotReplay:
        return "Журнал " + path + " не сходится с заданием: операции дают не то, что в нём записано." + cannot;
    case Verdict::MoveUnsettled:
        return "По журналу " + path + " команда " + openMoveName(*taken.openMove) +
               " отправлялась на станок, но «OK» на неё не пришло: дошла ли она до станка и выполнил ли он её, "
               "неизвестно.\nУкажите --last-move done (станок её выполнил) или --last-move redo (отправить её ещё "
               "раз).\nНичего не отправлено.\n";
    case Verdict::Unwritable:
        return "cannot write the journal " + path + "\n";
    }
    return "Журнал " + path + " относится к другому заданию: " + mismatch + "." + cannot;
}

std::string journalOfferText(std::int64_t movesDone) {
    return "Для этого изображения есть незаконченное задание: " + movesText(movesDone) +
           " из него уже сделано.\nПродолжить его? Сделанное будет восстановлено без отправки на станок, затем "
           "задание продолжится с того места, где оно прервалось.\n«Нет» — забыть это задание.";
}

std::string journalNotTakenUpText() {
    return "Незаконченное задание не удалось восстановить: изображение или его обработка дают не то, что было при "
           "записи журнала.\nЗадание не продолжено, ничего не отправлено.";
}

} // namespace zelmar
