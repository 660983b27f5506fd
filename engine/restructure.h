// Rebuilding a table in place with a new structure (the engine side of DbiDoRestructure).
//
// The new table, memo and index files are written beside the old ones under temporary names,
// made durable, and swapped in through a small journal, so that at every instant the folder
// holds either the complete old table or the complete new one. An interrupted swap is completed
// or rolled back the next time the engine opens the table (RecoverTable).
#pragma once

#include <string>
#include <vector>

#include "engine/bde.h"
#include "engine/database.h"
#include "engine/storage.h"

namespace engine {

// Restructures the table that desc.szTblName names in the folder of db, writing each fill's value
// into its field wherever the rebuilt row leaves that field empty. Throws EngineError; on any
// failure the table is left as it was.
void DoRestructure(Database& db, const bde::CRTblDesc& desc, const std::vector<bde::FLDFill>& fills = {});

// Creates a table from its definition as one swap: its files are written in the work folder and
// moved into place together, so that a crash leaves either no table (or the one that was there)
// or the whole new one. A table of that name that someone has open is not replaced.
void CreateTableAtomically(const std::string& path, TableDefinition def);

// Completes or rolls back a swap that a crash interrupted, for the table at `table_path`.
// Cheap when there is nothing to do. Called before every open of a table.
void RecoverTable(const std::string& table_path);

}  // namespace engine
