// Upgrades a demo installation (by default 50 companies x 4 fiscal years with 20,000 customer
// rows in each folder) and compares the time with copying the installation folder with `cp -r`
// (followed by `sync`, as the upgrade makes its files durable).
//
//   bench_upgrade [companies] [years] [customers]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/core/Demo.h"
#include "app/core/Pasos.h"

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

class Silencio : public actualiza::Vista {
 public:
  void Accion(const std::string&, bool) override {}
  void Aviso(const std::string&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  actualiza::DemoOptions o;
  o.companies = argc > 1 ? std::atoi(argv[1]) : 50;
  o.years_per_company = argc > 2 ? std::atoi(argv[2]) : 4;
  o.customers = argc > 3 ? std::atoi(argv[3]) : 20000;
  o.companies += 1;  // the demo's last company has no fiscal years
  char tmpl[] = "/tmp/bench-upgrade-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string base = tmpl;
  std::printf("building the installation (%d companies x %d years x %d customers)...\n", o.companies - 1,
              o.years_per_company, o.customers);
  double t0 = Now();
  auto demo = actualiza::WriteDemoInstallation(base + "/inst", o);
  std::printf("built in %.1f s\n", Now() - t0);
  std::system("sync");

  t0 = Now();
  std::system(("cp -r " + base + "/inst " + base + "/copia && sync").c_str());
  double floor = Now() - t0;

  engine::TTable empresas, ejercicios, fichero;
  engine::TDataSource ds;
  actualiza::PreparaTablasListas(empresas, ejercicios, ds);
  restructure::TRestructure r;
  r.SetPackTable(true);
  std::string ruta;
  Silencio vista;
  t0 = Now();
  actualiza::Pasos({&empresas, &ejercicios, &fichero, &r, &ruta}, vista).Ejecuta(demo.executable);
  double ours = Now() - t0;

  std::printf("cp -r + sync:  %8.2f s\n", floor);
  std::printf("upgrade:       %8.2f s   ratio %.2f (target <= 3)\n", ours, ours / floor);
  std::filesystem::remove_all(base);
  return 0;
}
