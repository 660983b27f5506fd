#include "tests/support/helpers.h"

#ifdef _WIN32
#include <windows.h>
#else
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

#ifdef _WIN32
namespace {

std::wstring Wide(const std::string& utf8) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

// table_holder.exe, in the folder of the running test program.
std::wstring HolderProgram() {
  std::wstring self(32768, L'\0');
  DWORD n = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  self.resize(n);
  return self.substr(0, self.find_last_of(L"\\/") + 1) + L"table_holder.exe";
}

}  // namespace

// The holder says 'p' on its stdout once the table is open and lets it go at the first byte on
// its stdin (see table_holder.cpp).
TableHeldByAnotherProcess::TableHeldByAnotherProcess(const std::string& folder, const std::string& table) {
  Start({folder, table});
}

std::unique_ptr<TableHeldByAnotherProcess> TableHeldByAnotherProcess::OpenWithoutLock(const std::string& path) {
  std::unique_ptr<TableHeldByAnotherProcess> held(new TableHeldByAnotherProcess());
  held->Start({"--sin-bloqueo", path});
  return held;
}

void TableHeldByAnotherProcess::Start(const std::vector<std::string>& args) {
  SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_in = nullptr, child_out = nullptr, to_child = nullptr, from_child = nullptr;
  if (!::CreatePipe(&child_in, &to_child, &sa, 0)) return;
  if (!::CreatePipe(&from_child, &child_out, &sa, 0)) {
    ::CloseHandle(child_in);
    ::CloseHandle(to_child);
    return;
  }
  // Only the child's own ends are inherited.
  ::SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);
  to_child_ = to_child;
  from_child_ = from_child;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = child_in;
  si.hStdOutput = child_out;
  si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  const std::wstring program = HolderProgram();
  std::wstring command = L"\"" + program + L"\"";
  for (const std::string& a : args) command += L" \"" + Wide(a) + L"\"";
  const bool started = ::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &si, &pi);
  ::CloseHandle(child_in);
  ::CloseHandle(child_out);
  if (!started) return;
  ::CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  char c = 0;
  DWORD got = 0;
  holding_ = ::ReadFile(from_child, &c, 1, &got, nullptr) && got == 1 && c == 'p';
}

TableHeldByAnotherProcess::~TableHeldByAnotherProcess() {
  Release();
  if (to_child_) ::CloseHandle(to_child_);
  if (from_child_) ::CloseHandle(from_child_);
}

bool TableHeldByAnotherProcess::holding() const { return holding_; }

int TableHeldByAnotherProcess::Release() {
  if (!process_) return -1;
  char c = 'c';
  DWORD put = 0;
  if (holding_) ::WriteFile(to_child_, &c, 1, &put, nullptr);
  ::WaitForSingleObject(process_, INFINITE);
  DWORD code = 0;
  const bool known = ::GetExitCodeProcess(process_, &code);
  ::CloseHandle(process_);
  process_ = nullptr;
  return known ? static_cast<int>(code) : -1;
}

#else
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
