// Indexes this engine writes: read back by an independent reader, kept true through changes,
// rewritten for a rebuilt table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>

#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "tests/engine/mdx_test_rows.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace {

using namespace mdx_test;
using engine::TagInfo;
using engine::dbase::MdxIndex;

const engine::CodePage& Cp() { return engine::CodePage::Ansi(); }

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

class MdxCreate : public ::testing::Test {
 protected:
  void SetUp() override {
    table.fields = {Char("NOMBRE", 20), Num("IMPORTE", 10, 2), Date("FECHA"), Num("CODIGO", 6), Bool("ACTIVO"),
                    Char("EMPRESA", 12)};
    for (int i = 0; i < 3000; ++i) table.Add(RandomRow());
    tags = {
        {"NOMBRE", "UPPER(NOMBRE)", "", 'C', false, false},
        {"IMPORTE", "IMPORTE", "", 'N', false, false},
        {"FECHA", "FECHA", "", 'D', false, false},
        {"ACTIVOS", "NOMBRE", "ACTIVO .AND. .NOT. DELETED()", 'C', false, false},
        {"CODIGO", "CODIGO", "", 'N', true, false},
        {"RECIENTES", "DTOS(FECHA)+EMPRESA", "", 'C', false, true},
        {"EMPRESA", "EMPRESA", "", 'C', false, false},
    };
    dbf = dir / "CLIENTES.DBF";
    mdx = dir / "CLIENTES.MDX";
  }

  std::vector<std::string> RandomRow() {
    static const char* const kNames[] = {"garcia", "Lopez", "MARTIN", "perez", "Sanchez", "gomez", "Diaz",
                                         "ruiz", "Moreno", "alonso", "Munoz", "romero"};
    std::string name = std::string(kNames[rng() % 12]) + " " + static_cast<char>('a' + rng() % 26) +
                       static_cast<char>('a' + rng() % 26);
    long cents = static_cast<long>(rng() % 2000001) - 1000000;
    char imp[32];
    std::snprintf(imp, sizeof imp, "%.2f", cents / 100.0);
    char fecha[16] = "";
    if (rng() % 20 != 0)
      std::snprintf(fecha, sizeof fecha, "%04d%02d%02d", 1995 + static_cast<int>(rng() % 30),
                    1 + static_cast<int>(rng() % 12), 1 + static_cast<int>(rng() % 28));
    std::string codigo = std::to_string(rng() % 500);
    std::string empresa = testing_support::Numbered("EMPRESA ", rng() % 7);
    std::string activo = rng() % 3 ? "T" : "F";
    return {name, imp, fecha, codigo, activo, empresa};
  }

  // The order a tag must have, computed without the engine's key code: stable by record number.
  std::vector<uint64_t> Expected(const std::string& tag) {
    std::vector<uint64_t> recs;
    auto f = [&](uint64_t r, const char* name) {
      return table.rows[r - 1][static_cast<size_t>(table.FieldIndex(name))];
    };
    for (uint64_t r = 1; r <= table.rows.size(); ++r) {
      if (tag == "ACTIVOS" && (f(r, "ACTIVO") != "T" || table.deleted[r - 1])) continue;
      recs.push_back(r);
    }
    auto num = [&](uint64_t r, const char* name) { return std::strtod(f(r, name).c_str(), nullptr); };
    auto by = [&](auto key) {
      std::stable_sort(recs.begin(), recs.end(), [&](uint64_t a, uint64_t b) { return key(a) < key(b); });
    };
    if (tag == "NOMBRE") by([&](uint64_t r) { return Upper(f(r, "NOMBRE")); });
    if (tag == "ACTIVOS") by([&](uint64_t r) { return f(r, "NOMBRE"); });
    if (tag == "IMPORTE") by([&](uint64_t r) { return num(r, "IMPORTE"); });
    if (tag == "FECHA") by([&](uint64_t r) { return f(r, "FECHA"); });  // blank sorts first
    if (tag == "EMPRESA") by([&](uint64_t r) { return f(r, "EMPRESA"); });
    if (tag == "RECIENTES") by([&](uint64_t r) { return std::string(f(r, "FECHA")) + f(r, "EMPRESA"); });
    if (tag == "RECIENTES") {
      // Descending: greatest key first, equal keys still by record number.
      std::stable_sort(recs.begin(), recs.end(), [&](uint64_t a, uint64_t b) {
        return f(a, "FECHA") + f(a, "EMPRESA") > f(b, "FECHA") + f(b, "EMPRESA");
      });
    }
    if (tag == "CODIGO") {
      by([&](uint64_t r) { return num(r, "CODIGO"); });
      std::vector<uint64_t> first;
      std::set<double> seen;
      for (uint64_t r : recs)
        if (seen.insert(num(r, "CODIGO")).second) first.push_back(r);
      recs = first;
    }
    return recs;
  }

  void Build() {
    Rows rows(table);
    MdxIndex::Create(mdx, "CLIENTES.DBF", tags, table.fields, Cp(), rows);
    WriteDbf(dbf, table);
  }

  void ExpectConsistent(MdxIndex& idx) {
    Rows rows(table);
    auto report = idx.Check(rows);
    ASSERT_TRUE(report.ok()) << report.problems.size() << " problems, first: " << report.problems[0];
  }

  std::mt19937 rng{12345};
  Table table;
  std::vector<TagInfo> tags;
  testing_support::TempDir dir;
  std::string dbf, mdx;
};

TEST_F(MdxCreate, EveryTagReadsBackInOrderAndPassesTheChecker) {
  Build();
  auto idx = MdxIndex::Open(mdx, table.fields, Cp(), false);
  ASSERT_EQ(idx->Tags().size(), tags.size());
  EXPECT_TRUE(idx->Tags()[4].unique);
  EXPECT_TRUE(idx->Tags()[5].descending);
  EXPECT_EQ(idx->Tags()[3].filter, "ACTIVO .AND. .NOT. DELETED()");
  EXPECT_EQ(idx->Tags()[1].key_type, 'N');
  EXPECT_EQ(idx->Tags()[2].key_type, 'D');
  for (const TagInfo& t : tags) EXPECT_EQ(WalkAll(*idx, t.name), Expected(t.name)) << t.name;
  ExpectConsistent(*idx);

  std::string bytes = testing_support::ReadFileBytes(mdx);
  uint32_t total_pages = 0;
  std::memcpy(&total_pages, &bytes[32], 4);
  EXPECT_EQ(total_pages, bytes.size() / 512);
  EXPECT_EQ(bytes[0], 2);
  EXPECT_EQ(bytes.substr(4, 9), std::string("CLIENTES\0", 9));
}

TEST_F(MdxCreate, IndependentReaderWalksTheSameOrder) {
  if (!testing_support::HaveIndexDump()) GTEST_SKIP() << "index_dump not installed";
  Build();
  auto idx = MdxIndex::Open(mdx, table.fields, Cp(), false);
  for (const TagInfo& t : tags) {
    auto dump = testing_support::IndexDump(mdx, t.name);
    ASSERT_TRUE(dump.has_value());
    std::vector<uint64_t> theirs = DumpRecnos(*dump);
    EXPECT_EQ(theirs, WalkAll(*idx, t.name)) << t.name << ": " << dump->substr(0, 300);
    EXPECT_GT(theirs.size(), 100u) << t.name;  // big enough for interior nodes
  }
  // Character keys are printed as stored: the first key of NOMBRE is the upper-cased name.
  auto dump = testing_support::IndexDump(mdx, "NOMBRE");
  uint64_t first = Expected("NOMBRE")[0];
  EXPECT_EQ(dump->substr(0, 20), Upper(table.rows[first - 1][0]));
}

TEST_F(MdxCreate, NumericKeysUseTheKnownEncodings) {
  table.rows.clear();
  table.deleted.clear();
  for (const char* v : {"0", "1", "10", "13", "225", "20.5"}) table.Add({"x", v, "20000101", "T", "1", "E"});
  tags = {{"IMPORTE", "IMPORTE", "", 'N', false, false}, {"FECHA", "FECHA", "", 'D', false, false}};
  Build();
  std::string bytes = testing_support::ReadFileBytes(mdx);
  struct Item {
    uint32_t recno;
    std::vector<uint8_t> key;
  } items[] = {{1, {0x34, 0x01}},       {2, {0x35, 0x05, 0x10}},       {3, {0x36, 0x05, 0x10}},
               {4, {0x36, 0x09, 0x13}}, {5, {0x37, 0x0D, 0x22, 0x50}}, {6, {0x36, 0x0D, 0x20, 0x50}}};
  for (const Item& it : items) {
    std::string want(16, '\0');
    std::memcpy(&want[0], &it.recno, 4);
    for (size_t i = 0; i < it.key.size(); ++i) want[4 + i] = static_cast<char>(it.key[i]);
    EXPECT_NE(bytes.find(want), std::string::npos) << "record " << it.recno;
  }
  double jd = 2451545.0;
  std::string date_item(12, '\0');
  uint32_t one = 1;
  std::memcpy(&date_item[0], &one, 4);
  std::memcpy(&date_item[4], &jd, 8);
  EXPECT_NE(bytes.find(date_item), std::string::npos);
  auto idx = MdxIndex::Open(mdx, table.fields, Cp(), false);
  EXPECT_EQ(WalkAll(*idx, "IMPORTE"), (std::vector<uint64_t>{1, 2, 3, 4, 6, 5}));
  EXPECT_EQ(WalkAll(*idx, "IMPORTE", engine::Value::Number(20.5, "20.50")), (std::vector<uint64_t>{6}));
}

TEST_F(MdxCreate, EqualKeyRangeForMasterDetail) {
  Build();
  auto idx = MdxIndex::Open(mdx, table.fields, Cp(), false);
  for (int e = 0; e < 8; ++e) {
    std::string name = testing_support::Numbered("EMPRESA ", e);
    std::vector<uint64_t> want;
    for (uint64_t r = 1; r <= table.rows.size(); ++r)
      if (table.rows[r - 1][5] == Table::Format(table.fields[5], name)) want.push_back(r);
    EXPECT_EQ(WalkAll(*idx, "EMPRESA", engine::Value::Text(name)), want) << name;
  }
  EXPECT_TRUE(WalkAll(*idx, "EMPRESA", engine::Value::Text("EMPRESA 1 Y MAS")).empty());
  int64_t day = engine::DayFromCivil(2010, 6, 15);
  std::vector<uint64_t> want;
  for (uint64_t r = 1; r <= table.rows.size(); ++r)
    if (table.rows[r - 1][2] == "20100615") want.push_back(r);
  EXPECT_EQ(WalkAll(*idx, "FECHA", engine::Value::Date(day)), want);
  // A descending tag: the range is found the same way.
  uint64_t some = 17;
  std::string key = table.rows[some - 1][2] + table.rows[some - 1][5];
  std::vector<uint64_t> same;
  for (uint64_t r = 1; r <= table.rows.size(); ++r)
    if (table.rows[r - 1][2] + table.rows[r - 1][5] == key) same.push_back(r);
  EXPECT_EQ(WalkAll(*idx, "RECIENTES", engine::Value::Text(key)), same);
}

TEST_F(MdxCreate, UpdatesAndInsertsKeepEveryTagTrue) {
  Build();
  auto idx = MdxIndex::Open(mdx, table.fields, Cp(), true);
  Rows source(table);
  idx->SetRowSource(&source);
  for (int round = 0; round < 3; ++round) {
    // Change keys of existing rows (some leave or enter the FOR clause, some get deleted).
    for (int i = 0; i < 700; ++i) {
      uint64_t r = 1 + rng() % table.rows.size();
      RowView before(&table, r, table.rows[r - 1], table.deleted[r - 1]);
      std::vector<std::string> fresh = RandomRow();
      size_t field = rng() % 6;
      table.rows[r - 1][field] = Table::Format(table.fields[field], fresh[field]);
      if (rng() % 10 == 0) table.deleted[r - 1] = !table.deleted[r - 1];
      RowView after(&table, r, table.rows[r - 1], table.deleted[r - 1]);
      idx->Update(before, after);
    }
    // New rows at the end: leaves and the root split.
    for (int i = 0; i < 1500; ++i) {
      table.Add(RandomRow());
      uint64_t r = table.rows.size();
      RowView row(&table, r, table.rows[r - 1], false);
      idx->Insert(row);
    }
    idx->Flush();
    ExpectConsistent(*idx);
  }
  // Keys in order, every row present (equal keys may come in any record order after changes).
  for (const char* tag : {"NOMBRE", "IMPORTE", "FECHA", "ACTIVOS", "EMPRESA"}) {
    std::vector<uint64_t> ours = WalkAll(*idx, tag), want = Expected(tag);
    std::vector<uint64_t> a = ours, b = want;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a, b) << tag;
    Table& t = table;
    auto key = [&](uint64_t r) {
      if (std::string(tag) == "IMPORTE") return std::to_string(std::strtod(t.rows[r - 1][1].c_str(), nullptr) + 5e10);
      if (std::string(tag) == "NOMBRE") return Upper(t.rows[r - 1][0]);
      if (std::string(tag) == "ACTIVOS") return t.rows[r - 1][0];
      if (std::string(tag) == "FECHA") return t.rows[r - 1][2];
      return t.rows[r - 1][5];
    };
    for (size_t i = 1; i < ours.size(); ++i) ASSERT_LE(key(ours[i - 1]), key(ours[i])) << tag << " at " << i;
  }
  idx.reset();
  WriteDbf(dbf, table);
  if (testing_support::HaveIndexDump()) {
    auto reopened = MdxIndex::Open(mdx, table.fields, Cp(), false);
    for (const char* tag : {"NOMBRE", "IMPORTE", "RECIENTES"})
      EXPECT_EQ(DumpRecnos(*testing_support::IndexDump(mdx, tag)), WalkAll(*reopened, tag)) << tag;
    std::string bytes = testing_support::ReadFileBytes(mdx);
    uint32_t total_pages = 0;
    std::memcpy(&total_pages, &bytes[32], 4);
    EXPECT_EQ(total_pages, bytes.size() / 512);
  }
}

TEST_F(MdxCreate, EmptyingATagAndFillingItAgain) {
  for (size_t i = 0; i < 300; ++i) table.rows.pop_back(), table.deleted.pop_back();
  Build();
  auto idx = MdxIndex::Open(mdx, table.fields, Cp(), true);
  for (uint64_t r = 1; r <= table.rows.size(); ++r) {
    RowView before(&table, r, table.rows[r - 1], table.deleted[r - 1]);
    table.Set(r, "ACTIVO", "F");
    RowView after(&table, r, table.rows[r - 1], table.deleted[r - 1]);
    idx->Update(before, after);
  }
  EXPECT_TRUE(WalkAll(*idx, "ACTIVOS").empty());
  ExpectConsistent(*idx);
  for (uint64_t r = table.rows.size(); r >= 1; --r) {
    RowView before(&table, r, table.rows[r - 1], table.deleted[r - 1]);
    table.Set(r, "ACTIVO", "T");
    RowView after(&table, r, table.rows[r - 1], table.deleted[r - 1]);
    idx->Update(before, after);
  }
  EXPECT_EQ(WalkAll(*idx, "ACTIVOS").size(), table.rows.size());
  ExpectConsistent(*idx);
}

TEST_F(MdxCreate, CheckerNoticesChangesTheIndexWasNotTold) {
  Build();
  auto idx = MdxIndex::Open(mdx, table.fields, Cp(), false);
  table.Set(10, "IMPORTE", "123456.78");
  table.Set(11, "NOMBRE", "zzz");
  Rows rows(table);
  auto report = idx->Check(rows);
  EXPECT_FALSE(report.ok());
  bool saw10 = false, saw11 = false;
  for (const auto& p : report.problems) {
    saw10 |= p.find("IMPORTE") != std::string::npos && p.find("registro 10:") != std::string::npos;
    saw11 |= p.find("NOMBRE") != std::string::npos && p.find("registro 11:") != std::string::npos;
  }
  EXPECT_TRUE(saw10 && saw11) << report.problems[0];
}

TEST_F(MdxCreate, RewriteCarriesTagsOverOrRebuildsThem) {
  Build();
  // Purge every third row; the rest move up.
  std::vector<uint64_t> map(table.rows.size());
  Table rebuilt;
  rebuilt.fields = table.fields;
  for (uint64_t r = 1; r <= table.rows.size(); ++r) {
    if (r % 3 == 0) {
      map[r - 1] = engine::dbase::kPurgedRow;
      continue;
    }
    rebuilt.rows.push_back(table.rows[r - 1]);
    rebuilt.deleted.push_back(table.deleted[r - 1]);
    map[r - 1] = rebuilt.rows.size();
  }
  std::vector<engine::dbase::TagPlan> plan(3);
  plan[0].tag.name = "NOMBRE";
  plan[0].carry_over = true;
  plan[0].old_tag = "NOMBRE";
  plan[1].tag = {"IMPORTE", "IMPORTE", "IMPORTE > 0", 'N', false, true};
  plan[2].tag.name = "POREMPRESA";
  plan[2].carry_over = true;
  plan[2].old_tag = "EMPRESA";
  std::string fresh = dir / "CLIENTES.MD$";
  Rows rows(rebuilt);
  engine::dbase::RewriteIndex(mdx, fresh, "CLIENTES.DBF", plan, map, rebuilt.fields, Cp(), rows);

  auto old_idx = MdxIndex::Open(mdx, table.fields, Cp(), false);
  auto idx = MdxIndex::Open(fresh, rebuilt.fields, Cp(), false);
  ASSERT_EQ(idx->Tags().size(), 3u);
  EXPECT_EQ(idx->Tags()[0].expression, "UPPER(NOMBRE)");
  EXPECT_EQ(idx->Tags()[2].name, "POREMPRESA");
  EXPECT_TRUE(idx->Tags()[1].descending);
  std::vector<uint64_t> carried;
  for (uint64_t r : WalkAll(*old_idx, "NOMBRE"))
    if (map[r - 1] != engine::dbase::kPurgedRow) carried.push_back(map[r - 1]);
  EXPECT_EQ(WalkAll(*idx, "NOMBRE"), carried);
  Rows check_rows(rebuilt);
  auto report = idx->Check(check_rows);
  EXPECT_TRUE(report.ok()) << report.problems[0];
  std::vector<uint64_t> imp = WalkAll(*idx, "IMPORTE");
  for (size_t i = 1; i < imp.size(); ++i)
    EXPECT_GE(std::strtod(rebuilt.rows[imp[i - 1] - 1][1].c_str(), nullptr),
              std::strtod(rebuilt.rows[imp[i] - 1][1].c_str(), nullptr));
  // The old index is untouched. Entries for rows the old table does not have (here: past a short
  // map) make a carried tag unsound: under a known order it is built anew from the rows, under an
  // unknown one the rewrite is refused.
  EXPECT_EQ(WalkAll(*old_idx, "NOMBRE").size(), table.rows.size());
  std::vector<uint64_t> short_map(map.begin(), map.begin() + 10);
  engine::dbase::RewriteIndex(mdx, fresh, "CLIENTES.DBF", plan, short_map, rebuilt.fields, Cp(), rows);
  {
    auto again = MdxIndex::Open(fresh, rebuilt.fields, Cp(), false);
    Rows again_rows(rebuilt);
    auto r = again->Check(again_rows);
    EXPECT_TRUE(r.ok()) << (r.problems.empty() ? r.foreign_order[0] : r.problems[0]);
  }
  const engine::Collation unknown = engine::CollationForDbase(0x4D, "");
  EXPECT_THROW(engine::dbase::RewriteIndex(mdx, fresh, "CLIENTES.DBF", plan, short_map, rebuilt.fields, Cp(), rows,
                                           unknown),
               engine::EngineError);
  // A carried tag whose field changed width is refused.
  std::vector<engine::FieldSpec> wider = rebuilt.fields;
  wider[0].size = 30;
  EXPECT_THROW(engine::dbase::RewriteIndex(mdx, fresh, "CLIENTES.DBF", plan, map, wider, Cp(), rows),
               engine::EngineError);
}

TEST_F(MdxCreate, BadTagDefinitionsAreRefusedBeforeWriting) {
  std::vector<std::vector<TagInfo>> bad = {
      {{"X", "NOMBRE+NOMBRE+NOMBRE+NOMBRE+NOMBRE+NOMBRE", "", 'C', false, false}},  // key over 100 bytes
      {{"X", "ACTIVO", "", 'C', false, false}},                                      // logical key
      {{"X", "NOMBRE", "IMPORTE", 'C', false, false}},                               // FOR not logical
      {{"X", "NOMBRE", "", 'C', false, false}, {"x", "IMPORTE", "", 'N', false, false}},  // same name
      {{"DEMASIADOLARGO", "NOMBRE", "", 'C', false, false}},
      {{"X", "SOUNDEX(NOMBRE)", "", 'C', false, false}},
  };
  Rows rows(table);
  for (const auto& tagset : bad) {
    EXPECT_THROW(MdxIndex::Create(mdx, "CLIENTES", tagset, table.fields, Cp(), rows), engine::EngineError)
        << tagset[0].expression;
    EXPECT_FALSE(testing_support::FileExists(mdx));
  }
}

}  // namespace
