// One run at a time on an installation, and tables that other programs hold (with either kind of
// lock) stop the run before anything changes.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/core/Bloqueo.h"
#include "app/core/Comprobar.h"
#include "app/core/Demo.h"
#include "tests/support/fault_fs.h"
#include "tests/support/helpers.h"
#include "tests/support/pause_fs.h"
#include "tests/support/temp_dir.h"
#include "tests/upgrade/ventana.h"

namespace actualiza {
namespace {

// Both tests need POSIX facilities, so they are built for POSIX systems only: the first pauses a
// run midway in a fork() of this process, the second holds POSIX record locks, which Windows does
// not have. (On Windows a table that another program holds open is covered by upgrade_test.cpp,
// with a second process started by CreateProcess.)
#ifndef _WIN32
using testing_support::PausedChild;
using testing_support::Snapshot;
using testing_support::TempDir;

// An upgrade runs in another process and stops at its second fiscal year. Meanwhile a second
// upgrade and a check of the same installation are refused at once, and change nothing; the
// first then finishes the whole installation.
TEST(UnaEjecucionALaVez, ASecondRunIsRefusedWhileTheFirstWorks) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  PausedChild primera([&](const std::function<void()>& pause) {
    Ventana v;
    Pasos(v.Objs(), v.vista).Ejecuta(demo.executable, [&](const std::string&, const std::string&, int n, int) {
      if (n == 2) pause();
    });
    return 0;
  });
  ASSERT_TRUE(primera.paused());
  auto durante = Snapshot(d.path());
  {
    Ventana v;
    try {
      v.Ejecuta(demo.executable);
      ADD_FAILURE() << "a second upgrade ran alongside the first";
    } catch (const engine::EDatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find("está en marcha"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(d.path()), std::string::npos) << e.what();
    }
    EXPECT_TRUE(v.vista.textos.empty());  // refused before the first step
  }
  Comprobacion c = ComprobarInstalacion(demo.executable);
  ASSERT_EQ(c.problemas.size(), 1u);
  EXPECT_NE(c.problemas[0].find("está en marcha"), std::string::npos) << c.problemas[0];
  EXPECT_TRUE(c.tablas.empty());
  EXPECT_EQ(Snapshot(d.path()), durante);
  EXPECT_EQ(primera.Resume(), 0);
  EXPECT_TRUE(ComprobarInstalacion(demo.executable).AlDia());
  // Once the first has ended, the next run takes the installation.
  Ventana v;
  v.Ejecuta(demo.executable);
}

// Another program holds a customer table, or only its memo file or its index, with a POSIX
// record lock (fcntl, lockf) instead of flock: the upgrade stops with the in-use error at that
// table, and nothing has changed.
TEST(UnaEjecucionALaVez, ARecordLockOnATableStopsTheUpgradeAndNothingChanges) {
  for (const char* fichero : {"Clientes.Dbf", "Clientes.DBT", "Clientes.MDX"})
  for (bool escritura : {false, true}) {
    SCOPED_TRACE(std::string(fichero) + (escritura ? " (escritura)" : " (lectura)"));
    TempDir d;
    DemoSummary demo = WriteDemoInstallation(d.path(), {});
    auto antes = Contenido(d.path());
    ASSERT_TRUE(testing_support::FileExists(d.path() + "/Empresa/" + fichero));
    {
      auto otro = testing_support::RecordLockHeldByAnotherProcess(d.path() + "/Empresa/" + fichero, escritura);
      ASSERT_TRUE(otro->paused());
      ActualizaHastaTablaOcupada(demo.executable);
      EXPECT_EQ(Contenido(d.path()), antes);
      EXPECT_EQ(otro->Resume(), 0);
    }
    ActualizaHastaElFinal(demo.executable);
  }
}

// Two runs on one installation whose lock file was removed: one stops just as it is about to
// write its first new file in the company folder's work folder; the other, meanwhile, reaches the
// same table and cannot have it, but must not remove that work folder under the first, which
// then finishes the whole installation.
TEST(UnaEjecucionALaVez, ASecondRunNeverRemovesTheWorkFolderOfTheFirst) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  const std::string trabajo = d.path() + "/Empresa/.actualiza-nuevo";
  PausedChild primera([&](const std::function<void()>& pause) {
    testing_support::PauseAtPath pausa(trabajo + "/Clientes.Dbf", [&](const std::string&) { pause(); });
    testing_support::ScopedFileSystem usa(&pausa);
    Ventana v;
    v.Ejecuta(demo.executable);
    return 0;
  });
  ASSERT_TRUE(primera.paused());
  ASSERT_TRUE(std::filesystem::is_directory(trabajo));
  std::filesystem::remove(d.path() + "/" + kFicheroBloqueo);
  {
    Ventana v;
    EXPECT_THROW(v.Ejecuta(demo.executable), engine::EDatabaseError);  // the first holds the table
  }
  EXPECT_TRUE(std::filesystem::is_directory(trabajo));
  EXPECT_EQ(primera.Resume(), 0);
  EXPECT_TRUE(ComprobarInstalacion(demo.executable).AlDia());
}

#endif  // _WIN32

}  // namespace
}  // namespace actualiza
