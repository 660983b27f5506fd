// A .DBF whose file holds whole records after the ones its header counts (the count lowered by a
// crash or by another program): reading follows the count, as other programs do, but a rebuild
// would drop those rows and their index entries, so `tabla restructure` refuses it with every
// byte unchanged and `tabla check` reports it. The end-of-file mark and bytes short of a record
// are not records; no sample written by another program holds any.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/path.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::RunCommand;
using testing_support::ShellQuote;
using testing_support::Tabla;
using testing_support::WriteFileBytes;

constexpr int kRows = 6;

// T.DBF with a production index on CODIGO and kRows rows, the last one deleted.
std::string MakeTable(const std::string& dir) {
  const std::string path = dir + "/T.DBF";
  engine::TableDefinition def;
  def.level = 4;
  def.codepage = 1252;
  def.fields = {dbase_test::Spec("CODIGO", bde::fldDBCHAR, 6), dbase_test::Spec("SALDO", bde::fldDBNUM, 10, 2)};
  def.tags = {{"CODIGO", "CODIGO", "", 'C', false, false}};
  engine::CreateStorage(path, def);
  auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
  for (int i = 1; i <= kRows; ++i) {
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, engine::Value::Text("C" + std::to_string(i)));
    t->SetValue(&buf, 1, engine::Value::Number(i * 2.5));
    const uint64_t r = t->AppendRecord(buf);
    if (i == kRows) t->SetDeleted(r, true);
  }
  t->Flush();
  return path;
}

struct Case {
  const char* what;
  uint32_t lower_by;     // taken from the header's count
  std::string appended;  // after the file as written (which ends with 0x1A)
  uint64_t past;         // records past the count that must be found
};

TEST(RecordsPastCount, ARebuildRefusesThemWithEveryByteUnchangedAndTheCheckReportsThem) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  const Case cases[] = {
      {"count lowered by one", 1, "", 1},
      {"count lowered by three, a deleted row among them", 3, "", 3},
      {"end mark and bytes short of a record", 0, "junk", 0},
      {"end mark and a record's length of junk", 0, std::string(18, ' '), 0},
      {"no end mark, one blank byte in its place", 0, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::TempDir d;
    const std::string path = MakeTable(d.path());
    std::string bytes = ReadFileBytes(path);
    if (c.appended.empty() && c.past == 0) bytes.back() = ' ';  // the mark replaced
    bytes += c.appended;
    bytes[4] = static_cast<char>(kRows - c.lower_by);
    WriteFileBytes(path, bytes);
    {
      auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
      EXPECT_EQ(t->RecordCount(), kRows - c.lower_by);
      EXPECT_EQ(engine::dbase::RecordsPastCount(*t), c.past);
    }
    const auto before = testing_support::Snapshot(d.path());
    auto r = RunCommand(Tabla() + " restructure " + ShellQuote(path) + " --add EXTRA:N:5 2>&1");
    auto check = RunCommand(Tabla() + " check " + ShellQuote(path) + " 2>&1");
    if (c.past == 0) {
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(check.status, 0) << check.out;
      continue;
    }
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string said = engine::dbase::RecordsPastCountText(c.past, kRows - c.lower_by);
    EXPECT_NE(r.out.find("No se puede reconstruir la tabla: " + said), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Fichero: " + path), std::string::npos) << r.out;
    EXPECT_EQ(testing_support::Snapshot(d.path()), before);
    EXPECT_EQ(check.status, 1) << check.out;
    EXPECT_NE(check.out.find("Registros sin contar: " + said), std::string::npos) << check.out;
  }
  EXPECT_EQ(engine::dbase::RecordsPastCountText(1, 5), "el fichero guarda 1 registro más allá de los 5 que cuenta su cabecera");
  EXPECT_EQ(engine::dbase::RecordsPastCountText(2, 1), "el fichero guarda 2 registros más allá del único que cuenta su cabecera");
  EXPECT_EQ(engine::dbase::RecordsPastCountText(2, 0), "el fichero guarda 2 registros y su cabecera no cuenta ninguno");
}

TEST(RecordsPastCount, NoSampleWrittenByAnotherProgramHoldsAny) {
  const std::string samples = testing_support::SamplesDir();
  if (samples.empty()) GTEST_SKIP() << "no sample folder";
  int read = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(samples)) {
    const std::string path = testing_support::Utf8Path(e.path());
    if (!e.is_regular_file() || engine::UpperExtension(path) != "DBF") continue;
    try {
      auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
      EXPECT_EQ(engine::dbase::RecordsPastCount(*t), 0u) << path;
      ++read;
    } catch (const engine::EngineError&) {
      // Samples of other formats, or without their companions, are refused elsewhere.
    }
  }
  EXPECT_GE(read, 12);
}

}  // namespace
