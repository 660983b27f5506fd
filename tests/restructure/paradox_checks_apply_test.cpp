// Validity checks of every kind on a Paradox table made by the engine: described in ValCheck,
// added through ApplyRestructure, read back equal after the table is opened again, changed,
// then emptied and dropped.
#include <gtest/gtest.h>

#include <string>

#include "engine/table.h"
#include "restructure/Restructure.h"
#include "tests/restructure/inspector.h"
#include "tests/support/temp_dir.h"

namespace restructure {
namespace {

using engine::TFieldType;

class ParadoxChecksApply : public ::testing::Test {
 protected:
  void SetUp() override {
    engine::TTable t;
    t.SetDatabaseName(dir_.path());
    t.SetTableName("ARTICULO.DB");
    t.SetTableType(engine::TTableType::ttParadox);
    t.SetTableLevel(5);
    t.FieldDefs().Add("CODIGO", TFieldType::ftString, 8);
    t.FieldDefs().Add("PRECIO", TFieldType::ftFloat);
    t.FieldDefs().Add("ALTA", TFieldType::ftDate);
    t.FieldDefs().Add("ACTIVO", TFieldType::ftBoolean);
    t.FieldDefs().Add("UNIDADES", TFieldType::ftInteger);
    t.FieldDefs().Add("FAMILIA", TFieldType::ftString, 4);
    t.CreateTable();
    engine::TTable f;
    f.SetDatabaseName(dir_.path());
    f.SetTableName("FAMILIA.DB");
    f.SetTableType(engine::TTableType::ttParadox);
    f.FieldDefs().Add("FAMILIA", TFieldType::ftString, 4);
    f.CreateTable();
    r_.SetDatabaseName(dir_.path());
    r_.SetTableName("ARTICULO.DB");
  }
  void Reset() {
    v().SetRequired(false);
    v().SetMinimumValue("");
    v().SetMaximumValue("");
    v().SetDefaultValue("");
    v().SetPicture("");
    v().SetLookupDatabaseName("");
    v().SetLookupTableName("");
    v().SetLookupType(ltCurrentField);
    v().SetLookupAccess(laHelpAndFill);
  }
  TValCheckDesc& v() { return *r_.ValCheck(); }
  testing_support::TempDir dir_;
  TRestructure r_;
  TRestructureInspector in_{r_};
};

TEST_F(ParadoxChecksApply, EveryKindIsWrittenReadBackChangedAndDropped) {
  ASSERT_EQ(in_.TableType(), "PARADOX");
  Reset();
  v().SetRequired(true);
  v().SetPicture("&&###");
  r_.AddValCheck("CODIGO");
  Reset();
  v().SetMinimumValue("0,5");
  v().SetMaximumValue("999,99");
  v().SetDefaultValue("1");
  r_.AddValCheck("PRECIO");
  Reset();
  v().SetMinimumValue("01/01/2000");
  v().SetMaximumValue("31/12/2030");
  r_.AddValCheck("ALTA");
  Reset();
  v().SetDefaultValue("true");
  r_.AddValCheck("ACTIVO");
  Reset();
  v().SetMinimumValue("-5");
  v().SetMaximumValue("100000");
  r_.AddValCheck("UNIDADES");
  Reset();
  v().SetLookupDatabaseName(dir_.path());
  v().SetLookupTableName("FAMILIA.DB");
  v().SetLookupType(ltCurrentField);
  v().SetLookupAccess(laFillNoHelp);
  r_.AddValCheck("FAMILIA");
  ASSERT_EQ(in_.ValCheckCount(), 6);
  r_.ApplyRestructure();

  // Read back from the table opened afresh.
  r_.SetTableName("ARTICULO.DB");
  ASSERT_EQ(in_.ValCheckCount(), 6);
  r_.LoadField(1);
  EXPECT_TRUE(v().Required());
  EXPECT_EQ(v().Picture(), "&&###");
  r_.LoadField(2);
  EXPECT_EQ(v().MinimumValue(), "0,5");
  EXPECT_EQ(v().MaximumValue(), "999,99");
  EXPECT_EQ(v().DefaultValue(), "1");
  EXPECT_FALSE(v().Required());
  r_.LoadField(3);
  EXPECT_EQ(v().MinimumValue(), "01/01/2000");
  EXPECT_EQ(v().MaximumValue(), "31/12/2030");
  r_.LoadField(4);
  EXPECT_EQ(v().DefaultValue(), "TRUE");
  r_.LoadField(5);
  EXPECT_EQ(v().MinimumValue(), "-5");
  EXPECT_EQ(v().MaximumValue(), "100000");
  r_.LoadField(6);
  EXPECT_EQ(v().LookupTableName(), "FAMILIA.DB");
  EXPECT_EQ(v().LookupType(), ltCurrentField);
  EXPECT_EQ(v().LookupAccess(), laFillNoHelp);

  // Change one, empty another: the emptied check is dropped, the others stay.
  r_.LoadField(2);
  v().SetMaximumValue("500");
  r_.ModifyValCheck("PRECIO");
  r_.DeleteValCheck("CODIGO");
  r_.ApplyRestructure();
  r_.SetTableName("ARTICULO.DB");
  EXPECT_EQ(in_.ValCheckCount(), 5);
  r_.LoadField(1);
  EXPECT_FALSE(v().Required());
  EXPECT_EQ(v().Picture(), "");
  r_.LoadField(2);
  EXPECT_EQ(v().MaximumValue(), "500");
  EXPECT_EQ(v().MinimumValue(), "0,5");
}

}  // namespace
}  // namespace restructure
