// Adds two N(12,2) fields, with pack, to a 1,000,000-row table of about 120-byte rows, and
// compares the time with the floor (copying the table's files with `cp` and `sync`: every byte
// read and written once, durably) and with GDAL's ogrinfo doing the same with ALTER TABLE (when
// gdal-bin is installed). Then measures the peak memory of the restructure, in a child process,
// for that table and for one ten times larger (target: < 64 MiB). Every time is the median of
// five runs, each paired with its own baseline.
//
//   bench_restructure [rows]        (default 1,000,000; the memory run also uses rows * 10)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/field.h"
#include "bench/measure.h"
#include "engine/database.h"
#include "engine/restructure.h"
#include "engine/storage.h"
#include "tests/support/add_amounts.h"
#include "tests/support/numbered.h"

namespace {

namespace fs = std::filesystem;

using bench::Field;

// A customers table: 1 + 8 + 40 + 40 + 12 + 8 + 1 + 10 = 120 bytes a row, some rows deleted.
void MakeTable(const std::string& path, uint64_t rows) {
  engine::TableDefinition def;
  def.level = 4;
  def.fields = {Field("CODIGO", bde::fldDBCHAR, 8),   Field("NOMBRE", bde::fldDBCHAR, 40),
                Field("DOMICILIO", bde::fldDBCHAR, 40), Field("SALDO", bde::fldDBNUM, 12, 2),
                Field("ALTA", bde::fldDBDATE, 8),     Field("ACTIVO", bde::fldDBBOOL, 1),
                Field("CUENTA", bde::fldDBNUM, 10)};
  engine::CreateStorage(path, def);
  auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {true, false});
  t->BeginBulkAppend();
  std::string rec;
  for (uint64_t i = 1; i <= rows; ++i) {
    rec = t->BlankRecord();
    t->SetValue(&rec, 0, engine::Value::Text(std::to_string(i)));
    t->SetValue(&rec, 1, engine::Value::Text(testing_support::Numbered("Cliente número ", i)));
    t->SetValue(&rec, 2, engine::Value::Text(testing_support::Numbered("Calle Mayor ", i % 500)));
    t->SetValue(&rec, 3, engine::Value::Number(0, std::to_string(i % 100000) + ".25"));
    t->SetValue(&rec, 4, engine::Value::Date(730000 + static_cast<int64_t>(i % 3000)));
    t->SetValue(&rec, 5, engine::Value::Logical(i % 2));
    t->SetValue(&rec, 6, engine::Value::Integer(static_cast<int64_t>(i)));
    uint64_t at = t->AppendRecord(rec);
    if (i % 1000 == 0) t->SetDeleted(at, true);
  }
  t->EndBulkAppend();
  t->Flush();
}

void AddTwoAmounts(const std::string& dir) { testing_support::AddTwoAmounts(dir, "clientes.dbf", true); }

int Run(const std::string& cmd) { return std::system(cmd.c_str()); }

// Peak resident memory, in MiB, of a restructure run in a child process.
double PeakMiB(const std::string& dir) {
  pid_t pid = fork();
  if (pid == 0) {
    try {
      AddTwoAmounts(dir);
    } catch (...) {
      _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  char tmpl[] = "/tmp/bench-restructure-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string base = tmpl;
  const std::string seed = base + "/seed";
  fs::create_directories(seed);
  std::printf("building %llu rows...\n", static_cast<unsigned long long>(rows));
  MakeTable(seed + "/clientes.dbf", rows);
  std::printf("table: %.1f MB\n", static_cast<double>(fs::file_size(seed + "/clientes.dbf")) / 1e6);

  // In every round: the floor (cp of the table's files, then sync), then the engine's restructure
  // of a fresh copy (it makes its files durable itself).
  std::vector<double> floor_t, ours_t;
  for (int round = 0; round < bench::kRounds; ++round) {
    fs::create_directories(base + "/cp");
    Run("sync");
    double t0 = bench::Now();
    Run("cp " + seed + "/clientes.dbf " + base + "/cp/ && sync");
    floor_t.push_back(bench::Now() - t0);
    fs::remove_all(base + "/cp");
    fs::create_directories(base + "/engine");
    fs::copy(seed + "/clientes.dbf", base + "/engine/clientes.dbf");
    Run("sync");
    t0 = bench::Now();
    AddTwoAmounts(base + "/engine");
    ours_t.push_back(bench::Now() - t0);
    fs::remove_all(base + "/engine");
  }
  bench::PrintTimes("cp + sync (baseline):", floor_t);
  bench::PrintTimes("restructure:", ours_t);
  const double ours = bench::Summarize(ours_t).median;

  if (Run("command -v ogrinfo >/dev/null 2>&1") == 0) {
    fs::create_directories(base + "/gdal");
    fs::copy(seed + "/clientes.dbf", base + "/gdal/clientes.dbf");
    Run("sync");
    double t0 = bench::Now();
    Run("ogrinfo -q " + base + "/gdal/clientes.dbf -sql 'ALTER TABLE clientes ADD COLUMN SA numeric(12,2)' >/dev/null 2>&1 && "
        "ogrinfo -q " + base + "/gdal/clientes.dbf -sql 'ALTER TABLE clientes ADD COLUMN SC numeric(12,2)' >/dev/null 2>&1 && sync");
    double gdal = bench::Now() - t0;
    std::printf("ogrinfo ALTER x 2:  %8.3f s   ours is %.1f times faster\n", gdal, gdal / ours);
  } else {
    std::printf("ogrinfo ALTER x 2:  skipped (gdal-bin not installed)\n");
  }

  // Peak memory, this table and one ten times larger.
  fs::create_directories(base + "/mem1");
  fs::copy(seed + "/clientes.dbf", base + "/mem1/clientes.dbf");
  std::printf("peak memory, %llu rows:  %.1f MiB\n", static_cast<unsigned long long>(rows), PeakMiB(base + "/mem1"));
  fs::remove_all(base + "/mem1");
  fs::remove_all(base + "/cp");
  fs::remove_all(base + "/engine");
  fs::remove_all(base + "/gdal");
  fs::create_directories(base + "/mem10");
  MakeTable(base + "/mem10/clientes.dbf", rows * 10);
  const double peak = PeakMiB(base + "/mem10");
  std::printf("peak memory, %llu rows: %.1f MiB\n", static_cast<unsigned long long>(rows * 10), peak);
  bench::Result("restructure / cp + sync", 1.25, bench::Ratios(ours_t, floor_t));
  bench::Result("restructure peak memory, " + std::to_string(rows * 10 / 1000000) + "M rows", 64,
                {peak < 0 ? 1e9 : peak}, " MiB");
  fs::remove_all(base);
  return 0;
}
