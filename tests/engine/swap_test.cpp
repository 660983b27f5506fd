#include "engine/swap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "engine/error.h"
#include "engine/storage.h"
#include "tests/support/fault_fs.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

using testing_support::FaultInjectionFileSystem;
using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::ScopedFileSystem;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

// A table family of three files; the new version drops the index and adds a fresh memo.
struct Family {
  explicit Family(const TempDir& d) : Family(d.path()) {}
  explicit Family(const std::string& d)
      : dbf(d + "/Clientes.DBF"), dbt(d + "/Clientes.DBT"), mdx(d + "/Clientes.MDX") {}
  void WriteOld() {
    WriteFileBytes(dbf, "old table");
    WriteFileBytes(dbt, "old memo");
    WriteFileBytes(mdx, "old index");
  }
  std::vector<SwapEntry> WriteNew() {
    std::filesystem::create_directories(SwapTempDir(dbf));
    WriteFileBytes(SwapTempPath(dbf), "new table");
    WriteFileBytes(SwapTempPath(dbt), "new memo");
    return {{dbf, SwapTempPath(dbf)}, {dbt, SwapTempPath(dbt)}, {mdx, ""}};
  }
  bool IsOld() const {
    return ReadFileBytes(dbf) == "old table" && ReadFileBytes(dbt) == "old memo" &&
           FileExists(mdx) && ReadFileBytes(mdx) == "old index";
  }
  bool IsNew() const {
    return ReadFileBytes(dbf) == "new table" && ReadFileBytes(dbt) == "new memo" && !FileExists(mdx);
  }
  std::string dbf, dbt, mdx;
};

// The number of mutating operations of one swap of a fresh family.
uint64_t OperationsOfASwap() {
  TempDir dir;
  Family fam(dir);
  fam.WriteOld();
  auto entries = fam.WriteNew();
  FaultInjectionFileSystem counting;
  ScopedFileSystem use(&counting);
  CommitSwap(fam.dbf, entries);
  return counting.mutating_ops();
}

TEST(Swap, ReplacesEveryFileAndLeavesNothingBehind) {
  TempDir dir;
  Family fam(dir);
  fam.WriteOld();
  CommitSwap(fam.dbf, fam.WriteNew());
  EXPECT_TRUE(fam.IsNew());
  EXPECT_FALSE(SwapPending(fam.dbf));
  EXPECT_FALSE(RecoverSwap(fam.dbf));
  EXPECT_EQ(std::filesystem::directory_iterator(dir.path()) == std::filesystem::directory_iterator(), false);
  int count = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++count;
  }
  EXPECT_EQ(count, 2);  // the new table and memo only
}

// Crash at every mutating operation of the swap, then recover as the next open would: the family
// is always entirely old or entirely new, and a crash after the commit point always ends new.
TEST(Swap, CrashAtAnyStepLeavesTheOldOrTheNewTable) {
  const uint64_t total = OperationsOfASwap();
  ASSERT_GT(total, 5u);
  int old_seen = 0, new_seen = 0;
  for (uint64_t n = 1; n <= total; ++n) {
    TempDir dir;
    Family fam(dir);
    fam.WriteOld();
    auto entries = fam.WriteNew();
    FaultInjectionFileSystem fs;
    {
      ScopedFileSystem use(&fs);
      fs.CrashAt(n);
      EXPECT_THROW(CommitSwap(fam.dbf, entries), EngineError) << "step " << n;
      EXPECT_TRUE(fs.fault_fired());
    }
    RecoverSwap(fam.dbf);  // the "restart": real file system
    bool is_old = fam.IsOld(), is_new = fam.IsNew();
    EXPECT_TRUE(is_old || is_new) << "crash at step " << n << " left a mixed table";
    old_seen += is_old;
    new_seen += is_new;
    EXPECT_FALSE(SwapPending(fam.dbf));
  }
  EXPECT_GT(old_seen, 0);
  EXPECT_GT(new_seen, 0);
}

// A failing (not crashing) operation: the error reaches the caller, and the table still ends
// entirely old or entirely new once recovered.
TEST(Swap, FailedStepIsRecoverable) {
  for (uint64_t n = 1; n <= 12; ++n) {
    TempDir dir;
    Family fam(dir);
    fam.WriteOld();
    auto entries = fam.WriteNew();
    FaultInjectionFileSystem fs;
    {
      ScopedFileSystem use(&fs);
      fs.FailAt(n);
      try {
        CommitSwap(fam.dbf, entries);
      } catch (const EngineError&) {
      }
    }
    RecoverSwap(fam.dbf);
    EXPECT_TRUE(fam.IsOld() || fam.IsNew()) << "failure at step " << n;
  }
}

TEST(Swap, DamagedJournalStopsTheOpenWithAClearError) {
  TempDir dir;
  Family fam(dir);
  fam.WriteOld();
  WriteFileBytes(SwapJournalPath(fam.dbf), "ACTUALIZA-SWAP 1\nhalf a line");
  try {
    RecoverSwap(fam.dbf);
    FAIL() << "a damaged journal must not be ignored";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), err::kFileCorrupt);
    EXPECT_NE(std::string(e.what()).find("Clientes.DBF"), std::string::npos);
  }
  // A reader is told that it cannot be finished, never to wait for it.
  try {
    OpenOptions ro;
    ro.read_only = true;
    OpenStorage(fam.dbf, TableFormat::kDbase, ro);
    FAIL() << "a table with a damaged journal was read";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), err::kFileCorrupt);
    EXPECT_NE(std::string(e.what()).find("quedó interrumpido y no se puede terminar (el diario está dañado)"),
              std::string::npos)
        << e.what();
  }
  EXPECT_TRUE(fam.IsOld());
}

TEST(Swap, LeftoversOfAnUncommittedRestructureAreRemoved) {
  TempDir dir;
  Family fam(dir);
  fam.WriteOld();
  fam.WriteNew();
  WriteFileBytes(SwapTempPath(dir / "Otra.DBF"), "another table's new file");
  RemoveSwapLeftovers(fam.dbf);
  EXPECT_FALSE(FileExists(SwapTempPath(fam.dbf)));
  EXPECT_FALSE(FileExists(SwapTempPath(fam.dbt)));
  EXPECT_TRUE(FileExists(SwapTempPath(dir / "Otra.DBF")));
  EXPECT_TRUE(fam.IsOld());
}

// A journal written by the first version, with the paths its writer saw: taken when they name
// the table's own folder, as the table is opened from it.
TEST(Swap, AFirstVersionJournalOfTheSameFolderIsFinished) {
  TempDir dir;
  Family fam(dir);
  fam.WriteOld();
  auto entries = fam.WriteNew();
  std::string journal = "ACTUALIZA-SWAP 1\n";
  for (const auto& e : entries) journal += e.final_path + "\t" + e.new_path + "\n";
  WriteFileBytes(SwapJournalPath(fam.dbf), journal + "end\n");
  EXPECT_TRUE(RecoverSwap(fam.dbf));
  EXPECT_TRUE(fam.IsNew());
  EXPECT_FALSE(SwapPending(fam.dbf));
}

// A crash at every step of the swap, then the folder is moved (or copied) before the table is
// opened again: the journal names its files relative to itself, so the table recovers where it
// now is, whole, and the old place (or the original of a copy) is not touched.
TEST(Swap, AMovedOrCopiedFolderRecoversWhereItIs) {
  const uint64_t total = OperationsOfASwap();
  for (bool copy : {false, true}) {
    for (uint64_t n = 1; n <= total; ++n) {
      SCOPED_TRACE((copy ? "copied" : "moved") + std::string(" after a crash at step ") + std::to_string(n));
      TempDir root;
      const std::string orig = root / "Empresa", other = root / "Otra";
      std::filesystem::create_directories(orig);
      Family fam(orig);
      fam.WriteOld();
      auto entries = fam.WriteNew();
      {
        FaultInjectionFileSystem fs;
        ScopedFileSystem use(&fs);
        fs.CrashAt(n);
        EXPECT_THROW(CommitSwap(fam.dbf, entries), EngineError);
      }
      if (copy)
        std::filesystem::copy(orig, other, std::filesystem::copy_options::recursive);
      else
        std::filesystem::rename(orig, other);
      auto original = copy ? testing_support::Snapshot(orig) : std::map<std::string, std::string>{};
      Family moved(other);
      RecoverSwap(moved.dbf);
      EXPECT_TRUE(moved.IsOld() || moved.IsNew());
      EXPECT_FALSE(SwapPending(moved.dbf));
      if (copy)
        EXPECT_EQ(testing_support::Snapshot(orig), original);
      else
        EXPECT_FALSE(std::filesystem::exists(orig));
    }
  }
}

// Recovery of the family refuses its journal as not valid, naming `named`, and changes nothing in
// the folder or outside it.
void ExpectRefusedUntouched(const Family& fam, const std::string& dir, const std::string& outside,
                            const std::string& named) {
  auto inside = testing_support::Snapshot(dir), out = testing_support::Snapshot(outside);
  try {
    RecoverSwap(fam.dbf);
    ADD_FAILURE() << "a journal that is not valid was acted on";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), err::kFileCorrupt);
    EXPECT_NE(std::string(e.what()).find("no es válido"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(named), std::string::npos) << e.what();
  }
  EXPECT_EQ(testing_support::Snapshot(dir), inside);
  EXPECT_EQ(testing_support::Snapshot(outside), out);
  EXPECT_TRUE(fam.IsOld());
}

// Journals planted to name something other than the table's own files: nothing is moved or
// removed, inside the folder or out of it, and the table refuses to open with an error that
// says the journal is not valid.
TEST(Swap, AJournalNamingAnythingButItsTableIsRefusedAndNothingIsTouched) {
  TempDir root;
  const std::string dir = root / "Empresa", outside = root / "Fuera";
  std::filesystem::create_directories(dir);
  std::filesystem::create_directories(outside);
  WriteFileBytes(outside + "/Clientes.DBF", "a file of another folder");
  WriteFileBytes(outside + "/secreto.txt", "not a table");
  Family fam(dir);
  fam.WriteOld();
  WriteFileBytes(dir + "/Otra.DBF", "another table");
  const std::string planted[] = {
      "ACTUALIZA-SWAP 2\n" + outside + "/secreto.txt\t\nend\n",
      "ACTUALIZA-SWAP 2\n../Fuera/Clientes.DBF\t\nend\n",
      "ACTUALIZA-SWAP 2\nClientes.DBF\t../Fuera/Clientes.DBF\nend\n",
      "ACTUALIZA-SWAP 2\nClientes.DBF\t" + outside + "/Clientes.DBF\nend\n",
      "ACTUALIZA-SWAP 2\nOtra.DBF\t\nend\n",
      "ACTUALIZA-SWAP 2\nClientes.txt\t\nend\n",
      "ACTUALIZA-SWAP 2\n..\t\nend\n",
      "ACTUALIZA-SWAP 2\nClientes.DBT\tClientes.DBF\nend\n",
      "ACTUALIZA-SWAP 2\nend\n",
      "ACTUALIZA-SWAP 2\nClientes.DBF\t\nClientes.DBT\t\nend\n",  // only removals: the table would go
      "ACTUALIZA-SWAP 3\nClientes.DBT\t\nend\n",
      "ACTUALIZA-SWAP 3\nClientes.DBF\t\nClientes.DBT\tClientes.DBT\t8\t0000000000000000\nend\n",
      "ACTUALIZA-SWAP 1\n" + outside + "/Clientes.DBF\t\nend\n",
      "ACTUALIZA-SWAP 1\n" + fam.dbf + "\t" + outside + "/Clientes.DBF\nend\n",
  };
  for (const std::string& journal : planted) {
    SCOPED_TRACE(journal);
    WriteFileBytes(SwapJournalPath(fam.dbf), journal);
    ExpectRefusedUntouched(fam, dir, outside, SwapJournalPath(fam.dbf));
  }
}

// A swap stopped right after its journal became durable, its old files all in place.
void CommittedButNotMoved(Family& fam) {
  fam.WriteOld();
  auto entries = fam.WriteNew();
  for (uint64_t n = 1; !SwapPending(fam.dbf); ++n) {
    FaultInjectionFileSystem fs;
    ScopedFileSystem use(&fs);
    fs.CrashAt(n);
    EXPECT_THROW(CommitSwap(fam.dbf, entries), EngineError);
  }
}

// Journals of valid form whose new files the swap did not write: a pipe, a link or a hard link to
// a file outside (the same bytes as the new file), another file of the same size. Recovery
// refuses each as not valid and touches nothing, inside the folder or out of it.
TEST(Swap, ANewFileThatIsNotTheSwapsOwnIsRefusedAndNothingIsTouched) {
  struct Case {
    std::string name;
    std::function<void(const std::string& new_file, const std::string& outside)> plant;
  };
  namespace stdfs = std::filesystem;
  const Case cases[] = {
      {"another file of the same size", [](const std::string& f, const std::string&) { WriteFileBytes(f, "NEW TABLE"); }},
#ifndef _WIN32  // pipes, symbolic and hard links are made here on POSIX systems only
      {"a pipe", [](const std::string& f, const std::string&) { ASSERT_EQ(::mkfifo(f.c_str(), 0666), 0); }},
      {"a link out", [](const std::string& f, const std::string& out) { stdfs::create_symlink(out + "/copia", f); }},
      {"a hard link out", [](const std::string& f, const std::string& out) { stdfs::create_hard_link(out + "/copia", f); }},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    const std::string dir = root / "Empresa", outside = root / "Fuera";
    stdfs::create_directories(dir);
    stdfs::create_directories(outside);
    WriteFileBytes(outside + "/copia", "new table");
    Family fam(dir);
    CommittedButNotMoved(fam);
    stdfs::remove(SwapTempPath(fam.dbf));
    c.plant(SwapTempPath(fam.dbf), outside);
    ExpectRefusedUntouched(fam, dir, outside, SwapTempPath(fam.dbf));
  }
}

// A journal left by the earlier version of this program (no sizes or checksums) still finishes
// its swap when its new files are regular files of their own.
TEST(Swap, ASecondVersionJournalIsStillFinished) {
  TempDir dir;
  Family fam(dir);
  fam.WriteOld();
  fam.WriteNew();
  WriteFileBytes(SwapJournalPath(fam.dbf),
                 "ACTUALIZA-SWAP 2\nClientes.DBF\tClientes.DBF\nClientes.DBT\tClientes.DBT\nClientes.MDX\t\nend\n");
  EXPECT_TRUE(RecoverSwap(fam.dbf));
  EXPECT_TRUE(fam.IsNew());
}

}  // namespace
}  // namespace engine
