// Files that are not regular files (a pipe, a folder) where a table or one of its companions
// should be: refused at once with a message that names them, never waited on.
// FIFOs (mkfifo) and a forked child that an alarm ends: POSIX only.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "engine/error.h"
#include "engine/storage.h"
#include "engine/table.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

using testing_support::PausedChild;
using testing_support::TempDir;

// Opens the table in a child process that an alarm ends if the open waits; the child's status:
// 0 when the open was refused with `expected` in its message, 10 when it opened, 11 for another
// message, -1 when the alarm had to end it.
int RefusedWithoutWaiting(const std::string& dir, bool through_table, const std::string& expected) {
  PausedChild child([&](const std::function<void()>&) {
    alarm(20);
    try {
      if (through_table) {
        testing_support::OpenTable(dir, "Clientes.Dbf");
      } else {
        OpenOptions ro;
        ro.read_only = true;
        OpenStorage(dir + "/Clientes.Dbf", TableFormat::kDbase, ro);
      }
      return 10;
    } catch (const std::exception& e) {
      return std::string(e.what()).find(expected) != std::string::npos ? 0 : 11;
    }
  });
  return child.Resume();
}

TEST(SpecialFiles, APipeOrAFolderWhereAFileShouldBeIsRefusedAtOnce) {
  TempDir d;
  testing_support::MakeSmallTable(d.path());
  const std::string dbt = d / "Clientes.DBT", dbf = d / "Clientes.Dbf";
  ASSERT_TRUE(std::filesystem::exists(dbt));
  std::filesystem::remove(dbt);
  ASSERT_EQ(mkfifo(dbt.c_str(), 0644), 0);
  for (bool through_table : {true, false}) {
    EXPECT_EQ(RefusedWithoutWaiting(d.path(), through_table, "es un fichero normal"), 0) << through_table;
  }
  // The table file itself a pipe, or a folder.
  std::filesystem::remove(dbt);
  std::filesystem::remove(dbf);
  ASSERT_EQ(mkfifo(dbf.c_str(), 0644), 0);
  EXPECT_EQ(RefusedWithoutWaiting(d.path(), true, "es un fichero normal"), 0);
  std::filesystem::remove(dbf);
  std::filesystem::create_directories(dbf);
  EXPECT_EQ(RefusedWithoutWaiting(d.path(), true, "es un fichero normal"), 0);
  EXPECT_EQ(RefusedWithoutWaiting(d.path(), false, "es un fichero normal"), 0);
}

}  // namespace
}  // namespace engine
#endif  // _WIN32
