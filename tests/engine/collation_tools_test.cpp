// Collations end to end: tags rebuilt by a restructure come out in the table's driver order,
// `tabla tags` shows each tag's order and `tabla check` tells sound, foreign-ordered and damaged
// tags apart, with a table without an index checked too.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/collation.h"
#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/engine/mdx_test_rows.h"
#include "tests/support/helpers.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace {

using engine::Collation;
using engine::Value;
using testing_support::RunCommand;
using testing_support::ShellQuote;
using testing_support::TempDir;

using testing_support::Tabla;

const char* const kNames[] = {"zapata", "Ñu",   "Ábalos", "Peña",     "ÁLVAREZ", "Muñoz", "alvarez", "Ébano",
                              "Ávila",  "Olmo", "Ñandú",  "Zapatería", "Álvarez", "Çelik", "Úbeda",   "abad"};

struct Made {
  std::string path;
  int codepage;
};

// A customer table with a tag on NOMBRE, created under a driver, with names that several
// drivers order differently.
Made MakeTable(const TempDir& dir, const std::string& file, int level, int codepage, int ldid,
               const std::string& driver) {
  std::string path = dir / file;
  engine::TableDefinition def;
  def.level = level;
  def.codepage = codepage;
  def.language_driver = ldid;
  def.driver_name = driver;
  using dbase_test::Spec;
  def.fields = {Spec("NOMBRE", bde::fldDBCHAR, 20), Spec("NOTAS", bde::fldDBMEMO)};
  def.tags = {{"NOMBRE", "NOMBRE", "", 'C', false, false}};
  engine::CreateStorage(path, def);
  auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
  for (int round = 0; round < 40; ++round)
    for (const char* n : kNames) {
      std::string buf = t->BlankRecord();
      std::string name = std::string(n) + testing_support::Numbered(" ", round);
      if (!engine::CodePage::Find(codepage)->Encode(name)) continue;  // Á and Ú are not in 437
      t->SetValue(&buf, 0, Value::Text(name));
      t->SetValue(&buf, 1, Value::Text("nota de " + name));
      t->AppendRecord(buf);
    }
  t->Flush();
  return {path, codepage};
}

// The tag's keys as the table's collation orders them, checked pair by pair.
void ExpectWalkInOrder(const std::string& dbf, const Collation& want, const std::string& label) {
  auto t = engine::dbase::Open(dbf, engine::OpenOptions{}, false);
  ASSERT_EQ(t->KeyCollation().name(), want.name()) << label;
  auto w = t->WalkTag("NOMBRE", std::nullopt);
  std::string prev, buf;
  uint64_t r = 0, n = 0;
  while (w->Next(&r)) {
    t->ReadRecord(r, &buf);
    std::string key = buf.substr(1, 20);
    if (n++ > 0) {
      ASSERT_LE(want.Compare(prev, key), 0) << label << ": «" << prev << "» before «" << key << "»";
    }
    prev = key;
  }
  EXPECT_EQ(n, t->RecordCount()) << label;
}

TEST(CollationTools, RebuiltTagsFollowTheTablesDriverAndTablaChecksThem) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  TempDir dir;
  struct Case {
    const char* file;
    int level, codepage, ldid;
    const char* driver;
    const char* want;
  } cases[] = {
      {"ANSI.DBF", 4, 1252, 0x59, "", "DBWINES0"},    {"OEM850.DBF", 4, 850, 0x14, "", "DB850ES0"},
      {"OEM437.DBF", 4, 437, 0x18, "", "DB437ES1"},   {"NIVEL7.DBF", 7, 1252, -1, "DBWINES0", "DBWINES0"},
      {"BINARIO.DBF", 4, 1252, 0x57, "", "DBWINUS0"},
  };
  for (const Case& c : cases) {
    Made m = MakeTable(dir, c.file, c.level, c.codepage, c.ldid, c.driver);
    const Collation& want = *engine::FindCollation(c.want);
    ExpectWalkInOrder(m.path, want, std::string(c.file) + " as created");
    // A wider NOMBRE makes the restructure rebuild the tag from its expression.
    auto r = RunCommand(Tabla() + " restructure " + ShellQuote(m.path) + " --modify NOMBRE:NOMBRE:C:35 2>&1");
    ASSERT_EQ(r.status, 0) << c.file << ": " << r.out;
    ExpectWalkInOrder(m.path, want, std::string(c.file) + " rebuilt");
    auto check = RunCommand(Tabla() + " check " + ShellQuote(m.path) + " 2>&1");
    EXPECT_EQ(check.status, 0) << c.file << ": " << check.out;
    EXPECT_NE(check.out.find("Correcto: 1 etiquetas"), std::string::npos) << check.out;
    auto tags = RunCommand(Tabla() + " tags " + ShellQuote(m.path) + " 2>&1");
    EXPECT_NE(tags.out.find(std::string("[orden ") + c.want + ": confirmado]"), std::string::npos) << tags.out;
  }
}

TEST(CollationTools, TablaCheckTellsAForeignOrderFromDamageAndChecksTablesWithoutIndex) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  TempDir dir;
  // Written in byte order, then the header is made to name the Spanish driver.
  Made m = MakeTable(dir, "CLIENTES.DBF", 4, 1252, 0x57, "");
  std::string bytes = testing_support::ReadFileBytes(m.path);
  bytes[29] = 0x59;
  testing_support::WriteFileBytes(m.path, bytes);
  auto check = RunCommand(Tabla() + " check " + ShellQuote(m.path) + " 2>&1");
  EXPECT_EQ(check.status, 3) << check.out;
  EXPECT_NE(check.out.find("orden distinto del de su idioma (DBWINES0)"), std::string::npos) << check.out;
  EXPECT_EQ(check.out.find("Correcto"), std::string::npos) << check.out;
  auto tags = RunCommand(Tabla() + " tags " + ShellQuote(m.path) + " 2>&1");
  EXPECT_NE(tags.out.find("[orden DBWINES0: sus claves están en otro orden]"), std::string::npos) << tags.out;

  // A damaged row: a memo pointer past the end of the memo file.
  engine::TableDefinition def;
  def.level = 4;
  def.codepage = 1252;
  using dbase_test::Spec;
  def.fields = {Spec("NOMBRE", bde::fldDBCHAR, 10), Spec("NOTAS", bde::fldDBMEMO)};
  std::string plain = dir / "SIN.DBF";
  engine::CreateStorage(plain, def);
  {
    auto t = engine::dbase::Open(plain, engine::OpenOptions{}, false);
    for (const char* n : {"uno", "dos"}) {
      std::string buf = t->BlankRecord();
      t->SetValue(&buf, 0, Value::Text(n));
      t->SetValue(&buf, 1, Value::Text(std::string("memo ") + n));
      t->AppendRecord(buf);
    }
    t->Flush();
  }
  auto sound = RunCommand(Tabla() + " check " + ShellQuote(plain) + " 2>&1");
  EXPECT_EQ(sound.status, 0) << sound.out;
  EXPECT_NE(sound.out.find("Correcto: sin índice de producción, 2 registros."), std::string::npos) << sound.out;
  bytes = testing_support::ReadFileBytes(plain);
  size_t header = static_cast<uint8_t>(bytes[8]) | static_cast<size_t>(static_cast<uint8_t>(bytes[9])) << 8;
  size_t reclen = static_cast<uint8_t>(bytes[10]) | static_cast<size_t>(static_cast<uint8_t>(bytes[11])) << 8;
  bytes.replace(header + reclen + 11, 10, "    999999");
  testing_support::WriteFileBytes(plain, bytes);
  auto damaged = RunCommand(Tabla() + " check " + ShellQuote(plain) + " 2>&1");
  EXPECT_EQ(damaged.status, 1) << damaged.out;
  EXPECT_NE(damaged.out.find("Registro 2, campo NOTAS"), std::string::npos) << damaged.out;
}


// Swaps the record numbers of two entries of the first leaf of the only tag: the keys then
// belong to other rows.
void SwapTwoEntries(const std::string& mdx) {
  std::string bytes = testing_support::ReadFileBytes(mdx);
  uint32_t root = 0, n = 0, right = 0;
  std::memcpy(&root, bytes.data() + 2048, 4);
  size_t node = size_t{root} * 512;
  const size_t item = 24;  // 20-byte key + record number
  for (int depth = 0; depth < 8; ++depth) {
    std::memcpy(&n, bytes.data() + node, 4);
    std::memcpy(&right, bytes.data() + node + 8 + item * n, 4);
    if (right == 0) break;
    uint32_t first = 0;
    std::memcpy(&first, bytes.data() + node + 8, 4);
    node = size_t{first} * 512;
  }
  std::string a = bytes.substr(node + 8, 4), b = bytes.substr(node + 8 + item * 5, 4);
  bytes.replace(node + 8, 4, b);
  bytes.replace(node + 8 + item * 5, 4, a);
  testing_support::WriteFileBytes(mdx, bytes);
}

TEST(CollationTools, ARestructureRebuildsACarriedTagThatIsDamagedOrInAnotherOrderWhenItsOrderIsKnown) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  TempDir dir;
  // Adding a field carries the tag over; a damaged one is built anew in the driver's order.
  Made m = MakeTable(dir, "DANADA.DBF", 4, 1252, 0x59, "");
  std::string mdx = dir / "DANADA.MDX";
  SwapTwoEntries(mdx);
  ASSERT_EQ(RunCommand(Tabla() + " check " + ShellQuote(m.path) + " >/dev/null 2>&1").status, 1);
  auto r = RunCommand(Tabla() + " restructure " + ShellQuote(m.path) + " --add EXTRA:N:5 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  auto check = RunCommand(Tabla() + " check " + ShellQuote(m.path) + " 2>&1");
  EXPECT_EQ(check.status, 0) << check.out;

  // A tag written in byte order by an earlier version, on a Spanish table: rebuilt in Spanish order.
  Made old = MakeTable(dir, "ANTIGUA.DBF", 4, 1252, 0x57, "");
  std::string bytes = testing_support::ReadFileBytes(old.path);
  bytes[29] = 0x59;
  testing_support::WriteFileBytes(old.path, bytes);
  ASSERT_EQ(RunCommand(Tabla() + " check " + ShellQuote(old.path) + " >/dev/null 2>&1").status, 3);
  r = RunCommand(Tabla() + " restructure " + ShellQuote(old.path) + " --add EXTRA:N:5 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  check = RunCommand(Tabla() + " check " + ShellQuote(old.path) + " 2>&1");
  EXPECT_EQ(check.status, 0) << check.out;
  ExpectWalkInOrder(old.path, *engine::FindCollation("DBWINES0"), "ANTIGUA.DBF rebuilt");

  // Under a driver the engine does not know, a damaged tag cannot be rebuilt: refused, unchanged.
  Made unknown = MakeTable(dir, "RARA.DBF", 4, 1252, 0x4D, "");
  std::string rara_mdx = dir / "RARA.MDX";
  SwapTwoEntries(rara_mdx);
  const std::string dbf_before = testing_support::ReadFileBytes(unknown.path);
  const std::string mdx_before = testing_support::ReadFileBytes(rara_mdx);
  r = RunCommand(Tabla() + " restructure " + ShellQuote(unknown.path) + " --add EXTRA:N:5 2>&1");
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Regenere los índices de la tabla en Tribanor"), std::string::npos) << r.out;
  EXPECT_TRUE(testing_support::ReadFileBytes(unknown.path) == dbf_before);
  EXPECT_TRUE(testing_support::ReadFileBytes(rara_mdx) == mdx_before);
}

}  // namespace
