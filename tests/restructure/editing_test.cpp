// Reading a table's structure into TRestructure and editing it in memory: field lookup, the
// field-type rule and its event, add, insert, move, delete, modify, load, and the renumbering of
// validity checks that goes with them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "restructure/Restructure.h"
#include "tests/restructure/inspector.h"
#include "tests/restructure/support.h"
#include "tests/support/temp_dir.h"

namespace restructure {
namespace {

using restructure_test::MakeClientes;

std::string ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

class Editing : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!MakeClientes(dir_.path())) GTEST_SKIP() << "this build has no dBASE storage";
    r_.SetDatabaseName(dir_.path());
    r_.SetTableName("Clientes.Dbf");
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> v;
    for (int i = 1; i <= in_.FieldCount(); ++i) v.push_back(in_.FieldName(i));
    return v;
  }
  std::vector<int> Ops() const {
    std::vector<int> v;
    for (int i = 1; i <= in_.FieldCount(); ++i) v.push_back(in_.FieldOp(i));
    return v;
  }
  std::vector<int> CheckFields() const {
    std::vector<int> v;
    for (int k = 1; k <= in_.ValCheckCount(); ++k) v.push_back(in_.ValCheck(k).iFldNum);
    return v;
  }
  void Describe(const std::string& name, TdBasePxFieldType type, uint16_t length,
                uint16_t precision) {
    r_.Field()->SetName(name);
    r_.Field()->SetFieldType(type);
    r_.Field()->SetLength(length);
    r_.Field()->SetPrecision(precision);
  }
  // Places one reported check on each of the table's five fields.
  void PlaceChecksOnEveryField() {
    for (uint16_t f = 1; f <= 5; ++f) {
      bde::VCHKDesc c{};
      c.iFldNum = f;
      c.bRequired = 0xFFFF;
      in_.PlaceReportedValCheck(c);
    }
  }

  testing_support::TempDir dir_;
  TRestructure r_;
  TRestructureInspector in_{r_};
};

TEST_F(Editing, ReadsFieldsTypeLevelAndPositions) {
  EXPECT_EQ(in_.TableType(), "DBASE");
  EXPECT_EQ(in_.TableLevel(), 4);
  EXPECT_EQ(Names(), (std::vector<std::string>{"NOMBRE", "SALDO", "ALTA", "NOTAS", "ACTIVO"}));
  EXPECT_EQ(Ops(), (std::vector<int>{0, 0, 0, 0, 0}));
  const uint16_t types[] = {0x201, 0x202, 0x205, 0x203, 0x204};
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(+in_.Field(i).iFldNum, i);
    EXPECT_EQ(+in_.Field(i).iFldType, types[i - 1]);  // physical types: no translation
  }
  EXPECT_EQ(+in_.Field(2).iUnits1, 10);
  EXPECT_EQ(+in_.Field(2).iUnits2, 2);
  EXPECT_EQ(in_.ValCheckCount(), 0);
  EXPECT_FALSE(in_.ValChecksPresent());
  EXPECT_FALSE(in_.Table()->Active());  // read, then closed again
}

TEST_F(Editing, FieldIndexIgnoresTheCaseOfAsciiLettersOnly) {
  EXPECT_EQ(r_.FieldIndex("NOMBRE"), 1);
  EXPECT_EQ(r_.FieldIndex("nombre"), 1);
  EXPECT_EQ(r_.FieldIndex("Activo"), 5);
  EXPECT_EQ(r_.FieldIndex("NOMBR"), 0);
  EXPECT_EQ(r_.FieldIndex("NOMBRE "), 0);
  EXPECT_EQ(r_.FieldIndex("SA"), 0);
  EXPECT_EQ(r_.FieldIndex(""), 0);
  Describe("Año", dbNumber, 4, 0);
  r_.AddField(false);
  EXPECT_EQ(r_.FieldIndex("Año"), 6);
  EXPECT_EQ(r_.FieldIndex("AñO"), 6);  // A and O differ in case only: found
  EXPECT_EQ(r_.FieldIndex("AÑO"), 0);  // Ñ is not ñ
  Describe("Ñ", dbNumber, 4, 0);
  r_.AddField(false);
  EXPECT_EQ(r_.FieldIndex("ñ"), 0);  // non-ASCII letters must match exactly
}

TEST_F(Editing, SettingTheSameTableNameDiscardsEdits) {
  Describe("SA", dbNumber, 12, 2);
  r_.AddField(false);
  r_.DeleteField(1);
  EXPECT_EQ(in_.FieldCount(), 5);
  r_.SetTableName("Clientes.Dbf");
  EXPECT_EQ(Names(), (std::vector<std::string>{"NOMBRE", "SALDO", "ALTA", "NOTAS", "ACTIVO"}));
  EXPECT_EQ(Ops(), (std::vector<int>{0, 0, 0, 0, 0}));
}

TEST(EditingWithoutTable, AMissingTableLeavesNoStructure) {
  testing_support::TempDir dir_;
  TRestructure r_;
  TRestructureInspector in_{r_};
  r_.SetDatabaseName(dir_.path());
  auto Describe = [&](const std::string& name, TdBasePxFieldType type, uint16_t length,
                      uint16_t precision) {
    r_.Field()->SetName(name);
    r_.Field()->SetFieldType(type);
    r_.Field()->SetLength(length);
    r_.Field()->SetPrecision(precision);
  };
  EXPECT_EQ(ErrorOf([&] { r_.SetTableName("NoExiste.dbf"); }), "Table could not be opened");
  EXPECT_FALSE(in_.FieldsPresent());
  EXPECT_EQ(r_.FieldIndex("NOMBRE"), 0);
  Describe("SA", dbNumber, 12, 2);
  r_.AddField(false);
  r_.InsertField(1, false);
  r_.ModifyField(1, false);
  r_.MoveField(1, 2);
  r_.DeleteField(1);
  EXPECT_FALSE(in_.FieldsPresent());
  EXPECT_EQ(ErrorOf([&] { r_.LoadField(1); }), "Field index not in range");
  // Applying without a structure would drop every column: refused, nothing is created.
  EXPECT_THROW(r_.ApplyRestructure(), engine::EDatabaseError);
  EXPECT_FALSE(testing_support::FileExists(dir_ / "NoExiste.dbf"));
  EXPECT_FALSE(in_.Table()->Active());
}

TEST_F(Editing, AddFieldRecordAndTypeRulesAtLevel4) {
  Describe("SA", dbNumber, 12, 2);
  r_.AddField(false);
  ASSERT_EQ(in_.FieldCount(), 6);
  const bde::FLDDesc& f = in_.Field(6);
  EXPECT_EQ(in_.FieldName(6), "SA");
  EXPECT_EQ(+f.iFldType, 0x202);
  EXPECT_EQ(+f.iSubType, 0);
  EXPECT_EQ(+f.iUnits1, 12);
  EXPECT_EQ(+f.iUnits2, 2);
  EXPECT_EQ(+f.iFldNum, 0);
  EXPECT_EQ(in_.FieldOp(6), bde::crADD);

  Describe("F", dbFloat, 20, 4);  // level 4 admits F
  r_.AddField(false);
  EXPECT_EQ(in_.FieldCount(), 7);
  EXPECT_EQ(+in_.Field(7).iFldType, 0x206);
  for (TdBasePxFieldType refused : {dbOLE, dbBinary, dbLong, dbDouble, dbLock, pxAlpha, pxNumber,
                                    pxUnknown, static_cast<TdBasePxFieldType>(40)}) {
    SCOPED_TRACE(static_cast<int>(refused));
    r_.Field()->SetFieldType(refused);
    r_.AddField(false);  // no handler: nothing, silently
    EXPECT_EQ(in_.FieldCount(), 7);
  }
}

// A dBASE III+ table written by another program (0x83, with memo).
class Level3 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!restructure_test::CopySample("infused-dbf/dbase_83.dbf", dir_.path()))
      GTEST_SKIP() << testing_support::NoSamples();
    r_.SetDatabaseName(dir_.path());
    r_.SetTableName("dbase_83.dbf");
  }
  testing_support::TempDir dir_;
  TRestructure r_;
  TRestructureInspector in_{r_};
};

struct EventLog {
  int calls = 0;
  engine::TComponent* sender = nullptr;
  const TFieldDesc* field = nullptr;
  TdBasePxFieldType type = pxUnknown;
  void OnInappropriate(engine::TComponent* s, const TFieldDesc* f) {
    ++calls;
    sender = s;
    field = f;
    type = f->FieldType();
  }
};

TEST_F(Level3, InappropriateTypesRaiseTheEventAndChangeNothing) {
  ASSERT_EQ(in_.TableLevel(), 3);
  EventLog log;
  r_.SetOnFieldInappropriate(BindEvent(&log, &EventLog::OnInappropriate));
  ASSERT_TRUE(static_cast<bool>(r_.OnFieldInappropriate()));
  ASSERT_EQ(in_.FieldCount(), 15);

  r_.Field()->SetName("SA");
  r_.Field()->SetFieldType(dbNumber);
  r_.Field()->SetLength(12);
  r_.Field()->SetPrecision(2);
  r_.AddField(false);
  EXPECT_EQ(log.calls, 0);
  ASSERT_EQ(in_.FieldCount(), 16);
  EXPECT_EQ(+in_.Field(16).iFldType, 0x202);
  EXPECT_EQ(+in_.Field(16).iUnits1, 12);
  EXPECT_EQ(+in_.Field(16).iUnits2, 2);
  EXPECT_EQ(in_.FieldOp(16), bde::crADD);

  r_.Field()->SetFieldType(dbFloat);  // level 4 and up
  r_.AddField(false);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.sender, &r_);
  EXPECT_EQ(log.field, r_.Field());
  EXPECT_EQ(log.type, dbFloat);
  EXPECT_EQ(in_.FieldCount(), 16);

  // Insert and modify test the type before the position: no range error for a refused type.
  r_.InsertField(99, false);
  r_.ModifyField(99, false);
  EXPECT_EQ(log.calls, 3);
  r_.Field()->SetFieldType(pxUnknown);  // a fresh descriptor's type: never admitted
  r_.ModifyField(1, false);
  EXPECT_EQ(log.calls, 4);
  EXPECT_EQ(in_.FieldName(1), "ID");
  EXPECT_EQ(in_.FieldOp(1), bde::crNOOP);
  r_.Field()->SetFieldType(pxNumber);  // a Paradox type on a dBASE table
  r_.AddField(false);
  EXPECT_EQ(log.calls, 5);

  // A handler may replace itself while it runs.
  int second = 0;
  r_.SetOnFieldInappropriate([&](engine::TComponent*, const TFieldDesc*) {
    ++second;
    r_.SetOnFieldInappropriate(nullptr);
  });
  r_.AddField(false);
  r_.AddField(false);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(in_.FieldCount(), 16);
}

TEST_F(Editing, InsertFieldRangeAndPlacement) {
  Describe("SA", dbNumber, 12, 2);
  EXPECT_EQ(ErrorOf([&] { r_.InsertField(0, false); }), "Field index not in range");
  EXPECT_EQ(ErrorOf([&] { r_.InsertField(7, false); }), "Field index not in range");
  EXPECT_EQ(in_.FieldCount(), 5);
  r_.InsertField(6, false);  // count + 1 appends
  Describe("PRIMERO", dbCharacter, 5, 0);
  r_.InsertField(1, false);
  EXPECT_EQ(Names(), (std::vector<std::string>{"PRIMERO", "NOMBRE", "SALDO", "ALTA", "NOTAS",
                                               "ACTIVO", "SA"}));
  EXPECT_EQ(Ops(), (std::vector<int>{1, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(+in_.Field(1).iFldNum, 0);
  EXPECT_EQ(+in_.Field(2).iFldNum, 1);  // still names the field as it was read
  EXPECT_EQ(+in_.Field(1).iFldType, 0x201);
  EXPECT_EQ(+in_.Field(1).iUnits1, 5);
}

TEST_F(Editing, MoveFieldRangesAndOrder) {
  r_.MoveField(3, 3);
  r_.MoveField(99, 99);  // equal positions: nothing, whatever the range
  r_.MoveField(0, 0);
  EXPECT_EQ(ErrorOf([&] { r_.MoveField(0, 1); }), "Field index not in range: OldPos");
  EXPECT_EQ(ErrorOf([&] { r_.MoveField(6, 99); }), "Field index not in range: OldPos");
  EXPECT_EQ(ErrorOf([&] { r_.MoveField(1, 99); }), "Field index not in range: NewPos");
  EXPECT_EQ(ErrorOf([&] { r_.MoveField(1, 0); }), "Field index not in range: NewPos");
  EXPECT_EQ(Names(), (std::vector<std::string>{"NOMBRE", "SALDO", "ALTA", "NOTAS", "ACTIVO"}));

  Describe("SA", dbNumber, 12, 2);
  r_.AddField(false);
  r_.MoveField(6, 2);  // the added field and its code move together
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"NOMBRE", "SA", "SALDO", "ALTA", "NOTAS", "ACTIVO"}));
  EXPECT_EQ(Ops(), (std::vector<int>{0, 1, 0, 0, 0, 0}));
  r_.MoveField(1, 6);
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"SA", "SALDO", "ALTA", "NOTAS", "ACTIVO", "NOMBRE"}));
  EXPECT_EQ(Ops(), (std::vector<int>{1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(+in_.Field(6).iFldNum, 1);  // moving never alters the number read
}

TEST_F(Editing, FieldOperationsRenumberValidityChecks) {
  PlaceChecksOnEveryField();
  ASSERT_EQ(CheckFields(), (std::vector<int>{1, 2, 3, 4, 5}));

  r_.MoveField(2, 5);  // 2 -> 5; 3..5 -> 2..4
  EXPECT_EQ(CheckFields(), (std::vector<int>{1, 5, 2, 3, 4}));
  r_.MoveField(5, 2);  // back: 5 -> 2; 2..4 -> 3..5
  EXPECT_EQ(CheckFields(), (std::vector<int>{1, 2, 3, 4, 5}));

  Describe("SA", dbNumber, 12, 2);
  r_.InsertField(3, false);  // checks on 3 and later shift up
  EXPECT_EQ(CheckFields(), (std::vector<int>{1, 2, 4, 5, 6}));
  r_.DeleteField(2);  // the check of the deleted field keeps 0
  EXPECT_EQ(CheckFields(), (std::vector<int>{1, 0, 3, 4, 5}));
  r_.InsertField(1, false);  // 0 stays 0
  EXPECT_EQ(CheckFields(), (std::vector<int>{2, 0, 4, 5, 6}));
  EXPECT_EQ(in_.ValCheckCount(), 5);  // no check is removed
  for (int k = 1; k <= 5; ++k) EXPECT_EQ(in_.ValCheckOp(k), bde::crNOOP);
}

TEST_F(Editing, DeleteFieldRangesAndTheLastField) {
  EXPECT_EQ(ErrorOf([&] { r_.DeleteField(0); }), "Field index not in range");
  EXPECT_EQ(ErrorOf([&] { r_.DeleteField(6); }), "Field index not in range");
  Describe("SA", dbNumber, 12, 2);
  r_.AddField(false);
  r_.DeleteField(2);
  EXPECT_EQ(Names(), (std::vector<std::string>{"NOMBRE", "ALTA", "NOTAS", "ACTIVO", "SA"}));
  EXPECT_EQ(Ops(), (std::vector<int>{0, 0, 0, 0, 1}));
  while (in_.FieldCount() > 0) r_.DeleteField(1);
  EXPECT_FALSE(in_.FieldsPresent());
  r_.AddField(false);  // nothing until the table is pointed at again
  EXPECT_FALSE(in_.FieldsPresent());
  EXPECT_EQ(ErrorOf([&] { r_.LoadField(1); }), "Field index not in range");
  // An apply would remove every column: refused, and the table keeps its fields and rows.
  EXPECT_THROW(r_.ApplyRestructure(), engine::EDatabaseError);
  auto back = restructure_test::ReadBack(dir_.path(), "Clientes.Dbf");
  EXPECT_EQ(back.fields.size(), 5u);
  EXPECT_EQ(back.rows.size(), 4u);
  r_.SetTableName("Clientes.Dbf");
  r_.AddField(false);
  EXPECT_EQ(in_.FieldCount(), 6);
}

TEST_F(Editing, ModifyFieldCodesAndRecord) {
  const bde::FLDDesc before = in_.Field(2);
  Describe("IMPORTE", dbNumber, 14, 3);
  r_.ModifyField(2, false);
  EXPECT_EQ(in_.FieldOp(2), bde::crMODIFY);
  EXPECT_EQ(in_.FieldName(2), "IMPORTE");
  EXPECT_EQ(+in_.Field(2).iUnits1, 14);
  EXPECT_EQ(+in_.Field(2).iUnits2, 3);
  EXPECT_EQ(+in_.Field(2).iFldNum, 2);
  EXPECT_EQ(+in_.Field(2).iOffset, before.iOffset);  // the engine's other fields stay

  Describe("SA", dbNumber, 12, 2);
  r_.AddField(false);
  Describe("SA", dbNumber, 8, 0);
  r_.ModifyField(6, false);
  EXPECT_EQ(in_.FieldOp(6), bde::crADD);  // an added field stays added
  EXPECT_EQ(+in_.Field(6).iUnits1, 8);
  EXPECT_EQ(ErrorOf([&] { r_.ModifyField(0, false); }), "Field index not in range");
  EXPECT_EQ(ErrorOf([&] { r_.ModifyField(7, false); }), "Field index not in range");

  // A shorter name replaces the old one whole.
  Describe("N", dbCharacter, 20, 0);
  r_.ModifyField(1, false);
  EXPECT_EQ(in_.FieldName(1), "N");
}

TEST_F(Editing, NamesLongerThanTheEngineHoldsAreRefused) {
  Describe(std::string(32, 'X'), dbNumber, 12, 2);
  EXPECT_THROW(r_.AddField(false), engine::EDatabaseError);
  EXPECT_THROW(r_.InsertField(1, false), engine::EDatabaseError);
  EXPECT_THROW(r_.ModifyField(1, false), engine::EDatabaseError);
  EXPECT_EQ(Names(), (std::vector<std::string>{"NOMBRE", "SALDO", "ALTA", "NOTAS", "ACTIVO"}));
  EXPECT_EQ(Ops(), (std::vector<int>{0, 0, 0, 0, 0}));
  const std::string message = ErrorOf([&] { r_.AddField(false); });
  EXPECT_NE(message.find("31"), std::string::npos) << message;
  EXPECT_NE(message.find("Clientes.Dbf"), std::string::npos) << message;
  Describe(std::string("A\0B", 3), dbNumber, 12, 2);
  EXPECT_THROW(r_.AddField(false), engine::EDatabaseError);
  Describe(std::string(31, 'X'), dbNumber, 12, 2);  // 31 fits
  r_.AddField(false);
  EXPECT_EQ(in_.FieldName(6), std::string(31, 'X'));
}

TEST_F(Editing, LoadFieldFillsTheFieldAndResetsTheCheck) {
  r_.ValCheck()->SetRequired(true);
  r_.ValCheck()->SetMinimumValue("1");
  r_.ValCheck()->SetPicture("###");
  r_.ValCheck()->SetLookupDatabaseName(dir_.path());
  r_.ValCheck()->SetLookupTableName("X.db");
  r_.ValCheck()->SetLookupType(ltAllCorresponding);
  r_.ValCheck()->SetLookupAccess(laFillNoHelp);
  PlaceChecksOnEveryField();  // a dBASE table reads no check into the descriptor
  r_.LoadField(2);
  EXPECT_EQ(r_.Field()->Name(), "SALDO");
  EXPECT_EQ(r_.Field()->FieldType(), dbNumber);
  EXPECT_EQ(r_.Field()->Length(), 10);
  EXPECT_EQ(r_.Field()->Precision(), 2);
  const TValCheckDesc& v = *r_.ValCheck();
  EXPECT_FALSE(v.Required());
  EXPECT_EQ(v.MinimumValue(), "");
  EXPECT_EQ(v.Picture(), "");
  EXPECT_EQ(v.LookupDatabaseName(), "");
  EXPECT_EQ(v.LookupTableName(), "");
  EXPECT_EQ(v.LookupTable()->TableName(), "");
  EXPECT_EQ(v.LookupType(), ltCurrentField);
  EXPECT_EQ(v.LookupAccess(), laHelpAndFill);
  r_.LoadField(4);
  EXPECT_EQ(r_.Field()->FieldType(), dbMemo);
  EXPECT_EQ(r_.Field()->Length(), 10);
  EXPECT_EQ(ErrorOf([&] { r_.LoadField(0); }), "Field index not in range");
  EXPECT_EQ(ErrorOf([&] { r_.LoadField(6); }), "Field index not in range");
  EXPECT_EQ(r_.Field()->Name(), "NOTAS");
}

TEST_F(Editing, BcdLengthCarriesThePlacesBothWays) {
  in_.PretendTableType("PARADOX", 7);
  Describe("IMPORTE", pxBCD, 4, 9);  // places 4; the precision is ignored
  r_.AddField(false);
  const bde::FLDDesc& f = in_.Field(6);
  EXPECT_EQ(+f.iFldType, 0x111);
  EXPECT_EQ(+f.iUnits1, 0);
  EXPECT_EQ(+f.iUnits2, 4);
  r_.Field()->SetPrecision(7);
  r_.LoadField(6);
  EXPECT_EQ(r_.Field()->FieldType(), pxBCD);
  EXPECT_EQ(r_.Field()->Length(), 4);
  EXPECT_EQ(r_.Field()->Precision(), 0);
  r_.ModifyField(6, false);
  EXPECT_EQ(+in_.Field(6).iUnits1, 0);
  EXPECT_EQ(+in_.Field(6).iUnits2, 4);
}

TEST(EditingWithoutTable, PropertiesAndDescriptorsOfTheComponent) {
  TRestructure fresh;
  EXPECT_TRUE(fresh.PackTable());
  EXPECT_FALSE(static_cast<bool>(fresh.OnFieldInappropriate()));
  EXPECT_EQ(fresh.Field()->FieldType(), pxUnknown);
  EXPECT_EQ(fresh.DatabaseName(), "");
  EXPECT_EQ(fresh.TableName(), "");
  TRestructureInspector fin(fresh);
  EXPECT_FALSE(fin.FieldsPresent());
  EXPECT_EQ(fin.TableType(), "");
  EXPECT_EQ(fin.TableLevel(), 0);

  TFieldDesc d;
  d.SetName("SC");
  d.SetFieldType(dbNumber);
  d.SetLength(12);
  d.SetPrecision(2);
  fresh.Field()->SetPrecision(5);
  fresh.SetField(&d);  // copied by Assign: the precision stays
  EXPECT_EQ(fresh.Field()->Name(), "SC");
  EXPECT_EQ(fresh.Field()->Precision(), 5);
  EXPECT_NE(fresh.Field(), &d);
  fresh.SetField(nullptr);
  EXPECT_EQ(fresh.Field()->Name(), "SC");
  TValCheckDesc v;
  v.SetLookupTableName("L.db");
  fresh.SetValCheck(&v);
  EXPECT_EQ(fresh.ValCheck()->LookupTable()->TableName(), "L.db");
  fresh.SetValCheck(nullptr);
  EXPECT_EQ(fresh.ValCheck()->LookupTableName(), "L.db");

  // The component owns its table object; an owner destroys the component with it.
  auto* owner = new engine::TComponent(nullptr);
  auto* owned = new TRestructure(owner);
  EXPECT_EQ(owner->Components().size(), 1u);
  EXPECT_EQ(owned->Components().size(), 1u);
  delete owner;  // ASan reports a leak or a double free here if ownership is wrong
}

}  // namespace
}  // namespace restructure
