// Applying an edited structure: the table is rebuilt by the engine and read back through it,
// field list and the values of every row, and by an independent reader where one is installed.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "restructure/Restructure.h"
#include "tests/restructure/inspector.h"
#include "tests/restructure/support.h"
#include "tests/support/readers.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace restructure {
namespace {

using restructure_test::ClientesRows;
using restructure_test::CountRecords;
using restructure_test::ReadBack;
using restructure_test::Snapshot;

const std::vector<std::string> kClientesFields = {"NOMBRE", "SALDO", "ALTA", "NOTAS", "ACTIVO"};

class Apply : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!restructure_test::MakeClientes(dir_.path()))
      GTEST_SKIP() << "this build has no dBASE storage";
    r_.SetDatabaseName(dir_.path());
    r_.SetTableName("Clientes.Dbf");
  }
  void AddNumber(const std::string& name, uint16_t length, uint16_t precision) {
    r_.Field()->SetName(name);
    r_.Field()->SetFieldType(dbNumber);
    r_.Field()->SetLength(length);
    r_.Field()->SetPrecision(precision);
    r_.AddField(false);
  }
  // Every original row is there with its values in the named fields, and `empty` fields are null.
  void ExpectOriginalRows(const Snapshot& s, const std::vector<std::string>& kept,
                          const std::vector<std::string>& empty) {
    const auto want = ClientesRows();
    ASSERT_EQ(s.rows.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      SCOPED_TRACE(testing_support::Numbered("row ", i + 1));
      for (const auto& f : kept) EXPECT_EQ(s.rows[i].at(f), want[i].at(f)) << f;
      for (const auto& f : empty) EXPECT_TRUE(s.rows[i].at(f).IsNull()) << f;
    }
  }
  std::string Path() const { return dir_ / "Clientes.Dbf"; }

  testing_support::TempDir dir_;
  TRestructure r_;
  TRestructureInspector in_{r_};
};

TEST_F(Apply, AddedFieldsJoinTheTableAndRowsKeepTheirValues) {
  AddNumber("SA", 12, 2);
  AddNumber("SC", 12, 2);
  r_.ApplyRestructure();

  Snapshot s = ReadBack(dir_.path(), "Clientes.Dbf");
  std::vector<std::string> fields = kClientesFields;
  fields.push_back("SA");
  fields.push_back("SC");
  EXPECT_EQ(s.fields, fields);
  ExpectOriginalRows(s, kClientesFields, {"SA", "SC"});

  // The structure was read back: plain codes, positions as numbers, types as stored.
  ASSERT_EQ(in_.FieldCount(), 7);
  for (int i = 1; i <= 7; ++i) {
    EXPECT_EQ(in_.FieldOp(i), bde::crNOOP);
    EXPECT_EQ(+in_.Field(i).iFldNum, i);
  }
  EXPECT_EQ(+in_.Field(7).iFldType, 0x202);
  EXPECT_EQ(+in_.Field(7).iUnits1, 12);
  EXPECT_EQ(+in_.Field(7).iUnits2, 2);
  EXPECT_EQ(r_.FieldIndex("sc"), 7);
  EXPECT_FALSE(in_.Table()->Active());
  EXPECT_TRUE(in_.Table()->Exclusive());  // never set back

  // The packed table no longer holds the deleted row.
  auto count = CountRecords(Path());
  EXPECT_EQ(count.records, 4u);
  EXPECT_EQ(count.deleted, 0u);

  auto lines = testing_support::DbfreadRecords(Path(), "cp1252");
  if (lines) {
    ASSERT_EQ(lines->size(), 4u) << (*lines)[0];
    EXPECT_NE((*lines)[0].find("\"NOMBRE\": \"García\""), std::string::npos) << (*lines)[0];
    EXPECT_NE((*lines)[0].find("\"SA\": null"), std::string::npos) << (*lines)[0];
    EXPECT_NE((*lines)[2].find(std::string(1500, 'm')), std::string::npos);
  }
}

TEST(ApplyIndexed, TheProductionIndexFollowsTheNewStructure) {
  testing_support::TempDir dir;
  if (!restructure_test::MakeClientes(dir.path(), true))
    GTEST_SKIP() << "this build has no dBASE storage";
  TRestructure r;
  r.SetDatabaseName(dir.path());
  r.SetTableName("Clientes.Dbf");
  r.Field()->SetName("SA");
  r.Field()->SetFieldType(dbNumber);
  r.Field()->SetLength(12);
  r.Field()->SetPrecision(2);
  r.AddField(false);
  try {
    r.ApplyRestructure();
  } catch (const engine::EDBEngineError& e) {
    if (e.ErrorCode() == engine::err::kNotSupported)
      GTEST_SKIP() << "this build cannot rebuild indexed tables yet: " << e.what();
    throw;
  }
  engine::TTable t;
  t.SetDatabaseName(dir.path());
  t.SetTableName("Clientes.Dbf");
  t.SetIndexName("NOMBRE");
  t.Open();
  std::vector<std::string> names;
  for (t.First(); !t.Eof(); t.Next()) {
    names.push_back(t.FieldValue("NOMBRE").s);
    EXPECT_TRUE(t.FieldValue("SA").IsNull());
  }
  t.Close();
  EXPECT_EQ(names, (std::vector<std::string>{"García", "López", "Núñez", "Ortega"}));
}

TEST_F(Apply, WithoutPackingTheDeletedRowStays) {
  r_.SetPackTable(false);
  AddNumber("SA", 12, 2);
  r_.ApplyRestructure();
  auto count = CountRecords(Path());
  EXPECT_EQ(count.records, 5u);
  EXPECT_EQ(count.deleted, 1u);
  Snapshot s = ReadBack(dir_.path(), "Clientes.Dbf");
  ExpectOriginalRows(s, kClientesFields, {"SA"});
  auto lines = testing_support::DbfreadRecords(Path(), "cp1252");
  if (lines) {
    ASSERT_EQ(lines->size(), 5u);
    EXPECT_NE(lines->back().find("\"_deleted\": true"), std::string::npos) << lines->back();
    EXPECT_NE(lines->back().find("Borrado"), std::string::npos) << lines->back();
  }
}

TEST_F(Apply, ApplyingWithoutEditsKeepsEverythingButDeletedRows) {
  r_.ApplyRestructure();
  Snapshot s = ReadBack(dir_.path(), "Clientes.Dbf");
  EXPECT_EQ(s.fields, kClientesFields);
  ExpectOriginalRows(s, kClientesFields, {});
  EXPECT_EQ(CountRecords(Path()).records, 4u);
  r_.ApplyRestructure();  // again, with the fresh structure
  EXPECT_EQ(ReadBack(dir_.path(), "Clientes.Dbf").rows.size(), 4u);
}

TEST_F(Apply, DeletedMovedInsertedAndChangedFieldsCarryTheirValues) {
  r_.DeleteField(r_.FieldIndex("ACTIVO"));
  r_.MoveField(r_.FieldIndex("NOTAS"), 1);
  r_.Field()->SetName("CODIGO");
  r_.Field()->SetFieldType(dbCharacter);
  r_.Field()->SetLength(6);
  r_.Field()->SetPrecision(0);
  r_.InsertField(2, false);
  r_.LoadField(r_.FieldIndex("NOMBRE"));
  r_.Field()->SetLength(30);  // wider, same name and type
  r_.ModifyField(r_.FieldIndex("NOMBRE"), false);
  r_.ApplyRestructure();

  Snapshot s = ReadBack(dir_.path(), "Clientes.Dbf");
  EXPECT_EQ(s.fields, (std::vector<std::string>{"NOTAS", "CODIGO", "NOMBRE", "SALDO", "ALTA"}));
  ExpectOriginalRows(s, {"NOTAS", "NOMBRE", "SALDO", "ALTA"}, {"CODIGO"});
  r_.LoadField(3);
  EXPECT_EQ(r_.Field()->Name(), "NOMBRE");
  EXPECT_EQ(r_.Field()->Length(), 30);
}

TEST_F(Apply, ARefusedStructureChangesNothingAndKeepsTheEdits) {
  AddNumber("IMPORTEBRUTO", 12, 2);  // a dBASE IV table takes names of at most 10 characters
  const std::string before = testing_support::ReadFileBytes(Path());
  EXPECT_THROW(r_.ApplyRestructure(), engine::EDBEngineError);
  EXPECT_EQ(testing_support::ReadFileBytes(Path()), before);
  EXPECT_FALSE(in_.Table()->Active());
  ASSERT_EQ(in_.FieldCount(), 6);
  EXPECT_EQ(in_.FieldOp(6), bde::crADD);
  r_.Field()->SetName("T1");
  r_.ModifyField(6, false);
  r_.ApplyRestructure();
  Snapshot s = ReadBack(dir_.path(), "Clientes.Dbf");
  EXPECT_EQ(s.fields.back(), "T1");
  ExpectOriginalRows(s, kClientesFields, {"T1"});
}

TEST_F(Apply, ATableOpenBeforeIsOpenAgainAfterAndExclusive) {
  in_.Table()->Open();
  AddNumber("SA", 12, 2);
  r_.ApplyRestructure();
  EXPECT_TRUE(in_.Table()->Active());
  EXPECT_TRUE(in_.Table()->Exclusive());
  EXPECT_EQ(in_.FieldCount(), 6);
  // Nobody else can open it while the component holds it.
  engine::TTable other;
  other.SetDatabaseName(dir_.path());
  other.SetTableName("Clientes.Dbf");
  EXPECT_THROW(other.Open(), engine::EDatabaseError);
  in_.Table()->Close();
  Snapshot s = ReadBack(dir_.path(), "Clientes.Dbf");
  ExpectOriginalRows(s, kClientesFields, {"SA"});
}

// Holds the table open in another process until told to let go.
using OtherProcess = testing_support::TableHeldByAnotherProcess;

TEST_F(Apply, ATableHeldByAnotherProcessIsNotTouchedAndALaterApplySucceeds) {
  AddNumber("SA", 12, 2);
  const std::string before = testing_support::ReadFileBytes(Path());
  {
    OtherProcess other(dir_.path(), "Clientes.Dbf");
    ASSERT_TRUE(other.holding());
    try {
      r_.ApplyRestructure();
      FAIL() << "applied while another process held the table";
    } catch (const engine::EDatabaseError& e) {
      EXPECT_STREQ(e.what(), "Table could not be opened for exclusive access");
    }
    EXPECT_FALSE(in_.Table()->Active());
    EXPECT_TRUE(in_.Table()->Exclusive());
    ASSERT_EQ(in_.FieldCount(), 6);  // the queued edit is still there
    EXPECT_EQ(in_.FieldOp(6), bde::crADD);
    EXPECT_EQ(testing_support::ReadFileBytes(Path()), before);
    EXPECT_EQ(other.Release(), 0);
  }
  r_.ApplyRestructure();
  Snapshot s = ReadBack(dir_.path(), "Clientes.Dbf");
  EXPECT_EQ(s.fields.back(), "SA");
  ExpectOriginalRows(s, kClientesFields, {"SA"});
}

// The wizard's own use: the stock table's Criterio, an integer field, becomes a one-digit number,
// then ten amount fields are added in one more rebuild.
class ApplyExistencias : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!restructure_test::MakeExistencias(dir_.path()))
      GTEST_SKIP() << "this build has no dBASE storage";
    r_.SetDatabaseName(dir_.path());
    r_.SetTableName("Existencias.dbf");
  }
  testing_support::TempDir dir_;
  TRestructure r_;
  TRestructureInspector in_{r_};
};

TEST_F(ApplyExistencias, CriterioBecomesANumberOfOneDigitAndAmountsAreAdded) {
  const int level = in_.TableLevel();
  const int pos = r_.FieldIndex("Criterio");
  ASSERT_EQ(pos, 2);
  r_.LoadField(pos);
  r_.Field()->SetFieldType(dbNumber);
  r_.Field()->SetLength(1);
  r_.ModifyField(pos, false);
  r_.ApplyRestructure();
  r_.LoadField(2);
  EXPECT_EQ(r_.Field()->Name(), "CRITERIO");
  EXPECT_EQ(r_.Field()->FieldType(), dbNumber);
  EXPECT_EQ(r_.Field()->Length(), 1);
  EXPECT_EQ(r_.Field()->Precision(), 0);

  const char* added[] = {"Iniciales", "1T", "2T", "3T", "4T", "Finales",
                         "Var1T", "Var2T", "Var3T", "Var4T"};
  for (const char* name : added) {
    r_.Field()->SetFieldType(dbNumber);
    r_.Field()->SetName(name);
    r_.Field()->SetLength(12);
    r_.Field()->SetPrecision(2);
    r_.AddField(false);
  }
  r_.ApplyRestructure();

  Snapshot s = ReadBack(dir_.path(), "Existencias.dbf");
  ASSERT_EQ(s.fields.size(), 13u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(r_.FieldIndex(added[i]), 4 + i) << added[i];
  ASSERT_EQ(s.rows.size(), 3u);
  const char* codes[] = {"A-1", "B-22", "C-333"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(s.rows[i].at("CODIGO").s, codes[i]);
    EXPECT_EQ(s.rows[i].at("CRITERIO").AsDouble(), i * 3);  // 0, 3 and 6 fit one digit
    EXPECT_EQ(s.rows[i].at("NOTAS").s, std::string("nota ") + codes[i]);
    for (size_t f = 3; f < s.fields.size(); ++f) EXPECT_TRUE(s.rows[i].at(s.fields[f]).IsNull());
  }
  EXPECT_EQ(in_.TableLevel(), level);  // the engine keeps the table's level
}

// dBASE III+ tables written by other programs keep every value through a rebuild, as the engine
// and an independent reader see them.
TEST(ApplySamples, DbaseIIITablesKeepEveryValue) {
  for (const char* sample : {"infused-dbf/dbase_83.dbf", "dbd-xbase/test.dbf"}) {
    SCOPED_TRACE(sample);
    testing_support::TempDir dir;
    if (!restructure_test::CopySample(sample, dir.path())) GTEST_SKIP() << testing_support::NoSamples();
    const std::string table = std::string(sample).substr(std::string(sample).find('/') + 1);
    const Snapshot before = ReadBack(dir.path(), table);
    const auto physical = CountRecords(dir / table);
    std::optional<std::vector<std::string>> before_lines;
    if (testing_support::HaveDbfread()) before_lines = testing_support::DbfreadRecords(dir / table, "cp1252");

    TRestructure r;
    r.SetDatabaseName(dir.path());
    r.SetTableName(table);
    TRestructureInspector in(r);
    EXPECT_EQ(in.TableLevel(), 3);
    r.Field()->SetName("SA");
    r.Field()->SetFieldType(dbNumber);
    r.Field()->SetLength(12);
    r.Field()->SetPrecision(2);
    r.AddField(false);
    r.ApplyRestructure();

    const Snapshot after = ReadBack(dir.path(), table);
    std::vector<std::string> fields = before.fields;
    fields.push_back("SA");
    EXPECT_EQ(after.fields, fields);
    ASSERT_EQ(after.rows.size(), before.rows.size());
    for (size_t i = 0; i < before.rows.size(); ++i) {
      for (const auto& [name, value] : before.rows[i])
        EXPECT_EQ(after.rows[i].at(name), value) << "row " << i + 1 << " " << name;
      EXPECT_TRUE(after.rows[i].at("SA").IsNull());
    }
    // Packed: the deleted rows are gone, the live ones all there.
    EXPECT_EQ(CountRecords(dir / table).records, physical.records - physical.deleted);
    EXPECT_EQ(in.TableLevel(), 3);  // still a dBASE III table
    if (before_lines) {
      auto after_lines = testing_support::DbfreadRecords(dir / table, "cp1252");
      ASSERT_TRUE(after_lines.has_value());
      std::vector<std::string> live_before;
      for (const auto& l : *before_lines)
        if (l.find("\"_deleted\": false") != std::string::npos) live_before.push_back(l);
      ASSERT_EQ(after_lines->size(), live_before.size());
      for (size_t i = 0; i < live_before.size(); ++i) {
        // The same record with "SA": null added among its sorted keys.
        std::string expected = live_before[i];
        EXPECT_EQ((*after_lines)[i].find("\"SA\": null"), (*after_lines)[i].find("\"SA\"")) << (*after_lines)[i];
        std::string got = (*after_lines)[i];
        const std::string sa = "\"SA\": null, ";
        auto at = got.find(sa);
        ASSERT_NE(at, std::string::npos) << got;
        got.erase(at, sa.size());
        EXPECT_EQ(got, expected);
      }
    }
  }
}

}  // namespace
}  // namespace restructure
