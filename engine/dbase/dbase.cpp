#include "engine/dbase/dbase.h"

#include "engine/dbase/dbf.h"

namespace engine::dbase {

std::unique_ptr<TableStorage> Open(const std::string& path, const OpenOptions& options, bool foxpro) {
  return DbfTable::Open(path, options, foxpro);
}

void Create(const std::string& path, const TableDefinition& def) { DbfTable::Create(path, def); }

}  // namespace engine::dbase
