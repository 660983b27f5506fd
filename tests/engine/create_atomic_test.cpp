// Creating a table is one swap (a table of one file, one rename): a crash at any operation leaves
// no table (or the one that was there) or the whole new one, never a short or empty file, and no
// work files once the table is opened again.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/error.h"
#include "engine/swap.h"
#include "engine/table.h"
#include "tests/support/fault_fs.h"
#include "tests/support/add_amounts.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace engine {
namespace {

using testing_support::FaultInjectionFileSystem;
using testing_support::ScopedFileSystem;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

// A stock table with a memo and an index: three files to create (or, without them, one).
void Create(const std::string& dir, bool companions = true) {
  TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Existencias.dbf");
  t.SetTableType(TTableType::ttDBase);
  t.FieldDefs().Add("Criterio", TFieldType::ftInteger);
  if (companions) {
    t.FieldDefs().Add("NOTAS", TFieldType::ftMemo);
    t.IndexDefs().Add("CRITERIO", "Criterio");
  }
  t.CreateTable();
}

// What the folder holds as a table: "" when there is none, else its field count and rows.
std::string TableThere(const std::string& dir) {
  TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Existencias.dbf");
  if (!t.Exists()) return "";
  t.Open();
  std::string s = std::to_string(t.FieldCount()) + testing_support::Numbered(" fields, ", t.RecordCount()) + " rows";
  t.Close();
  return s;
}

uint64_t OperationsOfACreation() {
  TempDir d;
  FaultInjectionFileSystem counting;
  ScopedFileSystem use(&counting);
  Create(d.path());
  return counting.mutating_ops();
}

TEST(CreateAtomically, CrashAtEveryOperationLeavesNoTableOrTheWholeTable) {
  const uint64_t total = OperationsOfACreation();
  ASSERT_GT(total, 6u);
  int none = 0, whole = 0;
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE(testing_support::Numbered("crash at operation ", n) + testing_support::Numbered(" of ", total));
    TempDir d;
    {
      FaultInjectionFileSystem fs;
      ScopedFileSystem use(&fs);
      fs.CrashAt(n);
      EXPECT_THROW(Create(d.path()), EDatabaseError);
    }
    std::string there = TableThere(d.path());
    EXPECT_TRUE(there.empty() || there == "2 fields, 0 rows") << there;
    (there.empty() ? none : whole)++;
    // No short or empty table file where there is no table; nothing but the table's files
    // beside a whole one.
    for (const auto& e : std::filesystem::directory_iterator(d.path())) {
      std::string name = e.path().filename().string();
      bool table_file = name == "Existencias.dbf" || name == "Existencias.dbt" || name == "Existencias.mdx";
      EXPECT_EQ(table_file, !there.empty()) << name;
    }
    // The next attempt finishes the work.
    Create(d.path());
    EXPECT_EQ(TableThere(d.path()), "2 fields, 0 rows");
    EXPECT_FALSE(std::filesystem::exists(d / ".actualiza-nuevo"));
  }
  EXPECT_GT(none, 0);
  EXPECT_GT(whole, 0);
}

// A crash at every operation of a creation or a restructure (two amounts added) leaves the table
// as it was or the whole new one; a table of one file is put in place by a rename alone, which
// leaves no journal.
struct Step {
  const char* name;
  bool companions, restructure;  // three files, not one; a restructure, not a creation
  const char *before, *after;    // what TableThere says ("": no table)
};
const Step kSteps[] = {{"one file created", false, false, "", "1 fields, 0 rows"},
                       {"one file restructured", false, true, "1 fields, 0 rows", "3 fields, 0 rows"},
                       {"three files restructured", true, true, "2 fields, 0 rows", "4 fields, 0 rows"}};

TEST(CreateAtomically, ACrashAtEveryOperationLeavesTheTableAsItWasOrTheWholeNewOne) {
  for (const Step& step : kSteps) {
    TempDir seed;
    if (step.restructure) Create(seed.path(), step.companions);
    auto run = [&](const std::string& dir) {
      if (step.restructure) testing_support::AddTwoAmounts(dir, "Existencias.dbf", true);
      if (!step.restructure) Create(dir, step.companions);
    };
    auto copy = [&](const std::string& dir) {
      std::filesystem::copy(seed.path(), dir, std::filesystem::copy_options::recursive);
    };
    uint64_t total;
    {
      TempDir d;
      copy(d / "t");
      FaultInjectionFileSystem counting;
      ScopedFileSystem use(&counting);
      run(d / "t");
      total = counting.mutating_ops();
    }
    int as_was = 0, whole = 0;
    for (uint64_t n = 1; n <= total; ++n) {
      SCOPED_TRACE(step.name + testing_support::Numbered(": crash at operation ", n));
      TempDir d;
      const std::string dir = d / "t";
      copy(dir);
      {
        FaultInjectionFileSystem fs;
        ScopedFileSystem use(&fs);
        fs.CrashAt(n);
        try {
          run(dir);
        } catch (const std::exception&) {
        }
      }
      if (!step.companions && (!step.restructure || kSingleFileSwapReplaces)) {
        EXPECT_FALSE(std::filesystem::exists(dir + "/.Existencias.dbf.diario"));
      }
      const std::string there = TableThere(dir);
      EXPECT_TRUE(there == step.before || there == step.after) << there;
      (there == step.before ? as_was : whole)++;
    }
    EXPECT_GT(as_was, 0) << step.name;
    EXPECT_GT(whole, 0) << step.name;
  }
}

// A failure (not a crash) removes the attempt's work files before the error is reported.
TEST(CreateAtomically, AFailedCreationTakesItsWorkFilesWithIt) {
  const uint64_t total = OperationsOfACreation();
  for (uint64_t n = 2; n <= total; ++n) {
    SCOPED_TRACE(testing_support::Numbered("failure at operation ", n));
    TempDir d;
    bool failed = false;
    {
      FaultInjectionFileSystem fs;
      ScopedFileSystem use(&fs);
      fs.FailAt(n);
      try {
        Create(d.path());
      } catch (const EDatabaseError&) {
        failed = true;
      }
    }
    if (!failed || SwapPending(d / "Existencias.dbf")) continue;  // committed: the next open finishes it
    EXPECT_FALSE(std::filesystem::exists(d / ".actualiza-nuevo"));
    EXPECT_FALSE(std::filesystem::exists(d / ".Existencias.dbf.diario.nuevo"));
  }
}

// The same for a restructure that fails at any operation (a full disk, say): once the error is
// reported, only the table's own files are there, unless its swap was committed.
TEST(CreateAtomically, AFailedRestructureTakesItsWorkFilesWithIt) {
  TempDir seed;
  Create(seed.path());
  uint64_t total;
  {
    TempDir d;
    std::filesystem::copy(seed.path(), d / "t", std::filesystem::copy_options::recursive);
    FaultInjectionFileSystem counting;
    ScopedFileSystem use(&counting);
    testing_support::AddTwoAmounts(d / "t", "Existencias.dbf", true);
    total = counting.mutating_ops();
  }
  int checked = 0;
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE(testing_support::Numbered("failure at operation ", n) + testing_support::Numbered(" of ", total));
    TempDir d;
    const std::string dir = d / "t";
    std::filesystem::copy(seed.path(), dir, std::filesystem::copy_options::recursive);
    auto before = testing_support::Snapshot(dir);
    {
      FaultInjectionFileSystem fs;
      ScopedFileSystem use(&fs);
      fs.FailAt(n);
      try {
        testing_support::AddTwoAmounts(dir, "Existencias.dbf", true);
        continue;  // the failure struck after the swap: nothing to clean
      } catch (const EngineError&) {
      }
    }
    if (SwapPending(dir + "/Existencias.dbf")) continue;
    auto after = testing_support::Snapshot(dir);
    if (after["Existencias.dbf"] != before["Existencias.dbf"]) continue;  // failed tidying up a finished swap
    EXPECT_EQ(after, before);
    ++checked;
  }
  EXPECT_GT(checked, 5);
}

// Creating over a table that another holder has open is refused, and the table stays.
TEST(CreateAtomically, ATableOpenElsewhereIsNotReplaced) {
  TempDir d;
  Create(d.path());
  auto held = testing_support::OpenTable(d.path(), "Existencias.dbf");
  auto before = testing_support::Snapshot(d.path());
  EXPECT_THROW(Create(d.path()), EDatabaseError);
  EXPECT_EQ(testing_support::Snapshot(d.path()), before);
}

// A folder (or anything else that is not a file) with the table's name is not replaced.
TEST(CreateAtomically, SomethingThatIsNotAFileIsNotReplaced) {
  TempDir d;
  std::filesystem::create_directories(d / "Existencias.dbf");
  WriteFileBytes(d / "Existencias.dbf/dentro.txt", "kept");
  try {
    Create(d.path());
    ADD_FAILURE() << "a folder was taken for a table";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("no es un fichero"), std::string::npos) << e.what();
  }
  EXPECT_EQ(testing_support::ReadFileBytes(d / "Existencias.dbf/dentro.txt"), "kept");
}

}  // namespace
}  // namespace engine
