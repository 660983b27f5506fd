#include "engine/paradox/paradox.h"

#include "engine/error.h"

namespace engine::paradox {

std::unique_ptr<TableStorage> Open(const std::string& path, const OpenOptions&) {
  throw EngineError(err::kNotSupported, "Las tablas Paradox aún no se pueden abrir.", {CtxTable(path)});
}

void Create(const std::string& path, const TableDefinition&) {
  throw EngineError(err::kNotSupported, "Las tablas Paradox aún no se pueden crear.", {CtxTable(path)});
}

}  // namespace engine::paradox
