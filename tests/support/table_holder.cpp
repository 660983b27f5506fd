// table_holder FOLDER TABLE: opens the table shared, as the host application does, says 'p' on
// its stdout and holds the table until a byte arrives on its stdin (or stdin closes). Tests on
// Windows start it as the second process that keeps a table open. Exit status 0 when the table
// was opened and closed, 1 when it could not be opened.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "engine/fs.h"
#include "engine/table.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args = engine::ProgramArguments(argc, argv);
  if (args.size() != 3) return 2;
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
