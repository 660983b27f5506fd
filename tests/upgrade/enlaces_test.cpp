// Symbolic links that lead out of the installation stop the run (and show in the check) before
// anything is touched, inside the installation or outside it.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/core/Comprobar.h"
#include "app/core/Demo.h"
#include "engine/error.h"
#include "engine/swap.h"
#include "tests/support/add_amounts.h"
#include "tests/support/fault_fs.h"
#include "tests/support/pause_fs.h"
#include "tests/support/temp_dir.h"
#include "tests/upgrade/ventana.h"

namespace actualiza {
namespace {

// Symbolic links are made only with a privilege on Windows, and not at all under wine: these
// tests run on POSIX systems.
#ifdef _WIN32
#define REQUIERE_ENLACES() GTEST_SKIP() << "enlaces simbólicos: solo en sistemas POSIX"
#else
#define REQUIERE_ENLACES()
#endif

namespace fs = std::filesystem;
using testing_support::Snapshot;
using testing_support::TempDir;

struct Caso {
  std::string nombre;
  // Plants a link in the installation `raiz`, with `fuera` a folder outside it; returns the
  // link's path, which the message must name.
  std::function<std::string(const std::string& raiz, const std::string& fuera)> planta;
};

std::string Mueve(const std::string& carpeta, const std::string& fuera) {
  const std::string destino = fuera + "/" + fs::path(carpeta).filename().string();
  fs::copy(carpeta, destino, fs::copy_options::recursive);
  fs::remove_all(carpeta);
  fs::create_directory_symlink(destino, carpeta);
  return carpeta;
}

const Caso kCasos[] = {
    {"a fiscal-year folder linked elsewhere",
     [](const std::string& raiz, const std::string& fuera) {
       for (auto& e : fs::directory_iterator(raiz + "/Empresas"))
         return Mueve(e.path().string() + "/Ejercicio2004", fuera);
       return std::string();
     }},
    {"the shared folder linked elsewhere",
     [](const std::string& raiz, const std::string& fuera) { return Mueve(raiz + "/General", fuera); }},
    {"a customer table linked to a table outside",
     [](const std::string& raiz, const std::string& fuera) {
       const std::string t = raiz + "/Empresa/Clientes.Dbf";
       fs::rename(t, fuera + "/Clientes.Dbf");
       fs::create_symlink(fuera + "/Clientes.Dbf", t);
       return t;
     }},
    {"a dangling stock table link",
     [](const std::string& raiz, const std::string& fuera) {
       const std::string t = raiz + "/Empresa/Existencias.dbf";
       fs::remove(t);
       fs::create_symlink(fuera + "/nuevo.dbf", t);
       return t;
     }},
    {"a planted work folder",
     [](const std::string& raiz, const std::string& fuera) {
       testing_support::WriteFileBytes(fuera + "/Clientes.Dbf", "outside");
       testing_support::WriteFileBytes(fuera + "/Clientes.DBT", "outside");
       const std::string w = raiz + "/Empresa/.actualiza-nuevo";
       fs::create_directory_symlink(fuera, w);
       return w;
     }},
    {"a planted journal",
     [](const std::string& raiz, const std::string& fuera) {
       testing_support::WriteFileBytes(fuera + "/diario", "ACTUALIZA-SWAP 2\nClientes.DBT\t\nend\n");
       const std::string j = raiz + "/Empresa/.Clientes.Dbf.diario";
       fs::create_symlink(fuera + "/diario", j);
       return j;
     }},
    {"the installation's lock file linked to a file outside",
     [](const std::string& raiz, const std::string& fuera) {
       testing_support::WriteFileBytes(fuera + "/bloqueo", "");
       const std::string b = raiz + "/" + kFicheroBloqueo;
       fs::create_symlink(fuera + "/bloqueo", b);
       return b;
     }},
};

TEST(Enlaces, ALinkOutOfTheInstallationStopsTheRunBeforeAnythingChanges) {
  REQUIERE_ENLACES();
  for (const Caso& c : kCasos) {
    SCOPED_TRACE(c.nombre);
    TempDir d;
    const std::string raiz = d / "i", fuera = d / "fuera";
    fs::create_directories(fuera);
    DemoSummary demo = WriteDemoInstallation(raiz, {});
    const std::string enlace = c.planta(raiz, fuera);
    ASSERT_FALSE(enlace.empty());
    auto dentro = Contenido(raiz), afuera = Snapshot(fuera);
    Comprobacion comp = ComprobarInstalacion(demo.executable);
    ASSERT_TRUE(comp.HayProblemas());
    std::string problemas;
    for (const auto& p : comp.problemas) problemas += p + "\n";
    EXPECT_NE(problemas.find(enlace), std::string::npos) << problemas;
    Ventana v;
    try {
      v.Ejecuta(demo.executable);
      ADD_FAILURE() << "the run followed " << enlace;
    } catch (const engine::EDatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find(enlace), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("enlace simbólico"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(v.vista.textos.empty());  // stopped before the first step
    EXPECT_EQ(Contenido(raiz), dentro);
    EXPECT_EQ(Snapshot(fuera), afuera);
  }
}

// The engine on its own never writes into, or empties, a work folder that is a link.
TEST(Enlaces, TheEngineRefusesAWorkFolderThatIsALink) {
  REQUIERE_ENLACES();
  TempDir d;
  const std::string raiz = d / "i", fuera = d / "fuera";
  fs::create_directories(fuera);
  WriteDemoInstallation(raiz, {});
  const std::string enlace = kCasos[4].planta(raiz, fuera);
  auto afuera = Snapshot(fuera);
  auto antes = testing_support::ReadFileBytes(raiz + "/Empresa/Clientes.Dbf");
  try {
    testing_support::AddTwoAmounts(raiz + "/Empresa", "Clientes.Dbf", true);
    ADD_FAILURE() << "restructured through a linked work folder";
  } catch (const engine::EngineError& e) {
    EXPECT_NE(std::string(e.what()).find(enlace), std::string::npos) << e.what();
  }
  EXPECT_EQ(Snapshot(fuera), afuera);
  EXPECT_EQ(testing_support::ReadFileBytes(raiz + "/Empresa/Clientes.Dbf"), antes);
}

// Links put in place while the run is under way: the run is held at the moment it first reaches a
// path, a link is put there (at a work file, the journal's temporary name, a data folder, a
// fiscal-year folder) leading to a copy outside, and the run must stop naming it with nothing
// outside changed.
struct Cambio {
  std::string nombre;
  std::string sufijo;  // where the run is held: the first operation on a path ending so
  // Puts the link in place (with `fuera` outside the installation); returns the path the
  // message must name.
  std::function<std::string(const std::string& en, const std::string& fuera)> cambia;
};

std::string EnlazaFichero(const std::string& en, const std::string& fuera) {
  testing_support::WriteFileBytes(fuera + "/victima", "contenido de fuera");
  fs::create_symlink(fuera + "/victima", en);
  return en;
}

// The folder that holds `en` replaced by a link to a copy of it outside.
std::string EnlazaCarpeta(const std::string& en, const std::string& fuera) {
  return Mueve(fs::path(en).parent_path().string(), fuera);
}

const Cambio kCambios[] = {
    {"a work file", "/Empresa/.actualiza-nuevo/Clientes.Dbf", EnlazaFichero},
    {"a work memo file", "/Empresa/.actualiza-nuevo/Clientes.DBT", EnlazaFichero},
    {"the journal's temporary name", "/Empresa/.Clientes.Dbf.diario.nuevo", EnlazaFichero},
    {"the company folder", "/Empresa/Clientes.Dbf", EnlazaCarpeta},
    {"the shared folder after its first table", "/General/Configu.Dbf", EnlazaCarpeta},
    {"a fiscal-year folder", "/Ejercicio2004/Clientes.Dbf", EnlazaCarpeta},
};

TEST(Enlaces, ALinkPutInPlaceDuringTheRunStopsItAndNothingOutsideChanges) {
  REQUIERE_ENLACES();
  for (const Cambio& c : kCambios) {
    SCOPED_TRACE(c.nombre);
    TempDir d;
    const std::string raiz = d / "i", fuera = d / "fuera";
    fs::create_directories(fuera);
    DemoSummary demo = WriteDemoInstallation(raiz, {});
    std::string enlace;
    std::map<std::string, std::string> afuera;
    testing_support::PauseAtPath pausa(c.sufijo, [&](const std::string& en) {
      enlace = c.cambia(en, fuera);
      afuera = Snapshot(fuera);
    });
    try {
      testing_support::ScopedFileSystem usa(&pausa);
      Ventana v;
      v.Ejecuta(demo.executable);
      ADD_FAILURE() << "the run went on through " << enlace;
    } catch (const engine::EDatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find(enlace), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("sustituido"), std::string::npos) << e.what();
    }
    ASSERT_TRUE(pausa.paused());
    EXPECT_EQ(Snapshot(fuera), afuera);
    EXPECT_FALSE(fs::is_symlink(raiz + "/Empresa/Clientes.Dbf"));
  }
}

// Links that stay inside the installation are followed as before.
TEST(Enlaces, ALinkInsideTheInstallationIsFollowed) {
  REQUIERE_ENLACES();
  TempDir d;
  const std::string raiz = d / "i";
  DemoSummary demo = WriteDemoInstallation(raiz, {});
  fs::rename(raiz + "/Empresa", raiz + "/EmpresaReal");
  fs::create_directory_symlink("EmpresaReal", raiz + "/Empresa");
  ActualizaHastaElFinal(demo.executable);
}

}  // namespace
}  // namespace actualiza
