#pragma once
// Why the machine's port did not open, as a code with what the system said about the device at that moment; the
// front-ends turn it into the operator's words (src/texts).

#include "link/port_access.h"

#include <QString>

namespace zelmar {

struct PortHint {
    enum class Code {
        None,            // the port opened
        SettingsRefused, // it opened, and refused the line settings
        NoPermission,    // this user may not read and write the device
        Busy,            // another program holds it
        NotFound,        // no such device
        Other,           // it did not open, for a reason the system does not tell
    };
    Code code = Code::None;
    QString portName; // as configured
    PortProbe probe;  // the device, looked at when the open failed (not when its settings were refused)
};

} // namespace zelmar
