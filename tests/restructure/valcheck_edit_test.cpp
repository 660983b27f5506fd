// Adding, changing, emptying and reading back validity checks, with the conversion of their
// values, the lookup path and the limits of the record fields.
//
// Checks exist on Paradox tables only. The structure used here is that of a real dBASE table read
// through the engine, with its reported type changed to PARADOX level 7 and Paradox fields added
// in memory (see TRestructureInspector::PretendTableType). Only the last test applies such a
// structure, to see that the engine refuses it and what reached it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "engine/value.h"
#include "restructure/Restructure.h"
#include "tests/restructure/inspector.h"
#include "tests/restructure/support.h"
#include "tests/support/temp_dir.h"

namespace restructure {
namespace {

std::string Text(const char* s, size_t cap) { return std::string(s, strnlen(s, cap)); }

class ValChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!restructure_test::MakeClientes(dir_.path()))
      GTEST_SKIP() << "this build has no dBASE storage";
    r_.SetDatabaseName(dir_.path());
    r_.SetTableName("Clientes.Dbf");
    in_.PretendTableType("PARADOX", 7);
    // Fields 6..14.
    Add("TEXTO", pxAlpha, 20);
    Add("CANTIDAD", pxShort, 0);
    Add("IMPORTE", pxBCD, 2);
    Add("FECHA", pxDate, 0);
    Add("HORA", pxTime, 0);
    Add("MOMENTO", pxTimestamp, 0);
    Add("ACTIVO2", pxLogical, 0);
    Add("CONTADOR", pxAutoincrement, 0);
    Add("MEMO", pxMemo, 10);
    ASSERT_EQ(in_.FieldCount(), 14);
  }
  void Add(const char* name, TdBasePxFieldType type, uint16_t length) {
    r_.Field()->SetName(name);
    r_.Field()->SetFieldType(type);
    r_.Field()->SetLength(length);
    r_.Field()->SetPrecision(0);
    r_.AddField(false);
  }
  // Resets the descriptor the way LoadField does.
  void ClearCheck() {
    TValCheckDesc fresh;
    r_.SetValCheck(&fresh);
  }
  std::string ErrorOf(const std::function<void()>& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(no error)";
  }

  testing_support::TempDir dir_;
  TRestructure r_;
  TRestructureInspector in_{r_};
  TValCheckDesc& v() { return *r_.ValCheck(); }
};

TEST_F(ValChecks, WhichValuesMakeACheckNeeded) {
  EXPECT_FALSE(in_.ValCheckNeeded("TEXTO"));
  v().SetPicture("&");
  EXPECT_TRUE(in_.ValCheckNeeded("TEXTO"));
  EXPECT_TRUE(in_.ValCheckNeeded("MOMENTO"));
  EXPECT_FALSE(in_.ValCheckNeeded("ACTIVO2"));   // logical: only a default counts
  EXPECT_FALSE(in_.ValCheckNeeded("CONTADOR"));  // autoincrement: only a minimum counts
  EXPECT_FALSE(in_.ValCheckNeeded("MEMO"));
  EXPECT_FALSE(in_.ValCheckNeeded("texto"));  // found by position, but of unknown type
  ClearCheck();
  v().SetDefaultValue("TRUE");
  EXPECT_TRUE(in_.ValCheckNeeded("ACTIVO2"));
  EXPECT_FALSE(in_.ValCheckNeeded("CONTADOR"));
  ClearCheck();
  v().SetMinimumValue("1");
  EXPECT_TRUE(in_.ValCheckNeeded("CONTADOR"));
  EXPECT_FALSE(in_.ValCheckNeeded("ACTIVO2"));
  ClearCheck();
  v().SetRequired(true);  // required makes any field's check needed
  EXPECT_TRUE(in_.ValCheckNeeded("MEMO"));
  ClearCheck();
  v().SetLookupTableName("Paises.db");
  EXPECT_FALSE(in_.ValCheckNeeded("MEMO"));  // a lookup needs both names
  v().SetLookupDatabaseName(dir_.path());
  EXPECT_TRUE(in_.ValCheckNeeded("MEMO"));
  in_.PretendTableType("DBASE", 7);
  EXPECT_FALSE(in_.ValCheckNeeded("MEMO"));
}

TEST_F(ValChecks, TodayIsStoredAsAFlagAndReadBack) {
  v().SetMinimumValue("  today ");
  v().SetMaximumValue("31/12/2030");
  v().SetDefaultValue("2025-01-02");
  r_.AddValCheck("FECHA");
  ASSERT_EQ(in_.ValCheckCount(), 1);
  const bde::VCHKDesc& c = in_.ValCheck(1);
  EXPECT_EQ(in_.ValCheckOp(1), bde::crADD);
  EXPECT_EQ(+c.iFldNum, 9);
  EXPECT_EQ(+c.bHasMinVal, bde::TODAYVAL);
  for (uint8_t b : c.aMinVal) EXPECT_EQ(b, 0);
  EXPECT_EQ(+c.bHasMaxVal, 1);
  EXPECT_EQ(+c.bHasDefVal, 1);
  EXPECT_EQ(+c.bRequired, 0);
  bde::DBIDATE max;
  std::memcpy(&max, c.aMaxVal, sizeof max);
  EXPECT_EQ(max, engine::DayFromCivil(2030, 12, 31));

  ClearCheck();
  r_.LoadField(9);
  EXPECT_EQ(r_.Field()->Name(), "FECHA");
  EXPECT_EQ(v().MinimumValue(), "TODAY");
  EXPECT_EQ(v().MaximumValue(), "31/12/2030");
  EXPECT_EQ(v().DefaultValue(), "02/01/2025");
  EXPECT_FALSE(v().Required());
}

TEST_F(ValChecks, EveryKindOfValueRoundTripsThroughLoadField) {
  struct Case {
    const char* field;
    int pos;
    const char* min;
    const char* max;
    const char* def;
    const char* min_back;
    const char* max_back;
    const char* def_back;
  } cases[] = {
      {"TEXTO", 6, "A", "zz", "Hola", "A", "zz", "Hola"},
      {"CANTIDAD", 7, "-5", "300", "+7", "-5", "300", "7"},
      {"IMPORTE", 8, "0", "1234,567", "10.5", "0", "1234,57", "10,5"},
      {"HORA", 10, "08:00", "now", "12:30:15.5", "08:00:00", "NOW", "12:30:15.500"},
      {"MOMENTO", 11, "2024-01-01T00:00", "31/12/2024 23:59:59", "NOW", "01/01/2024 00:00:00",
       "31/12/2024 23:59:59", "NOW"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.field);
    ClearCheck();
    v().SetRequired(true);
    v().SetMinimumValue(k.min);
    v().SetMaximumValue(k.max);
    v().SetDefaultValue(k.def);
    v().SetPicture("*#");
    r_.AddValCheck(k.field);
    ClearCheck();
    r_.LoadField(k.pos);
    EXPECT_TRUE(v().Required());
    EXPECT_EQ(v().MinimumValue(), k.min_back);
    EXPECT_EQ(v().MaximumValue(), k.max_back);
    EXPECT_EQ(v().DefaultValue(), k.def_back);
    EXPECT_EQ(v().Picture(), "*#");
  }
  EXPECT_EQ(in_.ValCheckCount(), 5);
}

TEST_F(ValChecks, LogicalAndAutoincrementStoreOnlyWhatTheyCanHold) {
  v().SetMinimumValue("TRUE");  // no minimum for a logical field
  v().SetMaximumValue("TRUE");  // nor a maximum
  v().SetDefaultValue("true");
  r_.AddValCheck("ACTIVO2");
  ASSERT_EQ(in_.ValCheckCount(), 1);
  EXPECT_EQ(+in_.ValCheck(1).bHasMinVal, 0);
  EXPECT_EQ(+in_.ValCheck(1).bHasMaxVal, 0);
  EXPECT_EQ(+in_.ValCheck(1).bHasDefVal, 1);
  int32_t stored;
  std::memcpy(&stored, in_.ValCheck(1).aDefVal, 4);
  EXPECT_EQ(stored, 1);
  ClearCheck();
  r_.LoadField(12);
  EXPECT_EQ(v().DefaultValue(), "TRUE");
  EXPECT_EQ(v().MinimumValue(), "");

  // A leading blank is not ignored for logical words: nothing is stored, and the check that the
  // required flag still asks for holds no value.
  ClearCheck();
  v().SetRequired(true);
  v().SetDefaultValue(" TRUE");
  r_.ModifyValCheck("ACTIVO2");
  EXPECT_EQ(+in_.ValCheck(1).bHasDefVal, 0);
  EXPECT_EQ(+in_.ValCheck(1).bRequired, 0xFFFF);
  EXPECT_EQ(in_.ValCheckOp(1), bde::crADD);  // still an added check

  ClearCheck();
  v().SetMinimumValue("100");
  v().SetMaximumValue("900");
  v().SetDefaultValue("5");
  r_.AddValCheck("CONTADOR");
  ASSERT_EQ(in_.ValCheckCount(), 2);
  EXPECT_EQ(+in_.ValCheck(2).bHasMinVal, 1);
  EXPECT_EQ(+in_.ValCheck(2).bHasMaxVal, 0);
  EXPECT_EQ(+in_.ValCheck(2).bHasDefVal, 0);
}

TEST_F(ValChecks, LookupPathResolvesThroughTheSession) {
  v().SetRequired(true);
  v().SetLookupTableName("");  // no lookup table: no lookup, whatever the type says
  v().SetLookupType(ltAllCorresponding);
  v().SetLookupAccess(laFillNoHelp);
  r_.AddValCheck("TEXTO");
  ASSERT_EQ(in_.ValCheckCount(), 1);
  EXPECT_EQ(+in_.ValCheck(1).elkupType, 0);
  EXPECT_EQ(in_.ValCheck(1).szLkupTblName[0], '\0');

  v().SetLookupDatabaseName(dir_.path());
  v().SetLookupTableName("Paises.db");
  r_.ModifyValCheck("TEXTO");
  EXPECT_EQ(+in_.ValCheck(1).elkupType, bde::lkupALLCORRESP);
  EXPECT_EQ(Text(in_.ValCheck(1).szLkupTblName, 261), dir_.path() + "/Paises.db");
  ClearCheck();
  r_.LoadField(6);
  EXPECT_EQ(v().LookupDatabaseName(), dir_.path() + "/");
  EXPECT_EQ(v().LookupTableName(), "Paises.db");
  EXPECT_EQ(v().LookupTable()->TableName(), "Paises.db");
  EXPECT_EQ(v().LookupType(), ltAllCorresponding);
  EXPECT_EQ(v().LookupAccess(), laFillNoHelp);

  // Read back and written again, the path stays the same: the separator is not doubled.
  r_.ModifyValCheck("TEXTO");
  EXPECT_EQ(Text(in_.ValCheck(1).szLkupTblName, 261), dir_.path() + "/Paises.db");

  // An empty database name is the folder of the table being restructured.
  v().SetLookupDatabaseName("");
  v().SetRequired(true);
  v().SetLookupType(ltCurrentField);
  v().SetLookupAccess(laHelpAndFill);
  r_.ModifyValCheck("TEXTO");
  EXPECT_EQ(Text(in_.ValCheck(1).szLkupTblName, 261), dir_.path() + "/Paises.db");
  EXPECT_EQ(+in_.ValCheck(1).elkupType, bde::lkupHELP);

  // A folder that does not exist: the session's error, and the check is left as it was.
  const bde::VCHKDesc before = in_.ValCheck(1);
  v().SetLookupDatabaseName(dir_ / "no-existe");
  EXPECT_THROW(r_.ModifyValCheck("TEXTO"), engine::EDBEngineError);
  EXPECT_EQ(std::memcmp(&before, &in_.ValCheck(1), sizeof before), 0);
  EXPECT_THROW(r_.AddValCheck("FECHA"), engine::EDBEngineError);
  EXPECT_EQ(in_.ValCheckCount(), 1);
}

TEST_F(ValChecks, ChangingStoresExactlyTheDescriptor) {
  v().SetPicture("###-##");
  v().SetMaximumValue("99");
  r_.AddValCheck("CANTIDAD");
  v().SetPicture("#");
  v().SetMaximumValue("");
  r_.AddValCheck("CANTIDAD");  // has a check: changes it
  ASSERT_EQ(in_.ValCheckCount(), 1);
  EXPECT_EQ(Text(in_.ValCheck(1).szPict, 176), "#");
  EXPECT_EQ(+in_.ValCheck(1).bHasMaxVal, 0);
  v().SetPicture("");
  v().SetRequired(true);
  r_.ModifyValCheck("CANTIDAD");
  EXPECT_EQ(in_.ValCheck(1).szPict[0], '\0');
  EXPECT_EQ(in_.ValCheckOp(1), bde::crADD);

  // A check that the table reports becomes crMODIFY when changed.
  bde::VCHKDesc reported{};
  reported.iFldNum = 6;
  reported.bRequired = 0xFFFF;
  in_.PlaceReportedValCheck(reported);
  ASSERT_EQ(in_.ValCheckOp(2), bde::crNOOP);
  v().SetRequired(false);
  v().SetPicture("&&&");
  r_.ModifyValCheck("TEXTO");
  EXPECT_EQ(in_.ValCheckOp(2), bde::crMODIFY);
  EXPECT_EQ(+in_.ValCheck(2).bRequired, 0);
  EXPECT_EQ(Text(in_.ValCheck(2).szPict, 176), "&&&");
}

TEST_F(ValChecks, EmptyingKeepsTheRecordWithItsFieldAndMarksItChanged) {
  v().SetRequired(true);
  v().SetMinimumValue("1");
  r_.AddValCheck("CANTIDAD");
  bde::VCHKDesc reported{};
  reported.iFldNum = 6;
  reported.bRequired = 0xFFFF;
  std::strcpy(reported.szPict, "&");
  in_.PlaceReportedValCheck(reported);

  r_.DeleteValCheck("CANTIDAD");  // added in this editing: still crMODIFY once emptied
  r_.DeleteValCheck("texto");     // any case of letters finds the field
  ASSERT_EQ(in_.ValCheckCount(), 2);
  const bde::VCHKDesc* checks[] = {&in_.ValCheck(1), &in_.ValCheck(2)};
  const int fields[] = {7, 6};
  for (int k = 0; k < 2; ++k) {
    bde::VCHKDesc empty{};
    empty.iFldNum = static_cast<uint16_t>(fields[k]);
    EXPECT_EQ(std::memcmp(checks[k], &empty, sizeof empty), 0) << k;
    EXPECT_EQ(in_.ValCheckOp(k + 1), bde::crMODIFY);
  }

  // ModifyValCheck with nothing left to check empties as well.
  ClearCheck();
  v().SetRequired(true);
  r_.AddValCheck("FECHA");
  ClearCheck();
  r_.ModifyValCheck("FECHA");
  EXPECT_EQ(+in_.ValCheck(3).bRequired, 0);
  EXPECT_EQ(+in_.ValCheck(3).iFldNum, 9);
  EXPECT_EQ(in_.ValCheckOp(3), bde::crMODIFY);
}

TEST_F(ValChecks, NamesThatAreNoFieldChangeNothing) {
  bde::VCHKDesc orphan{};  // left by a deleted field
  orphan.iFldNum = 0;
  orphan.bRequired = 0xFFFF;
  in_.PlaceReportedValCheck(orphan);
  v().SetRequired(true);
  for (const char* name : {"NOEXISTE", ""}) {
    r_.AddValCheck(name);
    r_.ModifyValCheck(name);
    r_.DeleteValCheck(name);
  }
  ASSERT_EQ(in_.ValCheckCount(), 1);
  EXPECT_EQ(+in_.ValCheck(1).bRequired, 0xFFFF);
  EXPECT_EQ(in_.ValCheckOp(1), bde::crNOOP);
}

TEST_F(ValChecks, FailuresLeaveTheChecksAsTheyWere) {
  v().SetPicture(std::string(176, '#'));
  const std::string message = ErrorOf([&] { r_.AddValCheck("TEXTO"); });
  EXPECT_NE(message.find("175"), std::string::npos) << message;
  EXPECT_EQ(in_.ValCheckCount(), 0);
  v().SetPicture(std::string(175, '#'));
  r_.AddValCheck("TEXTO");
  ASSERT_EQ(in_.ValCheckCount(), 1);
  EXPECT_EQ(Text(in_.ValCheck(1).szPict, 176), std::string(175, '#'));

  // A lookup path longer than the record holds.
  const bde::VCHKDesc before = in_.ValCheck(1);
  v().SetLookupDatabaseName(dir_.path());
  v().SetLookupTableName(std::string(261 - dir_.path().size() - 1, 'p'));
  EXPECT_THROW(r_.ModifyValCheck("TEXTO"), engine::EDatabaseError);
  EXPECT_EQ(std::memcmp(&before, &in_.ValCheck(1), sizeof before), 0);
  v().SetLookupTableName(std::string(260 - dir_.path().size() - 1, 'p'));  // 260 fits
  r_.ModifyValCheck("TEXTO");
  EXPECT_EQ(Text(in_.ValCheck(1).szLkupTblName, 261).size(), 260u);

  // Values that do not convert.
  ClearCheck();
  v().SetMinimumValue("mañana");
  EXPECT_EQ(ErrorOf([&] { r_.AddValCheck("FECHA"); }), "'mañana' no es una fecha válida");
  v().SetMinimumValue("1");
  v().SetMaximumValue("1e999");
  EXPECT_EQ(ErrorOf([&] { r_.AddValCheck("IMPORTE"); }),
            "'1e999' no es un valor punto flotante válido");
  EXPECT_EQ(in_.ValCheckCount(), 1);
  EXPECT_EQ(ErrorOf([&] { r_.ModifyValCheck("TEXTO"); }), "(no error)");  // text takes anything
}

TEST_F(ValChecks, FieldOperationsPassTheirAlsoCheckFlagOn) {
  v().SetRequired(true);
  r_.Field()->SetName("NUEVO");
  r_.Field()->SetFieldType(pxAlpha);
  r_.Field()->SetLength(5);
  r_.AddField(true);
  ASSERT_EQ(in_.ValCheckCount(), 1);
  EXPECT_EQ(+in_.ValCheck(1).iFldNum, 15);
  r_.Field()->SetName("OTRO");
  r_.InsertField(1, true);
  ASSERT_EQ(in_.ValCheckCount(), 2);
  EXPECT_EQ(+in_.ValCheck(1).iFldNum, 16);  // renumbered by the insert
  EXPECT_EQ(+in_.ValCheck(2).iFldNum, 1);
  v().SetRequired(false);
  r_.ModifyField(1, true);  // no longer needed: emptied
  EXPECT_EQ(+in_.ValCheck(2).bRequired, 0);
  EXPECT_EQ(in_.ValCheckOp(2), bde::crMODIFY);
  r_.AddField(false);
  EXPECT_EQ(in_.ValCheckCount(), 2);
}

TEST_F(ValChecks, OnADbaseTableChecksAreOnlyEverEmptied) {
  in_.PretendTableType("DBASE", 4);
  v().SetRequired(true);
  v().SetMinimumValue("1");
  r_.AddValCheck("SALDO");
  r_.ModifyValCheck("SALDO");
  EXPECT_EQ(in_.ValCheckCount(), 0);
  bde::VCHKDesc reported{};
  reported.iFldNum = 2;
  reported.bRequired = 0xFFFF;
  in_.PlaceReportedValCheck(reported);
  r_.AddValCheck("SALDO");  // has a check but needs none here: emptied
  EXPECT_EQ(+in_.ValCheck(1).bRequired, 0);
  EXPECT_EQ(+in_.ValCheck(1).iFldNum, 2);
  EXPECT_EQ(in_.ValCheckOp(1), bde::crMODIFY);
  v().SetPicture("#");
  r_.LoadField(2);  // reads no check on a dBASE table
  EXPECT_FALSE(v().Required());
  EXPECT_EQ(v().Picture(), "");
}

// Checks reach the engine ordered by field number, each with its own operation code. The engine
// refuses new checks on a dBASE table, which leaves the ordered list in place for inspection.
TEST_F(ValChecks, ChecksAreOrderedByFieldBeforeTheRestructure) {
  r_.SetTableName("Clientes.Dbf");  // the plain dBASE structure again
  in_.PretendTableType("PARADOX", 7);
  v().SetRequired(true);
  r_.AddValCheck("ACTIVO");
  r_.AddValCheck("NOMBRE");
  bde::VCHKDesc reported{};
  reported.iFldNum = 3;
  reported.bRequired = 0xFFFF;
  in_.PlaceReportedValCheck(reported);
  r_.AddValCheck("SALDO");
  ASSERT_EQ(in_.ValCheckCount(), 4);
  const std::string before = testing_support::ReadFileBytes(dir_ / "Clientes.Dbf");
  EXPECT_THROW(r_.ApplyRestructure(), engine::EDBEngineError);
  EXPECT_EQ(testing_support::ReadFileBytes(dir_ / "Clientes.Dbf"), before);
  const int fields[] = {1, 2, 3, 5};
  const bde::CROpType ops[] = {bde::crADD, bde::crADD, bde::crNOOP, bde::crADD};
  for (int k = 1; k <= 4; ++k) {
    EXPECT_EQ(+in_.ValCheck(k).iFldNum, fields[k - 1]) << k;
    EXPECT_EQ(in_.ValCheckOp(k), ops[k - 1]) << k;
  }
  EXPECT_FALSE(in_.Table()->Active());
}

}  // namespace
}  // namespace restructure
