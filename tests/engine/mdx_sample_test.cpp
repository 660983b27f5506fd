// The production index of a table written by dBASE IV (samples/jdbfdriver).
#include <gtest/gtest.h>

#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "tests/engine/mdx_test_rows.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace mdx_test;
using engine::dbase::MdxIndex;

class MdxSample : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = testing_support::SamplesDir();
    if (dir.empty()) GTEST_SKIP() << testing_support::NoSamples();
    dbf = dir + "/jdbfdriver/TEST.DBF";
    mdx = dir + "/jdbfdriver/TEST.MDX";
    table = ReadDbf(dbf);
  }
  const engine::CodePage& cp() { return *engine::CodePage::Find(437); }
  std::string dbf, mdx;
  Table table;
};

TEST_F(MdxSample, ListsTagsWithTheirExpressions) {
  auto idx = MdxIndex::Open(mdx, table.fields, cp(), false);
  auto tags = idx->Tags();
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0].name, "TEST1");
  EXPECT_EQ(tags[0].expression, "TEST1");
  EXPECT_EQ(tags[0].key_type, 'C');
  EXPECT_EQ(tags[1].name, "TEST2");
  EXPECT_EQ(tags[1].key_type, 'N');
  EXPECT_FALSE(tags[0].unique);
  EXPECT_FALSE(tags[0].descending);
  EXPECT_EQ(engine::dbase::ReadMdxTags(mdx).size(), 2u);
}

TEST_F(MdxSample, WalksInTheOrderOfAnIndependentReader) {
  auto idx = MdxIndex::Open(mdx, table.fields, cp(), false);
  std::vector<uint64_t> ours = WalkAll(*idx, "test1");  // tag names ignore case
  EXPECT_EQ(ours, (std::vector<uint64_t>{3, 1, 2}));
  auto dump = testing_support::IndexDump(mdx, "TEST1");
  if (!dump) GTEST_SKIP() << "index_dump not installed";
  EXPECT_EQ(ours, DumpRecnos(*dump)) << *dump;
  // Numeric tag: value order 10, 15, 20.
  EXPECT_EQ(WalkAll(*idx, "TEST2"), (std::vector<uint64_t>{1, 3, 2}));
}

TEST_F(MdxSample, EqualKeyRangeAndUnknownTag) {
  auto idx = MdxIndex::Open(mdx, table.fields, cp(), false);
  EXPECT_EQ(WalkAll(*idx, "TEST1", engine::Value::Text("test2")), (std::vector<uint64_t>{2}));
  EXPECT_TRUE(WalkAll(*idx, "TEST1", engine::Value::Text("test")).empty());
  EXPECT_EQ(WalkAll(*idx, "TEST2", engine::Value::Number(15, "15")), (std::vector<uint64_t>{3}));
  EXPECT_EQ(WalkAll(*idx, "TEST2", engine::Value::Integer(20)), (std::vector<uint64_t>{2}));
  try {
    idx->Walk("NOMBRE", std::nullopt);
    FAIL() << "unknown tag accepted";
  } catch (const engine::EngineError& e) {
    EXPECT_EQ(e.code(), engine::err::kNoSuchIndex);
    EXPECT_NE(std::string(e.what()).find("TEST.MDX"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("NOMBRE"), std::string::npos) << e.what();
  }
}

TEST_F(MdxSample, CheckerAgreesWithTheTable) {
  auto idx = MdxIndex::Open(mdx, table.fields, cp(), false);
  Rows rows(table);
  auto report = idx->Check(rows);
  EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems[0]);
  // The same index against a changed table is not consistent.
  Table changed = table;
  changed.Set(2, "TEST1", "other");
  changed.Set(3, "TEST2", "99");
  Rows changed_rows(changed);
  report = idx->Check(changed_rows);
  ASSERT_EQ(report.problems.size(), 2u);
  EXPECT_NE(report.problems[0].find("registro 2"), std::string::npos) << report.problems[0];
  EXPECT_NE(report.problems[1].find("registro 3"), std::string::npos) << report.problems[1];
  // A row the index does not know.
  Table longer = table;
  longer.Add({"zzz", "1"});
  Rows longer_rows(longer);
  report = idx->Check(longer_rows);
  ASSERT_EQ(report.problems.size(), 2u);
  EXPECT_NE(report.problems[0].find("registro 4: falta"), std::string::npos) << report.problems[0];
}

TEST_F(MdxSample, TagsWhoseExpressionsDoNotFitTheFieldsOpenButCannotBeUsed) {
  // A field the expression names is missing, or has another width (keys of another length).
  std::vector<std::vector<engine::FieldSpec>> others = {{Char("NOMBRE", 50)}, {Char("TEST1", 20), Num("TEST2", 10)}};
  for (const auto& fields : others) {
    auto idx = MdxIndex::Open(mdx, fields, cp(), false);
    auto tags = idx->Tags();
    ASSERT_FALSE(tags.empty());
    EXPECT_NE(tags[0].problem, "") << tags[0].name;
    try {
      WalkAll(*idx, tags[0].name, engine::Value::Text("x"));
      ADD_FAILURE() << "an unusable tag served a lookup";
    } catch (const engine::EngineError& e) {
      EXPECT_EQ(e.code(), engine::err::kInvalidExpression);
      EXPECT_NE(std::string(e.what()).find("TEST.MDX"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
