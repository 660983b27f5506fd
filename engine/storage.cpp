#include "engine/storage.h"

#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/paradox/paradox.h"

namespace engine {

std::unique_ptr<KeyWalker> TableStorage::WalkTag(const std::string& tag, const std::optional<Value>&) {
  throw EngineError(err::kNoSuchIndex, "La tabla no tiene índices.", {CtxTable(Path()), CtxIndex(tag)});
}

std::unique_ptr<TableStorage> OpenStorage(const std::string& path, TableFormat format,
                                          const OpenOptions& options) {
  switch (format) {
    case TableFormat::kDbase: return dbase::Open(path, options, /*foxpro=*/false);
    case TableFormat::kFoxPro: return dbase::Open(path, options, /*foxpro=*/true);
    case TableFormat::kParadox: return paradox::Open(path, options);
  }
  throw EngineError(err::kInternal, "Formato de tabla desconocido.", {CtxTable(path)});
}

void CreateStorage(const std::string& path, const TableDefinition& def) {
  if (def.format == TableFormat::kParadox)
    paradox::Create(path, def);
  else
    dbase::Create(path, def);
}

}  // namespace engine
