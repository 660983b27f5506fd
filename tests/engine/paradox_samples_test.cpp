// Paradox tables written by other programs: every sample opens (or gives the clear encryption
// error) and its values and validity checks are those the sample folders document.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "engine/bde.h"
#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

using testing_support::SamplesDir;

std::unique_ptr<TableStorage> OpenSample(const std::string& rel) {
  OpenOptions o;
  o.read_only = true;
  return paradox::Open(SamplesDir() + "/" + rel, o);
}

std::vector<Value> Row(TableStorage& t, uint64_t recno) {
  std::string buf;
  t.ReadRecord(recno, &buf);
  std::vector<Value> out;
  for (size_t i = 0; i < t.Fields().size(); ++i) out.push_back(t.GetValue(buf, static_cast<int>(i)));
  return out;
}

std::string Decimal(const Value& v) {
  if (v.kind == Value::Kind::Number) return v.DecimalText();
  std::string shown(1, '<');
  shown += v.ToDisplay();
  shown += '>';
  return shown;
}

int64_t Day(int y, int m, int d) { return DayFromCivil(y, m, d); }

#define REQUIRE_SAMPLES() \
  if (SamplesDir().empty()) GTEST_SKIP() << testing_support::NoSamples()

TEST(ParadoxSamples, EveryTableOpensOrSaysItIsEncrypted) {
  REQUIRE_SAMPLES();
  int opened = 0, encrypted = 0;
  std::vector<std::filesystem::path> tables;
  for (const char* dir : {"paradox-paradoxdriver", "paradox-python-pxlib"})
    for (const auto& e : std::filesystem::recursive_directory_iterator(SamplesDir() + "/" + dir)) {
      std::string ext = e.path().extension().string();
      for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (ext == ".db") tables.push_back(e.path());
    }
  for (const auto& path : tables) {
    OpenOptions o;
    o.read_only = true;
    try {
      auto t = paradox::Open(path.string(), o);
      EXPECT_EQ(t->TypeName(), "PARADOX");
      // Every value of every row decodes, and every .VAL parses.
      for (uint64_t r = 1; r <= t->RecordCount(); ++r) Row(*t, r);
      t->ValChecks();
      ++opened;
    } catch (const EngineError& err) {
      EXPECT_EQ(err.code(), err::kEncrypted) << path << ": " << err.what();
      EXPECT_NE(std::string(err.what()).find("cifrada"), std::string::npos);
      EXPECT_NE(std::string(err.what()).find(path.filename().string()), std::string::npos);
      ++encrypted;
    }
  }
  EXPECT_EQ(encrypted, 3);
  EXPECT_EQ(opened, 31);
}

TEST(ParadoxSamples, NorwegianKeyedTables) {
  REQUIRE_SAMPLES();
  auto land = OpenSample("paradox-python-pxlib/LAND.DB");
  EXPECT_EQ(land->Level(), 4);
  EXPECT_EQ(land->Codepage().number(), 865);
  EXPECT_EQ(land->KeyFieldCount(), 1);
  ASSERT_EQ(land->RecordCount(), 216u);
  auto first = Row(*land, 1);
  EXPECT_EQ(first[0], Value::Text("AFG"));
  EXPECT_EQ(first[2], Value::Text("Afghanistan"));
  EXPECT_EQ(first[7].kind, Value::Kind::Number);
  EXPECT_EQ(first[7].d, 21765000.0);
  // Keyed: the chain order is the key order.
  std::string prev;
  for (uint64_t r = 1; r <= land->RecordCount(); ++r) {
    std::string code = Row(*land, r)[0].s;
    EXPECT_LT(prev, code) << "row " << r;
    prev = code;
  }

  auto komment = OpenSample("paradox-python-pxlib/KOMMENT.DB");
  ASSERT_EQ(komment->RecordCount(), 59u);
  EXPECT_EQ(komment->KeyFieldCount(), 2);
  const char* names[] = {"Aar", "Org_kode", "Merk", "Kommentar"};
  ASSERT_EQ(komment->Fields().size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(komment->Fields()[i].name, names[i]);
  EXPECT_EQ(komment->Fields()[3].type, bde::fldPDXMEMO);
  EXPECT_EQ(komment->Fields()[3].size, 130);
  // Each memo's first bytes are also kept in the record's leader: the text read from the .MB
  // (sub-allocated and single blocks alike) must begin with them.
  int from_mb = 0;
  for (uint64_t r = 1; r <= komment->RecordCount(); ++r) {
    std::string buf;
    komment->ReadRecord(r, &buf);
    const FieldSpec& f = komment->Fields()[3];
    Value memo = komment->GetValue(buf, 3);
    ASSERT_EQ(memo.kind, Value::Kind::Text) << "row " << r;
    std::string leader = buf.substr(f.offset, f.length - 10);
    leader = leader.substr(0, leader.find('\0'));
    std::string stored = *komment->Codepage().Encode(memo.s);
    EXPECT_EQ(stored.substr(0, leader.size()), leader) << "row " << r;
    if (stored.size() > leader.size()) ++from_mb;
  }
  EXPECT_GT(from_mb, 30);
  EXPECT_NE(Row(*komment, 4)[3].s.find("på"), std::string::npos);  // 865 decoding of 0x86
}

TEST(ParadoxSamples, DatesTimesAndTimestamps) {
  REQUIRE_SAMPLES();
  for (const char* name : {"fields/date35.db", "fields/date4.db", "fields/date5.db"}) {
    auto t = OpenSample(std::string("paradox-paradoxdriver/") + name);
    ASSERT_EQ(t->RecordCount(), 3u) << name;
    EXPECT_EQ(Row(*t, 1)[0], Value::Date(Day(2018, 1, 1))) << name;
    EXPECT_EQ(Row(*t, 2)[0], Value::Date(Day(2018, 2, 1))) << name;
    EXPECT_EQ(Row(*t, 3)[0], Value::Date(Day(2018, 1, 2))) << name;
  }
  EXPECT_EQ(OpenSample("paradox-paradoxdriver/fields/date35.db")->Level(), 3);
  auto d5 = OpenSample("paradox-paradoxdriver/fields/date5.db");
  EXPECT_EQ(Row(*d5, 2)[1], Value::Time((10 * 3600 + 30 * 60) * 1000));
  EXPECT_EQ(Row(*d5, 3)[1], Value::Time((9 * 3600 + 25 * 60 + 25) * 1000));
  auto d7 = OpenSample("paradox-paradoxdriver/fields/date7.db");
  ASSERT_EQ(d7->RecordCount(), 5u);
  EXPECT_TRUE(Row(*d7, 4)[0].IsNull());
  EXPECT_TRUE(Row(*d7, 5)[1].IsNull());

  auto time = OpenSample("paradox-paradoxdriver/fields/time.db");
  ASSERT_EQ(time->RecordCount(), 3u);
  EXPECT_EQ(Row(*time, 1)[0], Value::Time(3601000));   // 01:00:01
  EXPECT_TRUE(Row(*time, 2)[0].IsNull());
  EXPECT_EQ(Row(*time, 3)[0], Value::Time(10803000));  // 03:00:03

  auto ts = OpenSample("paradox-paradoxdriver/fields/timestamp.db");
  EXPECT_TRUE(Row(*ts, 1)[0].IsNull());
  EXPECT_EQ(Row(*ts, 2)[0], Value::Timestamp(Day(2020, 2, 1) * kMsPerDay + 3601000));
}

TEST(ParadoxSamples, NumbersBcdLogicalAndIntegers) {
  REQUIRE_SAMPLES();
  auto bcd = OpenSample("paradox-paradoxdriver/fields/bcd.db");
  ASSERT_EQ(bcd->Fields().size(), 3u);
  EXPECT_EQ(bcd->Fields()[0].type, bde::fldPDXBCD);
  EXPECT_EQ(bcd->Fields()[0].size, 2);
  EXPECT_EQ(bcd->Fields()[2].size, 32);
  auto r1 = Row(*bcd, 1), r2 = Row(*bcd, 2), r3 = Row(*bcd, 3);
  EXPECT_EQ(r1[0].s, "1.23");
  EXPECT_EQ(r1[1].s, "1");
  EXPECT_EQ(r1[2].s.substr(0, 20), "0.122999999999999998");  // digits after are BDE junk
  EXPECT_EQ(r2[0].s, "-1.23");
  EXPECT_EQ(r2[1].s, "-1");
  EXPECT_EQ(r2[2].s.substr(0, 21), "-0.122999999999999998");
  EXPECT_TRUE(r3[1].IsNull());

  auto dec = OpenSample("paradox-paradoxdriver/db/DECIMAL.DB");
  EXPECT_EQ(dec->Level(), 7);
  ASSERT_EQ(dec->RecordCount(), 9u);
  const double want[] = {-200, -20, -1, 1, 20, 200};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Row(*dec, i + 1)[0].d, want[i]);

  auto hist = OpenSample("paradox-paradoxdriver/history-d1559bc/DECIMAL.DB");
  auto h1 = Row(*hist, 1);
  EXPECT_EQ(h1[0], Value::Integer(1));
  EXPECT_EQ(h1[1], Value::Date(Day(2016, 1, 1)));
  EXPECT_EQ(Decimal(h1[2]), "-15.5");
  EXPECT_EQ(Decimal(h1[3]), "-5.75");
  EXPECT_EQ(hist->Fields()[3].type, bde::fldPDXMONEY);

  auto logical = OpenSample("paradox-paradoxdriver/fields/logical.db");
  ASSERT_EQ(logical->RecordCount(), 4u);
  EXPECT_EQ(Row(*logical, 1)[0], Value::Logical(true));
  EXPECT_EQ(Row(*logical, 2)[0], Value::Logical(false));

  auto lng = OpenSample("paradox-paradoxdriver/fields/long.db");
  EXPECT_EQ(lng->Fields()[0].type, bde::fldPDXAUTOINC);
  EXPECT_EQ(Row(*lng, 2)[1], Value::Integer(2));
  EXPECT_TRUE(Row(*lng, 3)[1].IsNull());

  auto gen = OpenSample("paradox-paradoxdriver/db/GENERAL.DB");
  EXPECT_EQ(Row(*gen, 3)[0], Value::Integer(333333333));
  EXPECT_EQ(Row(*gen, 2)[1], Value::Text("Katty"));
  EXPECT_EQ(Row(*gen, 1)[2].d, 100.0);

  auto joina = OpenSample("paradox-paradoxdriver/joins/joina.db");
  EXPECT_EQ(joina->Fields()[0].type, bde::fldPDXSHORT);
  EXPECT_EQ(Row(*joina, 3)[0], Value::Integer(3));
}

// Code page 936 (GENERAL.DB) is double-byte and not among the engine's pages: its text is read
// through Windows 1252, whose decoding maps every byte, so rewriting a row keeps its bytes.
TEST(ParadoxSamples, UnknownCodePagesKeepTheirBytesThroughARewrite) {
  REQUIRE_SAMPLES();
  testing_support::TempDir dir;
  const std::string src = SamplesDir() + "/paradox-paradoxdriver/db/";
  testing_support::CopyFile(src + "GENERAL.DB", dir / "GENERAL.DB");
  testing_support::CopyFile(src + "GENERAL.PX", dir / "GENERAL.PX");
  const std::string before = testing_support::ReadFileBytes(dir / "GENERAL.DB");
  {
    auto t = paradox::Open(dir / "GENERAL.DB", OpenOptions{});
    EXPECT_EQ(t->Codepage().number(), 1252);
    for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
      std::string old, buf;
      t->ReadRecord(r, &old);
      buf = t->BlankRecord();
      for (size_t f = 0; f < t->Fields().size(); ++f)
        t->SetValue(&buf, static_cast<int>(f), t->GetValue(old, static_cast<int>(f)));
      EXPECT_EQ(buf.substr(0, 4 + 25), old.substr(0, 4 + 25)) << "row " << r;
      t->UpdateRecord(r, old, buf);
    }
  }
  const std::string after = testing_support::ReadFileBytes(dir / "GENERAL.DB");
  const size_t data = static_cast<uint8_t>(before[2]) | static_cast<uint8_t>(before[3]) << 8;
  EXPECT_EQ(after.substr(data), before.substr(data));
}

TEST(ParadoxSamples, BlobsOfEveryKind) {
  REQUIRE_SAMPLES();
  auto memo = OpenSample("paradox-paradoxdriver/fields/memo.db");
  Value m1 = Row(*memo, 1)[1];
  ASSERT_EQ(m1.kind, Value::Kind::Text);
  EXPECT_GT(m1.s.size(), 240u);  // longer than the leader: read from the .MB
  EXPECT_EQ(m1.s.substr(0, 22), "0123456789001234567890");
  EXPECT_EQ(Row(*memo, 2)[1].s.substr(0, 11), "01234567890");

  auto graphic = OpenSample("paradox-paradoxdriver/fields/graphic240.db");
  EXPECT_EQ(graphic->Fields()[1].type, bde::fldPDXGRAPHIC);
  Value g = Row(*graphic, 1)[1];
  ASSERT_EQ(g.kind, Value::Kind::Binary);
  ASSERT_GT(g.s.size(), 6u);
  EXPECT_EQ(g.s.substr(0, 2), "BM");
  uint32_t bmp_size;
  std::memcpy(&bmp_size, g.s.data() + 2, 4);  // the bitmap's own size field
  EXPECT_EQ(bmp_size, g.s.size());

  auto ole = OpenSample("paradox-paradoxdriver/fields/ole.db");
  EXPECT_EQ(ole->Fields()[1].size, 10);  // no leader at all
  Value o = Row(*ole, 1)[1];
  ASSERT_EQ(o.kind, Value::Kind::Binary);
  EXPECT_GT(o.s.size(), 300000u);

  auto fmemo = OpenSample("paradox-paradoxdriver/fields/fmemo.db");
  EXPECT_EQ(fmemo->Fields()[1].type, bde::fldPDXFMTMEMO);
  EXPECT_EQ(Row(*fmemo, 1)[1].kind, Value::Kind::Text);

  auto bytes = OpenSample("paradox-paradoxdriver/fields/bytes.db");
  EXPECT_EQ(bytes->Fields()[0].type, bde::fldPDXBYTES);
  EXPECT_EQ(Row(*bytes, 1)[0].s.size(), 255u);
}

TEST(ParadoxSamples, ValidityChecks) {
  REQUIRE_SAMPLES();
  auto checks = [](const std::string& rel) { return OpenSample("paradox-paradoxdriver/" + rel)->ValChecks(); };

  auto logical = checks("fields/logical.db");
  ASSERT_EQ(logical.size(), 1u);
  EXPECT_EQ(int{logical[0].iFldNum}, int{1});
  EXPECT_EQ(int{logical[0].bRequired}, int{1});
  EXPECT_EQ(int{logical[0].bHasDefVal}, int{1});
  int32_t def;
  std::memcpy(&def, logical[0].aDefVal, 4);
  EXPECT_EQ(def, 1);
  EXPECT_EQ(int{logical[0].bHasMinVal}, int{0});
  EXPECT_EQ(static_cast<int32_t>(logical[0].elkupType), static_cast<int32_t>(bde::lkupNONE));

  auto ascii = checks("joins/paradox-ascii.db");
  ASSERT_EQ(ascii.size(), 1u);
  EXPECT_EQ(int{ascii[0].bRequired}, int{1});
  EXPECT_EQ(int{ascii[0].bHasDefVal}, int{0});

  auto origin = checks("joins/origin.db");
  ASSERT_EQ(origin.size(), 1u);
  EXPECT_EQ(int{origin[0].iFldNum}, int{2});
  EXPECT_EQ(int{origin[0].bRequired}, int{0});
  EXPECT_EQ(static_cast<int32_t>(origin[0].elkupType), static_cast<int32_t>(bde::lkupHELP));  // help & fill, just the current field
  EXPECT_STREQ(origin[0].szLkupTblName, "destination.db");

  auto joinb = checks("joins/joinb.db");
  ASSERT_EQ(joinb.size(), 1u);
  EXPECT_EQ(static_cast<int32_t>(joinb[0].elkupType), static_cast<int32_t>(bde::lkupHELP));
  EXPECT_STREQ(joinb[0].szLkupTblName, "joina.db");

  auto multiple = checks("joins/multiple.db");
  ASSERT_EQ(multiple.size(), 2u);
  EXPECT_EQ(int{multiple[0].iFldNum}, int{2});
  EXPECT_EQ(int{multiple[0].bRequired}, int{1});
  EXPECT_EQ(int{multiple[1].iFldNum}, int{3});
  EXPECT_STREQ(multiple[1].szPict, "[(*3{#}) ]*3{#}-*4{#}");

  auto c = checks("joins/C.DB");
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(int{c[0].iFldNum}, int{1});
  EXPECT_EQ(int{c[1].iFldNum}, int{2});
  EXPECT_EQ(c[0].bRequired + c[1].bRequired, 2);

  auto decimal = checks("history-d1559bc/DECIMAL.DB");
  ASSERT_EQ(decimal.size(), 1u);
  EXPECT_EQ(int{decimal[0].iFldNum}, int{1});
  EXPECT_EQ(int{decimal[0].bRequired}, int{1});

  for (const char* rel : {"joins/A.db", "joins/B.db", "joins/primary.db", "joins/fk1.db"})
    EXPECT_TRUE(checks(rel).empty()) << rel;
}

}  // namespace
}  // namespace engine
