// Steps that a crash cannot leave half done: the configuration table gains its colours and their
// defaults in one rebuild, a missing stock table is created whole or not at all, and a stock
// table of no bytes (left by an older version) is made again.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/core/Demo.h"
#include "engine/table.h"
#include "tests/support/fault_fs.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"
#include "tests/upgrade/ventana.h"

namespace actualiza {
namespace {

namespace fs = std::filesystem;
using testing_support::FaultInjectionFileSystem;
using testing_support::ScopedFileSystem;
using testing_support::TempDir;

// A small installation, written once and copied for every attempt.
class Semilla {
 public:
  Semilla() {
    DemoOptions o;
    o.companies = 1;
    o.years_per_company = 1;
    o.customers = 3;
    o.stock_rows = 3;
    WriteDemoInstallation(dir_.path(), o);
  }
  void CopiaEn(const std::string& to) const { fs::copy(dir_.path(), to, fs::copy_options::recursive); }

 private:
  TempDir dir_;
};

// Runs one step of the upgrade on the installation at `raiz`.
void Paso(const std::string& raiz, void (Pasos::*paso)(), const std::string& carpeta_fichero = "") {
  Ventana v;
  v.ruta = raiz + "/";
  if (!carpeta_fichero.empty()) {
    v.fichero.SetDatabaseName(raiz + "/" + carpeta_fichero);
    v.fichero.SetTableName("Existencias.dbf");
  }
  (Pasos(v.Objs(), v.vista).*paso)();
}

// The table as the next open finds it (an interrupted swap finished first).
Tabla Abierta(const std::string& path) {
  engine::TTable t;
  t.SetDatabaseName(fs::path(path).parent_path().string());
  t.SetTableName(fs::path(path).filename().string());
  t.Open();
  t.Close();
  return Lee(path);
}

// How many of the four colour fields are empty in a row.
int ColoresVacios(const Tabla& t, const std::string& fila) {
  std::vector<std::string> valores;
  size_t from = 2;  // after the deletion mark and its separator
  for (size_t bar; (bar = fila.find('|', from)) != std::string::npos; from = bar + 1)
    valores.push_back(fila.substr(from, bar - from));
  valores.push_back(fila.substr(from));
  int vacios = 0;
  for (size_t i = 0; i < t.campos.size() && i < valores.size(); ++i)
    for (const char* c : {"Color1:", "Color2:", "Fondo1:", "Fondo2:"})
      if (t.campos[i].rfind(c, 0) == 0 && valores[i].empty()) ++vacios;
  return vacios;
}

// Counts the mutating operations of a step on a fresh copy.
uint64_t Operaciones(const Semilla& s, const std::function<void(const std::string&)>& prepara,
                     const std::function<void(const std::string&)>& paso) {
  TempDir d;
  const std::string raiz = d / "i";
  s.CopiaEn(raiz);
  prepara(raiz);
  FaultInjectionFileSystem contando;
  ScopedFileSystem usa(&contando);
  paso(raiz);
  return contando.mutating_ops();
}

// A crash at every operation of the configuration step: the table is either as it was or has
// its four colours with every empty one filled, never the new fields without their defaults. A
// run afterwards ends with the same table as an uninterrupted one.
TEST(PasosAtomicos, ConfigurationColoursAndTheirDefaultsArriveTogether) {
  Semilla s;
  auto nada = [](const std::string&) {};
  auto paso = [](const std::string& raiz) { Paso(raiz, &Pasos::ModificaGeneral); };
  Tabla antes, despues;
  {
    TempDir d;
    s.CopiaEn(d / "i");
    antes = Lee(d / "i/General/Configu.Dbf");
    paso(d / "i");
    despues = Lee(d / "i/General/Configu.Dbf");
    ASSERT_EQ(despues.campos.size(), antes.campos.size() + 2);
    ASSERT_FALSE(despues.filas.empty());
    for (const std::string& fila : despues.filas) EXPECT_EQ(ColoresVacios(despues, fila), 0) << fila;
  }
  const uint64_t total = Operaciones(s, nada, paso);
  int viejas = 0, nuevas = 0;
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE(testing_support::Numbered("crash at operation ", n) + testing_support::Numbered(" of ", total));
    TempDir d;
    const std::string raiz = d / "i";
    s.CopiaEn(raiz);
    {
      FaultInjectionFileSystem f;
      ScopedFileSystem usa(&f);
      f.CrashAt(n);
      EXPECT_THROW(paso(raiz), std::exception);
    }
    Tabla t = Abierta(raiz + "/General/Configu.Dbf");
    bool vieja = t.campos == antes.campos && t.filas == antes.filas;
    bool nueva = t.campos == despues.campos && t.filas == despues.filas;
    EXPECT_TRUE(vieja || nueva) << (t.filas.empty() ? "" : t.filas[0]);
    viejas += vieja;
    nuevas += nueva;
    paso(raiz);
    t = Lee(raiz + "/General/Configu.Dbf");
    EXPECT_EQ(t.campos, despues.campos);
    EXPECT_EQ(t.filas, despues.filas);
  }
  EXPECT_GT(viejas, 0);
  EXPECT_GT(nuevas, 0);
}

// A crash at every operation of the stock step where the table is missing: afterwards there is
// no stock table or a whole one (never a short or empty file that stops every later run), and
// the next run completes it.
TEST(PasosAtomicos, AMissingStockTableIsCreatedWholeOrNotAtAll) {
  Semilla s;
  auto quita = [](const std::string& raiz) { fs::remove(raiz + "/Empresa/Existencias.dbf"); };
  auto paso = [](const std::string& raiz) { Paso(raiz, &Pasos::CreaFicheroExistencias, "Empresa"); };
  Tabla completa;
  {
    TempDir d;
    s.CopiaEn(d / "i");
    quita(d / "i");
    paso(d / "i");
    completa = Lee(d / "i/Empresa/Existencias.dbf");
    ASSERT_EQ(completa.campos.size(), 11u);
  }
  const uint64_t total = Operaciones(s, quita, paso);
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE(testing_support::Numbered("crash at operation ", n) + testing_support::Numbered(" of ", total));
    TempDir d;
    const std::string raiz = d / "i";
    s.CopiaEn(raiz);
    quita(raiz);
    {
      FaultInjectionFileSystem f;
      ScopedFileSystem usa(&f);
      f.CrashAt(n);
      EXPECT_THROW(paso(raiz), std::exception);
    }
    engine::TTable t;
    t.SetDatabaseName(raiz + "/Empresa");
    t.SetTableName("Existencias.dbf");
    if (t.Exists()) {
      t.Open();  // whole: it opens, with its Criterio field
      EXPECT_NE(t.FindField("Criterio"), nullptr);
      EXPECT_EQ(t.RecordCount(), 0);
      t.Close();
    } else {
      EXPECT_FALSE(fs::exists(raiz + "/Empresa/Existencias.dbf"));
    }
    paso(raiz);
    Tabla fin = Lee(raiz + "/Empresa/Existencias.dbf");
    EXPECT_EQ(fin.campos, completa.campos);
    EXPECT_TRUE(fin.filas.empty());
  }
}

// A stock table file of no bytes where the run would create one holds no data: the check says
// that it will be made again, and the run makes it again, says so (naming its folder with the
// platform's separators only), and goes on.
TEST(PasosAtomicos, AStockTableOfNoBytesIsMadeAgainAndTheRunSaysSo) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  // Paths as the system takes them (a company's folder has letters beyond ASCII).
  std::vector<fs::path> vacias = {fs::path(d.path()) / "Empresa" / "Existencias.dbf"};
  for (const auto& e : fs::recursive_directory_iterator(fs::path(d.path()) / "Empresas"))
    if (e.path().filename() == "Existencias.dbf" && vacias.size() < 2) vacias.push_back(e.path());
  ASSERT_EQ(vacias.size(), 2u);
  for (const auto& v : vacias) fs::resize_file(v, 0);
  int dichas = 0;
  for (const auto& t : ComprobarInstalacion(demo.executable).tablas) {
    if (t.tabla.find("Existencias.dbf") == std::string::npos || t.cambios.empty()) continue;
    EXPECT_TRUE(t.problemas.empty()) << t.tabla << ": " << t.problemas[0];
    dichas += t.cambios[0].find("la tabla está vacía (0 bytes, sin datos): se volverá a crear") == 0;
  }
  EXPECT_EQ(dichas, 2);
  Ventana v;
  v.Ejecuta(demo.executable);
  ASSERT_EQ(v.vista.avisos.size(), 2u);
  for (const auto& aviso : v.vista.avisos) {
    EXPECT_NE(aviso.find("Existencias.dbf"), std::string::npos) << aviso;
    EXPECT_NE(aviso.find("0 bytes"), std::string::npos) << aviso;
    EXPECT_TRUE(aviso.find('/') == std::string::npos || aviso.find('\\') == std::string::npos) << aviso;
  }
  const std::string ejercicio = testing_support::SystemSeparators("/Empresas/");
  EXPECT_NE((v.vista.avisos[0] + v.vista.avisos[1]).find(ejercicio), std::string::npos) << v.vista.avisos[0];
  for (const auto& vacia : vacias) EXPECT_EQ(Lee(testing_support::Utf8Path(vacia)).campos.size(), 11u);
  EXPECT_TRUE(ComprobarInstalacion(demo.executable).AlDia());
}

}  // namespace
}  // namespace actualiza
