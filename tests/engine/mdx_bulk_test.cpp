// Index builds that take keys straight from stored records (in bulk, large tables on several
// threads, or one record at a time) must write the same file as a build that evaluates each key's
// expression, in the order of the tag's collation.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/collation.h"
#include "engine/dbase/mdx.h"
#include "engine/dbase/storage_rows.h"
#include "engine/storage.h"
#include "tests/engine/mdx_test_rows.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace mdx_test;
using engine::TagInfo;
using engine::dbase::MdxIndex;
using engine::dbase::StorageRows;

// The same rows without the bulk copies: each record read on its own.
class OneByOne : public StorageRows {
 public:
  using StorageRows::StorageRows;
  size_t BeginRecordCopies() override { return 0; }
};

// The index file with its two dates blanked (the builds may straddle midnight).
std::string WithoutDates(std::string bytes) {
  for (size_t at : {1, 2, 3, 44, 45, 46})
    if (at < bytes.size()) bytes[at] = 0;
  return bytes;
}

TEST(MdxBulkBuild, LargeTablesGiveTheSameIndexAsRowByRowInEachOrder) {
  testing_support::TempDir dir;
  Table t;
  t.fields = {Char("NOMBRE", 24), Num("IMPORTE", 10, 2), Char("EMPRESA", 8)};
  // Names in cp1252 that byte order and the Spanish order sort differently.
  static const char* const kNames[] = {"\xC1LVAREZ", "alvarez", "Pe\xF1" "a", "PENA", "\xD1" "and\xFA", "Mu\xF1oz",
                                       "zapata", "\xC9" "bano", "ebano", "\xC7" "elik"};
  std::mt19937 rng(2026);
  const uint64_t rows = 70001;  // over the size from which keys are gathered on several threads
  for (uint64_t r = 0; r < rows; ++r) {
    std::string name = std::string(kNames[rng() % 10]) + " " + static_cast<char>('a' + rng() % 26);
    t.Add({name, std::to_string(rng() % 1000), "E" + std::to_string(rng() % 40)}, r % 17 == 0);
  }
  const std::string dbf = dir / "CLIENTES.DBF";
  WriteDbf(dbf, t);
  {
    // No production index yet: the flag that says so.
    std::string bytes = testing_support::ReadFileBytes(dbf);
    bytes[28] = 0;
    testing_support::WriteFileBytes(dbf, bytes);
  }
  engine::OpenOptions opts;
  opts.read_only = true;
  auto table = engine::OpenStorage(dbf, engine::TableFormat::kDbase, opts);
  const std::vector<TagInfo> tags = {{"NOMBRE", "NOMBRE", "", 'C', false, false},
                                     {"EMPRESA", "EMPRESA", "", 'C', false, true},
                                     {"MAYUS", "UPPER(NOMBRE)", "", 'C', false, false}};
  const engine::Collation binary;
  for (const engine::Collation* coll : {&binary, engine::FindCollation("DBWINES0")}) {
    ASSERT_NE(coll, nullptr);
    SCOPED_TRACE(coll->Description());
    const std::string bulk_mdx = dir / "BULK.MDX", row_mdx = dir / "ROWS.MDX", expr_mdx = dir / "EXPR.MDX";
    StorageRows bulk(*table);
    OneByOne one(*table);
    Rows evaluated(t);  // offers no stored records: every key from its expression
    MdxIndex::Create(bulk_mdx, "CLIENTES.DBF", tags, table->Fields(), table->Codepage(), bulk, *coll);
    MdxIndex::Create(row_mdx, "CLIENTES.DBF", tags, table->Fields(), table->Codepage(), one, *coll);
    MdxIndex::Create(expr_mdx, "CLIENTES.DBF", tags, table->Fields(), table->Codepage(), evaluated, *coll);
    const std::string built = WithoutDates(testing_support::ReadFileBytes(bulk_mdx));
    EXPECT_TRUE(built == WithoutDates(testing_support::ReadFileBytes(row_mdx)));
    EXPECT_TRUE(built == WithoutDates(testing_support::ReadFileBytes(expr_mdx)));

    // And that order is the collation's, equal keys by record number, deleted rows included.
    auto idx = MdxIndex::Open(bulk_mdx, table->Fields(), table->Codepage(), false, *coll);
    const engine::CodePage& cp = table->Codepage();
    auto key = [&](size_t tag, uint64_t r) {
      std::string k = t.rows[r - 1][tag == 1 ? 2 : 0];
      if (tag == 2)
        for (char& c : k) c = static_cast<char>(cp.ToUpper(static_cast<uint8_t>(c)));
      return k;
    };
    for (size_t k = 0; k < tags.size(); ++k) {
      std::vector<uint64_t> expected(rows);
      for (uint64_t r = 0; r < rows; ++r) expected[r] = r + 1;
      std::stable_sort(expected.begin(), expected.end(), [&](uint64_t a, uint64_t b) {
        int c = coll->Compare(key(k, a), key(k, b));
        return tags[k].descending ? c > 0 : c < 0;
      });
      EXPECT_EQ(WalkAll(*idx, tags[k].name), expected) << tags[k].name;
    }
    StorageRows check_rows(*table);
    auto report = idx->Check(check_rows);
    EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems[0]);
  }
}

}  // namespace
