// libFuzzer target for the dBASE table reader. The input is a table and its memo file: the first
// two bytes (little-endian) give the length of the .DBF part, the rest after it is the .DBT.
// Both are written to a temporary folder, opened read-only, and every value of every row is read.
// Only EngineError may come out; anything else (a crash, a sanitizer report, another exception)
// is a finding.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "fuzz/write_input.h"

namespace {

const std::string& Folder() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/fuzz_dbf.XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    if (!d) std::abort();
    return std::string(d);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t dbf_len = static_cast<size_t>(data[0] | data[1] << 8);
  data += 2;
  size -= 2;
  if (dbf_len > size) dbf_len = size;
  const std::string dbf = engine::JoinPath(Folder(), "t.dbf");
  const std::string dbt = engine::JoinPath(Folder(), "t.dbt");
  WriteInputFile(dbf, data, dbf_len);
  WriteInputFile(dbt, data + dbf_len, size - dbf_len);
  engine::OpenOptions options;
  options.read_only = true;
  for (bool foxpro : {false, true}) {
    try {
      auto t = engine::dbase::Open(dbf, options, foxpro);
      std::string buf;
      uint64_t n = t->RecordCount();
      for (uint64_t r = 1; r <= n; ++r) {
        t->ReadRecord(r, &buf);
        t->IsDeleted(buf);
        for (int f = 0; f < static_cast<int>(t->Fields().size()); ++f) {
          try {
            t->GetValue(buf, f);
          } catch (const engine::EngineError&) {
            // A bad value: the next ones are still read.
          }
        }
      }
    } catch (const engine::EngineError&) {
    }
  }
  return 0;
}
