// Databases of the session: a database is a folder of tables. The session keeps each database it
// opened for the life of the program, so a database handle taken from an open table stays valid
// after that table closes (the restructure call relies on it).
#pragma once

#include <memory>
#include <string>

#include "engine/storage.h"

namespace engine {

class Database {
 public:
  // The folder as this machine spells it (resolved, '/' separators).
  const std::string& Directory() const { return dir_; }
  // The name the caller opened it with.
  const std::string& Name() const { return name_; }

  // The path of a table of this folder: the file named `table_name` (with ".DBF"/".DB" added
  // by `format_hint` when it has no extension), matched without regard to letter case. When no
  // such file exists, the path it would have.
  std::string TablePath(const std::string& table_name, TableFormat format_hint) const;
  bool TableExists(const std::string& table_name, TableFormat format_hint) const;

  Database(std::string name, std::string dir) : name_(std::move(name)), dir_(std::move(dir)) {}

 private:
  std::string name_;
  std::string dir_;
};

// Opens (or finds) the database of a folder name ("C:\...", "\\server\...", "/home/..."): the
// folder must exist, else EngineError kNoSuchFolder. An empty name is the current folder.
Database* OpenDatabase(const std::string& name);

// Whether a pointer is a database of the session (handles from callers are checked with it).
bool IsLiveDatabase(const Database* db);

// The table format that a table name and type setting select: ".DB" Paradox, ".DBF" dBASE, or
// FoxPro when a ".FPT" or ".CDX" of the same name lies beside a ".DBF".
enum class TableTypeHint { kDefault, kParadox, kDBase, kFoxPro };
TableFormat FormatFor(const std::string& path, TableTypeHint hint);

}  // namespace engine
