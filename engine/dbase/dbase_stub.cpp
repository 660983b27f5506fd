#include "engine/dbase/dbase.h"
#include "engine/error.h"
namespace engine::dbase {
std::unique_ptr<TableStorage> Open(const std::string& path, const OpenOptions&, bool) {
  throw EngineError(err::kNotSupported, "dBASE no disponible.", {CtxTable(path)});
}
void Create(const std::string& path, const TableDefinition&) {
  throw EngineError(err::kNotSupported, "dBASE no disponible.", {CtxTable(path)});
}
}  // namespace engine::dbase
