// Upgrades a demo installation (by default 50 companies x 4 fiscal years with 20,000 customer
// rows in each folder) and compares the time with copying the installation folder with `cp -r`
// (followed by `sync`, as the upgrade makes its files durable); target: at most 1.3 times. Five
// rounds: each copies the installation (the baseline) and upgrades that copy. A last, untimed
// round counts what the upgrade asks of the file-system layer per data folder: file and folder
// syncs, renames, name look-ups and folder listings.
//
//   bench_upgrade [--ram] [companies] [years] [customers]
//
// With --ram both sides work in /dev/shm, a file system in memory: the ratio is then the
// processor's share, whatever the disk's write-back (target: at most 2 times).
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
#include "tests/support/forwarding_fs.h"

namespace {

// Processor time of this process so far, all threads, in seconds: in all and in the kernel.
struct Cpu {
  double total = 0, sistema = 0;
};
Cpu CpuSeconds() {
  struct rusage ru {};
  ::getrusage(RUSAGE_SELF, &ru);
  auto sec = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; };
  return {sec(ru.ru_utime) + sec(ru.ru_stime), sec(ru.ru_stime)};
}

class Silencio : public actualiza::Vista {
 public:
  void Accion(const std::string&, bool) override {}
  void Aviso(const std::string&) override {}
};

// Counts the calls that cost the system a trip to the disk or the folder's names.
struct Cuentas {
  uint64_t syncs = 0, syncs_carpeta = 0, renombres = 0, consultas = 0, listados = 0;
};

class Contador : public testing_support::ForwardingFileSystem {
 public:
  class Fichero : public testing_support::ForwardingFile {
   public:
    Fichero(std::unique_ptr<engine::File> f, Cuentas& c) : ForwardingFile(std::move(f)), c_(c) {}
    void Sync() override {
      ++c_.syncs;
      ForwardingFile::Sync();
    }

   private:
    Cuentas& c_;
  };
  std::unique_ptr<engine::File> Open(const std::string& path, engine::OpenMode mode) override {
    return std::make_unique<Fichero>(ForwardingFileSystem::Open(path, mode), c);
  }
  bool Exists(const std::string& p) override { return ++c.consultas, ForwardingFileSystem::Exists(p); }
  bool IsDirectory(const std::string& p) override { return ++c.consultas, ForwardingFileSystem::IsDirectory(p); }
  bool IsRegularFile(const std::string& p) override { return ++c.consultas, ForwardingFileSystem::IsRegularFile(p); }
  bool IsSymlink(const std::string& p) override { return ++c.consultas, ForwardingFileSystem::IsSymlink(p); }
  engine::PathFacts Inspect(const std::string& p) override { return ++c.consultas, ForwardingFileSystem::Inspect(p); }
  std::string RealPath(const std::string& p) override { return ++c.consultas, ForwardingFileSystem::RealPath(p); }
  std::vector<engine::DirEntry> List(const std::string& d) override { return ++c.listados, ForwardingFileSystem::List(d); }
  void Rename(const std::string& a, const std::string& b) override {
    ++c.renombres;
    ForwardingFileSystem::Rename(a, b);
  }
  void SyncDirectory(const std::string& d) override {
    ++c.syncs_carpeta;
    ForwardingFileSystem::SyncDirectory(d);
  }
  Cuentas c;
};

void Ejecuta(const std::string& exe) {
  engine::TTable empresas, ejercicios, fichero;
  engine::TDataSource ds;
  actualiza::PreparaTablasListas(empresas, ejercicios, ds);
  restructure::TRestructure r;
  r.SetPackTable(true);
  std::string ruta;
  Silencio vista;
  actualiza::Pasos({&empresas, &ejercicios, &fichero, &r, &ruta}, vista).Ejecuta(exe);
}

}  // namespace

int main(int argc, char** argv) {
  const bool ram = argc > 1 && std::string(argv[1]) == "--ram";
  if (ram) --argc, ++argv;
  actualiza::DemoOptions o;
  o.companies = argc > 1 ? std::atoi(argv[1]) : 50;
  o.years_per_company = argc > 2 ? std::atoi(argv[2]) : 4;
  o.customers = argc > 3 ? std::atoi(argv[3]) : 20000;
  o.companies += 1;  // the demo's last company has no fiscal years
  char tmpl[] = "/tmp/bench-upgrade-XXXXXX";
  char tmpl_ram[] = "/dev/shm/bench-upgrade-XXXXXX";
  if (!mkdtemp(ram ? tmpl_ram : tmpl)) return 1;
  const std::string base = ram ? tmpl_ram : tmpl;
  std::printf("building the installation (%d companies x %d years x %d customers)...\n", o.companies - 1,
              o.years_per_company, o.customers);
  double t0 = bench::Now();
  auto demo = actualiza::WriteDemoInstallation(base + "/inst", o);
  std::printf("built in %.1f s\n", bench::Now() - t0);
  std::system("sync");

  // In every round: the floor (cp -r of the installation, then sync) makes the copy that the
  // upgrade then works on.
  std::vector<double> floor_t, ours_t, ours_cpu, ours_sys;
  for (int round = 0; round < bench::kRounds; ++round) {
    const std::string copia = base + "/copia" + std::to_string(round);
    // Both sides start with nothing left to write (the previous round's removal included), so
    // that neither pays for what came before it.
    std::system("sync");
    t0 = bench::Now();
    std::system(("cp -r " + base + "/inst " + copia + (ram ? "" : " && sync")).c_str());
    floor_t.push_back(bench::Now() - t0);
    const std::string exe = copia + demo.executable.substr((base + "/inst").size());
    t0 = bench::Now();
    const Cpu c0 = CpuSeconds();
    std::string fallo;
    try {
      Ejecuta(exe);
    } catch (const std::exception& e) {
      fallo = e.what();
    }
    ours_t.push_back(bench::Now() - t0);
    const Cpu c1 = CpuSeconds();
    ours_cpu.push_back(c1.total - c0.total);
    ours_sys.push_back(c1.sistema - c0.sistema);
    std::filesystem::remove_all(copia);
    if (!fallo.empty()) {
      std::printf("the upgrade failed: %s\n", fallo.c_str());
      std::filesystem::remove_all(base);
      return 1;
    }
  }
  // The untimed round that counts.
  const std::string copia = base + "/contada";
  std::system(("cp -r " + base + "/inst " + copia).c_str());
  Contador contador;
  engine::FileSystem* antes = engine::SetCurrentFileSystem(&contador);
  try {
    Ejecuta(copia + demo.executable.substr((base + "/inst").size()));
  } catch (const std::exception& e) {
    std::printf("the counted upgrade failed: %s\n", e.what());
  }
  engine::SetCurrentFileSystem(antes);
  const double carpetas = (o.companies - 1) * o.years_per_company + 2;  // and Empresa, General
  const Cuentas& c = contador.c;
  std::printf("per data folder (%.0f): %.1f file syncs, %.1f folder syncs, %.1f renames, %.1f name look-ups, "
              "%.1f folder listings\n",
              carpetas, c.syncs / carpetas, c.syncs_carpeta / carpetas, c.renombres / carpetas, c.consultas / carpetas,
              c.listados / carpetas);
  bench::PrintTimes(ram ? "cp -r in memory (baseline):" : "cp -r + sync (baseline):", floor_t);
  bench::PrintTimes("upgrade:", ours_t);
  bench::PrintTimes("upgrade, processor time:", ours_cpu);
  // Of which in the kernel: on a virtual machine, writing into memory the host took back shows here.
  bench::PrintTimes("upgrade, of it in the kernel:", ours_sys);
  if (ram)
    bench::Result("upgrade / cp -r, in memory", 2.0, bench::Ratios(ours_t, floor_t));
  else
    bench::Result("upgrade / cp -r + sync", 1.3, bench::Ratios(ours_t, floor_t));
  std::filesystem::remove_all(base);
  return 0;
}
