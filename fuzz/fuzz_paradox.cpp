// Feeds random bytes to the Paradox readers. Input layout: u16 length of the .DB image, u16
// length of the .MB image (little-endian), the .DB, the .MB, and the rest as the .VAL. The
// table is opened read-only, every value of every row is decoded and the checks and links are read;
// EngineError is the expected way to fail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "engine/error.h"
#include "engine/fs.h"
#include "fuzz/write_input.h"
#include "engine/paradox/paradox.h"

namespace {

const std::string& Dir() {
  static const std::string dir = [] {
    std::string d = "/tmp/fuzz_paradox_" + std::to_string(getpid());
    engine::DefaultFileSystem()->CreateDirectory(d);
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  size_t db_len = data[0] | (data[1] << 8);
  size_t mb_len = data[2] | (data[3] << 8);
  data += 4;
  size -= 4;
  if (db_len > size) db_len = size;
  if (mb_len > size - db_len) mb_len = size - db_len;
  engine::FileSystem* fs = engine::DefaultFileSystem();
  const std::string db = Dir() + "/F.DB", mb = Dir() + "/F.MB", val = Dir() + "/F.VAL";
  WriteInputFile(db, data, db_len);
  if (mb_len) WriteInputFile(mb, data + db_len, mb_len); else fs->Remove(mb);
  if (size > db_len + mb_len) WriteInputFile(val, data + db_len + mb_len, size - db_len - mb_len); else fs->Remove(val);
  try {
    engine::OpenOptions o;
    o.read_only = true;
    auto t = engine::paradox::Open(db, o);
    const uint64_t n = t->RecordCount();
    for (uint64_t r = 1; r <= n && r <= 5000; ++r) {
      std::string buf;
      t->ReadRecord(r, &buf);
      for (size_t f = 0; f < t->Fields().size(); ++f) {
        try {
          t->GetValue(buf, static_cast<int>(f));
        } catch (const engine::EngineError&) {
        }
      }
    }
    t->ValChecks();
    engine::paradox::ReferentialIntegrityOf(*t);
  } catch (const engine::EngineError&) {
  }
  return 0;
}
