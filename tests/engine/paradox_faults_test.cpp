// Paradox writes under injected I/O failures and crashes: every failure reaches the caller as an
// EngineError, and the files left behind either open with their rows in key order or give an
// EngineError on opening; nothing crashes.
#include <gtest/gtest.h>

#include "engine/bde.h"
#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "tests/support/fault_fs.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

using testing_support::FaultInjectionFileSystem;
using testing_support::ScopedFileSystem;
using testing_support::TempDir;

constexpr int kBefore = 50, kAdded = 60;

void MakeTable(const std::string& path) {
  TableDefinition def;
  def.format = TableFormat::kParadox;
  def.level = 5;
  def.fields = {{"Id", bde::fldPDXLONG, 4}, {"Nota", bde::fldPDXMEMO, 20}, {"Relleno", bde::fldPDXCHAR, 100}};
  def.key_fields = 1;
  paradox::Create(path, def);
  auto t = paradox::Open(path, OpenOptions{});
  for (int i = 0; i < kBefore; ++i) {
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Integer(i * 2));
    t->AppendRecord(buf);
  }
}

// Adds rows between the existing ones (block splits) with memos in the .MB.
void AddRows(const std::string& path) {
  auto t = paradox::Open(path, OpenOptions{});
  for (int i = 0; i < kAdded; ++i) {
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Integer(i * 2 + 1));
    t->SetValue(&buf, 1, Value::Text(std::string(50 + i, 'n')));
    t->AppendRecord(buf);
  }
  t->Flush();
}

// Opens what was left; returns the row count, or -1 when opening or reading gave an EngineError.
int Survivors(const std::string& path) {
  try {
    auto t = paradox::Open(path, OpenOptions{});
    int64_t prev = -1;
    for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
      std::string buf;
      t->ReadRecord(r, &buf);
      int64_t id = t->GetValue(buf, 0).i;
      EXPECT_GT(id, prev) << "row " << r;
      prev = id;
      Value memo = t->GetValue(buf, 1);
      if (!memo.IsNull()) {
        EXPECT_EQ(memo.s, std::string(50 + id / 2, 'n'));
      }
    }
    return static_cast<int>(t->RecordCount());
  } catch (const EngineError&) {
    return -1;
  }
}

TEST(ParadoxFaults, FailedAndInterruptedWritesAreReportedAndNeverCrash) {
  uint64_t ops;
  {
    TempDir dir;
    MakeTable(dir / "T.DB");
    FaultInjectionFileSystem fs;
    ScopedFileSystem scope(&fs);
    AddRows(dir / "T.DB");
    ops = fs.mutating_ops();
  }
  ASSERT_GT(ops, static_cast<uint64_t>(kAdded));
  int readable = 0, refused = 0;
  for (uint64_t n = 1; n <= ops; n += 3) {
    for (bool crash : {false, true}) {
      SCOPED_TRACE((crash ? "crash at " : "failure at ") + std::to_string(n));
      TempDir dir;
      MakeTable(dir / "T.DB");
      {
        FaultInjectionFileSystem fs;
        ScopedFileSystem scope(&fs);
        if (crash) fs.CrashAt(n); else fs.FailAt(n);
        EXPECT_THROW(AddRows(dir / "T.DB"), EngineError);
        EXPECT_TRUE(fs.fault_fired());
      }
      int rows = Survivors(dir / "T.DB");
      if (rows >= 0) {
        EXPECT_GE(rows, kBefore);
        EXPECT_LE(rows, kBefore + kAdded);
        ++readable;
      } else {
        ++refused;
      }
    }
  }
  std::printf("fault points: %d left a readable table, %d an error on opening\n", readable, refused);
  EXPECT_GT(readable, 0);
}

}  // namespace
}  // namespace engine
