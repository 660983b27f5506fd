// The check of an installation changes nothing: it opens for reading only, reports a restructure
// that a crash interrupted instead of finishing it, and works where nothing can be written. The
// demo installation is never written over another folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/core/Bloqueo.h"
#include "app/core/Comprobar.h"
#include "app/core/ComprobarTabla.h"
#include "app/core/Demo.h"
#include "engine/path.h"
#include "engine/swap.h"
#include "tests/support/fault_fs.h"
#include "tests/support/forwarding_fs.h"
#include "tests/support/temp_dir.h"
#include "tests/upgrade/ventana.h"

namespace actualiza {
namespace {

namespace fs = std::filesystem;
using testing_support::Snapshot;
using testing_support::TempDir;

// Every table's state as one text, to compare two checks.
std::string Texto(const Comprobacion& c) {
  std::string s;
  for (const auto& p : c.problemas) s += "PROBLEMA " + p + "\n";
  for (const auto& t : c.tablas) {
    s += t.tabla + "\n";
    for (const auto& x : t.cambios) s += "  " + x + "\n";
    for (const auto& x : t.problemas) s += "  PROBLEMA " + x + "\n";
  }
  return s;
}

// Leaves the customer table of the company folder with a committed, unfinished swap: the upgrade
// step crashes at the first operation after which the journal stands.
void InterrumpeClientes(const std::string& raiz) {
  const std::string tabla = raiz + "/Empresa/Clientes.Dbf";
  for (uint64_t n = 1; n < 1000; ++n) {
    const std::string copia = raiz + ".copia";
    fs::copy(raiz + "/Empresa", copia, fs::copy_options::recursive);
    {
      testing_support::FaultInjectionFileSystem f;
      testing_support::ScopedFileSystem usa(&f);
      f.CrashAt(n);
      Ventana v;
      v.ruta = raiz + "/";
      try {
        Pasos(v.Objs(), v.vista).ModificaEmpresa();
      } catch (const std::exception&) {
      }
    }
    if (engine::SwapPending(tabla)) {
      fs::remove_all(copia);
      return;
    }
    fs::remove_all(raiz + "/Empresa");
    fs::rename(copia, raiz + "/Empresa");
  }
  FAIL() << "no crash left the swap committed";
}

TEST(Comprobacion, ReportsAnInterruptedSwapAndChangesNothingEvenOnReadOnlyMedia) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d / "i", {});
  InterrumpeClientes(d / "i");
  auto antes = Contenido(d / "i");
  Comprobacion solo_lectura;
  {
    testing_support::ReadOnlyFileSystem ro;
    testing_support::ScopedFileSystem usa(&ro);
    solo_lectura = ComprobarInstalacion(demo.executable);
  }
  EXPECT_EQ(Snapshot(d / "i"), antes);  // not even the lock file
  Comprobacion c = ComprobarInstalacion(demo.executable);
  EXPECT_EQ(Contenido(d / "i"), antes);
  EXPECT_EQ(Texto(solo_lectura), Texto(c));
  EXPECT_FALSE(c.HayProblemas()) << Texto(c);
  ASSERT_FALSE(c.tablas.empty());
  EXPECT_EQ(c.tablas[0].tabla, "Empresa/Clientes.Dbf");
  ASSERT_EQ(c.tablas[0].cambios.size(), 1u) << Texto(c);
  EXPECT_NE(c.tablas[0].cambios[0].find("se completará al actualizar"), std::string::npos);
  // The other tables are read as usual.
  EXPECT_NE(Texto(c).find("General/Configu.Dbf\n  añadir Fondo1"), std::string::npos) << Texto(c);
  // The upgrade finishes the swap and the rest.
  ActualizaHastaElFinal(demo.executable);
}

// A journal that the upgrade could not finish (damaged, naming another table's files, not a
// regular file) is reported as a problem that stops the run, never as a change to come.
TEST(Comprobacion, AJournalThatCannotBeFinishedIsAProblemNotAChange) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d / "i", {});
  InterrumpeClientes(d / "i");
  const std::string diario = engine::SwapJournalPath(d / "i/Empresa/Clientes.Dbf");
  const std::pair<const char*, const char*> casos[] = {
      {"basura", "el diario está dañado"},
      {"ACTUALIZA-SWAP 2\nOtra.Dbf\tOtra.Dbf\nend\n", "el diario nombra ficheros que no son de esta tabla"},
      {nullptr, "el diario no es un fichero normal"},  // a folder in its place
  };
  for (const auto& [texto, dicho] : casos) {
    SCOPED_TRACE(dicho);
    fs::remove_all(diario);
    if (texto)
      testing_support::WriteFileBytes(diario, texto);
    else
      fs::create_directory(diario);
    Comprobacion c = ComprobarInstalacion(demo.executable);
    ASSERT_FALSE(c.tablas.empty());
    EXPECT_TRUE(c.tablas[0].cambios.empty()) << Texto(c);
    ASSERT_EQ(c.tablas[0].problemas.size(), 1u) << Texto(c);
    EXPECT_NE(c.tablas[0].problemas[0].find(std::string("no se puede terminar (") + dicho), std::string::npos)
        << Texto(c);
    EXPECT_NE(c.tablas[0].problemas[0].find("no se ha tocado ningún fichero"), std::string::npos);
  }
}

// Rows past the header's count: the check reports them and the upgrade stops before its first
// change with the check's words, every byte of the table unchanged.
TEST(Comprobacion, RowsPastTheCountAreReportedAndTheUpgradeLeavesTheTableUntouched) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d / "i", {});
  const std::string tabla = d / "i/Empresa/Clientes.Dbf";
  std::string bytes = testing_support::ReadFileBytes(tabla);
  const uint32_t contados = static_cast<uint8_t>(bytes[4]) | static_cast<uint8_t>(bytes[5]) << 8;
  ASSERT_GT(contados, 1u);
  bytes[4] = static_cast<char>((contados - 1) & 0xFF);
  bytes[5] = static_cast<char>((contados - 1) >> 8);
  testing_support::WriteFileBytes(tabla, bytes);
  Comprobacion c = ComprobarInstalacion(demo.executable);
  ASSERT_FALSE(c.tablas.empty());
  EXPECT_EQ(c.tablas[0].tabla, "Empresa/Clientes.Dbf");
  ASSERT_EQ(c.tablas[0].problemas.size(), 1u) << Texto(c);
  EXPECT_EQ(c.tablas[0].problemas[0].find("el fichero guarda 1 registro más allá de los " + std::to_string(contados - 1) +
                                          " que cuenta su cabecera; la tabla está dañada"),
            0u)
      << Texto(c);
  auto antes = Snapshot(d / "i/Empresa");
  Ventana v;
  try {
    v.Ejecuta(demo.executable);
    ADD_FAILURE() << "the upgrade rebuilt a table with rows past its count";
  } catch (const std::exception& e) {
    const std::string m = e.what();
    EXPECT_EQ(m.find("el fichero guarda 1 registro más allá"), 0u) << m;
    EXPECT_NE(m.find("no se ha modificado ningún fichero"), std::string::npos) << m;
  }
  auto despues = Snapshot(d / "i/Empresa");
  for (const char* f : {"Clientes.Dbf", "Clientes.mdx", "Clientes.MDX", "Clientes.dbt", "Clientes.DBT"})
    EXPECT_EQ(despues[f], antes[f]) << f;
  EXPECT_EQ(testing_support::ReadFileBytes(tabla), bytes);
}

// The step opens the table, its memo file and its index exclusively: the check finds the table
// held when another program holds any one of them, whatever the letter case of their names.
TEST(Comprobacion, ATableIsHeldWhenItsFileItsMemoOrItsIndexIs) {
  struct Caso {
    const char* nombre;
    std::string retenido;  // held by another program, named in any letter case ("": nothing)
    bool esperado;
  };
  const std::vector<Caso> casos = {
      {"nothing held", "", false},
      {"the table", "clientes.dbf", true},
      {"its memo file", "clientes.dbt", true},
      {"its index", "clientes.mdx", true},
      {"another table of the folder", "existencias.dbf", false},
  };
  TempDir d;
  DemoOptions o;
  o.companies = 1;
  o.years_per_company = 1;
  o.customers = 3;
  WriteDemoInstallation(d.path(), o);
  const std::string carpeta = d / "Empresa";
  for (const auto& c : casos) {
    SCOPED_TRACE(c.nombre);
    std::unique_ptr<engine::File> tenido;
    if (!c.retenido.empty()) {
      std::string fichero;
      for (const auto& e : fs::directory_iterator(carpeta))
        if (engine::SameNameIgnoringCase(e.path().filename().string(), c.retenido)) fichero = e.path().string();
      ASSERT_FALSE(fichero.empty()) << c.retenido;
      tenido = engine::OpenExclusively(*engine::DefaultFileSystem(), fichero, true);
      ASSERT_TRUE(tenido);
    }
    EXPECT_EQ(OtroLaRetiene(carpeta, "Clientes.Dbf"), c.esperado);
  }
}

TEST(Comprobacion, DemoIsNeverWrittenOverAFolderThatHoldsAnything) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d / "i", {});
  auto antes = Snapshot(d / "i");
  EXPECT_THROW(WriteDemoInstallation(d / "i", {}), std::runtime_error);
  EXPECT_EQ(Snapshot(d / "i"), antes);
  testing_support::WriteFileBytes(d / "otra.txt", "x");
  EXPECT_THROW(WriteDemoInstallation(d / "otra.txt", {}), std::runtime_error);
  EXPECT_EQ(testing_support::ReadFileBytes(d / "otra.txt"), "x");
  fs::create_directories(d / "vacia");
  EXPECT_NO_THROW(WriteDemoInstallation(d / "vacia", {}));
}

}  // namespace
}  // namespace actualiza
