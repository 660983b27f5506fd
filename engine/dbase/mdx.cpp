#include "engine/dbase/mdx.h"

#include "engine/error.h"

namespace engine::dbase {

std::unique_ptr<MdxIndex> MdxIndex::Open(const std::string& path, const std::vector<FieldSpec>&,
                                         const CodePage&, bool) {
  throw EngineError(err::kNotSupported, "Los índices .MDX aún no se pueden leer.", {CtxFile(path)});
}

void MdxIndex::Create(const std::string& path, const std::string&, const std::vector<TagInfo>&,
                      const std::vector<FieldSpec>&, const CodePage&, RecordSource&) {
  throw EngineError(err::kNotSupported, "Los índices .MDX aún no se pueden crear.", {CtxFile(path)});
}

}  // namespace engine::dbase
