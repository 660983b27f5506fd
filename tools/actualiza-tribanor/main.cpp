// actualiza-tribanor: the upgrade of a Tribanor installation without the window, for technicians
// who upgrade many installations or work over a remote shell.
//
//   actualiza-tribanor RUTA               upgrades (RUTA: Tribanor.exe or the installation folder)
//   actualiza-tribanor --comprobar RUTA   says what an upgrade would do; changes nothing
//   actualiza-tribanor --demo CARPETA [--empresas N] [--ejercicios N] [--clientes N]
//
// Exit status: 0 done (or, with --comprobar, up to date); 1 a step failed (or there is something
// to upgrade); 2 something would stop the upgrade, or the arguments are wrong.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/core/Comprobar.h"
#include "app/core/Demo.h"
#include "app/core/Pasos.h"
#include "engine/fs.h"
#include "engine/table.h"

namespace {

using namespace actualiza;

int Uso() {
  std::fprintf(stderr,
               "Uso:\n"
               "  actualiza-tribanor RUTA                 actualiza la instalación (RUTA: Tribanor.exe o su carpeta)\n"
               "  actualiza-tribanor --comprobar RUTA     dice qué cambiaría, sin tocar nada\n"
               "  actualiza-tribanor --demo CARPETA [--empresas N] [--ejercicios N] [--clientes N]\n"
               "                                          escribe una instalación de demostración\n");
  return 2;
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

class VistaConsola : public Vista {
 public:
  void Accion(const std::string&, bool) override {}
  void Aviso(const std::string& texto) override {
    if (isatty(STDERR_FILENO)) std::fprintf(stderr, "\r\033[K");
    std::fprintf(stderr, "Aviso: %s\n", texto.c_str());
  }
};

void Progreso(const std::string& empresa, const std::string& ejercicio, int n, int total) {
  const int ancho = 30;
  int lleno = total > 0 ? n * ancho / total : ancho;
  std::string barra = std::string(static_cast<size_t>(lleno), '#') + std::string(static_cast<size_t>(ancho - lleno), '-');
  if (isatty(STDERR_FILENO))
    std::fprintf(stderr, "\r\033[K[%s] %d/%d %s %s", barra.c_str(), n, total, empresa.c_str(), ejercicio.c_str());
  else
    std::fprintf(stderr, "[%s] %d/%d %s %s\n", barra.c_str(), n, total, empresa.c_str(), ejercicio.c_str());
  std::fflush(stderr);
}

int Actualizar(const std::string& ruta) {
  const std::string fichero = FicheroPrograma(ruta);
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  if (!fs.IsRegularFile(fichero) && !fs.IsDirectory(ruta)) {
    std::fprintf(stderr, "Atención: no se ha localizado el fichero Tribanor.Exe en la ruta seleccionada\n");
    return 1;
  }
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
    if (isatty(STDERR_FILENO)) std::fprintf(stderr, "\n");
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  if (isatty(STDERR_FILENO)) std::fprintf(stderr, "\n");
  std::printf("%s\n", kFinalizado);
  return 0;
}

// A problem's text, its further lines indented under the first.
std::string Sangrado(std::string texto, const std::string& sangria) {
  for (size_t p = texto.find('\n'); p != std::string::npos; p = texto.find('\n', p + 1)) texto.insert(p + 1, sangria);
  return texto;
}

int Comprobar(const std::string& ruta) {
  Comprobacion c = ComprobarInstalacion(FicheroPrograma(ruta));
  for (const auto& p : c.problemas) std::printf("PROBLEMA: %s\n", p.c_str());
  for (const auto& i : c.informes) std::printf("%s\n", i.c_str());
  int pendientes = 0;
  for (const auto& t : c.tablas) {
    if (t.cambios.empty() && t.problemas.empty()) {
      std::printf("%-60s al día\n", t.tabla.c_str());
      continue;
    }
    std::printf("%s\n", t.tabla.c_str());
    for (const auto& x : t.cambios) std::printf("    %s\n", x.c_str());
    for (const auto& x : t.problemas) std::printf("    PROBLEMA: %s\n", Sangrado(x, "              ").c_str());
    pendientes += !t.cambios.empty();
  }
  if (c.HayProblemas()) {
    std::printf("La actualización se detendría: resuelva los problemas indicados.\n");
    return 2;
  }
  if (c.AlDia()) {
    std::printf("La instalación está al día.\n");
    return 0;
  }
  std::printf("%d tablas por actualizar.\n", pendientes);
  return 1;
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
    std::printf("Instalación de demostración en %s: %zu empresas, %d ejercicios, %d tablas.\n", args[0].c_str(),
                s.companies.size(), s.fiscal_years, s.tables);
    std::printf("Ejecutable: %s\n", s.executable.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = engine::ProgramArguments(argc, argv);
  if (args.size() < 2) return Uso();
  const std::string& a = args[1];
  if (a == "--demo") return Demo(std::vector<std::string>(args.begin() + 2, args.end()));
  if (a == "--comprobar") return args.size() == 3 ? Comprobar(args[2]) : Uso();
  if (a.rfind("--", 0) == 0 || args.size() != 2) return Uso();
  return Actualizar(a);
}
