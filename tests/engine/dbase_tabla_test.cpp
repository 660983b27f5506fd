// The `tabla` tool on dBASE tables: info and csv print what the engine reads; a table the engine
// refuses gives its error on standard error and a non-zero exit.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "engine/dbase/dbase.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"

namespace {

using engine::Value;
using testing_support::RunCommand;
using testing_support::ShellQuote;
using testing_support::TempDir;

using testing_support::Tabla;

std::string MakeTable(const TempDir& dir) {
  std::string path = dir / "Clientes.DBF";
  engine::TableDefinition def;
  def.level = 4;
  def.codepage = 850;
  using dbase_test::Spec;
  def.fields = {Spec("NOMBRE", bde::fldDBCHAR, 20), Spec("SALDO", bde::fldDBNUM, 10, 2), Spec("ALTA", bde::fldDBDATE),
                Spec("NOTAS", bde::fldDBMEMO)};
  engine::CreateStorage(path, def);
  auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
  std::string buf = t->BlankRecord();
  t->SetValue(&buf, 0, Value::Text("Muñoz, Ana"));
  t->SetValue(&buf, 1, Value::Number(-12.5, "-12.5"));
  t->SetValue(&buf, 2, Value::Date(engine::DayFromCivil(2023, 4, 1)));
  t->SetValue(&buf, 3, Value::Text("dijo \"hola\"\nadiós"));
  t->AppendRecord(buf);
  buf = t->BlankRecord();
  t->SetValue(&buf, 0, Value::Text("Borrado"));
  t->SetDeleted(t->AppendRecord(buf), true);
  t->Flush();
  return path;
}

TEST(DbaseTabla, InfoAndCsv) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  TempDir dir;
  std::string path = MakeTable(dir);
  auto info = RunCommand(Tabla() + " info " + ShellQuote(path));
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("Tipo: DBASE"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Nivel: 4"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Página de códigos: 850"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Registros: 2"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("SALDO"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find(" N "), std::string::npos) << info.out;

  auto csv = RunCommand(Tabla() + " csv " + ShellQuote(path));
  EXPECT_EQ(csv.status, 0);
  EXPECT_EQ(csv.out,
            "*,NOMBRE,SALDO,ALTA,NOTAS\n"
            ",\"Muñoz, Ana\",-12.5,2023-04-01,\"dijo \"\"hola\"\"\nadiós\"\n"
            "*,Borrado,,,\n");
}

TEST(DbaseTabla, PathWithBackslashesFindsTheMemoFile) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  TempDir dir;
  std::string path = MakeTable(dir);
  std::replace(path.begin(), path.end(), '/', '\\');  // as a Windows user types it
  for (const char* command : {"info", "csv", "check"}) {
    auto r = RunCommand(Tabla() + " " + command + " " + ShellQuote(path) + " 2>&1");
    EXPECT_EQ(r.status, 0) << command << ": " << r.out;
    EXPECT_EQ(r.out.find("(.DBT)"), std::string::npos) << command << ": " << r.out;
  }
}

TEST(DbaseTabla, RefusedTableExitsNonZero) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  TempDir dir;
  std::string path = MakeTable(dir);
  std::string bytes = testing_support::ReadFileBytes(path);
  bytes[15] = 1;  // encrypted
  testing_support::WriteFileBytes(path, bytes);
  auto r = RunCommand(Tabla() + " csv " + ShellQuote(path) + " 2>&1 >/dev/null");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("cifrada"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(path), std::string::npos) << r.out;
  auto bad = RunCommand(Tabla() + " nada " + ShellQuote(path) + " 2>&1");
  EXPECT_NE(bad.status, 0);
  auto other = RunCommand(Tabla() + " info " + ShellQuote(dir / "x.txt") + " 2>&1");
  EXPECT_NE(other.status, 0);
}

// A symbolic link at one of the names the engine writes beside the table (the journal's temporary
// name, the work folder, a new file in it), dangling towards a file outside: `tabla restructure`
// and `tabla check --terminar` refuse, naming it, and nothing outside is created. Symbolic links
// are made with POSIX calls.
#ifndef _WIN32
TEST(DbaseTabla, ALinkAtAWorkNameIsRefusedAndNothingOutsideIsCreated) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  const char* const kLinks[] = {".Clientes.DBF.diario.nuevo", ".Clientes.DBF.diario", ".Clientes.DBT.anterior",
                                ".actualiza-nuevo", ".actualiza-nuevo/Clientes.DBF", ".actualiza-nuevo/Clientes.DBT"};
  for (const char* link : kLinks) {
    for (const char* command : {" restructure ", " check "}) {
      SCOPED_TRACE(std::string(link) + command);
      TempDir dir, outside;
      const std::string path = MakeTable(dir);
      if (std::string(link).find('/') != std::string::npos) std::filesystem::create_directory(dir / ".actualiza-nuevo");
      std::filesystem::create_symlink(outside / "creado", dir / link);
      const auto before = testing_support::Snapshot(dir.path());
      const std::string option = command == std::string(" check ") ? " --terminar" : " --add EXTRA:N:5";
      auto r = RunCommand(Tabla() + command + ShellQuote(path) + option + " 2>&1");
      EXPECT_EQ(r.status, 1) << r.out;
      EXPECT_NE(r.out.find("hay un enlace simbólico con el nombre de uno de los ficheros de trabajo"), std::string::npos)
          << r.out;
      EXPECT_NE(r.out.find("Fichero: " + dir / link), std::string::npos) << r.out;
      EXPECT_TRUE(std::filesystem::is_empty(outside.path()));
      EXPECT_EQ(testing_support::Snapshot(dir.path()), before);
    }
  }
}
#endif

}  // namespace
