// dBASE tables (.DBF, levels 3, 4, 5 and 7) with their .DBT memo files and .MDX production
// indexes, behind the storage interface. FoxPro tables (.DBF with .FPT/.CDX) open read-only.
#pragma once

#include <memory>
#include <string>

#include "engine/storage.h"

namespace engine::dbase {

std::unique_ptr<TableStorage> Open(const std::string& path, const OpenOptions& options, bool foxpro);
void Create(const std::string& path, const TableDefinition& def);

}  // namespace engine::dbase
