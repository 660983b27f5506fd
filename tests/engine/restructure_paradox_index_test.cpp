// Secondary indexes through a restructure of a Paradox table: the sample joins/C.DB (keyed on C,
// indexes on A and B as Paradox 5 wrote them, B's in the reverse order of the table) keeps its
// indexes when fields move, are added, widened or renamed (an indexed one too); dropping an
// indexed field drops just its index; changes the engine cannot follow are refused with nothing
// changed; and a failure or
// a crash at any step leaves the old or the new table with index files that match it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "engine/database.h"
#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "engine/restructure.h"
#include "engine/table.h"
#include "tests/support/add_amounts.h"
#include "tests/support/fault_fs.h"
#include "tests/support/paradox_indexes.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using testing_support::FaultInjectionFileSystem;
using testing_support::IndexFileNames;
using testing_support::IndexOrders;
using testing_support::ReadFileBytes;
using testing_support::SamplesDir;
using testing_support::ScopedFileSystem;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

#define REQUIRE_SAMPLES() \
  if (SamplesDir().empty()) GTEST_SKIP() << testing_support::NoSamples()

std::string Long(int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v) ^ 0x80000000u;
  return {static_cast<char>(u >> 24), static_cast<char>((u >> 16) & 0xFF), static_cast<char>((u >> 8) & 0xFF),
          static_cast<char>(u & 0xFF)};
}

// C.DB and its indexes (its .VAL holds referential integrity, left out unless asked for), with
// B = 6, 5, 4 in rows C = 1, 2, 3 and B's index rewritten to match.
void MakeC(const std::string& dir, bool with_val = false) {
  const std::string from = SamplesDir() + "/paradox-paradoxdriver/joins/";
  for (const char* f : {"C.DB", "C.PX", "C.X02", "C.Y02", "C.X03", "C.Y03"}) testing_support::CopyFile(from + f, dir + "/" + f);
  if (with_val) testing_support::CopyFile(from + "C.VAL", dir + "/C.VAL");
  std::string db = ReadFileBytes(dir + "/C.DB");
  for (int r = 0; r < 3; ++r) db.replace(0x800 + 6 + r * 12 + 8, 4, Long(6 - r));
  WriteFileBytes(dir + "/C.DB", db);
  std::string x = ReadFileBytes(dir + "/C.X03");
  for (int i = 0; i < 3; ++i) x.replace(0x800 + 6 + i * 10, 8, Long(4 + i) + Long(3 - i));
  WriteFileBytes(dir + "/C.X03", x);
  std::string y = ReadFileBytes(dir + "/C.Y03");
  y.replace(0x800 + 6, 8, Long(4) + Long(3));
  WriteFileBytes(dir + "/C.Y03", y);
}

bde::FLDDesc Rec(uint16_t num, const char* name, uint16_t type, int u1) {
  return testing_support::FieldRecord(num, name, type, u1);
}

void Restructure(const std::string& dir, std::vector<bde::FLDDesc> f, std::vector<bde::CROpType> ops) {
  testing_support::RestructureWith(dir, "C.DB", std::move(f), std::move(ops));
}

// Adds NOTA between the key and A: A and B become fields 3 and 4 (.X02 -> .X03, .X03 -> .X04).
void InsertNota(const std::string& dir) {
  Restructure(dir,
              {Rec(1, "C", bde::fldPDXLONG, 4), Rec(0, "NOTA", bde::fldPDXCHAR, 10), Rec(2, "A", bde::fldPDXLONG, 4),
               Rec(3, "B", bde::fldPDXLONG, 4)},
              {bde::crNOOP, bde::crADD, bde::crNOOP, bde::crNOOP});
}

const std::map<std::string, std::vector<int64_t>> kBoth = {{"A", {1, 2, 3}}, {"B", {3, 2, 1}}};

TEST(RestructureParadoxIndexes, IndexesSurviveMovingAddingWideningAndRenamingOtherFields) {
  REQUIRE_SAMPLES();
  TempDir d;
  MakeC(d.path());
  std::vector<std::string> problems;
  ASSERT_EQ(IndexOrders(d / "C.DB", &problems), kBoth);
  ASSERT_TRUE(problems.empty());

  InsertNota(d.path());
  EXPECT_EQ(IndexFileNames(d.path()), (std::set<std::string>{"C.X03", "C.Y03", "C.X04", "C.Y04"}));
  EXPECT_EQ(IndexOrders(d / "C.DB", &problems), kBoth);
  EXPECT_TRUE(problems.empty()) << problems.front();

  // NOTA widened and renamed, and moved after B: A and B go back to fields 2 and 3.
  Restructure(d.path(),
              {Rec(1, "C", bde::fldPDXLONG, 4), Rec(3, "A", bde::fldPDXLONG, 4), Rec(4, "B", bde::fldPDXLONG, 4),
               Rec(2, "OBSERVACIONES", bde::fldPDXCHAR, 40)},
              {bde::crNOOP, bde::crNOOP, bde::crNOOP, bde::crMODIFY});
  EXPECT_EQ(IndexFileNames(d.path()), (std::set<std::string>{"C.X02", "C.Y02", "C.X03", "C.Y03"}));
  EXPECT_EQ(IndexOrders(d / "C.DB", &problems), kBoth);
  EXPECT_TRUE(problems.empty()) << problems.front();
  auto t = OpenStorage(d / "C.DB", TableFormat::kParadox, {false, true});
  EXPECT_EQ(t->Fields()[3].name, "OBSERVACIONES");
  EXPECT_EQ(t->Fields()[3].size, 40);
  t.reset();

  // An indexed field renamed: its index is rebuilt under the field's new name.
  Restructure(d.path(),
              {Rec(1, "C", bde::fldPDXLONG, 4), Rec(2, "ALFA", bde::fldPDXLONG, 4), Rec(3, "B", bde::fldPDXLONG, 4),
               Rec(4, "OBSERVACIONES", bde::fldPDXCHAR, 40)},
              {bde::crNOOP, bde::crMODIFY, bde::crNOOP, bde::crNOOP});
  EXPECT_EQ(IndexFileNames(d.path()), (std::set<std::string>{"C.X02", "C.Y02", "C.X03", "C.Y03"}));
  const std::map<std::string, std::vector<int64_t>> renamed = {{"ALFA", {1, 2, 3}}, {"B", {3, 2, 1}}};
  EXPECT_EQ(IndexOrders(d / "C.DB", &problems), renamed);
  EXPECT_TRUE(problems.empty()) << problems.front();
}

// Adding a field after the others moves no field and no row: the rebuilt index files are then
// the ones Paradox wrote, but for what a new table changes (the change count in .X byte 0x2E), the
// in-memory pointers Paradox leaves after the field list (written as zeros) and the name slot.
TEST(RestructureParadoxIndexes, RebuiltSampleIndexesHaveTheBytesParadoxWrote) {
  REQUIRE_SAMPLES();
  TempDir d;
  const std::string from = SamplesDir() + "/paradox-paradoxdriver/joins/";
  for (const char* f : {"C.DB", "C.PX", "C.X02", "C.Y02", "C.X03", "C.Y03"}) testing_support::CopyFile(from + f, d / f);
  Restructure(d.path(),
              {Rec(1, "C", bde::fldPDXLONG, 4), Rec(2, "A", bde::fldPDXLONG, 4), Rec(3, "B", bde::fldPDXLONG, 4),
               Rec(0, "NOTA", bde::fldPDXCHAR, 10)},
              {bde::crNOOP, bde::crNOOP, bde::crNOOP, bde::crADD});
  for (const char* f : {"C.X02", "C.Y02", "C.X03", "C.Y03"}) {
    const std::string was = ReadFileBytes(from + f), now = ReadFileBytes(d / f);
    ASSERT_EQ(now.size(), was.size()) << f;
    const bool x = f[2] == 'X';
    // .X: fields at 0x78 (3 of them), pointers to 0x8E, name slot (0x4F bytes); .Y: fields at
    // 0x58 (2), pointer to 0x60, name slot.
    const size_t pointers = x ? 0x7E : 0x5C, names = x ? 0x8E : 0x60, end = names + 0x4F;
    for (size_t i = 0; i < was.size(); ++i) {
      if ((x && i == 0x2E) || (i >= pointers && i < end)) continue;
      ASSERT_EQ(now[i], was[i]) << f << " byte 0x" << std::hex << i;
    }
    EXPECT_EQ(now.substr(names, 6), std::string(f) + '\0') << f;
  }
  EXPECT_EQ(ReadFileBytes(d / "C.X02")[0x2E], ReadFileBytes(d / "C.DB")[0x2E]);
}

TEST(RestructureParadoxIndexes, DroppingAnIndexedFieldDropsExactlyItsIndex) {
  REQUIRE_SAMPLES();
  TempDir d;
  MakeC(d.path());
  Restructure(d.path(), {Rec(1, "C", bde::fldPDXLONG, 4), Rec(3, "B", bde::fldPDXLONG, 4)}, {bde::crNOOP, bde::crNOOP});
  EXPECT_EQ(IndexFileNames(d.path()), (std::set<std::string>{"C.X02", "C.Y02"}));
  std::vector<std::string> problems;
  const std::map<std::string, std::vector<int64_t>> only_b = {{"B", {3, 2, 1}}};
  EXPECT_EQ(IndexOrders(d / "C.DB", &problems), only_b);
  EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST(RestructureParadoxIndexes, ChangesTheIndexesCannotFollowAreRefusedWithNothingChanged) {
  REQUIRE_SAMPLES();
  struct Case {
    const char* what;
    bool with_val;
    std::vector<bde::FLDDesc> fields;
    std::vector<bde::CROpType> ops;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"an indexed field retyped", false,
       {Rec(1, "C", bde::fldPDXLONG, 4), Rec(2, "A", bde::fldPDXLONG, 4), Rec(3, "B", bde::fldPDXNUM, 8)},
       {bde::crNOOP, bde::crNOOP, bde::crMODIFY}, "índice secundario B"},
      {"the key field retyped", false,
       {Rec(1, "C", bde::fldPDXNUM, 8), Rec(2, "A", bde::fldPDXLONG, 4), Rec(3, "B", bde::fldPDXLONG, 4)},
       {bde::crMODIFY, bde::crNOOP, bde::crNOOP}, "campo clave C"},
      {"a field of a referential-integrity link moved", true,
       {Rec(1, "C", bde::fldPDXLONG, 4), Rec(0, "NOTA", bde::fldPDXCHAR, 10), Rec(2, "A", bde::fldPDXLONG, 4),
        Rec(3, "B", bde::fldPDXLONG, 4)},
       {bde::crNOOP, bde::crADD, bde::crNOOP, bde::crNOOP}, "«Reference A»"},
  };
  for (const Case& c : cases) {
    TempDir d;
    MakeC(d.path(), c.with_val);
    std::map<std::string, std::string> before;
    for (const auto& e : fs::directory_iterator(d.path())) before[e.path().filename().string()] = ReadFileBytes(e.path().string());
    try {
      Restructure(d.path(), c.fields, c.ops);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const EngineError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << c.what << ": " << e.what();
    }
    std::map<std::string, std::string> after;
    for (const auto& e : fs::directory_iterator(d.path())) after[e.path().filename().string()] = ReadFileBytes(e.path().string());
    EXPECT_TRUE(after == before) << c.what;
  }
}

TEST(RestructureParadoxIndexes, FailureOrCrashAtAnyStepLeavesATableWithMatchingIndexes) {
  REQUIRE_SAMPLES();
  TempDir seed;
  MakeC(seed.path());
  const std::set<std::string> old_files = IndexFileNames(seed.path());
  uint64_t total = 0;
  std::set<std::string> new_files;
  {
    TempDir d;
    for (const auto& e : fs::directory_iterator(seed.path())) fs::copy(e.path(), d / e.path().filename().string());
    FaultInjectionFileSystem counting;
    {
      ScopedFileSystem use(&counting);
      InsertNota(d.path());
    }
    total = counting.mutating_ops();
    new_files = IndexFileNames(d.path());
  }
  ASSERT_GT(total, 10u);
  ASSERT_NE(old_files, new_files);
  for (int crash = 0; crash < 2; ++crash) {
    for (uint64_t n = 1; n <= total; ++n) {
      TempDir d;
      for (const auto& e : fs::directory_iterator(seed.path())) fs::copy(e.path(), d / e.path().filename().string());
      testing_support::RunWithFaultAt(n, crash != 0, [&] { InsertNota(d.path()); });
      TTable t;  // opening finishes or rolls back an interrupted swap
      t.SetDatabaseName(d.path());
      t.SetTableName("C.DB");
      t.Open();
      const int fields = t.FieldCount();
      t.Close();
      const std::string when = std::string(crash ? "crash" : "failure") + " at step " + std::to_string(n);
      const std::set<std::string> files = IndexFileNames(d.path());
      EXPECT_EQ(files, fields == 3 ? old_files : new_files) << when;
      std::vector<std::string> problems;
      EXPECT_EQ(IndexOrders(d / "C.DB", &problems), kBoth) << when;
      EXPECT_TRUE(problems.empty()) << when << ": " << problems.front();
    }
  }
}

}  // namespace
}  // namespace engine
