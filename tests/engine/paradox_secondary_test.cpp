// Secondary indexes of Paradox tables (.Xnn/.Ynn) as Paradox 5 wrote them beside the sample
// table joins/C.DB (keyed on C, with maintained indexes on A and B): listed, walked in their
// order, checked against the rows, damage found, and kept true through writes to the table.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <tuple>
#include <algorithm>

#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "engine/table.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

using testing_support::ReadFileBytes;
using testing_support::SamplesDir;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

#define REQUIRE_SAMPLES() \
  if (SamplesDir().empty()) GTEST_SKIP() << testing_support::NoSamples()

const char* const kJoins = "/paradox-paradoxdriver/joins/";

// Copies C.DB with its .PX, .VAL and index files into `dir`.
void CopyC(const std::string& dir) {
  for (const char* f : {"C.DB", "C.PX", "C.VAL", "C.X02", "C.Y02", "C.X03", "C.Y03"})
    testing_support::CopyFile(SamplesDir() + kJoins + f, dir + "/" + f);
}

std::unique_ptr<TableStorage> OpenRead(const std::string& path) {
  OpenOptions o;
  o.read_only = true;
  return paradox::Open(path, o);
}

std::vector<uint64_t> Walk(TableStorage& t, const std::string& tag, std::optional<Value> eq = std::nullopt) {
  std::vector<uint64_t> out;
  auto w = t.WalkTag(tag, eq);
  uint64_t r = 0;
  while (w->Next(&r)) out.push_back(r);
  return out;
}

// A Long value as Paradox stores it: big-endian with the sign bit flipped.
std::string Long(int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v) ^ 0x80000000u;
  return {static_cast<char>(u >> 24), static_cast<char>((u >> 16) & 0xFF), static_cast<char>((u >> 8) & 0xFF),
          static_cast<char>(u & 0xFF)};
}

// Offsets in C's files: one 2 KB header, one data block; .DB records (C, A, B) of 12 bytes,
// .X03 records (B, C, block) of 10 bytes, .Y03 entries (B, C, block, count, 0) of 14 bytes.
size_t DbField(int row, int field) { return 0x800 + 6 + row * 12 + field * 4; }
size_t XRecord(int i) { return 0x800 + 6 + i * 10; }

// Gives the rows C = 1, 2, 3 the B values 6, 5, 4 (they had 4, 5, 6) and writes the index on B
// to match, so that its order is the reverse of the table's.
void ReverseB(const std::string& dir) {
  std::string db = ReadFileBytes(dir + "/C.DB");
  for (int r = 0; r < 3; ++r) db.replace(DbField(r, 2), 4, Long(6 - r));
  WriteFileBytes(dir + "/C.DB", db);
  std::string x = ReadFileBytes(dir + "/C.X03");
  for (int i = 0; i < 3; ++i) x.replace(XRecord(i), 8, Long(4 + i) + Long(3 - i));
  WriteFileBytes(dir + "/C.X03", x);
  std::string y = ReadFileBytes(dir + "/C.Y03");
  y.replace(0x800 + 6, 8, Long(4) + Long(3));
  WriteFileBytes(dir + "/C.Y03", y);
}

bool Mentions(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& l : lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

TEST(ParadoxSecondary, SampleIndexesAreListedWalkedAndCheckClean) {
  REQUIRE_SAMPLES();
  auto c = OpenRead(SamplesDir() + kJoins + "C.DB");
  auto tags = c->Tags();
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0].name, "A");
  EXPECT_EQ(tags[1].name, "B");
  EXPECT_EQ(tags[1].expression, "B");
  EXPECT_TRUE(tags[0].problem.empty() && tags[1].problem.empty());
  const auto* set = paradox::SecondaryIndexesOf(*c);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->Indexes()[1].fields, std::vector<int>{2});
  EXPECT_TRUE(set->Indexes()[1].maintained);
  EXPECT_FALSE(set->Indexes()[1].files.composite);
  EXPECT_EQ(Walk(*c, "a"), (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(Walk(*c, "B", Value::Integer(5)), std::vector<uint64_t>{2});
  EXPECT_TRUE(Walk(*c, "B", Value::Integer(7)).empty());
  auto report = paradox::CheckSecondaryIndexes(*c);
  EXPECT_TRUE(report.problems.empty()) << report.problems.front();
  EXPECT_THROW(c->WalkTag("NINGUNO", std::nullopt), EngineError);

  for (const char* name : {"fk1.db", "multiple.db"}) {
    auto t = OpenRead(SamplesDir() + kJoins + name);
    std::vector<std::string> names;
    for (const auto& tag : t->Tags()) {
      names.push_back(tag.name);
      EXPECT_TRUE(Walk(*t, tag.name).empty()) << name;  // empty tables, empty indexes
    }
    const std::vector<std::string> want =
        std::string(name) == "fk1.db" ? std::vector<std::string>{"FK"} : std::vector<std::string>{"FK", "FK2"};
    EXPECT_EQ(names, want);
    EXPECT_TRUE(paradox::CheckSecondaryIndexes(*t).problems.empty()) << name;
  }
}

TEST(ParadoxSecondary, TableObjectsFollowTheIndexOrder) {
  REQUIRE_SAMPLES();
  TempDir d;
  CopyC(d.path());
  ReverseB(d.path());
  {
    auto t = OpenRead(d / "C.DB");
    EXPECT_EQ(Walk(*t, "B"), (std::vector<uint64_t>{3, 2, 1}));
    EXPECT_EQ(Walk(*t, "A"), (std::vector<uint64_t>{1, 2, 3}));
    auto report = paradox::CheckSecondaryIndexes(*t);
    EXPECT_TRUE(report.problems.empty()) << report.problems.front();
  }
  TTable t;
  t.SetDatabaseName(d.path());
  t.SetTableName("C.DB");
  t.SetIndexName("B");
  t.Open();
  std::vector<int64_t> keys;
  for (t.First(); !t.Eof(); t.Next()) keys.push_back(t.FieldByName("C")->AsInteger());
  EXPECT_EQ(keys, (std::vector<int64_t>{3, 2, 1}));
  t.Close();
}

TEST(ParadoxSecondary, CheckFindsEachKindOfDamage) {
  REQUIRE_SAMPLES();
  struct Case {
    const char* what;
    void (*damage)(const std::string& dir);
    const char* expected;
  };
  const Case cases[] = {
      {"a row's block number", [](const std::string& dir) {
         std::string x = ReadFileBytes(dir + "/C.X03");
         x[XRecord(1) + 9] = 2;  // block 2: the table has one block
         WriteFileBytes(dir + "/C.X03", x);
       }, "bloque 2"},
      {"another version of the table", [](const std::string& dir) {
         std::string x = ReadFileBytes(dir + "/C.X03");
         x[0x2E] = static_cast<char>(x[0x2E] + 1);
         WriteFileBytes(dir + "/C.X03", x);
       }, "otra versión"},
      {"a row changed behind the index", [](const std::string& dir) {
         std::string db = ReadFileBytes(dir + "/C.DB");
         db.replace(DbField(1, 2), 4, Long(9));
         WriteFileBytes(dir + "/C.DB", db);
       }, "no corresponde"},
      {"entries out of order", [](const std::string& dir) {
         std::string x = ReadFileBytes(dir + "/C.X03");
         const std::string first = x.substr(XRecord(0), 10);
         x.replace(XRecord(0), 10, x.substr(XRecord(1), 10));
         x.replace(XRecord(1), 10, first);
         WriteFileBytes(dir + "/C.X03", x);
       }, "no están en orden"},
      {"a .Y that does not describe the .X", [](const std::string& dir) {
         std::string y = ReadFileBytes(dir + "/C.Y03");
         y.replace(0x800 + 6, 4, Long(5));
         WriteFileBytes(dir + "/C.Y03", y);
       }, "no describe"},
      {"a missing .Y", [](const std::string& dir) { std::filesystem::remove(dir + "/C.Y03"); }, "falta su fichero .Y"},
  };
  for (const Case& c : cases) {
    TempDir d;
    CopyC(d.path());
    c.damage(d.path());
    auto t = OpenRead(d / "C.DB");
    auto report = paradox::CheckSecondaryIndexes(*t);
    EXPECT_TRUE(Mentions(report.problems, c.expected)) << c.what;
    EXPECT_TRUE(Mentions(report.problems, "Índice B")) << c.what;
    EXPECT_FALSE(Mentions(report.problems, "Índice A")) << c.what;
  }
}

TEST(ParadoxSecondary, AnUnreadableIndexIsListedWithItsProblemAndTheTableStillOpens) {
  REQUIRE_SAMPLES();
  for (int variant = 0; variant < 4; ++variant) {
    TempDir d;
    CopyC(d.path());
    std::string x = ReadFileBytes(d / "C.X03");
    if (variant == 0) x[0x04] = 2;                     // not an index
    if (variant == 1) x.resize(40);                    // cut inside the header
    if (variant == 2) x[0x78] = 0x01;                  // B is no longer a Long
    if (variant == 3) x[0x15] = 2;                     // the name says field 3, the header field 2
    WriteFileBytes(d / "C.X03", x);
    auto t = OpenRead(d / "C.DB");
    auto tags = t->Tags();
    ASSERT_EQ(tags.size(), 2u) << variant;
    EXPECT_TRUE(tags[0].problem.empty()) << variant;
    EXPECT_FALSE(tags[1].problem.empty()) << variant;
    EXPECT_EQ(Walk(*t, "A").size(), 3u);
    try {
      t->WalkTag(tags[1].name, std::nullopt);
      ADD_FAILURE() << "walked a damaged index, variant " << variant;
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), err::kIndexCorrupt) << variant;
    }
    EXPECT_FALSE(paradox::CheckSecondaryIndexes(*t).problems.empty()) << variant;
  }
}

// C's indexes hold Long keys, whose order is their bytes': appending, changing and deleting rows
// rewrites them when the table is flushed, each still in its order and checking clean.
TEST(ParadoxSecondary, WritesToAnIndexedTableKeepItsIndexesTrue) {
  REQUIRE_SAMPLES();
  TempDir d;
  CopyC(d.path());
  {
    auto t = paradox::Open(d / "C.DB", OpenOptions{});
    std::string rec = t->BlankRecord();
    t->SetValue(&rec, 0, Value::Integer(9));
    t->SetValue(&rec, 1, Value::Integer(-7));
    t->SetValue(&rec, 2, Value::Integer(100));
    t->AppendRecord(rec);
    std::string row;
    t->ReadRecord(2, &row);
    std::string changed = row;
    t->SetValue(&changed, 2, Value::Integer(-50));
    t->UpdateRecord(2, row, changed);
    t->SetDeleted(1, true);
  }
  auto t = OpenRead(d / "C.DB");
  ASSERT_EQ(t->RecordCount(), 3u);
  // Row numbers in the order of field `f`'s values (then C, the primary key).
  auto by = [&](int f) {
    std::vector<std::tuple<int64_t, int64_t, uint64_t>> keys;
    std::string buf;
    for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
      t->ReadRecord(r, &buf);
      keys.emplace_back(t->GetValue(buf, f).i, t->GetValue(buf, 0).i, r);
    }
    std::sort(keys.begin(), keys.end());
    std::vector<uint64_t> out;
    for (const auto& k : keys) out.push_back(std::get<2>(k));
    return out;
  };
  EXPECT_EQ(Walk(*t, "A"), by(1));
  EXPECT_EQ(Walk(*t, "B"), by(2));
  EXPECT_EQ(Walk(*t, "B").front(), 1u);  // the changed row, B = -50
  auto report = paradox::CheckSecondaryIndexes(*t);
  EXPECT_TRUE(report.problems.empty()) << report.problems.front();
}

}  // namespace
}  // namespace engine
