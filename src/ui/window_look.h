#pragma once
// How the window looks on the desktop beyond its own controls: the
// program's icon, and Qt's own texts (the Yes/No buttons, the file dialog) in
// the program's language.
#include <QIcon>
#include <QString>
#include <string>

class QTranslator;

namespace vesk::ui {

// The icon of data/, compiled into the program, drawn at the usual sizes.
QIcon ProgramIcon();

// Qt's locale name for a language file's name, matched against each
// language's English and native names in any case ("Italiano" -> "it_IT");
// empty when no language has that name.
QString QtLocaleName(const std::string& language_name);

// Installs Qt's own translations (qtbase_<lang>.qm from Qt's translations
// folder) for the language; the translator belongs to the application. Null,
// with a log line, when there are none for it (English needs none).
QTranslator* LoadQtTranslations(const std::string& language_name);

}  // namespace vesk::ui
