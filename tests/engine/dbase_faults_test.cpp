// Failures of the file system in the middle of writing rows and memos: the error reaches the
// caller, and what is on disk is still a readable table holding either the old or the new rows.
#include <gtest/gtest.h>

#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "tests/support/fault_fs.h"
#include "tests/support/temp_dir.h"

namespace {

using engine::Value;
using testing_support::FaultInjectionFileSystem;
using testing_support::ScopedFileSystem;
using testing_support::TempDir;

void MakeTable(const std::string& path) {
  engine::TableDefinition def;
  def.level = 4;
  engine::FieldSpec a, m;
  a.name = "A";
  a.type = bde::fldDBCHAR;
  a.size = 8;
  m.name = std::string("M");
  m.type = bde::fldDBMEMO;
  def.fields = {a, m};
  engine::CreateStorage(path, def);
  auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
  std::string buf = t->BlankRecord();
  t->SetValue(&buf, 0, Value::Text("viejo"));
  t->SetValue(&buf, 1, Value::Text("memo viejo"));
  t->AppendRecord(buf);
  t->Flush();
}

// Appends a row with a memo and edits the first row's memo, through `fs`.
void Work(const std::string& path) {
  auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
  std::string buf = t->BlankRecord();
  t->SetValue(&buf, 0, Value::Text("nuevo"));
  t->SetValue(&buf, 1, Value::Text(std::string(900, 'n')));
  t->AppendRecord(buf);
  std::string old_buf;
  t->ReadRecord(1, &old_buf);
  buf = old_buf;
  t->SetValue(&buf, 1, Value::Text("memo cambiado"));
  t->UpdateRecord(1, old_buf, buf);
  t->Flush();
}

TEST(DbaseFaults, FailureAtEveryWriteLeavesAReadableTable) {
  uint64_t ops;
  {
    TempDir dir;
    MakeTable(dir / "t.dbf");
    FaultInjectionFileSystem fs;
    ScopedFileSystem use(&fs);
    Work(dir / "t.dbf");
    ops = fs.mutating_ops();
  }
  ASSERT_GT(ops, 4u);
  for (bool crash : {false, true}) {
    for (uint64_t k = 1; k <= ops; ++k) {
      SCOPED_TRACE((crash ? "crash at " : "fail at ") + std::to_string(k));
      TempDir dir;
      std::string path = dir / "t.dbf";
      MakeTable(path);
      {
        FaultInjectionFileSystem fs;
        ScopedFileSystem use(&fs);
        if (crash) fs.CrashAt(k);
        else fs.FailAt(k);
        EXPECT_THROW(Work(path), engine::EngineError);
        EXPECT_TRUE(fs.fault_fired());
      }
      // Back on the real file system: the table opens and its rows read.
      auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
      ASSERT_GE(t->RecordCount(), 1u);
      ASSERT_LE(t->RecordCount(), 2u);
      std::string buf;
      t->ReadRecord(1, &buf);
      EXPECT_EQ(t->GetValue(buf, 0), Value::Text("viejo"));
      Value memo = t->GetValue(buf, 1);
      EXPECT_TRUE(memo == Value::Text("memo viejo") || memo == Value::Text("memo cambiado")) << memo.s;
      if (t->RecordCount() == 2) {
        t->ReadRecord(2, &buf);
        EXPECT_EQ(t->GetValue(buf, 0), Value::Text("nuevo"));
        EXPECT_EQ(t->GetValue(buf, 1), Value::Text(std::string(900, 'n')));
      }
    }
  }
}

}  // namespace
