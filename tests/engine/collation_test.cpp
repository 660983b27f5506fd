// Index keys in the order of the table's language driver: the drivers' tables, tags built in
// that order, lookups that find every row whatever order a tag was written in, writes refused
// where a key's place cannot be known, and a checker that tells a foreign order from damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/collation.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/storage.h"
#include "tests/engine/mdx_test_rows.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace {

using engine::CodePage;
using engine::Collation;
using engine::CollationForDbase;
using engine::dbase::MdxIndex;
using namespace mdx_test;

const Collation& Driver(const char* name) {
  const Collation* c = engine::FindCollation(name);
  EXPECT_NE(c, nullptr) << name;
  return *c;
}

std::string Encode(const CodePage& cp, const std::string& utf8) {
  auto e = cp.Encode(utf8);
  EXPECT_TRUE(e.has_value()) << utf8;
  return e.value_or("");
}

// The names sorted under a collation, as UTF-8.
std::vector<std::string> Sorted(const Collation& c, const CodePage& cp, std::vector<std::string> names) {
  std::vector<std::string> keys;
  for (const auto& n : names) keys.push_back(Encode(cp, n));
  std::stable_sort(keys.begin(), keys.end(), [&](const std::string& a, const std::string& b) { return c.Compare(a, b) < 0; });
  std::vector<std::string> out;
  for (const auto& k : keys) out.push_back(cp.Decode(k));
  return out;
}

const std::vector<std::string> kSpanish = {"alvarez", "Ábalos", "Álvarez", "ÁLVAREZ", "Ávila", "Çelik",
                                           "Ébano",   "Muñoz",  "Ñandú",   "Ñu",      "zapata"};

TEST(Collation, SpanishDriversPutLettersWithTheirAccentsAndÑAfterN) {
  std::vector<std::string> shuffled(kSpanish.rbegin(), kSpanish.rend());
  std::swap(shuffled[2], shuffled[7]);
  EXPECT_EQ(Sorted(Driver("DBWINES0"), *CodePage::Find(1252), shuffled), kSpanish);
  EXPECT_EQ(Sorted(Driver("DB850ES0"), *CodePage::Find(850), shuffled), kSpanish);
  // The DOS Spanish driver of code page 437 puts every capital before every small letter.
  const std::vector<std::string> dos = {"ABAD", "ÇELIK", "ÉBANO", "MUÑOZ", "NUÑEZ", "ÑANDU", "OSO",
                                        "alvarez", "ábalos", "muñoz", "ñu", "zapata"};
  std::vector<std::string> mixed(dos.rbegin(), dos.rend());
  EXPECT_EQ(Sorted(Driver("DB437ES1"), *CodePage::Find(437), mixed), dos);
  // Byte order keeps accented letters after z.
  EXPECT_EQ(Sorted(Collation(), *CodePage::Find(1252), {"Ñu", "zapata", "Ábalos", "alvarez"}),
            (std::vector<std::string>{"alvarez", "zapata", "Ábalos", "Ñu"}));
}

TEST(Collation, EveryDriverTableGivesEachByteOnePlace) {
  for (const Collation& c : engine::KnownCollations()) {
    bool seen[256] = {};
    for (int w = 0; w < 256; ++w) {
      uint8_t b = c.ByteOf(static_cast<uint8_t>(w));
      EXPECT_FALSE(seen[b]) << c.name() << " byte " << int(b);
      seen[b] = true;
      EXPECT_EQ(c.Weight(b), w) << c.name();
    }
    EXPECT_EQ(c.Compare("a", "a "), -1) << "a prefix comes first";
  }
}

TEST(Collation, DriversAreFoundByIdAndByNameAndUnknownOnesAreUnconfirmedByteOrder) {
  struct Case {
    uint8_t ldid;
    const char* name;
    const char* want;
    bool confirmed, binary;
  } cases[] = {
      {0x59, "", "DBWINES0", true, false},    {0x58, "", "DBWINWE0", true, false},
      {0x14, "", "DB850ES0", true, false},    {0x18, "", "DB437ES1", true, false},
      {0x57, "", "DBWINUS0", true, true},     {0x1B, "", "DB437US0", true, true},
      {0x00, "", "sin idioma", false, true},  {0x4D, "", "idioma 0x4D", false, true},
      {0x00, "DBWINES0", "DBWINES0", true, false}, {0x57, "dbwines0 ", "DBWINES0", true, false},
      {0x00, "DB932JP0", "DB932JP0", false, true},
  };
  for (const Case& c : cases) {
    Collation got = CollationForDbase(c.ldid, c.name);
    EXPECT_EQ(got.name(), c.want) << int(c.ldid) << " " << c.name;
    EXPECT_EQ(got.confirmed(), c.confirmed) << c.want;
    EXPECT_EQ(got.binary(), c.binary) << c.want;
  }
  EXPECT_NE(CollationForDbase(0x4D, "").Description().find("sin confirmar"), std::string::npos);
}

// A Spanish-like order that puts every accented letter before its plain one: consistent, but
// no driver's.
Collation OddOrder() {
  const Collation& es = Driver("DBWINES0");
  std::vector<uint8_t> seq;
  for (int w = 0; w < 256; ++w) seq.push_back(es.ByteOf(static_cast<uint8_t>(w)));
  const CodePage& cp = *CodePage::Find(1252);
  for (const char* pair : {"aá", "AÁ", "eé", "EÉ", "uú", "UÚ", "nñ", "NÑ", "oó", "OÓ"}) {
    std::string bytes = Encode(cp, pair);
    auto a = std::find(seq.begin(), seq.end(), static_cast<uint8_t>(bytes[0]));
    auto b = std::find(seq.begin(), seq.end(), static_cast<uint8_t>(bytes[1]));
    std::iter_swap(a, b);
  }
  return Collation("RARO", 0, seq.data(), true);
}

// A fiscal-year-like table: EMPRESA repeats, so lookups by company return several rows.
class CollatedIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    table.fields = {Char("EMPRESA", 30), Char("EJERCICIO", 4)};
    const CodePage& cp = *CodePage::Find(1252);
    const char* const stems[] = {"Ábalos", "alvarez", "Álvarez", "ÁLVAREZ", "Ávila", "Çelik", "Ébano", "Muñoz",
                                 "Ñandú",  "Ñu",      "zapata",  "Peña",    "Zapatería", "Úbeda", "Olmo"};
    for (int i = 0; i < 600; ++i) {
      std::string name = std::string(stems[i % 15]) + testing_support::Numbered(" ", i % 40);
      table.Add({Encode(cp, name), std::to_string(2000 + i % 7)});
      expected[table.rows.back()[0]].push_back(static_cast<uint64_t>(i + 1));
    }
    dbf = dir / "EJERCICI.DBF";
    mdx = dir / "EJERCICI.MDX";
  }

  void Build(const Collation& written, uint8_t header_ldid) {
    WriteDbf(dbf, table, header_ldid);
    Rows rows(table);
    MdxIndex::Create(mdx, "EJERCICI", {{"EMPRESA", "EMPRESA", "", 'C', false, false}}, table.fields,
                     *CodePage::Find(1252), rows, written);
  }

  // Every lookup by company yields exactly that company's rows.
  void ExpectEveryLookupComplete(MdxIndex& idx, const std::string& label) {
    for (const auto& [key, recnos] : expected) {
      std::string text = CodePage::Find(1252)->Decode(key);
      while (!text.empty() && text.back() == ' ') text.pop_back();
      std::vector<uint64_t> got = WalkAll(idx, "EMPRESA", engine::Value::Text(text));
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, recnos) << label << ": " << text;
    }
  }

  Table table;
  std::map<std::string, std::vector<uint64_t>> expected;
  testing_support::TempDir dir;
  std::string dbf, mdx;
};

TEST_F(CollatedIndex, LookupsFindEveryRowWhateverOrderTheTagWasWrittenIn) {
  const Collation odd = OddOrder(), bytes = Collation::Binary("DBWINUS0", 0x57, true);
  const Collation* orders[] = {&Driver("DBWINES0"), &bytes, &odd};
  for (const Collation* written : orders) {
    for (uint8_t ldid : {uint8_t{0x59}, uint8_t{0x57}, uint8_t{0x4D}}) {
      Build(*written, ldid);
      Collation header = CollationForDbase(ldid, "");
      auto idx = MdxIndex::Open(mdx, table.fields, *CodePage::Find(1252), false, header);
      ExpectEveryLookupComplete(*idx, written->name() + " read as " + header.name());
      auto orders_seen = idx->Orders();
      ASSERT_EQ(orders_seen.size(), 1u);
      EXPECT_EQ(orders_seen[0].in_order, written->SameOrder(header)) << written->name() << " / " << header.name();
    }
  }
}

TEST_F(CollatedIndex, TagsAreBuiltInTheTablesCollation) {
  for (const char* driver : {"DBWINES0", "DBWINUS0"}) {
    const Collation& c = Driver(driver);
    Build(c, c.ldid());
    auto idx = MdxIndex::Open(mdx, table.fields, *CodePage::Find(1252), false, c);
    std::vector<uint64_t> walk = WalkAll(*idx, "EMPRESA");
    ASSERT_EQ(walk.size(), table.rows.size());
    for (size_t i = 1; i < walk.size(); ++i) {
      const std::string& a = table.rows[walk[i - 1] - 1][0];
      const std::string& b = table.rows[walk[i] - 1][0];
      ASSERT_LE(c.Compare(a, b), 0) << driver << " at " << i;
      if (a == b) {
        ASSERT_LT(walk[i - 1], walk[i]) << "equal keys keep record order";
      }
    }
    Rows rows(table);
    EXPECT_TRUE(idx->Check(rows).ok()) << driver;
  }
}

TEST_F(CollatedIndex, CheckerNamesAForeignOrderAndRejectsSwappedKeysUnderEveryCollation) {
  // Written in byte order, read as Spanish: a sound tag in another order.
  Build(Collation::Binary("DBWINUS0", 0x57, true), 0x59);
  {
    auto idx = MdxIndex::Open(mdx, table.fields, *CodePage::Find(1252), false, Driver("DBWINES0"));
    Rows rows(table);
    auto report = idx->Check(rows);
    EXPECT_TRUE(report.problems.empty());
    ASSERT_EQ(report.foreign_order.size(), 1u);
    EXPECT_NE(report.foreign_order[0].find("orden distinto del de su idioma (DBWINES0)"), std::string::npos);
    EXPECT_NE(report.foreign_order[0].find("binario"), std::string::npos);
  }
  for (const char* driver : {"DBWINES0", "DBWINUS0", "DB437ES1", "DB850ES0"}) {
    const Collation& c = Driver(driver);
    Build(c, c.ldid());
    // Swap the keys (and rows) of two entries far apart in the first leaf.
    std::string bytes = testing_support::ReadFileBytes(mdx);
    uint32_t root = 0;
    std::memcpy(&root, bytes.data() + 2048, 4);
    size_t node = size_t{root} * 512;
    for (int depth = 0; depth < 8; ++depth) {
      uint32_t n = 0, right = 0;
      std::memcpy(&n, bytes.data() + node, 4);
      std::memcpy(&right, bytes.data() + node + 8 + 36 * n, 4);
      if (right == 0) break;
      uint32_t first = 0;
      std::memcpy(&first, bytes.data() + node + 8, 4);
      node = size_t{first} * 512;
    }
    const size_t item = 36;  // 30-byte key + record number, rounded to 4
    std::string a = bytes.substr(node + 8, item), b = bytes.substr(node + 8 + item * 20, item);
    ASSERT_NE(a.substr(4), b.substr(4)) << driver;
    bytes.replace(node + 8, item, b);
    bytes.replace(node + 8 + item * 20, item, a);
    testing_support::WriteFileBytes(mdx, bytes);
    auto idx = MdxIndex::Open(mdx, table.fields, *CodePage::Find(1252), false, c);
    Rows rows(table);
    auto report = idx->Check(rows);
    ASSERT_FALSE(report.problems.empty()) << driver;
    EXPECT_NE(report.problems[0].find("desordenadas"), std::string::npos) << report.problems[0];
    EXPECT_TRUE(report.foreign_order.empty()) << driver;
  }
}

TEST_F(CollatedIndex, LookupsFindNulPaddedKeysAndNothingForValuesTheKeyCannotHold) {
  // Rows 1..600 as before; every "Ñu" row is stored padded with NULs, as some programs do.
  const std::string nu = Encode(*CodePage::Find(1252), "Ñu 9");
  std::vector<uint64_t> want;
  for (size_t i = 0; i < table.rows.size(); ++i) {
    std::string& k = table.rows[i][0];
    if (k.compare(0, nu.size(), nu) == 0 && k.find_first_not_of(' ', nu.size()) == std::string::npos) {
      k = nu + std::string(30 - nu.size(), '\0');
      want.push_back(i + 1);
    }
  }
  ASSERT_FALSE(want.empty());
  const Collation bytes = Collation::Binary("DBWINUS0", 0x57, true);
  for (bool descending : {false, true}) {
    for (const Collation* written : {&Driver("DBWINES0"), &bytes}) {
      WriteDbf(dbf, table, 0x59);
      Rows rows(table);
      MdxIndex::Create(mdx, "EJERCICI", {{"EMPRESA", "EMPRESA", "", 'C', false, descending}}, table.fields,
                       *CodePage::Find(1252), rows, *written);
      auto idx = MdxIndex::Open(mdx, table.fields, *CodePage::Find(1252), false, Driver("DBWINES0"));
      std::vector<uint64_t> got = WalkAll(*idx, "EMPRESA", engine::Value::Text("Ñu 9"));
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, want) << written->name() << (descending ? " descending" : "");
      EXPECT_TRUE(WalkAll(*idx, "EMPRESA", engine::Value::Text("Ñu 9" + std::string(40, 'x'))).empty());
      EXPECT_TRUE(WalkAll(*idx, "EMPRESA", engine::Value::Text("Ñu")).empty()) << "a prefix is another key";
      EXPECT_THROW(WalkAll(*idx, "EMPRESA", engine::Value::Text("Ωmega")), engine::EngineError);
    }
  }
}

// A table whose header names one driver and whose index was written in another order.
class ForeignOrderTable : public CollatedIndex {
 protected:
  std::unique_ptr<engine::TableStorage> OpenWritable() {
    engine::OpenOptions o;
    o.exclusive = true;
    return engine::OpenStorage(dbf, engine::TableFormat::kDbase, o);
  }
};

TEST_F(ForeignOrderTable, AWriteThatMustPlaceAKeyIsRefusedAndChangesNothing) {
  Build(Collation::Binary("DBWINUS0", 0x57, true), 0x59);
  const std::string dbf_before = testing_support::ReadFileBytes(dbf), mdx_before = testing_support::ReadFileBytes(mdx);
  {
    auto t = OpenWritable();
    std::string row;
    t->ReadRecord(3, &row);
    std::string changed = row;
    t->SetValue(&changed, 0, engine::Value::Text("Ñoño"));
    try {
      t->UpdateRecord(3, row, changed);
      ADD_FAILURE() << "a key was placed in a tag of unknown order";
    } catch (const engine::EngineError& e) {
      std::string what = e.what();
      EXPECT_NE(what.find("EMPRESA"), std::string::npos) << what;
      EXPECT_NE(what.find("Regenere los índices"), std::string::npos) << what;
      EXPECT_NE(what.find("DBWINES0"), std::string::npos) << what;
    }
    std::string blank = t->BlankRecord();
    t->SetValue(&blank, 0, engine::Value::Text("Nuevo"));
    EXPECT_THROW(t->AppendRecord(blank), engine::EngineError);
    // A change that leaves every key where it is needs no place: it is written.
    std::string year = row;
    t->SetValue(&year, 1, engine::Value::Text("1999"));
    t->UpdateRecord(3, row, year);
    t->UpdateRecord(3, year, row);
    t->Flush();
  }
  EXPECT_TRUE(testing_support::ReadFileBytes(mdx) == mdx_before);
  std::string dbf_after = testing_support::ReadFileBytes(dbf);
  ASSERT_EQ(dbf_after.size(), dbf_before.size());
  EXPECT_TRUE(dbf_after.substr(4) == dbf_before.substr(4)) << "rows and fields unchanged (the date may differ)";

  // The same edits on a tag in its own order go through and keep it true.
  Build(Driver("DBWINES0"), 0x59);
  {
    auto t = OpenWritable();
    std::string row;
    t->ReadRecord(3, &row);
    std::string changed = row;
    t->SetValue(&changed, 0, engine::Value::Text("Ñoño"));
    t->UpdateRecord(3, row, changed);
    std::string blank = t->BlankRecord();
    t->SetValue(&blank, 0, engine::Value::Text("Álamo"));
    t->AppendRecord(blank);
    t->Flush();
  }
  Table now = ReadDbf(dbf);
  auto idx = MdxIndex::Open(mdx, now.fields, *CodePage::Find(1252), false, Driver("DBWINES0"));
  Rows rows(now);
  auto report = idx->Check(rows);
  EXPECT_TRUE(report.ok()) << (report.problems.empty() ? report.foreign_order[0] : report.problems[0]);
}

}  // namespace
