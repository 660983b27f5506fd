// Names of folders and tables as the host application writes them, turned into paths of this
// machine. On POSIX a "\" is a separator like "/", and a component that does not exist under its
// exact name is matched without regard to letter case (installations copied from Windows hold
// "EMPRESAS.DBF", "empresas.dbf", "EJERCICIO2004") and, failing that, as Windows names it:
// without its trailing dots and blanks (a company "Foo S.L.." has the folder "Foo S.L"). Names
// are UTF-8; a name on disk that is not valid UTF-8 is read as Windows 1252, so a folder copied
// with its original bytes still matches.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>

namespace engine {

// True when a database name names a folder (holds ':', '\' or '/').
bool IsFolderName(const std::string& name);

// A path component as Windows stores it: its trailing dots and blanks dropped ("Foo S.L.." ->
// "Foo S.L", "Ejercicio  " -> "Ejercicio"; "..." -> "").
std::string WindowsComponent(const std::string& name);

// "\" to "/", repeated separators folded; a trailing separator dropped (except for the root). A
// leading network name "\\server\share" keeps its two separators: "//server/share/...".
std::string NormalizeSeparators(const std::string& name);

// Finds the existing path that `path` names, matching each component without regard to letter
// case where the exact name does not exist. nullopt when some component is missing.
std::optional<std::string> ResolveExisting(const std::string& path);

// Where names are told apart by letter case (not on Windows), the path ResolveExisting gives for
// `path` when it exists as written: its separators normalized. nullopt where Resolve would walk it
// (Windows, components "." or ".."). A caller that asks what the path is anyway asks that of this
// first, and resolves only when the answer is no: one question instead of two.
std::optional<std::string> AsWritten(const std::string& path);

// Like ResolveExisting, but only the folders must exist: the last component is matched when a
// file of that name exists in some letter case, and kept as given when none does (for creating).
std::optional<std::string> ResolveForCreate(const std::string& path);

// Compares two names without regard to letter case (accented letters included).
bool SameNameIgnoringCase(const std::string& a, const std::string& b);

// The extension of a file name, upper case, without the dot ("DBF", "DB", "").
std::string UpperExtension(const std::string& name);
// The file name with its extension replaced (ext without dot, as given).
std::string ReplaceExtension(const std::string& name, const std::string& ext);

// A file beside `path` with another extension, matched without regard to letter case
// ("x.dbf" -> "X.MDX"); nullopt when none exists.
std::optional<std::string> FindCompanion(const std::string& path, const std::string& ext);
// Whether FindCompanion finds a file beside `path` for any of the extensions `exts`; where names
// are told apart by letter case, with one listing of the folder for all of them.
bool HasAnyCompanion(const std::string& path, std::initializer_list<const char*> exts);

}  // namespace engine
