// dBASE production indexes (.MDX): tags over a table's rows, kept true to the table.
//
// The dBASE table storage (dbf.*) owns one MdxIndex when the table's header announces one. It
// hands rows to the index through RecordView, so the index evaluates key and FOR expressions
// without knowing the record layout.
//
// File layout: 512-byte pages, 1024-byte nodes; a 2048-byte header with the tag table, then per
// tag a tag header block and its B-tree nodes. Leaves hold (record number, key); interior nodes
// hold (child, highest key of child) and the rightmost child after the last item. Keys are
// described in mdx_key.h; character keys follow the collation of the table's language driver
// (collation.h). A tag another engine wrote may be in another order: the engine looks before it
// trusts one. Lookups descend a tag only when its stored keys are confirmed to be in its
// collation's order, and read every entry otherwise; writes that would have to place a key in
// a tag of unknown order are refused; RewriteIndex carries such a tag over in the order found.
//
// Not thread-safe. A KeyWalker reads the file lazily and must not outlive its MdxIndex, nor be
// used across a change of the index.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codepage.h"
#include "engine/collation.h"
#include "engine/fs.h"
#include "engine/storage.h"
#include "engine/value.h"

namespace engine::dbase {

// One row as the index sees it.
class RecordView {
 public:
  virtual ~RecordView() = default;
  virtual uint64_t RecNo() const = 0;
  virtual bool Deleted() const = 0;
  // The value of a field by name (case-insensitive); throws for an unknown name.
  virtual Value Field(const std::string& name) const = 0;
  // The field's raw stored text (blank-padded, in the table's code page), for character keys.
  virtual std::string RawText(const std::string& name) const = 0;
  // The whole stored record (deletion flag first, fields at their FieldSpec offsets) when the
  // source has it at hand; empty otherwise. Lets a tag on a plain character field take its key
  // from the bytes without evaluating anything.
  virtual std::string_view Record() const { return {}; }
};

// Reads rows in record-number order (used to build and to check tags).
class RecordSource {
 public:
  virtual ~RecordSource() = default;
  virtual uint64_t Count() = 0;
  // Returns a view of row recno (1-based), valid until the next call.
  virtual const RecordView& Row(uint64_t recno) = 0;
  // Rows' stored bytes in bulk, as TableStorage offers them (BeginRecordCopies, CopyRecords):
  // the record length, or 0 when this source does not offer them.
  virtual size_t BeginRecordCopies() { return 0; }
  virtual void CopyRecords(uint64_t first, size_t n, char* out) const {
    (void)first;
    (void)n;
    (void)out;
  }
  // Every row's stored bytes, back to back, where the source holds them already (then read in
  // place rather than copied); empty otherwise.
  virtual std::string_view HeldRecords() const { return {}; }
};

// What the checker found; ok() means every tag agrees with the table and is in its collation's
// order.
struct IndexCheckReport {
  std::vector<std::string> problems;  // one line each: tag, record number, what is wrong
  // Tags whose keys are sound but in another consistent order than their collation's (written
  // by an engine with other rules): one line each, naming the order when it is a known one.
  std::vector<std::string> foreign_order;
  // Tags whose keys could not be compared with the rows (an expression the engine cannot
  // evaluate): their structure and order were checked only.
  std::vector<std::string> unchecked;
  bool ok() const { return problems.empty() && foreign_order.empty() && unchecked.empty(); }
};

// A tag's collation and whether its stored keys were found in that order.
struct TagOrderInfo {
  std::string tag;
  std::string collation;  // "" for numeric and date keys
  bool confirmed = false; // the collation is a known driver's
  bool in_order = false;  // keys and separators are in the collation's order
};

class MdxIndex {
 public:
  virtual ~MdxIndex() = default;

  // Opens the index at path for a table with these fields. Every tag's expressions are parsed
  // here: a tag whose expressions the evaluator does not know is marked unusable (TagInfo::problem)
  // and kept as found; using it, or writing to the table while it exists, is an error.
  static std::unique_ptr<MdxIndex> Open(const std::string& path, const std::vector<FieldSpec>& fields,
                                        const CodePage& cp, bool writable, const Collation& coll = Collation());
  // The same from the file already open (to write when `writable`, and then opened so).
  static std::unique_ptr<MdxIndex> Open(std::unique_ptr<File> file, const std::vector<FieldSpec>& fields,
                                        const CodePage& cp, bool writable, const Collation& coll = Collation());
  // Creates the index file with these tags, filled from every row of `rows`. Each tag's key
  // type and length follow from its expression (TagInfo::key_type is not consulted); a unique
  // tag keeps the first row of each key. Nothing is left behind when it fails.
  static void Create(const std::string& path, const std::string& table_name,
                     const std::vector<TagInfo>& tags, const std::vector<FieldSpec>& fields,
                     const CodePage& cp, RecordSource& rows, const Collation& coll = Collation());

  virtual std::vector<TagInfo> Tags() const = 0;
  // Record numbers of a tag in key order; with equal_to, only the keys equal to that value.
  virtual std::unique_ptr<KeyWalker> Walk(const std::string& tag, const std::optional<Value>& equal_to) = 0;
  // Keeps every tag true to a changed row (old and new contents of the same record number).
  virtual void Update(const RecordView& before, const RecordView& after) = 0;
  // Adds the keys of a new row.
  virtual void Insert(const RecordView& row) = 0;
  // Throws, having written nothing, when Update(*before, after) (or Insert(after), before null)
  // would have to place a key in a tag whose stored order is not its collation's. Callers run it
  // before they write the row itself.
  virtual void CheckWrite(const RecordView* before, const RecordView& after) = 0;
  // Each tag's collation and whether its order was confirmed (reads every tag once).
  virtual std::vector<TagOrderInfo> Orders() = 0;
  // The table's rows (not owned; nullptr to detach), read when a unique tag loses the row that
  // held a key: another row with that key then takes its place. Without it, that key goes
  // missing from the tag until the index is rebuilt.
  virtual void SetRowSource(RecordSource* rows) = 0;
  virtual void Flush() = 0;  // header, durable
  // Compares every tag with the rows: keys, membership, order, node structure (pointers outside
  // the file, key counts over capacity, loops). Never writes. A broken tag is reported, not
  // thrown; an unreadable file throws EngineError naming it.
  virtual IndexCheckReport Check(RecordSource& rows) = 0;
};

// The tags of an index as its header lists them, without parsing their expressions (tools).
std::vector<TagInfo> ReadMdxTags(const std::string& path);
// Every entry of a tag in order, the key as readable text (UTF-8; numbers as decimals, dates
// YYYYMMDD), for tools. Checks the tree's structure first; a broken tree throws.
void DumpMdxTag(const std::string& path, const std::string& tag, const CodePage& cp,
                const std::function<void(const std::string& key, uint64_t recno)>& each);

// Rewriting an index for a rebuilt table. The new index is written to new_path (normally a
// temporary name beside the old one, swapped in by the caller); the old file is only read.
constexpr uint64_t kPurgedRow = 0;
struct TagPlan {
  // The tag of the new index. With carry_over, only `name` is used: expressions, flags and key
  // come from the old tag `old_tag`. Where the tag's order is known (numbers, dates, a confirmed
  // collation) it is then built from the new rows like any other; in an order this engine does
  // not know, the old tag's entries keep the order they were found in (so that order survives),
  // minus those of purged rows, renumbered, after a check against the new rows' keys.
  // Without carry_over, the tag is built from its expressions over the new rows, in the
  // collation's order.
  TagInfo tag;
  bool carry_over = false;
  std::string old_tag;
  // With carry_over: the tag's expressions cannot be evaluated, so its entries are copied as
  // stored (renumbered) and nothing about them is computed.
  bool as_stored = false;
};
// recno_map[old_recno - 1] is the row's new record number or kPurgedRow. A carried tag whose
// expression no longer gives the same key type and length over new_fields is refused.
void RewriteIndex(const std::string& old_path, const std::string& new_path, const std::string& table_name,
                  const std::vector<TagPlan>& plan, const std::vector<uint64_t>& recno_map,
                  const std::vector<FieldSpec>& new_fields, const CodePage& cp, RecordSource& new_rows,
                  const Collation& coll = Collation());

}  // namespace engine::dbase
