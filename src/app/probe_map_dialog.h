#pragma once
// "Станок" → "Снять карту высот…": the grid's points, margin, clearance and probe feed, then the probe over the
// picture on grbl with its progress, the file the map is saved to, and the map in numbers. The probe goes through
// the work window's controller, which takes the probed map as the current one; refusals and failures come up in
// the error box.

#include "job/job_controller.h"

#include <QDialog>
#include <QPointer>

#include <string>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace zelmar {

class ProbeMapDialog : public QDialog {
    Q_OBJECT
public:
    // stepsText: the steps-per-pixel box's text, which scales the picture the grid lies over.
    ProbeMapDialog(QWidget* parent, JobController& controller, std::string stepsText);

    // "Снять": starts the probe; a refusal is shown in Russian.
    void start();
    // Closing waits while the probe runs: there is nothing to stop it halfway but grbl's own reset.
    void reject() override;

private:
    void onTouched(int count, int of);
    void onDone(Operation::Kind kind);
    void onFailed(Operation::Kind kind, const SetupFailure& failure);
    void askWhereToSave();
    void save(const QString& path);
    void showMap(const HeightMap& map, const std::string& name, const QString& note);
    void setRunning(bool running);

    QPointer<JobController> controller_;
    std::string stepsText_;
    bool running_ = false;
    QSpinBox* nx_;
    QSpinBox* ny_;
    QLineEdit* margin_;
    QLineEdit* clearance_;
    QSpinBox* feed_;
    QLabel* point_;
    QProgressBar* bar_;
    QLabel* description_;
    QTableWidget* heights_;
    QPushButton* probe_;
    QPushButton* close_;
};

} // namespace zelmar
