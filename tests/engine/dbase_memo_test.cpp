// Memo files: edits keep them readable by dbfread, and a IV file's free chain is used but never
// clobbered.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/dbase/dbase.h"
#include "engine/dbase/dbt.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace {

using engine::Value;
using engine::dbase::MemoFile;
using engine::dbase::MemoLayout;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

uint32_t U32(const std::string& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
void PutU32(std::string& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

std::string MakeTable(const TempDir& dir, int level) {
  std::string path = dir / "memos.dbf";
  engine::TableDefinition def;
  def.level = level;
  engine::FieldSpec id, memo;
  id.name = "ID";
  id.type = bde::fldDBNUM;
  id.size = 4;
  memo.name = "TEXTO";
  memo.type = bde::fldDBMEMO;
  def.fields = {id, memo};
  engine::CreateStorage(path, def);
  return path;
}

std::unique_ptr<engine::TableStorage> Open(const std::string& path) {
  return engine::dbase::Open(path, engine::OpenOptions{}, false);
}

void SetMemo(engine::TableStorage& t, uint64_t recno, const Value& v) {
  std::string old_buf, buf;
  t.ReadRecord(recno, &old_buf);
  buf = old_buf;
  t.SetValue(&buf, 1, v);
  t.UpdateRecord(recno, old_buf, buf);
}

uint64_t MemoBlockOf(engine::TableStorage& t, uint64_t recno) {
  std::string buf;
  t.ReadRecord(recno, &buf);
  return std::strtoull(buf.substr(t.Fields()[1].offset, 10).c_str(), nullptr, 10);
}

Value MemoOf(engine::TableStorage& t, uint64_t recno) {
  std::string buf;
  t.ReadRecord(recno, &buf);
  return t.GetValue(buf, 1);
}

TEST(DbaseMemo, EditsKeepTheFileReadable) {
  for (int level : {3, 4}) {
    SCOPED_TRACE(level);
    TempDir dir;
    std::string path = MakeTable(dir, level);
    std::vector<std::string> want;
    {
      auto t = Open(path);
      for (int i = 0; i < 5; ++i) {
        std::string buf = t->BlankRecord();
        t->SetValue(&buf, 0, Value::Integer(i + 1));
        want.push_back(testing_support::Numbered("memo ", i + 1) + std::string(static_cast<size_t>(i) * 300, 'a' + i));
        t->SetValue(&buf, 1, Value::Text(want.back()));
        t->AppendRecord(buf);
      }
      t->Flush();
    }
    std::string dbt_before = ReadFileBytes(dir / "memos.dbt");
    {
      auto t = Open(path);
      uint64_t block1 = MemoBlockOf(*t, 1);
      want[1] = std::string(2000, 'L');  // longer: moves
      SetMemo(*t, 2, Value::Text(want[1]));
      want[3] = "corto";  // shorter
      SetMemo(*t, 4, Value::Text(want[3]));
      want[3] = "otra vez";
      SetMemo(*t, 4, Value::Text(want[3]));
      want[4] = "";  // emptied
      SetMemo(*t, 5, Value::Null());
      EXPECT_EQ(MemoBlockOf(*t, 1), block1);
      t->Flush();
    }
    std::string dbt_after = ReadFileBytes(dir / "memos.dbt");
    // Memos not edited keep their bytes.
    EXPECT_EQ(dbt_after.substr(512, 512), dbt_before.substr(512, 512));
    auto t = Open(path);
    for (size_t i = 0; i < want.size(); ++i) {
      Value v = MemoOf(*t, i + 1);
      if (want[i].empty()) EXPECT_TRUE(v.IsNull());
      else EXPECT_EQ(v, Value::Text(want[i])) << i;
    }
    auto diff = dbase_test::CompareWithDbfread(*t, "cp1252");
    if (diff) {
      EXPECT_EQ(*diff, "");
    }
  }
}

// A IV memo file with a free run of three blocks: new memos go into it from its end, and past the
// end of the file when they do not fit, with the chain's links kept true.
TEST(DbaseMemo, FreeChainIsUsedNotClobbered) {
  TempDir dir;
  std::string path = MakeTable(dir, 4);
  {
    auto t = Open(path);
    for (const std::string& text : {std::string("primero"), std::string(1200, 'B'), std::string("tercero")}) {
      std::string buf = t->BlankRecord();
      t->SetValue(&buf, 1, Value::Text(text));
      t->AppendRecord(buf);
    }
    EXPECT_EQ(MemoBlockOf(*t, 1), 1u);
    EXPECT_EQ(MemoBlockOf(*t, 2), 2u);  // blocks 2-4
    EXPECT_EQ(MemoBlockOf(*t, 3), 5u);
    SetMemo(*t, 2, Value::Null());
  }
  // Give blocks 2-4 back by hand, as dBASE would after the edit: header -> 2, [next = 6][count = 3].
  std::string dbt = ReadFileBytes(dir / "memos.dbt");
  ASSERT_EQ(dbt.size(), 6u * 512);
  PutU32(dbt, 0, 2);
  PutU32(dbt, 2 * 512, 6);
  PutU32(dbt, 2 * 512 + 4, 3);
  WriteFileBytes(dir / "memos.dbt", dbt);

  auto t = Open(path);
  SetMemo(*t, 2, Value::Text("uno"));  // one block: the run's last
  EXPECT_EQ(MemoBlockOf(*t, 2), 4u);
  dbt = ReadFileBytes(dir / "memos.dbt");
  EXPECT_EQ(U32(dbt, 0), 2u);
  EXPECT_EQ(U32(dbt, 2 * 512), 6u);
  EXPECT_EQ(U32(dbt, 2 * 512 + 4), 2u);
  EXPECT_EQ(dbt.size(), 6u * 512);

  SetMemo(*t, 1, Value::Text(std::string(700, 'x')));  // two blocks: the rest of the run
  EXPECT_EQ(MemoBlockOf(*t, 1), 2u);
  dbt = ReadFileBytes(dir / "memos.dbt");
  EXPECT_EQ(U32(dbt, 0), 6u);  // no free run left: the header points at the end
  EXPECT_EQ(dbt.size(), 6u * 512);

  SetMemo(*t, 3, Value::Text(std::string(700, 'y')));  // past the end
  EXPECT_EQ(MemoBlockOf(*t, 3), 6u);
  dbt = ReadFileBytes(dir / "memos.dbt");
  EXPECT_EQ(U32(dbt, 0), 8u);
  EXPECT_EQ(dbt.size(), 8u * 512);
  t->Flush();

  EXPECT_EQ(MemoOf(*t, 1), Value::Text(std::string(700, 'x')));
  EXPECT_EQ(MemoOf(*t, 2), Value::Text("uno"));
  EXPECT_EQ(MemoOf(*t, 3), Value::Text(std::string(700, 'y')));
  auto diff = dbase_test::CompareWithDbfread(*t, "cp1252");
  if (diff) {
    EXPECT_EQ(*diff, "");
  }
}

// Two free runs; a value too big for the first goes into the second, and appending past the end
// moves the last run's link on.
TEST(DbaseMemo, ChainOfTwoRuns) {
  TempDir dir;
  std::string path = dir / "m.dbt";
  MemoFile::Create(path, MemoLayout::kDbase4, "M");
  std::vector<uint64_t> blocks;
  {
    auto m = MemoFile::Open(path, "m.dbf", MemoLayout::kDbase4, true);
    for (size_t n : {10, 10, 600, 10, 1200, 10}) blocks.push_back(m->Write(std::string(n, 'v')));
  }
  // 1, 2, 3-4, 5, 6-8, 9; file ends at block 10.
  ASSERT_EQ(blocks, (std::vector<uint64_t>{1, 2, 3, 5, 6, 9}));
  {
    auto m = MemoFile::Open(path, "m.dbf", MemoLayout::kDbase4, true);
    m->Release(3);  // run 3-4
    m->Release(6);  // run 6-8, now the head
    m->Release(6);  // already free: no change
    m->Release(7);  // not the start of a value: left alone
  }
  std::string dbt = ReadFileBytes(path);
  EXPECT_EQ(U32(dbt, 0), 6u);
  EXPECT_EQ(U32(dbt, 6 * 512), 3u);
  EXPECT_EQ(U32(dbt, 6 * 512 + 4), 3u);
  EXPECT_EQ(U32(dbt, 3 * 512), 10u);
  EXPECT_EQ(U32(dbt, 3 * 512 + 4), 2u);
  auto m = MemoFile::Open(path, "m.dbf", MemoLayout::kDbase4, true);
  EXPECT_EQ(m->Write(std::string(1100, 'a')), 6u);  // 3 blocks with its 8-byte head: the whole head run
  dbt = ReadFileBytes(path);
  EXPECT_EQ(U32(dbt, 0), 3u);
  EXPECT_EQ(m->Write(std::string(1100, 'b')), 10u);  // fits nowhere: appended
  dbt = ReadFileBytes(path);
  EXPECT_EQ(U32(dbt, 3 * 512), 13u);  // the last run points at the new end
  EXPECT_EQ(m->Write("c"), 4u);       // the tail of run 3-4
  EXPECT_EQ(m->Read(1), std::string(10, 'v'));
  EXPECT_EQ(m->Read(5), std::string(10, 'v'));
  EXPECT_EQ(m->Read(9), std::string(10, 'v'));
  EXPECT_EQ(m->Read(6), std::string(1100, 'a'));
  EXPECT_EQ(m->Read(10), std::string(1100, 'b'));
  EXPECT_EQ(m->Read(4), "c");
}

TEST(DbaseMemo, BrokenChainRefusesWritesButReads) {
  TempDir dir;
  std::string path = dir / "m.dbt";
  MemoFile::Create(path, MemoLayout::kDbase4, "M");
  {
    auto m = MemoFile::Open(path, "m.dbf", MemoLayout::kDbase4, true);
    for (int i = 0; i < 4; ++i) m->Write("valor");
  }
  std::string good = ReadFileBytes(path);
  struct Case {
    const char* what;
    std::vector<std::pair<size_t, uint32_t>> puts;
  } cases[] = {
      {"cycle", {{0, 2}, {2 * 512, 3}, {2 * 512 + 4, 1}, {3 * 512, 2}, {3 * 512 + 4, 1}}},
      {"run past the end", {{0, 3}, {3 * 512, 5}, {3 * 512 + 4, 9}}},
      {"overlapping runs", {{0, 2}, {2 * 512, 3}, {2 * 512 + 4, 2}, {3 * 512, 5}, {3 * 512 + 4, 1}}},
      {"empty run", {{0, 2}, {2 * 512, 5}, {2 * 512 + 4, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bad = good;
    for (auto [at, v] : c.puts) PutU32(bad, at, v);
    WriteFileBytes(path, bad);
    auto m = MemoFile::Open(path, "m.dbf", MemoLayout::kDbase4, true);
    EXPECT_EQ(m->Read(1), "valor");
    try {
      m->Write("nuevo");
      ADD_FAILURE() << "wrote into a broken chain";
    } catch (const engine::EngineError& e) {
      EXPECT_EQ(e.code(), engine::err::kBlobCorrupt);
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
    }
    EXPECT_EQ(ReadFileBytes(path), bad);
  }
}

TEST(DbaseMemo, DbaseIIILayoutAppendsOnly) {
  TempDir dir;
  std::string path = dir / "m.dbt";
  MemoFile::Create(path, MemoLayout::kDbase3, "M");
  auto m = MemoFile::Open(path, "m.dbf", MemoLayout::kDbase3, true);
  EXPECT_EQ(m->Write("uno"), 1u);
  EXPECT_EQ(m->Write(std::string(511, 'x')), 2u);  // with its 0x1A 0x1A: two blocks
  EXPECT_EQ(m->Write("tres"), 4u);
  m->Release(1);  // no reuse in this layout
  EXPECT_EQ(m->Write("cuatro"), 5u);
  std::string b = ReadFileBytes(path);
  EXPECT_EQ(U32(b, 0), 6u);
  EXPECT_EQ(b.substr(512, 5), "uno\x1A\x1A");
  EXPECT_EQ(m->Read(2), std::string(511, 'x'));
  EXPECT_EQ(m->Read(4), "tres");
}

}  // namespace
