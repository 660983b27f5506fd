// Record order, key violations, deletion, autoincrement, locks and the primary index of Paradox
// tables. The file checks read the .DB and .PX bytes directly, as another program would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "engine/bde.h"
#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace engine {
namespace {

using testing_support::CopyFile;
using testing_support::ReadFileBytes;
using testing_support::SamplesDir;
using testing_support::TempDir;

uint16_t U16(const std::string& b, size_t o) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[o]) | static_cast<uint8_t>(b[o + 1]) << 8);
}
int Short(const std::string& b, size_t o) {  // a Paradox short: big-endian, top bit flipped
  return static_cast<int16_t>((static_cast<uint8_t>(b[o]) << 8 | static_cast<uint8_t>(b[o + 1])) ^ 0x8000);
}

struct RawBlock {
  uint16_t number;
  int count;
  std::string first_record;
};

// The data blocks of a .DB in chain order.
std::vector<RawBlock> Chain(const std::string& db) {
  const size_t rec = U16(db, 0), head = U16(db, 2), block = static_cast<uint8_t>(db[5]) * 1024u;
  std::vector<RawBlock> out;
  for (uint16_t b = U16(db, 0x0E); b != 0 && out.size() < 100000;) {
    const size_t at = head + (b - 1) * block;
    const int16_t add = static_cast<int16_t>(U16(db, at + 4));
    out.push_back({b, add / static_cast<int>(rec) + 1, db.substr(at + 6, rec)});
    b = U16(db, at);
  }
  return out;
}

struct PxEntry {
  std::string key;
  int block, count;
};

// The entries of one .PX block.
std::vector<PxEntry> PxBlock(const std::string& px, int number) {
  const size_t rec = U16(px, 0), head = U16(px, 2), block = static_cast<uint8_t>(px[5]) * 1024u;
  const size_t at = head + (number - 1) * block;
  const int n = static_cast<int16_t>(U16(px, at + 4)) / static_cast<int>(rec) + 1;
  std::vector<PxEntry> out;
  for (int i = 0; i < n; ++i) {
    const size_t r = at + 6 + i * rec;
    out.push_back({px.substr(r, rec - 6), Short(px, r + rec - 6), Short(px, r + rec - 4)});
  }
  return out;
}

// The leaf entries of a .PX, walked from its root.
std::vector<PxEntry> PxLeaves(const std::string& px) {
  std::vector<PxEntry> level = PxBlock(px, U16(px, 0x1E));
  for (int l = static_cast<uint8_t>(px[0x20]); l > 1; --l) {
    std::vector<PxEntry> down;
    for (const auto& e : level) {
      auto child = PxBlock(px, e.block);
      int total = 0;
      for (const auto& c : child) total += c.count;
      EXPECT_EQ(total, e.count) << "an upper entry counts the records below it";
      EXPECT_EQ(child.front().key, e.key);
      down.insert(down.end(), child.begin(), child.end());
    }
    level = std::move(down);
  }
  return level;
}

void ExpectIndexMatchesTable(const std::string& db_path, const std::string& px_path, size_t key_len) {
  const std::string db = ReadFileBytes(db_path), px = ReadFileBytes(px_path);
  auto chain = Chain(db);
  auto leaves = PxLeaves(px);
  ASSERT_EQ(leaves.size(), chain.size());
  for (size_t i = 0; i < chain.size(); ++i) {
    EXPECT_EQ(leaves[i].block, chain[i].number);
    EXPECT_EQ(leaves[i].count, chain[i].count);
    EXPECT_EQ(leaves[i].key, chain[i].first_record.substr(0, key_len));
  }
}

TableDefinition KeyedDefinition(int key_width) {
  TableDefinition def;
  def.format = TableFormat::kParadox;
  def.level = 5;
  def.fields = {{"Clave", bde::fldPDXCHAR, static_cast<uint16_t>(key_width)},
                {"Linea", bde::fldPDXSHORT, 2},
                {"Valor", bde::fldPDXNUM, 8},
                {"Texto", bde::fldPDXCHAR, 60}};
  def.key_fields = 2;
  return def;
}

std::string Key(const TableStorage& t, uint64_t recno) {
  auto& tt = const_cast<TableStorage&>(t);
  std::string buf;
  tt.ReadRecord(recno, &buf);
  return tt.GetValue(buf, 0).s + testing_support::Numbered("/", tt.GetValue(buf, 1).i);
}

uint64_t Add(TableStorage& t, const std::string& key, int line, double value) {
  std::string buf = t.BlankRecord();
  t.SetValue(&buf, 0, Value::Text(key));
  t.SetValue(&buf, 1, Value::Integer(line));
  t.SetValue(&buf, 2, Value::Number(value));
  t.SetValue(&buf, 3, Value::Text("registro " + key.substr(0, 20)));
  return t.AppendRecord(buf);
}

TEST(ParadoxKeyed, RecordsStayInKeyOrderAcrossBlockSplitsAndReopening) {
  TempDir dir;
  const std::string path = dir / "ORDEN.DB";
  paradox::Create(path, KeyedDefinition(8));
  std::vector<std::string> keys;
  for (int i = 0; i < 600; ++i) {
    char k[16];
    std::snprintf(k, sizeof k, "C%05d", (i * 7919) % 100000);
    keys.push_back(k);
  }
  std::mt19937 rng(42);
  std::shuffle(keys.begin(), keys.end(), rng);
  {
    auto t = paradox::Open(path, OpenOptions{});
    for (size_t i = 0; i < keys.size(); ++i) {
      uint64_t rec = Add(*t, keys[i], static_cast<int>(i % 3), static_cast<double>(i));
      EXPECT_EQ(Key(*t, rec), keys[i] + testing_support::Numbered("/", i % 3));
    }
  }
  std::vector<std::string> sorted;
  for (size_t i = 0; i < keys.size(); ++i) sorted.push_back(keys[i] + testing_support::Numbered("/", i % 3));
  std::sort(sorted.begin(), sorted.end());
  auto t = paradox::Open(path, OpenOptions{});
  ASSERT_EQ(t->RecordCount(), keys.size());
  for (uint64_t r = 1; r <= t->RecordCount(); ++r) ASSERT_EQ(Key(*t, r), sorted[r - 1]) << "row " << r;
  auto chain = Chain(ReadFileBytes(path));
  EXPECT_GT(chain.size(), 10u);
  int total = 0;
  for (const auto& b : chain) total += b.count;
  EXPECT_EQ(total, 600);
  ExpectIndexMatchesTable(path, dir / "ORDEN.PX", 10);
}

TEST(ParadoxKeyed, DuplicateKeysAreRefusedAndKeyChangesMoveTheRecord) {
  TempDir dir;
  const std::string path = dir / "DUP.DB";
  paradox::Create(path, KeyedDefinition(8));
  auto t = paradox::Open(path, OpenOptions{});
  Add(*t, "B", 1, 1);
  Add(*t, "D", 1, 2);
  Add(*t, "A", 1, 3);
  Add(*t, "B", 2, 4);  // same first field, other second: a different key
  EXPECT_EQ(t->RecordCount(), 4u);
  try {
    Add(*t, "D", 1, 99);
    ADD_FAILURE() << "duplicate accepted";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), err::kKeyViolation);
    EXPECT_NE(std::string(e.what()).find("DUP.DB"), std::string::npos);
  }
  ASSERT_EQ(t->RecordCount(), 4u);
  EXPECT_EQ(Key(*t, 1), "A/1");
  EXPECT_EQ(Key(*t, 4), "D/1");

  // A/1 becomes E/1: it moves to the end.
  std::string buf, old;
  t->ReadRecord(1, &old);
  buf = old;
  t->SetValue(&buf, 0, Value::Text("E"));
  t->UpdateRecord(1, old, buf);
  EXPECT_EQ(Key(*t, 1), "B/1");
  EXPECT_EQ(Key(*t, 4), "E/1");
  t->ReadRecord(4, &buf);
  EXPECT_EQ(t->GetValue(buf, 2), Value::Number(3));

  // Changing B/1 into D/1 would duplicate a key.
  t->ReadRecord(1, &old);
  buf = old;
  t->SetValue(&buf, 0, Value::Text("D"));
  EXPECT_THROW(t->UpdateRecord(1, old, buf), EngineError);
  EXPECT_EQ(Key(*t, 1), "B/1");

  // A change outside the key stays in place.
  buf = old;
  t->SetValue(&buf, 2, Value::Number(-7.25));
  t->UpdateRecord(1, old, buf);
  t->ReadRecord(1, &buf);
  EXPECT_EQ(t->GetValue(buf, 2), Value::Number(-7.25));

  t->SetDeleted(2, true);  // B/2
  EXPECT_THROW(t->SetDeleted(1, false), EngineError);
  t->Flush();
  t.reset();
  t = paradox::Open(path, OpenOptions{});
  ASSERT_EQ(t->RecordCount(), 3u);
  EXPECT_EQ(Key(*t, 1), "B/1");
  EXPECT_EQ(Key(*t, 2), "D/1");
  EXPECT_EQ(Key(*t, 3), "E/1");
  ExpectIndexMatchesTable(path, dir / "DUP.PX", 10);
}

TEST(ParadoxKeyed, DeletingEveryRecordLeavesAnEmptyTableThatTakesNewOnes) {
  TempDir dir;
  const std::string path = dir / "VACIA.DB";
  paradox::Create(path, KeyedDefinition(8));
  {
    auto t = paradox::Open(path, OpenOptions{});
    for (int i = 0; i < 100; ++i) Add(*t, testing_support::Numbered("K", i), 0, i);
    while (t->RecordCount() > 0) t->SetDeleted(t->RecordCount() / 2 + 1, true);
  }
  const std::string db = ReadFileBytes(path);
  EXPECT_EQ(U16(db, 0x0E), 0);  // no first block
  EXPECT_EQ(U16(db, 0x06), 0);
  auto t = paradox::Open(path, OpenOptions{});
  EXPECT_EQ(t->RecordCount(), 0u);
  Add(*t, "Z", 0, 0);
  Add(*t, "A", 0, 0);
  EXPECT_EQ(Key(*t, 1), "A/0");
  t.reset();
  // The freed blocks were reused rather than the file grown.
  EXPECT_EQ(ReadFileBytes(path).size(), db.size());
}

// A keyed table whose rows are not in key order (another program left it needing a rebuild)
// still reads, but refuses changes that rely on the order.
TEST(ParadoxKeyed, OutOfOrderTablesReadButRefuseKeyedChanges) {
  TempDir dir;
  const std::string path = dir / "DESORDEN.DB";
  paradox::Create(path, KeyedDefinition(8));
  {
    auto t = paradox::Open(path, OpenOptions{});
    Add(*t, "A", 0, 1);
    Add(*t, "B", 0, 2);
  }
  std::string db = ReadFileBytes(path);
  const size_t rec = U16(db, 0), first = U16(db, 2) + 6;
  std::string a = db.substr(first, rec), b = db.substr(first + rec, rec);
  db.replace(first, rec, b);
  db.replace(first + rec, rec, a);
  testing_support::WriteFileBytes(path, db);
  auto t = paradox::Open(path, OpenOptions{});
  EXPECT_EQ(Key(*t, 1), "B/0");
  try {
    Add(*t, "C", 0, 3);
    ADD_FAILURE() << "added";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), err::kNotSupported);
  }
  EXPECT_EQ(t->RecordCount(), 2u);
  t.reset();
  EXPECT_EQ(ReadFileBytes(path), db);
}

TEST(ParadoxKeyed, LongKeysGiveAnIndexOfTwoLevels) {
  TempDir dir;
  const std::string path = dir / "LARGA.DB";
  paradox::Create(path, KeyedDefinition(200));
  {
    auto t = paradox::Open(path, OpenOptions{});
    for (int i = 0; i < 400; ++i) Add(*t, std::string(150, 'k') + std::to_string(1000 + i), 0, i);
  }
  const std::string px = ReadFileBytes(dir / "LARGA.PX");
  EXPECT_EQ(px[0x20], 2);  // levels
  ExpectIndexMatchesTable(path, dir / "LARGA.PX", 202);
}

TEST(ParadoxKeyed, RebuiltIndexOfARealTableEqualsTheOriginal) {
  if (SamplesDir().empty()) GTEST_SKIP() << testing_support::NoSamples();
  TempDir dir;
  const std::string src = SamplesDir() + "/paradox-python-pxlib/";
  CopyFile(src + "LAND.DB", dir / "LAND.DB");
  CopyFile(src + "LAND.PX", dir / "LAND.PX");
  const std::string original = ReadFileBytes(dir / "LAND.PX");
  {
    auto t = paradox::Open(dir / "LAND.DB", OpenOptions{});
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Text("ZZZ"));
    EXPECT_THROW(t->AppendRecord(buf), EngineError);  // LAND ends with ZZZ
    t->SetValue(&buf, 0, Value::Text("ZZX"));
    uint64_t rec = t->AppendRecord(buf);
    EXPECT_EQ(rec, 216u);  // between ZZW and ZZZ
    t->SetDeleted(rec, true);
  }
  const std::string rebuilt = ReadFileBytes(dir / "LAND.PX");
  EXPECT_EQ(U16(rebuilt, 0x1E), U16(original, 0x1E));
  EXPECT_EQ(rebuilt[0x20], original[0x20]);
  auto a = PxLeaves(original), b = PxLeaves(rebuilt);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].key, b[i].key);
    EXPECT_EQ(a[i].block, b[i].block);
    EXPECT_EQ(a[i].count, b[i].count);
  }
  // The data file is unchanged apart from the header's bookkeeping.
  const std::string db = ReadFileBytes(dir / "LAND.DB"), orig_db = ReadFileBytes(src + "LAND.DB");
  ASSERT_EQ(db.size(), orig_db.size());
  EXPECT_EQ(db.substr(U16(db, 2)), orig_db.substr(U16(db, 2)));
}

TEST(ParadoxUnkeyed, AppendsKeepArrivalOrderAndNumberAutoincrements) {
  TempDir dir;
  const std::string path = dir / "libre.db";
  TableDefinition def;
  def.format = TableFormat::kParadox;
  def.level = 5;
  def.fields = {{"Num", bde::fldPDXAUTOINC, 4}, {"Nombre", bde::fldPDXCHAR, 200}, {"Resto", bde::fldPDXCHAR, 200},
                {"Mas", bde::fldPDXCHAR, 200}, {"Fin", bde::fldPDXCHAR, 200}, {"Ultimo", bde::fldPDXCHAR, 200}};
  paradox::Create(path, def);
  EXPECT_FALSE(testing_support::FileExists(dir / "libre.px"));
  EXPECT_EQ(ReadFileBytes(path)[5], 2);  // 2 KB blocks, two 1004-byte records in each
  {
    auto t = paradox::Open(path, OpenOptions{});
    for (int i = 0; i < 9; ++i) {
      std::string buf = t->BlankRecord();
      t->SetValue(&buf, 1, Value::Text(std::string(1, static_cast<char>('z' - i))));
      EXPECT_EQ(t->AppendRecord(buf), static_cast<uint64_t>(i + 1));
    }
    t->SetDeleted(1, true);
  }
  auto t = paradox::Open(path, OpenOptions{});
  ASSERT_EQ(t->RecordCount(), 8u);
  for (uint64_t r = 1; r <= 8; ++r) {
    std::string buf;
    t->ReadRecord(r, &buf);
    EXPECT_EQ(t->GetValue(buf, 0), Value::Integer(static_cast<int64_t>(r + 1)));
    EXPECT_EQ(t->GetValue(buf, 1), Value::Text(std::string(1, static_cast<char>('z' - r))));
  }
  std::string buf = t->BlankRecord();
  t->SetValue(&buf, 0, Value::Integer(50));  // an explicit number moves the counter on
  t->AppendRecord(buf);
  buf = t->BlankRecord();
  t->ReadRecord(t->AppendRecord(buf), &buf);
  EXPECT_EQ(t->GetValue(buf, 0), Value::Integer(51));
}

TEST(ParadoxStorage, LocksAndReadOnly) {
  TempDir dir;
  const std::string path = dir / "LOCK.DB";
  paradox::Create(path, KeyedDefinition(8));
  OpenOptions excl;
  excl.exclusive = true;
  {
    auto a = paradox::Open(path, excl);
    try {
      paradox::Open(path, OpenOptions{});
      ADD_FAILURE() << "opened while held exclusively";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), err::kTableInUse);
      EXPECT_NE(std::string(e.what()).find("LOCK.DB"), std::string::npos);
    }
  }
  auto shared1 = paradox::Open(path, OpenOptions{});
  auto shared2 = paradox::Open(path, OpenOptions{});
  EXPECT_THROW(paradox::Open(path, excl), EngineError);
  shared1.reset();
  shared2.reset();
  OpenOptions ro;
  ro.read_only = true;
  auto r = paradox::Open(path, ro);
  std::string buf = r->BlankRecord();
  r->SetValue(&buf, 0, Value::Text("A"));
  EXPECT_THROW(r->AppendRecord(buf), EngineError);
  EXPECT_EQ(r->RecordCount(), 0u);
}

TEST(ParadoxStorage, ValuesThatDoNotFitAreRefused) {
  TempDir dir;
  const std::string path = dir / "RANGO.DB";
  TableDefinition def;
  def.format = TableFormat::kParadox;
  def.level = 5;
  def.codepage = 850;
  def.fields = {{"A", bde::fldPDXCHAR, 3}, {"S", bde::fldPDXSHORT, 2}, {"I", bde::fldPDXLONG, 4},
                {"B", bde::fldPDXBCD, 2},  {"T", bde::fldPDXTIME, 4},  {"L", bde::fldPDXBOOL, 1}};
  paradox::Create(path, def);
  auto t = paradox::Open(path, OpenOptions{});
  std::string buf = t->BlankRecord();
  auto code = [&](int field, const Value& v) -> DBIResult {
    try {
      t->SetValue(&buf, field, v);
    } catch (const EngineError& e) {
      EXPECT_NE(std::string(e.what()).find("RANGO.DB"), std::string::npos);
      return e.code();
    }
    return err::kNone;
  };
  EXPECT_EQ(code(0, Value::Text("abcd")), err::kValueOutOfRange);
  EXPECT_EQ(code(0, Value::Text("€")), err::kConversion);  // not in code page 850
  EXPECT_EQ(code(0, Value::Text("ñÑç")), err::kNone);
  EXPECT_EQ(code(1, Value::Integer(32768)), err::kValueOutOfRange);
  EXPECT_EQ(code(1, Value::Integer(-32768)), err::kValueOutOfRange);  // its bytes mean NULL
  EXPECT_EQ(code(2, Value::Integer(int64_t{1} << 31)), err::kValueOutOfRange);
  EXPECT_EQ(code(3, Value::Number(0, "1234567890123456789012345678901.1")), err::kValueOutOfRange);
  EXPECT_EQ(code(3, Value::Number(0, "1.005")), err::kNone);  // rounds to 1.01
  EXPECT_EQ(t->GetValue(buf, 3).s, "1.01");
  EXPECT_EQ(code(4, Value::Time(kMsPerDay)), err::kValueOutOfRange);
  EXPECT_EQ(code(5, Value::Text("T")), err::kConversion);
  EXPECT_EQ(t->GetValue(buf, 0), Value::Text("ñÑç"));
}

}  // namespace
}  // namespace engine
