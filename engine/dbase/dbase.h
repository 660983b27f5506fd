// dBASE tables (.DBF, levels 3, 4, 5 and 7) with their .DBT memo files and .MDX production
// indexes, behind the storage interface. FoxPro tables (.DBF with .FPT/.CDX) open read-only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/storage.h"

namespace engine::dbase {

std::unique_ptr<TableStorage> Open(const std::string& path, const OpenOptions& options, bool foxpro);
void Create(const std::string& path, const TableDefinition& def);

// Whole records that a dBASE table's file holds after the ones its header counts (a count
// lowered by a crash or by another program): every whole record's length past the counted rows
// that starts with a deletion flag (' ' or '*'); the end-of-file mark 0x1A, or bytes short of a
// record, end them. Reading follows the count, as other programs do; a rebuild from the counted
// rows would lose these, so it refuses the table. 0 for tables of other formats.
uint64_t RecordsPastCount(TableStorage& table);
// What a check says of them ("" when `past` is 0): "el fichero guarda 2 registros más allá de
// los 5 que cuenta su cabecera".
std::string RecordsPastCountText(uint64_t past, uint64_t counted);
// The same for the table at `path`, opened read-only and shared, as a check opens it.
std::string RecordsPastCountProblem(const std::string& path);

struct TagPlan;
struct IndexCheckReport;

// Checks every tag of the table's production index against its rows (keys, membership, order,
// node structure). Reads only. A table without index is consistent by definition.
IndexCheckReport CheckTableIndexes(const std::string& dbf_path);

// The last step of rebuilding a table with an index: the rows are in `table` (the new dBASE table,
// written without index and still open to write); writes its production index beside it from the
// old table's index (tags carried over in the order found, or rebuilt from their expressions, as
// `plan` says) and marks the table as indexed, which the table's next Flush makes durable with its
// rows (one sync for both). recno_map[old_recno - 1] is each old row's new record number, 0 when
// purged.
void FinishRestructuredIndex(TableStorage& table, const std::string& old_mdx, const std::vector<TagPlan>& plan,
                             const std::vector<uint64_t>& recno_map);

}  // namespace engine::dbase
