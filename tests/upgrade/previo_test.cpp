// Everything the run can foresee stops it before its first change, with every problem named;
// `--comprobar` reports the same problems. A table damaged after its rebuild is caught by the
// check that comes before the final message.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "app/core/Comprobar.h"
#include "app/core/Contexto.h"
#include "app/core/Demo.h"
#include "app/core/Verificacion.h"
#include "engine/codepage.h"
#include "engine/fs.h"
#include "engine/storage.h"
#include "tests/support/fault_fs.h"
#include "tests/support/helpers.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"
#include "tests/upgrade/ventana.h"

namespace actualiza {
namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

// A path of std::filesystem for a UTF-8 one (a std::string would be read in the ANSI code page on
// Windows).
fs::path P(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

// What a case leaves in place while the run and the check look (a process holding a table).
using Retencion = std::shared_ptr<void>;

struct Previo {
  std::string nombre;
  // Spoils the demo installation at `raiz`; what it returns is kept until the case ends.
  std::function<Retencion(const std::string& raiz, const DemoSummary& demo)> estropea;
  // Each problem the message must name: a part of its text and, for a table, its table and its
  // folder below the installation.
  struct Esperado {
    std::string texto, tabla, carpeta;
  };
  std::vector<Esperado> problemas;
  uint64_t espacio_libre = 0;  // a free disk space to simulate (0: the real one)
};

// Runs the upgrade in `v`, which must stop; its message.
std::string Detiene(Ventana& v, const std::string& exe) {
  try {
    v.Ejecuta(exe);
  } catch (const engine::EDatabaseError& e) {
    return e.what();
  }
  ADD_FAILURE() << "the run went through";
  return "";
}

// The fiscal-year folder of the demo's first company for a year, below the installation.
std::string Ejercicio(const DemoSummary& demo, const std::string& anio) {
  return "Empresas/" + demo.companies[0] + "/Ejercicio" + anio;
}

Retencion QuitaCarpeta(const std::string& raiz, const DemoSummary& demo) {
  fs::remove_all(P(raiz + "/" + Ejercicio(demo, "2003")));
  return nullptr;
}

Retencion SinCriterio(const std::string& raiz, const DemoSummary&) {
  for (const char* f : {"Existencias.dbf", "Existencias.mdx", "Existencias.MDX"}) fs::remove(P(raiz + "/Empresa/" + f));
  engine::TTable t;
  t.SetDatabaseName(raiz + "/Empresa");
  t.SetTableName("Existencias.dbf");
  t.SetTableType(engine::TTableType::ttDBase);
  t.FieldDefs().Add("ARTICULO", engine::TFieldType::ftString, 10);
  t.CreateTable();
  return nullptr;
}

Retencion CriterioDeDosCifras(const std::string& raiz, const DemoSummary& demo) {
  engine::TTable t;
  t.SetDatabaseName(raiz + "/" + Ejercicio(demo, "2004"));
  t.SetTableName("Existencias.dbf");
  t.Open();
  t.Edit();
  t.SetFieldValue("Criterio", engine::Value::Integer(12));
  t.Post();
  return nullptr;
}

Retencion EjercicioEnBlanco(const std::string& raiz, const DemoSummary& demo) {
  engine::TTable t;
  t.SetDatabaseName(raiz + "/General");
  t.SetTableName("EJERCICI.DBF");
  t.Open();
  t.Append();
  t.SetFieldValue("EJERCICIO", engine::Value::Text(""));
  t.SetFieldValue("EMPRESA", engine::Value::Text(demo.companies[0]));
  t.Post();
  return nullptr;
}

Retencion Retiene(const std::string& raiz, const DemoSummary& demo) {
  auto otro = std::make_shared<testing_support::TableHeldByAnotherProcess>(raiz + "/" + Ejercicio(demo, "2002"),
                                                                           "Clientes.Dbf");
  EXPECT_TRUE(otro->holding());
  return otro;
}

const char* const kCarpetaFalta = "No existe la carpeta del ejercicio 2003";
const char* const kCriterio = "Valores de Criterio que no caben en un número de una cifra: fila 1 (12)";
// (Its last sentence goes on in the run's message when it is the only problem.)
const std::string kRetenida = "Table could not be opened for exclusive access\n" +
                              std::string(kCierreTribanor).substr(0, std::string(kCierreTribanor).size() - 1);

std::vector<Previo> Casos(const DemoSummary& demo) {
  const std::string e2002 = Ejercicio(demo, "2002"), e2003 = Ejercicio(demo, "2003"), e2004 = Ejercicio(demo, "2004");
  return {
      {"carpeta de ejercicio que falta", QuitaCarpeta, {{kCarpetaFalta, "Existencias.dbf", e2003}}},
      {"ejercicio en blanco",
       EjercicioEnBlanco,
       {{"tiene un ejercicio en blanco en General\\EJERCICI.DBF", "Existencias.dbf", "Empresas/" + demo.companies[0] + "/Ejercicio"}}},
      {"tabla que falta",
       [e2004](const std::string& raiz, const DemoSummary&) -> Retencion {
         fs::remove(P(raiz + "/" + e2004 + "/Clientes.Dbf"));
         return nullptr;
       },
       {{"Table could not be opened\nLa tabla no existe.", "Clientes.Dbf", e2004}}},
      {"campo declarado que falta", SinCriterio, {{"Field index not in range\nFalta el campo Criterio", "Existencias.dbf", "Empresa"}}},
      {"Criterio que no cabe", CriterioDeDosCifras, {{kCriterio, "Existencias.dbf", e2004}}},
      {"tabla retenida por otro programa", Retiene, {{kRetenida, "Clientes.Dbf", e2002}}},
      {"diario de otra tabla",
       [](const std::string& raiz, const DemoSummary&) -> Retencion {
         testing_support::WriteFileBytes(raiz + "/Empresa/.Clientes.Dbf.diario", "ACTUALIZA-SWAP 2\nOtra.DBF\t\nend\n");
         return nullptr;
       },
       {{"nombra ficheros que no son de esta tabla", "Clientes.Dbf", "Empresa"}}},
      {"poco espacio en disco", nullptr, {{"No hay espacio libre suficiente", "", ""}}, 4096},
      {"varios problemas a la vez",
       [](const std::string& raiz, const DemoSummary& d) -> Retencion {
         QuitaCarpeta(raiz, d);
         CriterioDeDosCifras(raiz, d);
         return Retiene(raiz, d);
       },
       {{kCarpetaFalta, "Existencias.dbf", e2003}, {kCriterio, "Existencias.dbf", e2004}, {kRetenida, "Clientes.Dbf", e2002}}},
  };
}

TEST(Previo, EveryForeseeableStopChangesNoByteAndNamesEveryProblem) {
  TempDir plantilla;
  const DemoSummary demo = WriteDemoInstallation(plantilla / "i", {});
  for (const Previo& c : Casos(demo)) {
    SCOPED_TRACE(c.nombre);
    TempDir d;
    fs::copy(plantilla / "i", d / "i", fs::copy_options::recursive);
    const std::string raiz = d / "i", exe = raiz + "/Tribanor.exe";
    Retencion retenida = c.estropea ? c.estropea(raiz, demo) : nullptr;
    const auto antes = Contenido(raiz);
    testing_support::FaultInjectionFileSystem disco;
    if (c.espacio_libre) disco.SetFreeSpace(c.espacio_libre);
    testing_support::ScopedFileSystem usa(&disco);

    Ventana v;
    const std::string mensaje = Detiene(v, exe);
    EXPECT_TRUE(v.vista.textos.empty()) << "a step ran";
    EXPECT_EQ(Contenido(raiz), antes);
    EXPECT_NE(mensaje.find("no se ha modificado ningún fichero"), std::string::npos) << mensaje;
    if (c.problemas.size() > 1) {
      EXPECT_NE(mensaje.find("hay " + std::to_string(c.problemas.size()) + " problemas"), std::string::npos) << mensaje;
    }
    for (const auto& p : c.problemas) {
      std::string esperado = p.texto;
      if (!p.tabla.empty())
        esperado += "\nTabla: " + p.tabla + "\nCarpeta: " + testing_support::SystemSeparators(raiz + "/" + p.carpeta);
      // The table and folder lines follow the problem's own text (which ends in that sentence).
      const size_t en = mensaje.find(p.texto);
      ASSERT_NE(en, std::string::npos) << mensaje;
      if (!p.tabla.empty()) {
        const size_t fin = mensaje.find("\nTabla: ", en);
        ASSERT_NE(fin, std::string::npos) << mensaje;
        EXPECT_EQ(mensaje.compare(fin, esperado.size() - p.texto.size(), esperado.substr(p.texto.size())), 0)
            << mensaje;
      }
    }
    // The check without the run finds the very same problems, and changes nothing either.
    const Comprobacion comprobacion = ComprobarInstalacion(exe);
    EXPECT_EQ(MensajeDeParada(comprobacion), mensaje);
    EXPECT_EQ(Contenido(raiz), antes);
#ifndef _WIN32
    if (!c.espacio_libre) {  // the simulated disk is this process's own
      auto r = testing_support::RunCommand(testing_support::ShellQuote(ACTUALIZA_TRIBANOR) + " --comprobar " +
                                           testing_support::ShellQuote(raiz));
      EXPECT_EQ(r.status, 2) << r.out;
      for (const auto& p : c.problemas)
        EXPECT_NE(r.out.find(p.texto.substr(0, p.texto.find('\n'))), std::string::npos) << r.out;
    }
#endif
  }
}

// A table damaged after its rebuild: the run reports it as a failed step, naming it and saying
// how to give the installation back, and shows no final progress text.
TEST(Previo, TheCheckAfterTheRunCatchesATableDamagedAfterItsRebuild) {
  TempDir d;
  const DemoSummary demo = WriteDemoInstallation(d / "i", {});
  const std::string danada = d / "i/Empresas/" + demo.companies[0] + "/Ejercicio2003/Clientes.Dbf";
  // The same file, whatever form of its path the run uses (the system's separators, say).
  auto es_danada = [&](const std::string& fichero) {
    std::error_code ec;
    return fs::equivalent(P(fichero), P(danada), ec);
  };
  std::vector<std::string> escritas;
  Verificacion::FijaGancho([&](const std::string& fichero) {
    escritas.push_back(fichero);
    // Its memo file cut back to its header: every memo pointer now leads past its end.
    if (!es_danada(fichero)) return;
    for (const auto& f : fs::directory_iterator(P(fichero).parent_path()))
      if (engine::FoldCase(testing_support::Utf8Path(f.path().filename())) == engine::FoldCase("Clientes.dbt"))
        fs::resize_file(f.path(), 512);
  });
  Ventana v;
  const std::string mensaje = Detiene(v, demo.executable);
  Verificacion::FijaGancho({});
  EXPECT_TRUE(std::any_of(escritas.begin(), escritas.end(), es_danada));
  EXPECT_EQ(mensaje.rfind("La tabla no ha superado la comprobación que sigue a la actualización:\n- Registro ", 0), 0u)
      << mensaje;
  EXPECT_NE(mensaje.find(", campo NOTAS: "), std::string::npos) << mensaje;
  EXPECT_NE(mensaje.find("«actualiza-tribanor --deshacer \"" + testing_support::SystemSeparators(d / "i") + "\"»"),
            std::string::npos)
      << mensaje;
  const std::string fin = "\nTabla: Clientes.Dbf\nCarpeta: " + testing_support::SystemSeparators(danada.substr(0, danada.rfind('/')));
  ASSERT_GE(mensaje.size(), fin.size());
  EXPECT_EQ(mensaje.substr(mensaje.size() - fin.size()), fin) << mensaje;
  EXPECT_NE(v.vista.textos.back().first, k46Blancos);
}

// The checks run beside the run, and their verdicts are given in the order the tables were
// written: the first table that fails is the one named, whatever check ended first; a table whose
// check was stopped, or that was written again after it, gets the verdict of what it holds now.
TEST(Previo, TheChecksBesideTheRunGiveTheVerdictOfWhatEachTableHoldsInTheOrderWritten) {
  struct Caso {
    const char* nombre;
    std::vector<std::pair<int, bool>> escrituras;  // table (folder a0, a1, ...) and whether it is left damaged
    // After each write: nothing, the checks stopped, or every verdict waited for (and let go).
    enum { kSigue, kDetiene, kEspera } luego;
    int falla;                                     // the folder named by the error, -1: none fails
  };
  const std::vector<Caso> casos = {
      {"sana", {{0, false}}, Caso::kSigue, -1},
      {"dañada", {{0, true}}, Caso::kSigue, 0},
      {"la primera dañada de dos", {{0, false}, {1, true}, {2, true}}, Caso::kSigue, 1},
      {"detenida antes del veredicto", {{0, false}, {1, true}}, Caso::kDetiene, 1},
      {"escrita otra vez, ya sana", {{0, true}, {0, false}}, Caso::kEspera, -1},
      {"escrita otra vez, dañada", {{0, false}, {0, true}}, Caso::kEspera, 0},
      {"detenida y escrita otra vez", {{0, true}, {0, false}}, Caso::kDetiene, -1},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    TempDir d;
    Verificacion v;
    std::map<int, std::string> originales;
    for (const auto& [n, danada] : c.escrituras) {
      const std::string carpeta = d / ("a" + std::to_string(n));
      const fs::path fichero = P(carpeta + "/Clientes.Dbf");
      if (!originales.count(n)) {
        fs::create_directories(P(carpeta));
        testing_support::MakeSmallTable(carpeta);
        originales[n] = testing_support::ReadFileBytes(carpeta + "/Clientes.Dbf");
      }
      // Damaged: the file cut inside its only row.
      const std::string& bytes = originales[n];
      std::ofstream(fichero, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(danada ? bytes.size() - 3 : bytes.size()));
      v.Escrita(carpeta, "Clientes.Dbf");
      if (c.luego == Caso::kDetiene) v.Detiene();
      if (c.luego == Caso::kEspera) {
        try {
          v.Comprueba(d.path());
        } catch (const EErrorDeTabla&) {
        }
      }
    }
    try {
      v.Comprueba(d.path());
      EXPECT_EQ(c.falla, -1) << "no table failed";
    } catch (const EErrorDeTabla& e) {
      const std::string fin = "\nTabla: Clientes.Dbf\nCarpeta: " + testing_support::SystemSeparators(d / ("a" + std::to_string(c.falla)));
      const std::string m = e.what();
      EXPECT_NE(c.falla, -1) << m;
      ASSERT_GE(m.size(), fin.size()) << m;
      EXPECT_EQ(m.substr(m.size() - fin.size()), fin) << m;
    }
  }
}

// A table that another program takes after the check, while the run works: its step stops with
// the component's text and the line that says what to do.
TEST(Previo, ATableTakenAfterTheCheckStopsItsStepWithTheLineThatSaysWhatToDo) {
  TempDir d;
  const DemoSummary demo = WriteDemoInstallation(d / "i", {});
  std::unique_ptr<testing_support::TableHeldByAnotherProcess> otro;
  Verificacion::FijaGancho([&](const std::string& fichero) {
    if (!otro && engine::BaseName(fichero) == "Configu.Dbf")
      otro = std::make_unique<testing_support::TableHeldByAnotherProcess>(d / "i/Empresa", "Existencias.dbf");
  });
  Ventana v;
  const std::string mensaje = Detiene(v, demo.executable);
  Verificacion::FijaGancho({});
  ASSERT_TRUE(otro && otro->holding());
  // (The component cannot open it when it reads its structure, or for exclusive use when it applies.)
  const std::string resto = "\n" + std::string(kCierreTribanor) + "\nTabla: Existencias.dbf\nCarpeta: " +
                            testing_support::SystemSeparators(d / "i/Empresa");
  EXPECT_TRUE(mensaje == "Table could not be opened" + resto ||
              mensaje == "Table could not be opened for exclusive access" + resto)
      << mensaje;
  EXPECT_EQ(otro->Release(), 0);
}

}  // namespace
}  // namespace actualiza
