// The storage interface: one open table in its files (.DBF with .DBT and .MDX; .DB with .MB, .PX
// and .VAL), as the cursor layer (cursor.h) and the restructure call see it. dBASE and Paradox
// each implement it; nothing above this interface knows a file format.
//
// Record numbers are 1-based positions in the table file's physical order. Record buffers are
// the raw bytes of one record as the format stores it (RecordLength() bytes); only the storage
// interprets them. Every failure throws EngineError naming the file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bde.h"
#include "engine/codepage.h"
#include "engine/collation.h"
#include "engine/value.h"

namespace engine {

struct FieldSpec {
  std::string name;       // as stored (UTF-8)
  uint16_t type = 0;      // physical type code (bde::fldDBCHAR, bde::fldPDXLONG, ...)
  uint16_t size = 0;      // width, length or BCD places, as the format's descriptor gives it
  uint16_t decimals = 0;  // decimals of dBASE N and F fields; 0 elsewhere
  uint32_t offset = 0;    // within the record buffer (set by the storage)
  uint32_t length = 0;    // bytes within the record buffer (set by the storage)
};

struct TagInfo {
  std::string name;
  std::string expression;
  std::string filter;     // FOR clause, "" for none
  char key_type = 'C';    // 'C', 'N', 'D'
  bool unique = false;
  bool descending = false;
  // Why the engine cannot use the tag (an expression it cannot evaluate); "" when it can.
  std::string problem;
};

// Walks the record numbers of one index tag in key order.
class KeyWalker {
 public:
  virtual ~KeyWalker() = default;
  // Next record number, or false at the end.
  virtual bool Next(uint64_t* recno) = 0;
};

enum class TableFormat { kDbase, kParadox, kFoxPro };

struct OpenOptions {
  bool exclusive = false;   // exclusive lock instead of shared
  bool read_only = false;   // open files read-only (tools, checks)
};

class TableStorage {
 public:
  virtual ~TableStorage() = default;

  virtual const std::string& Path() const = 0;          // the main file
  virtual TableFormat Format() const = 0;
  virtual std::string TypeName() const = 0;             // "DBASE", "PARADOX", "FOXPRO"
  virtual int Level() const = 0;                         // 3, 4, 5 or 7
  virtual const CodePage& Codepage() const = 0;
  virtual std::string LanguageDriverName() const = 0;   // "DBWINUS0", "ascii", ... or ""
  // The order of the table's character index keys (its language driver's).
  virtual Collation KeyCollation() const { return Collation(); }
  virtual const std::vector<FieldSpec>& Fields() const = 0;
  virtual uint32_t RecordLength() const = 0;
  virtual int KeyFieldCount() const { return 0; }        // Paradox primary key fields

  virtual uint64_t RecordCount() = 0;
  virtual void ReadRecord(uint64_t recno, std::string* buf) = 0;
  // Rows read in bulk, for readers of a whole table that share the work among threads (the
  // index build). BeginRecordCopies says whether the storage offers them (writing out first
  // whatever rows it holds back); after it, CopyRecords may be called from several threads at
  // once as long as nothing else is called. CopyRecords puts the stored bytes of rows
  // first..first+n-1 (1-based) in `out`, n * RecordLength() bytes.
  virtual bool BeginRecordCopies() { return false; }
  virtual void CopyRecords(uint64_t first, size_t n, char* out) const {
    (void)first;
    (void)n;
    (void)out;
  }
  virtual bool IsDeleted(const std::string& buf) const = 0;
  // Decodes field `field` (0-based) of a record buffer; memos and blobs are read from their file.
  virtual Value GetValue(const std::string& buf, int field) = 0;
  // The same into a Value that a reader of many rows keeps from row to row, so that its text
  // storage is reused rather than made anew for every field.
  virtual void ReadValue(const std::string& buf, int field, Value* out) { *out = GetValue(buf, field); }
  // Throws what GetValue would throw for the field, without keeping the value: a check of every
  // stored value reads them by the million. Any value that GetValue reads passes.
  virtual void CheckValue(const std::string& buf, int field) { GetValue(buf, field); }
  // The same for a record's bytes held elsewhere (a check that reads the records whole); by
  // default through a copy of them.
  virtual void CheckValueIn(std::string_view record, int field) { CheckValue(std::string(record), field); }
  // False for a field of which any stored bytes are a value (CheckValue never refuses them), so
  // that a check of every row can pass it over.
  virtual bool CheckCanRefuse(int field) const {
    (void)field;
    return true;
  }
  // Encodes a value into a record buffer; throws EngineError (kValueOutOfRange, kConversion)
  // when it does not fit or convert. Memo text may be written to the memo file at once.
  virtual void SetValue(std::string* buf, int field, const Value& v) = 0;
  virtual std::string BlankRecord() const = 0;
  // Rewrites a record, keeping every index true to it (old_buf is what was read).
  virtual void UpdateRecord(uint64_t recno, const std::string& old_buf, const std::string& new_buf) = 0;
  // Adds a record at the end (keyed Paradox tables: in key order); returns its record number.
  virtual uint64_t AppendRecord(const std::string& buf) = 0;
  virtual void SetDeleted(uint64_t recno, bool deleted) = 0;
  // Many rows at once, composed in place: `fill` is given room for up to n stored rows
  // (RecordLength() bytes each, back to back, deletion marks included where the format keeps
  // them in the row) and returns how many it wrote. A table in bulk mode (BeginBulkAppend) may
  // give it its own write buffer, sparing a copy of every row; the rows are otherwise appended
  // one by one as by AppendRecord. Returns the number of rows appended.
  virtual size_t AppendRecords(size_t n, const std::function<size_t(char* rows)>& fill);
  // Writes header counts and makes the files durable.
  virtual void Flush() = 0;
  // Many appends in a row (a table being rebuilt): the storage may gather rows and write them in
  // large blocks. Rows and counts reach the files at EndBulkAppend or Flush at the latest.
  virtual void BeginBulkAppend() {}
  virtual void EndBulkAppend() {}

  // The stored bytes of a memo or blob field (memo text in the table's code page), so that a
  // rebuilt table of the same format and code page takes them without decoding and encoding;
  // nullopt when this storage has no such shortcut. "" is a field without a value.
  virtual std::optional<std::string> GetBlobBytes(const std::string& buf, int field) {
    (void)buf;
    (void)field;
    return std::nullopt;
  }
  // Stores such bytes in a blob field of a record buffer; false when there is no such shortcut.
  virtual bool SetBlobBytes(std::string* buf, int field, const std::string& bytes) {
    (void)buf;
    (void)field;
    (void)bytes;
    return false;
  }

  // Copies the values of memo and blob fields from the stored rows of another storage into this
  // one, as SetBlobBytes(GetBlobBytes(...)) would, without each value passing through a string
  // of its own; nullptr when this storage has no such way for `from` (which must outlive it).
  class BlobCopier {
   public:
    virtual ~BlobCopier() = default;
    // The value of `from_field` of a stored row of the source (`from_row`, its RecordLength()
    // bytes) into `field` of a row being composed for this storage (`row`).
    virtual void Copy(const char* from_row, int from_field, char* row, int field) = 0;
  };
  virtual std::unique_ptr<BlobCopier> BlobCopierFrom(TableStorage& from) {
    (void)from;
    return nullptr;
  }

  virtual std::vector<TagInfo> Tags() { return {}; }
  // Walks a tag; with equal_to set, only the keys equal to that value (as the tag's key of a row
  // whose key expression gave it). Throws kNoSuchIndex for an unknown tag.
  virtual std::unique_ptr<KeyWalker> WalkTag(const std::string& tag,
                                             const std::optional<Value>& equal_to);

  virtual std::vector<bde::VCHKDesc> ValChecks() { return {}; }

  // Fills what recreating this table with other fields must keep (header bytes, key fields...).
  virtual void DescribeForRecreate(struct TableDefinition* def) const { (void)def; }
};

// Opens the table at `path` (an existing, exact path), choosing the format from `format`. A table
// whose swap is unfinished (swap.h) is refused with kTableInUse: it is being updated.
std::unique_ptr<TableStorage> OpenStorage(const std::string& path, TableFormat format,
                                          const OpenOptions& options);

// A table to create: fields with their physical types and sizes, index tags, level, code page.
struct TableDefinition {
  TableFormat format = TableFormat::kDbase;
  int level = 4;
  int codepage = 1252;
  std::vector<FieldSpec> fields;
  std::vector<TagInfo> tags;
  int key_fields = 0;                      // Paradox primary key
  std::vector<bde::VCHKDesc> val_checks;   // Paradox validity checks
  // Paradox: the referential-integrity section of the .VAL, as stored, that a rebuild carries
  // over (paradox::CarriedReferentialIntegrity); "" for none.
  std::string paradox_ri;
  // dBASE: keep these header bytes of an existing table (a restructure keeps the table's version
  // byte with its memo flags, its language driver and its driver name); -1 / "" choose from
  // level, fields and code page.
  // The fields come from an existing table (a rebuild): sizes its writer chose are taken as they
  // are, even past the level's usual limits, where the format itself can hold them.
  bool sizes_as_stored = false;
  int dbase_version = -1;
  int language_driver = -1;
  std::string driver_name;
  // dBASE: whether the new table and memo files are made durable before CreateStorage returns.
  // A rebuild turns it off: it fills the files and syncs each of them once before it swaps.
  bool sync_on_create = true;
};

// Creates (or overwrites) the table at `path` with no rows.
void CreateStorage(const std::string& path, const TableDefinition& def);

}  // namespace engine
