// `tabla tags`, `tabla index` and `tabla check` on a table with a production index.
#include <gtest/gtest.h>

#include "engine/dbase/mdx.h"
#include "tests/engine/mdx_test_rows.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace mdx_test;

using testing_support::Tabla;

TEST(MdxTools, TagsIndexAndCheck) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  testing_support::TempDir dir;
  Table t;
  t.fields = {Char("NOMBRE", 12), Num("SALDO", 9, 2)};
  for (int i = 0; i < 500; ++i) t.Add({std::string("C").append(std::to_string((i * 37) % 101)), std::to_string((i * 53) % 997 - 400) + ".25"});
  Rows rows(t);
  std::string dbf = dir / "CLIENTES.DBF", mdx = dir / "CLIENTES.MDX";
  engine::dbase::MdxIndex::Create(mdx, "CLIENTES", {{"NOMBRE", "UPPER(NOMBRE)", "", 'C', false, false},
                                                    {"SALDO", "SALDO", "SALDO > 0", 'N', false, true}},
                                  t.fields, engine::CodePage::Ansi(), rows);
  WriteDbf(dbf, t);
  using testing_support::RunCommand;
  using testing_support::ShellQuote;

  auto tags = RunCommand(ShellQuote(Tabla()) + " tags " + ShellQuote(dbf));
  EXPECT_EQ(tags.status, 0);
  EXPECT_NE(tags.out.find("NOMBRE     C UPPER(NOMBRE)"), std::string::npos) << tags.out;
  EXPECT_NE(tags.out.find("SALDO      N SALDO  FOR SALDO > 0  DESCENDING"), std::string::npos) << tags.out;

  auto idx = engine::dbase::MdxIndex::Open(mdx, t.fields, engine::CodePage::Ansi(), false);
  auto listed = RunCommand(ShellQuote(Tabla()) + " index " + ShellQuote(dbf) + " SALDO");
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(DumpRecnos(listed.out), WalkAll(*idx, "SALDO"));
  uint64_t top = WalkAll(*idx, "SALDO")[0];
  std::string saldo = t.rows[top - 1][1];
  saldo.erase(0, saldo.find_first_not_of(' '));
  EXPECT_EQ(listed.out.substr(0, listed.out.find(' ')), saldo);  // greatest balance first, as a decimal

  auto ok = RunCommand(ShellQuote(Tabla()) + " check " + ShellQuote(dbf));
  EXPECT_EQ(ok.status, 0) << ok.out;

  // A row changed behind the index's back.
  t.Set(7, "NOMBRE", "ZZZ");
  WriteDbf(dbf, t);
  auto bad = RunCommand(ShellQuote(Tabla()) + " check " + ShellQuote(dbf));
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.out.find("registro 7:"), std::string::npos) << bad.out;

  auto missing = RunCommand(ShellQuote(Tabla()) + " index " + ShellQuote(dbf) + " OTRA 2>&1");
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.out.find("OTRA"), std::string::npos) << missing.out;
}

}  // namespace
