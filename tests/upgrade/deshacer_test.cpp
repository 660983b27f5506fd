// The copy an upgrade keeps of what it replaces, and the undo from it: the installation comes back
// byte for byte, also when the undo is killed at any operation and run again; it refuses, with
// nothing changed, whatever it cannot put back safely.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <sstream>

#include "app/core/Copia.h"
#include "app/core/Deshacer.h"
#include "app/core/Demo.h"
#include "engine/swap.h"
#include "app/core/Suma.h"
#include "tests/support/fault_fs.h"
#include "tests/support/forwarding_fs.h"
#include "tests/support/helpers.h"
#include "tests/support/numbered.h"
#include "tests/support/readers.h"
#include "tests/upgrade/ventana.h"

namespace actualiza {
namespace {

namespace fs = std::filesystem;
using testing_support::FaultInjectionFileSystem;
using testing_support::ScopedFileSystem;
using testing_support::Snapshot;
using testing_support::TempDir;

// Every file of the installation but the copies and the lock file (which stays between runs).
std::map<std::string, std::string> Datos(const std::string& raiz) {
  auto s = Snapshot(raiz);
  std::erase_if(s, [](const auto& e) {
    return e.first.rfind(kCarpetaCopias, 0) == 0 || e.first == kFicheroBloqueo;
  });
  return s;
}

// A demo installation with a stock table to create (the second fiscal year has none).
DemoSummary Demo(const std::string& dir) {
  DemoOptions o;
  o.companies = 2;
  o.years_per_company = 2;
  o.customers = 4;
  o.stock_rows = 3;
  return WriteDemoInstallation(dir, o);
}

std::string Ruta(const std::string& dir) { return dir + "/"; }

// The paths whose content differs between two snapshots (the files themselves would flood a
// failure's message).
std::vector<std::string> Cambiados(const std::map<std::string, std::string>& a,
                                   const std::map<std::string, std::string>& b) {
  std::vector<std::string> out;
  for (const auto& [k, v] : a)
    if (!b.count(k) || b.at(k) != v) out.push_back(k);
  for (const auto& [k, v] : b)
    if (!a.count(k)) out.push_back(k);
  return out;
}
const std::vector<std::string> kNinguno;

// Records the files the run hints it will not read again.
class Olvidados : public testing_support::ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  void DropCachedPages(const std::string& path) override { rutas.insert(path); }
  std::set<std::string> rutas;
};

// Also: once a table's step is over, what the copy keeps of it is read again only by an undo, so
// every file kept, linked or copied, leaves the cache (through the run's cache of folder
// listings), and no other file does.
TEST(Deshacer, AnUpgradeUndoneGivesBackEveryFileWhetherLinkedOrCopied) {
  for (bool enlaces : {true, false}) {
    SCOPED_TRACE(enlaces ? "hard links" : "no hard links");
    TempDir d;
    DemoSummary demo = Demo(d.path());
    const auto antes = Datos(d.path());
    engine::FileSystem& real = *engine::DefaultFileSystem();
    const engine::FileId configu = real.Identity(d / "General/Configu.Dbf");
    FaultInjectionFileSystem f;
    f.RefuseHardLinks(!enlaces);
    Olvidados olvidados(&f);
    ScopedFileSystem usa(&olvidados);
    Ventana().Ejecuta(demo.executable);
    const auto actualizada = Datos(d.path());
    ASSERT_FALSE(Cambiados(actualizada, antes).empty());
    ASSERT_GT(actualizada.size(), antes.size());  // a table created

    const std::vector<std::string> copias = CopiasDe(d.path());
    ASSERT_EQ(copias.size(), 1u);
    const std::string carpeta_copia = std::string(kCarpetaCopias) + "/" + copias[0] + "/";
    size_t guardados = 0;
    for (const auto& e : fs::recursive_directory_iterator(fs::path(d / carpeta_copia)))
      guardados += e.is_regular_file() && e.path().filename() != kManifiesto;
    EXPECT_GE(guardados, 4u);  // Configu.Dbf, the customer tables, the stock tables changed
    EXPECT_EQ(olvidados.rutas.size(), guardados);
    for (std::string r : olvidados.rutas) {
      std::replace(r.begin(), r.end(), '\\', '/');
      EXPECT_TRUE(r.find("/" + carpeta_copia) != std::string::npos && testing_support::FileExists(r)) << r;
    }
    const std::string copia = d / (carpeta_copia + "General/Configu.Dbf");
    EXPECT_EQ(testing_support::ReadFileBytes(copia), antes.at("General/Configu.Dbf"));
    EXPECT_EQ(real.Identity(copia) == configu, enlaces);

    PlanDeshacer plan = PlaneaDeshacer(Ruta(d.path()));
    EXPECT_TRUE(plan.problemas.empty());
    EXPECT_EQ(Cambiados(Datos(d.path()), actualizada), kNinguno);  // the check changes nothing
    plan = Deshace(Ruta(d.path()));
    EXPECT_EQ(plan.acciones.size(), 7u);
    EXPECT_EQ(Cambiados(Datos(d.path()), antes), kNinguno);
    // A second undo says it is done and changes nothing.
    EXPECT_TRUE(Deshace(Ruta(d.path())).ya_deshecha);
    EXPECT_EQ(Cambiados(Datos(d.path()), antes), kNinguno);
  }
}

// A kill at every operation of the undo: a second undo finishes it, with the same result.
TEST(Deshacer, AKillAtEveryOperationOfTheUndoIsFinishedByASecondUndo) {
  TempDir semilla;
  DemoSummary demo = Demo(semilla / "i");
  const auto antes = Datos(semilla / "i");
  Ventana().Ejecuta(demo.executable);
  auto copia = [&](const std::string& to) { fs::copy(semilla / "i", to, fs::copy_options::recursive); };
  uint64_t total = 0;
  {
    TempDir d;
    copia(d / "i");
    FaultInjectionFileSystem contando;
    ScopedFileSystem usa(&contando);
    Deshace(Ruta(d / "i"));
    total = contando.mutating_ops();
  }
  ASSERT_GT(total, 20u);
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE(testing_support::Numbered("kill at operation ", n) + testing_support::Numbered(" of ", total));
    TempDir d;
    copia(d / "i");
    {
      FaultInjectionFileSystem f;
      ScopedFileSystem usa(&f);
      f.CrashAt(n);
      EXPECT_THROW(Deshace(Ruta(d / "i")), std::exception);
    }
    Deshace(Ruta(d / "i"));
    ASSERT_EQ(Cambiados(Datos(d / "i"), antes), kNinguno);
  }
}

// A crash at every operation of an upgrade, then an undo: the installation comes back byte for
// byte, or the undo refuses the table whose step the crash cut short (its new files in place,
// what they are not yet recorded). Never is a table changed without the record of its old files,
// also where their sums are taken beside the step. What a crash leaves in a table's work folder
// is not compared: the next open of the table removes it.
TEST(Deshacer, AfterACrashAtEveryOperationOfTheRunTheUndoPutsBackOrRefuses) {
  TempDir semilla;
  DemoOptions o;
  o.companies = 1;
  o.years_per_company = 1;
  o.customers = 3;
  o.stock_rows = 3;
  WriteDemoInstallation(semilla / "i", o);
  auto datos = [](const std::string& raiz) {
    auto s = Datos(raiz);
    std::erase_if(s, [](const auto& e) { return e.first.find(".actualiza-nuevo") != std::string::npos; });
    return s;
  };
  const auto antes = datos(semilla / "i");
  auto actualiza = [](const std::string& raiz) { Ventana().Ejecuta(raiz + "/Tribanor.exe"); };
  uint64_t total = 0;
  {
    TempDir d;
    fs::copy(semilla / "i", d / "i", fs::copy_options::recursive);
    FaultInjectionFileSystem contando;
    ScopedFileSystem usa(&contando);
    actualiza(d / "i");
    total = contando.mutating_ops();
  }
  ASSERT_GT(total, 50u);
  int vueltas = 0, rehusadas = 0;
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE(testing_support::Numbered("crash at operation ", n) + testing_support::Numbered(" of ", total));
    TempDir d;
    const std::string raiz = d / "i";
    fs::copy(semilla / "i", raiz, fs::copy_options::recursive);
    {
      FaultInjectionFileSystem f;
      ScopedFileSystem usa(&f);
      f.CrashAt(n);
      try {
        actualiza(raiz);
      } catch (const std::exception&) {
        // the crash (the last operations are the ones a run ends with, whose failure it swallows)
      }
    }
    std::string mensaje;
    try {
      Deshace(Ruta(raiz));
    } catch (const engine::EDatabaseError& e) {
      mensaje = e.what();
    }
    const auto ahora = datos(raiz);
    const bool vuelta = Cambiados(ahora, antes).empty();
    const bool rehusada = mensaje.find("se interrumpió en esta tabla") != std::string::npos;
    std::string cambiados;
    for (const auto& c : Cambiados(ahora, antes)) cambiados += " " + c;
    EXPECT_TRUE(vuelta || rehusada) << mensaje << "\nchanged:" << cambiados;
    vueltas += vuelta;
    rehusadas += rehusada && !vuelta;
  }
  EXPECT_GT(vueltas, 0);
  EXPECT_GT(rehusadas, 0);
}

// What the copy records after a table's step is the files then in place. The sums of the step's
// new files, taken while its swap puts them in place, count only for the very files it put there.
TEST(Deshacer, TheRecordAfterAStepIsOfTheFilesThenInPlace) {
  for (bool otro : {false, true}) {
    SCOPED_TRACE(otro ? "another memo file in place of the new one" : "the new files in place");
    TempDir d;
    Demo(d.path());
    const std::string dir = d / "Empresa", trabajo = engine::SwapTempDir(dir + "/Clientes.Dbf");
    const char* kFicheros[] = {"Clientes.Dbf", "Clientes.DBT", "Clientes.MDX"};
    {
      CopiaDeSeguridad copia(Ruta(d.path()), "20261210-120000");
      copia.Antes(dir, "Clientes.Dbf");
      fs::create_directory(trabajo);
      for (const char* f : kFicheros)
        testing_support::WriteFileBytes(trabajo + "/" + f, testing_support::ReadFileBytes(dir + "/" + f) + "nuevo");
      copia.EmpiezaDespues(dir, "Clientes.Dbf");
      for (const char* f : kFicheros) fs::rename(trabajo + "/" + f, dir + "/" + f);
      if (otro) {
        fs::remove(dir + "/Clientes.DBT");
        testing_support::WriteFileBytes(dir + "/Clientes.DBT", "otro memo");
      }
      copia.Despues(dir, "Clientes.Dbf");
    }
    const Manifiesto m = LeeManifiesto(d / (std::string(kCarpetaCopias) + "/20261210-120000"));
    ASSERT_EQ(m.tablas.size(), 1u);
    EXPECT_EQ(m.tablas[0].despues, FicherosDeTabla(dir, "Clientes.Dbf"));
  }
}

// What the undo refuses: it names the table, and changes no byte of the installation (copies
// included).
TEST(Deshacer, RefusesNamingTheTableAndChangesNothing) {
  struct Caso {
    const char* nombre;
    std::function<void(const std::string& raiz, const std::string& copia)> cambia;  // files others change
    std::function<std::shared_ptr<void>(const std::string& raiz)> retiene;         // what others hold
    std::string esperado;
  };
  auto edita = [](const std::string& carpeta) {
    engine::TTable t;
    t.SetDatabaseName(carpeta);
    t.SetTableName("Clientes.Dbf");
    t.Open();
    t.First();
    t.Edit();
    t.FieldByName("NOMBRE")->SetAsString("Cambiado en Tribanor");
    t.Post();
    t.Close();
  };
  const std::vector<Caso> casos = {
      {"a table changed after the run",
       [&](const std::string& raiz, const std::string&) { edita(raiz + "/Empresa"); },
       nullptr,
       "Clientes.Dbf: ha cambiado después de la actualización"},
      {"a copy damaged",
       [](const std::string&, const std::string& copia) {
         std::string b = testing_support::ReadFileBytes(copia + "/General/Configu.Dbf");
         b[b.size() / 2] ^= 1;
         testing_support::WriteFileBytes(copia + "/General/Configu.Dbf", b);
       },
       nullptr,
       "Configu.Dbf: la copia de Configu.Dbf falta o está dañada"},
      {"a table held by another program",
       nullptr,
       [](const std::string& raiz) {
         return std::shared_ptr<void>(
             engine::OpenExclusively(*engine::CurrentFileSystem(), raiz + "/General/Configu.Dbf", true));
       },
       "Configu.Dbf: está abierta en otro programa. Cierre Tribanor en todos los ordenadores"},
      {"the installation in use by another run",
       nullptr,
       [](const std::string& raiz) {
         return std::make_shared<BloqueoInstalacion>(raiz + "/", BloqueoInstalacion::Uso::kActualizar);
       },
       "Otra actualización o comprobación de esta instalación está en marcha"},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.nombre);
    TempDir d;
    Ventana().Ejecuta(Demo(d.path()).executable);
    const std::string copia = d / (std::string(kCarpetaCopias) + "/" + CopiasDe(d.path()).at(0));
    if (c.cambia) c.cambia(d.path(), copia);
    const auto antes = Snapshot(d.path());
    // (Read before and after it is held: on Windows a held file cannot be read by others.)
    auto tenido = c.retiene ? c.retiene(d.path()) : nullptr;
    std::string mensaje;
    try {
      Deshace(Ruta(d.path()));
    } catch (const engine::EDatabaseError& e) {
      mensaje = e.what();
    }
    EXPECT_NE(mensaje.find(c.esperado), std::string::npos) << mensaje;
    EXPECT_NE(mensaje.find("odificado ningún fichero"), std::string::npos) << mensaje;
    tenido.reset();
    EXPECT_EQ(Cambiados(Snapshot(d.path()), antes), kNinguno);
  }
}

// Either kind of checksum tells apart any two contents: a byte changed in any word of any chain,
// in the last piece or past the first megabyte, or one byte more.
TEST(Suma, EitherKindChangesWithAnyByteAndTheLength) {
  TempDir d;
  engine::FileSystem& fs = *engine::DefaultFileSystem();
  std::string ultima_de_otro_tipo;
  for (size_t tam : {size_t{1}, size_t{7}, size_t{8}, size_t{31}, size_t{32}, size_t{33}, size_t{1} << 20,
                     (size_t{1} << 20) + 41}) {
    std::string bytes(tam, '\0');
    for (size_t i = 0; i < tam; ++i) bytes[i] = static_cast<char>((i * 131 + tam) & 0xFF);
    for (TipoDeSuma tipo : {TipoDeSuma::kSerie, TipoDeSuma::kCuatroCarriles}) {
      SCOPED_TRACE(testing_support::Numbered("size ", static_cast<int>(tam)) +
                   testing_support::Numbered(", kind ", static_cast<int>(tipo)));
      auto suma = [&](const std::string& contenido) {
        testing_support::WriteFileBytes(d / "f", contenido);
        uint64_t n = 0;
        std::string s = SumaDe(fs, d / "f", &n, tipo);
        EXPECT_EQ(n, contenido.size());
        return s;
      };
      const std::string original = suma(bytes);
      EXPECT_EQ(suma(bytes), original);
      EXPECT_NE(suma(bytes + '\0'), original);
      for (size_t pos : {size_t{0}, tam / 2, tam > 9 ? size_t{9} : tam - 1, tam - 1}) {
        std::string otro = bytes;
        otro[pos] = static_cast<char>(otro[pos] ^ 0x20);
        EXPECT_NE(suma(otro), original) << "byte " << pos;
      }
      EXPECT_NE(original, ultima_de_otro_tipo);  // the kinds differ
      ultima_de_otro_tipo = original;
    }
  }
}

// The sums of a table's files taken together are each file's own, in the order asked, whether one
// thread takes them or two (from a megabyte in all); a file that cannot be read fails them all.
TEST(Suma, TheSumsOfAFamilyAreEachFilesOwn) {
  TempDir d;
  engine::FileSystem& fs = *engine::DefaultFileSystem();
  const std::vector<std::vector<size_t>> casos = {
      {}, {5}, {10, 20, 0}, {size_t{1} << 20, 5, 300000}, {700000, 700000, 33, 1}};
  for (const auto& tams : casos) {
    SCOPED_TRACE(testing_support::Numbered("files: ", static_cast<int>(tams.size())) +
                 testing_support::Numbered(", first: ", tams.empty() ? 0 : static_cast<int>(tams[0])));
    std::vector<std::string> rutas;
    for (size_t i = 0; i < tams.size(); ++i) {
      rutas.push_back(d / testing_support::Numbered("f", static_cast<int>(i)));
      testing_support::WriteFileBytes(rutas.back(), std::string(tams[i], static_cast<char>('a' + i)));
    }
    std::vector<uint64_t> bytes;
    const std::vector<std::string> sumas = SumasDe(fs, rutas, bytes);
    ASSERT_EQ(sumas.size(), tams.size());
    for (size_t i = 0; i < tams.size(); ++i) {
      uint64_t n = 0;
      EXPECT_EQ(sumas[i], SumaDe(fs, rutas[i], &n)) << i;
      EXPECT_EQ(bytes[i], tams[i]) << i;
    }
    if (tams.empty()) continue;
    rutas.push_back(d / "falta");
    EXPECT_THROW(SumasDe(fs, rutas, bytes), engine::EngineError);
  }
}

// Sums taken aside: the thread that waits for them sums the files no other thread has begun (the
// first file taken here cannot end before another thread has read the second: without that
// help one thread would read both, after a timeout), and a failure on either is thrown by Espera.
TEST(Suma, WaitingForSumsTakenAsideSumsTheFilesNotBegun) {
  TempDir d;
  engine::FileSystem& fs = *engine::DefaultFileSystem();
  struct Caso {
    const char* que;
    bool falla_la_primera, falla_la_segunda;
  };
  for (const Caso& c : std::vector<Caso>{{"sin fallos", false, false}, {"falla la que espera", true, false},
                                         {"falla la otra", false, true}}) {
    SCOPED_TRACE(c.que);
    std::mutex mu;
    std::condition_variable cv;
    std::optional<std::thread::id> primera, segunda;  // the threads that read each file
    class Fichero : public testing_support::ForwardingFile {
     public:
      Fichero(std::unique_ptr<engine::File> f, std::function<void()> antes) : ForwardingFile(std::move(f)), antes_(antes) {}
      size_t ReadAt(uint64_t o, void* b, size_t n) override { return antes_(), ForwardingFile::ReadAt(o, b, n); }
     private:
      std::function<void()> antes_;
    };
    testing_support::WriteFileBytes(d / "grande", std::string(300000, 'g'));
    testing_support::WriteFileBytes(d / "pequeno", std::string(1000, 'p'));
    std::vector<std::unique_ptr<engine::File>> abiertos;
    abiertos.push_back(std::make_unique<Fichero>(fs.Open(d / "grande", engine::OpenMode::kRead), [&] {
      std::unique_lock<std::mutex> l(mu);
      primera = std::this_thread::get_id();
      cv.wait_for(l, std::chrono::seconds(20), [&] { return segunda.has_value(); });
      if (c.falla_la_primera) throw engine::EngineError(engine::err::kFileCorrupt, "primera");
    }));
    abiertos.push_back(std::make_unique<Fichero>(fs.Open(d / "pequeno", engine::OpenMode::kRead), [&] {
      std::lock_guard<std::mutex> l(mu);
      segunda = std::this_thread::get_id();
      cv.notify_all();
      if (c.falla_la_segunda) throw engine::EngineError(engine::err::kFileCorrupt, "segunda");
    }));
    SumasAparte aparte(std::move(abiertos));
    if (c.falla_la_primera || c.falla_la_segunda) {
      try {
        aparte.Espera();
        ADD_FAILURE() << "no failure thrown";
      } catch (const engine::EngineError& e) {
        EXPECT_EQ(e.message(), c.falla_la_segunda ? "segunda" : "primera");
      }
      continue;
    }
    aparte.Espera();
    EXPECT_NE(primera, segunda);
    EXPECT_EQ(aparte.sumas, (std::vector<std::string>{SumaDe(fs, d / "grande"), SumaDe(fs, d / "pequeno")}));
    EXPECT_EQ(aparte.bytes, (std::vector<uint64_t>{300000, 1000}));
  }
}

// A copy whose manifest an older version wrote (version 1, one chain): its undo computes that
// kind of sum, refuses a table changed since the run, and refuses clearly a newer version's copy.
TEST(Deshacer, UndoesACopyOfAnOlderVersionAndRefusesANewerOne) {
  // Rewrites the manifest as `version` writes it; with `serie`, its sums of the first kind.
  auto reescribe = [](const std::string& raiz, const std::string& copia, const std::string& version, bool serie) {
    std::istringstream in(testing_support::ReadFileBytes(copia + "/" + kManifiesto));
    std::string out, linea, carpeta;
    std::getline(in, linea);
    out = "ACTUALIZA-COPIA " + version + "\n";
    while (std::getline(in, linea)) {
      std::vector<std::string> p;
      std::istringstream c(linea);
      for (std::string parte; std::getline(c, parte, '\t');) p.push_back(parte);
      if (p[0] == "tabla") carpeta = p[1];
      if (serie && (p[0] == "antes" || p[0] == "despues")) {
        std::string fichero = (p[0] == "antes" ? copia : raiz) + "/" + carpeta + "/" + p[1];
        // A table left as it was (asked through the engine: the names are UTF-8 on every system).
        if (!engine::DefaultFileSystem()->IsRegularFile(fichero)) fichero = raiz + "/" + carpeta + "/" + p[1];
        p[3] = SumaDe(*engine::DefaultFileSystem(), fichero, nullptr, TipoDeSuma::kSerie);
        ASSERT_NE(p[3], SumaDe(*engine::DefaultFileSystem(), fichero));
        linea = p[0] + "\t" + p[1] + "\t" + p[2] + "\t" + p[3];
      }
      out += linea + "\n";
    }
    testing_support::WriteFileBytes(copia + "/" + kManifiesto, out);
  };
  struct Caso {
    const char* nombre;
    std::string version;
    bool cambia_clientes;  // Tribanor changed Empresa/Clientes.Dbf after the run
    std::string esperado;  // in the refusal; "" when the undo is done
  };
  const std::vector<Caso> casos = {
      {"version 1, unchanged", "1", false, ""},
      {"version 1, a table changed since", "1", true, "Clientes.Dbf: ha cambiado después de la actualización"},
      {"a newer version", "3", false, "la hizo una versión más reciente del programa de actualización"},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.nombre);
    TempDir d;
    DemoSummary demo = Demo(d.path());
    const auto antes = Datos(d.path());
    Ventana().Ejecuta(demo.executable);
    const std::string copia = d / (std::string(kCarpetaCopias) + "/" + CopiasDe(d.path()).at(0));
    reescribe(d.path(), copia, c.version, c.version == "1");
    if (c.cambia_clientes) {
      auto t = testing_support::OpenTable(d / "Empresa", "Clientes.Dbf");
      t->First();
      t->Edit();
      t->FieldByName("NOMBRE")->SetAsString("Cambiado en Tribanor");
      t->Post();
      t->Close();
    }
    // The list of copies says whose copy it cannot read, before the undo is tried.
    const std::string lista = DescribeCopias(Ruta(d.path())).at(0);
    EXPECT_NE(lista.find(c.version == "3" ? "hecha por una versión más reciente" : " tablas, "), std::string::npos) << lista;
    const auto antes_del_deshacer = Snapshot(d.path());
    std::string mensaje;
    try {
      Deshace(Ruta(d.path()));
    } catch (const engine::EDatabaseError& e) {
      mensaje = e.what();
    }
    if (c.esperado.empty()) {
      EXPECT_EQ(mensaje, "");
      EXPECT_EQ(Cambiados(Datos(d.path()), antes), kNinguno);
    } else {
      EXPECT_NE(mensaje.find(c.esperado), std::string::npos) << mensaje;
      EXPECT_NE(mensaje.find("odificado ningún fichero"), std::string::npos) << mensaje;
      EXPECT_EQ(Cambiados(Snapshot(d.path()), antes_del_deshacer), kNinguno);
    }
  }
}

// The copies of the last three runs are kept: a run removes the older ones when it starts.
TEST(Deshacer, TheCopiesOfTheLastThreeRunsAreKept) {
  for (int previas : {0, 2, 3, 5}) {
    SCOPED_TRACE(testing_support::Numbered("earlier copies: ", previas));
    TempDir d;
    DemoSummary demo = Demo(d.path());
    std::vector<std::string> nombres;
    for (int i = 0; i < previas; ++i) {
      nombres.push_back(testing_support::Numbered("2020010", i + 1) + "-000000");
      const std::string carpeta = d / (std::string(kCarpetaCopias) + "/" + nombres.back());
      testing_support::MakeFolders(carpeta);
      testing_support::WriteFileBytes(carpeta + "/" + kManifiesto, "ACTUALIZA-COPIA 1\nejecucion\t" + nombres.back() + "\n");
    }
    Ventana().Ejecuta(demo.executable);
    const std::vector<std::string> quedan = CopiasDe(d.path());
    ASSERT_EQ(quedan.size(), std::min(previas, 2) + 1u);
    EXPECT_TRUE(std::equal(quedan.begin(), quedan.end() - 1, nombres.end() - (quedan.size() - 1)));
    EXPECT_EQ(quedan.back().size(), 15u);  // this run's, named by its date and time
  }
}

#ifndef _WIN32
// As a technician runs it (the command line goes through /bin/sh): the check says what the undo
// would do and changes nothing; the undo does it; the upgrade's check lists the copies.
TEST(Deshacer, TheCommandLineChecksThenUndoes) {
  TempDir d;
  DemoSummary demo = Demo(d.path());
  const auto antes = Datos(d.path());
  Ventana().Ejecuta(demo.executable);
  const std::string programa = testing_support::ShellQuote(ACTUALIZA_TRIBANOR);
  auto r = testing_support::RunCommand(programa + " --comprobar " + testing_support::ShellQuote(d.path()));
  EXPECT_NE(r.out.find("Copias de actualizaciones anteriores (.actualiza-copia):\n    " + CopiasDe(d.path())[0] +
                       ": 7 tablas, "),
            std::string::npos)
      << r.out;
  const auto actualizada = Snapshot(d.path());
  r = testing_support::RunCommand(programa + " --deshacer --comprobar " + testing_support::ShellQuote(d.path()));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("General/Configu.Dbf: vuelve a tener sus ficheros de antes de la actualización."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Cambiados(Snapshot(d.path()), actualizada), kNinguno);
  r = testing_support::RunCommand(programa + " --deshacer " + testing_support::ShellQuote(demo.executable));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Cambiados(Datos(d.path()), antes), kNinguno);
}
#endif

}  // namespace
}  // namespace actualiza
