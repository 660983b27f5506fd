// Rebuilding a keyed Paradox table with blobs and validity checks: every row, blob and check
// kept, and the table whole (old or new) after a failure, a crash or a kill at any moment.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>

#include "engine/database.h"
#include "engine/error.h"
#include "engine/restructure.h"
#include "engine/storage.h"
#include "engine/table.h"
#include "tests/support/add_amounts.h"
#include "tests/support/fault_fs.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using testing_support::FaultInjectionFileSystem;
using testing_support::ScopedFileSystem;
using testing_support::TempDir;

FieldSpec F(const char* name, uint16_t type, uint16_t size) {
  FieldSpec f;
  f.name = name;
  f.type = type;
  f.size = size;
  return f;
}

// ARTICULO.DB, level 5, keyed on ID, with a memo and two checks.
void MakeTable(const std::string& dir, int rows) {
  TableDefinition def;
  def.format = TableFormat::kParadox;
  def.level = 5;
  def.codepage = 1252;
  def.fields = {F("ID", bde::fldPDXLONG, 4), F("NOMBRE", bde::fldPDXCHAR, 20), F("NOTAS", bde::fldPDXMEMO, 20),
                F("PRECIO", bde::fldPDXNUM, 8)};
  def.key_fields = 1;
  bde::VCHKDesc required{};
  required.iFldNum = 2;
  required.bRequired = 1;
  bde::VCHKDesc minimum{};
  minimum.iFldNum = 4;
  minimum.bHasMinVal = 1;
  double zero = 0;
  std::memcpy(minimum.aMinVal, &zero, sizeof zero);
  def.val_checks = {required, minimum};
  CreateStorage(dir + "/ARTICULO.DB", def);
  auto t = OpenStorage(dir + "/ARTICULO.DB", TableFormat::kParadox, {true, false});
  std::mt19937 rng(5);
  std::vector<int> ids(static_cast<size_t>(rows));
  for (int i = 0; i < rows; ++i) ids[static_cast<size_t>(i)] = i + 1;
  std::shuffle(ids.begin(), ids.end(), rng);
  for (int id : ids) {
    std::string rec = t->BlankRecord();
    t->SetValue(&rec, 0, Value::Integer(id));
    t->SetValue(&rec, 1, Value::Text(testing_support::Numbered("Artículo ", id)));
    if (id % 3 == 0) t->SetValue(&rec, 2, Value::Text(testing_support::Numbered("Nota larga del artículo ", id) + std::string(40, '.')));
    t->SetValue(&rec, 3, Value::Number(id * 1.5));
    t->AppendRecord(rec);
  }
  t->Flush();
}

std::vector<std::string> Snapshot(const std::string& path, size_t* checks) {
  auto t = OpenStorage(path, TableFormat::kParadox, {false, true});
  std::vector<std::string> rows;
  std::string buf;
  for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
    t->ReadRecord(r, &buf);
    std::string row;
    for (size_t f = 0; f < t->Fields().size(); ++f) {
      row += '|';
      row += t->GetValue(buf, static_cast<int>(f)).ToDisplay();
    }
    rows.push_back(row);
  }
  if (checks) *checks = t->ValChecks().size();
  return rows;
}

bde::FLDDesc Rec(uint16_t num, const char* name, uint16_t type, int u1) {
  return testing_support::FieldRecord(num, name, type, u1);
}

// Adds CANTIDAD after NOMBRE and moves PRECIO before NOTAS; the checks follow their fields.
void Rebuild(const std::string& dir) {
  std::vector<bde::FLDDesc> f = {Rec(1, "ID", bde::fldPDXLONG, 4), Rec(2, "NOMBRE", bde::fldPDXCHAR, 20),
                                 Rec(0, "CANTIDAD", bde::fldPDXSHORT, 2), Rec(4, "PRECIO", bde::fldPDXNUM, 8),
                                 Rec(3, "NOTAS", bde::fldPDXMEMO, 20)};
  std::vector<bde::CROpType> ops = {bde::crNOOP, bde::crNOOP, bde::crADD, bde::crNOOP, bde::crNOOP};
  bde::CRTblDesc desc{};
  std::strcpy(desc.szTblName, "ARTICULO.DB");
  desc.bPack = 0xFFFF;
  desc.iFldCount = static_cast<uint16_t>(f.size());
  desc.pfldDesc = f.data();
  desc.pecrFldOp = ops.data();
  DoRestructure(*OpenDatabase(dir), desc);
}

void CopyDir(const std::string& from, const std::string& to) {
  fs::create_directories(to);
  for (auto& e : fs::directory_iterator(from)) fs::copy(e.path(), to + "/" + e.path().filename().string());
}

TEST(RestructureParadox, RowsBlobsKeyAndChecksFollowTheNewStructure) {
  TempDir d;
  MakeTable(d.path(), 300);
  size_t checks_before = 0;
  auto before = Snapshot(d / "ARTICULO.DB", &checks_before);
  ASSERT_EQ(checks_before, 2u);
  Rebuild(d.path());
  size_t checks_after = 0;
  auto after = Snapshot(d / "ARTICULO.DB", &checks_after);
  EXPECT_EQ(checks_after, 2u);
  ASSERT_EQ(after.size(), before.size());
  auto t = OpenStorage(d / "ARTICULO.DB", TableFormat::kParadox, {false, true});
  EXPECT_EQ(t->KeyFieldCount(), 1);
  auto v = t->ValChecks();
  // Packed records: fields compared by value. NOMBRE stays second; PRECIO is fourth again, now
  // that CANTIDAD took the third place and NOTAS went last.
  EXPECT_EQ(+v[0].iFldNum, 2);
  EXPECT_EQ(+v[1].iFldNum, 4);
  std::string buf;
  for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
    t->ReadRecord(r, &buf);
    EXPECT_EQ(t->GetValue(buf, 0).i, static_cast<int64_t>(r));  // still in key order
    EXPECT_TRUE(t->GetValue(buf, 2).IsNull());
    if (r % 3 == 0) {
      EXPECT_EQ(t->GetValue(buf, 4).s, testing_support::Numbered("Nota larga del artículo ", r) + std::string(40, '.'));
    }
  }
}

TEST(RestructureParadox, FailureOrCrashAtAnyStepLeavesTheOldOrTheNewTable) {
  TempDir seed;
  MakeTable(seed.path(), 80);
  size_t c0 = 0;
  auto old_rows = Snapshot(seed / "ARTICULO.DB", &c0);
  std::vector<std::string> new_rows;
  uint64_t total;
  {
    TempDir d;
    CopyDir(seed.path(), d.path());
    FaultInjectionFileSystem counting;
    {
      ScopedFileSystem use(&counting);
      Rebuild(d.path());
    }
    total = counting.mutating_ops();
    new_rows = Snapshot(d / "ARTICULO.DB", nullptr);
  }
  ASSERT_GT(total, 10u);
  for (int crash = 0; crash < 2; ++crash) {
    for (uint64_t n = 1; n <= total; ++n) {
      TempDir d;
      CopyDir(seed.path(), d.path());
      testing_support::RunWithFaultAt(n, crash != 0, [&] { Rebuild(d.path()); });
      TTable t;
      t.SetDatabaseName(d.path());
      t.SetTableName("ARTICULO.DB");
      t.Open();
      t.Close();
      size_t checks = 0;
      auto rows = Snapshot(d / "ARTICULO.DB", &checks);
      EXPECT_TRUE(rows == old_rows || rows == new_rows) << (crash ? "crash" : "failure") << " at step " << n;
      EXPECT_EQ(checks, 2u) << "step " << n;
    }
  }
}

// The kill is SIGKILL sent to a forked child: POSIX only.
#ifndef _WIN32
TEST(RestructureParadox, KilledAtRandomMomentsTheTableStaysWhole) {
  TempDir seed;
  const int rows = 20000;
  MakeTable(seed.path(), rows);
  double full_ms;
  {
    TempDir d;
    CopyDir(seed.path(), d.path());
    auto t0 = std::chrono::steady_clock::now();
    Rebuild(d.path());
    full_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
  std::mt19937 rng(77);
  std::uniform_real_distribution<double> jitter(0.0, 1.0);
  const int runs = 30;
  for (int run = 0; run < runs; ++run) {
    TempDir d;
    CopyDir(seed.path(), d.path());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      try {
        Rebuild(d.path());
      } catch (...) {
        _exit(3);
      }
      _exit(0);
    }
    usleep(static_cast<useconds_t>(full_ms * 1.2 * (run + jitter(rng)) / runs * 1000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    TTable t;
    t.SetDatabaseName(d.path());
    t.SetTableName("ARTICULO.DB");
    t.Open();
    EXPECT_EQ(t.RecordCount(), rows) << "run " << run;
    t.Close();
    size_t checks = 0;
    auto snap = Snapshot(d / "ARTICULO.DB", &checks);
    EXPECT_EQ(checks, 2u) << "run " << run;
    EXPECT_EQ(snap.size(), static_cast<size_t>(rows));
  }
}

#endif  // _WIN32

}  // namespace
}  // namespace engine
