// The check of a table's stored values (CheckTable): it reports a value exactly when the reader
// refuses it, in the reader's own words, and lets every value the reader reads pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/bde.h"
#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/spare_bytes.h"
#include "engine/storage.h"
#include "engine/table_check.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/engine/mdx_test_rows.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"

namespace {

using dbase_test::Spec;
using engine::Value;

// One valid row in a table of each memo layout and field kind: its files' bytes and fields.
struct Sample {
  std::string dbf, dbt;  // dbt: "" for a table without memo file
  bool foxpro = false;
  size_t header = 0;  // where row 1 starts
  std::vector<engine::FieldSpec> fields;
};

Sample Read(const std::string& path, const std::string& dbt, bool foxpro) {
  Sample s{testing_support::ReadFileBytes(path), dbt.empty() ? "" : testing_support::ReadFileBytes(dbt), foxpro};
  s.header = static_cast<uint8_t>(s.dbf[8]) | static_cast<size_t>(static_cast<uint8_t>(s.dbf[9])) << 8;
  engine::OpenOptions read_only;
  read_only.read_only = true;
  s.fields = engine::dbase::Open(path, read_only, foxpro)->Fields();
  return s;
}

Sample Make(int level, const std::vector<engine::FieldSpec>& fields, const std::vector<std::pair<int, Value>>& row) {
  testing_support::TempDir dir;
  engine::TableDefinition def;
  def.level = level;
  def.codepage = 1252;
  def.fields = fields;
  engine::CreateStorage(dir / "T.DBF", def);
  {
    auto t = engine::dbase::Open(dir / "T.DBF", engine::OpenOptions{}, false);
    std::string buf = t->BlankRecord();
    for (const auto& [field, v] : row) t->SetValue(&buf, field, v);
    t->AppendRecord(buf);
    t->Flush();
  }
  return Read(dir / "T.DBF", dir / "T.DBT", false);
}

void Put32(std::string& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
std::string BigEndian(uint64_t bits) {
  std::string b(8, '\0');
  for (int i = 7; i >= 0; --i, bits >>= 8) b[static_cast<size_t>(i)] = static_cast<char>(bits & 0xFF);
  return b;
}
std::string Double(double d) { return BigEndian(std::bit_cast<uint64_t>(d)); }

// Raw field contents and damaged memo files: the check of a value (CheckValue, CheckValueIn, and
// CheckTable over the file) refuses exactly what reading it (GetValue) refuses, in the same words.
TEST(TableCheck, ReportsAStoredValueExactlyWhenTheReaderRefusesIt) {
  std::map<std::string, Sample> tables;
  // Memos of the IV layout give their length; those of the III layout end at a mark.
  tables["IV"] = Make(4,
                      {Spec("NOMBRE", bde::fldDBCHAR, 10), Spec("SALDO", bde::fldDBNUM, 10, 2),
                       Spec("TASA", bde::fldDBFLOAT, 8, 2), Spec("ALTA", bde::fldDBDATE), Spec("ACTIVO", bde::fldDBBOOL),
                       Spec("NOTAS", bde::fldDBMEMO)},
                      {{0, Value::Text("uno")}, {5, Value::Text(std::string(600, 'n'))}});
  tables["III"] = Make(3, {Spec("ALTA", bde::fldDBDATE), Spec("NOTAS", bde::fldDBMEMO)},
                       {{1, Value::Text(std::string(600, 'n'))}});
  tables["7"] = Make(7,
                     {Spec("NUM", bde::fldDBLONG), Spec("AUTO", bde::fldDBAUTOINC), Spec("DOBLE", bde::fldDBDOUBLE),
                      Spec("MOMENTO", bde::fldDBDATETIME), Spec("FOTO", bde::fldDBBINARY), Spec("OLE", bde::fldDBOLEBLOB)},
                     {{4, Value::Binary("foto")}, {5, Value::Binary("ole")}});
  if (!testing_support::SamplesDir().empty()) {
    // A FoxPro table (I, C, Y, L fields), and the same with its currency field read as a date and
    // time (of no value but in row 1).
    const std::string fox = testing_support::SamplesDir() + "/infused-dbf/dbase_31.dbf";
    const Sample& f = tables["Fox"] = Read(fox, "", true);
    testing_support::TempDir dir;
    std::string bytes = f.dbf;
    bytes[bytes.find("UNITPRICE") + 11] = 'T';
    const size_t len = f.fields.back().offset + f.fields.back().length;
    for (size_t at = f.header + len; at + len <= bytes.size(); at += len)
      bytes.replace(at + f.fields[5].offset, 8, 8, '\0');
    testing_support::WriteFileBytes(dir / "T.DBF", bytes);
    tables["FoxT"] = Read(dir / "T.DBF", "", true);
  }
  const size_t b1 = 512;  // the first memo's block
  using Damage = std::function<void(std::string& dbt)>;
  struct Case {
    const char* table;
    const char* field;
    std::optional<std::string> stored;  // the field's bytes in row 1; none: as written
    Damage damage;                      // to the memo file
    bool refused;
  } cases[] = {
      {"IV", "NOMBRE", "\xFF\x01 texto \x7F", {}, false},
      {"IV", "SALDO", "     12.50", {}, false},
      {"IV", "SALDO", "    12x.50", {}, true},
      {"IV", "SALDO", std::string(10, '\0'), {}, false},
      {"IV", "TASA", "   -3.25", {}, false},
      {"IV", "TASA", "  --3.25", {}, true},
      {"IV", "ALTA", "20240229", {}, false},
      {"IV", "ALTA", "20230229", {}, true},
      {"IV", "ALTA", "        ", {}, false},
      {"IV", "ALTA", std::string(8, '\0'), {}, false},
      {"IV", "ALTA", "00000000", {}, false},
      {"IV", "ALTA", "00010101", {}, false},
      {"IV", "ALTA", "99991231", {}, false},
      {"IV", "ALTA", "00001231", {}, true},
      {"IV", "ALTA", "20241301", {}, true},
      {"IV", "ALTA", "20240100", {}, true},
      {"IV", "ALTA", "2024022 ", {}, true},
      {"IV", "ALTA", std::string("\0002024022", 8), {}, true},
      {"IV", "ALTA", "0000000 ", {}, true},
      {"IV", "ALTA", "2024 229", {}, true},
      {"IV", "ALTA", "2024-2-1", {}, true},
      {"IV", "ALTA", "+2024022", {}, true},
      {"IV", "ACTIVO", "x", {}, false},
      {"IV", "ACTIVO", std::string(1, '\0'), {}, false},
      {"IV", "NOTAS", {}, {}, false},
      {"IV", "NOTAS", "       abc", {}, true},
      {"IV", "NOTAS", "     12.50", {}, true},  // a number where the block goes
      {"IV", "NOTAS", "        -1", {}, true},
      {"IV", "NOTAS", std::string("\0\0\0\0\0\0\0\0\0001", 10), {}, true},
      {"IV", "NOTAS", "0000000001", {}, false},
      {"IV", "NOTAS", " 1        ", {}, false},
      {"IV", "NOTAS", "          ", {}, false},
      {"IV", "NOTAS", "         0", {}, false},  // block 0: no memo
      {"IV", "NOTAS", "    999999", {}, true},
      {"IV", "NOTAS", "4294967297", {}, true},
      {"IV", "NOTAS", "         3", {}, true},  // the block past the file's last
      {"IV", "NOTAS", "         2", {}, true},  // the memo's second block
      {"IV", "NOTAS", {}, [](std::string& m) { m[b1] = 'x'; }, true},
      {"IV", "NOTAS", {}, [](std::string& m) { Put32(m, b1 + 4, 3); }, true},
      {"IV", "NOTAS", {}, [](std::string& m) { Put32(m, b1 + 4, 8); }, false},
      {"IV", "NOTAS", {}, [](std::string& m) { Put32(m, b1 + 4, 0xFFFFFF00); }, true},
      {"IV", "NOTAS", {}, [](std::string& m) { Put32(m, b1 + 4, static_cast<uint32_t>(m.size() - b1)); }, false},
      {"IV", "NOTAS", {}, [](std::string& m) { Put32(m, b1 + 4, static_cast<uint32_t>(m.size() - b1 + 1)); }, true},
      {"IV", "NOTAS", {}, [](std::string& m) { m.resize(b1 + 300); }, true},  // cut in the memo's data
      {"IV", "NOTAS", {}, [](std::string& m) { m.resize(b1 + 5); }, true},    // in its header
      {"IV", "NOTAS", {}, [](std::string& m) { m.resize(b1); }, true},
      {"IV", "NOTAS", {}, [](std::string& m) { m[21] = 4; }, true},  // blocks of 1024 bytes
      {"III", "NOTAS", {}, {}, false},
      {"III", "NOTAS", "         2", {}, false},  // runs from the middle of a memo to its mark
      {"III", "NOTAS", "         3", {}, true},
      {"III", "NOTAS", "      1234", {}, true},
      {"III", "NOTAS", "     1.0e2", {}, true},
      {"III", "NOTAS", {}, [](std::string& m) { m.resize(b1 + 300); }, false},  // to the end of the file
      {"III", "NOTAS", {}, [](std::string& m) { std::replace(m.begin(), m.end(), '\x1A', ' '); }, false},
      {"III", "NOTAS", {}, [](std::string& m) { m.resize(b1); }, true},
      {"III", "ALTA", "1999123 ", {}, true},
      {"7", "NUM", std::string(4, '\xFF'), {}, false},
      {"7", "AUTO", std::string(4, '\0'), {}, false},
      {"7", "DOBLE", std::string(8, '\xFF'), {}, false},
      {"7", "MOMENTO", std::string(8, '\0'), {}, false},
      {"7", "MOMENTO", Double(6.3e13), {}, false},
      {"7", "MOMENTO", Double(3.2e14), {}, false},
      {"7", "MOMENTO", Double(3.21e14), {}, true},
      {"7", "MOMENTO", Double(-1), {}, true},
      {"7", "MOMENTO", BigEndian(0x7FF8000000000000), {}, true},  // not a number
      {"7", "MOMENTO", Double(std::numeric_limits<double>::infinity()), {}, true},
      {"7", "FOTO", {}, {}, false},
      {"7", "FOTO", "000000009x", {}, true},
      {"7", "FOTO", "0000009999", {}, true},
      {"7", "OLE", {}, [](std::string& m) { m.resize(m.size() - 512 + 5); }, true},  // its block's header cut
      {"7", "OLE", {}, [](std::string& m) { m[m.size() - 512] = 0; }, true},
      {"Fox", "UNITPRICE", std::string(8, '\xFF'), {}, false},
      {"Fox", "PRODUCTID", std::string(4, '\xFF'), {}, false},
      {"Fox", "DISCONTINU", "?", {}, false},
      {"FoxT", "UNITPRICE", std::string(8, '\0'), {}, false},
      {"FoxT", "UNITPRICE", std::string("\x8F\x4C\x25\x00\x10\x00\x00\x00", 8), {}, false},  // a day of 1980, 16 ms
      {"FoxT", "UNITPRICE", std::string("\x00\x00\x00\x00\x01\x00\x00\x00", 8), {}, true},
      {"FoxT", "UNITPRICE", std::string("\x8F\x4C\x25\x00\x00\x5C\x26\x05", 8), {}, true},  // a day's ms
  };
  auto said = [](const std::function<void()>& read) -> std::string {
    try {
      read();
    } catch (const engine::EngineError& e) {
      return std::to_string(e.code()) + " " + e.what();
    }
    return "";
  };
  int checked = 0;
  for (const Case& c : cases) {
    if (!tables.count(c.table)) continue;  // the FoxPro sample is missing
    const Sample& s = tables.at(c.table);
    size_t field = 0;
    while (field < s.fields.size() && s.fields[field].name != c.field) ++field;
    ASSERT_LT(field, s.fields.size()) << c.field;
    const engine::FieldSpec& spec = s.fields[field];
    SCOPED_TRACE(std::string(c.table) + " " + spec.name + " «" + c.stored.value_or("") + "»");
    std::string dbf = s.dbf, dbt = s.dbt;
    if (c.stored) {
      ASSERT_EQ(c.stored->size(), spec.length);
      dbf.replace(s.header + spec.offset, spec.length, *c.stored);
    }
    if (c.damage) c.damage(dbt);
    testing_support::TempDir dir;
    testing_support::WriteFileBytes(dir / "T.DBF", dbf);
    if (!s.dbt.empty()) testing_support::WriteFileBytes(dir / "T.DBT", dbt);
    engine::OpenOptions read_only;
    read_only.read_only = true;
    std::unique_ptr<engine::TableStorage> t = engine::dbase::Open(dir / "T.DBF", read_only, s.foxpro);
    std::string row;
    t->ReadRecord(1, &row);
    const int f = static_cast<int>(field);
    const std::string reader_says = said([&] { t->GetValue(row, f); });
    EXPECT_EQ(!reader_says.empty(), c.refused) << reader_says;
    EXPECT_EQ(said([&] { t->CheckValue(row, f); }), reader_says);
    EXPECT_EQ(said([&] { t->CheckValueIn(row, f); }), reader_says);
    // The whole check says of every value what the reader says.
    std::vector<std::string> want;
    for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
      t->ReadRecord(r, &row);
      for (int g = 0; g < static_cast<int>(s.fields.size()); ++g) {
        try {
          t->GetValue(row, g);
        } catch (const engine::EngineError& e) {
          want.push_back("Registro " + std::to_string(r) + ", campo " + s.fields[static_cast<size_t>(g)].name + ": " +
                         e.message());
        }
      }
    }
    EXPECT_EQ(engine::CheckTable(*t).problems, want);
    ++checked;
  }
  EXPECT_GT(checked, 60);
}

// Tables checked one after another on one thread, each read into the storage the one before left
// (larger, smaller, empty): each row's values are judged as that row's, and the index check finds
// in each what the table's own index check finds.
TEST(TableCheck, TablesOneAfterAnotherGiveTheirOwnVerdicts) {
  testing_support::TempDir dir;
  struct Case {
    int rows;
    int renamed;  // a row whose name changed behind the index's back; 0: none
    int damaged;  // a row whose balance is not a number; 0: none
  } cases[] = {{2000, 0, 0}, {300, 17, 0}, {5, 5, 2}, {0, 0, 0}, {3000, 2999, 1500}, {40, 0, 40}};
  engine::KeepSpares keep;  // as the check after an upgrade runs
  for (const Case& c : cases) {
    mdx_test::Table t;
    t.fields = {mdx_test::Char("NOMBRE", 12), mdx_test::Num("SALDO", 9, 2)};
    for (int i = 0; i < c.rows; ++i) t.Add({"C" + std::to_string((i * 37) % 101), std::to_string(i % 97) + ".25"});
    mdx_test::Rows rows(t);
    const std::string dbf = dir / ("T" + std::to_string(c.rows) + ".DBF");
    engine::dbase::MdxIndex::Create(dir / ("T" + std::to_string(c.rows) + ".MDX"), "T",
                                    {{"NOMBRE", "UPPER(NOMBRE)", "", 'C', false, false}}, t.fields,
                                    engine::CodePage::Ansi(), rows);
    if (c.renamed > 0) t.Set(static_cast<uint64_t>(c.renamed), "NOMBRE", "ZZZ");
    if (c.damaged > 0) t.Set(static_cast<uint64_t>(c.damaged), "SALDO", "   12x.50");
    mdx_test::WriteDbf(dbf, t);
    engine::OpenOptions read_only;
    read_only.read_only = true;
    engine::TableCheck check = engine::CheckTable(*engine::OpenStorage(dbf, engine::TableFormat::kDbase, read_only));
    EXPECT_EQ(check.records, static_cast<uint64_t>(c.rows));
    if (c.damaged > 0) {
      ASSERT_FALSE(check.problems.empty()) << c.rows;
      const std::string row = "Registro " + std::to_string(c.damaged) + ", campo SALDO: ";
      EXPECT_EQ(check.problems[0].substr(0, row.size()), row) << c.rows;
      check.problems.erase(check.problems.begin());
    }
    EXPECT_EQ(check.problems, engine::dbase::CheckTableIndexes(dbf).problems) << c.rows;
    EXPECT_EQ(check.problems.empty(), c.renamed == 0) << c.rows;
  }
}

}  // namespace
