// The check of an installation changes nothing: it opens for reading only, reports a restructure
// that a crash interrupted instead of finishing it, and works where nothing can be written. The
// demo installation is never written over another folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/core/Bloqueo.h"
#include "app/core/Comprobar.h"
#include "app/core/Demo.h"
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
