// Helpers that several test programs share.
#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/table.h"
#include "tests/support/add_amounts.h"

namespace testing_support {

// Clientes.Dbf in `dir`: CODIGO C(6) and a memo NOTAS (so a .DBT beside it), with one row.
void MakeSmallTable(const std::string& dir);

// A table object pointed at a table of a folder and opened (shared, or exclusive).
std::unique_ptr<engine::TTable> OpenTable(const std::string& folder, const std::string& table, bool exclusive = false);

class PausedChild;

// Another process that holds a table open (shared) until Release() or destruction. On POSIX
// systems it is a fork() of this one; on Windows, which has no fork(), it is the program
// table_holder.exe beside this one, started with CreateProcess.
class TableHeldByAnotherProcess {
 public:
  TableHeldByAnotherProcess(const std::string& folder, const std::string& table);
#ifdef _WIN32
  // The file at `path` opened in another process by a plain CreateFileW for reading and writing,
  // shared for reading and writing and with no lock, as a program that does not use our engine
  // (the host application) holds its tables.
  static std::unique_ptr<TableHeldByAnotherProcess> OpenWithoutLock(const std::string& path);
#endif
  ~TableHeldByAnotherProcess();
  TableHeldByAnotherProcess(const TableHeldByAnotherProcess&) = delete;
  TableHeldByAnotherProcess& operator=(const TableHeldByAnotherProcess&) = delete;
  // True once the other process has the table open.
  bool holding() const;
  // Lets the table go and waits for the process; its exit status (0 when all went well).
  int Release();

 private:
#ifdef _WIN32
  TableHeldByAnotherProcess() = default;
  // Starts table_holder.exe with these arguments and waits until it holds what they name.
  void Start(const std::vector<std::string>& args);
  void* process_ = nullptr;  // HANDLEs of the process and of the ends of its stdin and stdout
  void* to_child_ = nullptr;
  void* from_child_ = nullptr;
  bool holding_ = false;
#else
  std::unique_ptr<PausedChild> child_;
#endif
};

// The rest makes other processes with fork(), which Windows does not have.
#ifndef _WIN32

// A child process that runs `body` and stops where the body calls its `pause` argument, until
// the test calls Resume(). The body's result is the child's exit status (an exception: 1).
class PausedChild {
 public:
  using Body = std::function<int(const std::function<void()>& pause)>;
  explicit PausedChild(const Body& body);
  ~PausedChild();
  PausedChild(const PausedChild&) = delete;
  PausedChild& operator=(const PausedChild&) = delete;
  // True once the child has reached its pause (false when it ended without reaching it).
  bool paused() const { return paused_; }
  // Lets the child go on and waits for it; its exit status.
  int Resume();

 private:
  int to_child_[2] = {-1, -1};
  int to_parent_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool paused_ = false;
};

// Another process that holds a POSIX record lock (fcntl F_SETLK, as lockf and most other
// programs take them) on the whole of a file: a write lock or a read lock.
std::unique_ptr<PausedChild> RecordLockHeldByAnotherProcess(const std::string& path, bool write);
#endif  // _WIN32

}  // namespace testing_support
