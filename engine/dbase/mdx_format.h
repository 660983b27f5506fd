// The on-disk shape of a .MDX production index, shared by the files that build, change and
// check one: layout constants, little-endian helpers, a tag as read or to be written, nodes and
// flat entry lists, and the functions one part of the index lends the others.
//
// Internal to engine/dbase; mdx.h is the interface.
#pragma once

#include <array>
#include <cstring>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/collation.h"
#include "engine/dbase/entry_bytes.h"
#include "engine/dbase/expr.h"
#include "engine/dbase/mdx.h"
#include "engine/dbase/mdx_key.h"
#include "engine/error.h"

namespace engine::dbase::mdx_internal {

constexpr uint32_t kPageSize = 512;
constexpr uint32_t kBlockSize = 1024;
constexpr uint32_t kHeaderPages = 4;          // header and tag table: bytes 0..2047
constexpr uint32_t kTagTableOffset = 544;
constexpr uint32_t kTagSlotLength = 32;
constexpr int kMaxTags = 47;                  // slots that fit before the first tag block
constexpr int kMaxCharKey = 100;
constexpr int kMaxDepth = 24;
constexpr size_t kMaxProblemsPerTag = 50;
constexpr uint64_t kHoldWholeFile = 64u << 20;  // index files read whole for a full walk
constexpr size_t kKeyExprOffset = 24, kKeyExprMax = 220;
constexpr size_t kForFlagOffset = 245, kHasKeysOffset = 246;
constexpr size_t kForExprOffset = 762, kForExprMax = 1024 - 762 - 1;

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline std::string CString(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  std::string s(reinterpret_cast<const char*>(p), n);
  size_t end = s.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

inline void PutDate(uint8_t* p) {
  // Today's date in UTC, from the calendar of <chrono> (no gmtime_r, which not every C library has).
  const std::chrono::year_month_day today{std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())};
  p[0] = static_cast<uint8_t>(static_cast<int>(today.year()) - 1900);
  p[1] = static_cast<uint8_t>(static_cast<unsigned>(today.month()));
  p[2] = static_cast<uint8_t>(static_cast<unsigned>(today.day()));
}

inline bool SameName(const std::string& a, const std::string& b) { return FoldCase(a) == FoldCase(b); }

[[noreturn]] inline void Corrupt(const std::string& path, const std::string& tag, const std::string& what) {
  std::vector<std::string> ctx{CtxFile(path)};
  if (!tag.empty()) ctx.push_back(CtxIndex(tag));
  throw EngineError(err::kIndexCorrupt,
                    "El índice está dañado: " + what + ". Regenere los índices de la tabla.", ctx);
}

// One tag as read from (or about to be written to) the file.
struct TagMeta {
  TagInfo info;              // name and expressions in UTF-8
  std::string expr_bytes;    // key expression in the table's code page
  std::string for_bytes;     // FOR clause in the table's code page, "" for none
  uint32_t header_page = 0;
  uint32_t root = 0;
  char type = 'C';
  int key_len = 0;
  int item_len = 0;
  int capacity = 0;
  std::unique_ptr<Expression> key_expr;
  std::unique_ptr<Expression> for_expr;
  // Where the key lies in a stored record when it is one character field as stored (no FOR
  // clause); raw_length 0 otherwise.
  uint32_t raw_offset = 0;
  uint32_t raw_length = 0;
  // With raw_upper, the key is UPPER() of that field: each stored byte through upper_map (the
  // code page's capitals, as the expression's UPPER gives them).
  bool raw_upper = false;
  std::array<uint8_t, 256> upper_map{};
  // Whether upper_map takes the ASCII bytes as usual (a-z to A-Z, the others as they are), so
  // that a run of eight ASCII bytes can be put in capitals at once.
  bool upper_ascii = false;
  // Writes the key bytes of a stored field (n of them) as this tag's key has them.
  void CopyRawKey(uint8_t* to, const char* field, size_t n) const {
    if (!raw_upper) {
      std::memcpy(to, field, n);
      return;
    }
    size_t i = 0;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    for (; upper_ascii && i + 8 <= n; i += 8) {
      uint64_t w;
      std::memcpy(&w, field + i, 8);
      if (w & kHigh) {  // a byte past ASCII: these eight through the map
        for (size_t k = i; k < i + 8; ++k) to[k] = upper_map[static_cast<uint8_t>(field[k])];
        continue;
      }
      // Each byte on its own (none carries into the next): the high bit set where the byte is
      // at least 'a' and not past 'z', and moved onto the bit that tells small from capital.
      const uint64_t from_a = w + 0x1F1F1F1F1F1F1F1Full, past_z = w + 0x0505050505050505ull;
      w ^= (from_a & ~past_z & kHigh) >> 2;
      std::memcpy(to + i, &w, 8);
    }
    for (; i < n; ++i) to[i] = upper_map[static_cast<uint8_t>(field[i])];
  }
  // The order of character keys (the table's language driver); not owned.
  const Collation* coll = nullptr;
  // Why the engine cannot compute this tag's keys (an expression it does not know, or one that
  // does not give the stored key); "" when it can. Such a tag is kept as found: never used for
  // order or lookups, and no write may leave it stale.
  std::string unusable;
  // Whether the stored keys were found in this tag's order (tree and leaves), once looked at.
  enum class Order : uint8_t { kUnknown, kAgrees, kDiffers };
  Order order = Order::kUnknown;

  int Cmp(std::string_view a, std::string_view b) const {
    int c = type == 'C' && coll ? coll->Compare(a, b) : CompareKeys(type, a, b);
    return info.descending ? -c : c;
  }
};

struct Item {
  uint32_t ptr = 0;
  std::string key;
};

struct Node {
  uint32_t page = 0;
  std::vector<Item> items;
  uint32_t right = 0;  // rightmost child; 0 in a leaf
  bool leaf() const { return right == 0; }
};

inline int ItemLength(int key_len) { return (key_len + 4 + 3) / 4 * 4; }
inline int Capacity(int item_len) { return static_cast<int>((kBlockSize - 12) / static_cast<uint32_t>(item_len)); }

// (key, record number) entries of one tag, stored flat: each entry is the key followed by its
// record number (4 bytes, little-endian), so that a sort moves whole entries and the sorted
// list is read in one sweep when the tree is written.
struct EntryList {
  size_t key_len = 0;
  EntryBytes data;
  size_t stride() const { return key_len + 4; }
  size_t size() const { return data.size() / stride(); }
  std::string_view key(size_t i) const { return std::string_view(data.data() + i * stride(), key_len); }
  uint32_t recno(size_t i) const { return Get32(reinterpret_cast<const uint8_t*>(data.data()) + i * stride() + key_len); }
  void Add(std::string_view k, uint32_t recno) {
    data.append(k.data(), key_len);
    AddRecNo(recno);
  }
  void AddRecNo(uint32_t recno) {
    const char b[4] = {static_cast<char>(recno & 0xFF), static_cast<char>((recno >> 8) & 0xFF),
                       static_cast<char>((recno >> 16) & 0xFF), static_cast<char>(recno >> 24)};
    data.append(b, 4);
  }
};

// --- Building whole index files (mdx_build.cpp) -------------------------------------------

void EncodeNode(const Node& n, int item_len, int key_len, uint8_t* block);
// Writes a whole index: header, tag table, every tag from its entries. With `sort_last`, the
// last tag's entries come in record order and are sorted here, each leaf written as soon as the
// sort has finished its entries (see SortWhileWriting).
void WriteIndexFile(const std::string& path, const std::string& table_name, std::vector<TagMeta>& tags,
                    std::vector<EntryList>& entries, const CodePage& cp, bool sort_last = false);
// The key of a row for a tag, or nullopt when the FOR clause leaves the row out.
std::optional<std::string> RowKey(const TagMeta& t, const RecordView& row);
// Puts a tag's entries (gathered in record order) in tag order; a unique tag keeps the first
// row of each key. `scratch`, when given, holds at least the entries' bytes. Character keys
// are handed on to `final_upto` as their places become final (FlatSort::SortInParallel).
void SortEntries(const TagMeta& t, EntryList* e, char* scratch, const std::function<void(size_t)>& final_upto = {});
// Whether the last tag of a new index is best sorted by WriteIndexFile while its leaves are
// written: a large tag of character keys, shared among threads, that may repeat (a unique tag
// learns its entry count only once sorted), where the platform flushes early (kStartsFlushes).
// The disk then makes the file durable while the rest is sorted.
bool SortWhileWriting(const TagMeta& t, uint64_t rows);
// The sorted entries of every tag, from one pass over the rows.
// With sorted false, each tag's entries stay in record order; with leave_last_unsorted, the
// last tag's do (for WriteIndexFile's sort_last).
std::vector<EntryList> BuildEntries(const std::vector<const TagMeta*>& tags, RecordSource& rows, bool sorted,
                                    bool leave_last_unsorted = false);
// Keys that are a stored character field, as stored or in capitals (no FOR clause), are taken
// from the records without evaluating the expression: notes where that field lies in a record
// (TagMeta::raw_offset, raw_length, raw_upper), or leaves raw_length 0.
void FindStoredKey(TagMeta& t, const std::vector<FieldSpec>& fields, const CodePage& cp);
// Prepares a tag to create: expressions encoded and parsed, key shape fixed.
TagMeta NewTag(const TagInfo& info, const std::string& path, const std::vector<FieldSpec>& fields,
               const CodePage& cp, const Collation& coll);

// --- Comparing keys (mdx.cpp) --------------------------------------------------------------

// Whether a stored key is the key looked for. Character keys are padded with blanks, but other
// programs pad with NULs: both paddings count as the same.
bool SameKey(char type, std::string_view stored, std::string_view wanted);
// The first entry that comes before the one ahead of it in the tag's order; e.size() when none.
size_t FirstDisorder(const TagMeta& t, const EntryList& e);

}  // namespace engine::dbase::mdx_internal
