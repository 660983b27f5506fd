// The rules by which the file-name edit of the wizard turns its text into a file name, and the
// installation folder and application title derived from names. Pure functions: the only outside
// input is the file-existence test, which callers pass in (the window uses the engine's
// file-system layer, tests a fake).
#pragma once

#include <QString>
#include <functional>

namespace wizard {

using FileExistsFn = std::function<bool(const QString&)>;

// The file name that the edit's text yields: the whole text when it names an existing file,
// else its first token read like a command line (leading characters of code 1..32 and empty
// pairs of double quotes skipped, the token ending at a character of code <= 32 outside double
// quotes, the quotes dropped). A text without a token yields "".
QString YieldedFileName(const QString& text, const FileExistsFn& exists);

// The edit's text after the user chose `name` in the dialog: enclosed in double quotes when it
// holds a blank and does not already begin with a double quote.
QString QuoteChosenName(const QString& name);

// False when the name holds any of < > [ ] | or a double quote.
bool IsValidFileName(const QString& name);

// The name up to and including its last '\', '/' or ':' ("" when it has none).
QString FolderOf(const QString& name);
// The part after the folder.
QString NameWithoutFolder(const QString& name);

// The application's title: the executable's file name without its folder, cut at its first
// '.', every letter after the first in lower case ("/opt/x/ACTUALIZA.EXE" -> "Actualiza").
QString ApplicationTitleFor(const QString& executablePath);

}  // namespace wizard
