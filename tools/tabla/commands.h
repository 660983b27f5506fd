// The subcommands of `tabla`, a command-line tool that shows what the engine reads in a table.
// Each subcommand lives in a file of its own and is listed once in main.cpp's table.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/storage.h"

namespace tabla {

// A subcommand: its arguments (after the subcommand's name) in, exit status out. Errors are
// thrown as engine::EngineError (printed by main) or reported by the command itself.
using CommandFn = int (*)(const std::vector<std::string>& args);

struct Command {
  const char* name;
  const char* usage;    // e.g. "info FICHERO"
  const char* summary;  // one line, Spanish
  CommandFn run;
};

// Opens a table read-only, choosing dBASE or Paradox by the extension (.DBF / .DB) and FoxPro
// when a .FPT or .CDX file of the same name lies beside a .DBF.
std::unique_ptr<engine::TableStorage> OpenForReading(const std::string& path);

// Before a command that changes the table: refuses it (naming the link) when a symbolic link
// stands at one of the names the engine works with beside the table (its journal and the
// journal's temporary name, files moved aside, its work folder and the new files there), where
// a write could land elsewhere; then finishes a swap that a crash interrupted.
void PrepareForChange(const std::string& path);

// A field's type letter as dBASE or Paradox writes it ("C", "N", "M", "A", "$", ...).
std::string TypeLetter(uint16_t type);

int RunInfo(const std::vector<std::string>& args);
int RunCsv(const std::vector<std::string>& args);
int RunRestructure(const std::vector<std::string>& args);
// The production index (.MDX) of a dBASE table: its tags (with the order their keys were found
// in), one tag's keys, and a check of the table's rows and every tag (exit status 0 when sound,
// 1 for damage, 3 when the only finding is a tag in another order than its table's driver's).
int RunTags(const std::vector<std::string>& args);
int RunIndex(const std::vector<std::string>& args);
int RunCheck(const std::vector<std::string>& args);

}  // namespace tabla
