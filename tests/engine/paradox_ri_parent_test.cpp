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

std::vector<FieldSpec> FieldsOf(const std::string& path) {
  OpenOptions o;
  o.read_only = true;
  return paradox::Open(path, o)->Fields();
}

// The table's fields as they are, `change` applied to the first, and NOTA A10 added at the end.
void Restructure(const std::string& dir, const std::string& table, bde::CROpType first_op = bde::crNOOP,
                 const std::string& first_name = "", uint16_t first_type = 0) {
  std::vector<bde::FLDDesc> f;
  std::vector<bde::CROpType> ops;
  const std::vector<FieldSpec> old = FieldsOf(dir + "/" + table);
  for (size_t i = 0; i < old.size(); ++i) {
    f.push_back(ts::FieldRecord(static_cast<uint16_t>(i + 1), old[i].name, old[i].type, old[i].size));
    ops.push_back(bde::crNOOP);
  }
  if (first_op == bde::crMODIFY) {
    f[0] = ts::FieldRecord(1, first_name.empty() ? old[0].name : first_name, first_type ? first_type : old[0].type,
                           first_type ? 0 : old[0].size);
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
    for (const auto& [file, bytes] : before) {
      if (!OfTable(file, p.table)) {
        EXPECT_EQ(after.at(file), bytes) << p.table << ": " << file;
      }
    }
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
    for (const auto& t : tables) {
      if (ts::FileExists(ts::Tabla())) {
        EXPECT_EQ(ts::RunCommand(ts::Tabla() + " check " + ts::ShellQuote(d / t)).status, 0) << t;
      }
    }
    if (!rows) continue;  // pxlib not installed
    const auto now = ts::PxlibRows(d / p.table);
    ASSERT_EQ(rows->size(), 4u) << p.table;
    ASSERT_TRUE(now && now->size() == rows->size()) << p.table;
    EXPECT_EQ(now->front(), rows->front() + "\tNOTA") << p.table;
    for (size_t r = 1; r < rows->size(); ++r) EXPECT_EQ((*now)[r], (*rows)[r] + "\t\\N") << p.table << " row " << r;
  }
}

TEST(ParadoxMasterTables, ChangingAFieldTheDependentsUseIsRefusedWithNothingChanged) {
  REQUIRE_SAMPLES();
  struct Change {
    const char* what;
    const char* name;
    uint16_t type;
  };
  const std::vector<Change> changes = {{"renamed", "CLAVE", 0}, {"retyped", "", bde::fldPDXNUM}};
  for (const Parent& p : kParents)
    for (const Change& c : changes) {
      ts::TempDir d;
      CopyJoins(d.path());
      const Files before = ts::Snapshot(d.path());
      const std::string key = FieldsOf(d / p.table)[0].name;
      const std::string dependent = p.dependents.empty() ? "to_multiple.db" : p.dependents[0];
      try {
        Restructure(d.path(), p.table, bde::crMODIFY, c.name, c.type);
        ADD_FAILURE() << p.table << " " << c.what << ": accepted";
      } catch (const EngineError& e) {
        const std::string msg = e.what();
        EXPECT_NE(msg.find("Campo: " + key), std::string::npos) << msg;
        EXPECT_NE(Lower(msg).find(Lower(dependent)), std::string::npos) << p.table << " " << c.what << ": " << msg;
      }
      EXPECT_TRUE(ts::Snapshot(d.path()) == before) << p.table << " " << c.what;
    }
}

// A record of dependents that names a field the table lacks is damage; one in a layout the
// engine does not read (its sizes do not add up) is listed as present, and no rebuild takes it.
TEST(ParadoxMasterTables, ARecordOfDependentsNotUnderstoodIsReportedOrRefused) {
  REQUIRE_SAMPLES();
  struct Case {
    size_t at;  // in A.VAL, whose record of dependents starts at 0x37
    char value;
    DBIResult reading, rebuilding;
  };
  const std::vector<Case> cases = {{0x37 + 0x98, 5, err::kFileCorrupt, err::kFileCorrupt},
                                   {0x37 + 0xB8, 2, bde::DBIERR_NONE, err::kNotSupported},
                                   {0x37 + 0x96, 2, bde::DBIERR_NONE, err::kNotSupported}};
  for (const Case& c : cases) {
    ts::TempDir d;
    CopyJoins(d.path());
    std::string val = ts::ReadFileBytes(d / "A.VAL");
    val[c.at] = c.value;
    ts::WriteFileBytes(d / "A.VAL", val);
    const Files before = ts::Snapshot(d.path());
    DBIResult reading = bde::DBIERR_NONE, rebuilding = bde::DBIERR_NONE;
    try {
      const paradox::RiLinks ri = paradox::ReferentialIntegrityOf(*paradox::Open(d / "A.db", {false, true}));
      EXPECT_TRUE(ri.dependents && !ri.dependents_read) << c.at;
    } catch (const EngineError& e) {
      reading = e.code();
      EXPECT_NE(std::string(e.what()).find("A.VAL"), std::string::npos) << e.what();
    }
    try {
      Restructure(d.path(), "A.db");
    } catch (const EngineError& e) {
      rebuilding = e.code();
    }
    EXPECT_EQ(reading, c.reading) << c.at;
    EXPECT_EQ(rebuilding, c.rebuilding) << c.at;
    EXPECT_TRUE(ts::Snapshot(d.path()) == before) << c.at;
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
        for (const auto& [file, bytes] : others) {
          if (!OfTable(file, p.table)) {
            EXPECT_EQ(all.at(file), bytes) << when << ": " << file;
          }
        }
      }
  }
}

}  // namespace
}  // namespace engine
