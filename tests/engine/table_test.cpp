// Table objects over real dBASE tables: opening, browsing, editing, declared fields, locks.
#include "engine/table.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>

#include "engine/cursor.h"
#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace engine {
namespace {

using testing_support::TempDir;

TFieldDef Def(const std::string& name, TFieldType t, int size = 0, int precision = 0) {
  TFieldDef d;
  d.Name = name;
  d.DataType = t;
  d.Size = size;
  d.Precision = precision;
  return d;
}

// A customer table with a few rows, one of them deleted.
void MakeCustomers(const std::string& dir, int rows = 5) {
  TTable t;
  t.SetName("Clientes");
  t.SetDatabaseName(dir);
  t.SetTableName("Clientes.Dbf");
  t.FieldDefs().AddFieldDef() = Def("CODIGO", TFieldType::ftString, 6);
  t.FieldDefs().AddFieldDef() = Def("NOMBRE", TFieldType::ftString, 30);
  t.FieldDefs().AddFieldDef() = Def("SALDO", TFieldType::ftBCD, 2, 12);
  t.FieldDefs().AddFieldDef() = Def("ALTA", TFieldType::ftDate);
  t.FieldDefs().AddFieldDef() = Def("NOTAS", TFieldType::ftMemo);
  t.CreateTable();
  EXPECT_FALSE(t.Active());
  t.Open();
  for (int i = 1; i <= rows; ++i) {
    t.Append();
    t.SetFieldValue("codigo", Value::Text(testing_support::Numbered("C", i)));
    t.SetFieldValue("NOMBRE", Value::Text(testing_support::Numbered("Señora Núñez ", i)));
    if (i != 2) t.SetFieldValue("SALDO", Value::Number(i * 10.5));
    t.SetFieldValue("ALTA", Value::Date(DayFromCivil(2004, 1, i)));
    if (i == 3) t.SetFieldValue("NOTAS", Value::Text("Primera línea\r\nsegunda línea"));
    t.Post();
  }
  t.Close();
}

TEST(Table, CreatesAppendsAndBrowsesWithNullsAndMemos) {
  TempDir d;
  MakeCustomers(d.path());
  TTable t;
  t.SetName("Clientes");
  t.SetDatabaseName(d.path());
  t.SetTableName("CLIENTES.DBF");  // another letter case than on disk
  t.Open();
  EXPECT_EQ(t.RecordCount(), 5);
  EXPECT_EQ(t.FieldCount(), 5);
  int n = 0;
  for (t.First(); !t.Eof(); t.Next()) {
    ++n;
    EXPECT_EQ(t.FieldByName("CODIGO")->AsString(), testing_support::Numbered("C", n));
    EXPECT_EQ(t.FieldByName("nombre")->AsString(), testing_support::Numbered("Señora Núñez ", n));
    EXPECT_EQ(t.FieldByName("SALDO")->IsNull(), n == 2);
    if (n == 3) {
      EXPECT_EQ(t.FieldByName("NOTAS")->AsString(), "Primera línea\r\nsegunda línea");
      EXPECT_EQ(t.FieldByName("NOTAS")->Text(), "(MEMO)");
    } else {
      EXPECT_TRUE(t.FieldByName("NOTAS")->IsNull());
    }
  }
  EXPECT_EQ(n, 5);
  EXPECT_EQ(t.FieldByName("SALDO")->AsFloat(), 52.5);  // stays on the last row at the end
  EXPECT_THROW(t.FieldByName("NOEXISTE"), EDatabaseError);
  try {
    t.FieldByName("NOEXISTE");
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Clientes: No se encuentra el campo 'NOEXISTE'");
  }
}

TEST(Table, EndFlagAndEmptyTables) {
  TempDir d;
  MakeCustomers(d.path(), 0);
  TTable t;
  t.SetDatabaseName(d.path());
  t.SetTableName("Clientes.Dbf");
  t.Open();
  EXPECT_TRUE(t.Eof());  // set after First on an empty table
  t.First();
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_TRUE(t.FieldByName("CODIGO")->IsNull());
}

TEST(Table, MovingPostsChangedEditsAndDropsUnchangedOnes) {
  TempDir d;
  MakeCustomers(d.path());
  std::string file = d / "Clientes.Dbf";
  auto before = testing_support::ReadFileBytes(file);
  {
    TTable t;
    t.SetDatabaseName(d.path());
    t.SetTableName("Clientes.Dbf");
    t.Open();
    for (t.First(); !t.Eof(); t.Next()) t.Edit();  // nothing written: nothing rewritten
    t.Close();
  }
  EXPECT_EQ(testing_support::ReadFileBytes(file), before);
  {
    TTable t;
    t.SetDatabaseName(d.path());
    t.SetTableName("Clientes.Dbf");
    t.Open();
    for (t.First(); !t.Eof(); t.Next()) {
      t.Edit();
      if (t.FieldByName("SALDO")->IsNull()) t.FieldByName("SALDO")->SetAsInteger(7);
    }
    t.Close();
    t.Open();
    t.First();
    t.Next();
    EXPECT_EQ(t.FieldByName("SALDO")->AsInteger(), 7);
  }
}

TEST(Table, SettingsChangeOnlyWhileClosed) {
  TempDir d;
  MakeCustomers(d.path());
  TTable t;
  t.SetName("Empresas");
  t.SetDatabaseName(d.path());
  t.SetTableName("Clientes.Dbf");
  t.Open();
  t.SetDatabaseName(d.path());  // the value it holds: no change, no error
  try {
    t.SetDatabaseName(d / "otra");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Empresas: No se puede realizar esta operación en una fuente de datos abierta");
  }
  EXPECT_THROW(t.SetTableName("Otra.dbf"), EDatabaseError);
  EXPECT_THROW(t.SetExclusive(true), EDatabaseError);
  EXPECT_EQ(t.DatabaseName(), d.path());
}

TEST(Table, DeclaredFieldsAreBoundByNameAndKind) {
  TempDir d;
  MakeCustomers(d.path());
  {
    TTable t;
    t.SetName("Clientes");
    t.SetDatabaseName(d.path());
    t.SetTableName("Clientes.Dbf");
    auto* code = t.DeclareField<TStringField>("CODIGO", 4);  // another size is accepted
    t.DeclareField<TSmallintField>("SALDO");                  // N(12,2) is a float: refused
    try {
      t.Open();
      FAIL() << "a declared field of another kind must make the opening fail";
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), "Clientes: El campo 'SALDO' no es del tipo esperado Smallint, es Float");
    }
    EXPECT_FALSE(t.Active());
    (void)code;
  }
  {
    TTable t;
    t.SetName("Clientes");
    t.SetDatabaseName(d.path());
    t.SetTableName("Clientes.Dbf");
    t.DeclareField<TStringField>("CODIGO", 6);
    t.DeclareField<TDateField>("FALTA");
    EXPECT_THROW(t.Open(), EDatabaseError);
  }
  {
    TTable t;
    t.SetDatabaseName(d.path());
    t.SetTableName("Clientes.Dbf");
    auto* code = t.DeclareField<TStringField>("codigo", 6);
    auto* memo = t.DeclareField<TMemoField>("NOTAS");
    t.Open();
    EXPECT_EQ(t.FieldCount(), 2);  // further columns are ignored
    EXPECT_EQ(code->AsString(), "C1");
    EXPECT_TRUE(memo->IsNull());
  }
}

TEST(Table, MissingFolderOrTableGivesTheEngineErrorWithThePath) {
  TempDir d;
  TTable t;
  t.SetDatabaseName(d / "General");
  t.SetTableName("Empresas.DBF");
  try {
    t.Open();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_NE(std::string(e.what()).find("General"), std::string::npos);
  }
  EXPECT_THROW(t.Exists(), EDBEngineError);  // the folder is connected first
  t.SetDatabaseName(d.path());
  EXPECT_FALSE(t.Exists());
  try {
    t.Open();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_NE(std::string(e.what()).find("Empresas.DBF"), std::string::npos);
  }
}

TEST(Table, ExclusiveOpenFailsAtOnceWhileTheTableIsOpen) {
  TempDir d;
  MakeCustomers(d.path());
  TTable shared;
  shared.SetDatabaseName(d.path());
  shared.SetTableName("Clientes.Dbf");
  shared.Open();
  TTable excl;
  excl.SetDatabaseName(d.path());
  excl.SetTableName("Clientes.Dbf");
  excl.SetExclusive(true);
  EXPECT_THROW(excl.Open(), EDBEngineError);
  shared.Close();
  excl.Open();
  EXPECT_THROW(shared.Open(), EDBEngineError);  // an exclusive holder keeps everyone out
  excl.Close();
  shared.Open();
}

// A real second process holds the table open; our exclusive open must fail at once, as a table
// in use.
TEST(Table, AnotherProcessHoldingTheTableBlocksExclusiveOpen) {
  TempDir d;
  MakeCustomers(d.path());
  testing_support::TableHeldByAnotherProcess other(d.path(), "Clientes.Dbf");
  ASSERT_TRUE(other.holding());
  TTable excl;
  excl.SetDatabaseName(d.path());
  excl.SetTableName("Clientes.Dbf");
  excl.SetExclusive(true);
  try {
    excl.Open();
    ADD_FAILURE() << "exclusive open succeeded while another process held the table";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), engine::err::kTableInUse) << e.what();
  }
  EXPECT_FALSE(excl.Active());
  EXPECT_EQ(other.Release(), 0);
  excl.Open();
  EXPECT_TRUE(excl.Active());
}

#ifdef _WIN32
// Windows only: elsewhere an open without a lock keeps nobody out (POSIX has no sharing modes).
// Another program holds the table's file with a plain open that shares reading and writing and
// takes no lock, as the host application does. Our exclusive open fails at once with the very
// error a lock gives, while shared opens read and write beside it; and while we hold the table
// exclusively, such a program cannot open it.
TEST(Table, AProgramThatOpensTheFileWithoutLockingBlocksOnlyTheExclusiveOpen) {
  TempDir d;
  MakeCustomers(d.path());
  const std::string dbf = d.path() + "/Clientes.Dbf";
  std::string lock_message;
  {
    auto shared = testing_support::OpenTable(d.path(), "Clientes.Dbf");
    try {
      testing_support::OpenTable(d.path(), "Clientes.Dbf", true);
      FAIL() << "exclusive open succeeded beside a shared one";
    } catch (const EDBEngineError& e) {
      lock_message = e.what();
    }
  }
  auto other = testing_support::TableHeldByAnotherProcess::OpenWithoutLock(dbf);
  ASSERT_TRUE(other->holding());
  try {
    testing_support::OpenTable(d.path(), "Clientes.Dbf", true);
    ADD_FAILURE() << "exclusive open succeeded while another program had the file open";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), engine::err::kTableInUse) << e.what();
    EXPECT_EQ(std::string(e.what()), lock_message);
  }
  {
    auto shared = testing_support::OpenTable(d.path(), "Clientes.Dbf");
    EXPECT_EQ(shared->RecordCount(), 5);
    shared->Append();
    shared->SetFieldValue("CODIGO", Value::Text("C9"));
    shared->Post();
    EXPECT_EQ(shared->RecordCount(), 6);
  }
  EXPECT_EQ(other->Release(), 0);

  auto excl = testing_support::OpenTable(d.path(), "Clientes.Dbf", true);
  EXPECT_EQ(excl->RecordCount(), 6);
  auto late = testing_support::TableHeldByAnotherProcess::OpenWithoutLock(dbf);
  EXPECT_FALSE(late->holding());
  EXPECT_EQ(late->Release(), 1);  // table_holder could not open the file
  excl->Close();
  auto after = testing_support::TableHeldByAnotherProcess::OpenWithoutLock(dbf);
  EXPECT_TRUE(after->holding());
  EXPECT_EQ(after->Release(), 0);
}
#endif

TEST(Table, EngineCallsOnAnOpenCursor) {
  TempDir d;
  MakeCustomers(d.path());
  TTable t;
  t.SetDatabaseName(d.path());
  t.SetTableName("Clientes.Dbf");
  t.Open();
  Check(bde::DbiSetProp(t.Handle(), bde::curXLTMODE, bde::xltNONE));
  bde::CURProps props;
  Check(bde::DbiGetCursorProps(t.Handle(), props));
  EXPECT_STREQ(props.szTableType, "DBASE");
  // Fields of a packed record are read into locals before comparing (no references into it).
  const int level = props.iTblLevel, fields = props.iFields, checks = props.iValChecks;
  EXPECT_EQ(level, 4);
  EXPECT_EQ(fields, 5);
  EXPECT_EQ(checks, 0);
  std::vector<bde::FLDDesc> f(props.iFields);
  Check(bde::DbiGetFieldDescs(t.Handle(), f.data()));
  EXPECT_STREQ(f[0].szName, "CODIGO");
  EXPECT_EQ(+f[0].iFldType, bde::fldDBCHAR);
  EXPECT_EQ(+f[0].iUnits1, 6);
  EXPECT_EQ(+f[2].iFldType, bde::fldDBNUM);
  EXPECT_EQ(+f[2].iUnits1, 12);
  EXPECT_EQ(+f[2].iUnits2, 2);
  EXPECT_EQ(+f[4].iFldType, bde::fldDBMEMO);
  bde::hDBIObj db = nullptr;
  Check(bde::DbiGetObjFromObj(t.Handle(), bde::objDATABASE, &db));
  bde::hDBICur cur = t.Handle();
  t.Close();
  // The database stays valid after the table closes; the cursor does not.
  char dir[bde::DBIMAXPATHLEN + 1];
  Check(bde::DbiGetDirectory(static_cast<bde::hDBIDb>(db), false, dir));
  EXPECT_EQ(std::string(dir), d.path());
  EXPECT_THROW(Check(bde::DbiGetCursorProps(cur, props)), EDBEngineError);
  bde::VCHKDesc v;
  t.Open();
  EXPECT_NE(bde::DbiGetVchkDesc(t.Handle(), 1, &v), bde::DBIERR_NONE);
}

TEST(Table, IntegerDefinitionBecomesTheLevelsIntegerType) {
  TempDir d;
  TTable t;
  t.SetDatabaseName(d.path());
  t.SetTableType(TTableType::ttDBase);
  t.SetTableName("Existencias.dbf");
  t.FieldDefs().Add("Criterio", TFieldType::ftInteger);
  t.CreateTable();
  EXPECT_TRUE(t.Exists());
  t.Open();
  Check(bde::DbiSetProp(t.Handle(), bde::curXLTMODE, bde::xltNONE));
  bde::FLDDesc f;
  Check(bde::DbiGetFieldDescs(t.Handle(), &f));
  EXPECT_EQ(+f.iFldType, bde::fldDBNUM);
  EXPECT_EQ(+f.iUnits2, 0);
  EXPECT_EQ(t.RecordCount(), 0);
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// A detail table may outlive its master's data source, and a source may outlive its dataset:
// either order of destruction leaves no dangling link (checked under the sanitizers).
TEST(Table, MasterLinksSurviveAnyOrderOfDestruction) {
  auto detail = std::make_unique<TTable>();
  {
    TTable master;
    TDataSource ds;
    ds.SetDataSet(&master);
    detail->SetMasterSource(&ds);
    detail->SetMasterFields("NOMBRE");
    EXPECT_EQ(detail->MasterSource(), &ds);
  }  // ds, then master, go first
  EXPECT_EQ(detail->MasterSource(), nullptr);
  detail.reset();

  auto ds = std::make_unique<TDataSource>();
  {
    TTable master, other_detail;
    ds->SetDataSet(&master);
    other_detail.SetMasterSource(ds.get());
  }  // the tables go first
  EXPECT_EQ(ds->DataSet(), nullptr);
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// A unique tag holds one row per key. When that row's key changes, another row with the old key
// takes its place in the tag, so that every key of the table stays findable.
TEST(Table, UniqueTagKeepsAKeyWhenItsRowChanges) {
  TempDir d;
  TTable t;
  t.SetDatabaseName(d.path());
  t.SetTableName("Codigos.dbf");
  t.FieldDefs().Add("CODIGO", TFieldType::ftString, 4);
  t.FieldDefs().Add("NOTA", TFieldType::ftString, 10);
  t.IndexDefs().Add("CODIGO", "CODIGO", ixUnique);
  t.CreateTable();
  t.Open();
  for (const char* c : {"A", "A", "B"}) {
    t.Append();
    t.SetFieldValue("CODIGO", Value::Text(c));
    t.Post();
  }
  t.First();  // the first "A"
  t.Edit();
  t.SetFieldValue("CODIGO", Value::Text("C"));
  t.Post();
  t.Close();
  auto report = dbase::CheckTableIndexes(d / "Codigos.dbf");
  EXPECT_TRUE(report.ok()) << (report.ok() ? "" : report.problems[0]);
  t.SetIndexName("CODIGO");
  t.Open();
  std::vector<std::string> keys;
  for (t.First(); !t.Eof(); t.Next()) keys.push_back(t.FieldByName("CODIGO")->AsString());
  EXPECT_EQ(keys, (std::vector<std::string>{"A", "B", "C"}));
}

}  // namespace
}  // namespace engine
