// Walks a 1,000,000-row dBASE table (one text and one number field decoded) and compares the time
// with reading the file's bytes once. Prints both times, their ratio (target: at most 2.5) and the
// peak memory. Usage: bench_walk [rows]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "bench/field.h"
#include "bench/measure.h"
#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/storage.h"
#include "tests/support/numbered.h"

namespace {

// Processor time of this process (user and system), in seconds.
double CpuSeconds() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

using bench::Field;

}  // namespace

int main(int argc, char** argv) {
  const uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  char tmpl[] = "/tmp/bench_walk.XXXXXX";
  if (!::mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = tmpl;
  const std::string path = engine::JoinPath(dir, "bench.dbf");
  engine::FileSystem* fs = engine::CurrentFileSystem();
  try {
    // About 100 bytes a row.
    engine::TableDefinition def;
    def.level = 4;
    def.fields = {Field("NOMBRE", bde::fldDBCHAR, 40), Field("IMPORTE", bde::fldDBNUM, 12, 2),
                  Field("CODIGO", bde::fldDBCHAR, 20), Field("FECHA", bde::fldDBDATE, 8),
                  Field("ACTIVO", bde::fldDBBOOL, 1), Field("UNIDADES", bde::fldDBNUM, 10),
                  Field("ZONA", bde::fldDBCHAR, 8)};
    engine::CreateStorage(path, def);
    const double t0 = bench::Now();
    {
      auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, engine::OpenOptions{true, false});
      std::string buf = t->BlankRecord();
      for (uint64_t r = 1; r <= rows; ++r) {
        t->SetValue(&buf, 0, engine::Value::Text(testing_support::Numbered("Cliente número ", r)));
        t->SetValue(&buf, 1, engine::Value::Integer(static_cast<int64_t>(r % 100000) - 50000));
        t->SetValue(&buf, 2, engine::Value::Text(testing_support::Numbered("C", r * 7919 % 1000003)));
        t->SetValue(&buf, 3, engine::Value::Date(730000 + static_cast<int64_t>(r % 5000)));
        t->SetValue(&buf, 4, engine::Value::Logical(r % 3 == 0));
        t->SetValue(&buf, 5, engine::Value::Integer(static_cast<int64_t>(r)));
        t->SetValue(&buf, 6, engine::Value::Text(testing_support::Numbered("Z", r % 50)));
        t->AppendRecord(buf);
      }
      t->Flush();
    }
    const double created_s = bench::Now() - t0;

    // (a) The file's bytes, read once through the same file system.
    uint64_t bytes = 0, checksum = 0;
    auto read_bytes = [&] {
      bytes = checksum = 0;
      auto f = fs->Open(path, engine::OpenMode::kRead);
      std::string chunk(1 << 20, '\0');
      uint64_t size = f->Size();
      for (uint64_t off = 0; off < size; off += chunk.size()) {
        size_t got = f->ReadAt(off, chunk.data(), chunk.size());
        bytes += got;
        checksum += static_cast<unsigned char>(chunk[got / 2]);
      }
    };
    // (b) Every row through the storage, reading one text and one number field.
    uint64_t text_bytes = 0;
    double sum = 0;
    auto walk = [&] {
      text_bytes = 0;
      sum = 0;
      auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, engine::OpenOptions{false, true});
      std::string buf;
      engine::Value name, amount;
      uint64_t n = t->RecordCount();
      for (uint64_t r = 1; r <= n; ++r) {
        t->ReadRecord(r, &buf);
        t->ReadValue(buf, 0, &name);
        t->ReadValue(buf, 1, &amount);
        text_bytes += name.s.size();
        sum += amount.d;
      }
    };
    // Both are timed in every round, one after the other; the ratio is taken per round.
    std::vector<double> read_t, walk_t, read_cpu, walk_cpu;
    for (int round = 0; round < bench::kRounds; ++round) {
      double a = bench::Now(), ca = CpuSeconds();
      read_bytes();
      double b = bench::Now(), cb = CpuSeconds();
      walk();
      double c = bench::Now(), cc = CpuSeconds();
      read_t.push_back(b - a);
      walk_t.push_back(c - b);
      read_cpu.push_back(cb - ca);
      walk_cpu.push_back(cc - cb);
    }

    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    std::printf("filas: %llu, fichero: %llu bytes (creado en %.2f s)\n", static_cast<unsigned long long>(rows),
                static_cast<unsigned long long>(bytes), created_s);
    bench::PrintTimes("(a) lectura de los bytes:", read_t);
    bench::PrintTimes("(b) recorrido por filas:", walk_t);
    bench::PrintTimes("(a) CPU:", read_cpu);
    bench::PrintTimes("(b) CPU:", walk_cpu);
    std::printf("memoria máxima: %ld KiB\n", ru.ru_maxrss);
    std::printf("(comprobación: %llu %llu %.0f)\n", static_cast<unsigned long long>(checksum),
                static_cast<unsigned long long>(text_bytes), sum);
    bench::Result("walk / plain read", 2.5, bench::Ratios(walk_t, read_t));
  } catch (const engine::EngineError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    fs->Remove(path);
    ::rmdir(dir.c_str());
    return 1;
  }
  fs->Remove(path);
  ::rmdir(dir.c_str());
  return 0;
}
