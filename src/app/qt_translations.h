#pragma once
// Qt's own words (the buttons of a message box, the file dialog) in Russian, like every other word of the
// program, whatever the system's language.

class QCoreApplication;

namespace zelmar {

// Loads Qt's Russian translations (Debian's qt6-translations-l10n) into the application; false when they are
// not installed, and Qt's words stay English.
bool installQtTranslations(QCoreApplication& app);

} // namespace zelmar
