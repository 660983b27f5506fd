#include "tests/support/helpers.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "engine/database.h"
#include "engine/restructure.h"
#include "engine/storage.h"
#include "engine/table.h"

namespace testing_support {

TableHeldByAnotherProcess::TableHeldByAnotherProcess(const std::string& folder, const std::string& table) {
  if (pipe(to_child_) != 0 || pipe(to_parent_) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    char c = 'x';
    int code = 0;
    try {
      engine::TTable t;
      t.SetDatabaseName(folder);
      t.SetTableName(table);
      t.Open();
      c = 'o';
      if (write(to_parent_[1], &c, 1) != 1) code = 2;
      if (read(to_child_[0], &c, 1) != 1) code = 3;
      t.Close();
    } catch (...) {
      code = 1;
      c = 'x';
      if (write(to_parent_[1], &c, 1) != 1) code = 2;
    }
    _exit(code);
  }
  // The parent keeps only its own ends, so that a child that dies is seen as end of file.
  close(to_parent_[1]);
  close(to_child_[0]);
  to_parent_[1] = to_child_[0] = -1;
  char c = 0;
  holding_ = pid_ > 0 && read(to_parent_[0], &c, 1) == 1 && c == 'o';
}

int TableHeldByAnotherProcess::Release() {
  if (pid_ <= 0) return -1;
  char c = 'c';
  if (write(to_child_[1], &c, 1) != 1) return -1;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TableHeldByAnotherProcess::~TableHeldByAnotherProcess() {
  Release();
  for (int fd : {to_child_[0], to_child_[1], to_parent_[0], to_parent_[1]})
    if (fd >= 0) close(fd);
}

}  // namespace testing_support
