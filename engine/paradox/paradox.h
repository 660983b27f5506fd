// Paradox tables (.DB, levels 3 to 7) with their .MB blob files, .PX primary indexes and .VAL
// validity checks, behind the storage interface.
#pragma once

#include <memory>
#include <string>

#include "engine/storage.h"

namespace engine::paradox {

std::unique_ptr<TableStorage> Open(const std::string& path, const OpenOptions& options);
void Create(const std::string& path, const TableDefinition& def);

}  // namespace engine::paradox
