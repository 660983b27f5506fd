// Damaged tables made from a valid one: every damage gives an EngineError that names the file;
// none crashes, hangs or writes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace {

using engine::EngineError;
using engine::Value;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

constexpr size_t kHeader = 32 + 5 * 32 + 1;  // 5 fields
constexpr size_t kRecord = 1 + 10 + 8 + 8 + 1 + 10;

// A valid level 4 table with a memo file: 3 rows.
struct Valid {
  std::string dbf, dbt;
};

Valid MakeValid() {
  TempDir dir;
  engine::TableDefinition def;
  def.level = 4;
  using dbase_test::Spec;
  def.fields = {Spec("NOMBRE", bde::fldDBCHAR, 10), Spec("IMPORTE", bde::fldDBNUM, 8, 2), Spec("FECHA", bde::fldDBDATE),
                Spec("ACTIVO", bde::fldDBBOOL), Spec("NOTAS", bde::fldDBMEMO)};
  engine::CreateStorage(dir / "t.dbf", def);
  {
    auto t = engine::dbase::Open(dir / "t.dbf", engine::OpenOptions{}, false);
    for (int i = 0; i < 3; ++i) {
      std::string buf = t->BlankRecord();
      t->SetValue(&buf, 0, Value::Text(testing_support::Numbered("fila ", i)));
      t->SetValue(&buf, 1, Value::Integer(i * 10));
      t->SetValue(&buf, 2, Value::Date(engine::DayFromCivil(2020, 1, i + 1)));
      t->SetValue(&buf, 3, Value::Logical(i % 2));
      t->SetValue(&buf, 4, Value::Text("nota " + std::string(static_cast<size_t>(i) * 400, 'n')));
      t->AppendRecord(buf);
    }
  }
  return {ReadFileBytes(dir / "t.dbf"), ReadFileBytes(dir / "t.dbt")};
}

// Opens read-write and reads every value. Returns "" on success, else the error's code and text.
struct Outcome {
  bool ok = false;
  engine::DBIResult code = 0;
  std::string what;
};

Outcome OpenAndReadAll(const std::string& path) {
  Outcome o;
  try {
    auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
    std::string buf;
    for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
      t->ReadRecord(r, &buf);
      for (int f = 0; f < static_cast<int>(t->Fields().size()); ++f) t->GetValue(buf, f);
    }
    o.ok = true;
  } catch (const EngineError& e) {
    o.code = e.code();
    o.what = e.what();
  }
  return o;
}

void Put16(std::string& b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }
void Put32(std::string& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

TEST(DbaseCorrupt, DamagedTablesGiveClearErrors) {
  const Valid valid = MakeValid();
  ASSERT_EQ(valid.dbf.size(), kHeader + 3 * kRecord + 1);
  size_t memo_ptr = kHeader + 1 + 10 + 8 + 8 + 1;  // NOTAS of row 1
  struct Case {
    const char* name;
    std::function<void(std::string& dbf, std::string& dbt)> damage;
    engine::DBIResult code;
    const char* file;  // which file the message must name: "dbf" or "dbt"
  } cases[] = {
      {"empty file", [](std::string& d, std::string&) { d.clear(); }, engine::err::kHeaderCorrupt, "dbf"},
      {"31 bytes", [](std::string& d, std::string&) { d.resize(31); }, engine::err::kHeaderCorrupt, "dbf"},
      {"cut in the descriptors", [](std::string& d, std::string&) { d.resize(100); }, engine::err::kHeaderCorrupt, "dbf"},
      {"cut before the terminator", [](std::string& d, std::string&) { d.resize(kHeader - 1); }, engine::err::kHeaderCorrupt, "dbf"},
      {"cut in the last row", [](std::string& d, std::string&) { d.resize(kHeader + 2 * kRecord + 5); }, engine::err::kHeaderCorrupt, "dbf"},
      {"count too big", [](std::string& d, std::string&) { Put32(d, 4, 4); }, engine::err::kHeaderCorrupt, "dbf"},
      {"count 2^32-1", [](std::string& d, std::string&) { Put32(d, 4, 0xFFFFFFFF); }, engine::err::kHeaderCorrupt, "dbf"},
      {"header length past the end", [](std::string& d, std::string&) { Put16(d, 8, 60000); }, engine::err::kHeaderCorrupt, "dbf"},
      {"header length tiny", [](std::string& d, std::string&) { Put16(d, 8, 20); }, engine::err::kHeaderCorrupt, "dbf"},
      {"header length short of the fields", [](std::string& d, std::string&) { Put16(d, 8, 100); }, engine::err::kHeaderCorrupt, "dbf"},
      {"record length +1", [](std::string& d, std::string&) { Put16(d, 10, kRecord + 1); }, engine::err::kHeaderCorrupt, "dbf"},
      {"record length -1", [](std::string& d, std::string&) { Put16(d, 10, kRecord - 1); }, engine::err::kHeaderCorrupt, "dbf"},
      {"record length 0", [](std::string& d, std::string&) { Put16(d, 10, 0); }, engine::err::kHeaderCorrupt, "dbf"},
      {"terminator missing", [](std::string& d, std::string&) { d[kHeader - 1] = 'X'; }, engine::err::kHeaderCorrupt, "dbf"},
      {"unknown type", [](std::string& d, std::string&) { d[32 + 11] = '?'; }, engine::err::kHeaderCorrupt, "dbf"},
      {"level 7 type at level 4", [](std::string& d, std::string&) { d[32 + 11] = 'O'; }, engine::err::kHeaderCorrupt, "dbf"},
      {"date of 7 bytes", [](std::string& d, std::string&) { d[32 + 2 * 32 + 16] = 7; Put16(d, 10, kRecord - 1); }, engine::err::kHeaderCorrupt, "dbf"},
      {"number of 0 bytes", [](std::string& d, std::string&) { d[32 + 32 + 16] = 0; Put16(d, 10, kRecord - 8); }, engine::err::kHeaderCorrupt, "dbf"},
      {"decimals >= width", [](std::string& d, std::string&) { d[32 + 32 + 17] = 8; }, engine::err::kHeaderCorrupt, "dbf"},
      {"memo of 4 bytes", [](std::string& d, std::string&) { d[32 + 4 * 32 + 16] = 4; Put16(d, 10, kRecord - 6); }, engine::err::kHeaderCorrupt, "dbf"},
      {"nameless field", [](std::string& d, std::string&) { std::memset(d.data() + 32, 0, 11); }, engine::err::kHeaderCorrupt, "dbf"},
      {"version 0x00", [](std::string& d, std::string&) { d[0] = 0x00; }, engine::err::kNotSupported, "dbf"},
      {"version 0x02", [](std::string& d, std::string&) { d[0] = 0x02; }, engine::err::kNotSupported, "dbf"},
      {"version 0x43", [](std::string& d, std::string&) { d[0] = 0x43; }, engine::err::kNotSupported, "dbf"},
      {"version 0xCB", [](std::string& d, std::string&) { d[0] = static_cast<char>(0xCB); }, engine::err::kNotSupported, "dbf"},
      {"version 0x4B", [](std::string& d, std::string&) { d[0] = 0x4B; }, engine::err::kNotSupported, "dbf"},
      {"version 0xF5 (FoxPro)", [](std::string& d, std::string&) { d[0] = static_cast<char>(0xF5); }, engine::err::kNotSupported, "dbf"},
      {"version 0xFF", [](std::string& d, std::string&) { d[0] = static_cast<char>(0xFF); }, engine::err::kNotSupported, "dbf"},
      {"encrypted", [](std::string& d, std::string&) { d[15] = 1; }, engine::err::kEncrypted, "dbf"},
      {"memo block past the end", [&](std::string& d, std::string&) { std::memcpy(d.data() + memo_ptr, "      9999", 10); }, engine::err::kBlobCorrupt, "dbt"},
      {"memo block 2^32", [&](std::string& d, std::string&) { std::memcpy(d.data() + memo_ptr, "4294967296", 10); }, engine::err::kBlobCorrupt, "dbt"},
      {"memo pointer not a number", [&](std::string& d, std::string&) { std::memcpy(d.data() + memo_ptr, "     12ab ", 10); }, engine::err::kFileCorrupt, "dbf"},
      {"memo length past the end", [](std::string&, std::string& m) { Put32(m, 512 + 4, 0xFFFFFF00); }, engine::err::kBlobCorrupt, "dbt"},
      {"memo length below its head", [](std::string&, std::string& m) { Put32(m, 512 + 4, 3); }, engine::err::kBlobCorrupt, "dbt"},
      {"memo block not a value", [](std::string&, std::string& m) { m[512] = 'x'; }, engine::err::kBlobCorrupt, "dbt"},
      {"memo file cut", [](std::string&, std::string& m) { m.resize(700); }, engine::err::kBlobCorrupt, "dbt"},
      {"memo header cut", [](std::string&, std::string& m) { m.resize(10); }, engine::err::kBlobCorrupt, "dbt"},
      {"memo block size 19", [](std::string&, std::string& m) { Put16(m, 20, 19); }, engine::err::kBlobCorrupt, "dbt"},
      {"number text", [](std::string& d, std::string&) { std::memcpy(d.data() + kHeader + 11, "  1.2.3 ", 8); }, engine::err::kFileCorrupt, "dbf"},
      {"date text", [](std::string& d, std::string&) { std::memcpy(d.data() + kHeader + 19, "20201340", 8); }, engine::err::kFileCorrupt, "dbf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string dbf = valid.dbf, dbt = valid.dbt;
    c.damage(dbf, dbt);
    WriteFileBytes(dir / "t.dbf", dbf);
    WriteFileBytes(dir / "t.dbt", dbt);
    Outcome o = OpenAndReadAll(dir / "t.dbf");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.code, c.code) << o.what;
    std::string file = dir / (std::string("t.") + c.file);
    EXPECT_NE(o.what.find("Fichero: " + file), std::string::npos) << o.what;
    EXPECT_NE(o.what.find("Tabla: " + (dir / "t.dbf")), std::string::npos) << o.what;
    // Nothing was written.
    EXPECT_EQ(ReadFileBytes(dir / "t.dbf"), dbf);
    EXPECT_EQ(ReadFileBytes(dir / "t.dbt"), dbt);
  }
}

TEST(DbaseCorrupt, ToleratedOddities) {
  const Valid valid = MakeValid();
  struct Case {
    const char* name;
    std::function<void(std::string& dbf)> change;
  } cases[] = {
      {"no 0x1A after the last row", [](std::string& d) { d.pop_back(); }},
      {"trailing bytes", [](std::string& d) { d += std::string(1000, 'z'); }},
      {"0x1A in place of row 2's flag", [](std::string& d) { d[kHeader + kRecord] = '\x1A'; }},
      {"garbage in descriptor bytes 12-15", [](std::string& d) { std::memcpy(d.data() + 32 + 12, "\x01\x02\x03\x04", 4); }},
      {"old dBASE III header with one more byte", [](std::string& d) {
         d.insert(kHeader, 1, '\0');
         Put16(d, 8, kHeader + 1);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string dbf = valid.dbf;
    c.change(dbf);
    WriteFileBytes(dir / "t.dbf", dbf);
    WriteFileBytes(dir / "t.dbt", valid.dbt);
    Outcome o = OpenAndReadAll(dir / "t.dbf");
    EXPECT_TRUE(o.ok) << o.what;
  }
  // A missing memo file is named.
  TempDir dir;
  WriteFileBytes(dir / "t.dbf", valid.dbf);
  Outcome o = OpenAndReadAll(dir / "t.dbf");
  EXPECT_EQ(o.code, engine::err::kNoSuchFile);
  EXPECT_NE(o.what.find("t.dbt"), std::string::npos) << o.what;
  // A memo file of another letter case is found.
  WriteFileBytes(dir / "T.DBT", valid.dbt);
  EXPECT_TRUE(OpenAndReadAll(dir / "t.dbf").ok);
}

// Random damage to the header, descriptors and first row: only EngineErrors, never anything else.
TEST(DbaseCorrupt, RandomDamage) {
  const Valid valid = MakeValid();
  std::mt19937 rng(12345);
  TempDir dir;
  WriteFileBytes(dir / "t.dbt", valid.dbt);
  int errors = 0, fine = 0;
  for (int i = 0; i < 600; ++i) {
    std::string dbf = valid.dbf;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < flips; ++k) {
      size_t at = rng() % (kHeader + kRecord);
      dbf[at] = static_cast<char>(rng() % 256);
    }
    if (rng() % 5 == 0) dbf.resize(rng() % dbf.size());
    WriteFileBytes(dir / "t.dbf", dbf);
    try {
      Outcome o = OpenAndReadAll(dir / "t.dbf");
      (o.ok ? fine : errors)++;
      if (!o.ok) {
        ASSERT_FALSE(o.what.empty());
      }
    } catch (const std::exception& e) {
      FAIL() << "not an EngineError: " << e.what();
    }
  }
  EXPECT_GT(errors, 50);
  EXPECT_GT(fine, 50);
}

}  // namespace
