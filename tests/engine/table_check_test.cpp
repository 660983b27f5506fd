// The check of a table's stored values (CheckTable): it reports a value exactly when the reader
// refuses it, in the reader's own words, and lets every value the reader reads pass.
#include <gtest/gtest.h>

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

TEST(TableCheck, ReportsAStoredValueExactlyWhenTheReaderRefusesIt) {
  testing_support::TempDir dir;
  const std::string path = dir / "VALORES.DBF";
  engine::TableDefinition def;
  def.level = 4;
  def.codepage = 1252;
  def.fields = {Spec("NOMBRE", bde::fldDBCHAR, 10),   Spec("SALDO", bde::fldDBNUM, 10, 2),
                Spec("TASA", bde::fldDBFLOAT, 8, 2),  Spec("ALTA", bde::fldDBDATE),
                Spec("ACTIVO", bde::fldDBBOOL),       Spec("NOTAS", bde::fldDBMEMO)};
  engine::CreateStorage(path, def);
  {
    auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, engine::Value::Text("uno"));
    t->SetValue(&buf, 5, engine::Value::Text("una nota"));
    t->AppendRecord(buf);
    t->Flush();
  }
  const std::string good = testing_support::ReadFileBytes(path);
  const size_t header = static_cast<uint8_t>(good[8]) | static_cast<size_t>(static_cast<uint8_t>(good[9])) << 8;
  const std::vector<engine::FieldSpec> fields = engine::dbase::Open(path, engine::OpenOptions{}, false)->Fields();

  struct Case {
    int field;  // in the order created
    std::string stored;
    bool refused;
  } cases[] = {
      {0, "\xFF\x01 texto \x7F", false}, {1, "     12.50", false}, {1, "    12x.50", true},
      {1, std::string(10, '\0'), false},  {2, "   -3.25", false},   {2, "  --3.25", true},
      {3, "20240229", false},             {3, "20230229", true},   {3, "        ", false},
      {4, "x", false},                    {5, "       abc", true}, {5, "    999999", true},
      {5, "          ", false},
  };
  for (const Case& c : cases) {
    const engine::FieldSpec& spec = fields[static_cast<size_t>(c.field)];
    ASSERT_EQ(c.stored.size(), spec.length) << spec.name;
    std::string bytes = good;
    bytes.replace(header + spec.offset, spec.length, c.stored);
    testing_support::WriteFileBytes(path, bytes);

    engine::OpenOptions read_only;
    read_only.read_only = true;
    std::unique_ptr<engine::TableStorage> t = engine::dbase::Open(path, read_only, false);
    std::string reader_says;
    std::string record;
    t->ReadRecord(1, &record);
    try {
      t->GetValue(record, c.field);
    } catch (const engine::EngineError& e) {
      reader_says = "Registro 1, campo " + spec.name + ": " + e.message();
    }
    EXPECT_EQ(!reader_says.empty(), c.refused) << spec.name << " «" << c.stored << "»: " << reader_says;
    const engine::TableCheck check = engine::CheckTable(*t);
    const std::vector<std::string> want = reader_says.empty() ? std::vector<std::string>{}
                                                              : std::vector<std::string>{reader_says};
    EXPECT_EQ(check.problems, want) << spec.name << " «" << c.stored << "»";
  }
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
