// Message boxes of the wizard and the application's handler for errors that escape an event
// handler. Every box is parentless (so centred on the screen), captioned with the application
// title, has one OK button and waits until it is closed. A process-wide hook may take the
// configured box instead of showing it (tests record what would have been shown).
#pragma once

#include <QString>
#include <functional>

class QApplication;
class QMessageBox;

namespace wizard {

using MessageBoxHook = std::function<void(QMessageBox& box)>;
// Installs the hook (empty restores showing); returns the previous one.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

// The application title: see ApplicationTitleFor (FileNameRules.h), for this executable.
QString ApplicationTitle();

// A message of the wizard: no icon. Every line of every box is drawn whole: the box is as wide
// as its widest line, and a line wider than about 600 pixels wraps at its blanks.
void ShowMessage(const QString& text);
// An error that escaped a handler, as the application shows it: error icon, the error's text
// with its context lines below it ("Tabla: ...", "Carpeta: ...", paths in this system's
// separators), each on a line of its own that the box never breaks. A path wider than
// ErrorLineWidth() is shortened in its middle; the box's details then hold the whole text.
void ShowErrorMessage(const QString& text);
// The widest a context line of an error box may be, in pixels: what the screen lets a message
// box grow to, less its icon and margins.
int ErrorLineWidth();

// Runs fn; an exception that escapes it (EDatabaseError, EDBEngineError, any std::exception)
// is shown by ShowErrorMessage and the program goes on.
void RunHandler(const std::function<void()>& fn);

// Loads Qt's Spanish translations so that standard buttons and dialogs speak Spanish; false
// when they are not installed.
bool InstallSpanishTranslations(QApplication& app);

}  // namespace wizard
