// A tag whose expression this engine cannot evaluate (written by another program): the table
// opens and reads, the tag is listed with its reason, using it or writing to the table is
// refused with every byte unchanged, and a restructure carries it over as stored when the
// fields it names stay as they are.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/support/helpers.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace {

using engine::Value;
using testing_support::ReadFileBytes;
using testing_support::RunCommand;
using testing_support::ShellQuote;
using testing_support::TempDir;

using testing_support::Tabla;

// CLIENTES.DBF with tags CODIGO and NOMBRE; the second tag's expression is then replaced by one
// of the same key length that the engine does not know.
std::string MakeTable(const TempDir& dir) {
  std::string path = dir / "CLIENTES.DBF";
  engine::TableDefinition def;
  def.level = 4;
  def.codepage = 1252;
  using dbase_test::Spec;
  def.fields = {Spec("CODIGO", bde::fldDBCHAR, 6), Spec("NOMBRE", bde::fldDBCHAR, 20), Spec("SALDO", bde::fldDBNUM, 10, 2)};
  def.tags = {{"CODIGO", "CODIGO", "", 'C', false, false}, {"NOMBRE", "UPPER(NOMBRE)", "", 'C', false, false}};
  engine::CreateStorage(path, def);
  auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
  for (int i = 0; i < 300; ++i) {
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Text(std::to_string(100000 + i * 7 % 300)));
    t->SetValue(&buf, 1, Value::Text(testing_support::Numbered("Cliente ", i % 37)));
    t->SetValue(&buf, 2, Value::Number(i, std::to_string(i)));
    uint64_t r = t->AppendRecord(buf);
    if (i % 10 == 0) t->SetDeleted(r, true);
  }
  t->Flush();
  t.reset();
  std::string mdx = dir / "CLIENTES.MDX";
  std::string bytes = ReadFileBytes(mdx);
  // The tag headers follow the 2048-byte file header; find NOMBRE's by its expression.
  size_t at = bytes.find("UPPER(NOMBRE)");
  EXPECT_NE(at, std::string::npos);
  const char unknown[] = "SOUNDEX(NOMBRE)";  // a function this engine does not have
  bytes.replace(at, sizeof unknown, std::string(unknown, sizeof unknown));
  testing_support::WriteFileBytes(mdx, bytes);
  return path;
}

std::vector<uint64_t> Walk(engine::TableStorage& t, const std::string& tag) {
  std::vector<uint64_t> out;
  auto w = t.WalkTag(tag, std::nullopt);
  uint64_t r = 0;
  while (w->Next(&r)) out.push_back(r);
  return out;
}

TEST(UnusableTag, TheTableOpensAndReadsButTheTagIsNeitherUsedNorLeftStale) {
  TempDir dir;
  std::string path = MakeTable(dir);
  const std::string dbf_before = ReadFileBytes(path), mdx_before = ReadFileBytes(dir / "CLIENTES.MDX");
  {
    engine::OpenOptions o;
    o.exclusive = true;
    auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, o);
    ASSERT_EQ(t->RecordCount(), 300u);
    auto tags = t->Tags();
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[0].problem, "");
    EXPECT_NE(tags[1].problem, "");
    EXPECT_EQ(Walk(*t, "CODIGO").size(), 300u) << "the other tag serves as before";
    try {
      Walk(*t, "NOMBRE");
      ADD_FAILURE() << "the unusable tag gave an order";
    } catch (const engine::EngineError& e) {
      EXPECT_NE(std::string(e.what()).find("SOUNDEX(NOMBRE)"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("NOMBRE"), std::string::npos) << e.what();
    }
    std::string row, changed;
    t->ReadRecord(2, &row);
    changed = row;
    t->SetValue(&changed, 2, Value::Number(5, "5"));  // not even a key field: the tag could still go stale
    EXPECT_THROW(t->UpdateRecord(2, row, changed), engine::EngineError);
    EXPECT_THROW(t->AppendRecord(changed), engine::EngineError);
    EXPECT_THROW(t->SetDeleted(3, true), engine::EngineError);
  }
  EXPECT_TRUE(ReadFileBytes(path) == dbf_before);
  EXPECT_TRUE(ReadFileBytes(dir / "CLIENTES.MDX") == mdx_before);

  if (!testing_support::FileExists(Tabla())) return;
  auto tags = RunCommand(Tabla() + " tags " + ShellQuote(path) + " 2>&1");
  EXPECT_EQ(tags.status, 0) << tags.out;
  EXPECT_NE(tags.out.find("[no se puede usar:"), std::string::npos) << tags.out;
  auto check = RunCommand(Tabla() + " check " + ShellQuote(path) + " 2>&1");
  EXPECT_EQ(check.status, 3) << check.out;
  EXPECT_NE(check.out.find("no se pueden comprobar sus claves"), std::string::npos) << check.out;
}

TEST(UnusableTag, ARestructureCarriesItOverAsStoredOrRefusesWhenItsFieldsChange) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  TempDir dir;
  std::string path = MakeTable(dir);
  std::string mdx = dir / "CLIENTES.MDX";
  // The stored entries of the tag, as (key, row contents) pairs in order.
  auto entries = [&] {
    std::vector<std::string> out;
    engine::dbase::DumpMdxTag(mdx, "NOMBRE", engine::CodePage::Ansi(), [&](const std::string& key, uint64_t recno) {
      auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
      std::string buf;
      t->ReadRecord(recno, &buf);
      out.push_back(key + "|" + buf.substr(1, 26));
    });
    return out;
  };
  std::vector<std::string> before = entries();
  // Changing a field the tag names cannot keep it.
  const std::string dbf_before = ReadFileBytes(path), mdx_before = ReadFileBytes(mdx);
  auto refused = RunCommand(Tabla() + " restructure " + ShellQuote(path) + " --modify NOMBRE:NOMBRE:C:30 2>&1");
  EXPECT_NE(refused.status, 0) << refused.out;
  EXPECT_NE(refused.out.find("no sabe calcular"), std::string::npos) << refused.out;
  EXPECT_TRUE(ReadFileBytes(path) == dbf_before);
  EXPECT_TRUE(ReadFileBytes(mdx) == mdx_before);
  // Adding a field and packing keeps it: same keys for the same rows, in the same order, minus the
  // deleted rows.
  auto r = RunCommand(Tabla() + " restructure " + ShellQuote(path) + " --add EXTRA:N:5 --pack 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<std::string> after = entries();
  EXPECT_EQ(after.size(), 270u);
  auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
  EXPECT_EQ(t->RecordCount(), 270u);
  EXPECT_NE(t->Tags()[1].problem, "");
  // Every kept entry is one of the old ones (rows moved up, their contents and keys did not change).
  size_t j = 0;
  for (const auto& e : after) {
    while (j < before.size() && before[j] != e) ++j;
    ASSERT_LT(j, before.size()) << "entry not found in the old order: " << e;
  }
}

}  // namespace
