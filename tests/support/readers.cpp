#include "tests/support/readers.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace testing_support {

CommandResult RunCommand(const std::string& command) {
  CommandResult r;
#ifdef _WIN32
  // No /bin/sh there: the readers' command lines fail, and the tests that need them skip.
  FILE* p = ::_popen(command.c_str(), "r");
#else
  FILE* p = ::popen(command.c_str(), "r");
#endif
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
#ifdef _WIN32
  r.status = ::_pclose(p);
#else
  int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
#endif
  return r;
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

bool HaveDbfread() {
  return RunCommand("/usr/bin/python3 -c 'import dbfread' 2>/dev/null").status == 0;
}
bool HaveDbfDump() { return RunCommand("command -v dbf_dump >/dev/null 2>&1").status == 0; }
bool HaveIndexDump() { return RunCommand("command -v index_dump >/dev/null 2>&1").status == 0; }

std::optional<std::vector<std::string>> DbfreadRecords(const std::string& dbf, const std::string& encoding) {
  if (!HaveDbfread()) return std::nullopt;
  std::string script =
      "import sys, json, datetime, decimal\n"
      "from dbfread import DBF\n"
      "t = DBF(sys.argv[1], encoding=sys.argv[2], load=False, char_decode_errors='strict')\n"
      "def conv(v):\n"
      "    if isinstance(v, (datetime.date, datetime.datetime)): return v.isoformat()\n"
      "    if isinstance(v, decimal.Decimal): return str(v)\n"
      "    if isinstance(v, bytes): return v.hex()\n"
      "    return v\n"
      "for deleted, recs in ((False, t.records), (True, t.deleted)):\n"
      "    for r in recs:\n"
      "        d = {k: conv(v) for k, v in r.items()}\n"
      "        d['_deleted'] = deleted\n"
      "        print(json.dumps(d, ensure_ascii=False, sort_keys=True))\n";
  std::string cmd = "/usr/bin/python3 -c " + ShellQuote(script) + " " + ShellQuote(dbf) + " " +
                    ShellQuote(encoding) + " 2>&1";
  CommandResult r = RunCommand(cmd);
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  if (r.status != 0) lines.insert(lines.begin(), "dbfread failed: " + r.out);
  return lines;
}

std::optional<std::string> DbfDump(const std::string& dbf) {
  if (!HaveDbfDump()) return std::nullopt;
  return RunCommand("dbf_dump " + ShellQuote(dbf) + " 2>&1").out;
}

std::optional<std::string> IndexDump(const std::string& mdx, const std::string& tag) {
  if (!HaveIndexDump()) return std::nullopt;
  return RunCommand("index_dump " + ShellQuote(mdx) + " " + ShellQuote(tag) + " 2>&1").out;
}

std::optional<std::vector<std::string>> PxlibRows(const std::string& db) {
  const std::string program = std::string(ACTUALIZA_BINARY_DIR) + "/tests/pxlib_rows";
  if (RunCommand("test -x " + ShellQuote(program)).status != 0) return std::nullopt;
  // pxlib's own allocations are not ours to check under the sanitizers.
  CommandResult r = RunCommand("ASAN_OPTIONS=detect_leaks=0 " + ShellQuote(program) + " " + ShellQuote(db) + " 2>&1");
  EXPECT_EQ(r.status, 0) << db << ": " << r.out;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace testing_support
