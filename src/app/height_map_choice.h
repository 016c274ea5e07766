#pragma once
// "Станок" → "Карта высот…" and "Забыть карту высот": the probed surface the G-code file follows, loaded from
// its file and shown in numbers, or let go.

#include "job/job_controller.h"

class QWidget;

namespace zelmar {

class HeightMapChoice {
public:
    HeightMapChoice(QWidget* window, JobController& controller) : window_(window), controller_(controller) {}

    // Asks for the file; a map that reads is taken and described, one that does not is refused with its reason.
    void load();
    void forget();

private:
    QWidget* window_;
    JobController& controller_;
};

} // namespace zelmar
