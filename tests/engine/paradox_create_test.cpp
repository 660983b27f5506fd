// Paradox tables created by the engine at each level, with every field type the level admits,
// blobs, a primary key and validity checks, read back after closing and reopening.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/bde.h"
#include "engine/error.h"
#include "engine/database.h"
#include "engine/paradox/paradox.h"
#include "engine/restructure.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace engine {
namespace {

using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

struct Col {
  const char* name;
  uint16_t type;
  uint16_t size;
  int level;  // lowest level that admits the type
};

const Col kCols[] = {
    {"Code", bde::fldPDXCHAR, 10, 3},       {"Nombre", bde::fldPDXCHAR, 40, 3},
    {"Importe", bde::fldPDXNUM, 8, 3},      {"Saldo", bde::fldPDXMONEY, 8, 3},
    {"Alta", bde::fldPDXDATE, 4, 3},        {"Unidades", bde::fldPDXSHORT, 2, 3},
    {"Notas", bde::fldPDXMEMO, 30, 4},      {"Adjunto", bde::fldPDXBINARYBLOB, 10, 4},
    {"Formato", bde::fldPDXFMTMEMO, 20, 4}, {"Objeto", bde::fldPDXOLEBLOB, 10, 4},
    {"Logo", bde::fldPDXGRAPHIC, 20, 4},    {"Cuenta", bde::fldPDXLONG, 4, 5},
    {"Hora", bde::fldPDXTIME, 4, 5},        {"Sello", bde::fldPDXDATETIME, 8, 5},
    {"Activo", bde::fldPDXBOOL, 1, 5},      {"Numero", bde::fldPDXAUTOINC, 4, 5},
    {"Precio", bde::fldPDXBCD, 4, 5},       {"Firma", bde::fldPDXBYTES, 6, 5},
};

TableDefinition Definition(int level) {
  TableDefinition def;
  def.format = TableFormat::kParadox;
  def.level = level;
  def.codepage = 1252;
  for (const auto& c : kCols) {
    if (c.level > level) continue;
    FieldSpec f;
    f.name = c.name;
    f.type = c.type;
    f.size = c.size;
    def.fields.push_back(f);
  }
  def.key_fields = 1;
  return def;
}

// Values for row n of the table; some fields NULL on odd rows.
Value Sample(uint16_t type, int n) {
  const bool odd = n % 2 == 1;
  switch (type) {
    case bde::fldPDXCHAR: return Value::Text(testing_support::Numbered("Código ñ", n));
    case bde::fldPDXNUM: return Value::Number(-1234.5 * n);
    case bde::fldPDXMONEY: return odd ? Value::Null() : Value::Number(0.01 * n);
    case bde::fldPDXDATE: return Value::Date(DayFromCivil(1999, 12, 31) + n);
    case bde::fldPDXSHORT: return Value::Integer(-32767 + n);
    case bde::fldPDXMEMO:  // long memos go to the .MB, short ones stay in the leader
      return odd ? Value::Text("corto") : Value::Text(std::string(5000 + n, 'x') + "áé fin");
    case bde::fldPDXBINARYBLOB: return Value::Binary(std::string("\0\1\2\3", 4) + std::string(300, 'b'));
    case bde::fldPDXFMTMEMO: return odd ? Value::Null() : Value::Text("{\\rtf1 texto}");
    case bde::fldPDXOLEBLOB: return Value::Binary(std::string(9000, 'o'));
    case bde::fldPDXGRAPHIC: return Value::Binary("BM" + std::string(70, 'g'));
    case bde::fldPDXLONG: return Value::Integer(odd ? -2147483647 : 2147483647);
    case bde::fldPDXTIME: return odd ? Value::Null() : Value::Time(23 * 3600000 + 59 * 60000 + 1);
    case bde::fldPDXDATETIME: return Value::Timestamp(DayFromCivil(2024, 2, 29) * kMsPerDay + 12345678);
    case bde::fldPDXBOOL: return Value::Logical(odd);
    case bde::fldPDXAUTOINC: return Value::Null();  // the table numbers the rows
    case bde::fldPDXBCD: return Value::Number(0, odd ? "-12345678901234567890123.4567" : "0.0001");
    case bde::fldPDXBYTES: return Value::Binary(std::string("\xff\0\x10\x20\0\0", 6));
  }
  return Value::Null();
}

class ParadoxCreate : public ::testing::TestWithParam<int> {};

TEST_P(ParadoxCreate, EveryTypeOfTheLevelReadsBackAfterReopening) {
  const int level = GetParam();
  TempDir dir;
  const std::string path = dir / "TABLA.DB";
  TableDefinition def = Definition(level);
  paradox::Create(path, def);
  EXPECT_EQ(FileExists(dir / "TABLA.MB"), level >= 4);
  EXPECT_TRUE(FileExists(dir / "TABLA.PX"));
  const int rows = 7;
  {
    auto t = paradox::Open(path, OpenOptions{});
    ASSERT_EQ(t->Fields().size(), def.fields.size());
    for (int n = rows; n >= 1; --n) {  // reverse key order: the key sorts them
      std::string buf = t->BlankRecord();
      for (size_t i = 0; i < def.fields.size(); ++i) {
        Value v = i == 0 ? Value::Text(testing_support::Numbered("K", n)) : Sample(def.fields[i].type, n);
        t->SetValue(&buf, static_cast<int>(i), v);
      }
      t->AppendRecord(buf);
    }
    t->Flush();
  }
  auto t = paradox::Open(path, OpenOptions{});
  EXPECT_EQ(t->Level(), level);
  EXPECT_EQ(t->TypeName(), "PARADOX");
  EXPECT_EQ(t->KeyFieldCount(), 1);
  EXPECT_EQ(t->Codepage().number(), level == 3 ? 437 : 1252);
  ASSERT_EQ(t->RecordCount(), static_cast<uint64_t>(rows));
  for (size_t i = 0; i < def.fields.size(); ++i) {
    EXPECT_EQ(t->Fields()[i].name, def.fields[i].name);
    EXPECT_EQ(t->Fields()[i].type, def.fields[i].type);
    EXPECT_EQ(t->Fields()[i].size, def.fields[i].size);
  }
  int autoinc = -1;
  for (int n = 1; n <= rows; ++n) {
    std::string buf;
    t->ReadRecord(static_cast<uint64_t>(n), &buf);
    EXPECT_EQ(t->GetValue(buf, 0), Value::Text(testing_support::Numbered("K", n)));
    for (size_t i = 1; i < def.fields.size(); ++i) {
      Value got = t->GetValue(buf, static_cast<int>(i));
      const uint16_t type = def.fields[i].type;
      if (type == bde::fldPDXAUTOINC) {
        // Rows were added from K7 down to K1: K7 got number 1.
        EXPECT_EQ(got, Value::Integer(rows + 1 - n));
        autoinc = static_cast<int>(i);
        continue;
      }
      Value want = Sample(type, n);
      if (type == bde::fldPDXBCD) {
        EXPECT_EQ(got.s, n % 2 ? "-12345678901234567890123.4567" : "0.0001") << def.fields[i].name;
        continue;
      }
      EXPECT_EQ(got, want) << def.fields[i].name << " row " << n << ": " << got.ToDisplay();
    }
  }
  if (autoinc >= 0) {  // the counter survives reopening
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Text("K9"));
    uint64_t rec = t->AppendRecord(buf);
    t->ReadRecord(rec, &buf);
    EXPECT_EQ(t->GetValue(buf, autoinc), Value::Integer(rows + 1));
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, ParadoxCreate, ::testing::Values(3, 4, 5, 7));

TEST(ParadoxCreateRules, TypesAboveTheLevelAndBadDefinitionsAreRefusedBeforeWriting) {
  TempDir dir;
  auto refused = [&](TableDefinition def, DBIResult code) {
    const std::string path = dir / "MAL.DB";
    try {
      paradox::Create(path, def);
      ADD_FAILURE() << "created";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), code) << e.what();
      EXPECT_NE(std::string(e.what()).find("MAL.DB"), std::string::npos);
    }
    EXPECT_FALSE(FileExists(path));
  };
  TableDefinition level4 = Definition(4);
  level4.fields.push_back({"Cuenta", bde::fldPDXLONG, 4});
  refused(level4, err::kInvalidFieldType);
  TableDefinition level3 = Definition(3);
  level3.fields.push_back({"Notas", bde::fldPDXMEMO, 30});
  refused(level3, err::kInvalidFieldType);
  TableDefinition blob_key = Definition(4);
  blob_key.fields.insert(blob_key.fields.begin(), {"Memo", bde::fldPDXMEMO, 30});
  refused(blob_key, err::kInvalidParam);
  TableDefinition dup = Definition(5);
  dup.fields.push_back({"CODE", bde::fldPDXSHORT, 2});
  refused(dup, err::kDuplicateFieldName);
  TableDefinition wide = Definition(5);
  wide.fields[1].size = 256;
  refused(wide, err::kInvalidFieldSize);
  TableDefinition bcd = Definition(5);
  bcd.fields.back() = {"Precio", bde::fldPDXBCD, 33};
  refused(bcd, err::kInvalidFieldSize);
  TableDefinition level6 = Definition(5);
  level6.level = 6;
  refused(level6, err::kInvalidParam);
}

// ---- validity checks ------------------------------------------------------------------------

bde::VCHKDesc Check(uint16_t field) {
  bde::VCHKDesc d;
  std::memset(&d, 0, sizeof d);
  d.iFldNum = field;
  return d;
}

template <typename T>
void Put(uint8_t* buf, T v) {
  std::memcpy(buf, &v, sizeof v);
}

bde::FMTBcd Bcd(const std::string& digits, int places, bool negative) {
  bde::FMTBcd b{};
  b.iPrecision = 32;
  b.iSignSpecialPlaces = static_cast<uint8_t>((negative ? 0x80 : 0) | places);
  const size_t start = 32 - digits.size();
  for (size_t i = 0; i < digits.size(); ++i) {
    uint8_t n = static_cast<uint8_t>(digits[i] - '0');
    size_t pos = start + i;
    b.iFraction[pos / 2] |= pos % 2 ? n : static_cast<uint8_t>(n << 4);
  }
  return b;
}

std::vector<bde::VCHKDesc> AllKindsOfChecks(const TableDefinition& def) {
  auto idx = [&](const std::string& name) {
    for (size_t i = 0; i < def.fields.size(); ++i)
      if (def.fields[i].name == name) return static_cast<uint16_t>(i + 1);
    return uint16_t{0};
  };
  std::vector<bde::VCHKDesc> v;
  auto code = Check(idx("Code"));
  code.bRequired = 1;
  std::strcpy(code.szPict, "&*9[#]");
  v.push_back(code);
  auto name = Check(idx("Nombre"));
  name.bHasDefVal = 1;
  std::strcpy(reinterpret_cast<char*>(name.aDefVal), "Sin nombre");
  v.push_back(name);
  auto num = Check(idx("Importe"));
  num.bHasMinVal = num.bHasMaxVal = num.bHasDefVal = 1;
  Put<double>(num.aMinVal, -0.5);
  Put<double>(num.aMaxVal, 1000.25);
  Put<double>(num.aDefVal, 10);
  v.push_back(num);
  auto money = Check(idx("Saldo"));
  money.elkupType = bde::lkupALLCORRESPHELP;
  std::strcpy(money.szLkupTblName, "C:\\DATOS\\TARIFAS.DB");
  v.push_back(money);
  auto date = Check(idx("Alta"));
  date.bHasMinVal = 1;
  Put<int32_t>(date.aMinVal, static_cast<int32_t>(DayFromCivil(2000, 1, 1)));
  v.push_back(date);
  auto shrt = Check(idx("Unidades"));
  shrt.bHasMaxVal = 1;
  Put<int16_t>(shrt.aMaxVal, -500);
  shrt.elkupType = bde::lkupPRIVATE;
  std::strcpy(shrt.szLkupTblName, "UNIDADES.DB");
  v.push_back(shrt);
  if (def.level >= 4) {
    auto memo = Check(idx("Notas"));
    memo.bRequired = 1;
    v.push_back(memo);
  }
  if (def.level >= 5) {
    auto lng = Check(idx("Cuenta"));
    lng.bHasMinVal = lng.bHasDefVal = 1;
    Put<int32_t>(lng.aMinVal, -5);
    Put<int32_t>(lng.aDefVal, 7);
    v.push_back(lng);
    auto tm = Check(idx("Hora"));
    tm.bHasMinVal = 1;
    Put<uint32_t>(tm.aMinVal, 8 * 3600000);
    v.push_back(tm);
    auto ts = Check(idx("Sello"));
    ts.bHasDefVal = 1;
    Put<double>(ts.aDefVal, static_cast<double>(DayFromCivil(2001, 5, 6) * kMsPerDay + 1000));
    v.push_back(ts);
    auto flag = Check(idx("Activo"));
    flag.bHasDefVal = 1;
    Put<int32_t>(flag.aDefVal, 1);
    v.push_back(flag);
    auto bcd = Check(idx("Precio"));
    bcd.bHasMaxVal = 1;
    bde::FMTBcd b = Bcd("999999", 4, false);  // 99.9999
    std::memcpy(bcd.aMaxVal, &b, sizeof b);
    bcd.elkupType = bde::lkupALLCORRESP;
    std::strcpy(bcd.szLkupTblName, "PRECIOS.DB");
    v.push_back(bcd);
    auto help = Check(idx("Numero"));
    help.elkupType = bde::lkupHELP;
    std::strcpy(help.szLkupTblName, "NUMEROS.DB");
    v.push_back(help);
  }
  return v;
}

class ParadoxChecks : public ::testing::TestWithParam<int> {};

TEST_P(ParadoxChecks, EveryKindOfCheckReadsBack) {
  const int level = GetParam();
  TempDir dir;
  const std::string path = dir / "reglas.db";
  TableDefinition def = Definition(level);
  def.val_checks = AllKindsOfChecks(def);
  paradox::Create(path, def);
  ASSERT_TRUE(FileExists(dir / "reglas.val"));
  const std::string db = ReadFileBytes(path), val = ReadFileBytes(dir / "reglas.val");
  EXPECT_EQ(val[0], db[0x2E]);  // the .VAL belongs to this version of the table
  EXPECT_EQ(val[1], db[0x39]);

  auto t = paradox::Open(path, OpenOptions{});
  auto got = t->ValChecks();
  ASSERT_EQ(got.size(), def.val_checks.size());
  for (size_t i = 0; i < got.size(); ++i) {
    const auto& w = def.val_checks[i];
    const auto& g = got[i];
    const std::string field = t->Fields()[w.iFldNum - 1].name;
    SCOPED_TRACE(field);
    EXPECT_EQ(int{g.iFldNum}, int{w.iFldNum});
    EXPECT_EQ(int{g.bRequired}, int{w.bRequired});
    EXPECT_EQ(int{g.bHasMinVal}, int{w.bHasMinVal});
    EXPECT_EQ(int{g.bHasMaxVal}, int{w.bHasMaxVal});
    EXPECT_EQ(int{g.bHasDefVal}, int{w.bHasDefVal});
    const size_t n = field == "Precio" ? sizeof(bde::FMTBcd) : field == "Nombre" ? 40 : 8;
    if (w.bHasMinVal) {
      EXPECT_EQ(std::memcmp(g.aMinVal, w.aMinVal, n), 0);
    }
    if (w.bHasMaxVal) {
      EXPECT_EQ(std::memcmp(g.aMaxVal, w.aMaxVal, n), 0);
    }
    if (w.bHasDefVal) {
      EXPECT_EQ(std::memcmp(g.aDefVal, w.aDefVal, n), 0);
    }
    EXPECT_STREQ(g.szPict, w.szPict);
    EXPECT_EQ(static_cast<int32_t>(g.elkupType), static_cast<int32_t>(w.elkupType));
    std::string lookup = w.szLkupTblName;
    lookup = lookup.substr(lookup.find_last_of('\\') == std::string::npos ? 0 : lookup.find_last_of('\\') + 1);
    EXPECT_EQ(g.szLkupTblName, lookup);  // the folder is not kept: lookups are beside the table
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, ParadoxChecks, ::testing::Values(4, 5, 7));

// The .VAL written for the checks of fields/logical.val (required, default true) has the layout
// of that file, written by Paradox itself.
TEST(ParadoxChecksRules, ValLayoutMatchesAParadoxWrittenFile) {
  if (testing_support::SamplesDir().empty()) GTEST_SKIP() << testing_support::NoSamples();
  const std::string real = ReadFileBytes(testing_support::SamplesDir() + "/paradox-paradoxdriver/fields/logical.val");
  TempDir dir;
  TableDefinition def;
  def.format = TableFormat::kParadox;
  def.level = 5;
  def.fields = {{"BOOL", bde::fldPDXBOOL, 1}};
  auto c = Check(1);
  c.bRequired = 1;
  c.bHasDefVal = 1;
  Put<int32_t>(c.aDefVal, 1);
  def.val_checks = {c};
  paradox::Create(dir / "logical.db", def);
  const std::string ours = ReadFileBytes(dir / "logical.val");
  ASSERT_GE(ours.size(), 0x5Cu);
  EXPECT_EQ(ours[1], real[1]);                          // level
  EXPECT_EQ(ours[2], real[2]);                          // number of checks
  EXPECT_EQ(ours[7], real[7]);                          // fields + 1
  EXPECT_EQ(ours.substr(0x09, 8), real.substr(0x09, 8));  // footer and integrity offsets
  EXPECT_EQ(ours.substr(0x35, 4), real.substr(0x35, 4));  // field, picture length, required, lookup
  for (size_t w = 0x39; w < 0x51; w += 4)                  // presence words: zero or not alike
    EXPECT_EQ(ours.substr(w, 4) == std::string(4, '\0'), real.substr(w, 4) == std::string(4, '\0')) << w;
  EXPECT_EQ(ours[0x51], real[0x51]);                    // the default in the record encoding
  EXPECT_EQ(ours.substr(0x52, 2), real.substr(0x52, 2));  // footer: field count
  EXPECT_EQ(ours.substr(0x58, 4), real.substr(0x58, 4));  // field numbers, type and size
  EXPECT_EQ(ours.substr(ours.size() - 5), real.substr(real.size() - 5));  // "BOOL\0"
  EXPECT_EQ(ours.size(), real.size());
}

TEST(ParadoxChecksRules, ChecksThatCannotBeStoredAreRefused) {
  TempDir dir;
  const std::string path = dir / "T.DB";
  auto refused = [&](const TableDefinition& def, DBIResult code) {
    try {
      paradox::Create(path, def);
      ADD_FAILURE() << "created";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), code) << e.what();
    }
    EXPECT_FALSE(FileExists(path));
  };
  // Level 3: the checks' layout of those tables is not public; the engine refuses to store any.
  TableDefinition l3 = Definition(3);
  auto req = Check(1);
  req.bRequired = 1;
  l3.val_checks = {req};
  refused(l3, err::kNotSupported);
  // TODAY / NOW have no representation this engine knows of.
  TableDefinition today = Definition(5);
  auto t = Check(5);
  t.bHasMinVal = bde::TODAYVAL;
  today.val_checks = {t};
  refused(today, err::kNotSupported);
  // A value that does not fit its field.
  TableDefinition toolong = Definition(5);
  auto a = Check(1);
  a.bHasDefVal = 1;
  std::memset(a.aDefVal, 'x', 20);  // Code is 10 wide
  toolong.val_checks = {a};
  refused(toolong, err::kValueOutOfRange);
  TableDefinition nofield = Definition(5);
  nofield.val_checks = {Check(99)};
  nofield.val_checks[0].bRequired = 1;
  refused(nofield, err::kInvalidParam);
  // An empty check (what the restructure component leaves) is simply not stored.
  TableDefinition empty = Definition(3);
  empty.val_checks = {Check(2)};
  paradox::Create(path, empty);
  EXPECT_FALSE(FileExists(dir / "T.VAL"));
}

TEST(ParadoxChecksRules, Level3TableWithAValFileRefusesToReadIt) {
  TempDir dir;
  const std::string path = dir / "VIEJA.DB";
  paradox::Create(path, Definition(3));
  testing_support::WriteFileBytes(dir / "VIEJA.VAL", std::string("\x00\x01\x00VAL", 6) + std::string(40, '\0'));
  auto t = paradox::Open(path, OpenOptions{});
  try {
    t->ValChecks();
    ADD_FAILURE() << "read";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), err::kNotSupported);
    EXPECT_NE(std::string(e.what()).find("VIEJA.VAL"), std::string::npos);
  }
}

TEST(ParadoxCreateRules, RecreatingATableRemovesItsOldCompanions) {
  TempDir dir;
  const std::string path = dir / "T.DB";
  TableDefinition def = Definition(5);
  def.val_checks = AllKindsOfChecks(def);
  paradox::Create(path, def);
  testing_support::WriteFileBytes(dir / "T.X02", "old secondary index");
  testing_support::WriteFileBytes(dir / "T.Y02", "old secondary index");
  TableDefinition plain = Definition(3);
  plain.key_fields = 0;
  paradox::Create(path, plain);
  EXPECT_FALSE(FileExists(dir / "T.VAL"));
  EXPECT_FALSE(FileExists(dir / "T.MB"));
  EXPECT_FALSE(FileExists(dir / "T.PX"));
  EXPECT_FALSE(FileExists(dir / "T.X02"));
  EXPECT_FALSE(FileExists(dir / "T.Y02"));
  auto t = paradox::Open(path, OpenOptions{});
  EXPECT_EQ(t->Level(), 3);
  EXPECT_EQ(t->KeyFieldCount(), 0);
  EXPECT_TRUE(t->ValChecks().empty());
}

// Rebuilds a table of Definition(level): the key first, then the other fields in reverse order
// without "Unidades", "Nombre" widened to 50 and renamed "NombreCompleto", and a new field
// "Nuevo" last. Returns the old field index of each new field (-1 for the new one).
std::vector<int> RebuildReversed(const std::string& dir, const std::string& table, const TableDefinition& def) {
  std::vector<bde::FLDDesc> f;
  std::vector<bde::CROpType> ops;
  std::vector<int> source;
  auto rec = [&](int old, const std::string& name, uint16_t type, int units, bde::CROpType op) {
    bde::FLDDesc d{};
    d.iFldNum = static_cast<uint16_t>(old + 1);
    std::strncpy(d.szName, name.c_str(), sizeof d.szName - 1);
    d.iFldType = type;
    if (type == bde::fldPDXBCD) {
      d.iUnits1 = 32;
      d.iUnits2 = static_cast<int16_t>(units);
    } else {
      d.iUnits1 = static_cast<int16_t>(units);
    }
    f.push_back(d);
    ops.push_back(op);
    source.push_back(op == bde::crADD ? -1 : old);
  };
  rec(0, def.fields[0].name, def.fields[0].type, def.fields[0].size, bde::crNOOP);
  for (int i = static_cast<int>(def.fields.size()) - 1; i >= 1; --i) {
    const FieldSpec& o = def.fields[static_cast<size_t>(i)];
    if (o.name == "Unidades") continue;
    if (o.name == "Nombre")
      rec(i, "NombreCompleto", o.type, 50, bde::crMODIFY);
    else
      rec(i, o.name, o.type, o.size, bde::crNOOP);
  }
  rec(-1, "Nuevo", bde::fldPDXCHAR, 5, bde::crADD);
  bde::CRTblDesc desc{};
  std::strncpy(desc.szTblName, table.c_str(), sizeof desc.szTblName - 1);
  desc.iFldCount = static_cast<uint16_t>(f.size());
  desc.pfldDesc = f.data();
  desc.pecrFldOp = ops.data();
  DoRestructure(*OpenDatabase(dir), desc);
  return source;
}

// A table of every type of its level, rebuilt with its fields moved (reversed), one widened and
// renamed, one dropped and one added: every value of every kept field, blobs included, follows.
TEST_P(ParadoxCreate, EveryTypeOfTheLevelSurvivesARestructure) {
  const int level = GetParam();
  TempDir dir;
  const std::string path = dir / "TABLA.DB";
  TableDefinition def = Definition(level);
  paradox::Create(path, def);
  const int rows = 6;
  {
    auto t = paradox::Open(path, OpenOptions{});
    for (int n = 1; n <= rows; ++n) {
      std::string buf = t->BlankRecord();
      for (size_t i = 0; i < def.fields.size(); ++i)
        t->SetValue(&buf, static_cast<int>(i), i == 0 ? Value::Text(testing_support::Numbered("K", n)) : Sample(def.fields[i].type, n));
      t->AppendRecord(buf);
    }
    t->Flush();
  }
  std::vector<std::vector<Value>> before(rows);
  {
    auto t = paradox::Open(path, OpenOptions{});
    std::string buf;
    for (int n = 1; n <= rows; ++n) {
      t->ReadRecord(static_cast<uint64_t>(n), &buf);
      for (size_t i = 0; i < def.fields.size(); ++i) before[static_cast<size_t>(n - 1)].push_back(t->GetValue(buf, static_cast<int>(i)));
    }
  }
  std::vector<int> source = RebuildReversed(dir.path(), "TABLA.DB", def);
  auto t = paradox::Open(path, OpenOptions{});
  EXPECT_EQ(t->Level(), level);
  EXPECT_EQ(t->KeyFieldCount(), 1);
  ASSERT_EQ(t->Fields().size(), source.size());
  ASSERT_EQ(t->RecordCount(), static_cast<uint64_t>(rows));
  std::string buf;
  for (int n = 1; n <= rows; ++n) {
    t->ReadRecord(static_cast<uint64_t>(n), &buf);
    for (size_t i = 0; i < source.size(); ++i) {
      Value got = t->GetValue(buf, static_cast<int>(i));
      if (source[i] < 0) {
        EXPECT_TRUE(got.IsNull());
        continue;
      }
      const Value& want = before[static_cast<size_t>(n - 1)][static_cast<size_t>(source[i])];
      EXPECT_EQ(got, want) << t->Fields()[i].name << " row " << n << ": " << got.ToDisplay();
    }
  }
}

// Validity checks of every kind follow their fields through that rebuild; the check of the
// dropped field goes with it.
TEST_P(ParadoxChecks, EveryKindOfCheckFollowsItsFieldThroughARestructure) {
  const int level = GetParam();
  TempDir dir;
  TableDefinition def = Definition(level);
  def.val_checks = AllKindsOfChecks(def);
  paradox::Create(dir / "reglas.db", def);
  std::vector<int> source = RebuildReversed(dir.path(), "reglas.db", def);
  auto t = paradox::Open(dir / "reglas.db", OpenOptions{});
  auto got = t->ValChecks();
  size_t expected = 0;
  for (const auto& w : def.val_checks) {
    const std::string name = def.fields[w.iFldNum - 1].name;
    if (name == "Unidades") continue;
    ++expected;
    SCOPED_TRACE(name);
    // The new position of the field.
    int pos = -1;
    for (size_t i = 0; i < source.size(); ++i)
      if (source[i] == w.iFldNum - 1) pos = static_cast<int>(i) + 1;
    ASSERT_GT(pos, 0);
    const bde::VCHKDesc* g = nullptr;
    for (const auto& c : got)
      if (c.iFldNum == pos) g = &c;
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(int{g->bRequired}, int{w.bRequired});
    EXPECT_EQ(int{g->bHasMinVal}, int{w.bHasMinVal});
    EXPECT_EQ(int{g->bHasMaxVal}, int{w.bHasMaxVal});
    EXPECT_EQ(int{g->bHasDefVal}, int{w.bHasDefVal});
    const size_t n = name == "Precio" ? sizeof(bde::FMTBcd) : name == "Nombre" ? 40 : 8;
    if (w.bHasMinVal) {
      EXPECT_EQ(std::memcmp(g->aMinVal, w.aMinVal, n), 0);
    }
    if (w.bHasMaxVal) {
      EXPECT_EQ(std::memcmp(g->aMaxVal, w.aMaxVal, n), 0);
    }
    if (w.bHasDefVal) {
      EXPECT_EQ(std::memcmp(g->aDefVal, w.aDefVal, n), 0);
    }
    EXPECT_STREQ(g->szPict, w.szPict);
    EXPECT_EQ(static_cast<int32_t>(g->elkupType), static_cast<int32_t>(w.elkupType));
  }
  EXPECT_EQ(got.size(), expected);
}

}  // namespace
}  // namespace engine
