#pragma once
// What the work window shows or writes of a job without running it: the 3D preview ("Предпросмотр 3D…") and the
// G-code file ("Сохранить G-код…"), each asked of the job controller.

#include "job/job_controller.h"

#include <QString>

#include <functional>
#include <string>

class QWidget;

namespace zelmar {

// A milling's refusal in the operator's words; a bad setting's names the values the controller found.
QString millRefusalText(const JobController& controller, MillRefusal refusal);

class JobExports {
public:
    // Boxes and dialogs open over `window`; stepsText gives the steps-per-pixel box's text when asked.
    JobExports(QWidget* window, JobController& controller, const ImageSession& session, const ToolPosition& tool,
               std::function<std::string()> stepsText);

    // What the job under way has cut so far, growing; without one, the carving "Все" would leave.
    void showPreview();
    // With a region selected, asks whether to write only that one; then asks where.
    void saveGcode();
    // Writes the G-code of what "Все" (or "Выделенная") would send now; empty on success, else what went wrong.
    QString writeGcodeFile(const QString& path, MillKind kind, QString* startText = nullptr);

private:
    QWidget* window_;
    JobController& controller_;
    const ImageSession& session_;
    const ToolPosition& tool_;
    std::function<std::string()> stepsText_;
};

} // namespace zelmar
