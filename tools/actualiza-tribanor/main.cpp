// actualiza-tribanor: the upgrade of a Tribanor installation without the window, for technicians
// who upgrade many installations or work over a remote shell.
//
//   actualiza-tribanor RUTA               upgrades (RUTA: Tribanor.exe or the installation folder)
//   actualiza-tribanor --comprobar RUTA   says what an upgrade would do; changes nothing
//   actualiza-tribanor --deshacer RUTA    puts back what the last upgrade changed (its copy)
//   actualiza-tribanor --deshacer --comprobar RUTA   says what that would do; changes nothing
//   actualiza-tribanor --demo CARPETA [--empresas N] [--ejercicios N] [--clientes N]
//   actualiza-tribanor /?                 (or --ayuda) shows this use
//
// Exit status: 0 done (or, with --comprobar, up to date); 1 a step failed (or there is something
// to upgrade); 2 something would stop the upgrade, the path names no installation, or the
// arguments are wrong. --deshacer: 0 done (or, with --comprobar, it can be done), 1 a step
// failed on the way, 2 refused. The console parts (wide text, the progress line, the
// arguments as cmd passes them) are in tools/common/consola.h.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/core/Comprobar.h"
#include "app/core/Contexto.h"
#include "app/core/Copia.h"
#include "app/core/Deshacer.h"
#include "app/core/Demo.h"
#include "app/core/Pasos.h"
#include "engine/fs.h"
#include "engine/table.h"
#include "tools/common/consola.h"

namespace {

using namespace actualiza;

int Uso(std::FILE* f = stderr) {
  consola::Printf(f,
               "Uso:\n"
               "  actualiza-tribanor RUTA                 actualiza la instalación (RUTA: Tribanor.exe o su carpeta)\n"
               "  actualiza-tribanor --comprobar RUTA     dice qué cambiaría, sin tocar nada\n"
               "  actualiza-tribanor --deshacer RUTA      deshace la última actualización con la copia que guardó\n"
               "  actualiza-tribanor --deshacer --comprobar RUTA\n"
               "                                          dice qué haría el deshacer, sin tocar nada\n"
               "  actualiza-tribanor --demo CARPETA [--empresas N] [--ejercicios N] [--clientes N]\n"
               "                                          escribe una instalación de demostración\n"
               "  actualiza-tribanor /?                   muestra este uso\n");
  return f == stderr ? 2 : 0;
}

// A path that names neither an executable nor a folder: the same message and status for the
// upgrade and for the check.
bool NoExiste(const std::string& ruta, const std::string& fichero) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  if (fs.IsRegularFile(fichero) || fs.IsDirectory(ruta)) return false;
  consola::Printf(stderr, "Atención: no se ha localizado el fichero Tribanor.Exe en la ruta seleccionada\nRuta: %s\n",
                  ConSeparadoresDelSistema(ruta).c_str());
  return true;
}

// The executable's file name for a path that names it or its folder.
std::string FicheroPrograma(const std::string& ruta) {
  if (engine::CurrentFileSystem()->IsDirectory(ruta)) {
    std::string r = ruta;
    if (r.back() != '/' && r.back() != '\\') r += '/';
    return r + "Tribanor.exe";
  }
  return ruta;
}

consola::LineaDeProgreso& LineaDeProgreso() {
  static consola::LineaDeProgreso linea(stderr);
  return linea;
}

class VistaConsola : public Vista {
 public:
  void Accion(const std::string&, bool) override {}
  void Aviso(const std::string& texto) override {
    LineaDeProgreso().Termina();
    consola::Printf(stderr, "Aviso: %s\n", texto.c_str());
  }
};

void Progreso(const std::string& empresa, const std::string& ejercicio, int n, int total) {
  const int ancho = 30;
  int lleno = total > 0 ? n * ancho / total : ancho;
  std::string barra = std::string(static_cast<size_t>(lleno), '#') + std::string(static_cast<size_t>(ancho - lleno), '-');
  LineaDeProgreso().Muestra("[" + barra + "] " + std::to_string(n) + "/" + std::to_string(total) + " " + empresa + " " +
                            ejercicio);
}

int Actualizar(const std::string& ruta) {
  const std::string fichero = FicheroPrograma(ruta);
  if (NoExiste(ruta, fichero)) return 2;
  engine::TTable empresas, ejercicios, fichero_trabajo;
  engine::TDataSource ds;
  PreparaTablasListas(empresas, ejercicios, ds);
  fichero_trabajo.SetName("Fichero");
  TRestructure restructure;
  restructure.SetName("Restructure");
  restructure.SetPackTable(true);
  std::string ruta_programa;
  VistaConsola vista;
  Pasos pasos({&empresas, &ejercicios, &fichero_trabajo, &restructure, &ruta_programa}, vista);
  try {
    pasos.Ejecuta(fichero, Progreso);
  } catch (const std::exception& e) {
    LineaDeProgreso().Termina();
    consola::Printf(stderr, "%s\n", e.what());
    return 1;
  }
  LineaDeProgreso().Termina();
  consola::Printf(stdout, "%s\n", kFinalizado);
  return 0;
}

// A problem's text, its further lines indented under the first.
std::string Sangrado(std::string texto, const std::string& sangria) {
  for (size_t p = texto.find('\n'); p != std::string::npos; p = texto.find('\n', p + 1)) texto.insert(p + 1, sangria);
  return texto;
}

int Comprobar(const std::string& ruta) {
  if (NoExiste(ruta, FicheroPrograma(ruta))) return 2;
  Comprobacion c = ComprobarInstalacion(FicheroPrograma(ruta));
  for (const auto& p : c.problemas) consola::Printf(stdout, "PROBLEMA: %s\n", Sangrado(p, "          ").c_str());
  for (const auto& i : c.informes) consola::Printf(stdout, "%s\n", i.c_str());
  int pendientes = 0;
  for (const auto& t : c.tablas) {
    if (t.cambios.empty() && t.problemas.empty()) {
      consola::Printf(stdout, "%-60s al día\n", ConSeparadoresDelSistema(t.tabla).c_str());
      continue;
    }
    consola::Printf(stdout, "%s\n", ConSeparadoresDelSistema(t.tabla).c_str());
    for (const auto& x : t.cambios) consola::Printf(stdout, "    %s\n", x.c_str());
    for (const auto& x : t.problemas) consola::Printf(stdout, "    PROBLEMA: %s\n", Sangrado(x, "              ").c_str());
    pendientes += !t.cambios.empty();
  }
  // Copies kept by earlier runs, for an undo.
  const std::vector<std::string> copias = DescribeCopias(Pasos::CarpetaDe(FicheroPrograma(ruta)));
  if (!copias.empty()) consola::Printf(stdout, "Copias de actualizaciones anteriores (%s):\n", kCarpetaCopias);
  for (const auto& x : copias) consola::Printf(stdout, "    %s\n", x.c_str());
  if (c.HayProblemas()) {
    consola::Printf(stdout, "La actualización se detendría: resuelva los problemas indicados.\n");
    return 2;
  }
  if (c.AlDia()) {
    consola::Printf(stdout, "La instalación está al día.\n");
    return 0;
  }
  consola::Printf(stdout, "%d tablas por actualizar.\n", pendientes);
  return 1;
}

// --deshacer [--comprobar] RUTA.
int Deshacer(const std::string& ruta, bool comprobar) {
  const std::string carpeta = Pasos::CarpetaDe(FicheroPrograma(ruta));
  try {
    const PlanDeshacer plan = comprobar ? PlaneaDeshacer(carpeta) : Deshace(carpeta);
    if (plan.ya_deshecha) {
      consola::Printf(stdout, "La última actualización (%s) ya está deshecha; no hay nada más que deshacer.\n", plan.fecha.c_str());
      return 0;
    }
    if (!plan.ejecucion.empty())
      consola::Printf(stdout, "%s la actualización del %s:\n", comprobar ? "Se desharía" : "Deshecha", plan.fecha.c_str());
    for (const auto& a : plan.acciones) consola::Printf(stdout, "    %s\n", a.c_str());
    for (const auto& p : plan.problemas) consola::Printf(stdout, "PROBLEMA: %s\n", p.c_str());
    if (!plan.problemas.empty()) {
      consola::Printf(stdout, "No se puede deshacer: resuelva los problemas indicados.\n");
      return 2;
    }
    return 0;
  } catch (const engine::EDatabaseError& e) {
    consola::Printf(stderr, "%s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    consola::Printf(stderr, "%s\nLas tablas están enteras; vuelva a ejecutar actualiza-tribanor --deshacer para terminar.\n",
                 e.what());
    return 1;
  }
}

int Demo(const std::vector<std::string>& args) {
  if (args.empty()) return Uso();
  DemoOptions o;
  for (size_t i = 1; i + 1 < args.size(); i += 2) {
    const std::string& a = args[i];
    int n = std::atoi(args[i + 1].c_str());
    if (n < 0) return Uso();
    if (a == "--empresas") o.companies = n;
    else if (a == "--ejercicios") o.years_per_company = n;
    else if (a == "--clientes") o.customers = n;
    else return Uso();
  }
  try {
    DemoSummary s = WriteDemoInstallation(args[0], o);
    consola::Printf(stdout, "Instalación de demostración en %s: %d empresas, %d ejercicios, %d tablas.\n",
                    ConSeparadoresDelSistema(args[0]).c_str(), static_cast<int>(s.companies.size()), s.fiscal_years,
                    s.tables);
    consola::Printf(stdout, "Ejecutable: %s\n", ConSeparadoresDelSistema(s.executable).c_str());
  } catch (const std::exception& e) {
    consola::Printf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = consola::Argumentos(argc, argv);
  if (args.size() < 2) return Uso();
  const std::string& a = args[1];
  if (a == "--ayuda") return Uso(stdout);
  if (a == "--demo") return Demo(std::vector<std::string>(args.begin() + 2, args.end()));
  if (a == "--comprobar") return args.size() == 3 ? Comprobar(args[2]) : Uso();
  if (a == "--deshacer" && args.size() == 3 && args[2].rfind("--", 0) != 0) return Deshacer(args[2], false);
  if (a == "--deshacer" && args.size() == 4 && args[2] == "--comprobar") return Deshacer(args[3], true);
  if (a.rfind("--", 0) == 0 || args.size() != 2) return Uso();
  return Actualizar(a);
}
