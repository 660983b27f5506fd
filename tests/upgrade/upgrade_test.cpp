// The upgrade run and its table steps on installations built by the tests.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <map>

#include "app/core/Comprobar.h"
#include "app/core/Contexto.h"
#include "app/core/Copia.h"
#include "app/core/Demo.h"
#include "app/core/Pasos.h"
#include "engine/codepage.h"
#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"
#include "engine/storage.h"
#include "engine/table.h"
#include "tests/support/readers.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/upgrade/ventana.h"

namespace actualiza {
namespace {

namespace fs = std::filesystem;
using engine::TFieldType;
using engine::TTable;
using engine::Value;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;
using testing_support::TempDir;

// Whether a path below the installation is in the copy that the runs keep of what they replace
// (not the installation's tables).
bool EnLaCopia(const fs::path& p, const std::string& dir) {
  return testing_support::Utf8Path(fs::relative(p, dir)).rfind(kCarpetaCopias, 0) == 0;
}

std::map<std::string, Tabla> LeeTodas(const std::string& dir) {
  std::map<std::string, Tabla> out;
  for (auto& e : fs::recursive_directory_iterator(dir)) {
    if (EnLaCopia(e.path(), dir)) continue;
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = static_cast<char>(toupper(c));
    if (ext == ".DBF") out[testing_support::Utf8Path(fs::relative(e.path(), dir))] = Lee(testing_support::Utf8Path(e.path()));
  }
  return out;
}

// The file's identity on its volume: its inode number, or on Windows its file index (stat has no
// inode numbers there). A rebuilt table is a new file.
uint64_t Inodo(const std::string& path) {
#ifdef _WIN32
  std::wstring wide(path.size(), L'\0');
  wide.resize(static_cast<size_t>(
      ::MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(), static_cast<int>(wide.size()))));
  HANDLE h = ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = ::GetFileInformationByHandle(h, &info);
  ::CloseHandle(h);
  return ok ? (static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow) : 0;
#else
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
#endif
}

TEST(Actualizacion, DemoInstallationUpgradedTwiceKeepsEveryValue) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  auto antes = LeeTodas(d.path());
  {
    Ventana v;
    v.Ejecuta(demo.executable);
    // Progress: first the company folder's text, then one repainted text per fiscal year, then blanks.
    ASSERT_FALSE(v.vista.textos.empty());
    EXPECT_EQ(v.vista.textos.front().first, "Actualiza directorio " + d.path() + "/" + std::string(43, ' '));
    EXPECT_FALSE(v.vista.textos.front().second);
    EXPECT_EQ(v.vista.textos.back().first, std::string(46, ' '));
    int repintados = 0;
    for (const auto& [t, r] : v.vista.textos) repintados += r;
    EXPECT_EQ(repintados, demo.fiscal_years);
    EXPECT_EQ(v.vista.textos[1].first, demo.companies[0] + " 2004" + std::string(43, ' '));
    EXPECT_FALSE(v.fichero.Active());
  }
  auto despues = LeeTodas(d.path());
  const std::vector<std::string> diez = {"Iniciales", "1T", "2T", "3T", "4T", "Finales", "Var1T", "Var2T", "Var3T", "Var4T"};
  for (const auto& [nombre, t] : despues) {
    SCOPED_TRACE(nombre);
    std::string base = fs::path(nombre).filename().string();
    if (base == "Clientes.Dbf") {
      const Tabla& a = antes.at(nombre);
      ASSERT_EQ(t.campos.size(), a.campos.size() + 2);
      EXPECT_EQ(t.campos[a.campos.size()], "SA:514:12:2");
      EXPECT_EQ(t.campos[a.campos.size() + 1], "SC:514:12:2");
      // Every live row kept, in order, with the new fields empty; deleted rows purged.
      std::vector<std::string> esperadas;
      for (const auto& f : a.filas)
        if (f[0] != '*') esperadas.push_back(f + "||");
      EXPECT_EQ(t.filas, esperadas);
      auto report = engine::dbase::CheckTableIndexes(d.path() + "/" + nombre);
      EXPECT_TRUE(report.ok());
    } else if (base == "Existencias.dbf") {
      ASSERT_EQ(t.campos.size(), antes.count(nombre) ? antes.at(nombre).campos.size() + 10 : 11u);
      EXPECT_EQ(t.campos[antes.count(nombre) ? 3 : 0], "Criterio:514:1:0");
      for (size_t i = 0; i < 10; ++i) EXPECT_EQ(t.campos[t.campos.size() - 10 + i], diez[i] + ":514:12:2");
      if (antes.count(nombre)) {
        EXPECT_EQ(t.filas.size(), antes.at(nombre).filas.size());
      }
    } else if (base == "Configu.Dbf") {
      EXPECT_EQ(t.campos.back(), "Fondo2:514:9:0");
      for (const auto& f : t.filas) {
        EXPECT_NE(f.find("|14258790|16777215"), std::string::npos) << f;  // Fondo1, Fondo2 defaults
      }
      EXPECT_NE(t.filas[1].find("|Contabilidad|16777215|8388608|"), std::string::npos) << t.filas[1];
      EXPECT_NE(t.filas[2].find("|16777215|128|"), std::string::npos) << t.filas[2];  // kept as stored
    } else {
      EXPECT_EQ(t.campos, antes.at(nombre).campos);  // the lists are never changed
      EXPECT_EQ(t.filas, antes.at(nombre).filas);
    }
  }

  // A second run changes no field and still rebuilds each stock table once.
  std::map<std::string, std::string> bytes;
  std::map<std::string, ino_t> inodos;
  for (const auto& [nombre, t] : despues) {
    std::string p = d.path() + "/" + nombre;
    bytes[nombre] = ReadFileBytes(p);
    inodos[nombre] = Inodo(p);
  }
  {
    Ventana v;
    v.Ejecuta(demo.executable);
  }
  EXPECT_EQ(LeeTodas(d.path()).size(), despues.size());
  for (const auto& [nombre, t] : LeeTodas(d.path())) {
    SCOPED_TRACE(nombre);
    EXPECT_EQ(t.campos, despues.at(nombre).campos);
    EXPECT_EQ(t.filas, despues.at(nombre).filas);
    std::string p = d.path() + "/" + nombre;
    if (fs::path(nombre).filename() == "Existencias.dbf") {
      EXPECT_NE(Inodo(p), inodos[nombre]);  // rebuilt
    } else {
      EXPECT_EQ(ReadFileBytes(p), bytes[nombre]);  // untouched
    }
  }
  EXPECT_TRUE(ComprobarInstalacion(demo.executable).AlDia());
}

TEST(Actualizacion, IndependentReadersAgreeAfterTheUpgrade) {
  if (!testing_support::HaveDbfread() || !testing_support::HaveIndexDump()) GTEST_SKIP() << "dbfread (python3-dbfread) or index_dump (libdbd-xbase-perl) not installed";
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  Ventana v;
  v.Ejecuta(demo.executable);
  for (auto& e : fs::recursive_directory_iterator(d.path())) {
    if ((e.path().filename() != "Clientes.Dbf" && e.path().filename() != "Existencias.dbf" &&
         e.path().filename() != "Configu.Dbf") ||
        EnLaCopia(e.path(), d.path()))
      continue;
    SCOPED_TRACE(e.path().string());
    auto rows = testing_support::DbfreadRecords(testing_support::Utf8Path(e.path()), "cp1252");
    ASSERT_TRUE(rows.has_value());
    Tabla t = Lee(testing_support::Utf8Path(e.path()));
    ASSERT_EQ(rows->size(), t.filas.size());
    for (const auto& r : *rows) EXPECT_EQ(r.find("dbfread failed"), std::string::npos) << r;
    auto dump = testing_support::DbfDump(testing_support::Utf8Path(e.path()));
    ASSERT_TRUE(dump.has_value());
    EXPECT_EQ(std::count(dump->begin(), dump->end(), '\n'), static_cast<long>(t.filas.size()));
    if (e.path().filename() == "Clientes.Dbf") {
      std::string mdx = testing_support::Utf8Path(e.path().parent_path() / "Clientes.MDX");
      auto codes = testing_support::IndexDump(mdx, "CODIGO");
      ASSERT_TRUE(codes.has_value());
      EXPECT_EQ(std::count(codes->begin(), codes->end(), '\n'), static_cast<long>(t.filas.size())) << *codes;
    }
  }
}

// Builds a folder layout with only what a test needs.
struct Instalacion {
  explicit Instalacion(const TempDir& d) : raiz(d.path()) {
    fs::create_directories(raiz + "/General");
    fs::create_directories(raiz + "/Empresa");
    std::ofstream(raiz + "/Tribanor.exe") << "x";
    DemoOptions o;
    o.companies = 0;
  }
  std::string exe() const { return raiz + "/Tribanor.exe"; }
  void Tabla(const std::string& carpeta, const std::string& nombre, std::vector<engine::TFieldDef> campos,
             std::vector<std::map<std::string, Value>> filas = {}) {
    fs::create_directories(raiz + "/" + carpeta);
    TTable t;
    t.SetDatabaseName(raiz + "/" + carpeta);
    t.SetTableName(nombre);
    t.SetTableType(engine::TTableType::ttDBase);
    for (auto& c : campos) t.FieldDefs().AddFieldDef() = c;
    t.CreateTable();
    t.Open();
    for (auto& f : filas) {
      t.Append();
      for (auto& [k, v] : f) t.SetFieldValue(k, v);
      t.Post();
    }
    t.Close();
  }
  void Listas(const std::vector<std::pair<std::string, std::vector<std::string>>>& empresas) {
    // Lists as the demo writes them, with these companies and years.
    TempDir tmp;
    DemoOptions o;
    o.companies = 1;
    o.years_per_company = 0;
    WriteDemoInstallation(tmp.path(), o);
    for (const char* f : {"Empresas.DBF", "Empresas.MDX", "Empresas.DBT", "EJERCICI.DBF", "EJERCICI.MDX"})
      if (fs::exists(tmp.path() + "/General/" + f))
        fs::copy_file(tmp.path() + "/General/" + f, raiz + "/General/" + f, fs::copy_options::overwrite_existing);
    TTable e, j;
    e.SetDatabaseName(raiz + "/General");
    e.SetTableName("Empresas.DBF");
    e.Open();
    while (e.RecordCount() > 0) {
      e.First();
      e.Delete();
    }
    j.SetDatabaseName(raiz + "/General");
    j.SetTableName("EJERCICI.DBF");
    j.Open();
    for (const auto& [nombre, anos] : empresas) {
      e.Append();
      e.SetFieldValue("NOMBRE", Value::Text(nombre));
      e.Post();
      for (const auto& a : anos) {
        j.Append();
        j.SetFieldValue("EJERCICIO", Value::Text(a));
        j.SetFieldValue("EMPRESA", Value::Text(nombre));
        j.Post();
      }
    }
  }
  std::string raiz;
};

engine::TFieldDef C(const std::string& n, int len) { return {n, TFieldType::ftString, len, 0}; }
engine::TFieldDef N(const std::string& n, int w, int d) { return {n, TFieldType::ftBCD, d, w}; }
engine::TFieldDef I(const std::string& n) { return {n, TFieldType::ftInteger, 0, 0}; }

std::vector<std::string> Nombres(const std::string& path) {
  std::vector<std::string> out;
  auto st = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
  for (const auto& f : st->Fields()) out.push_back(f.name);
  return out;
}

TEST(Actualizacion, EmptyCompanyListStillUpgradesTheCompanyFolder) {
  TempDir d;
  Instalacion inst(d);
  inst.Listas({{"Sin Ejercicios S.L.", {}}});
  inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6), N("sa", 12, 2), N("Sc", 12, 2)}, {{{"CODIGO", Value::Text("1")}}});
  inst.Tabla("General", "Configu.Dbf", {N("Color1", 8, 0), N("Color2", 7, 0), N("Fondo1", 8, 0), N("Fondo2", 9, 0)},
             {{{"Color1", Value::Integer(5)}}});
  const std::string clientes = inst.raiz + "/Empresa/Clientes.Dbf", config = inst.raiz + "/General/Configu.Dbf";
  auto clientes_antes = ReadFileBytes(clientes), config_antes = ReadFileBytes(config);
  Ventana v;
  v.Ejecuta(inst.exe());
  // SA and SC exist in another letter case: not rebuilt. All colours exist: no defaults written.
  EXPECT_EQ(ReadFileBytes(clientes), clientes_antes);
  EXPECT_EQ(ReadFileBytes(config), config_antes);
  // The company folder's stock table was created in three stages.
  EXPECT_EQ(Nombres(inst.raiz + "/Empresa/Existencias.dbf"),
            (std::vector<std::string>{"Criterio", "Iniciales", "1T", "2T", "3T", "4T", "Finales", "Var1T", "Var2T",
                                      "Var3T", "Var4T"}));
  // No progress text names the company without fiscal years.
  for (const auto& [t, r] : v.vista.textos) EXPECT_EQ(t.find("Sin Ejercicios"), std::string::npos);
}

TEST(Actualizacion, ConfigurationDefaultsOnlyInTheRunThatAddsAColour) {
  TempDir d;
  Instalacion inst(d);
  inst.Listas({});
  inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6), C("SA", 10)});  // SA as text stays text
  inst.Tabla("General", "Configu.Dbf", {N("Color1", 8, 0), N("Color2", 7, 0), N("Fondo1", 8, 0)},
             {{{"Color1", Value::Integer(1)}}, {{"Color2", Value::Integer(2)}}, {}});
  Ventana v;
  v.Ejecuta(inst.exe());
  Tabla c = Lee(inst.raiz + "/General/Configu.Dbf");
  EXPECT_EQ(c.campos.back(), "Fondo2:514:9:0");
  EXPECT_EQ(c.filas, (std::vector<std::string>{" |1|8388608|14258790|16777215", " |16777215|2|14258790|16777215",
                                               " |16777215|8388608|14258790|16777215"}));
  Tabla cl = Lee(inst.raiz + "/Empresa/Clientes.Dbf");
  EXPECT_EQ(cl.campos, (std::vector<std::string>{"CODIGO:513:6:0", "SA:513:10:0", "SC:514:12:2"}));

  // Empty a colour value by hand: a later run adds nothing, so writes no default.
  {
    TTable t;
    t.SetDatabaseName(inst.raiz + "/General");
    t.SetTableName("Configu.Dbf");
    t.Open();
    t.Edit();
    t.SetFieldValue("Fondo1", Value::Null());
    t.Post();
  }
  Ventana v2;
  v2.Ejecuta(inst.exe());
  EXPECT_EQ(Lee(inst.raiz + "/General/Configu.Dbf").filas[0], " |1|8388608||16777215");
}

TEST(Actualizacion, EmptyConfigurationGainsTheFieldsAndNoRow) {
  TempDir d;
  Instalacion inst(d);
  inst.Listas({});
  inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6)});
  inst.Tabla("General", "Configu.Dbf", {C("USUARIO", 10)});
  Ventana v;
  v.Ejecuta(inst.exe());
  Tabla c = Lee(inst.raiz + "/General/Configu.Dbf");
  EXPECT_EQ(c.campos, (std::vector<std::string>{"USUARIO:513:10:0", "Color1:514:8:0", "Color2:514:7:0",
                                                "Fondo1:514:8:0", "Fondo2:514:9:0"}));
  EXPECT_TRUE(c.filas.empty());
}

TEST(Actualizacion, UnsafeCompanyNamesStopTheRunBeforeAnythingChanges) {
  for (std::string malo : {std::string("../../etc"), std::string("A\\B"), std::string("C:datos"), std::string("Tab\tulada"),
                           std::string(".."), std::string("..."), std::string("NUL.txt"), std::string("a|b")}) {
    TempDir d;
    Instalacion inst(d);
    inst.Listas({{"Buena S.L.", {"2004"}}, {malo, {"2004"}}});
    inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6)});
    inst.Tabla("General", "Configu.Dbf", {C("USUARIO", 10)});
    auto antes = ReadFileBytes(inst.raiz + "/Empresa/Clientes.Dbf");
    Ventana v;
    try {
      v.Ejecuta(inst.exe());
      ADD_FAILURE() << malo << " was accepted";
    } catch (const engine::EDatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find(malo), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFileBytes(inst.raiz + "/Empresa/Clientes.Dbf"), antes);
    EXPECT_FALSE(fs::exists(inst.raiz + "/Empresa/Existencias.dbf"));
  }
}

TEST(Actualizacion, AFailedStepClosesTheWorkTableSoASecondRunStartsClean) {
  TempDir d;
  Instalacion inst(d);
  inst.Listas({});
  inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6)});
  inst.Tabla("General", "Configu.Dbf", {C("USUARIO", 10)}, {{{"USUARIO", Value::Text("x")}}});
  inst.Tabla("Empresa", "Existencias.dbf", {C("ARTICULO", 10)});  // no Criterio
  Ventana v;
  try {
    v.Ejecuta(inst.exe());
    FAIL();
  } catch (const engine::EDatabaseError& e) {
    // Found before the first change: the problem, then the table and the folder of its step.
    EXPECT_EQ(std::string(e.what()),
              "Field index not in range\nFalta el campo Criterio, que la actualización cambia. Recupere la tabla de "
              "una copia de seguridad o pida al servicio técnico que la repare, y vuelva a actualizar; no se ha "
              "modificado ningún fichero.\nTabla: Existencias.dbf\nCarpeta: " +
                  testing_support::SystemSeparators(inst.raiz + "/Empresa"));
  }
  EXPECT_EQ(Nombres(inst.raiz + "/Empresa/Clientes.Dbf").back(), "CODIGO");
  // A step that fails where nothing could foresee it (here when its table is written) closes the
  // work table; the tables upgraded before it stay upgraded.
  fs::remove(inst.raiz + "/Empresa/Existencias.dbf");
  inst.Tabla("Empresa", "Existencias.dbf", {C("ARTICULO", 10), I("Criterio")});
  Verificacion::FijaGancho([](const std::string& fichero) {
    if (fs::path(fichero).filename() == "Existencias.dbf") throw engine::EDatabaseError("Fallo imprevisto");
  });
  try {
    v.Ejecuta(inst.exe());
    ADD_FAILURE() << "the step went through";
  } catch (const engine::EDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Fallo imprevisto\nTabla: Existencias.dbf\nCarpeta: " + testing_support::SystemSeparators(inst.raiz + "/Empresa"));
  }
  Verificacion::FijaGancho({});
  EXPECT_FALSE(v.fichero.Active());
  EXPECT_EQ(Nombres(inst.raiz + "/Empresa/Clientes.Dbf").back(), "SC");
  // After the table is mended, the same window runs again to the end.
  fs::remove(inst.raiz + "/Empresa/Existencias.dbf");
  inst.Tabla("Empresa", "Existencias.dbf", {C("ARTICULO", 10), I("Criterio")}, {{{"Criterio", Value::Integer(3)}}});
  v.Ejecuta(inst.exe());
  Tabla s = Lee(inst.raiz + "/Empresa/Existencias.dbf");
  EXPECT_EQ(s.campos[1], "Criterio:514:1:0");
  EXPECT_EQ(s.filas[0].substr(0, 5), " ||3|");
}

TEST(Actualizacion, AStockTableHeldOpenStopsTheRunAndASecondRunFinishes) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  const std::string held = d.path() + "/Empresas/" + demo.companies[1] + "/Ejercicio2004/Existencias.dbf";
  ASSERT_TRUE(testing_support::FileExists(held)) << held;
  const std::string carpeta = held.substr(0, held.rfind('/'));
  auto antes = LeeTodas(d.path());
  auto other = std::make_unique<testing_support::TableHeldByAnotherProcess>(carpeta,
                                                                            "Existencias.dbf");
  ASSERT_TRUE(other->holding());
  ActualizaHastaTablaOcupada(demo.executable, carpeta);
  // Every table is either upgraded or untouched, never half done.
  for (const auto& [nombre, t] : LeeTodas(d.path())) {
    if (!antes.count(nombre)) continue;  // created by the run: complete by construction
    const Tabla& a = antes.at(nombre);
    bool igual = t.campos == a.campos && t.filas == a.filas;
    bool actualizada = t.campos.size() > a.campos.size() || fs::path(nombre).filename() == "Existencias.dbf";
    EXPECT_TRUE(igual || actualizada) << nombre;
  }
  EXPECT_EQ(other->Release(), 0);
  ActualizaHastaElFinal(demo.executable);
}

// Every file below a folder, with its bytes; the run's (empty) lock file holds no data and is
// left out.
std::map<std::string, std::string> Ficheros(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file() && e.path().filename() != kFicheroBloqueo)
      out[fs::relative(e.path(), dir).string()] = ReadFileBytes(e.path().string());
  return out;
}

// The files that were added, removed or changed between two readings of a folder.
std::vector<std::string> Cambiados(const std::map<std::string, std::string>& antes,
                                   const std::map<std::string, std::string>& despues) {
  std::vector<std::string> out;
  for (const auto& [nombre, bytes] : antes) {
    auto it = despues.find(nombre);
    if (it == despues.end() || it->second != bytes) out.push_back(nombre);
  }
  for (const auto& [nombre, bytes] : despues)
    if (!antes.count(nombre)) out.push_back(nombre);
  return out;
}

#ifdef _WIN32
// Windows only (elsewhere an open without a lock keeps nobody out): another program holds a stock
// table's file open the way the host application does, shared for reading and writing and with
// no lock. The run stops at that table with the in-use error, and the table's files are left
// byte for byte as they were; once the program lets go, a second run finishes.
TEST(Actualizacion, AStockTableOpenWithoutLockStopsTheRunAndIsLeftAsItWas) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  const std::string carpeta = d.path() + "/Empresas/" + demo.companies[1] + "/Ejercicio2004";
  const std::string held = carpeta + "/Existencias.dbf";
  ASSERT_TRUE(testing_support::FileExists(held)) << held;
  auto familia = [&] {
    std::map<std::string, std::string> out;
    for (const auto& [nombre, bytes] : testing_support::Snapshot(carpeta))
      if (engine::FoldCase(fs::path(nombre).stem().string()) == engine::FoldCase("Existencias")) out[nombre] = bytes;
    return out;
  };
  const auto antes = familia();
  ASSERT_GE(antes.size(), 1u);
  auto other = testing_support::TableHeldByAnotherProcess::OpenWithoutLock(held);
  ASSERT_TRUE(other->holding());
  ActualizaHastaTablaOcupada(demo.executable, carpeta);
  EXPECT_EQ(familia(), antes);
  EXPECT_EQ(other->Release(), 0);
  ActualizaHastaElFinal(demo.executable);
  EXPECT_NE(familia(), antes);
}
#endif

// Gives the first live fiscal-year row of `empresa` and `ejercicio` the company `nueva`, writing
// the table file's bytes directly: EJERCICI.MDX keeps the row under its old key, as an index that
// our engine does not read the way it was written would.
void CambiaEmpresaSinIndice(const std::string& dbf, const std::string& empresa, const std::string& ejercicio,
                            const std::string& nueva) {
  std::string buf;
  uint64_t recno = 0;
  {
    auto st = engine::OpenStorage(dbf, engine::TableFormat::kDbase, {false, true});
    int campo_empresa = -1, campo_ejercicio = -1;
    for (size_t i = 0; i < st->Fields().size(); ++i) {
      if (st->Fields()[i].name == "EMPRESA") campo_empresa = static_cast<int>(i);
      if (st->Fields()[i].name == "EJERCICIO") campo_ejercicio = static_cast<int>(i);
    }
    ASSERT_GE(campo_empresa, 0);
    ASSERT_GE(campo_ejercicio, 0);
    for (uint64_t r = 1; r <= st->RecordCount() && !recno; ++r) {
      st->ReadRecord(r, &buf);
      if (!st->IsDeleted(buf) && st->GetValue(buf, campo_empresa).s == empresa &&
          st->GetValue(buf, campo_ejercicio).s == ejercicio)
        recno = r;
    }
    ASSERT_NE(recno, 0u) << empresa << " " << ejercicio;
    st->SetValue(&buf, campo_empresa, Value::Text(nueva));
  }
  std::string bytes = ReadFileBytes(dbf);
  const size_t cabecera = static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
  bytes.replace(cabecera + (recno - 1) * buf.size(), buf.size(), buf);
  WriteFileBytes(dbf, bytes);
}

// Adds a fiscal-year row through the engine, so that the index holds it under its own key.
void AnadeEjercicio(const std::string& general, const std::string& empresa, const std::string& ejercicio) {
  TTable t;
  t.SetDatabaseName(general);
  t.SetTableName("EJERCICI.DBF");
  t.Open();
  t.Append();
  t.SetFieldValue("EJERCICIO", Value::Text(ejercicio));
  t.SetFieldValue("EMPRESA", Value::Text(empresa));
  t.Post();
}

TEST(Actualizacion, FiscalYearsTheIndexDoesNotGiveStopTheRunBeforeAnythingChanges) {
  const std::string kSinEmpresa = "Sin Empresa, S.L.";
  struct Caso {
    std::string empresa, ejercicio, nueva;  // the row whose company is rewritten behind the index
    std::string nombrada;                   // the company the message must name
    std::string detalle;                    // what the message must say of its fiscal years
  };
  // The demo's companies in NOMBRE order: Bodegas Peñalba, Cooperativa Nuestra Señora, Hermanos
  // Muñoz Ibáñez (no fiscal years) and Viñedos del Duero, each other with 2004, 2003 and 2002.
  const std::vector<Caso> casos = {
      // A row of no company now names one: the index does not give it to her.
      {kSinEmpresa, "1999", "Bodegas Peñalba, S.L.", "Bodegas Peñalba, S.L.",
       "tiene 4 ejercicios en EJERCICI.DBF, pero el índice EMPRESA de EJERCICI.MDX solo da 3: falta "
       "el ejercicio «1999»."},
      // The same year twice: the sets agree, the counts do not.
      {"Cooperativa Nuestra Señora", "2004", "Bodegas Peñalba, S.L.", "Bodegas Peñalba, S.L.",
       "tiene 4 ejercicios en EJERCICI.DBF, pero el índice EMPRESA de EJERCICI.MDX solo da 3: falta "
       "el ejercicio «2004»."},
      // A company without fiscal years in the index.
      {kSinEmpresa, "1999", "Hermanos Muñoz Ibáñez", "Hermanos Muñoz Ibáñez",
       "tiene 1 ejercicio en EJERCICI.DBF, pero el índice EMPRESA de EJERCICI.MDX solo da 0: falta el "
       "ejercicio «1999»."},
      // The index gives a company a row that is no longer hers.
      {"Viñedos del Duero, S.A.", "2003", kSinEmpresa, "Viñedos del Duero, S.A.",
       "tiene 2 ejercicios en EJERCICI.DBF, pero el índice EMPRESA de EJERCICI.MDX da 3: el ejercicio "
       "«2003» no es suyo."},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.empresa + " " + c.ejercicio + " -> " + c.nueva);
    TempDir d;
    DemoSummary demo = WriteDemoInstallation(d.path(), {});
    const std::string general = d.path() + "/General";
    AnadeEjercicio(general, kSinEmpresa, "1999");
    // A fiscal year of no company is simply not visited.
    EXPECT_TRUE(ComprobarInstalacion(demo.executable).problemas.empty());
    ASSERT_NO_FATAL_FAILURE(CambiaEmpresaSinIndice(general + "/EJERCICI.DBF", c.empresa, c.ejercicio, c.nueva));
    const auto antes = Ficheros(d.path());

    Ventana v;
    std::string mensaje;
    try {
      v.Ejecuta(demo.executable);
      ADD_FAILURE() << "the run must stop";
    } catch (const engine::EDatabaseError& e) {
      mensaje = e.what();
    }
    EXPECT_EQ(mensaje.rfind("La empresa «" + c.nombrada + "» " + c.detalle, 0), 0u) << mensaje;
    EXPECT_NE(mensaje.find("Regenere los índices de EJERCICI.DBF en Tribanor"), std::string::npos) << mensaje;
    EXPECT_NE(mensaje.find("no se ha modificado ningún fichero."), std::string::npos) << mensaje;
    EXPECT_TRUE(v.vista.textos.empty());  // no step ran
    EXPECT_EQ(Cambiados(antes, Ficheros(d.path())), std::vector<std::string>{});
    // Below it, the table and the folder of the installation, in this system's separators.
    const MensajeConContexto partes = SeparaContexto(mensaje);
    EXPECT_EQ(partes.contexto, (std::vector<std::string>{"Tabla: EJERCICI.DBF", "Carpeta: " + ConSeparadoresDelSistema(general)}));

    // The check without the run says the same, as something that would stop the upgrade.
    Comprobacion comprobacion = ComprobarInstalacion(demo.executable);
    ASSERT_EQ(comprobacion.problemas.size(), 1u);
    EXPECT_EQ(MensajeDeParada(comprobacion), mensaje);
    EXPECT_TRUE(comprobacion.HayProblemas());
#ifndef _WIN32
    // (The command line goes through /bin/sh.)
    auto r = testing_support::RunCommand(testing_support::ShellQuote(ACTUALIZA_TRIBANOR) + " --comprobar " +
                                         testing_support::ShellQuote(d.path()));
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("PROBLEMA: " + SeparaContexto(comprobacion.problemas[0]).texto + "\n"), std::string::npos)
        << r.out;
#endif
    EXPECT_EQ(Cambiados(antes, Ficheros(d.path())), std::vector<std::string>{});
  }
}

TEST(Actualizacion, FiscalYearsOfNoCompanyAndDeletedOnesLeaveTheWalkComplete) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  const std::string general = d.path() + "/General";
  AnadeEjercicio(general, "Sin Empresa, S.L.", "1999");
  AnadeEjercicio(general, "", "1998");
  // A deleted fiscal year is no fiscal year, for the link as for a plain read.
  {
    TTable t;
    t.SetDatabaseName(general);
    t.SetTableName("EJERCICI.DBF");
    t.Open();
    for (t.First(); !t.Eof(); t.Next())
      if (t.FieldByName("EMPRESA")->AsString() == "Bodegas Peñalba, S.L." && t.FieldByName("EJERCICIO")->AsString() == "2002")
        break;
    ASSERT_FALSE(t.Eof());
    t.Delete();
  }
  EXPECT_TRUE(ComprobarInstalacion(demo.executable).problemas.empty());
  const std::string borrado = d.path() + "/Empresas/Bodegas Peñalba, S.L./Ejercicio2002/Clientes.Dbf";
  const std::string clientes_borrado = ReadFileBytes(borrado);
  std::vector<std::string> visitados;
  Ventana v;
  Pasos(v.Objs(), v.vista).Ejecuta(demo.executable, [&](const std::string& empresa, const std::string& ejercicio, int n, int total) {
    visitados.push_back(empresa + " " + ejercicio);
    EXPECT_EQ(n, static_cast<int>(visitados.size()));
    EXPECT_EQ(total, demo.fiscal_years - 1);
  });
  EXPECT_EQ(visitados.size(), static_cast<size_t>(demo.fiscal_years - 1));
  for (const auto& x : visitados) EXPECT_NE(x, "Bodegas Peñalba, S.L. 2002");
  EXPECT_EQ(ReadFileBytes(borrado), clientes_borrado);
  EXPECT_TRUE(ComprobarInstalacion(demo.executable).AlDia());
}

// Names are used as they stand; each folder is found as Windows stored it: without the trailing
// dots and blanks of its name. A blank fiscal year names the folder "Ejercicio".
TEST(Actualizacion, CompanyNamesAndFiscalYearsAreFoundAsWindowsStoredTheirFolders) {
  TempDir d;
  Instalacion inst(d);
  inst.Listas({{"Foo S.L..", {"2004"}}, {"O'Donnell", {"2004"}}, {"  Espacios", {"2004"}}, {"Blanco", {""}}});
  inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6)});
  inst.Tabla("General", "Configu.Dbf", {C("USUARIO", 10)});
  const std::vector<std::string> carpetas = {"Empresas/Foo S.L/Ejercicio2004", "Empresas/O'Donnell/Ejercicio2004",
                                             "Empresas/  Espacios/Ejercicio2004", "Empresas/Blanco/Ejercicio"};
  for (const auto& c : carpetas) inst.Tabla(c, "Clientes.Dbf", {C("CODIGO", 6)}, {{{"CODIGO", Value::Text("7")}}});
  Ventana v;
  v.Ejecuta(inst.exe());
  for (const auto& c : carpetas) {
    SCOPED_TRACE(c);
    Tabla cl = Lee(inst.raiz + "/" + c + "/Clientes.Dbf");
    EXPECT_EQ(cl.campos, (std::vector<std::string>{"CODIGO:513:6:0", "SA:514:12:2", "SC:514:12:2"}));
    EXPECT_EQ(cl.filas.size(), 1u);
    EXPECT_EQ(Nombres(inst.raiz + "/" + c + "/Existencias.dbf").size(), 11u);
  }
  // No folder was made under the name as it stands, and the progress named it as it stands.
#ifndef _WIN32
  // (On Windows that name is the folder "Foo S.L" itself.)
  EXPECT_FALSE(fs::exists(inst.raiz + "/Empresas/Foo S.L.."));
#endif
  std::vector<std::string> textos;
  for (const auto& [t, repintar] : v.vista.textos) textos.push_back(t);
  EXPECT_NE(std::find(textos.begin(), textos.end(), "  Espacios 2004" + k43Blancos), textos.end());
  EXPECT_NE(std::find(textos.begin(), textos.end(), "Foo S.L.. 2004" + k43Blancos), textos.end());
  EXPECT_TRUE(ComprobarInstalacion(inst.exe()).AlDia());
}

// A blank fiscal year without its folder stops the run before its first change, naming that
// folder and the table its first step there would have worked on.
TEST(Actualizacion, ABlankFiscalYearWithoutItsFolderStopsTheRunThere) {
  TempDir d;
  Instalacion inst(d);
  inst.Listas({{"Blanco", {""}}});
  inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6)});
  inst.Tabla("General", "Configu.Dbf", {C("USUARIO", 10)});
  fs::create_directories(inst.raiz + "/Empresas/Blanco/Ejercicio2004");  // another year's folder
  Ventana v;
  try {
    v.Ejecuta(inst.exe());
    ADD_FAILURE() << "the run must stop";
  } catch (const engine::EDatabaseError& e) {
    const std::string m = e.what();
    const std::string fin = "\nTabla: Existencias.dbf\nCarpeta: " +
                            testing_support::SystemSeparators(inst.raiz + "/Empresas/Blanco/Ejercicio");
    ASSERT_GE(m.size(), fin.size()) << m;
    EXPECT_EQ(m.substr(m.size() - fin.size()), fin) << m;
  }
  // Nothing was done.
  EXPECT_EQ(Nombres(inst.raiz + "/Empresa/Clientes.Dbf").back(), "CODIGO");
  EXPECT_FALSE(fs::exists(inst.raiz + "/Empresas/Blanco/Ejercicio2004/Existencias.dbf"));
}

// A company whose folder would lie outside "Empresas" is refused before any table is touched,
// even where a folder of that name exists to be upgraded.
TEST(Actualizacion, ACompanyNamedOutsideItsFolderIsRefusedAndNothingChanges) {
  for (std::string malo : {std::string("..\\fuera"), std::string("../fuera")}) {
    SCOPED_TRACE(malo);
    TempDir d;
    Instalacion inst(d);
    inst.Listas({{"Buena S.L.", {"2004"}}, {malo, {"2004"}}});
    inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6)});
    inst.Tabla("General", "Configu.Dbf", {C("USUARIO", 10)});
    inst.Tabla("Empresas/Buena S.L./Ejercicio2004", "Clientes.Dbf", {C("CODIGO", 6)});
    inst.Tabla("fuera/Ejercicio2004", "Clientes.Dbf", {C("CODIGO", 6)});
    const auto antes = Ficheros(inst.raiz);
    Ventana v;
    try {
      v.Ejecuta(inst.exe());
      ADD_FAILURE() << "the run must stop";
    } catch (const engine::EDatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find("«" + malo + "»"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("no se ha modificado ningún fichero"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(v.vista.textos.empty());
    EXPECT_EQ(Cambiados(antes, Ficheros(inst.raiz)), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace actualiza
