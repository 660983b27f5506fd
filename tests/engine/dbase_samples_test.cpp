// dBASE files written by other programs: every sample opens (or is refused with a clear error),
// and what the engine reads equals what independent readers read.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using engine::Value;
using testing_support::SamplesDir;
using testing_support::TempDir;

std::unique_ptr<engine::TableStorage> OpenRead(const std::string& path, bool foxpro = false) {
  engine::OpenOptions o;
  o.read_only = true;
  return engine::dbase::Open(path, o, foxpro);
}

std::string Sample(const std::string& rel) {
  std::string dir = SamplesDir();
  return dir.empty() ? "" : dir + "/" + rel;
}

#define REQUIRE_SAMPLES()                                         \
  if (SamplesDir().empty()) GTEST_SKIP() << testing_support::NoSamples()

// Opening must either succeed and read every value, or throw an EngineError naming the table.
TEST(DbaseSamples, EverySampleOpensOrIsRefusedClearly) {
  REQUIRE_SAMPLES();
  int opened = 0, refused = 0;
  std::string refusals;
  for (const char* folder : {"infused-dbf", "php-xbase", "dbd-xbase", "jdbfdriver"}) {
    for (const auto& e : std::filesystem::directory_iterator(SamplesDir() + "/" + folder)) {
      std::string ext = e.path().extension().string();
      if (ext != ".dbf" && ext != ".DBF") continue;
      std::string path = e.path().generic_string();
      SCOPED_TRACE(path);
      try {
        auto t = OpenRead(path);
        std::string buf;
        for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
          t->ReadRecord(r, &buf);
          for (int f = 0; f < static_cast<int>(t->Fields().size()); ++f) t->GetValue(buf, f);
        }
        ++opened;
      } catch (const engine::EngineError& err) {
        EXPECT_NE(std::string(err.what()).find(path), std::string::npos) << err.what();
        EXPECT_FALSE(err.message().empty());
        ++refused;
        refusals += std::string("\n") + err.what();
      }
    }
  }
  // Most samples are plain dBASE tables that must open; the refusals are checked one by one below.
  EXPECT_GE(opened, 10);
  EXPECT_LE(refused, 7) << refusals;
}

TEST(DbaseSamples, AgreeWithDbfread) {
  REQUIRE_SAMPLES();
  if (!testing_support::HaveDbfread()) GTEST_SKIP() << "dbfread not installed";
  struct Case {
    const char* file;
    int level;
    uint64_t rows;
  } cases[] = {
      {"infused-dbf/dbase_03.dbf", 3, 14}, {"infused-dbf/dbase_83.dbf", 3, 67},
      {"infused-dbf/polygon.dbf", 3, 1},
      {"dbd-xbase/test.dbf", 3, 3},         {"dbd-xbase/ndx-char.dbf", 3, 28},
      {"dbd-xbase/ndx-num.dbf", 3, 594},    {"dbd-xbase/ndx-date.dbf", 3, 297},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto t = OpenRead(Sample(c.file));
    EXPECT_EQ(t->Level(), c.level);
    EXPECT_EQ(t->RecordCount(), c.rows);
    EXPECT_EQ(t->TypeName(), "DBASE");
    auto diff = dbase_test::CompareWithDbfread(*t, "cp1252");
    ASSERT_TRUE(diff);
    EXPECT_EQ(*diff, "");
  }
}

// In dbase_8b.dbt most memos are followed by bytes that their length word leaves out
// ("Second memo\n" stored with length 8 + 11, "Fifth memoo\n" left over from an older value).
// The engine trusts the length, as dBASE does; dbfread reads on to the next 0x1F. So dbfread's
// memo starts with the engine's, and every other value agrees.
TEST(DbaseSamples, MemoLengthWordIsTrusted) {
  REQUIRE_SAMPLES();
  auto t = OpenRead(Sample("infused-dbf/dbase_8b.dbf"));
  auto rows = dbase_test::ReadAllRows(*t);
  ASSERT_EQ(rows.size(), 10u);
  size_t memo = 5;
  ASSERT_EQ(t->Fields()[memo].name, "MEMO");
  EXPECT_EQ(rows[0].second[memo], Value::Text("First memo\r\n"));  // length 8 + 12
  EXPECT_EQ(rows[1].second[memo], Value::Text("Second memo"));
  EXPECT_EQ(rows[4].second[memo], Value::Text("Fifth memo"));
  auto lines = testing_support::DbfreadRecords(t->Path(), "cp1252");
  if (!lines) return;
  ASSERT_EQ(lines->size(), rows.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    auto json = dbase_test::ParseJsonLine((*lines)[r]);
    ASSERT_TRUE(json);
    for (size_t f = 0; f < t->Fields().size(); ++f) {
      const auto& j = json->at(t->Fields()[f].name);
      Value v = rows[r].second[f];
      if (f == memo && v.kind == Value::Kind::Text) {
        EXPECT_EQ(j.text.substr(0, v.s.size()), v.s) << "row " << r + 1;
        continue;
      }
      EXPECT_EQ(dbase_test::CompareValue(v, j), "") << "row " << r + 1 << " field " << t->Fields()[f].name;
    }
  }
}

TEST(DbaseSamples, DbfDumpAgreesOnDbaseIIIMemos) {
  REQUIRE_SAMPLES();
  auto dump = testing_support::DbfDump(Sample("dbd-xbase/test.dbf"));
  if (!dump) GTEST_SKIP() << "dbf_dump not installed";
  auto t = OpenRead(Sample("dbd-xbase/test.dbf"));
  std::string expect, buf;
  for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
    t->ReadRecord(r, &buf);
    if (t->IsDeleted(buf)) continue;  // dbf_dump leaves deleted rows out
    std::string line;
    for (int f = 0; f < static_cast<int>(t->Fields().size()); ++f) {
      Value v = t->GetValue(buf, f);
      if (f) line += ':';
      if (v.kind == Value::Kind::Logical) line += v.i ? "1" : "0";
      else if (v.kind == Value::Kind::Date) {
        std::string d = v.ToDisplay();
        line += d.substr(0, 4) + d.substr(5, 2) + d.substr(8, 2);
      } else line += v.ToDisplay();
    }
    expect += line + "\n";
  }
  EXPECT_EQ(*dump, expect);
}

// The production-index flag is set in TEST.DBF and rooms.dbf. With the flag cleared in a copy,
// the rows read like dbfread reads them; with it set, the .MDX is required.
TEST(DbaseSamples, ProductionIndexFlag) {
  REQUIRE_SAMPLES();
  TempDir dir;
  std::string bytes = testing_support::ReadFileBytes(Sample("jdbfdriver/TEST.DBF"));
  ASSERT_EQ(bytes[28], 1);
  bytes[28] = 0;
  testing_support::WriteFileBytes(dir / "TEST.DBF", bytes);
  {
    auto t = OpenRead(dir / "TEST.DBF");
    EXPECT_EQ(t->Codepage().number(), 437);  // LDID 0x1B
    EXPECT_EQ(t->Level(), 4);
    ASSERT_EQ(t->Fields().size(), 2u);
    if (testing_support::HaveDbfread()) {
      auto diff = dbase_test::CompareWithDbfread(*t, "cp437");
      ASSERT_TRUE(diff);
      EXPECT_EQ(*diff, "");
    }
  }
  // Flag set and no .MDX beside the table: a clear error naming the index file.
  bytes[28] = 1;
  testing_support::WriteFileBytes(dir / "TEST.DBF", bytes);
  try {
    OpenRead(dir / "TEST.DBF");
    FAIL() << "opened a table whose production index is missing";
  } catch (const engine::EngineError& e) {
    EXPECT_EQ(e.code(), engine::err::kNoSuchFile);
    EXPECT_NE(std::string(e.what()).find("TEST.MDX"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("Tabla: " + (dir / "TEST.DBF")), std::string::npos) << e.what();
  }
  try {
    OpenRead(Sample("dbd-xbase/rooms.dbf"));
    FAIL() << "rooms.dbf has no .mdx";
  } catch (const engine::EngineError& e) {
    EXPECT_EQ(e.code(), engine::err::kNoSuchFile);
    EXPECT_NE(std::string(e.what()).find("rooms.mdx"), std::string::npos) << e.what();
  }
}

TEST(DbaseSamples, RefusedFormatsAndMissingCompanions) {
  REQUIRE_SAMPLES();
  for (const char* f : {"infused-dbf/cp1251.dbf", "infused-dbf/dbase_31.dbf"}) {
    SCOPED_TRACE(f);
    try {
      OpenRead(Sample(f));
      FAIL() << "opened a FoxPro table as dBASE";
    } catch (const engine::EngineError& e) {
      EXPECT_EQ(e.code(), engine::err::kNotSupported);
      EXPECT_NE(e.message().find("Formato no admitido"), std::string::npos);
    }
  }
  try {
    OpenRead(Sample("infused-dbf/dbase_8c.dbf"));
    FAIL() << "dbase_8c.dbf comes without its memo file";
  } catch (const engine::EngineError& e) {
    EXPECT_EQ(e.code(), engine::err::kNoSuchFile);
    EXPECT_NE(std::string(e.what()).find("dbase_8c.dbt"), std::string::npos) << e.what();
  }
}

TEST(DbaseSamples, FoxProOpensReadOnlyWhenAsked) {
  REQUIRE_SAMPLES();
  auto t = OpenRead(Sample("infused-dbf/cp1251.dbf"), /*foxpro=*/true);
  EXPECT_EQ(t->TypeName(), "FOXPRO");
  EXPECT_EQ(t->Format(), engine::TableFormat::kFoxPro);
  EXPECT_EQ(t->Codepage().number(), 1251);
  if (testing_support::HaveDbfread()) {
    auto diff = dbase_test::CompareWithDbfread(*t, "cp1251");
    ASSERT_TRUE(diff);
    EXPECT_EQ(*diff, "");
  }
  std::string buf;
  t->ReadRecord(1, &buf);
  EXPECT_THROW(t->UpdateRecord(1, buf, buf), engine::EngineError);
  EXPECT_THROW(t->AppendRecord(buf), engine::EngineError);
  // Even opened for writing, a FoxPro table stays read-only.
  auto w = engine::dbase::Open(Sample("infused-dbf/cp1251.dbf"), engine::OpenOptions{}, true);
  EXPECT_THROW(w->SetDeleted(1, true), engine::EngineError);
}

// The same rows stored by three writers at levels 3, 4 and 7 (III memos, IV memos, level 7
// encodings) read alike.
TEST(DbaseSamples, PhpXbaseLevelsReadAlike) {
  REQUIRE_SAMPLES();
  auto t3 = OpenRead(Sample("php-xbase/dBaseIII.dbf"));
  auto t4 = OpenRead(Sample("php-xbase/dBaseIV.dbf"));
  auto t7 = OpenRead(Sample("php-xbase/dBaseVII.dbf"));
  EXPECT_EQ(t7->Level(), 7);
  EXPECT_EQ(t7->LanguageDriverName(), "DB866RU0");
  EXPECT_EQ(t7->Codepage().number(), 866);
  auto r3 = dbase_test::ReadAllRows(*t3), r4 = dbase_test::ReadAllRows(*t4), r7 = dbase_test::ReadAllRows(*t7);
  ASSERT_EQ(r3.size(), 3u);
  ASSERT_EQ(r4.size(), 3u);
  ASSERT_EQ(r7.size(), 3u);
  // The three writers end the BIO memos differently (a NUL, CR LF, nothing): compare the text.
  auto text = [](const Value& v) {
    std::string s = v.s;
    while (!s.empty() && (s.back() == '\0' || s.back() == '\r' || s.back() == '\n')) s.pop_back();
    return s;
  };
  for (const char* name : {"NAME", "BIRTHDAY", "IS_MAN", "BIO", "MONEY"}) {
    SCOPED_TRACE(name);
    auto idx = [&](engine::TableStorage& t) {
      for (size_t i = 0; i < t.Fields().size(); ++i)
        if (t.Fields()[i].name == name) return i;
      ADD_FAILURE() << "no field " << name;
      return size_t{0};
    };
    size_t i3 = idx(*t3), i4 = idx(*t4), i7 = idx(*t7);
    for (size_t r = 0; r < 3; ++r) {
      if (std::string(name) == "BIO") {
        ASSERT_EQ(r3[r].second[i3].kind, Value::Kind::Text);
        EXPECT_EQ(text(r3[r].second[i3]), text(r4[r].second[i4]));
        EXPECT_EQ(text(r4[r].second[i4]), text(r7[r].second[i7]));
        continue;
      }
      EXPECT_EQ(r3[r].second[i3], r4[r].second[i4]) << r3[r].second[i3].ToDisplay().substr(0, 80);
      // The level 7 file stores MONEY with more decimals; compare the value, not the text.
      if (std::string(name) == "MONEY")
        EXPECT_NEAR(r4[r].second[i4].d, r7[r].second[i7].d, 1e-9);
      else
        EXPECT_EQ(r4[r].second[i4], r7[r].second[i7]) << r4[r].second[i4].ToDisplay().substr(0, 80);
    }
  }
  EXPECT_EQ(r7[0].second[0], Value::Text("Groot"));
  EXPECT_EQ(r7[0].second[1].ToDisplay(), "1960-11-01");
  EXPECT_GT(r7[0].second[3].s.size(), 1000u);  // BIO memo text
}

TEST(DbaseSamples, Level7Encodings) {
  REQUIRE_SAMPLES();
  {
    auto t = OpenRead(Sample("php-xbase/dBaseVII_int.dbf"));
    ASSERT_EQ(t->Fields()[0].type, bde::fldDBLONG);
    auto rows = dbase_test::ReadAllRows(*t);
    std::vector<int64_t> want{1, -1, 5000000, -5000000, 2147483647, -2147483647};
    ASSERT_EQ(rows.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(rows[i].second[0], Value::Integer(want[i]));
  }
  {
    auto t = OpenRead(Sample("php-xbase/dBaseVII_double.dbf"));
    ASSERT_EQ(t->Fields()[0].type, bde::fldDBDOUBLE);
    auto rows = dbase_test::ReadAllRows(*t);
    std::vector<double> want{-199.99, -74.62, 43.65, 150.48, 0.0};
    ASSERT_EQ(rows.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(rows[i].second[0].kind, Value::Kind::Number);
      EXPECT_EQ(rows[i].second[0].d, want[i]);
    }
  }
  {
    auto t = OpenRead(Sample("php-xbase/dBaseVII_ts.dbf"));
    ASSERT_EQ(t->Fields()[0].type, bde::fldDBDATETIME);
    EXPECT_EQ(t->RecordCount(), 15u);
    std::string buf;
    int deleted = 0;
    std::optional<Value> first_live;
    for (uint64_t r = 1; r <= 15; ++r) {
      t->ReadRecord(r, &buf);
      if (t->IsDeleted(buf)) ++deleted;
      else if (!first_live) first_live = t->GetValue(buf, 0);
    }
    EXPECT_EQ(deleted, 6);
    ASSERT_TRUE(first_live);
    EXPECT_EQ(*first_live, Value::Timestamp(engine::DayFromCivil(1900, 1, 1) * engine::kMsPerDay));
  }
  {
    // AUTO_INC and INTEGER of the mixed level 7 table.
    auto t = OpenRead(Sample("php-xbase/dBaseVII.dbf"));
    auto rows = dbase_test::ReadAllRows(*t);
    EXPECT_EQ(t->Fields()[6].type, bde::fldDBAUTOINC);
    EXPECT_EQ(rows[0].second[6], Value::Integer(0));
    EXPECT_EQ(rows[2].second[6], Value::Integer(2));
    EXPECT_EQ(rows[0].second[7], Value::Integer(1));
    EXPECT_EQ(rows[0].second[9].ToDisplay(), "1800-01-01 01:01:01");
    EXPECT_EQ(rows[1].second[9].ToDisplay(), "1970-01-01 00:00:00");
    EXPECT_EQ(rows[2].second[9].ToDisplay(), "2020-02-20 20:20:20");
  }
}

// socios.dbf holds "1,200.00" in a numeric field: the engine names the field rather than guess.
TEST(DbaseSamples, UnreadableNumberNamesTheField) {
  REQUIRE_SAMPLES();
  auto t = OpenRead(Sample("php-xbase/socios.dbf"));
  EXPECT_EQ(t->Fields().size(), 133u);
  std::string buf;
  int thrown = 0;
  for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
    t->ReadRecord(r, &buf);
    for (int f = 0; f < static_cast<int>(t->Fields().size()); ++f) {
      try {
        t->GetValue(buf, f);
      } catch (const engine::EngineError& e) {
        ++thrown;
        EXPECT_EQ(e.code(), engine::err::kFileCorrupt);
        EXPECT_EQ(t->Fields()[static_cast<size_t>(f)].name, "SALARIO");
        EXPECT_NE(std::string(e.what()).find("Campo: SALARIO"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("1,200.00"), std::string::npos) << e.what();
      }
    }
  }
  EXPECT_GE(thrown, 1);
}

}  // namespace
