// The production index as the dBASE storage keeps it: a table created with tags, filled, changed
// and partly deleted through the storage, then read back by index_dump and by the checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/bde.h"
#include "engine/dbase/mdx.h"
#include "engine/dbase/storage_rows.h"
#include "engine/storage.h"
#include "tests/engine/mdx_test_rows.h"
#include "tests/support/fault_fs.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace {

using engine::Value;

using engine::dbase::StorageRows;

// The same rows, with the whole record offered or withheld: without it, every key goes through
// the expression evaluator.
class RowsWithOrWithoutRecord : public StorageRows {
 public:
  using StorageRows::StorageRows;
  std::string_view Record() const override { return with_record_ ? StorageRows::Record() : std::string_view(); }
  void OfferRecord(bool on) { with_record_ = on; }

 private:
  bool with_record_ = true;
};

TEST(MdxStorage, TagsStayTrueThroughTheStorage) {
  testing_support::TempDir dir;
  std::string path = dir / "EMPRESAS.DBF";
  engine::TableDefinition def;
  def.level = 4;
  def.codepage = 1252;
  def.fields = {mdx_test::Char("NOMBRE", 25), mdx_test::Num("SALDO", 12, 2), mdx_test::Date("ALTA")};
  def.tags = {{"NOMBRE", "UPPER(NOMBRE)", "", 'C', false, false},
              {"SALDO", "SALDO", "", 'N', false, false},
              {"ALTA", "ALTA", ".NOT. DELETED()", 'D', false, false}};
  engine::CreateStorage(path, def);
  auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {});
  std::mt19937 rng(5);
  auto fill = [&](std::string* buf) {
    t->SetValue(buf, 0, Value::Text(testing_support::Numbered("Empresa ", rng() % 300) + " ñandú"));
    t->SetValue(buf, 1, Value::Number((static_cast<double>(rng() % 200000) - 100000) / 100.0));
    t->SetValue(buf, 2, Value::Date(engine::DayFromCivil(1990 + static_cast<int>(rng() % 35), 1 + static_cast<int>(rng() % 12), 1)));
  };
  for (int i = 0; i < 2500; ++i) {
    std::string buf = t->BlankRecord();
    fill(&buf);
    t->AppendRecord(buf);
  }
  for (int i = 0; i < 800; ++i) {
    uint64_t r = 1 + rng() % t->RecordCount();
    std::string before, after;
    t->ReadRecord(r, &before);
    after = before;
    fill(&after);
    t->UpdateRecord(r, before, after);
    if (i % 4 == 0) t->SetDeleted(1 + rng() % t->RecordCount(), true);
  }
  t->Flush();

  std::vector<uint64_t> by_name;
  auto w = t->WalkTag("NOMBRE", std::nullopt);
  uint64_t recno = 0;
  while (w->Next(&recno)) by_name.push_back(recno);
  EXPECT_EQ(by_name.size(), 2500u);
  t.reset();

  engine::OpenOptions ro;
  ro.read_only = true;
  auto table = engine::OpenStorage(path, engine::TableFormat::kDbase, ro);
  auto idx = engine::dbase::MdxIndex::Open(dir / "EMPRESAS.MDX", table->Fields(), table->Codepage(), false);
  StorageRows rows(*table);
  auto report = idx->Check(rows);
  EXPECT_TRUE(report.ok()) << report.problems[0];
  // Deleted rows left the ALTA tag through its FOR clause.
  size_t live = 0;
  for (uint64_t r = 1; r <= rows.Count(); ++r) live += rows.Row(r).Deleted() ? 0 : 1;
  EXPECT_LT(live, 2500u);
  EXPECT_EQ(mdx_test::WalkAll(*idx, "ALTA").size(), live);
  if (testing_support::HaveIndexDump()) {
    for (const char* tag : {"NOMBRE", "SALDO", "ALTA"})
      EXPECT_EQ(mdx_test::DumpRecnos(*testing_support::IndexDump(dir / "EMPRESAS.MDX", tag)),
                mdx_test::WalkAll(*idx, tag))
          << tag;
  }
}

// Tags built over a table of 70,000 rows, large enough that the build sorts each tag in several
// passes and threads, and of 20,000, whose tags are sorted side by side: keys with long shared
// beginnings, many duplicates, blanks and bytes above 0x7F. Every tag must list exactly the order
// a plain stable sort of the stored keys gives, whether the keys come straight from the records or
// through the expression evaluator.
TEST(MdxStorage, LargeBuildsFollowTheReferenceOrder) {
  for (int count : {70000, 20000}) {
    SCOPED_TRACE(testing_support::Numbered("rows: ", count));
    testing_support::TempDir dir;
    std::string path = dir / "CLIENTES.DBF";
    engine::TableDefinition def;
    def.level = 4;
    def.codepage = 1252;
    def.fields = {mdx_test::Char("NOMBRE", 30), mdx_test::Num("NUM", 6)};
    engine::CreateStorage(path, def);
    auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {});
    std::mt19937 rng(11);
    const char* const kStems[] = {"CLIENTE NUMERO ", "CLIENTE NUMERO 1", "CLIENTE ", "ÑANDÚ ", "", "Z"};
    for (int i = 0; i < count; ++i) {
      std::string buf = t->BlankRecord();
      std::string name = kStems[rng() % 6];
      if (rng() % 10 != 0) name += std::to_string(rng() % 20000);
      t->SetValue(&buf, 0, Value::Text(name));
      t->SetValue(&buf, 1, Value::Number(static_cast<double>(rng() % 1000)));
      t->AppendRecord(buf);
    }
    t->Flush();
    std::vector<std::string> keys;  // stored bytes of NOMBRE per row
    {
      StorageRows rows(*t);
      for (uint64_t r = 1; r <= rows.Count(); ++r) keys.push_back(rows.Row(r).RawText("NOMBRE"));
    }
    auto reference = [&](bool descending, bool unique) {
      std::vector<uint64_t> order(keys.size());
      for (size_t i = 0; i < order.size(); ++i) order[i] = i + 1;
      std::stable_sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
        return descending ? keys[a - 1] > keys[b - 1] : keys[a - 1] < keys[b - 1];
      });
      if (unique) {
        std::vector<uint64_t> first;
        for (uint64_t r : order)
          if (first.empty() || keys[first.back() - 1] != keys[r - 1]) first.push_back(r);
        order = first;
      }
      return order;
    };
    for (bool from_records : {true, false}) {
      SCOPED_TRACE(from_records ? "keys from the records" : "keys through the evaluator");
      std::string mdx = dir / "CLIENTES.MDX";
      RowsWithOrWithoutRecord rows(*t);
      rows.OfferRecord(from_records);
      // The last tag, large and not unique, is sorted while its leaves are written.
      engine::dbase::MdxIndex::Create(mdx, "CLIENTES",
                                      {{"UNICO", "NOMBRE", "", 'C', true, false},
                                       {"DESC", "NOMBRE", "", 'C', false, true},
                                       {"UNIDESC", "NOMBRE", "", 'C', true, true},
                                       {"ASC", "NOMBRE", "", 'C', false, false}},
                                      t->Fields(), t->Codepage(), rows);
      auto idx = engine::dbase::MdxIndex::Open(mdx, t->Fields(), t->Codepage(), false);
      EXPECT_EQ(mdx_test::WalkAll(*idx, "ASC"), reference(false, false));
      EXPECT_EQ(mdx_test::WalkAll(*idx, "DESC"), reference(true, false));
      EXPECT_EQ(mdx_test::WalkAll(*idx, "UNICO"), reference(false, true));
      EXPECT_EQ(mdx_test::WalkAll(*idx, "UNIDESC"), reference(true, true));
      auto report = idx->Check(rows);
      EXPECT_TRUE(report.ok()) << report.problems[0];
      idx.reset();
      engine::CurrentFileSystem()->Remove(mdx);
    }
  }
}

// A large tag is sorted while its leaves are written: a write of the index that fails then
// (300,000 rows: several buffers are written before the sort ends) or at any other point of the
// build is reported, naming the index, and leaves no index file.
TEST(MdxStorage, AFailedWriteWhileTheTagIsSortedLeavesNoIndex) {
  testing_support::TempDir dir;
  std::string path = dir / "GRANDE.DBF", mdx = dir / "GRANDE.MDX";
  engine::TableDefinition def;
  def.level = 4;
  def.fields = {mdx_test::Char("NOMBRE", 30)};
  engine::CreateStorage(path, def);
  {
    auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {});
    std::mt19937 rng(3);
    std::string buf = t->BlankRecord();
    for (int i = 0; i < 300000; ++i) {
      t->SetValue(&buf, 0, Value::Text(testing_support::Numbered("CLIENTE ", rng() % 100000)));
      t->AppendRecord(buf);
    }
    t->Flush();
  }
  engine::OpenOptions ro;
  ro.read_only = true;
  auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, ro);
  StorageRows rows(*t);
  auto build = [&] {
    engine::dbase::MdxIndex::Create(mdx, "GRANDE", {{"NOMBRE", "NOMBRE", "", 'C', false, false}}, t->Fields(),
                                    t->Codepage(), rows);
  };
  uint64_t ops = 0;
  {
    testing_support::FaultInjectionFileSystem fs;
    testing_support::ScopedFileSystem use(&fs);
    build();
    ops = fs.mutating_ops();
  }
  ASSERT_GE(ops, 5u);  // the file made, three buffers of leaves and branches, the header, the sync
  auto idx = engine::dbase::MdxIndex::Open(mdx, t->Fields(), t->Codepage(), false);
  EXPECT_EQ(mdx_test::WalkAll(*idx, "NOMBRE").size(), 300000u);
  EXPECT_TRUE(idx->Check(rows).ok());
  idx.reset();
  for (uint64_t k = 1; k <= ops; ++k) {
    SCOPED_TRACE(testing_support::Numbered("fail at ", k));
    engine::CurrentFileSystem()->Remove(mdx);
    testing_support::FaultInjectionFileSystem fs;
    testing_support::ScopedFileSystem use(&fs);
    fs.FailAt(k);
    try {
      build();
      ADD_FAILURE() << "the build did not fail";
    } catch (const engine::EngineError& e) {
      EXPECT_NE(std::string(e.what()).find("GRANDE.MDX"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(engine::CurrentFileSystem()->Exists(mdx));
  }
}

}  // namespace
