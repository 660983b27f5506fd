// Two processes and one table: a swap that is running in another process is never finished or
// undone by this one, and holders of either kind of advisory lock (flock or POSIX record locks)
// keep a table from being opened against their lock.
// Every test here runs a second process with fork() or takes POSIX record locks: POSIX only.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/error.h"
#include "engine/storage.h"
#include "engine/swap.h"
#include "engine/table.h"
#include "tests/support/forwarding_fs.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace engine {
namespace {

using testing_support::FileExists;
using testing_support::PausedChild;
using testing_support::ReadFileBytes;
using testing_support::Snapshot;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

// Stops the process after its n-th rename, where the test lets the other process in.
class PauseAfterRename : public testing_support::ForwardingFileSystem {
 public:
  PauseAfterRename(int n, const std::function<void()>& pause) : n_(n), pause_(pause) {}
  void Rename(const std::string& from, const std::string& to) override {
    ForwardingFileSystem::Rename(from, to);
    if (++seen_ == n_) pause_();
  }

 private:
  int n_, seen_ = 0;
  std::function<void()> pause_;
};

struct Family {
  explicit Family(const TempDir& d) : dbf(d / "Clientes.DBF"), dbt(d / "Clientes.DBT"), mdx(d / "Clientes.MDX") {
    WriteFileBytes(dbf, "old table");
    WriteFileBytes(dbt, "old memo");
    WriteFileBytes(mdx, "old index");
    std::filesystem::create_directories(SwapTempDir(dbf));
    WriteFileBytes(SwapTempPath(dbf), "new table");
    WriteFileBytes(SwapTempPath(dbt), "new memo");
  }
  std::vector<SwapEntry> Entries() const { return {{dbf, SwapTempPath(dbf)}, {dbt, SwapTempPath(dbt)}, {mdx, ""}}; }
  bool IsNew() const {
    return ReadFileBytes(dbf) == "new table" && ReadFileBytes(dbt) == "new memo" && !FileExists(mdx);
  }
  std::string dbf, dbt, mdx;
};

// The swap runs in a child that stops after each of its renames in turn (the journal put in
// place, each old file moved aside, each new file moved in). Meanwhile this process tries to
// recover the table and to open it: both are refused as "being updated" and change nothing; the
// child then finishes its swap to a whole new table.
TEST(SwapLocks, ASwapRunningInAnotherProcessIsNeitherFinishedNorUndoneByThisOne) {
  for (int pause_at = 1; pause_at <= 6; ++pause_at) {
    SCOPED_TRACE(testing_support::Numbered("paused after rename ", pause_at));
    TempDir d;
    Family fam(d);
    PausedChild child([&](const std::function<void()>& pause) {
      PauseAfterRename fs(pause_at, pause);
      SetCurrentFileSystem(&fs);
      CommitSwap(fam.dbf, fam.Entries());
      return 0;
    });
    ASSERT_TRUE(child.paused());
    ASSERT_TRUE(SwapPending(fam.dbf));
    auto before = Snapshot(d.path());
    try {
      RecoverSwap(fam.dbf);
      ADD_FAILURE() << "a running swap was recovered";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), err::kTableInUse);
      EXPECT_NE(std::string(e.what()).find("otro programa está cambiando la estructura de la tabla en este momento"), std::string::npos)
          << e.what();
    }
    TTable t;
    t.SetDatabaseName(d.path());
    t.SetTableName("Clientes.DBF");
    try {
      t.Open();
      ADD_FAILURE() << "a table in the middle of its swap was opened";
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), err::kTableInUse);
      EXPECT_EQ(std::string(e.what()).find("copia de seguridad"), std::string::npos) << e.what();
    }
    // A reader of the files themselves (the tabla tool) is told the same.
    try {
      OpenOptions ro;
      ro.read_only = true;
      OpenStorage(fam.dbf, TableFormat::kDbase, ro);
      ADD_FAILURE() << "a table in the middle of its swap was read";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), err::kTableInUse);
      EXPECT_NE(std::string(e.what()).find("otro programa está cambiando la estructura de la tabla en este momento"), std::string::npos)
          << e.what();
    }
    EXPECT_EQ(Snapshot(d.path()), before);
    EXPECT_EQ(child.Resume(), 0);
    EXPECT_TRUE(fam.IsNew());
    EXPECT_FALSE(SwapPending(fam.dbf));
  }
}

// A swap whose process died is finished by the next one to open the table, but not while
// another program has the table open.
TEST(SwapLocks, RecoveryWaitsForTheTablesOtherHolders) {
  TempDir d;
  Family fam(d);
  {
    PausedChild dies([&](const std::function<void()>&) {
      PauseAfterRename fs(2, [] { _exit(9); });  // killed just after moving the old table aside
      SetCurrentFileSystem(&fs);
      CommitSwap(fam.dbf, fam.Entries());
      return 0;
    });
    EXPECT_EQ(dies.Resume(), 9);
  }
  ASSERT_TRUE(SwapPending(fam.dbf));
  ASSERT_FALSE(FileExists(fam.dbf));
  // A reader, which may not finish it, is told that the change was interrupted and how to
  // finish it, never to wait.
  try {
    OpenOptions ro;
    ro.read_only = true;
    OpenStorage(fam.dbf, TableFormat::kDbase, ro);
    ADD_FAILURE() << "a table with an unfinished swap was read";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), err::kTableInUse);
    const std::string m = e.what();
    EXPECT_NE(m.find("un cambio de estructura de la tabla se interrumpió antes de terminar. Para terminarlo, cierre la "
                     "tabla en los demás programas y vuelva a ejecutar la actualización (o ejecute «tabla check "
                     "--terminar» con esta tabla)."),
              std::string::npos)
        << m;
    EXPECT_EQ(m.find("cuando termine"), std::string::npos) << m;
  }
  // Another program holds the old table where the swap moved it.
  const std::string aside = d / ".Clientes.DBF.anterior";
  ASSERT_TRUE(FileExists(aside));
  {
    auto holder = testing_support::RecordLockHeldByAnotherProcess(aside, false);
    ASSERT_TRUE(holder->paused());
    auto before = Snapshot(d.path());
    EXPECT_THROW(RecoverSwap(fam.dbf), EngineError);
    EXPECT_EQ(Snapshot(d.path()), before);
    EXPECT_EQ(holder->Resume(), 0);
  }
  EXPECT_TRUE(RecoverSwap(fam.dbf));
  EXPECT_TRUE(fam.IsNew());
}

bool Opens(const std::string& dir, bool exclusive, bool read_only = false) {
  TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Clientes.Dbf");
  t.SetExclusive(exclusive);
  t.SetReadOnly(read_only);
  try {
    t.Open();
    return true;
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), err::kTableInUse) << e.what();
    return false;
  }
}

// Programs that lock with fcntl or lockf: a write lock keeps every open out, a read lock keeps
// exclusive opens out; a restructure is refused and leaves the folder as it was.
TEST(TableLocks, PosixRecordLockHoldersAreSeen) {
  TempDir d;
  testing_support::MakeSmallTable(d.path());
  const std::string dbf = d / "Clientes.Dbf";
  {
    auto writer = testing_support::RecordLockHeldByAnotherProcess(dbf, true);
    ASSERT_TRUE(writer->paused());
    EXPECT_FALSE(Opens(d.path(), false));
    EXPECT_FALSE(Opens(d.path(), true));
    auto before = Snapshot(d.path());
    try {
      testing_support::AddTwoAmounts(d.path(), "Clientes.Dbf", true);
      ADD_FAILURE() << "restructured under another program's lock";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), err::kTableInUse) << e.what();
    }
    EXPECT_EQ(Snapshot(d.path()), before);
    EXPECT_EQ(writer->Resume(), 0);
  }
  {
    auto reader = testing_support::RecordLockHeldByAnotherProcess(dbf, false);
    ASSERT_TRUE(reader->paused());
    EXPECT_TRUE(Opens(d.path(), false));
    EXPECT_FALSE(Opens(d.path(), true));
    // A file opened for reading only cannot take a write lock: it is held alone all the same.
    EXPECT_TRUE(Opens(d.path(), false, true));
    EXPECT_FALSE(Opens(d.path(), true, true));
    EXPECT_EQ(reader->Resume(), 0);
  }
  EXPECT_TRUE(Opens(d.path(), true));
  EXPECT_TRUE(Opens(d.path(), true, true));
}

// A table of an installation copied from Windows (upper-case names) whose swap died after its
// file was moved aside is found through its journal by a program that spells it otherwise, and
// finished: it is not taken for a missing table. (A table with a memo: one of a single file is
// replaced by one rename, with nothing moved aside.)
TEST(SwapLocks, ATableMovedAsideIsFoundInAnyLetterCase) {
  TempDir d;
  {
    TTable t;
    t.SetDatabaseName(d.path());
    t.SetTableName("EXISTENCIAS.DBF");
    t.FieldDefs().Add("Criterio", TFieldType::ftInteger);
    t.FieldDefs().Add("Notas", TFieldType::ftMemo);
    t.CreateTable();
  }
  PausedChild dies([&](const std::function<void()>&) {
    PauseAfterRename fs(2, [] { _exit(9); });  // killed just after moving the old table aside
    SetCurrentFileSystem(&fs);
    testing_support::AddTwoAmounts(d.path(), "EXISTENCIAS.DBF", true);
    return 0;
  });
  ASSERT_EQ(dies.Resume(), 9);
  ASSERT_FALSE(FileExists(d / "EXISTENCIAS.DBF"));
  TTable t;
  t.SetDatabaseName(d.path());
  t.SetTableName("Existencias.dbf");
  EXPECT_TRUE(t.Exists());
  t.Open();
  EXPECT_EQ(t.FieldCount(), 4);
  EXPECT_TRUE(FileExists(d / "EXISTENCIAS.DBF"));
  EXPECT_FALSE(FileExists(d / "Existencias.dbf"));
}

// What another process that asks for a POSIX record lock on the whole file gets.
std::string RecordLocker(const std::string& path, bool write) {
  auto other = testing_support::RecordLockHeldByAnotherProcess(path, write);
  const bool locked = other->paused();
  const int status = other->Resume();
  if (locked && status == 0) return "locked";
  if (!locked && status == 6) return "refused";  // F_SETLK failed
  return testing_support::Numbered("status ", status);
}

// And the other way round: while this process holds the table, a program that asks for a POSIX
// record lock is refused.
TEST(TableLocks, OurLocksAreSeenByPosixRecordLockers) {
  TempDir d;
  testing_support::MakeSmallTable(d.path());
  const std::string dbf = d / "Clientes.Dbf";
  TTable t;
  t.SetDatabaseName(d.path());
  t.SetTableName("Clientes.Dbf");
  t.Open();  // shared
  EXPECT_EQ(RecordLocker(dbf, true), "refused");
  EXPECT_EQ(RecordLocker(dbf, false), "locked");
  t.Close();
  t.SetExclusive(true);
  t.Open();
  EXPECT_EQ(RecordLocker(dbf, false), "refused");
  // Held alone through a file open for reading only: writers are still kept out.
  t.Close();
  t.SetReadOnly(true);
  t.Open();
  EXPECT_EQ(RecordLocker(dbf, true), "refused");
}

}  // namespace
}  // namespace engine
#endif  // _WIN32
