// Helpers that several test programs share.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/add_amounts.h"

namespace testing_support {

// Another process that holds a table open (shared) until Release() or destruction.
class TableHeldByAnotherProcess {
 public:
  TableHeldByAnotherProcess(const std::string& folder, const std::string& table);
  ~TableHeldByAnotherProcess();
  TableHeldByAnotherProcess(const TableHeldByAnotherProcess&) = delete;
  TableHeldByAnotherProcess& operator=(const TableHeldByAnotherProcess&) = delete;
  // True once the other process has the table open.
  bool holding() const { return holding_; }
  // Lets the table go and waits for the process; its exit status (0 when all went well).
  int Release();

 private:
  int to_child_[2] = {-1, -1};
  int to_parent_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool holding_ = false;
};

}  // namespace testing_support
