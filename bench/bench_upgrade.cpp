// Upgrades a demo installation (by default 50 companies x 4 fiscal years with 20,000 customer
// rows in each folder) and compares the time with copying the installation folder with `cp -r`
// (followed by `sync`, as the upgrade makes its files durable); target: at most 1.5 times. Five
// rounds: each copies the installation (the baseline) and upgrades that copy.
//
//   bench_upgrade [companies] [years] [customers]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <exception>
#include <string>
#include <vector>

#include "app/core/Demo.h"
#include "app/core/Pasos.h"
#include "bench/measure.h"

namespace {

// Processor time of this process and its threads (user and system), in seconds.
double CpuSeconds() {
  struct rusage ru {};
  ::getrusage(RUSAGE_SELF, &ru);
  auto sec = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
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
  double t0 = bench::Now();
  auto demo = actualiza::WriteDemoInstallation(base + "/inst", o);
  std::printf("built in %.1f s\n", bench::Now() - t0);
  std::system("sync");

  // In every round: the floor (cp -r of the installation, then sync) makes the copy that the
  // upgrade then works on.
  std::vector<double> floor_t, ours_t, ours_cpu;
  for (int round = 0; round < bench::kRounds; ++round) {
    const std::string copia = base + "/copia" + std::to_string(round);
    // Both sides start with nothing left to write (the previous round's removal included), so
    // that neither pays for what came before it.
    std::system("sync");
    t0 = bench::Now();
    std::system(("cp -r " + base + "/inst " + copia + " && sync").c_str());
    floor_t.push_back(bench::Now() - t0);
    engine::TTable empresas, ejercicios, fichero;
    engine::TDataSource ds;
    actualiza::PreparaTablasListas(empresas, ejercicios, ds);
    restructure::TRestructure r;
    r.SetPackTable(true);
    std::string ruta;
    Silencio vista;
    const std::string exe = copia + demo.executable.substr((base + "/inst").size());
    t0 = bench::Now();
    const double c0 = CpuSeconds();
    std::string fallo;
    try {
      actualiza::Pasos({&empresas, &ejercicios, &fichero, &r, &ruta}, vista).Ejecuta(exe);
    } catch (const std::exception& e) {
      fallo = e.what();
    }
    ours_t.push_back(bench::Now() - t0);
    ours_cpu.push_back(CpuSeconds() - c0);
    std::filesystem::remove_all(copia);
    if (!fallo.empty()) {
      std::printf("the upgrade failed: %s\n", fallo.c_str());
      std::filesystem::remove_all(base);
      return 1;
    }
  }
  bench::PrintTimes("cp -r + sync (baseline):", floor_t);
  bench::PrintTimes("upgrade:", ours_t);
  bench::PrintTimes("upgrade, processor time:", ours_cpu);
  bench::Result("upgrade / cp -r + sync", 1.5, bench::Ratios(ours_t, floor_t));
  std::filesystem::remove_all(base);
  return 0;
}
