// Secondary indexes of Paradox tables: the .Xnn/.Ynn pair of a single-field index (nn = the
// field's number in hexadecimal) and the .XGn/.YGn pair of a composite or named index.
//
// What the files hold (Kevin Mitchell, "PARADOX 4.x FILE FORMATS"; Randy Beck, "The PARADOX File
// Structure"; checked on the indexes that Paradox 5 wrote beside ../samples' joins/ tables):
// - The .X file is laid out like a keyed .DB: its header (fileType 3 or 6: not maintained, 5 or 8:
//   maintained) lists the indexed fields, then the table's primary key fields, then a Short field
//   ("Blk Num", "Hint") holding the number of the .DB block where the row lies; every field but
//   that last one belongs to the .X file's key, so it holds one record per row, in index order.
//   After the field names come one u16 per field (the first ones: the indexed fields' numbers in
//   the .DB), the sort order's name and the index's name (empty for a single-field index, which
//   takes its field's name). Header byte 0x15 is the field number of a single-field index, and
//   byte 0x2E repeats the .DB's changeCount2 (an index of another version of the table differs).
//   Level-7 tables mark a descending index with 0x11 in byte 0x55.
// - The .Y file is the .X file's primary index, laid out like a .PX (fileType 4 or 7).
// Not described consistently anywhere public, and so never guessed here: how a case-insensitive
// or unique index is marked (see KnownOrder). The engine writes new indexes only where that does not matter: case-sensitive
// ones over keys that sort bytewise, and rebuilt ones that keep an existing index's order and the
// header bytes it does not interpret (px_index_write.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/codepage.h"
#include "engine/fs.h"
#include "engine/paradox/px_file.h"
#include "engine/storage.h"

namespace engine::paradox {

// The files of one secondary index, as found beside a table.
struct IndexFiles {
  std::string x_path, y_path;  // y_path is "" when the .Y file is missing
  bool composite = false;      // .XGn
  int number = 0;              // nn of .Xnn (the field number), n of .XGn
};

// Every .X file beside the table at `table_path` (any letter case), with its .Y file.
std::vector<IndexFiles> FindIndexFiles(FileSystem& fs, const std::string& table_path);

// What the table offers the index code.
struct IndexedTable {
  std::string path;
  uint8_t version_id = 0;
  uint8_t change_count = 0;            // .DB byte 0x2E
  int key_fields = 0;
  std::string sort_name;
  const CodePage* cp = nullptr;
  std::vector<HeaderField> fields;
};

struct SecondaryIndex {
  IndexFiles files;
  std::string name;                // the index's name (single-field: the field's name)
  bool maintained = false;
  bool descending = false;
  std::vector<int> fields;         // 0-based fields of the table, in key order
  std::vector<HeaderField> xfields;
  uint32_t record_len = 0;         // .X record
  uint32_t key_len = 0;            // every field but the block number
  uint32_t sec_len = 0;            // the indexed fields only
  uint16_t header_size = 0;
  uint32_t block_size = 0;
  uint8_t change_count = 0;        // .X byte 0x2E
  uint8_t mark = 0;                // .X byte 0x55 at level 7 (0 before): direction, and see KnownOrder
  size_t numbers_at = 0;           // .X header offset of the fields' numbers
  // Why the engine cannot use the index; "" when it can.
  std::string problem;
};

// Whether the engine knows the order of the index's keys: byte 0x55 says ascending (0x00) or
// descending (0x11), both case-sensitive. Beck's description lists other values for level-7
// indexes (0x01, 0x21: ascending, 0x20 unique; 0x10, 0x30 descending, "case insensitive") in a
// table whose rows contradict each other on case, and no public source says how such keys are
// compared: their order is kept (walks, restructures) but never made anew.
inline bool KnownOrder(const SecondaryIndex& ix) { return ix.mark == 0x00 || ix.mark == 0x11; }
// The mark as it is written in messages ("0x10").
inline std::string MarkText(const SecondaryIndex& ix) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string("0x") + kDigits[ix.mark >> 4] + kDigits[ix.mark & 15];
}

// Reads and checks the header of an index's .X file against the table. Throws EngineError
// naming the file when it is not a secondary index of this table.
SecondaryIndex ReadIndexHeader(FileSystem& fs, const IndexFiles& files, const IndexedTable& table);

// One record of the .X file and the block it lies in.
struct IndexRecord {
  std::string bytes;
  uint16_t block = 0;
};

// Reads the .X file's records in index order (its block chain). Throws EngineError on damage.
std::vector<IndexRecord> ReadIndexRecords(FileSystem& fs, const SecondaryIndex& index);

// The table's rows as an index check sees them (0-based positions).
class IndexRows {
 public:
  virtual ~IndexRows() = default;
  virtual uint64_t Count() = 0;
  virtual const std::string& Row(uint64_t pos) = 0;
  virtual uint16_t BlockOf(uint64_t pos) = 0;
  virtual uint32_t Offset(int field) = 0;
  virtual uint32_t Length(int field) = 0;
};

// The index key a row has in this index (indexed fields, then the primary key fields).
std::string IndexKeyOf(const SecondaryIndex& index, IndexRows& rows, uint64_t pos);

struct IndexCheck {
  std::vector<std::string> problems;   // the index does not match the table
  std::vector<std::string> unchecked;  // what could not be confirmed (the order of a collated key)
};

// Compares an index with the table: one record per row with the row's key and block, records in
// key order, the .Y file's entries matching the .X blocks.
IndexCheck CheckIndex(FileSystem& fs, const SecondaryIndex& index, const IndexedTable& table, IndexRows& rows);

// A secondary index to write.
struct IndexDefinition {
  std::vector<int> fields;  // 0-based fields of the table, in key order
  bool composite = false;   // .XGn (named `name`); otherwise .Xnn of fields[0] (one field)
  std::string name;         // a composite index's name
  bool maintained = true;
  bool descending = false;  // level 7 only
};

// Writes an index's .X file and its .Y file for the table's rows: one .X record per row (the
// row's key, see IndexKeyOf, then its block), in `order` (row positions, 0-based, in index order),
// the .X blocks filled in that order and the .Y built over them like a .PX. With `like` (an index
// of an older version of the table whose order `order` keeps), the header bytes this engine does
// not interpret are carried over from its files, and so are its sort order's and index's names.
// Both files are made durable.
void WriteIndex(FileSystem& fs, const IndexedTable& table, IndexRows& rows, const IndexDefinition& def,
                const std::vector<uint64_t>& order, const SecondaryIndex* like, const std::string& x_path,
                const std::string& y_path);

// The row positions in the order of the index keys' bytes (descending: reversed), equal keys by
// position.
std::vector<uint64_t> BytewiseOrder(const IndexedTable& table, const IndexDefinition& def, IndexRows& rows);

// The secondary indexes of one open table.
class SecondarySet {
 public:
  // Reads every index header beside the table. An index that cannot be read does not stop the
  // table from opening: it is kept with its problem (and refused for walks).
  void Load(FileSystem& fs, const IndexedTable& table);
  const std::vector<SecondaryIndex>& Indexes() const { return indexes_; }
  // Gives every index that has none this problem (indexes that may not match the rows).
  void SetProblem(const std::string& problem) {
    for (auto& ix : indexes_)
      if (ix.problem.empty()) ix.problem = problem;
  }
  bool Empty() const { return indexes_.empty(); }
  // The index of that name (letter case aside), or nullptr.
  const SecondaryIndex* Find(const std::string& name) const;
  std::vector<TagInfo> Tags(const IndexedTable& table) const;
  // The table's record numbers in the index's order; with equal_to, only the rows whose indexed
  // field holds that value (single-field indexes). Throws kNoSuchIndex, or the index's problem.
  std::unique_ptr<KeyWalker> Walk(FileSystem& fs, const IndexedTable& table, const std::string& name,
                                  const std::optional<Value>& equal_to, IndexRows& rows) const;

 private:
  std::vector<SecondaryIndex> indexes_;
};

}  // namespace engine::paradox
