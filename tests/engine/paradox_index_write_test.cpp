// Secondary indexes the engine writes: single-field, composite and descending indexes built from a
// table's rows at levels 4, 5 and 7 walk in their keys' order and check clean; a restructure that
// moves, widens, renames and adds fields rebuilds every index whose fields survive (renumbering
// .Xnn files and renaming single-field indexes with their field), drops exactly the indexes of a
// dropped field, carries over what it cannot interpret (an order that is not the bytes' order, the
// header bytes it does not set), and a failure or a crash at any step leaves the old or the new
// table with all its index files matching it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "engine/database.h"
#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "engine/restructure.h"
#include "engine/table.h"
#include "tests/support/add_amounts.h"
#include "tests/support/fault_fs.h"
#include "tests/support/paradox_indexes.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using testing_support::IndexFileNames;
using testing_support::IndexOrders;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

struct Row {
  int id;
  std::string nombre, ciudad;
  double saldo;
};

// Names whose byte order differs from their order without letter case, and repeated values.
const std::vector<Row> kRows = {
    {1, "ana", "Zaragoza", 10.5}, {2, "Bea", "Avila", -3},    {3, "carlos", "Avila", 99},
    {4, "Ana", "Zaragoza", 10.5}, {5, "beatriz", "Lugo", 0},  {6, "Daniel", "Lugo", -50.25},
    {7, "ana", "Avila", 7},       {8, "Zoe", "Zaragoza", 1e6},
};

// The ids in the order of a key (then the id, as the primary key ends every index key).
template <typename Key>
std::vector<int64_t> OrderBy(Key key, bool descending = false) {
  std::vector<Row> rows = kRows;
  std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
    auto ka = std::make_tuple(key(a), a.id), kb = std::make_tuple(key(b), b.id);
    return descending ? kb < ka : ka < kb;
  });
  std::vector<int64_t> out;
  for (const Row& r : rows) out.push_back(r.id);
  return out;
}

const std::vector<int64_t> kByNombre = OrderBy([](const Row& r) { return r.nombre; });
const std::vector<int64_t> kBySaldo = OrderBy([](const Row& r) { return r.saldo; });
const std::vector<int64_t> kByCiudadNombre = OrderBy([](const Row& r) { return std::make_tuple(r.ciudad, r.nombre); });
const std::vector<int64_t> kBySaldoDown = OrderBy([](const Row& r) { return r.saldo; }, true);

// T.DB keyed on ID: ID, NOMBRE, CIUDAD, SALDO, NOTA, with kRows, and its indexes: NOMBRE, SALDO,
// the composite CIUDAD_NOMBRE, and at level 7 the descending SALDO_DESC.
void MakeTable(const std::string& dir, int level) {
  TableDefinition def;
  def.format = TableFormat::kParadox;
  def.level = level;
  def.key_fields = 1;
  def.fields = {{"ID", bde::fldPDXSHORT, 2},
                {"NOMBRE", bde::fldPDXCHAR, 12},
                {"CIUDAD", bde::fldPDXCHAR, 10},
                {"SALDO", bde::fldPDXNUM, 8},
                {"NOTA", bde::fldPDXCHAR, 5}};
  paradox::Create(dir + "/T.DB", def);
  auto t = paradox::Open(dir + "/T.DB", OpenOptions{});
  for (const Row& r : kRows) {
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Integer(r.id));
    t->SetValue(&buf, 1, Value::Text(r.nombre));
    t->SetValue(&buf, 2, Value::Text(r.ciudad));
    t->SetValue(&buf, 3, Value::Number(r.saldo));
    t->AppendRecord(buf);
  }
  paradox::IndexDefinition nombre;
  nombre.fields = {1};
  paradox::CreateSecondaryIndex(*t, nombre);
  paradox::IndexDefinition saldo;
  saldo.fields = {3};
  saldo.maintained = false;
  paradox::CreateSecondaryIndex(*t, saldo);
  paradox::IndexDefinition both;
  both.fields = {2, 1};
  both.composite = true;
  both.name = "CIUDAD_NOMBRE";
  paradox::CreateSecondaryIndex(*t, both);
  if (level == 7) {
    paradox::IndexDefinition down;
    down.fields = {3};
    down.composite = true;
    down.descending = true;
    down.name = "SALDO_DESC";
    paradox::CreateSecondaryIndex(*t, down);
  }
}

bde::FLDDesc Rec(uint16_t num, const char* name, uint16_t type, int u1) {
  return testing_support::FieldRecord(num, name, type, u1);
}

void Restructure(const std::string& dir, std::vector<bde::FLDDesc> f, std::vector<bde::CROpType> ops) {
  testing_support::RestructureWith(dir, "T.DB", std::move(f), std::move(ops));
}

// Adds EXTRA after the key: every other field moves one place on.
void AddExtra(const std::string& dir) {
  Restructure(dir,
              {Rec(1, "ID", bde::fldPDXSHORT, 0), Rec(0, "EXTRA", bde::fldPDXCHAR, 8),
               Rec(2, "NOMBRE", bde::fldPDXCHAR, 12), Rec(3, "CIUDAD", bde::fldPDXCHAR, 10),
               Rec(4, "SALDO", bde::fldPDXNUM, 0), Rec(5, "NOTA", bde::fldPDXCHAR, 5)},
              {bde::crNOOP, bde::crADD, bde::crNOOP, bde::crNOOP, bde::crNOOP, bde::crNOOP});
}

// Opens T.DB in `dir` and appends a row: refused as not supported, with a message naming `what`.
void ExpectAppendRefused(const std::string& dir, const std::string& what) {
  auto t = paradox::Open(dir + "/T.DB", OpenOptions{});
  std::string rec = t->BlankRecord();
  t->SetValue(&rec, 0, Value::Integer(20));
  try {
    t->AppendRecord(rec);
    ADD_FAILURE() << "append accepted";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), err::kNotSupported);
    EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
  }
}

std::map<std::string, std::vector<int64_t>> Expected(int level, const std::string& nombre) {
  std::map<std::string, std::vector<int64_t>> out = {
      {nombre, kByNombre}, {"SALDO", kBySaldo}, {"CIUDAD_NOMBRE", kByCiudadNombre}};
  if (level == 7) out["SALDO_DESC"] = kBySaldoDown;
  return out;
}

TEST(ParadoxIndexWrite, IndexesBuiltFromTheRowsWalkInTheirOrderAndCheckClean) {
  for (int level : {4, 5, 7}) {
    TempDir d;
    MakeTable(d.path(), level);
    std::set<std::string> files = {"T.X02", "T.Y02", "T.X04", "T.Y04", "T.XG0", "T.YG0"};
    if (level == 7) files.insert({"T.XG1", "T.YG1"});
    EXPECT_EQ(IndexFileNames(d.path()), files) << level;
    std::vector<std::string> problems;
    EXPECT_EQ(IndexOrders(d / "T.DB", &problems), Expected(level, "NOMBRE")) << level;
    EXPECT_TRUE(problems.empty()) << level << ": " << problems.front();
    OpenOptions o;
    o.read_only = true;
    auto t = paradox::Open(d / "T.DB", o);
    const auto& ixs = paradox::SecondaryIndexesOf(*t)->Indexes();
    ASSERT_EQ(ixs.size(), level == 7 ? 4u : 3u);
    for (const auto& ix : ixs) {
      EXPECT_EQ(ix.maintained, ix.name != "SALDO") << ix.name;
      EXPECT_EQ(ix.descending, ix.name == "SALDO_DESC") << ix.name;
    }
    EXPECT_EQ(ixs[0].fields, (std::vector<int>{1}));
    // One value of a single-field index, as a range.
    auto w = t->WalkTag("NOMBRE", Value::Text("ana"));
    std::vector<uint64_t> got;
    uint64_t r = 0;
    while (w->Next(&r)) got.push_back(r);
    EXPECT_EQ(got, (std::vector<uint64_t>{1, 7})) << level;
  }
}

TEST(ParadoxIndexWrite, IndexesThatCannotBeBuiltAreRefused) {
  TempDir d;
  MakeTable(d.path(), 5);
  auto t = paradox::Open(d / "T.DB", OpenOptions{});
  paradox::IndexDefinition two;  // a single-field index of two fields
  two.fields = {1, 2};
  EXPECT_THROW(paradox::CreateSecondaryIndex(*t, two), EngineError);
  paradox::IndexDefinition unnamed;
  unnamed.fields = {2};
  unnamed.composite = true;
  EXPECT_THROW(paradox::CreateSecondaryIndex(*t, unnamed), EngineError);
  paradox::IndexDefinition down;  // descending needs level 7
  down.fields = {2};
  down.composite = true;
  down.name = "BAJA";
  down.descending = true;
  EXPECT_THROW(paradox::CreateSecondaryIndex(*t, down), EngineError);
  paradox::IndexDefinition missing;
  missing.fields = {9};
  EXPECT_THROW(paradox::CreateSecondaryIndex(*t, missing), EngineError);
  EXPECT_EQ(IndexFileNames(d.path()).size(), 6u);
}

// Rows change under indexes whose order is their keys' bytes (text only in single-field,
// case-sensitive indexes); a composite index with text, which may not distinguish letter case,
// keeps the table from being changed, naming the index and changing nothing.
TEST(ParadoxIndexWrite, WritesKeepIndexesTrueOrAreRefusedWhenAnOrderIsUnknown) {
  TempDir d;
  MakeTable(d.path(), 5);
  const std::string db = ReadFileBytes(d / "T.DB");
  const std::string xg = ReadFileBytes(d / "T.XG0");
  ExpectAppendRefused(d.path(), "CIUDAD_NOMBRE");
  {
    auto t = paradox::Open(d / "T.DB", OpenOptions{});
    EXPECT_THROW(t->SetDeleted(1, true), EngineError);
  }
  EXPECT_EQ(ReadFileBytes(d / "T.DB"), db);
  EXPECT_EQ(ReadFileBytes(d / "T.XG0"), xg);

  fs::remove(d / "T.XG0");
  fs::remove(d / "T.YG0");
  {
    auto t = paradox::Open(d / "T.DB", OpenOptions{});
    std::string rec = t->BlankRecord();
    t->SetValue(&rec, 0, Value::Integer(20));
    t->SetValue(&rec, 1, Value::Text("Aaron"));
    t->SetValue(&rec, 3, Value::Number(-1));
    t->AppendRecord(rec);
    std::string row;
    t->ReadRecord(8, &row);  // Zoe
    std::string changed = row;
    t->SetValue(&changed, 1, Value::Text("Abel"));
    t->UpdateRecord(8, row, changed);
    t->SetDeleted(1, true);  // the first "ana"
  }
  std::vector<std::string> problems;
  auto orders = IndexOrders(d / "T.DB", &problems);
  EXPECT_TRUE(problems.empty()) << problems.front();
  // Byte order: upper case first.
  EXPECT_EQ(orders["NOMBRE"], (std::vector<int64_t>{20, 8, 4, 2, 6, 7, 5, 3}));
  EXPECT_EQ(orders["SALDO"], (std::vector<int64_t>{6, 2, 20, 5, 7, 4, 3, 8}));
}

TEST(ParadoxIndexWrite, RestructureRebuildsEveryIndexWhoseFieldsSurvive) {
  for (int level : {4, 5, 7}) {
    TempDir d;
    MakeTable(d.path(), level);
    std::vector<std::string> problems;
    const std::string at = "level " + std::to_string(level);

    AddExtra(d.path());
    std::set<std::string> files = {"T.X03", "T.Y03", "T.X05", "T.Y05", "T.XG0", "T.YG0"};
    if (level == 7) files.insert({"T.XG1", "T.YG1"});
    EXPECT_EQ(IndexFileNames(d.path()), files) << at;
    EXPECT_EQ(IndexOrders(d / "T.DB", &problems), Expected(level, "NOMBRE")) << at;
    EXPECT_TRUE(problems.empty()) << at << ": " << problems.front();

    // NOMBRE renamed TITULAR and widened, CIUDAD widened, NOTA moved before them, EXTRA dropped.
    Restructure(d.path(),
                {Rec(1, "ID", bde::fldPDXSHORT, 0), Rec(6, "NOTA", bde::fldPDXCHAR, 5),
                 Rec(3, "TITULAR", bde::fldPDXCHAR, 30), Rec(4, "CIUDAD", bde::fldPDXCHAR, 20),
                 Rec(5, "SALDO", bde::fldPDXNUM, 0)},
                {bde::crNOOP, bde::crNOOP, bde::crMODIFY, bde::crMODIFY, bde::crNOOP});
    EXPECT_EQ(IndexFileNames(d.path()), files) << at;  // TITULAR is field 3 and SALDO field 5 again
    EXPECT_EQ(IndexOrders(d / "T.DB", &problems), Expected(level, "TITULAR")) << at;
    EXPECT_TRUE(problems.empty()) << at << ": " << problems.front();
    {
      OpenOptions o;
      o.read_only = true;
      auto t = paradox::Open(d / "T.DB", o);
      const auto& ixs = paradox::SecondaryIndexesOf(*t)->Indexes();
      for (const auto& ix : ixs)
        if (ix.name == "CIUDAD_NOMBRE") {
          EXPECT_EQ(ix.fields, (std::vector<int>{3, 2})) << at;
        }
      std::string buf;
      t->ReadRecord(1, &buf);
      EXPECT_EQ(t->GetValue(buf, 2).s, "ana") << at;
    }

    // Dropping CIUDAD drops the composite index on it, and nothing else; tabla says so where it
    // can be run (a Windows test under wine cannot start it), else the engine drops it.
    if (testing_support::FileExists(testing_support::Tabla())) {
      auto r = testing_support::RunCommand(testing_support::Tabla() + " restructure " +
                                           testing_support::ShellQuote(d / "T.DB") + " --drop CIUDAD 2>&1");
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_NE(r.out.find("índice secundario quitado (usaba un campo quitado): CIUDAD_NOMBRE"), std::string::npos)
          << r.out;
      EXPECT_NE(r.out.find("índice secundario conservado: TITULAR"), std::string::npos) << r.out;
      r = testing_support::RunCommand(testing_support::Tabla() + " check " + testing_support::ShellQuote(d / "T.DB") +
                                      " 2>&1");
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_NE(r.out.find("Correcto"), std::string::npos) << r.out;
    } else {
      Restructure(d.path(),
                  {Rec(1, "ID", bde::fldPDXSHORT, 0), Rec(2, "NOTA", bde::fldPDXCHAR, 5),
                   Rec(3, "TITULAR", bde::fldPDXCHAR, 30), Rec(5, "SALDO", bde::fldPDXNUM, 0)},
                  {bde::crNOOP, bde::crNOOP, bde::crNOOP, bde::crNOOP});
    }
    files = {"T.X03", "T.Y03", "T.X04", "T.Y04"};
    if (level == 7) files.insert({"T.XG1", "T.YG1"});
    EXPECT_EQ(IndexFileNames(d.path()), files) << at;
    auto want = Expected(level, "TITULAR");
    want.erase("CIUDAD_NOMBRE");
    EXPECT_EQ(IndexOrders(d / "T.DB", &problems), want) << at;
    EXPECT_TRUE(problems.empty()) << at << ": " << problems.front();
  }
}

TEST(ParadoxIndexWrite, ARebuiltIndexKeepsAnOrderAndHeaderBytesItCannotInterpret) {
  TempDir d;
  MakeTable(d.path(), 5);
  // NOMBRE's index rewritten as a case-insensitive index would order it, with a mark in a header
  // byte the engine does not set.
  auto fold = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const std::vector<int64_t> folded = OrderBy([&](const Row& r) { return fold(r.nombre); });
  ASSERT_NE(folded, kByNombre);
  // The .X file holds its 8 records (NOMBRE, ID, block: 16 bytes) in one block after its
  // header, the .Y file one entry (NOMBRE, ID, block, count, 0) for that block.
  std::string x = ReadFileBytes(d / "T.X02");
  const size_t xh = static_cast<uint8_t>(x[2]) | static_cast<uint8_t>(x[3]) << 8;
  std::map<int64_t, std::string> by_id;
  for (int i = 0; i < 8; ++i) {
    const std::string rec = x.substr(xh + 6 + 16 * static_cast<size_t>(i), 16);
    by_id[((static_cast<uint8_t>(rec[12]) << 8) | static_cast<uint8_t>(rec[13])) ^ 0x8000] = rec;
  }
  ASSERT_EQ(by_id.size(), 8u);
  for (size_t i = 0; i < folded.size(); ++i) x.replace(xh + 6 + 16 * i, 16, by_id[folded[i]]);
  std::string y = ReadFileBytes(d / "T.Y02");
  const size_t yh = static_cast<uint8_t>(y[2]) | static_cast<uint8_t>(y[3]) << 8;
  y.replace(yh + 6, 14, by_id[folded[0]].substr(0, 14));
  WriteFileBytes(d / "T.Y02", y);
  x[0x53] = 0x5A;
  WriteFileBytes(d / "T.X02", x);
  std::vector<std::string> problems;
  ASSERT_EQ(IndexOrders(d / "T.DB", &problems)["NOMBRE"], folded);

  AddExtra(d.path());
  EXPECT_EQ(IndexOrders(d / "T.DB", &problems)["NOMBRE"], folded);
  EXPECT_EQ(ReadFileBytes(d / "T.X03")[0x53], 0x5A);
  EXPECT_EQ(static_cast<uint8_t>(ReadFileBytes(d / "T.X03")[0x15]), 3);
}

// Byte 0x55 of a level-7 index: 0x10, 0x11 and 0x30 are descending in both public sources; the
// values whose meaning on letter case and uniqueness they leave unsettled keep the table from
// being changed and the order of text keys from being judged, and a restructure keeps them with
// the order they describe.
TEST(ParadoxIndexWrite, IndexMarksWhoseMeaningIsUnsettledAreKeptButNotMaintained) {
  for (const uint8_t mark : {0x01, 0x10, 0x20, 0x21, 0x30}) {
    SCOPED_TRACE("mark " + std::to_string(mark));
    const bool descending = mark == 0x10 || mark == 0x30;
    TempDir d;
    MakeTable(d.path(), 7);
    fs::remove(d / "T.XG0");  // its text keys alone would refuse writes
    fs::remove(d / "T.YG0");
    for (const char* name : {"T.X02", "T.X04"}) {
      std::string x = ReadFileBytes(d / name);
      ASSERT_EQ(x[0x55], 0);
      x[0x55] = static_cast<char>(mark);
      WriteFileBytes(d / name, x);
    }
    {
      OpenOptions o;
      o.read_only = true;
      auto t = paradox::Open(d / "T.DB", o);
      for (const auto& tag : t->Tags()) {
        if (tag.name == "NOMBRE" || tag.name == "SALDO") {
          EXPECT_EQ(tag.descending, descending) << tag.name;
        }
      }
      const auto check = paradox::CheckSecondaryIndexes(*t);
      // SALDO's keys are numbers, whose order does not depend on letter case: stored ascending,
      // it is out of order exactly when the mark says descending.
      EXPECT_EQ(check.problems.size(), descending ? 1u : 0u);
      if (descending) {
        EXPECT_NE(check.problems.front().find("SALDO"), std::string::npos) << check.problems.front();
      }
      ASSERT_EQ(check.unchecked.size(), 1u);
      EXPECT_NE(check.unchecked.front().find("NOMBRE"), std::string::npos) << check.unchecked.front();
    }
    const std::string db = ReadFileBytes(d / "T.DB");
    ExpectAppendRefused(d.path(), "0x55");
    EXPECT_EQ(ReadFileBytes(d / "T.DB"), db);
    if (descending) continue;
    AddExtra(d.path());  // NOMBRE and SALDO move on by one field
    EXPECT_EQ(static_cast<uint8_t>(ReadFileBytes(d / "T.X03")[0x55]), mark);
    EXPECT_EQ(static_cast<uint8_t>(ReadFileBytes(d / "T.X05")[0x55]), mark);
    std::vector<std::string> problems;
    auto orders = IndexOrders(d / "T.DB", &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(orders["NOMBRE"], kByNombre);
    EXPECT_EQ(orders["SALDO"], kBySaldo);
  }
}

TEST(ParadoxIndexWrite, FailureOrCrashAtAnyStepLeavesATableWithAllItsIndexes) {
  TempDir seed;
  MakeTable(seed.path(), 7);
  const std::set<std::string> old_files = IndexFileNames(seed.path());
  uint64_t total = 0;
  std::set<std::string> new_files;
  {
    TempDir d;
    for (const auto& e : fs::directory_iterator(seed.path())) fs::copy(e.path(), d / e.path().filename().string());
    testing_support::FaultInjectionFileSystem counting;
    {
      testing_support::ScopedFileSystem use(&counting);
      AddExtra(d.path());
    }
    total = counting.mutating_ops();
    new_files = IndexFileNames(d.path());
  }
  ASSERT_GT(total, 10u);
  ASSERT_NE(old_files, new_files);
  const auto want = Expected(7, "NOMBRE");
  for (int crash = 0; crash < 2; ++crash) {
    for (uint64_t n = 1; n <= total; ++n) {
      TempDir d;
      for (const auto& e : fs::directory_iterator(seed.path())) fs::copy(e.path(), d / e.path().filename().string());
      testing_support::RunWithFaultAt(n, crash != 0, [&] { AddExtra(d.path()); });
      TTable t;  // opening finishes or rolls back an interrupted swap
      t.SetDatabaseName(d.path());
      t.SetTableName("T.DB");
      t.Open();
      const int fields = t.FieldCount();
      t.Close();
      const std::string when = std::string(crash ? "crash" : "failure") + " at step " + std::to_string(n);
      EXPECT_EQ(IndexFileNames(d.path()), fields == 5 ? old_files : new_files) << when;
      std::vector<std::string> problems;
      EXPECT_EQ(IndexOrders(d / "T.DB", &problems), want) << when;
      EXPECT_TRUE(problems.empty()) << when << ": " << problems.front();
    }
  }
}

}  // namespace
}  // namespace engine
