#include "tests/support/helpers.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <vector>

#include "engine/database.h"
#include "engine/restructure.h"
#include "engine/storage.h"
#include "engine/table.h"

namespace testing_support {

void MakeSmallTable(const std::string& dir) {
  engine::TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Clientes.Dbf");
  t.FieldDefs().Add("CODIGO", engine::TFieldType::ftString, 6);
  t.FieldDefs().Add("NOTAS", engine::TFieldType::ftMemo);
  t.CreateTable();
  t.Open();
  t.Append();
  t.SetFieldValue("CODIGO", engine::Value::Text("C1"));
  t.Post();
  t.Close();
}

std::unique_ptr<engine::TTable> OpenTable(const std::string& folder, const std::string& table, bool exclusive) {
  auto t = std::make_unique<engine::TTable>();
  t->SetDatabaseName(folder);
  t->SetTableName(table);
  t->SetExclusive(exclusive);
  t->Open();
  return t;
}

// fork() and POSIX record locks: not on Windows.
#ifndef _WIN32
TableHeldByAnotherProcess::TableHeldByAnotherProcess(const std::string& folder, const std::string& table)
    : child_(std::make_unique<PausedChild>([folder, table](const std::function<void()>& pause) {
        engine::TTable t;
        t.SetDatabaseName(folder);
        t.SetTableName(table);
        t.Open();
        pause();
        t.Close();
        return 0;
      })) {}

TableHeldByAnotherProcess::~TableHeldByAnotherProcess() = default;

bool TableHeldByAnotherProcess::holding() const { return child_->paused(); }

int TableHeldByAnotherProcess::Release() { return child_->Resume(); }

PausedChild::PausedChild(const Body& body) {
  if (pipe(to_child_) != 0 || pipe(to_parent_) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(to_parent_[0]);
    close(to_child_[1]);
    bool told = false;
    auto pause = [&] {
      char c = 'p';
      told = true;
      if (write(to_parent_[1], &c, 1) != 1 || read(to_child_[0], &c, 1) != 1) _exit(4);
    };
    int code = 1;
    try {
      code = body(pause);
    } catch (...) {
      code = 1;
    }
    if (!told) {
      char c = 'x';
      if (write(to_parent_[1], &c, 1) != 1) code = 2;
    }
    _exit(code);
  }
  close(to_parent_[1]);
  close(to_child_[0]);
  to_parent_[1] = to_child_[0] = -1;
  char c = 0;
  paused_ = pid_ > 0 && read(to_parent_[0], &c, 1) == 1 && c == 'p';
}

int PausedChild::Resume() {
  if (pid_ <= 0) return -1;
  char c = 'c';
  if (paused_ && write(to_child_[1], &c, 1) != 1) return -1;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PausedChild::~PausedChild() {
  Resume();
  for (int fd : {to_child_[0], to_child_[1], to_parent_[0], to_parent_[1]})
    if (fd >= 0) close(fd);
}

std::unique_ptr<PausedChild> RecordLockHeldByAnotherProcess(const std::string& path, bool write) {
  return std::make_unique<PausedChild>([path, write](const std::function<void()>& pause) {
    int fd = open(path.c_str(), write ? O_RDWR : O_RDONLY);
    if (fd < 0) return 5;
    struct flock fl {};
    fl.l_type = static_cast<short>(write ? F_WRLCK : F_RDLCK);
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &fl) != 0) return 6;
    pause();
    close(fd);
    return 0;
  });
}

#endif  // _WIN32

}  // namespace testing_support
