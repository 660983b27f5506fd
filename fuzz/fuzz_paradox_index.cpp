// Feeds random bytes to the Paradox secondary-index reader. A keyed table of three Long fields
// (C, A, B) with three rows is made once; each input gives, after a flag byte (bit 0: a composite
// .XG0/.YG0 pair instead of .X03/.Y03) and a u16 length (little-endian) of the .X image, the .X
// and the rest as the .Y. The table is opened read-only, its indexes listed, walked and checked;
// EngineError is the expected way to fail.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unistd.h>

#include "engine/error.h"
#include "engine/fs.h"
#include "fuzz/write_input.h"
#include "engine/paradox/paradox.h"

namespace {

engine::FieldSpec Long(const char* name) {
  engine::FieldSpec f;
  f.name = name;
  f.type = bde::fldPDXLONG;
  f.size = 4;
  return f;
}

const std::string& Dir() {
  static const std::string dir = [] {
    std::string d = "/tmp/fuzz_paradox_index_" + std::to_string(getpid());
    engine::DefaultFileSystem()->CreateDirectory(d);
    engine::TableDefinition def;
    def.format = engine::TableFormat::kParadox;
    def.level = 5;
    def.fields = {Long("C"), Long("A"), Long("B")};
    def.key_fields = 1;
    engine::paradox::Create(d + "/F.DB", def);
    auto t = engine::paradox::Open(d + "/F.DB", engine::OpenOptions{});
    for (int i = 1; i <= 3; ++i) {
      std::string rec = t->BlankRecord();
      for (int f = 0; f < 3; ++f) t->SetValue(&rec, f, engine::Value::Integer(i * (f + 1)));
      t->AppendRecord(rec);
    }
    t->Flush();
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool composite = data[0] & 1;
  size_t x_len = data[1] | (data[2] << 8);
  data += 3;
  size -= 3;
  if (x_len > size) x_len = size;
  engine::FileSystem* fs = engine::DefaultFileSystem();
  const std::string base = Dir() + "/F.";
  for (const char* ext : {"X03", "Y03", "XG0", "YG0"}) fs->Remove(base + ext);
  WriteInputFile(base + (composite ? "XG0" : "X03"), data, x_len);
  if (size > x_len) WriteInputFile(base + (composite ? "YG0" : "Y03"), data + x_len, size - x_len);
  try {
    engine::OpenOptions o;
    o.read_only = true;
    auto t = engine::paradox::Open(base + "DB", o);
    for (const auto& tag : t->Tags()) {
      try {
        auto w = t->WalkTag(tag.name, std::nullopt);
        uint64_t r = 0;
        while (w->Next(&r)) {
        }
        t->WalkTag(tag.name, engine::Value::Integer(6));
      } catch (const engine::EngineError&) {
      }
    }
    engine::paradox::CheckSecondaryIndexes(*t);
  } catch (const engine::EngineError&) {
  }
  return 0;
}
