// Tables created and written by the engine: read back through the engine and through independent
// readers (dbfread, dbf_dump); values that do not fit are refused, never cut.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace {

using engine::EngineError;
using engine::FieldSpec;
using engine::TableDefinition;
using engine::Value;
using testing_support::TempDir;

FieldSpec F(const std::string& name, uint16_t type, uint16_t size = 0, uint16_t decimals = 0) {
  FieldSpec f;
  f.name = name;
  f.type = type;
  f.size = size;
  f.decimals = decimals;
  return f;
}

std::unique_ptr<engine::TableStorage> OpenRW(const std::string& path, bool exclusive = false) {
  engine::OpenOptions o;
  o.exclusive = exclusive;
  return engine::dbase::Open(path, o, false);
}

std::unique_ptr<engine::TableStorage> OpenRO(const std::string& path) {
  engine::OpenOptions o;
  o.read_only = true;
  return engine::dbase::Open(path, o, false);
}

int FieldNo(engine::TableStorage& t, const std::string& name) {
  for (size_t i = 0; i < t.Fields().size(); ++i)
    if (t.Fields()[i].name == name) return static_cast<int>(i);
  ADD_FAILURE() << "no field " << name;
  return 0;
}

// Appends one row given as (field, value) pairs; returns its record number.
uint64_t Append(engine::TableStorage& t, const std::vector<std::pair<std::string, Value>>& vals, bool deleted = false) {
  std::string buf = t.BlankRecord();
  for (const auto& [name, v] : vals) t.SetValue(&buf, FieldNo(t, name), v);
  uint64_t r = t.AppendRecord(buf);
  if (deleted) t.SetDeleted(r, true);
  return r;
}

Value Get(engine::TableStorage& t, uint64_t recno, const std::string& name) {
  std::string buf;
  t.ReadRecord(recno, &buf);
  return t.GetValue(buf, FieldNo(t, name));
}

Value Num(const std::string& text) { return Value::Number(std::strtod(text.c_str(), nullptr), text); }
Value DateV(int y, int m, int d) { return Value::Date(engine::DayFromCivil(y, m, d)); }

// Text in every code page under test: Spanish letters exist in 437, 850 and 1252 alike.
const char* kSpanish = "Ñandú: camión, pingüino y ¿qué?";

std::vector<FieldSpec> AllTypes(int level) {
  std::vector<FieldSpec> f{F("NOMBRE", bde::fldDBCHAR, 40), F("IMPORTE", bde::fldDBNUM, 12, 2),
                           F("CANTIDAD", bde::fldDBNUM, 6), F("FECHA", bde::fldDBDATE),
                           F("ACTIVO", bde::fldDBBOOL), F("NOTAS", bde::fldDBMEMO)};
  if (level >= 4) f.push_back(F("RATIO", bde::fldDBFLOAT, 15, 5));
  if (level >= 5) {
    f.push_back(F("DATOS", bde::fldDBBINARY));
    f.push_back(F("OBJETO", bde::fldDBOLEBLOB));
  }
  return f;
}

void FillAllTypes(engine::TableStorage& t, int level) {
  std::string memo_long(1500, 'x');
  for (size_t i = 0; i < memo_long.size(); i += 70) memo_long[i] = '\n';
  std::vector<std::pair<std::string, Value>> r1{{"NOMBRE", Value::Text(kSpanish)},
                                                {"IMPORTE", Num("-1234.5")},
                                                {"CANTIDAD", Value::Integer(42)},
                                                {"FECHA", DateV(2024, 2, 29)},
                                                {"ACTIVO", Value::Logical(true)},
                                                {"NOTAS", Value::Text(std::string("Línea 1\r\nLínea 2 con ñ"))}};
  std::vector<std::pair<std::string, Value>> r2{{"NOMBRE", Value::Text("Segundo")},
                                                {"IMPORTE", Num("0.07")},
                                                {"CANTIDAD", Num("-7")},
                                                {"FECHA", DateV(1899, 12, 31)},
                                                {"ACTIVO", Value::Logical(false)},
                                                {"NOTAS", Value::Text(memo_long)}};
  std::vector<std::pair<std::string, Value>> r3{{"NOMBRE", Value::Text("Borrado")}, {"IMPORTE", Num("1")},
                                                {"NOTAS", Value::Text("memo de una fila borrada")}};
  if (level >= 4) {
    r1.push_back({"RATIO", Num("3.14159")});
    r2.push_back({"RATIO", Num("-0.00001")});
  }
  if (level >= 5) {
    std::string bin;
    // Every byte but 0x1F, where dbfread ends a IV memo whatever its length says.
    for (int i = 0; bin.size() < 700; ++i)
      if (i * 37 % 256 != 0x1F) bin += static_cast<char>(i * 37 % 256);
    r1.push_back({"DATOS", Value::Binary(bin)});
    r2.push_back({"OBJETO", Value::Binary(std::string("\x00\x01\x1A\x1A\xFF", 5))});
  }
  Append(t, r1);
  Append(t, r2);
  Append(t, r3, /*deleted=*/true);
  Append(t, {});  // every field empty
}

const char* Encoding(int cp) { return cp == 437 ? "cp437" : cp == 850 ? "cp850" : "cp1252"; }

TEST(DbaseWrite, CreatedTablesReadBackInEngineAndDbfread) {
  for (int level : {3, 4, 5}) {
    for (int cp : {437, 850, 1252}) {
      SCOPED_TRACE(testing_support::Numbered("level ", level) + testing_support::Numbered(" cp ", cp));
      TempDir dir;
      std::string path = dir / "CLIENTES.DBF";
      TableDefinition def;
      def.level = level;
      def.codepage = cp;
      def.fields = AllTypes(level);
      engine::CreateStorage(path, def);
      EXPECT_TRUE(testing_support::FileExists(dir / "CLIENTES.DBT"));
      {
        auto t = OpenRW(path);
        FillAllTypes(*t, level);
        t->Flush();
      }
      auto t = OpenRO(path);
      EXPECT_EQ(t->Codepage().number(), cp);
      EXPECT_EQ(t->RecordCount(), 4u);
      if (level == 5) {
        EXPECT_EQ(t->Level(), 5);
      }
      EXPECT_EQ(Get(*t, 1, "NOMBRE"), Value::Text(kSpanish));
      EXPECT_EQ(Get(*t, 1, "IMPORTE").DecimalText(), "-1234.5");
      EXPECT_EQ(Get(*t, 1, "IMPORTE").s, "-1234.50");  // the stored text, with its decimals
      EXPECT_EQ(Get(*t, 2, "CANTIDAD").s, "-7");
      EXPECT_EQ(Get(*t, 1, "FECHA"), DateV(2024, 2, 29));
      EXPECT_EQ(Get(*t, 2, "ACTIVO"), Value::Logical(false));
      EXPECT_EQ(Get(*t, 1, "NOTAS"), Value::Text("Línea 1\r\nLínea 2 con ñ"));
      EXPECT_EQ(Get(*t, 2, "NOTAS").s.size(), 1500u);
      for (const auto& f : t->Fields()) EXPECT_TRUE(Get(*t, 4, f.name).IsNull()) << f.name;
      std::string buf;
      t->ReadRecord(3, &buf);
      EXPECT_TRUE(t->IsDeleted(buf));
      if (level >= 5) {
        EXPECT_EQ(Get(*t, 1, "DATOS").s.size(), 700u);
        EXPECT_EQ(Get(*t, 2, "OBJETO"), Value::Binary(std::string("\x00\x01\x1A\x1A\xFF", 5)));
      }
      auto diff = dbase_test::CompareWithDbfread(*t, Encoding(cp));
      if (diff) {
        EXPECT_EQ(*diff, "");
      }
    }
  }
}

// dbf_dump (libdbd-xbase-perl) prints live rows as "v1:v2:..."; numbers and dates as stored.
TEST(DbaseWrite, DbfDumpReadsWhatTheEngineWrote) {
  if (!testing_support::HaveDbfDump()) GTEST_SKIP() << "dbf_dump not installed";
  for (int level : {3, 4}) {
    SCOPED_TRACE(level);
    TempDir dir;
    std::string path = dir / "t.dbf";
    TableDefinition def;
    def.level = level;
    def.codepage = 1252;
    def.fields = {F("NOMBRE", bde::fldDBCHAR, 20), F("IMPORTE", bde::fldDBNUM, 10, 2), F("FECHA", bde::fldDBDATE),
                  F("ACTIVO", bde::fldDBBOOL), F("NOTAS", bde::fldDBMEMO)};
    engine::CreateStorage(path, def);
    {
      auto t = OpenRW(path);
      Append(*t, {{"NOMBRE", Value::Text("Uno")}, {"IMPORTE", Num("12.5")}, {"FECHA", DateV(2001, 9, 11)},
                  {"ACTIVO", Value::Logical(true)}, {"NOTAS", Value::Text("una nota")}});
      Append(*t, {{"NOMBRE", Value::Text("Dos")}, {"IMPORTE", Num("-3")}, {"ACTIVO", Value::Logical(false)}});
      Append(*t, {{"NOMBRE", Value::Text("Tres")}}, /*deleted=*/true);
      Append(*t, {{"NOMBRE", Value::Text("Cuatro")}, {"NOTAS", Value::Text("otra")}});
      t->Flush();
    }
    auto dump = testing_support::DbfDump(path);
    ASSERT_TRUE(dump);
    EXPECT_EQ(*dump,
              "Uno:12.5:20010911:1:una nota\n"
              "Dos:-3::0:\n"
              "Cuatro::::otra\n");
  }
}

// dbf_dump on the tables of every level and code page: text as the code page's bytes, numbers as
// Perl prints them (%.15g), dates as stored, logicals 1/0, memos as their bytes.
TEST(DbaseWrite, DbfDumpReadsEveryTypeAndCodePage) {
  if (!testing_support::HaveDbfDump()) GTEST_SKIP() << "dbf_dump not installed";
  for (int level : {3, 4, 5}) {
    for (int cp : {437, 850, 1252}) {
      SCOPED_TRACE(testing_support::Numbered("level ", level) + testing_support::Numbered(" cp ", cp));
      TempDir dir;
      std::string path = dir / "TODO.DBF";
      TableDefinition def;
      def.level = level;
      def.codepage = cp;
      def.fields = AllTypes(level);
      engine::CreateStorage(path, def);
      {
        auto t = OpenRW(path);
        FillAllTypes(*t, level);
      }
      auto t = OpenRO(path);
      std::string expect, buf;
      for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
        t->ReadRecord(r, &buf);
        if (t->IsDeleted(buf)) continue;
        for (int f = 0; f < static_cast<int>(t->Fields().size()); ++f) {
          Value v = t->GetValue(buf, f);
          if (f) expect += ':';
          char num[64];
          switch (v.kind) {
            case Value::Kind::Text: expect += *t->Codepage().Encode(v.s); break;
            case Value::Kind::Number: std::snprintf(num, sizeof num, "%.15g", v.d); expect += num; break;
            case Value::Kind::Logical: expect += v.i ? "1" : "0"; break;
            case Value::Kind::Date: {
              std::string d = v.ToDisplay();
              expect += d.substr(0, 4) + d.substr(5, 2) + d.substr(8, 2);
              break;
            }
            case Value::Kind::Binary: expect += v.s; break;
            default: break;
          }
        }
        expect += '\n';
      }
      auto dump = testing_support::DbfDump(path);
      ASSERT_TRUE(dump);
      EXPECT_EQ(*dump, expect);
    }
  }
}

TEST(DbaseWrite, HeaderAfterFlush) {
  TempDir dir;
  std::string path = dir / "h.dbf";
  TableDefinition def;
  def.level = 4;
  def.codepage = 850;
  def.fields = {F("A", bde::fldDBCHAR, 10), F("B", bde::fldDBNUM, 5)};
  engine::CreateStorage(path, def);
  {
    auto t = OpenRW(path);
    for (int i = 0; i < 3; ++i) Append(*t, {{"A", Value::Text("x")}, {"B", Value::Integer(i)}});
    t->Flush();
  }
  std::string b = testing_support::ReadFileBytes(path);
  EXPECT_EQ(static_cast<unsigned char>(b[0]), 0x03);  // no memo
  auto now = std::chrono::system_clock::now();
  int64_t days = std::chrono::duration_cast<std::chrono::hours>(now.time_since_epoch()).count() / 24;
  int y, m, d;
  engine::CivilFromDay(days + 719163, &y, &m, &d);
  EXPECT_EQ(static_cast<unsigned char>(b[1]), y - 1900);
  EXPECT_EQ(b[2], m);
  EXPECT_EQ(b[3], d);
  EXPECT_EQ(b[4], 3);
  EXPECT_EQ(b[5] | b[6] | b[7], 0);
  EXPECT_EQ(static_cast<unsigned char>(b[8]) | static_cast<unsigned char>(b[9]) << 8, 32 + 2 * 32 + 1);
  EXPECT_EQ(b[10], 1 + 10 + 5);
  EXPECT_EQ(static_cast<unsigned char>(b[29]), 0x02);  // LDID of code page 850
  EXPECT_EQ(b[32 + 2 * 32], 0x0D);
  EXPECT_EQ(b.size(), 97u + 3 * 16 + 1);
  EXPECT_EQ(b.back(), 0x1A);
  EXPECT_EQ(b.substr(97, 16), " x             0");

  // Version bytes by level and memo.
  struct V {
    int level;
    bool memo;
    unsigned char version;
  } vs[] = {{3, false, 0x03}, {3, true, 0x83}, {4, true, 0x8B}, {5, true, 0x8B}, {7, false, 0x04}, {7, true, 0x8C}};
  for (const V& v : vs) {
    TableDefinition dd;
    dd.level = v.level;
    dd.fields = {F("A", bde::fldDBCHAR, 10)};
    if (v.memo) dd.fields.push_back(F("M", bde::fldDBMEMO));
    engine::CreateStorage(dir / "v.dbf", dd);
    EXPECT_EQ(static_cast<unsigned char>(testing_support::ReadFileBytes(dir / "v.dbf")[0]), v.version)
        << v.level << " " << v.memo;
    if (v.memo) {
      std::string dbt = testing_support::ReadFileBytes(dir / "v.dbt");
      ASSERT_EQ(dbt.size(), 512u);
      EXPECT_EQ(dbt[0], 1);  // next free block
      if (v.level >= 4) {
        EXPECT_EQ(dbt[20] | dbt[21] << 8, 512);  // IV layout: block size
      }
    }
  }
}

TEST(DbaseWrite, Level7TypesAndEncodings) {
  TempDir dir;
  std::string path = dir / "siete.dbf";
  TableDefinition def;
  def.level = 7;
  def.codepage = 1252;
  def.fields = {F("ID", bde::fldDBAUTOINC), F("ENTERO", bde::fldDBLONG), F("DOBLE", bde::fldDBDOUBLE),
                F("MOMENTO", bde::fldDBDATETIME), F("NOMBRE_LARGO_DE_CAMPO", bde::fldDBCHAR, 20),
                F("NOTAS", bde::fldDBMEMO), F("IMAGEN", bde::fldDBBINARY)};
  engine::CreateStorage(path, def);
  const int64_t ts1900 = engine::DayFromCivil(1900, 1, 1) * engine::kMsPerDay;
  {
    auto t = OpenRW(path);
    EXPECT_EQ(t->Level(), 7);
    EXPECT_EQ(t->LanguageDriverName(), "DBWINUS0");
    Append(*t, {{"ENTERO", Value::Integer(1)}, {"DOBLE", Num("-199.99")}, {"MOMENTO", Value::Timestamp(ts1900)},
                {"NOMBRE_LARGO_DE_CAMPO", Value::Text("año")}, {"NOTAS", Value::Text("memo siete")},
                {"IMAGEN", Value::Binary("\x89PNG")}});
    Append(*t, {{"ENTERO", Value::Integer(-2147483647)}, {"DOBLE", Value::Number(150.48)},
                {"MOMENTO", Value::Timestamp(ts1900 + 37230500)}});
    Append(*t, {{"ENTERO", Value::Integer(2147483647)}});
    t->Flush();
  }
  std::string b = testing_support::ReadFileBytes(path);
  size_t rec = 68 + 7 * 48 + 1;
  EXPECT_EQ(b.substr(32, 8), "DBWINUS0");
  // ID 1 (autoincrement), ENTERO 1, DOBLE -199.99 and MOMENTO 1900-01-01 as dBASE 7 stores them.
  EXPECT_EQ(dbase_test::Hex(b.substr(rec + 1, 4)), "80000001");
  EXPECT_EQ(dbase_test::Hex(b.substr(rec + 5, 4)), "80000001");
  std::string sample_double = "3f970051eb851eb7";  // -199.99 in php-xbase/dBaseVII_double.dbf
  EXPECT_EQ(dbase_test::Hex(b.substr(rec + 9, 8)), sample_double);
  EXPECT_EQ(dbase_test::Hex(b.substr(rec + 17, 8)), "42cb4062aa880000");

  auto t = OpenRO(path);
  EXPECT_EQ(Get(*t, 1, "ID"), Value::Integer(1));
  EXPECT_EQ(Get(*t, 2, "ID"), Value::Integer(2));
  EXPECT_EQ(Get(*t, 3, "ID"), Value::Integer(3));
  EXPECT_EQ(Get(*t, 2, "ENTERO"), Value::Integer(-2147483647));
  EXPECT_EQ(Get(*t, 3, "ENTERO"), Value::Integer(2147483647));
  EXPECT_EQ(Get(*t, 1, "DOBLE").d, -199.99);
  EXPECT_EQ(Get(*t, 2, "DOBLE").d, 150.48);
  EXPECT_EQ(Get(*t, 2, "MOMENTO").ToDisplay(), "1900-01-01 10:20:30.500");
  EXPECT_EQ(Get(*t, 1, "NOMBRE_LARGO_DE_CAMPO"), Value::Text("año"));
  EXPECT_EQ(Get(*t, 1, "NOTAS"), Value::Text("memo siete"));
  EXPECT_EQ(Get(*t, 1, "IMAGEN"), Value::Binary("\x89PNG"));
  EXPECT_TRUE(Get(*t, 3, "DOBLE").IsNull());
  EXPECT_TRUE(Get(*t, 3, "MOMENTO").IsNull());
  t.reset();
  // The next autoincrement value survives closing the table.
  {
    auto w = OpenRW(path);
    EXPECT_EQ(Get(*w, Append(*w, {}), "ID"), Value::Integer(4));
    // A value given explicitly is kept.
    EXPECT_EQ(Get(*w, Append(*w, {{"ID", Value::Integer(100)}}), "ID"), Value::Integer(100));
    EXPECT_EQ(Get(*w, Append(*w, {}), "ID"), Value::Integer(101));
  }
}

// Values that do not fit are refused with the field and the value named; the buffer's other
// fields stay as they were.
TEST(DbaseWrite, RefusesWhatDoesNotFit) {
  TempDir dir;
  std::string path = dir / "r.dbf";
  TableDefinition def;
  def.level = 4;
  def.codepage = 437;
  def.fields = {F("NOMBRE", bde::fldDBCHAR, 5), F("IMPORTE", bde::fldDBNUM, 6, 2), F("FECHA", bde::fldDBDATE),
                F("ACTIVO", bde::fldDBBOOL), F("ENTERO", bde::fldDBNUM, 3)};
  engine::CreateStorage(path, def);
  auto t = OpenRW(path);
  std::string buf = t->BlankRecord();
  struct Bad {
    const char* field;
    Value v;
    engine::DBIResult code;
    const char* shown;
  } bad[] = {
      {"NOMBRE", Value::Text("Ramírez"), engine::err::kValueOutOfRange, "Ramírez"},
      {"NOMBRE", Value::Text("5 €"), engine::err::kConversion, "5 €"},  // no euro sign in 437
      {"IMPORTE", Num("12345.5"), engine::err::kValueOutOfRange, "12345.5"},
      {"IMPORTE", Num("999.995"), engine::err::kValueOutOfRange, "999.995"},  // rounds to 1000.00
      {"IMPORTE", Value::Text("doce"), engine::err::kConversion, "doce"},
      {"IMPORTE", Value::Number(1.0 / 0.0), engine::err::kConversion, "Inf"},
      {"ENTERO", Value::Integer(1000), engine::err::kValueOutOfRange, "1000"},
      {"ENTERO", Value::Integer(-100), engine::err::kValueOutOfRange, "-100"},
      {"FECHA", Value::Date(engine::DayFromCivil(9999, 12, 31) + 1), engine::err::kValueOutOfRange, ""},
      {"FECHA", Value::Text("2023-02-29"), engine::err::kConversion, "2023-02-29"},
      {"FECHA", Value::Logical(true), engine::err::kConversion, "T"},
      {"ACTIVO", Value::Text("quizá"), engine::err::kConversion, "quizá"},
  };
  std::string before = buf;
  for (const Bad& b : bad) {
    SCOPED_TRACE(std::string(b.field) + " <- " + b.v.ToDisplay());
    try {
      t->SetValue(&buf, FieldNo(*t, b.field), b.v);
      ADD_FAILURE() << "accepted";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), b.code) << e.what();
      EXPECT_NE(std::string(e.what()).find(std::string("Campo: ") + b.field), std::string::npos) << e.what();
      EXPECT_NE(e.message().find(b.shown), std::string::npos) << e.what();
    }
    EXPECT_EQ(buf, before);
  }
}

// Numbers are rounded half away from zero on their decimal text.
TEST(DbaseWrite, NumberRoundingAndConversions) {
  TempDir dir;
  std::string path = dir / "n.dbf";
  TableDefinition def;
  def.level = 4;
  def.fields = {F("N52", bde::fldDBNUM, 5, 2), F("N30", bde::fldDBNUM, 3), F("N42", bde::fldDBNUM, 4, 2),
                F("C", bde::fldDBCHAR, 10), F("L", bde::fldDBBOOL), F("D", bde::fldDBDATE),
                F("N2010", bde::fldDBNUM, 20, 10)};
  engine::CreateStorage(path, def);
  auto t = OpenRW(path);
  auto stored = [&](const std::string& field, const Value& v) {
    std::string buf = t->BlankRecord();
    int f = FieldNo(*t, field);
    t->SetValue(&buf, f, v);
    return buf.substr(t->Fields()[static_cast<size_t>(f)].offset, t->Fields()[static_cast<size_t>(f)].length);
  };
  EXPECT_EQ(stored("N52", Num("2.675")), " 2.68");
  EXPECT_EQ(stored("N52", Value::Number(2.675)), " 2.68");  // the double's shortest text, not its binary value
  EXPECT_EQ(stored("N52", Num("-2.675")), "-2.68");
  EXPECT_EQ(stored("N52", Num("2.674999")), " 2.67");
  EXPECT_EQ(stored("N52", Num("-0.004")), " 0.00");
  EXPECT_EQ(stored("N52", Num("9.995")), "10.00");
  EXPECT_EQ(stored("N52", Value::Integer(7)), " 7.00");
  EXPECT_EQ(stored("N52", Value::Text(" 1,5 ")), " 1.50");
  EXPECT_EQ(stored("N52", Value::Text("")), "     ");
  EXPECT_EQ(stored("N52", Value::Null()), "     ");
  EXPECT_EQ(stored("N30", Num("-2.5")), " -3");
  EXPECT_EQ(stored("N30", Num("2.5")), "  3");
  EXPECT_EQ(stored("N30", Num("0.4")), "  0");
  EXPECT_EQ(stored("N30", Value::Text("1e2")), "100");
  EXPECT_EQ(stored("N42", Num("0.5")), "0.50");
  EXPECT_EQ(stored("N42", Num("-0.5")), "-.50");  // no room for the leading zero
  EXPECT_EQ(stored("N2010", Num("123456789.0123456789")), "123456789.0123456789");
  EXPECT_EQ(stored("N2010", Num("-12345678.01234567895")), "-12345678.0123456790");
  EXPECT_EQ(stored("C", Num("12.50")), "12.50     ");
  EXPECT_EQ(stored("C", Value::Integer(-3)), "-3        ");
  EXPECT_EQ(stored("L", Value::Text("s")), "T");
  EXPECT_EQ(stored("L", Value::Text("No")), "F");
  EXPECT_EQ(stored("L", Value::Integer(0)), "F");
  EXPECT_EQ(stored("D", Value::Text("2024-02-29")), "20240229");
  EXPECT_EQ(stored("D", Value::Text("31/12/1999")), "19991231");
  EXPECT_EQ(stored("D", Value::Timestamp(engine::DayFromCivil(2000, 1, 2) * engine::kMsPerDay + 5000)), "20000102");

  // What goes in comes out.
  std::string buf = t->BlankRecord();
  t->SetValue(&buf, 6, Num("-0.0000000001"));
  EXPECT_EQ(t->GetValue(buf, 6).DecimalText(), "-0.0000000001");
}

TEST(DbaseWrite, CreateRefusesBadDefinitions) {
  TempDir dir;
  std::string path = dir / "bad.dbf";
  struct Case {
    int level;
    FieldSpec f;
    engine::DBIResult code;
  } cases[] = {
      {3, F("F", bde::fldDBFLOAT, 10, 2), engine::err::kInvalidFieldType},
      {4, F("B", bde::fldDBBINARY), engine::err::kInvalidFieldType},
      {5, F("I", bde::fldDBLONG), engine::err::kInvalidFieldType},
      {4, F("C", bde::fldDBCHAR, 255), engine::err::kInvalidFieldSize},
      {4, F("C", bde::fldDBCHAR, 0), engine::err::kInvalidFieldSize},
      {3, F("N", bde::fldDBNUM, 20), engine::err::kInvalidFieldSize},
      {4, F("N", bde::fldDBNUM, 21), engine::err::kInvalidFieldSize},
      {4, F("N", bde::fldDBNUM, 4, 3), engine::err::kInvalidFieldSize},
      {4, F("NOMBRE_LARGO", bde::fldDBCHAR, 5), engine::err::kInvalidFieldName},
      {4, F("A-B", bde::fldDBCHAR, 5), engine::err::kInvalidFieldName},
      {4, F("X", bde::fldPDXCHAR, 5), engine::err::kInvalidFieldType},
      {6, F("C", bde::fldDBCHAR, 5), engine::err::kNotSupported},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.f.name + testing_support::Numbered(" level ", c.level));
    TableDefinition def;
    def.level = c.level;
    def.fields = {c.f};
    try {
      engine::CreateStorage(path, def);
      ADD_FAILURE() << "created";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), c.code) << e.what();
    }
  }
  TableDefinition dup;
  dup.fields = {F("Nombre", bde::fldDBCHAR, 5), F("NOMBRE", bde::fldDBCHAR, 5)};
  try {
    engine::CreateStorage(path, dup);
    ADD_FAILURE() << "created";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), engine::err::kDuplicateFieldName);
  }
  TableDefinition cp;
  cp.codepage = 12345;
  cp.fields = {F("A", bde::fldDBCHAR, 5)};
  EXPECT_THROW(engine::CreateStorage(path, cp), EngineError);
  EXPECT_FALSE(testing_support::FileExists(path));
}

TEST(DbaseWrite, CreateOverwritesAndEditsStick) {
  TempDir dir;
  std::string path = dir / "o.dbf";
  TableDefinition def;
  def.level = 4;
  def.fields = {F("A", bde::fldDBCHAR, 10)};
  engine::CreateStorage(path, def);
  {
    auto t = OpenRW(path);
    Append(*t, {{"A", Value::Text("uno")}});
    Append(*t, {{"A", Value::Text("dos")}});
  }
  engine::CreateStorage(path, def);
  {
    auto t = OpenRW(path);
    EXPECT_EQ(t->RecordCount(), 0u);
    Append(*t, {{"A", Value::Text("uno")}});
    Append(*t, {{"A", Value::Text("dos")}});
    std::string old_buf, buf;
    t->ReadRecord(2, &old_buf);
    buf = old_buf;
    t->SetValue(&buf, 0, Value::Text("DOS"));
    t->UpdateRecord(2, old_buf, buf);
    t->SetDeleted(1, true);
    t->SetDeleted(1, false);
    t->SetDeleted(2, true);
    EXPECT_THROW(t->ReadRecord(3, &buf), EngineError);
    EXPECT_THROW(t->ReadRecord(0, &buf), EngineError);
    EXPECT_THROW(t->UpdateRecord(3, old_buf, buf), EngineError);
  }
  auto t = OpenRO(path);
  std::string buf;
  t->ReadRecord(1, &buf);
  EXPECT_FALSE(t->IsDeleted(buf));
  t->ReadRecord(2, &buf);
  EXPECT_TRUE(t->IsDeleted(buf));
  EXPECT_EQ(t->GetValue(buf, 0), Value::Text("DOS"));
  EXPECT_THROW(t->AppendRecord(buf), EngineError);  // read-only
}

}  // namespace

namespace {

// With tags, the table announces its production index and the index is built beside it; if the
// index cannot be built, no half-made table is left behind.
TEST(DbaseWrite, CreateWithTagsLeavesTableAndIndexOrNothing) {
  TempDir dir;
  std::string path = dir / "Indexada.DBF";
  TableDefinition def;
  def.level = 4;
  def.fields = {F("CODIGO", bde::fldDBCHAR, 8), F("NOTAS", bde::fldDBMEMO)};
  engine::TagInfo tag;
  tag.name = "CODIGO";
  tag.expression = "CODIGO";
  def.tags = {tag};
  try {
    engine::CreateStorage(path, def);
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    EXPECT_FALSE(testing_support::FileExists(path));
    EXPECT_FALSE(testing_support::FileExists(dir / "Indexada.DBT"));
    EXPECT_FALSE(testing_support::FileExists(dir / "Indexada.MDX"));
    return;
  }
  EXPECT_EQ(testing_support::ReadFileBytes(path)[28], 1);
  EXPECT_TRUE(testing_support::FileExists(dir / "Indexada.MDX"));
  auto t = OpenRO(path);
  ASSERT_EQ(t->Tags().size(), 1u);
  EXPECT_EQ(t->Tags()[0].name, "CODIGO");
}

}  // namespace

namespace {

// Stored numbers read back as the double nearest to their text, whatever their digits.
TEST(DbaseWrite, NumbersReadBackAsTheNearestDouble) {
  TempDir dir;
  std::string path = dir / "num.dbf";
  TableDefinition def;
  def.level = 4;
  for (int d : {0, 2, 5, 10, 15}) def.fields.push_back(F(std::string("N").append(std::to_string(d)), bde::fldDBNUM, 20, static_cast<uint16_t>(d)));
  engine::CreateStorage(path, def);
  auto t = OpenRW(path);
  std::mt19937_64 rng(7);
  std::string buf = t->BlankRecord();
  for (int i = 0; i < 3000; ++i) {
    int f = static_cast<int>(rng() % def.fields.size());
    int decimals = t->Fields()[static_cast<size_t>(f)].decimals;
    // Room for the sign, the point and the decimals; at least one integer digit.
    const int room = 20 - 1 - (decimals ? decimals + 1 : 0);
    int int_digits = 1 + static_cast<int>(rng() % static_cast<uint64_t>(room));
    std::string text = rng() % 2 ? "-" : "";
    for (int k = 0; k < int_digits; ++k) text += static_cast<char>('0' + rng() % 10);
    if (decimals) {
      text += '.';
      for (int k = 0; k < decimals; ++k) text += static_cast<char>('0' + rng() % 10);
    }
    SCOPED_TRACE(text);
    t->SetValue(&buf, f, Value::Text(text));
    Value v = t->GetValue(buf, f);
    ASSERT_EQ(v.kind, Value::Kind::Number);
    EXPECT_EQ(v.d, std::strtod(text.c_str(), nullptr));
    EXPECT_EQ(v.DecimalText(), Value::Number(0, text).DecimalText());
  }
}

// A reader of many rows keeps one Value per field and reads into it: whatever kind and text it
// held before, it ends equal to what GetValue gives, including stored forms that only other
// programs write and values that are refused.
TEST(DbaseWrite, ReadValueIntoAReusedValueMatchesGetValue) {
  TempDir dir;
  std::string path = dir / "reuse.dbf";
  TableDefinition def;
  def.level = 4;
  def.codepage = 1252;
  def.fields = {F("NOMBRE", bde::fldDBCHAR, 40), F("LARGO", bde::fldDBCHAR, 254), F("IMPORTE", bde::fldDBNUM, 20, 2),
                F("FECHA", bde::fldDBDATE)};
  engine::CreateStorage(path, def);
  auto t = OpenRW(path);
  const auto& fields = t->Fields();
  auto raw = [&](std::string* buf, int field, const std::string& bytes) {
    const FieldSpec& f = fields[static_cast<size_t>(field)];
    std::string padded = bytes;
    padded.resize(f.length, ' ');
    buf->replace(f.offset, f.length, padded);
  };
  std::vector<std::string> rows;
  const std::vector<std::string> numbers = {"-1234.50", "7.", ".5", "-.5", "+3", "0000000000000000001",
                                            "12345678901234567", "-0.000000000000001", "", "  42  "};
  const std::vector<std::string> texts = {kSpanish, "", "ascii only", std::string(40, 'x'), "tras ceros"};
  for (size_t i = 0; i < numbers.size(); ++i) {
    std::string buf = t->BlankRecord();
    const std::string& text = texts[i % texts.size()];
    // Another program's padding: NULs instead of blanks after the text.
    if (text == "tras ceros") raw(&buf, 0, text + std::string(30, '\0'));
    else if (!text.empty()) t->SetValue(&buf, 0, Value::Text(text));
    // The longest character field: full of ASCII, or every byte a letter of two or three bytes
    // in UTF-8.
    if (i % 3 == 0 && i % 2) t->SetValue(&buf, 1, Value::Text(std::string(254, 'a')));
    if (i % 3 == 1) {
      std::string euros;
      for (int k = 0; k < 254; ++k) euros += k % 2 ? "€" : "ñ";
      t->SetValue(&buf, 1, Value::Text(euros));
    }
    raw(&buf, 2, numbers[i]);
    if (i % 2) t->SetValue(&buf, 3, DateV(2024, 2, 29));
    rows.push_back(buf);
  }
  std::vector<Value> kept(fields.size());
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t r = 0; r < rows.size(); ++r) {
      for (size_t k = 0; k < fields.size(); ++k) {
        // The second pass reads the fields in turns into each other's Values, so every kind
        // meets every other's leftovers.
        Value& into = kept[pass == 0 ? k : (k + r) % kept.size()];
        SCOPED_TRACE("row " + std::to_string(r) + " field " + fields[k].name);
        Value want = t->GetValue(rows[r], static_cast<int>(k));
        t->ReadValue(rows[r], static_cast<int>(k), &into);
        EXPECT_EQ(into.kind, want.kind);
        EXPECT_EQ(into.s, want.s);
        EXPECT_EQ(into.i, want.i);
        EXPECT_EQ(into.d, want.d);
      }
    }
  }
  Value v = t->GetValue(rows[0], 0);
  EXPECT_EQ(v.s, kSpanish);
  v = t->GetValue(rows[1], 1);
  EXPECT_EQ(v.s.size(), 127u * 2 + 127u * 3);
  EXPECT_EQ(t->GetValue(rows[4], 0).s, "tras ceros");
  // Stored numbers as other programs write them, and the long ones read exactly.
  EXPECT_EQ(t->GetValue(rows[1], 2).d, 7.0);
  EXPECT_EQ(t->GetValue(rows[3], 2).d, -0.5);
  EXPECT_EQ(t->GetValue(rows[4], 2).d, 3.0);
  EXPECT_EQ(t->GetValue(rows[5], 2).d, 1.0);
  EXPECT_EQ(t->GetValue(rows[6], 2).d, 12345678901234567.0);
  EXPECT_EQ(t->GetValue(rows[7], 2).d, -1e-15);
  EXPECT_TRUE(t->GetValue(rows[8], 2).IsNull());
  EXPECT_EQ(t->GetValue(rows[9], 2).s, "42");
  // What is not a number is refused by both.
  for (const char* bad : {"1.2.3", "12-", "1e5", "-", ".", "--1", "1 2"}) {
    SCOPED_TRACE(bad);
    std::string buf = rows[0];
    raw(&buf, 2, bad);
    EXPECT_THROW(t->GetValue(buf, 2), EngineError);
    Value into = Value::Text("antes");
    EXPECT_THROW(t->ReadValue(buf, 2, &into), EngineError);
  }
}

}  // namespace
