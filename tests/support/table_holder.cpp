// table_holder FOLDER TABLE: opens the table shared, as the host application does, says 'p' on
// its stdout and holds the table until a byte arrives on its stdin (or stdin closes). Tests on
// Windows start it as the second process that keeps a table open. Exit status 0 when the table
// was opened and closed, 1 when it could not be opened.
// table_holder --sin-bloqueo FILE (Windows): the same with one file opened by a plain CreateFileW
// for reading and writing, shared for reading and writing and locked in no way, as a program
// that knows nothing of our engine's locks holds it.
#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "engine/fs.h"
#include "engine/table.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args = engine::ProgramArguments(argc, argv);
  if (args.size() != 3) return 2;
#ifdef _WIN32
  if (args[1] == "--sin-bloqueo") {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, args[2].c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, args[2].c_str(), -1, wide.data(), n);
    HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "table_holder: CreateFileW %s: error %lu\n", args[2].c_str(), ::GetLastError());
      std::fputc('x', stdout);
      return 1;
    }
    std::fputc('p', stdout);
    std::fflush(stdout);
    std::fgetc(stdin);
    ::CloseHandle(h);
    return 0;
  }
#endif
  try {
    engine::TTable t;
    t.SetDatabaseName(args[1]);
    t.SetTableName(args[2]);
    t.Open();
    std::fputc('p', stdout);
    std::fflush(stdout);
    std::fgetc(stdin);
    t.Close();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    std::fputc('x', stdout);
    return 1;
  }
}
