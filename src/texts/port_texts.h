#pragma once
// What is wrong with the machine's port and what to do about it, in the operator's words.

#include "job/port_hint.h"
#include "link/port_access.h"

#include <QString>

#include <string>

namespace zelmar {

// One or two sentences: what is wrong with the port and what to do.
QString portProblemHint(PortProblem problem, const PortProbe& probe);
// For a port that opened but refused the line settings.
QString settingsRefusedHint(const QString& portName);
// Why a port did not open, as portProblemHint says it; empty when it opened.
std::string portHintText(const PortHint& hint);

} // namespace zelmar
