// Runs the independent readers that check what the engine writes: python3-dbfread, dbf_dump and
// index_dump (libdbd-xbase-perl), and pxlib for Paradox tables. Each returns nullopt when its
// reader is not installed, so that tests can skip; the output is what the reader printed on
// standard output.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// Runs a command line through /bin/sh; returns its exit status and standard output.
struct CommandResult {
  int status = -1;
  std::string out;
};
CommandResult RunCommand(const std::string& command);
// The tabla program of this build (it may not be built: check with FileExists).
inline std::string Tabla() { return std::string(ACTUALIZA_BINARY_DIR) + "/tools/tabla"; }
std::string ShellQuote(const std::string& s);

bool HaveDbfread();
bool HaveDbfDump();
bool HaveIndexDump();

// dbfread: every record, deleted ones included, as JSON lines {"_deleted": bool, "FIELD": value}
// with dates as "YYYY-MM-DD", memos as text, numbers as JSON numbers (or null).
std::optional<std::vector<std::string>> DbfreadRecords(const std::string& dbf, const std::string& encoding);
// dbf_dump's plain output (one line a record, fields separated by ':').
std::optional<std::string> DbfDump(const std::string& dbf);
// index_dump of one tag: lines "key recno" in tag order.
std::optional<std::string> IndexDump(const std::string& mdx, const std::string& tag);
// pxlib's reading of a Paradox table (tests/support/pxlib_rows.cpp, built when pxlib-dev is
// installed): the field names, then one line a row, values separated by tabs ("\N" empty).
// nullopt when the program was not built; a failure to read fails the calling test.
std::optional<std::vector<std::string>> PxlibRows(const std::string& db);

}  // namespace testing_support
