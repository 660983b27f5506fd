// Restructuring dBASE tables in place: values kept and converted, refusals that change nothing,
// and the table whole (old or new) after a failure or a crash at any step.
#include "engine/restructure.h"

#include <gtest/gtest.h>
#include <signal.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <algorithm>
#include <random>
#include <set>

#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"

#include "engine/database.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "engine/swap.h"
#include "engine/table.h"
#include "tests/support/fault_fs.h"
#include "tests/support/forwarding_fs.h"
#include "tests/support/helpers.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace engine {
namespace {

using testing_support::FaultInjectionFileSystem;
using testing_support::ReadFileBytes;
using testing_support::ScopedFileSystem;
using testing_support::TempDir;

// Every row of a table as text: the deleted mark, then each field's name and value.
std::vector<std::string> Snapshot(const std::string& path) {
  auto st = OpenStorage(path, TableFormat::kDbase, {false, true});
  std::vector<std::string> rows;
  std::string buf;
  for (uint64_t r = 1; r <= st->RecordCount(); ++r) {
    st->ReadRecord(r, &buf);
    std::string row = st->IsDeleted(buf) ? "*" : " ";
    for (size_t f = 0; f < st->Fields().size(); ++f)
      row += "|" + st->Fields()[f].name + "=" + st->GetValue(buf, static_cast<int>(f)).ToDisplay();
    rows.push_back(row);
  }
  return rows;
}

std::vector<FieldSpec> FieldsOf(const std::string& path) {
  return OpenStorage(path, TableFormat::kDbase, {false, true})->Fields();
}

bde::FLDDesc Rec(uint16_t num, const std::string& name, uint16_t type, int u1, int u2 = 0) {
  return testing_support::FieldRecord(num, name, type, u1, u2);
}

void Restructure(const std::string& dir, const std::string& table, std::vector<bde::FLDDesc> fields,
                 std::vector<bde::CROpType> ops, bool pack) {
  bde::CRTblDesc desc{};
  std::strncpy(desc.szTblName, table.c_str(), sizeof desc.szTblName - 1);
  desc.bPack = pack ? 0xFFFF : 0;
  desc.iFldCount = static_cast<uint16_t>(fields.size());
  desc.pfldDesc = fields.data();
  desc.pecrFldOp = ops.data();
  DoRestructure(*OpenDatabase(dir), desc);
}

// Customers: text, number, date, logical and memo, 200 rows of which every ninth is deleted.
void MakeCustomers(const std::string& dir, int rows = 200, int level = 4) {
  TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Clientes.Dbf");
  t.SetTableLevel(level);
  t.FieldDefs().Add("CODIGO", TFieldType::ftString, 6);
  t.FieldDefs().Add("NOMBRE", TFieldType::ftString, 30);
  auto& saldo = t.FieldDefs().AddFieldDef();
  saldo = {"SALDO", TFieldType::ftBCD, 2, 10};
  t.FieldDefs().Add("ALTA", TFieldType::ftDate);
  t.FieldDefs().Add("ACTIVO", TFieldType::ftBoolean);
  t.FieldDefs().Add("NOTAS", TFieldType::ftMemo);
  t.CreateTable();
  t.Open();
  for (int i = 1; i <= rows; ++i) {
    t.Append();
    t.SetFieldValue("CODIGO", Value::Text(std::to_string(1000 + i)));
    t.SetFieldValue("NOMBRE", Value::Text(testing_support::Numbered("Muñoz y Peñalver ", i)));
    if (i % 4) t.SetFieldValue("SALDO", Value::Number(0, std::to_string(i * 37) + testing_support::Numbered(".", 10 + i % 90)));
    t.SetFieldValue("ALTA", Value::Date(DayFromCivil(2003, 1 + i % 12, 1 + i % 28)));
    t.SetFieldValue("ACTIVO", Value::Logical(i % 3 == 0));
    if (i % 5 == 0) t.SetFieldValue("NOTAS", Value::Text(testing_support::Numbered("Nota ", i) + std::string(i % 700, 'x')));
    t.Post();
  }
  t.First();
  int n = 0;
  while (!t.Eof()) {
    if (++n % 9 == 0) {
      t.Delete();
    } else {
      t.Next();
    }
  }
  t.Close();
}

// Adds SA and SC after the existing fields, as the upgrade does.
void AddTwoAmounts(const std::string& dir, bool pack) { testing_support::AddTwoAmounts(dir, "Clientes.Dbf", pack); }

TEST(Restructure, AddingFieldsKeepsEveryValueAndPacks) {
  TempDir d;
  MakeCustomers(d.path());
  auto before = Snapshot(d / "Clientes.Dbf");
  AddTwoAmounts(d.path(), /*pack=*/true);
  auto after = Snapshot(d / "Clientes.Dbf");
  std::vector<std::string> expected;
  for (const auto& r : before)
    if (r[0] != '*') expected.push_back(r + "|SA=|SC=");  // new fields start without a value
  EXPECT_EQ(after, expected);
  // No leftovers beside the table.
  for (auto& e : std::filesystem::directory_iterator(d.path())) {
    std::string n = e.path().filename().string();
    EXPECT_TRUE(n == "Clientes.Dbf" || n == "Clientes.DBT") << n;
  }
  // An independent reader agrees.
  if (auto rows = testing_support::DbfreadRecords(d / "Clientes.Dbf", "cp1252")) {
    ASSERT_EQ(rows->size(), expected.size());
    EXPECT_NE((*rows)[0].find("\"SA\": null"), std::string::npos) << (*rows)[0];
    EXPECT_NE((*rows)[4].find("Nota 5"), std::string::npos) << (*rows)[4];
  }
}

TEST(Restructure, WithoutPackDeletedRowsStayDeleted) {
  TempDir d;
  MakeCustomers(d.path(), 30);
  auto before = Snapshot(d / "Clientes.Dbf");
  AddTwoAmounts(d.path(), /*pack=*/false);
  auto after = Snapshot(d / "Clientes.Dbf");
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i], before[i] + "|SA=|SC=");
}

TEST(Restructure, ModifyReorderAndDrop) {
  TempDir d;
  MakeCustomers(d.path(), 40);
  auto before = Snapshot(d / "Clientes.Dbf");
  // New order: NOTAS, SALDO widened and renamed, CODIGO as a number, NOMBRE; ALTA and ACTIVO dropped.
  Restructure(d.path(), "Clientes.Dbf",
              {Rec(6, "NOTAS", bde::fldDBMEMO, 10), Rec(3, "IMPORTE", bde::fldDBNUM, 14, 3),
               Rec(1, "CODIGO", bde::fldDBNUM, 8, 0), Rec(2, "NOMBRE", bde::fldDBCHAR, 40)},
              {bde::crNOOP, bde::crMODIFY, bde::crMODIFY, bde::crNOOP}, true);
  auto fields = FieldsOf(d / "Clientes.Dbf");
  ASSERT_EQ(fields.size(), 4u);
  EXPECT_EQ(fields[1].name, "IMPORTE");
  EXPECT_EQ(fields[1].size, 14);
  EXPECT_EQ(fields[1].decimals, 3);
  EXPECT_EQ(fields[3].size, 40);
  auto st = OpenStorage(d / "Clientes.Dbf", TableFormat::kDbase, {false, true});
  auto old = before.begin();
  std::string buf;
  for (uint64_t r = 1; r <= st->RecordCount(); ++r, ++old) {
    while ((*old)[0] == '*') ++old;
    st->ReadRecord(r, &buf);
    int i = 1000 + static_cast<int>(old - before.begin()) + 1;
    EXPECT_EQ(st->GetValue(buf, 2).DecimalText(), std::to_string(i));
    EXPECT_EQ(st->GetValue(buf, 3).s, testing_support::Numbered("Muñoz y Peñalver ", i - 1000));
    if ((i - 1000) % 4) {
      std::string saldo = std::to_string((i - 1000) * 37) + testing_support::Numbered(".", 10 + (i - 1000) % 90);
      EXPECT_EQ(st->GetValue(buf, 1).DecimalText(), Value::Number(0, saldo).DecimalText());
    }
    EXPECT_EQ(st->GetValue(buf, 0).IsNull(), (i - 1000) % 5 != 0);
  }
}

TEST(Restructure, ValuesThatDoNotFitLeaveTheTableByteForByte) {
  TempDir d;
  MakeCustomers(d.path(), 20);
  const std::string dbf = d / "Clientes.Dbf", dbt = d / "Clientes.DBT";
  auto dbf_before = ReadFileBytes(dbf), dbt_before = ReadFileBytes(dbt);
  // SALDO values up to 740.xx do not fit N(4,2); names do not fit 10 characters.
  for (auto [rec, what] : {std::pair{Rec(3, "SALDO", bde::fldDBNUM, 4, 2), "SALDO"},
                           std::pair{Rec(2, "NOMBRE", bde::fldDBCHAR, 10), "NOMBRE"},
                           std::pair{Rec(2, "NOMBRE", bde::fldDBNUM, 10, 0), "NOMBRE"}}) {
    try {
      Restructure(d.path(), "Clientes.Dbf",
                  {Rec(1, "CODIGO", bde::fldDBCHAR, 6), rec}, {bde::crNOOP, bde::crMODIFY}, true);
      FAIL() << "a value that does not fit must stop the restructure (" << what << ")";
    } catch (const EngineError& e) {
      std::string msg = e.what();
      EXPECT_NE(msg.find("Clientes.Dbf"), std::string::npos) << msg;
      EXPECT_NE(msg.find(what), std::string::npos) << msg;
      EXPECT_NE(msg.find("Registro: "), std::string::npos) << msg;
      EXPECT_NE(msg.find("Valor: "), std::string::npos) << msg;
    }
    EXPECT_EQ(ReadFileBytes(dbf), dbf_before);
    EXPECT_EQ(ReadFileBytes(dbt), dbt_before);
  }
}

TEST(Restructure, InvalidStructuresAreRefusedBeforeAnythingIsWritten) {
  TempDir d;
  MakeCustomers(d.path(), 5, 3);
  const std::string dbf = d / "Clientes.Dbf";
  auto before = ReadFileBytes(dbf);
  struct Case {
    std::vector<bde::FLDDesc> f;
    DBIResult code;
  } cases[] = {
      {{Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(0, "codigo", bde::fldDBNUM, 5)}, err::kDuplicateFieldName},
      {{Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(0, "DEMASIADOLARGO", bde::fldDBNUM, 5)}, err::kInvalidFieldName},
      {{Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(0, "MAL-NOMBRE", bde::fldDBNUM, 5)}, err::kInvalidFieldName},
      {{Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(0, "FLOTA", bde::fldDBFLOAT, 10, 2)}, err::kInvalidFieldType},
      {{Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(0, "ENTERO", bde::fldDBLONG, 4)}, err::kInvalidFieldType},
      {{Rec(1, "CODIGO", bde::fldDBCHAR, 0)}, err::kInvalidFieldSize},
      {{Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(0, "N", bde::fldDBNUM, 20, 2)}, err::kInvalidFieldSize},
      {{Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(0, "N", bde::fldDBNUM, 5, 4)}, err::kInvalidFieldSize},
      {{Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(9, "X", bde::fldDBCHAR, 5)}, err::kInvalidRestructure},
  };
  for (auto& c : cases) {
    std::vector<bde::CROpType> ops(c.f.size(), bde::crNOOP);
    for (size_t i = 0; i < c.f.size(); ++i)
      if (c.f[i].iFldNum == 0) ops[i] = bde::crADD;
    try {
      Restructure(d.path(), "Clientes.Dbf", c.f, ops, true);
      ADD_FAILURE() << "accepted " << c.f.back().szName;
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), c.code) << e.what();
    }
  }
  // Names the host application uses, such as "1T", are valid.
  Restructure(d.path(), "Clientes.Dbf", {Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(0, "1T", bde::fldDBNUM, 12, 2)},
              {bde::crNOOP, bde::crADD}, true);
  EXPECT_EQ(FieldsOf(dbf)[1].name, "1T");
  (void)before;
}

TEST(Restructure, TableOpenElsewhereIsRefusedAndUnchanged) {
  TempDir d;
  MakeCustomers(d.path(), 10);
  auto before = ReadFileBytes(d / "Clientes.Dbf");
  TTable t;
  t.SetDatabaseName(d.path());
  t.SetTableName("Clientes.Dbf");
  t.Open();
  try {
    AddTwoAmounts(d.path(), true);
    FAIL();
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), err::kTableInUse);
  }
  t.Close();
  EXPECT_EQ(ReadFileBytes(d / "Clientes.Dbf"), before);
}

TEST(Restructure, KeepsHeaderBytesAndStampsToday) {
  TempDir d;
  MakeCustomers(d.path(), 3, 3);
  auto before = ReadFileBytes(d / "Clientes.Dbf");
  AddTwoAmounts(d.path(), true);
  auto after = ReadFileBytes(d / "Clientes.Dbf");
  EXPECT_EQ(after[0], before[0]);    // version byte with its memo flag
  EXPECT_EQ(after[29], before[29]);  // language driver
  EXPECT_EQ(after[28], before[28]);  // production index flag
  time_t now = time(nullptr);
  struct tm tm;
#ifdef _WIN32
  localtime_s(&tm, &now);
#else
  localtime_r(&now, &tm);
#endif
  EXPECT_EQ(static_cast<unsigned char>(after[1]), tm.tm_year);  // year - 1900
  EXPECT_EQ(static_cast<unsigned char>(after[2]), tm.tm_mon + 1);
}

void MakeIndexedCustomers(const std::string& dir, int rows);

// Fail, then crash, at every mutating file operation of one restructure of a table with memos and
// an index: afterwards the engine opens either the old table or the new one, complete, with every
// tag consistent.
TEST(Restructure, FailureOrCrashAtAnyStepLeavesTheOldOrTheNewTable) {
  TempDir seed;
  MakeIndexedCustomers(seed.path(), 60);
  auto old_rows = Snapshot(seed / "Clientes.Dbf");
  std::vector<std::string> new_rows;
  uint64_t total;
  {
    TempDir d;
    for (auto& e : std::filesystem::directory_iterator(seed.path()))
      std::filesystem::copy(e.path(), d / e.path().filename().string());
    FaultInjectionFileSystem counting;
    {
      ScopedFileSystem use(&counting);
      AddTwoAmounts(d.path(), true);
    }
    total = counting.mutating_ops();
    new_rows = Snapshot(d / "Clientes.Dbf");
  }
  ASSERT_GT(total, 10u);
  for (int crash = 0; crash < 2; ++crash) {
    int olds = 0, news = 0;
    for (uint64_t n = 1; n <= total; ++n) {
      TempDir d;
      for (auto& e : std::filesystem::directory_iterator(seed.path()))
        std::filesystem::copy(e.path(), d / e.path().filename().string());
      testing_support::RunWithFaultAt(n, crash != 0, [&] { AddTwoAmounts(d.path(), true); });
      // The next open finishes or forgets the interrupted work.
      TTable t;
      t.SetDatabaseName(d.path());
      t.SetTableName("Clientes.Dbf");
      t.Open();
      t.Close();
      auto rows = Snapshot(d / "Clientes.Dbf");
      auto report = dbase::CheckTableIndexes(d / "Clientes.Dbf");
      EXPECT_TRUE(report.ok()) << (crash ? "crash" : "failure") << " at step " << n << ": "
                               << (report.ok() ? "" : report.problems[0]);
      bool is_old = rows == old_rows, is_new = rows == new_rows;
      EXPECT_TRUE(is_old || is_new) << (crash ? "crash" : "failure") << " at step " << n;
      olds += is_old;
      news += is_new;
    }
    EXPECT_GT(olds, 0);
    EXPECT_GT(news, 0);
  }
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

void MakeIndexedCustomers(const std::string& dir, int rows) {
  TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Clientes.Dbf");
  t.FieldDefs().Add("CODIGO", TFieldType::ftString, 6);
  t.FieldDefs().Add("NOMBRE", TFieldType::ftString, 30);
  auto& saldo = t.FieldDefs().AddFieldDef();
  saldo = {"SALDO", TFieldType::ftBCD, 2, 10};
  t.FieldDefs().Add("NOTAS", TFieldType::ftMemo);
  t.IndexDefs().Add("CODIGO", "CODIGO");
  t.IndexDefs().Add("NOMBRE", "UPPER(NOMBRE)");
  t.IndexDefs().Add("DEUDORES", "SALDO", 0, "SALDO < 0");
  t.CreateTable();
  t.Open();
  std::mt19937 rng(7);
  for (int i = 1; i <= rows; ++i) {
    t.Append();
    t.SetFieldValue("CODIGO", Value::Text(std::to_string(100000 + (rng() % 900000))));
    t.SetFieldValue("NOMBRE", Value::Text(std::string(i % 2 ? "ñ" : "Z") + testing_support::Numbered("cliente ", rng() % 5000)));
    t.SetFieldValue("SALDO", Value::Number(0, std::to_string(static_cast<int>(rng() % 2000) - 1000) + ".5"));
    if (i % 7 == 0) t.SetFieldValue("NOTAS", Value::Text(testing_support::Numbered("nota ", i)));
    t.Post();
  }
  t.First();
  int n = 0;
  while (!t.Eof()) {
    if (++n % 11 == 0) {
      t.Delete();
    } else {
      t.Next();
    }
  }
  t.Close();
}

std::vector<uint64_t> TagOrder(const std::string& path, const std::string& tag) {
  auto st = OpenStorage(path, TableFormat::kDbase, {false, true});
  auto w = st->WalkTag(tag, std::nullopt);
  std::vector<uint64_t> out;
  uint64_t r;
  while (w->Next(&r)) out.push_back(r);
  return out;
}

TEST(RestructureIndexed, TagsFollowTheRebuiltTable) {
  TempDir d;
  MakeIndexedCustomers(d.path(), 3000);
  const std::string dbf = d / "Clientes.Dbf";
  ASSERT_TRUE(dbase::CheckTableIndexes(dbf).ok());
  auto rows_before = Snapshot(dbf);
  // Add two fields and widen NOMBRE: CODIGO and DEUDORES carry over, NOMBRE is rebuilt.
  Restructure(d.path(), "Clientes.Dbf",
              {Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(2, "NOMBRE", bde::fldDBCHAR, 40),
               Rec(3, "SALDO", bde::fldDBNUM, 10, 2), Rec(4, "NOTAS", bde::fldDBMEMO, 10),
               Rec(0, "SA", bde::fldDBNUM, 12, 2), Rec(0, "SC", bde::fldDBNUM, 12, 2)},
              {bde::crNOOP, bde::crMODIFY, bde::crNOOP, bde::crNOOP, bde::crADD, bde::crADD}, true);
  auto report = dbase::CheckTableIndexes(dbf);
  for (const auto& p : report.problems) ADD_FAILURE() << p;
  auto rows_after = Snapshot(dbf);
  size_t live = 0;
  for (const auto& r : rows_before) live += r[0] != '*';
  EXPECT_EQ(rows_after.size(), live);
  // Walking CODIGO gives the same codes in the same order as before, minus the purged rows.
  auto st = OpenStorage(dbf, TableFormat::kDbase, {false, true});
  std::string buf;
  std::vector<std::string> codes;
  for (uint64_t r : TagOrder(dbf, "CODIGO")) {
    st->ReadRecord(r, &buf);
    codes.push_back(st->GetValue(buf, 0).s);
  }
  EXPECT_EQ(codes.size(), live);
  EXPECT_TRUE(std::is_sorted(codes.begin(), codes.end()));
  if (auto dump = testing_support::IndexDump(d / "Clientes.MDX", "NOMBRE")) {
    EXPECT_EQ(std::count(dump->begin(), dump->end(), '\n'), static_cast<long>(live)) << dump->substr(0, 400);
  }
}

TEST(RestructureIndexed, DroppingAFieldAnIndexUsesIsRefused) {
  TempDir d;
  MakeIndexedCustomers(d.path(), 50);
  auto before = ReadFileBytes(d / "Clientes.Dbf");
  auto mdx_before = ReadFileBytes(d / "Clientes.MDX");
  try {
    Restructure(d.path(), "Clientes.Dbf",
                {Rec(1, "CODIGO", bde::fldDBCHAR, 6), Rec(3, "SALDO", bde::fldDBNUM, 10, 2)},
                {bde::crNOOP, bde::crNOOP}, true);
    FAIL();
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("NOMBRE"), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadFileBytes(d / "Clientes.Dbf"), before);
  EXPECT_EQ(ReadFileBytes(d / "Clientes.MDX"), mdx_before);
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// Follows which files hold writes that were never synced and which folders hold entries that
// were never synced, and checks the moment a swap journal is put in place: from then on a crash
// rolls the swap forward, so every file of the new table, the temporary folder and the journal
// itself must already be on disk.
class SyncTracker : public testing_support::ForwardingFileSystem {
 public:
  std::set<std::string> dirty_files, dirty_dirs;
  std::vector<std::string> problems;
  int journals = 0;
  std::string awaiting_commit;  // folder of a journal just put in place, until it is synced

  void Wrote(const std::string& path) { dirty_files.insert(path); }
  void Synced(const std::string& path) { dirty_files.erase(path); }

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
  static bool EndsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
  }
  void Rename(const std::string& from, const std::string& to) override {
    if (!awaiting_commit.empty() && DirName(to) == awaiting_commit)
      problems.push_back("se mueve " + from + " antes de asegurar el diario");
    // A new file put in place (with a journal or, for a table of one file, by this rename alone).
    if (BaseName(DirName(from)) == ".actualiza-nuevo" && BaseName(DirName(to)) != ".actualiza-nuevo")
      for (const auto& f : dirty_files) problems.push_back("se pone en su sitio sin asegurar: " + f);
    if (EndsWith(to, ".diario")) {
      ++journals;
      for (const auto& f : dirty_files) problems.push_back("sin asegurar: " + f);
      for (const auto& d : dirty_dirs) problems.push_back("carpeta sin asegurar: " + d);
      awaiting_commit = DirName(to);
    }
    base()->Rename(from, to);
    dirty_dirs.insert(DirName(from));
    dirty_dirs.insert(DirName(to));
  }
  void Remove(const std::string& path) override {
    base()->Remove(path);
    dirty_files.erase(path);
    dirty_dirs.insert(DirName(path));
  }
  void CreateDirectory(const std::string& path) override {
    base()->CreateDirectory(path);
    dirty_dirs.insert(DirName(path));
  }
  void RemoveEmptyDirectory(const std::string& path) override {
    base()->RemoveEmptyDirectory(path);
    dirty_dirs.erase(path);
    dirty_dirs.insert(DirName(path));
  }
  void SyncDirectory(const std::string& dir) override {
    base()->SyncDirectory(dir);
    dirty_dirs.erase(dir);
    if (dir == awaiting_commit) awaiting_commit.clear();
  }
};

class TrackedFile : public testing_support::ForwardingFile {
 public:
  TrackedFile(SyncTracker* fs, std::unique_ptr<File> f) : ForwardingFile(std::move(f)), fs_(fs) {}
  void WriteAt(uint64_t offset, const void* buf, size_t n) override {
    ForwardingFile::WriteAt(offset, buf, n);
    fs_->Wrote(path());
  }
  void Truncate(uint64_t size) override {
    ForwardingFile::Truncate(size);
    fs_->Wrote(path());
  }
  void Sync() override {
    ForwardingFile::Sync();
    fs_->Synced(path());
  }

 private:
  SyncTracker* fs_;
};

std::unique_ptr<File> SyncTracker::Open(const std::string& path, OpenMode mode) {
  auto f = base()->Open(path, mode);
  if (mode == OpenMode::kCreate || mode == OpenMode::kCreateExclusive) {
    dirty_files.insert(path);
    // The journal's own entry is made durable by the sync that commits it (checked in Rename).
    if (!EndsWith(path, ".diario.nuevo")) dirty_dirs.insert(DirName(path));
  }
  return std::make_unique<TrackedFile>(this, std::move(f));
}

// A customers table of one file: no memo, no index.
void MakePlainCustomers(const std::string& dir) {
  TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Clientes.Dbf");
  t.FieldDefs().Add("CODIGO", TFieldType::ftString, 6);
  t.CreateTable();
}

TEST(Restructure, EveryNewFileIsOnDiskBeforeTheSwapCommits) {
  TempDir d;
  MakeIndexedCustomers(d.path(), 300);
  std::filesystem::create_directory(d / "sin-indice");
  MakeCustomers(d / "sin-indice", 120);
  std::filesystem::create_directory(d / "un-fichero");  // put in place by a rename, no journal
  MakePlainCustomers(d / "un-fichero");
  for (const std::string& dir : {d.path(), d / "sin-indice", d / "un-fichero"}) {
    SCOPED_TRACE(dir);
    SyncTracker tracker;
    {
      ScopedFileSystem use(&tracker);
      AddTwoAmounts(dir, true);
    }
    EXPECT_EQ(tracker.journals, dir == d / "un-fichero" && kSingleFileSwapReplaces ? 0 : 1);
    for (const auto& p : tracker.problems) ADD_FAILURE() << p;
    EXPECT_TRUE(tracker.dirty_files.empty());
  }
}

// A memo that cannot be read stops the rebuild before anything changes, naming its field: a
// reference past the memo file, or a memo whose block header is damaged.
TEST(Restructure, AMemoThatCannotBeReadLeavesTheTableByteForByte) {
  struct Caso {
    const char* nombre;
    bool in_memo_file;  // else row 5's reference in the table
    size_t at;
    std::string bytes;
    const char* expected;
  };
  const std::vector<Caso> casos = {
      {"a reference past the memo file", false, 0, "99999", "fuera del fichero"},
      {"a memo's header damaged", true, 512, std::string(4, '\0'), "no es el comienzo de un memo"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    TempDir d;
    MakeCustomers(d.path(), 8);  // row 5's memo is the first, in block 1
    const std::string dbf = d / "Clientes.Dbf", dbt = d / "Clientes.DBT";
    std::string b = ReadFileBytes(c.in_memo_file ? dbt : dbf);
    size_t at = c.at;
    if (!c.in_memo_file) {  // row 5 found by its stored bytes
      auto st = OpenStorage(dbf, TableFormat::kDbase, {false, true});
      std::string row;
      st->ReadRecord(5, &row);
      const FieldSpec& notas = st->Fields().back();
      at = b.find(row) + notas.offset + notas.length - c.bytes.size();
    }
    b.replace(at, c.bytes.size(), c.bytes);
    testing_support::WriteFileBytes(c.in_memo_file ? dbt : dbf, b);
    const std::string dbf_before = ReadFileBytes(dbf), dbt_before = ReadFileBytes(dbt);
    try {
      AddTwoAmounts(d.path(), true);
      ADD_FAILURE() << "restructured";
    } catch (const EngineError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("NOTAS"), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFileBytes(dbf), dbf_before);
    EXPECT_EQ(ReadFileBytes(dbt), dbt_before);
    for (auto& e : std::filesystem::directory_iterator(d.path()))  // the work files gone too
      EXPECT_TRUE(e.path().filename() == "Clientes.Dbf" || e.path().filename() == "Clientes.DBT") << e.path();
  }
}

}  // namespace
}  // namespace engine
