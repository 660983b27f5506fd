// Opening a table and reading its first row, as the window does on every click of a list: a
// 100-field dBASE table with a memo and a production index, opened through the table object in
// index order. Target: at most 1 ms. The folder's files stay in the page cache between opens,
// as they do while the window is in use.
//
//   bench_open [opens per round]    (default 200)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/field.h"
#include "bench/measure.h"
#include "engine/bde.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "engine/table.h"
#include "tests/support/numbered.h"

namespace {

using bench::Field;

// 100 fields of every usual kind, 500 rows, tags on two of them.
void MakeTable(const std::string& path) {
  engine::TableDefinition def;
  def.level = 4;
  def.fields.push_back(Field("NOMBRE", bde::fldDBCHAR, 40));
  def.fields.push_back(Field("NOTAS", bde::fldDBMEMO, 10));
  for (int i = 0; def.fields.size() < 100; ++i) {
    std::string n = std::to_string(i);
    switch (i % 4) {
      case 0: def.fields.push_back(Field("TEXTO" + n, bde::fldDBCHAR, 20)); break;
      case 1: def.fields.push_back(Field("IMPORTE" + n, bde::fldDBNUM, 12, 2)); break;
      case 2: def.fields.push_back(Field("FECHA" + n, bde::fldDBDATE, 8)); break;
      default: def.fields.push_back(Field("MARCA" + n, bde::fldDBBOOL, 1)); break;
    }
  }
  def.tags = {{"NOMBRE", "NOMBRE", "", 'C', false, false}, {"TEXTO0", "TEXTO0", "", 'C', false, false}};
  engine::CreateStorage(path, def);
  auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, engine::OpenOptions{true, false});
  for (uint64_t r = 1; r <= 500; ++r) {
    std::string rec = t->BlankRecord();
    t->SetValue(&rec, 0, engine::Value::Text(testing_support::Numbered("Empresa número ", r * 7919 % 1009)));
    t->SetValue(&rec, 2, engine::Value::Text(testing_support::Numbered("T", r)));
    t->SetValue(&rec, 3, engine::Value::Integer(static_cast<int64_t>(r)));
    t->AppendRecord(rec);
  }
  t->Flush();
}

}  // namespace

int main(int argc, char** argv) {
  const int opens = argc > 1 ? std::atoi(argv[1]) : 200;
  char tmpl[] = "/tmp/bench-open-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  try {
    MakeTable(dir + "/EMPRESA.DBF");
    std::vector<double> per_open_ms;
    size_t checksum = 0;
    for (int round = 0; round < bench::kRounds; ++round) {
      double t0 = bench::Now();
      for (int i = 0; i < opens; ++i) {
        engine::TTable t;
        t.SetDatabaseName(dir);
        t.SetTableName("EMPRESA.DBF");
        t.SetIndexName("NOMBRE");
        t.SetReadOnly(true);
        t.Open();
        t.First();
        checksum += t.FieldByName("NOMBRE")->AsString().size();
        t.Close();
      }
      per_open_ms.push_back((bench::Now() - t0) * 1000.0 / opens);
    }
    std::printf("100-field table, 500 rows, production index; %d opens a round (checksum %zu)\n", opens, checksum);
    bench::Result("open + first row, 100 fields", 1, per_open_ms, " ms");
  } catch (const engine::EngineError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    std::filesystem::remove_all(dir);
    return 1;
  }
  std::filesystem::remove_all(dir);
  return 0;
}
