// Master tables of the joins/ samples written by Paradox 5 (A, B, multiple and primary: others
// depend on them by referential integrity) through a restructure: adding a field keeps the record
// of their dependents byte for byte, leaves every other table's files as they were, pxlib reads
// every row back and `tabla info` lists the same links; moving, renaming or retyping a field the
// dependents use is refused with nothing changed; a failure or a crash at any step of the rebuild
// leaves the old or the new table.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>

#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "engine/table.h"
#include "tests/support/add_amounts.h"
#include "tests/support/fault_fs.h"
#include "tests/support/paradox_indexes.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

namespace ts = testing_support;
using Files = std::map<std::string, std::string>;

#define REQUIRE_SAMPLES() \
  if (ts::SamplesDir().empty()) GTEST_SKIP() << "no sample folder"

struct Parent {
  const char* table;
  const char* val;
  std::vector<std::string> dependents;  // those among the samples
};
const std::vector<Parent> kParents = {{"A.db", "A.VAL", {"C.DB"}},
                                      {"B.db", "B.VAL", {"C.DB"}},
                                      {"multiple.db", "multiple.val", {}},
                                      {"primary.db", "primary.val", {"fk1.db", "multiple.db"}}};

// The joins/ folder (every table, their links between them) copied to `dir`.
void CopyJoins(const std::string& dir) {
  const std::string from = ts::SamplesDir() + "/paradox-paradoxdriver/joins";
  for (const auto& e : std::filesystem::directory_iterator(from))
    ts::CopyFile(ts::Utf8Path(e.path()), dir + "/" + ts::Utf8Path(e.path().filename()));
}

std::vector<FieldSpec> FieldsOf(const std::string& path) { return paradox::Open(path, {false, true})->Fields(); }

// The table's fields as they are (the first renamed to `name` or retyped to `type` when given),
// and NOTA A10 added at the end.
void Restructure(const std::string& dir, const std::string& table, const std::string& name = "", uint16_t type = 0) {
  std::vector<bde::FLDDesc> f;
  std::vector<bde::CROpType> ops;
  const std::vector<FieldSpec> old = FieldsOf(dir + "/" + table);
  for (size_t i = 0; i < old.size(); ++i) {
    f.push_back(ts::FieldRecord(static_cast<uint16_t>(i + 1), old[i].name, old[i].type, old[i].size));
    ops.push_back(bde::crNOOP);
  }
  if (!name.empty() || type) {
    f[0] = ts::FieldRecord(1, name.empty() ? old[0].name : name, type ? type : old[0].type, type ? 0 : old[0].size);
    ops[0] = bde::crMODIFY;
  }
  f.push_back(ts::FieldRecord(0, "NOTA", bde::fldPDXCHAR, 10));
  ops.push_back(bde::crADD);
  ts::RestructureWith(dir, table, std::move(f), std::move(ops));
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A file of the table `table` (same name before the extension, in any letter case).
bool OfTable(const std::string& file, const std::string& table) {
  return Lower(file.substr(0, file.find('.'))) == Lower(table.substr(0, table.find('.')));
}

// The samples primary and multiple are empty: three rows are added (numbers 1 to 3, texts that
// fit multiple's picture), so that the rebuild has rows to carry.
void FillIfEmpty(const std::string& path) {
  auto t = paradox::Open(path, {true, false});
  if (t->RecordCount() > 0) return;
  for (int k = 1; k <= 3; ++k) {
    std::string buf = t->BlankRecord();
    for (size_t f = 0; f < t->Fields().size(); ++f)
      t->SetValue(&buf, static_cast<int>(f), t->Fields()[f].type == bde::fldPDXCHAR
                                                  ? Value::Text("555-010" + std::to_string(k))
                                                  : Value::Integer(k));
    t->AppendRecord(buf);
  }
  t->Flush();
}

// What `tabla info` lists of the table's referential integrity (nothing when tabla is not built).
std::string LinksListed(const std::string& path) {
  if (!ts::FileExists(ts::Tabla())) return "";
  const auto r = ts::RunCommand(ts::Tabla() + " info " + ts::ShellQuote(path) + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  std::string out;
  for (size_t at = r.out.find("Integridad referencial"); at != std::string::npos;
       at = r.out.find("Integridad referencial", at + 1))
    out += r.out.substr(at, r.out.find('\n', at) - at + 1);
  return out;
}

TEST(ParadoxMasterTables, AddingAFieldKeepsTheDependentsRecordAndEveryOtherTable) {
  REQUIRE_SAMPLES();
  for (const Parent& p : kParents) {
    ts::TempDir d;
    CopyJoins(d.path());
    FillIfEmpty(d / p.table);
    const Files before = ts::Snapshot(d.path());
    std::vector<std::string> tables = p.dependents;
    tables.push_back(p.table);
    std::map<std::string, std::string> links;
    for (const auto& t : tables) links[t] = LinksListed(d / t);
    const auto rows = ts::PxlibRows(d / p.table);
    const size_t checks = paradox::Open(d / p.table, {false, true})->ValChecks().size();

    Restructure(d.path(), p.table);

    const Files after = ts::Snapshot(d.path());
    for (const auto& [file, bytes] : before) EXPECT_TRUE(OfTable(file, p.table) || after.at(file) == bytes) << file;
    const std::string section = paradox::RiSection(before.at(p.val));
    EXPECT_GT(section.size(), 0x100u) << p.table;
    EXPECT_EQ(paradox::RiSection(after.at(p.val)), section) << p.table;
    for (const auto& t : tables) EXPECT_EQ(LinksListed(d / t), links[t]) << p.table << ": " << t;
    {
      auto t = paradox::Open(d / p.table, {false, true});
      EXPECT_EQ(t->Fields().back().name, "NOTA") << p.table;
      EXPECT_EQ(t->ValChecks().size(), checks) << p.table;
      EXPECT_TRUE(paradox::ReferentialIntegrityOf(*t).dependents_read) << p.table;
      EXPECT_TRUE(paradox::CheckSecondaryIndexes(*t).problems.empty()) << p.table;
    }
    for (const auto& t : tables)
      EXPECT_TRUE(!ts::FileExists(ts::Tabla()) || ts::RunCommand(ts::Tabla() + " check " + ts::ShellQuote(d / t)).status == 0) << t;
    if (!rows) continue;  // pxlib not installed
    const auto now = ts::PxlibRows(d / p.table);
    ASSERT_EQ(rows->size(), 4u) << p.table;
    ASSERT_TRUE(now && now->size() == rows->size()) << p.table;
    EXPECT_EQ(now->front(), rows->front() + "\tNOTA") << p.table;
    for (size_t r = 1; r < rows->size(); ++r) EXPECT_EQ((*now)[r], (*rows)[r] + "\t\\N") << p.table << " row " << r;
  }
}

// Renaming or retyping the key of each parent is refused naming the field and a dependent; a
// record of dependents that names a field the table lacks is damage (reported naming the .VAL),
// one in a layout the engine does not read (sizes or counts that do not add up) keeps the table
// from being rebuilt. Nothing changes.
TEST(ParadoxMasterTables, RebuildsThatCouldNotKeepTheDependentsAreRefusedWithNothingChanged) {
  REQUIRE_SAMPLES();
  struct Case {
    const Parent* parent;
    const char* name;  // the key's new name or type, or a byte of A.VAL changed (its record at 0x37)
    uint16_t type;
    size_t at;
    DBIResult code;
    std::string said;
  };
  std::vector<Case> cases = {{&kParents[0], "", 0, 0x37 + 0x98, err::kFileCorrupt, "A.VAL"},
                             {&kParents[0], "", 0, 0x37 + 0xB8, err::kNotSupported, "dependen"},
                             {&kParents[0], "", 0, 0x37 + 0x96, err::kNotSupported, "dependen"}};
  for (const Parent& p : kParents) {
    const std::string dependent = p.dependents.empty() ? "to_multiple.db" : p.dependents[0];
    cases.push_back({&p, "CLAVE", 0, 0, err::kInvalidRestructure, dependent});
    cases.push_back({&p, "", bde::fldPDXNUM, 0, err::kInvalidRestructure, dependent});
  }
  for (const Case& c : cases) {
    const std::string what = std::string(c.parent->table) + " " + c.name + " " + std::to_string(c.at);
    ts::TempDir d;
    CopyJoins(d.path());
    if (c.at) {
      std::string val = ts::ReadFileBytes(d / "A.VAL");
      val[c.at] = static_cast<char>(val[c.at] + 4);
      ts::WriteFileBytes(d / "A.VAL", val);
    }
    const Files before = ts::Snapshot(d.path());
    const std::string key = FieldsOf(d / c.parent->table)[0].name;
    try {
      Restructure(d.path(), c.parent->table, c.name, c.type);
      ADD_FAILURE() << what << ": accepted";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), c.code) << what << ": " << e.what();
      EXPECT_NE(Lower(e.what()).find(Lower(c.said)), std::string::npos) << what << ": " << e.what();
      EXPECT_TRUE(c.at || std::string(e.what()).find("Campo: " + key) != std::string::npos) << e.what();
    }
    EXPECT_TRUE(ts::Snapshot(d.path()) == before) << what;
  }
}

// The parent's own files, for comparing the table left after a fault with the old and new ones.
Files TableFiles(const std::string& dir, const std::string& table) {
  Files out;
  for (const auto& [file, bytes] : ts::Snapshot(dir))
    if (file.find('/') == std::string::npos && bytes != "<carpeta>" && OfTable(file, table)) out[file] = bytes;
  return out;
}

TEST(ParadoxMasterTables, FailureOrCrashAtEveryStepLeavesTheOldOrTheNewParent) {
  REQUIRE_SAMPLES();
  for (const Parent& p : kParents) {
    ts::TempDir seed, done;
    CopyJoins(seed.path());
    CopyJoins(done.path());
    const Files old_table = TableFiles(seed.path(), p.table);
    ts::FaultInjectionFileSystem counting;
    {
      ts::ScopedFileSystem use(&counting);
      Restructure(done.path(), p.table);
    }
    const uint64_t total = counting.mutating_ops();
    const Files new_table = TableFiles(done.path(), p.table);
    ASSERT_GT(total, 5u) << p.table;
    ASSERT_NE(old_table, new_table) << p.table;
    for (int crash = 0; crash < 2; ++crash)
      for (uint64_t n = 1; n <= total; ++n) {
        ts::TempDir d;
        CopyJoins(d.path());
        const Files others = ts::Snapshot(d.path());
        ts::RunWithFaultAt(n, crash != 0, [&] { Restructure(d.path(), p.table); });
        const std::string when = std::string(p.table) + (crash ? " crash" : " failure") + " at step " + std::to_string(n);
        TTable t;  // opening finishes or rolls back an interrupted swap
        t.SetDatabaseName(d.path());
        t.SetTableName(p.table);
        t.Open();
        t.Close();
        const Files now = TableFiles(d.path(), p.table);
        EXPECT_TRUE(now == old_table || now == new_table) << when;
        const Files all = ts::Snapshot(d.path());
        for (const auto& [file, bytes] : others) EXPECT_TRUE(OfTable(file, p.table) || all.at(file) == bytes) << when << file;
      }
  }
}

}  // namespace
}  // namespace engine
