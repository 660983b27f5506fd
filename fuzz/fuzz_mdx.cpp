// Random bytes as a production index (.MDX) of a table with a fixed set of fields: opening,
// walking every tag (whole and by equal key) and checking against a few rows must end in
// success or EngineError, never a crash, a hang or a huge allocation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unistd.h>

#include "engine/bde.h"
#include "engine/collation.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/fs.h"

namespace {

using engine::FieldSpec;
using engine::Value;

const std::vector<FieldSpec>& Fields() {
  static const std::vector<FieldSpec> fields = {
      {"TEST1", bde::fldDBCHAR, 50, 0}, {"TEST2", bde::fldDBNUM, 10, 0}, {"NOMBRE", bde::fldDBCHAR, 20, 0},
      {"IMPORTE", bde::fldDBNUM, 10, 2}, {"FECHA", bde::fldDBDATE, 8, 0}, {"ACTIVO", bde::fldDBBOOL, 1, 0}};
  return fields;
}

class FakeRows : public engine::dbase::RecordSource, public engine::dbase::RecordView {
 public:
  uint64_t Count() override { return 20; }
  const engine::dbase::RecordView& Row(uint64_t recno) override {
    recno_ = recno;
    return *this;
  }
  uint64_t RecNo() const override { return recno_; }
  bool Deleted() const override { return recno_ % 5 == 0; }
  Value Field(const std::string& name) const override {
    if (name == "TEST2") return Value::Number(static_cast<double>(recno_ * 5), std::to_string(recno_ * 5));
    if (name == "IMPORTE") return Value::Number(static_cast<double>(recno_) - 10.5);
    if (name == "FECHA") return recno_ % 3 ? Value::Date(730000 + static_cast<int64_t>(recno_)) : Value::Null();
    if (name == "ACTIVO") return Value::Logical(recno_ % 2 == 0);
    return Value::Text(RawText(name));
  }
  std::string RawText(const std::string& name) const override {
    std::string s = "test" + std::to_string(recno_ % 7);
    s.resize(name == "TEST1" ? 50 : 20, ' ');
    return s;
  }

 private:
  uint64_t recno_ = 1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/fuzz_mdx_" + std::to_string(getpid()) + ".mdx";
  engine::FileSystem* fs = engine::CurrentFileSystem();
  {
    auto f = fs->Open(path, engine::OpenMode::kCreate);
    f->WriteAt(0, data, size);
  }
  try {
    // The byte the header keeps the language driver in also picks the collation the tags are
    // read under, so that both byte order and a driver's order meet damaged trees.
    const engine::Collation coll = engine::CollationForDbase(size > 31 ? data[31] : 0, "");
    auto idx = engine::dbase::MdxIndex::Open(path, Fields(), engine::CodePage::Ansi(), false, coll);
    for (const auto& tag : idx->Tags()) {
      try {
        auto w = idx->Walk(tag.name, std::nullopt);
        uint64_t recno = 0;
        while (w->Next(&recno)) {
        }
        std::optional<Value> eq = tag.key_type == 'C'   ? Value::Text("test3")
                                  : tag.key_type == 'N' ? Value::Integer(15)
                                                        : Value::Date(730001);
        auto we = idx->Walk(tag.name, eq);
        while (we->Next(&recno)) {
        }
      } catch (const engine::EngineError&) {
      }
    }
    FakeRows rows;
    idx->Check(rows);
    engine::dbase::ReadMdxTags(path);
    for (const auto& tag : idx->Tags())
      engine::dbase::DumpMdxTag(path, tag.name, engine::CodePage::Ansi(), [](const std::string&, uint64_t) {});
  } catch (const engine::EngineError&) {
  }
  return 0;
}
