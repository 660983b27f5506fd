// The component on real Paradox tables written by another program: levels and types, the
// validity checks that their .VAL files hold, and rebuilding them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>

#include "restructure/Restructure.h"
#include "tests/restructure/inspector.h"
#include "tests/restructure/support.h"
#include "tests/support/temp_dir.h"

namespace restructure {
namespace {

// Copies every file of a sample table's family (same name before the extension, any case).
bool CopyParadoxFamily(const std::string& folder, const std::string& stem, const std::string& dir) {
  const std::string root = testing_support::SamplesDir();
  if (root.empty()) return false;
  const std::string from = root + "/paradox-paradoxdriver/" + folder;
  if (!std::filesystem::is_directory(from)) return false;
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  bool any = false;
  for (const auto& e : std::filesystem::directory_iterator(from)) {
    const std::string name = e.path().filename().string();
    if (lower(name.substr(0, name.find('.'))) != lower(stem)) continue;
    testing_support::CopyFile(e.path().string(), dir + "/" + name);
    any = true;
  }
  return any;
}

class ParadoxSample : public ::testing::Test {
 protected:
  bool Open(const std::string& folder, const std::string& stem) {
    if (!CopyParadoxFamily(folder, stem, dir_.path())) return false;
    r_.SetDatabaseName(dir_.path());
    r_.SetTableName(stem + ".db");
    return true;
  }
  testing_support::TempDir dir_;
  TRestructure r_;
  TRestructureInspector in_{r_};
  TValCheckDesc& v() { return *r_.ValCheck(); }
};

#define OPEN_OR_SKIP(folder, stem) \
  if (!Open(folder, stem)) GTEST_SKIP() << testing_support::NoSamples()

TEST_F(ParadoxSample, RequiredFlagAndLogicalDefault) {
  OPEN_OR_SKIP("fields", "logical");
  EXPECT_EQ(in_.TableType(), "PARADOX");
  EXPECT_EQ(in_.TableLevel(), 5);
  ASSERT_EQ(in_.ValCheckCount(), 1);
  v().SetPicture("#");
  r_.LoadField(1);
  EXPECT_EQ(r_.Field()->Name(), "BOOL");
  EXPECT_EQ(r_.Field()->FieldType(), pxLogical);
  EXPECT_TRUE(v().Required());
  EXPECT_EQ(v().DefaultValue(), "TRUE");
  EXPECT_EQ(v().MinimumValue(), "");
  EXPECT_EQ(v().Picture(), "");
  EXPECT_EQ(v().LookupTableName(), "");
}

TEST_F(ParadoxSample, PictureAndRequiredOfSeveralFields) {
  OPEN_OR_SKIP("joins", "multiple");
  r_.LoadField(r_.FieldIndex("A"));
  EXPECT_EQ(r_.Field()->FieldType(), pxAlpha);
  EXPECT_EQ(r_.Field()->Length(), 20);
  EXPECT_EQ(v().Picture(), "[(*3{#}) ]*3{#}-*4{#}");
  EXPECT_FALSE(v().Required());
  r_.LoadField(r_.FieldIndex("FK"));
  EXPECT_EQ(r_.Field()->FieldType(), pxLongInteger);
  EXPECT_TRUE(v().Required());
  EXPECT_EQ(v().Picture(), "");
  r_.LoadField(r_.FieldIndex("ID"));
  EXPECT_EQ(r_.Field()->FieldType(), pxAutoincrement);
  EXPECT_FALSE(v().Required());
}

TEST_F(ParadoxSample, LookupTableAndItsAccess) {
  OPEN_OR_SKIP("joins", "origin");
  r_.LoadField(2);
  EXPECT_EQ(r_.Field()->Name(), "FK");
  EXPECT_EQ(v().LookupTableName(), "destination.db");
  EXPECT_EQ(v().LookupTable()->TableName(), "destination.db");
  EXPECT_EQ(v().LookupType(), ltCurrentField);
  EXPECT_EQ(v().LookupAccess(), laHelpAndFill);
  // The folder part, if the file names one, ends in a separator and is all that precedes the name.
  const std::string db = v().LookupDatabaseName();
  EXPECT_TRUE(db.empty() || db.back() == '\\' || db.back() == ':' || db.back() == '/') << db;
}

TEST_F(ParadoxSample, TypeRuleFollowsTheParadoxLevel) {
  OPEN_OR_SKIP("joins", "paradox-ascii");
  ASSERT_EQ(in_.TableLevel(), 4);
  int refused = 0;
  r_.SetOnFieldInappropriate([&](engine::TComponent*, const TFieldDesc*) { ++refused; });
  r_.Field()->SetName("NOTAS");
  r_.Field()->SetFieldType(pxMemo);  // level 4
  r_.Field()->SetLength(10);
  r_.AddField(false);
  EXPECT_EQ(in_.FieldCount(), 2);
  for (TdBasePxFieldType t : {pxLogical, pxLongInteger, pxBCD, pxTime, dbCharacter}) {
    r_.Field()->SetFieldType(t);
    r_.AddField(false);
  }
  EXPECT_EQ(refused, 5);
  EXPECT_EQ(in_.FieldCount(), 2);
}

// The two tests below are disabled while the engine's restructure of a Paradox table writes the
// new table without any validity check (it keeps the rows but drops every check, touched or
// not). Enable them once it carries the checks over and applies the check operations.
TEST_F(ParadoxSample, ApplyKeepsRowsAndUntouchedChecks) {
  OPEN_OR_SKIP("fields", "logical");
  const auto before = restructure_test::ReadBack(dir_.path(), "logical.db");
  r_.Field()->SetName("CANTIDAD");
  r_.Field()->SetFieldType(pxLongInteger);
  r_.Field()->SetLength(0);
  r_.AddField(false);
  r_.ApplyRestructure();
  const auto after = restructure_test::ReadBack(dir_.path(), "logical.db");
  EXPECT_EQ(after.fields, (std::vector<std::string>{"BOOL", "CANTIDAD"}));
  ASSERT_EQ(after.rows.size(), before.rows.size());
  for (size_t i = 0; i < before.rows.size(); ++i) {
    EXPECT_EQ(after.rows[i].at("BOOL"), before.rows[i].at("BOOL")) << i;
    EXPECT_TRUE(after.rows[i].at("CANTIDAD").IsNull());
  }
  ASSERT_EQ(in_.ValCheckCount(), 1);
  r_.LoadField(1);
  EXPECT_TRUE(v().Required());
  EXPECT_EQ(v().DefaultValue(), "TRUE");
}

TEST_F(ParadoxSample, AddedCheckIsWrittenAndAnEmptiedOneIsDropped) {
  OPEN_OR_SKIP("joins", "paradox-ascii");
  v().SetMinimumValue("B");
  v().SetPicture("&*19?");
  r_.AddValCheck("A");  // has the required flag already: changed
  ASSERT_EQ(in_.ValCheckCount(), 1);
  EXPECT_EQ(in_.ValCheckOp(1), bde::crMODIFY);
  r_.ApplyRestructure();
  ASSERT_EQ(in_.ValCheckCount(), 1);
  r_.LoadField(1);
  EXPECT_FALSE(v().Required());
  EXPECT_EQ(v().MinimumValue(), "B");
  EXPECT_EQ(v().Picture(), "&*19?");

  r_.DeleteValCheck("A");
  r_.ApplyRestructure();  // the emptied check is written, then dropped
  EXPECT_EQ(in_.ValCheckCount(), 0);
  r_.SetTableName("paradox-ascii.db");
  EXPECT_EQ(in_.ValCheckCount(), 0);
}

}  // namespace
}  // namespace restructure
