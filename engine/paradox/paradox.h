// Paradox tables (.DB, levels 3 to 7) with their .MB blob files, .PX primary indexes and .VAL
// validity checks, behind the storage interface.
//
// What callers can rely on:
// - Record numbers are positions in the table's block chain; keyed tables keep that chain in key
//   order, so AppendRecord inserts where the key belongs (kKeyViolation for a key already there)
//   and an UpdateRecord that changes the key moves the record. Paradox keeps no deleted records:
//   SetDeleted(n, true) removes row n (later rows move up one), SetDeleted(n, false) is refused.
// - FieldSpec.size is the header's size byte: the width of A and Y, the decimals of #, and for
//   blob fields (M B F O G) the leader length + 10 (10 to 250).
// - Text is decoded with the code page in the header (level 4 and later; level 3 tables are read
//   as code page 437). A page the engine does not know (936, none) is read as Windows 1252, whose
//   decoding maps every byte, so rows keep their bytes when rewritten.
// - The .PX is rebuilt from the records when a changed keyed table is flushed or closed.
// - Validity checks: ValChecks() converts the .VAL into bde::VCHKDesc records (values in the
//   engine's representation, FMTBcd with precision 32 for BCD, the lookup table by its file name
//   only). Creating writes them; TODAY/NOW markers and checks on level-3 tables are refused with
//   kNotSupported, because their layout on disk is not public.
// - Encrypted tables give kEncrypted. Malformed files give EngineError naming the file.
#pragma once

#include <memory>
#include <string>

#include "engine/paradox/px_index.h"
#include "engine/storage.h"

namespace engine::paradox {

// Opens an existing .DB (and its .MB when present). Takes a shared lock, or an exclusive one
// with options.exclusive (kTableInUse when another holder conflicts).
std::unique_ptr<TableStorage> Open(const std::string& path, const OpenOptions& options);
// Creates (or overwrites) an empty table at def.level (3, 4, 5 or 7) with the types that level
// admits, its .MB when it has blob fields, its .PX when def.key_fields > 0, and its .VAL when
// def.val_checks holds a non-empty check. Companions of a table it replaces are removed.
void Create(const std::string& path, const TableDefinition& def);

// Secondary indexes (.Xnn/.Ynn, .XGn/.YGn; see px_index.h). Tags() lists them by name and
// WalkTag walks one. Changes to the rows rewrite them all when the table is flushed, in their
// keys' byte order; a table with an index whose order that may not be (a composite index over
// text, text under a language's sort order) or with a damaged index refuses them (kNotSupported).
// The secondary indexes of a table that Open() returned; nullptr for any other storage.
const SecondarySet* SecondaryIndexesOf(TableStorage& table);
// True when the table's .VAL holds referential-integrity links (as parent or as child).
bool HasReferentialIntegrity(TableStorage& table);
// The table's links to parent tables as its .VAL records them (see px_file.h). Throws
// EngineError naming the .VAL when it is damaged.
RiLinks ReferentialIntegrityOf(TableStorage& table);
// The .VAL's referential-integrity section as stored, for a rebuild of the table to carry over
// (TableDefinition::paradox_ri); "" when the table has no links. Throws EngineError naming the
// .VAL when it is damaged.
std::string CarriedReferentialIntegrity(TableStorage& table);
// Refuses (EngineError naming the table and the field) a new structure for `old` under which
// its referential integrity could not be carried over as stored: `fields` are the new fields,
// `from[i]` the 0-based old field whose values field i takes (-1 for a new field). Every field
// a link of the table names, and when other tables depend on it every field up to the last of
// its key and of those the dependents refer to, must keep its number, name, type and size
// (kInvalidRestructure naming the link or the dependent tables); a record of dependents in a
// layout the engine does not read refuses any rebuild (kNotSupported).
void CheckReferentialIntegrityKept(TableStorage& old, const std::vector<int>& from,
                                   const std::vector<FieldSpec>& fields);
// Compares every secondary index with the table's rows.
IndexCheck CheckSecondaryIndexes(TableStorage& table);
// Writes at x_path/y_path the index `ix` of `old` as it serves `rebuilt`, a table with the same
// rows and primary key whose indexed fields are now at `new_fields` (0-based) with the same
// values, perhaps renamed or wider: the entries in the old index's order, with each row's new
// block, the fields' new numbers, names and sizes and the new table's change count (see
// WriteIndex). Both files are made durable. Throws EngineError (naming the index) when the old
// index does not match the old rows.
void RebuildIndexFor(TableStorage& old, const SecondaryIndex& ix, TableStorage& rebuilt,
                     const std::vector<int>& new_fields, const std::string& x_path, const std::string& y_path);
// Builds a case-sensitive secondary index of the table's rows beside it (.Xnn for one field,
// the first free .XGn for a composite one), in the order of the keys' bytes: text keys only under
// the "ascii" sort order, whose order that is. The table must be open for writing; it lists the
// index at once.
void CreateSecondaryIndex(TableStorage& table, const IndexDefinition& def);

}  // namespace engine::paradox
