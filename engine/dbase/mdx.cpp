#include "engine/dbase/mdx.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "engine/collation.h"
#include "engine/dbase/expr.h"
#include "engine/dbase/flat_sort.h"
#include "engine/dbase/mdx_key.h"
#include "engine/error.h"
#include "engine/read_ahead.h"

namespace engine::dbase {

namespace {

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

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string CString(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  std::string s(reinterpret_cast<const char*>(p), n);
  size_t end = s.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

void PutDate(uint8_t* p) {
  // Today's date in UTC, from the calendar of <chrono> (no gmtime_r, which not every C library has).
  const std::chrono::year_month_day today{std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())};
  p[0] = static_cast<uint8_t>(static_cast<int>(today.year()) - 1900);
  p[1] = static_cast<uint8_t>(static_cast<unsigned>(today.month()));
  p[2] = static_cast<uint8_t>(static_cast<unsigned>(today.day()));
}

bool SameName(const std::string& a, const std::string& b) { return FoldCase(a) == FoldCase(b); }

[[noreturn]] void Corrupt(const std::string& path, const std::string& tag, const std::string& what) {
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

int ItemLength(int key_len) { return (key_len + 4 + 3) / 4 * 4; }
int Capacity(int item_len) { return static_cast<int>((kBlockSize - 12) / static_cast<uint32_t>(item_len)); }

// (key, record number) entries of one tag, stored flat: each entry is the key followed by its
// record number (4 bytes, little-endian), so that a sort moves whole entries and the sorted
// list is read in one sweep when the tree is written.
struct EntryList {
  size_t key_len = 0;
  std::string data;
  size_t stride() const { return key_len + 4; }
  size_t size() const { return data.size() / stride(); }
  std::string_view key(size_t i) const { return std::string_view(data).substr(i * stride(), key_len); }
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

// Writes blocks sequentially, keeping a buffer of consecutive pages.
class BlockWriter {
 public:
  explicit BlockWriter(File& f) : f_(f) {}
  uint32_t Allocate() {
    uint32_t p = next_page_;
    next_page_ += kBlockSize / kPageSize;
    return p;
  }
  uint32_t next_page() const { return next_page_; }
  void Write(uint32_t page, const uint8_t* block) {
    uint64_t off = static_cast<uint64_t>(page) * kPageSize;
    if (buf_.empty()) buf_start_ = off;
    if (off != buf_start_ + buf_.size()) {
      FlushBuffer();
      buf_start_ = off;
    }
    buf_.append(reinterpret_cast<const char*>(block), kBlockSize);
    if (buf_.size() >= (4u << 20)) FlushBuffer();
  }
  void FlushBuffer() {
    if (!buf_.empty()) f_.WriteAt(buf_start_, buf_.data(), buf_.size());
    buf_.clear();
  }

 private:
  File& f_;
  uint32_t next_page_ = kHeaderPages;
  std::string buf_;
  uint64_t buf_start_ = 0;
};

void EncodeNode(const Node& n, int item_len, int key_len, uint8_t* block) {
  std::memset(block, 0, kBlockSize);
  Put32(block, static_cast<uint32_t>(n.items.size()));
  size_t off = 8;
  for (const Item& it : n.items) {
    Put32(block + off, it.ptr);
    std::memcpy(block + off + 4, it.key.data(), std::min(it.key.size(), static_cast<size_t>(key_len)));
    off += static_cast<size_t>(item_len);
  }
  Put32(block + off, n.right);
}

// Builds a B-tree of entries (already in tag order) into freshly allocated blocks; returns the
// root page.
uint32_t BuildTree(BlockWriter& w, const EntryList& e, int key_len, int item_len, int capacity) {
  std::vector<uint8_t> block(kBlockSize);
  struct Child {
    uint32_t page;
    size_t last;  // index of the entry holding the subtree's highest key
  };
  std::vector<Child> level;
  size_t n = e.size();
  size_t leaves = n == 0 ? 1 : (n + static_cast<size_t>(capacity) - 1) / static_cast<size_t>(capacity);
  size_t at = 0;
  for (size_t i = 0; i < leaves; ++i) {
    size_t count = n / leaves + (i < n % leaves ? 1 : 0);
    std::memset(block.data(), 0, kBlockSize);
    Put32(block.data(), static_cast<uint32_t>(count));
    size_t off = 8;
    for (size_t k = 0; k < count; ++k, ++at) {
      Put32(block.data() + off, e.recno(at));
      std::memcpy(block.data() + off + 4, e.key(at).data(), static_cast<size_t>(key_len));
      off += static_cast<size_t>(item_len);
    }
    uint32_t page = w.Allocate();
    w.Write(page, block.data());
    level.push_back({page, at == 0 ? 0 : at - 1});
  }
  size_t fan = static_cast<size_t>(capacity) + 1;
  while (level.size() > 1) {
    std::vector<Child> up;
    size_t nodes = (level.size() + fan - 1) / fan;
    size_t c = 0;
    for (size_t i = 0; i < nodes; ++i) {
      size_t count = level.size() / nodes + (i < level.size() % nodes ? 1 : 0);
      std::memset(block.data(), 0, kBlockSize);
      Put32(block.data(), static_cast<uint32_t>(count - 1));
      size_t off = 8;
      for (size_t k = 0; k + 1 < count; ++k, ++c) {
        Put32(block.data() + off, level[c].page);
        std::memcpy(block.data() + off + 4, e.key(level[c].last).data(), static_cast<size_t>(key_len));
        off += static_cast<size_t>(item_len);
      }
      Put32(block.data() + off, level[c].page);
      size_t last = level[c].last;
      ++c;
      uint32_t page = w.Allocate();
      w.Write(page, block.data());
      up.push_back({page, last});
    }
    level = std::move(up);
  }
  return level[0].page;
}

void EncodeTagHeader(const TagMeta& t, uint8_t ldid, bool has_keys, uint8_t* block) {
  std::memset(block, 0, kBlockSize);
  Put32(block, t.root);
  Put32(block + 4, kBlockSize / kPageSize);
  block[8] = static_cast<uint8_t>(0x10 | (t.info.descending ? 0x08 : 0) | (t.info.unique ? 0x40 : 0));
  block[9] = static_cast<uint8_t>(t.type);
  block[10] = ldid;
  Put16(block + 12, static_cast<uint32_t>(t.key_len));
  Put16(block + 14, static_cast<uint32_t>(t.capacity));
  Put16(block + 16, t.type == 'D' ? 1 : 0);
  Put16(block + 18, static_cast<uint32_t>(t.item_len));
  block[23] = t.info.unique ? 0x40 : 0;
  std::memcpy(block + kKeyExprOffset, t.expr_bytes.data(), std::min(t.expr_bytes.size(), kKeyExprMax));
  block[kForFlagOffset] = t.for_bytes.empty() ? 0 : 1;
  block[kHasKeysOffset] = has_keys ? 1 : 0;
  std::memcpy(block + kForExprOffset, t.for_bytes.data(), std::min(t.for_bytes.size(), kForExprMax));
}

// Writes a whole index: header, tag table, every tag from its entries.
void WriteIndexFile(const std::string& path, const std::string& table_name, std::vector<TagMeta>& tags,
                    const std::vector<EntryList>& entries, const CodePage& cp) {
  if (tags.size() > static_cast<size_t>(kMaxTags))
    throw EngineError(err::kInvalidParam, "Un índice .MDX admite como mucho 47 etiquetas.", {CtxFile(path)});
  FileSystem* fs = CurrentFileSystem();
  std::unique_ptr<File> f = fs->Open(path, OpenMode::kCreate);
  try {
    uint8_t ldid = LanguageDriverForCodePage(cp.number());
    BlockWriter w(*f);
    std::vector<uint8_t> block(kBlockSize);
    for (size_t i = 0; i < tags.size(); ++i) {
      TagMeta& t = tags[i];
      t.header_page = w.Allocate();
      t.root = BuildTree(w, entries[i], t.key_len, t.item_len, t.capacity);
      EncodeTagHeader(t, ldid, entries[i].size() > 0, block.data());
      w.Write(t.header_page, block.data());
    }
    w.FlushBuffer();
    std::vector<uint8_t> head(kHeaderPages * kPageSize, 0);
    head[0] = 2;
    PutDate(&head[1]);
    std::string base = BaseName(table_name);
    if (size_t dot = base.rfind('.'); dot != std::string::npos) base.resize(dot);
    std::optional<std::string> enc = cp.Encode(base);
    std::string name = enc ? *enc : std::string();
    for (char& c : name) c = static_cast<char>(cp.ToUpper(static_cast<uint8_t>(c)));
    std::memcpy(&head[4], name.data(), std::min<size_t>(name.size(), 16));
    Put16(&head[20], kBlockSize / kPageSize);
    Put16(&head[22], kBlockSize);
    head[24] = 1;
    head[25] = 48;
    head[26] = kTagSlotLength;
    Put16(&head[28], static_cast<uint32_t>(tags.size()));
    head[31] = ldid;
    Put32(&head[32], w.next_page());
    PutDate(&head[44]);
    // Tag table: a binary tree over the tag names in creation order (left, right, parent).
    std::vector<uint8_t> left(tags.size(), 0), right(tags.size(), 0), parent(tags.size(), 0);
    for (size_t i = 1; i < tags.size(); ++i) {
      size_t at = 0;
      while (true) {
        bool go_left = tags[i].info.name < tags[at].info.name;
        uint8_t& next = go_left ? left[at] : right[at];
        if (next == 0) {
          next = static_cast<uint8_t>(i + 1);
          parent[i] = static_cast<uint8_t>(at + 1);
          break;
        }
        at = next - 1u;
      }
    }
    for (size_t i = 0; i < tags.size(); ++i) {
      uint8_t* s = &head[kTagTableOffset + kTagSlotLength * i];
      Put32(s, tags[i].header_page);
      std::optional<std::string> tn = cp.Encode(tags[i].info.name);
      std::memcpy(s + 4, tn->data(), std::min<size_t>(tn->size(), 10));
      s[15] = 0x10;
      s[16] = left[i];
      s[17] = right[i];
      s[18] = parent[i];
      s[19] = 0x02;
      s[20] = static_cast<uint8_t>(tags[i].type);
    }
    f->WriteAt(0, head.data(), head.size());
    f->Sync();
  } catch (...) {
    f.reset();
    try {
      fs->Remove(path);
    } catch (...) {
    }
    throw;
  }
}

// Fills a tag's key shape from its key expression.
void ShapeTag(TagMeta& t, const std::string& path) {
  char et = t.key_expr->type();
  if (et == 'C') {
    t.key_len = t.key_expr->width();
    if (t.key_len < 1 || t.key_len > kMaxCharKey)
      throw EngineError(err::kInvalidExpression,
                        "La clave de la etiqueta mide " + std::to_string(t.key_len) +
                            " bytes; debe medir entre 1 y 100.",
                        {CtxFile(path), CtxIndex(t.info.name)});
  } else if (et == 'N') {
    t.key_len = kNumericKeyLength;
  } else if (et == 'D') {
    t.key_len = kDateKeyLength;
  } else {
    throw EngineError(err::kInvalidExpression, "La expresión de la etiqueta da un valor lógico, que no sirve de clave.",
                      {CtxFile(path), CtxIndex(t.info.name)});
  }
  t.type = et;
  t.item_len = ItemLength(t.key_len);
  t.capacity = Capacity(t.item_len);
}

std::string KeyOf(const TagMeta& t, const ExprValue& v) {
  if (t.type == 'C') {
    std::string k = v.text;
    k.resize(static_cast<size_t>(t.key_len), ' ');
    return k;
  }
  if (t.type == 'D') return EncodeDateKey(v.day);
  std::string k;
  if (v.text.empty() || !EncodeNumericKey(v.text, &k)) k = EncodeNumericKey(v.number);
  return k;
}

// The key of a row for a tag, or nullopt when the FOR clause leaves the row out.
std::optional<std::string> RowKey(const TagMeta& t, const RecordView& row) {
  if (t.for_expr && !t.for_expr->Eval(row).logical) return std::nullopt;
  return KeyOf(t, t.key_expr->Eval(row));
}

// Puts a tag's entries (gathered in record order) in tag order; a unique tag keeps the first
// row of each key.
// From this many rows on, tags are sorted on every processor the machine offers (at most four)
// and the sort's scratch space is made ready on another thread while the rows are read.
constexpr uint64_t kLargeTag = 1u << 16;

// `scratch`, when given, holds at least the entries' bytes.
// With in_weights, the character keys were already turned into their collation's weights.
void SortEntries(const TagMeta& t, EntryList* e, char* scratch, bool in_weights = false) {
  size_t n = e->size(), s = e->stride();
  if (t.type == 'C') {
    std::unique_ptr<char[]> own;
    if (!scratch) {
      own = std::make_unique<char[]>(e->data.size());
      scratch = own.get();
    }
    unsigned threads = n < kLargeTag ? 1u : std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    // Under a language driver's order the keys are sorted as their weights, then given back
    // their bytes (every byte has a weight of its own).
    const bool collated = t.coll && !t.coll->binary();
    char* d = e->data.data();
    if (collated && !in_weights)
      for (size_t i = 0; i < n; ++i) t.coll->ToWeights(d + i * s, e->key_len);
    FlatSort(e->key_len, s, t.info.descending).SortInParallel(d, scratch, n, threads);
    if (collated)
      for (size_t i = 0; i < n; ++i) t.coll->FromWeights(d + i * s, e->key_len);
  } else {
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return t.Cmp(e->key(a), e->key(b)) < 0; });
    std::string sorted;
    sorted.reserve(e->data.size());
    for (uint32_t at : order) sorted.append(e->data, static_cast<size_t>(at) * s, s);
    e->data = std::move(sorted);
  }
  if (!t.info.unique || n == 0) return;
  size_t kept = 1;
  for (size_t i = 1; i < n; ++i) {
    if (t.Cmp(e->key(kept - 1), e->key(i)) == 0) continue;
    if (kept != i) std::memmove(e->data.data() + kept * s, e->data.data() + i * s, s);
    ++kept;
  }
  e->data.resize(kept * s);
}

// The sorted entries of every tag, from one pass over the rows.
// With sorted false, each tag's entries stay in record order.
std::vector<EntryList> BuildEntries(const std::vector<const TagMeta*>& tags, RecordSource& rows, bool sorted = true) {
  uint64_t count = rows.Count();
  if (count > 0xFFFFFFFFull)
    throw EngineError(err::kTableFull, "La tabla tiene demasiados registros para un índice .MDX.");
  std::vector<EntryList> out(tags.size());
  std::vector<char> weigh(tags.size(), 0);  // whether a tag's keys are stored as weights meanwhile
  for (size_t i = 0; i < tags.size(); ++i)
    weigh[i] = sorted && tags[i]->type == 'C' && tags[i]->coll && !tags[i]->coll->binary();
  size_t scratch_bytes = 0;
  for (size_t i = 0; i < tags.size(); ++i) {
    out[i].key_len = static_cast<size_t>(tags[i]->key_len);
    out[i].data.reserve(static_cast<size_t>(count) * out[i].stride());
    if (tags[i]->type == 'C') scratch_bytes = std::max(scratch_bytes, static_cast<size_t>(count) * out[i].stride());
  }
  // Fresh memory costs a page fault per page on first touch: for large tags, another thread takes
  // those for the sort's scratch space while this one reads the rows.
  std::unique_ptr<char[]> scratch;
  std::exception_ptr scratch_failure;
  std::thread preparing;
  if (sorted && count >= kLargeTag && scratch_bytes > 0 && std::thread::hardware_concurrency() > 1) {
    preparing = std::thread([&] {
      try {
        scratch = std::make_unique<char[]>(scratch_bytes);  // zeroed, so every page is touched
      } catch (...) {
        scratch_failure = std::current_exception();
      }
    });
  }
  struct Join {
    std::thread& t;
    ~Join() {
      if (t.joinable()) t.join();
    }
  } join{preparing};
  for (uint64_t r = 1; r <= count; ++r) {
    const RecordView& row = rows.Row(r);
    std::string_view record = row.Record();
    for (size_t i = 0; i < tags.size(); ++i) {
      const TagMeta& t = *tags[i];
      EntryList& e = out[i];
      if (t.raw_length > 0 && record.size() >= size_t{t.raw_offset} + t.raw_length) {
        // The common case: a character field as it is stored, straight from the record.
        size_t n = std::min<size_t>(t.raw_length, e.key_len);
        e.data.append(record.data() + t.raw_offset, n);
        e.data.append(e.key_len - n, ' ');
        // Keys to sort under a driver's order become weights while they are at hand.
        if (weigh[i]) t.coll->ToWeights(e.data.data() + e.data.size() - e.key_len, e.key_len);
        e.AddRecNo(static_cast<uint32_t>(r));
        continue;
      }
      std::optional<std::string> k = RowKey(t, row);
      if (k) {
        e.Add(*k, static_cast<uint32_t>(r));
        if (weigh[i]) t.coll->ToWeights(e.data.data() + e.data.size() - e.stride(), e.key_len);
      }
    }
  }
  if (preparing.joinable()) preparing.join();
  if (scratch_failure) std::rethrow_exception(scratch_failure);
  if (sorted)
    for (size_t i = 0; i < tags.size(); ++i) SortEntries(*tags[i], &out[i], scratch.get(), weigh[i]);
  return out;
}

// Prepares a tag to create: expressions encoded and parsed, key shape fixed.
TagMeta NewTag(const TagInfo& info, const std::string& path, const std::vector<FieldSpec>& fields,
               const CodePage& cp, const Collation& coll) {
  TagMeta t;
  t.info = info;
  t.coll = &coll;
  std::vector<std::string> ctx{CtxFile(path), CtxIndex(info.name)};
  std::optional<std::string> name = cp.Encode(info.name);
  if (info.name.empty() || !name || name->size() > 10)
    throw EngineError(err::kInvalidParam, "El nombre de la etiqueta debe tener de 1 a 10 caracteres.", ctx);
  std::optional<std::string> expr = cp.Encode(info.expression);
  std::optional<std::string> filt = cp.Encode(info.filter);
  if (!expr || !filt || expr->size() > kKeyExprMax || filt->size() > kForExprMax)
    throw EngineError(err::kInvalidExpression, "La expresión de la etiqueta es demasiado larga o tiene caracteres no válidos.", ctx);
  t.expr_bytes = *expr;
  t.for_bytes = *filt;
  try {
    t.key_expr = Expression::Parse(t.expr_bytes, fields, cp);
    if (!t.for_bytes.empty()) {
      t.for_expr = Expression::Parse(t.for_bytes, fields, cp);
      if (t.for_expr->type() != 'L')
        throw EngineError(err::kInvalidExpression, "La condición FOR de la etiqueta no da un valor lógico.");
    }
  } catch (EngineError& e) {
    for (const auto& c : ctx) e.With(c);
    throw;
  }
  ShapeTag(t, path);
  t.info.key_type = t.type;
  if (const std::string* plain = t.for_expr ? nullptr : t.key_expr->PlainCharField()) {
    for (const FieldSpec& f : fields)
      if (SameName(f.name, *plain) && f.offset > 0 && f.length > 0) {
        t.raw_offset = f.offset;
        t.raw_length = f.length;
        break;
      }
  }
  return t;
}

// Whether a stored key is the key looked for. Character keys are padded with blanks, but other
// programs pad with NULs: both paddings count as the same.
bool SameKey(char type, std::string_view stored, std::string_view wanted) {
  if (type != 'C') return CompareKeys(type, stored, wanted) == 0;
  auto trim = [](std::string_view k) {
    size_t n = k.size();
    while (n > 0 && (k[n - 1] == ' ' || k[n - 1] == '\0')) --n;
    return k.substr(0, n);
  };
  return trim(stored) == trim(wanted);
}

// The first entry that comes before the one ahead of it in the tag's order; e.size() when none.
size_t FirstDisorder(const TagMeta& t, const EntryList& e) {
  for (size_t i = 1; i < e.size(); ++i)
    if (t.Cmp(e.key(i - 1), e.key(i)) > 0) return i;
  return e.size();
}

// A lookup that reads every entry of a tag in stored order and yields those whose key is the
// target's bytes: right in whatever order the tag was written.
class ScanWalker : public KeyWalker {
 public:
  ScanWalker(std::shared_ptr<const EntryList> entries, char type, std::string target)
      : e_(std::move(entries)), type_(type), target_(std::move(target)) {}
  bool Next(uint64_t* recno) override {
    while (at_ < e_->size()) {
      size_t i = at_++;
      if (SameKey(type_, e_->key(i), target_)) {
        *recno = e_->recno(i);
        return true;
      }
    }
    return false;
  }

 private:
  std::shared_ptr<const EntryList> e_;
  char type_;
  std::string target_;
  size_t at_ = 0;
};

class MdxFile;

class MdxWalker : public KeyWalker {
 public:
  MdxWalker(MdxFile* index, const TagMeta* tag, std::optional<std::string> target);
  bool Next(uint64_t* recno) override;

 private:
  void Descend(uint32_t page);
  MdxFile* index_;
  const TagMeta* tag_;
  // With a target: the descent steers to `target_` (the first of the key's forms in tag order)
  // and the walk ends past `last_` (the last of them).
  std::optional<std::string> target_;
  std::string last_;
  std::string wanted_;
  bool bounded_ = false;
  struct Frame {
    Node node;
    size_t idx;
  };
  std::vector<Frame> stack_;
  uint64_t nodes_read_ = 0;
  bool started_ = false, done_ = false;
};

class MdxFile : public MdxIndex {
 public:
  MdxFile(std::string path, std::unique_ptr<File> file, bool writable, const CodePage& cp, Collation coll)
      : path_(std::move(path)), file_(std::move(file)), writable_(writable), cp_(cp), coll_(std::move(coll)) {
    file_size_ = file_->Size();
  }

  // Reads header, tag table and tag headers; with fields, parses every expression too.
  void Load(const std::vector<FieldSpec>* fields) {
    if (file_size_ < kHeaderPages * kPageSize) Corrupt(path_, "", "el fichero es más corto que su cabecera");
    head_.resize(kHeaderPages * kPageSize);
    ReadExactly(*file_, 0, head_.data(), head_.size());
    uint16_t ppb = Get16(&head_[20]), bsize = Get16(&head_[22]);
    if (ppb != kBlockSize / kPageSize || bsize != kBlockSize)
      throw EngineError(err::kNotSupported,
                        "El índice usa bloques de " + std::to_string(bsize) + " bytes; solo se admiten de 1024.",
                        {CtxFile(path_)});
    if (head_[26] != kTagSlotLength) Corrupt(path_, "", "la tabla de etiquetas tiene una longitud de entrada inválida");
    uint16_t used = Get16(&head_[28]);
    if (used > kMaxTags || used > head_[25]) Corrupt(path_, "", "declara " + std::to_string(used) + " etiquetas");
    std::vector<uint8_t> block(kBlockSize);
    for (uint16_t i = 0; i < used; ++i) {
      const uint8_t* s = &head_[kTagTableOffset + kTagSlotLength * i];
      TagMeta t;
      t.coll = &coll_;
      std::string raw_name = CString(s + 4, 11);
      t.info.name = cp_.Decode(raw_name);
      t.header_page = Get32(s);
      if (!ValidPage(t.header_page)) Corrupt(path_, t.info.name, "la cabecera de la etiqueta está fuera del fichero");
      ReadExactly(*file_, static_cast<uint64_t>(t.header_page) * kPageSize, block.data(), kBlockSize);
      t.root = Get32(block.data());
      uint8_t flags = block[8];
      t.type = static_cast<char>(block[9]);
      t.key_len = Get16(block.data() + 12);
      t.capacity = Get16(block.data() + 14);
      t.item_len = Get16(block.data() + 18);
      t.info.descending = (flags & 0x08) != 0;
      t.info.unique = (flags & 0x40) != 0 || block[23] != 0;
      t.info.key_type = t.type;
      t.expr_bytes = CString(block.data() + kKeyExprOffset, kKeyExprMax);
      if (block[kForFlagOffset] != 0) t.for_bytes = CString(block.data() + kForExprOffset, kForExprMax);
      t.info.expression = cp_.Decode(t.expr_bytes);
      t.info.filter = cp_.Decode(t.for_bytes);
      int want = t.type == 'N' ? kNumericKeyLength : t.type == 'D' ? kDateKeyLength : -1;
      if (t.type != 'C' && t.type != 'N' && t.type != 'D') Corrupt(path_, t.info.name, "el tipo de clave es desconocido");
      if ((want > 0 && t.key_len != want) || (t.type == 'C' && (t.key_len < 1 || t.key_len > kMaxCharKey)))
        Corrupt(path_, t.info.name, "la longitud de clave " + std::to_string(t.key_len) + " no es válida");
      if (t.item_len < t.key_len + 4 || t.capacity < 1 ||
          8 + static_cast<uint32_t>(t.capacity) * static_cast<uint32_t>(t.item_len) + 4 > kBlockSize)
        Corrupt(path_, t.info.name, "el tamaño de las entradas de los nodos no es válido");
      if (!ValidPage(t.root)) Corrupt(path_, t.info.name, "la raíz está fuera del fichero");
      // A tag whose expressions this engine cannot evaluate does not stop the table from
      // opening: the tag is marked unusable (see TagMeta::unusable) and kept as it is.
      if (fields) {
        try {
          t.key_expr = Expression::Parse(t.expr_bytes, *fields, cp_);
          if (!t.for_bytes.empty()) t.for_expr = Expression::Parse(t.for_bytes, *fields, cp_);
          char et = t.key_expr->type();
          if (et != t.type || (et == 'C' && t.key_expr->width() != t.key_len))
            t.unusable = "la clave guardada no corresponde a la expresión sobre los campos de la tabla";
          else if (t.for_expr && t.for_expr->type() != 'L')
            t.unusable = "la condición FOR no da un valor lógico";
        } catch (const EngineError& e) {
          t.unusable = e.message();
        }
        if (!t.unusable.empty()) {
          t.key_expr.reset();
          t.for_expr.reset();
        }
        t.info.problem = t.unusable;
      }
      tags_.push_back(std::move(t));
    }
  }

  const std::string& path() const { return path_; }
  std::vector<TagMeta>& tags() { return tags_; }


  bool ValidPage(uint32_t page) const {
    return page >= kHeaderPages && static_cast<uint64_t>(page) * kPageSize + kBlockSize <= file_size_;
  }

  // Reads the block of a node and returns its key count, checked against the tag's capacity.
  uint32_t ReadBlock(const TagMeta& t, uint32_t page, uint8_t* block) {
    if (!ValidPage(page))
      Corrupt(path_, t.info.name, "un nodo apunta a la página " + std::to_string(page) + ", fuera del fichero");
    reader_.ReadExactly(static_cast<uint64_t>(page) * kPageSize, block, kBlockSize);
    uint32_t count = Get32(block);
    if (count > static_cast<uint32_t>(t.capacity))
      Corrupt(path_, t.info.name,
              "el nodo de la página " + std::to_string(page) + " dice tener " + std::to_string(count) + " claves");
    return count;
  }

  Node ReadNode(const TagMeta& t, uint32_t page) {
    uint8_t block[kBlockSize];
    uint32_t count = ReadBlock(t, page, block);
    Node n;
    n.page = page;
    n.items.resize(count);
    size_t off = 8;
    for (uint32_t i = 0; i < count; ++i) {
      n.items[i].ptr = Get32(block + off);
      n.items[i].key.assign(reinterpret_cast<const char*>(block + off + 4), static_cast<size_t>(t.key_len));
      off += static_cast<size_t>(t.item_len);
    }
    n.right = Get32(block + off);
    return n;
  }

  void Write(uint64_t offset, const void* data, size_t n) {
    reader_.Invalidate();
    scans_.clear();
    file_->WriteAt(offset, data, n);
  }

  void WriteNode(const TagMeta& t, const Node& n) {
    uint8_t block[kBlockSize];
    EncodeNode(n, t.item_len, t.key_len, block);
    Write(static_cast<uint64_t>(n.page) * kPageSize, block, kBlockSize);
    file_size_ = std::max(file_size_, static_cast<uint64_t>(n.page) * kPageSize + kBlockSize);
    dirty_ = true;
  }

  uint32_t AllocPage() {
    uint64_t pages = (file_size_ + kPageSize - 1) / kPageSize;
    if (pages + 2 > 0xFFFFFFFFull) throw EngineError(err::kTableFull, "El índice ha llegado a su tamaño máximo.", {CtxFile(path_)});
    return static_cast<uint32_t>(pages);
  }

  uint64_t BlockBudget() const { return file_size_ / kPageSize + 1; }

  // --- MdxIndex ---------------------------------------------------------------------------

  std::vector<TagInfo> Tags() const override {
    std::vector<TagInfo> out;
    for (const TagMeta& t : tags_) out.push_back(t.info);
    return out;
  }

  TagMeta& FindTag(const std::string& name) {
    for (TagMeta& t : tags_)
      if (SameName(t.info.name, name)) return t;
    throw EngineError(err::kNoSuchIndex, "El índice no tiene la etiqueta «" + name + "».",
                      {CtxFile(path_), CtxIndex(name)});
  }

  std::unique_ptr<KeyWalker> Walk(const std::string& tag, const std::optional<Value>& equal_to) override {
    TagMeta& t = FindTag(tag);
    if (!t.unusable.empty())
      throw EngineError(err::kInvalidExpression,
                        "La etiqueta no se puede usar: este programa no sabe calcular su expresión «" + t.info.expression +
                            (t.info.filter.empty() ? "" : "» FOR «" + t.info.filter) + "» (" + t.unusable +
                            "). Elija otro índice.",
                        {CtxFile(path_), CtxIndex(t.info.name)});
    std::optional<std::string> target;
    if (equal_to) {
      target = KeyForValue(t, *equal_to);
      // A lookup descends the tree only when the tag is known to be in its collation's order;
      // otherwise it reads every entry, so that no matching row is missed.
      if (!DescentIsSafe(t)) return std::make_unique<ScanWalker>(TagEntries(t), t.type, std::move(*target));
    }
    return std::make_unique<MdxWalker>(this, &t, std::move(target));
  }

  // Whether a tag's stored order is its collation's: keys in the leaves and the separators
  // above them. Looked at once per tag (writes keep it true).
  bool InCollationOrder(TagMeta& t) {
    if (t.order == TagMeta::Order::kUnknown) {
      EntryList e;
      e.key_len = static_cast<size_t>(t.key_len);
      bool separators = CollectInto(t, &e);
      t.order = separators && FirstDisorder(t, e) == e.size() ? TagMeta::Order::kAgrees : TagMeta::Order::kDiffers;
    }
    return t.order == TagMeta::Order::kAgrees;
  }

  bool DescentIsSafe(TagMeta& t) { return (t.type != 'C' || t.coll->confirmed()) && InCollationOrder(t); }

  // Every entry of a tag in stored order, kept until the index changes (lookups that scan).
  std::shared_ptr<const EntryList> TagEntries(const TagMeta& t) {
    auto& cached = scans_[&t];
    if (!cached) {
      auto e = std::make_shared<EntryList>();
      e->key_len = static_cast<size_t>(t.key_len);
      CollectInto(t, e.get());
      cached = std::move(e);
    }
    return cached;
  }

  // Refuses a change of `t`'s keys when the engine cannot tell where a key belongs in it.
  void RequireOrderForWrite(TagMeta& t) {
    if (InCollationOrder(t)) return;
    throw EngineError(err::kIndexCorrupt,
                      "La etiqueta está en un orden distinto del de su idioma (" + t.coll->Description() +
                          "), así que no se puede saber dónde va una clave nueva; no se ha modificado nada. "
                          "Regenere los índices de la tabla en Tribanor y vuelva a intentarlo.",
                      {CtxFile(path_), CtxIndex(t.info.name)});
  }

  std::vector<TagOrderInfo> Orders() override {
    std::vector<TagOrderInfo> out;
    for (TagMeta& t : tags_) {
      bool collated = t.type == 'C';
      out.push_back({t.info.name, collated ? t.coll->Description() : std::string(), collated && t.coll->confirmed(),
                     InCollationOrder(t)});
    }
    return out;
  }

  std::string KeyForValue(const TagMeta& t, const Value& v) {
    std::vector<std::string> ctx{CtxFile(path_), CtxIndex(t.info.name)};
    if (t.type == 'C') {
      std::string text = v.kind == Value::Kind::Text ? v.s : v.ToDisplay();
      std::optional<std::string> enc = cp_.Encode(text);
      if (!enc) throw EngineError(err::kConversion, "El valor buscado tiene caracteres que la tabla no admite.", ctx);
      std::string k = *enc;
      // A longer value can equal no key; keep its excess so that it matches nothing.
      if (k.size() < static_cast<size_t>(t.key_len)) k.resize(static_cast<size_t>(t.key_len), ' ');
      return k;
    }
    if (t.type == 'D') {
      if (v.kind == Value::Kind::Date || v.kind == Value::Kind::Null) return EncodeDateKey(v.IsNull() ? 0 : v.i);
      if (v.kind == Value::Kind::Timestamp) return EncodeDateKey(v.i / kMsPerDay);
      throw EngineError(err::kConversion, "La etiqueta ordena por fecha y el valor buscado no es una fecha.", ctx);
    }
    if (v.IsNull()) return EncodeNumericKey(0.0);
    std::string exact = v.kind == Value::Kind::Integer ? std::to_string(v.i) : v.DecimalText();
    std::string k;
    if (!exact.empty() && EncodeNumericKey(exact, &k)) return k;
    std::optional<double> d = v.AsDouble();
    if (!d) throw EngineError(err::kConversion, "La etiqueta ordena por número y el valor buscado no es un número.", ctx);
    return EncodeNumericKey(*d);
  }

  void RequireWritable() {
    if (!writable_)
      throw EngineError(err::kInvalidParam, "El índice está abierto solo para lectura.", {CtxFile(path_)});
  }

  void CheckWrite(const RecordView* before, const RecordView& after) override {
    RequireWritable();
    for (TagMeta& t : tags_)
      if (!t.unusable.empty())
        throw EngineError(err::kInvalidExpression,
                          "La tabla no se puede modificar: su etiqueta tiene una expresión «" + t.info.expression +
                              "» que este programa no sabe calcular, y quedaría desfasada; no se ha modificado nada. "
                              "Modifique la tabla en Tribanor.",
                          {CtxFile(path_), CtxIndex(t.info.name)});
    for (TagMeta& t : tags_) {
      std::optional<std::string> new_key = RowKey(t, after);
      if (!before) {
        if (new_key) RequireOrderForWrite(t);
        continue;
      }
      if (RowKey(t, *before) != new_key || before->RecNo() != after.RecNo()) RequireOrderForWrite(t);
    }
  }

  void Update(const RecordView& before, const RecordView& after) override {
    CheckWrite(&before, after);
    for (TagMeta& t : tags_) {
      std::optional<std::string> old_key = RowKey(t, before), new_key = RowKey(t, after);
      if (old_key == new_key && before.RecNo() == after.RecNo()) continue;
      bool removed = old_key && RemoveKey(t, *old_key, static_cast<uint32_t>(before.RecNo()));
      if (new_key) InsertKey(t, *new_key, static_cast<uint32_t>(after.RecNo()));
      if (removed && t.info.unique && old_key != new_key) GiveKeyToAnotherRow(t, *old_key, before.RecNo());
    }
  }

  void SetRowSource(RecordSource* rows) override { rows_ = rows; }

  // A unique tag lost the row that held `key`: the first other row with that key takes it.
  void GiveKeyToAnotherRow(TagMeta& t, const std::string& key, uint64_t old_owner) {
    if (!rows_) return;
    uint64_t count = rows_->Count();
    for (uint64_t r = 1; r <= count && r <= 0xFFFFFFFFull; ++r) {
      if (r == old_owner) continue;
      std::optional<std::string> k = RowKey(t, rows_->Row(r));
      if (k && t.Cmp(*k, key) == 0) {
        InsertKey(t, key, static_cast<uint32_t>(r));
        return;
      }
    }
  }

  void Insert(const RecordView& row) override {
    RequireWritable();
    if (row.RecNo() == 0 || row.RecNo() > 0xFFFFFFFFull)
      throw EngineError(err::kTableFull, "El número de registro no cabe en el índice.", {CtxFile(path_)});
    CheckWrite(nullptr, row);
    for (TagMeta& t : tags_) {
      std::optional<std::string> k = RowKey(t, row);
      if (k) InsertKey(t, *k, static_cast<uint32_t>(row.RecNo()));
    }
  }

  void Flush() override {
    if (!writable_ || !dirty_) return;
    Put32(&head_[32], static_cast<uint32_t>(file_size_ / kPageSize));
    PutDate(&head_[44]);
    Write(0, head_.data(), 48);
    for (TagMeta& t : tags_) {
      uint8_t b[4];
      Put32(b, t.root);
      Write(static_cast<uint64_t>(t.header_page) * kPageSize, b, 4);
      uint8_t counter = 0;
      file_->ReadAt(static_cast<uint64_t>(t.header_page) * kPageSize + 20, &counter, 1);
      ++counter;
      Write(static_cast<uint64_t>(t.header_page) * kPageSize + 20, &counter, 1);
      Node root = ReadNode(t, t.root);
      uint8_t has_keys = root.items.empty() && root.leaf() ? 0 : 1;
      Write(static_cast<uint64_t>(t.header_page) * kPageSize + kHasKeysOffset, &has_keys, 1);
    }
    file_->Sync();
    dirty_ = false;
  }

  IndexCheckReport Check(RecordSource& rows) override;

  // Every entry of a tag in order (used to carry a tag over).
  // Returns whether the tag's interior separators agree with its keys (see CollectInto).
  bool CollectEntries(const TagMeta& t, EntryList* out) {
    out->key_len = static_cast<size_t>(t.key_len);
    return CollectInto(t, out);
  }

 private:
  // --- B-tree changes ---------------------------------------------------------------------

  struct InsertResult {
    std::optional<std::string> new_max;  // the subtree's highest key, when it changed
    bool split = false;
    uint32_t left_page = 0;              // new node holding the lower half
    std::string left_max;
  };

  void CheckDepth(const TagMeta& t, int depth) {
    if (depth > kMaxDepth) Corrupt(path_, t.info.name, "el árbol es demasiado profundo o tiene un ciclo");
  }

  bool ContainsKey(TagMeta& t, const std::string& key) {
    MdxWalker w(this, &t, key);
    uint64_t r = 0;
    return w.Next(&r);
  }

  void InsertKey(TagMeta& t, const std::string& key, uint32_t recno) {
    if (t.info.unique && ContainsKey(t, key)) return;
    InsertResult r = InsertRec(t, t.root, key, recno, 0);
    if (r.split) {
      Node root;
      root.page = AllocPage();
      root.items.push_back({r.left_page, r.left_max});
      root.right = t.root;
      WriteNode(t, root);
      SetRoot(t, root.page);
    }
    dirty_ = true;
  }

  // The tag header names the new root at once, so that the file never points at a root that
  // lost half its keys to a split.
  void SetRoot(TagMeta& t, uint32_t page) {
    uint8_t b[4];
    Put32(b, page);
    Write(static_cast<uint64_t>(t.header_page) * kPageSize, b, 4);
    t.root = page;
  }

  InsertResult SplitIfFull(const TagMeta& t, Node& n, InsertResult r) {
    if (n.items.size() <= static_cast<size_t>(t.capacity)) {
      WriteNode(t, n);
      return r;
    }
    size_t h = n.items.size() / 2;
    Node left;
    left.page = AllocPage();
    if (n.leaf()) {
      left.items.assign(n.items.begin(), n.items.begin() + static_cast<long>(h));
      r.left_max = left.items.back().key;
    } else {
      left.items.assign(n.items.begin(), n.items.begin() + static_cast<long>(h) - 1);
      left.right = n.items[h - 1].ptr;
      r.left_max = n.items[h - 1].key;
    }
    n.items.erase(n.items.begin(), n.items.begin() + static_cast<long>(h));
    WriteNode(t, left);
    WriteNode(t, n);
    r.split = true;
    r.left_page = left.page;
    return r;
  }

  InsertResult InsertRec(const TagMeta& t, uint32_t page, const std::string& key, uint32_t recno, int depth) {
    CheckDepth(t, depth);
    Node n = ReadNode(t, page);
    InsertResult r;
    if (n.leaf()) {
      size_t pos = 0;
      while (pos < n.items.size() && t.Cmp(n.items[pos].key, key) <= 0) ++pos;
      n.items.insert(n.items.begin() + static_cast<long>(pos), Item{recno, key});
      if (pos + 1 == n.items.size()) r.new_max = key;
      return SplitIfFull(t, n, r);
    }
    size_t i = 0;
    while (i < n.items.size() && t.Cmp(n.items[i].key, key) < 0) ++i;
    bool rightmost = i == n.items.size();
    uint32_t child = rightmost ? n.right : n.items[i].ptr;
    InsertResult cr = InsertRec(t, child, key, recno, depth + 1);
    if (!rightmost && cr.new_max) n.items[i].key = *cr.new_max;
    if (rightmost) r.new_max = cr.new_max;
    if (cr.split) n.items.insert(n.items.begin() + static_cast<long>(i), Item{cr.left_page, cr.left_max});
    if (!cr.split && !(!rightmost && cr.new_max)) return r;  // this node is unchanged
    return SplitIfFull(t, n, r);
  }

  struct RemoveResult {
    bool found = false;
    bool empty = false;
    std::optional<std::string> new_max;
  };

  bool RemoveKey(TagMeta& t, const std::string& key, uint32_t recno) {
    RemoveResult r = RemoveRec(t, t.root, key, recno, 0);
    if (!r.found) {
      // Unique tags hold only one row per key; another row may own it.
      if (t.info.unique) return false;
      Corrupt(path_, t.info.name, "falta la clave del registro " + std::to_string(recno));
    }
    // An interior root left with a single child gives way to it.
    while (true) {
      Node root = ReadNode(t, t.root);
      if (root.leaf() || !root.items.empty()) break;
      SetRoot(t, root.right);
    }
    dirty_ = true;
    return true;
  }

  RemoveResult RemoveRec(const TagMeta& t, uint32_t page, const std::string& key, uint32_t recno, int depth) {
    CheckDepth(t, depth);
    Node n = ReadNode(t, page);
    RemoveResult r;
    if (n.leaf()) {
      for (size_t i = 0; i < n.items.size(); ++i) {
        if (n.items[i].ptr != recno || t.Cmp(n.items[i].key, key) != 0) continue;
        bool last = i + 1 == n.items.size();
        n.items.erase(n.items.begin() + static_cast<long>(i));
        r.found = true;
        r.empty = n.items.empty() && depth > 0;  // an empty root stays, as an empty leaf
        if (last && !n.items.empty()) r.new_max = n.items.back().key;
        if (!r.empty) WriteNode(t, n);
        return r;
      }
      return r;
    }
    size_t i = 0;
    while (i < n.items.size() && t.Cmp(n.items[i].key, key) < 0) ++i;
    for (; i <= n.items.size(); ++i) {
      bool rightmost = i == n.items.size();
      uint32_t child = rightmost ? n.right : n.items[i].ptr;
      RemoveResult cr = RemoveRec(t, child, key, recno, depth + 1);
      if (!cr.found) {
        if (!rightmost && t.Cmp(n.items[i].key, key) > 0) return r;
        continue;
      }
      r.found = true;
      if (cr.empty) {
        if (!rightmost) {
          n.items.erase(n.items.begin() + static_cast<long>(i));
        } else if (n.items.empty()) {
          // Its only child went away: this node goes too (the root becomes an empty leaf).
          if (depth > 0) {
            r.empty = true;
            return r;
          }
          n.right = 0;
        } else {
          // The rightmost child went away: its left neighbour takes its place.
          n.right = n.items.back().ptr;
          r.new_max = n.items.back().key;
          n.items.pop_back();
        }
      } else if (cr.new_max) {
        if (!rightmost) n.items[i].key = *cr.new_max;
        else r.new_max = cr.new_max;
      } else {
        return r;
      }
      WriteNode(t, n);
      return r;
    }
    return r;
  }

  // --- Reading a whole tag ---------------------------------------------------------------

  // Walks a tag depth-first, guarding against loops, shared nodes and uneven depth; every
  // problem of structure throws. Returns whether every separator of the interior nodes agrees
  // with the keys below it under the tag's order (the leaves' own order is not judged here).
  bool CollectInto(const TagMeta& t, EntryList* out);

  friend class MdxWalker;
  std::string path_;
  std::unique_ptr<File> file_;
  ReadAhead reader_{*file_};  // nodes are read through it; every write invalidates it
  bool writable_;
  const CodePage& cp_;
  Collation coll_;
  uint64_t file_size_ = 0;
  std::vector<uint8_t> head_;
  std::vector<TagMeta> tags_;
  bool dirty_ = false;
  RecordSource* rows_ = nullptr;
  std::unordered_map<const TagMeta*, std::shared_ptr<const EntryList>> scans_;

  struct StructureWalk {
    std::unordered_set<uint32_t> seen;
    int leaf_depth = -1;
    bool separators_agree = true;
  };
  void Visit(const TagMeta& t, uint32_t page, int depth, StructureWalk& s, EntryList* out,
             std::string* subtree_max);
};

MdxWalker::MdxWalker(MdxFile* index, const TagMeta* tag, std::optional<std::string> target)
    : index_(index), tag_(tag), target_(std::move(target)) {
  if (!target_) return;
  bounded_ = true;
  wanted_ = *target_;
  last_ = *target_;
  if (tag_->type == 'C') {
    // The same key padded with NULs instead of blanks sorts before it (after it, descending).
    std::string nul_padded = *target_;
    for (size_t n = nul_padded.size(); n > 0 && nul_padded[n - 1] == ' '; --n) nul_padded[n - 1] = '\0';
    if (tag_->Cmp(nul_padded, *target_) < 0) target_ = nul_padded;
    else last_ = nul_padded;
  }
}

void MdxWalker::Descend(uint32_t page) {
  while (true) {
    if (stack_.size() > static_cast<size_t>(kMaxDepth) || ++nodes_read_ > index_->BlockBudget())
      Corrupt(index_->path(), tag_->info.name, "el árbol tiene un ciclo");
    Node n = index_->ReadNode(*tag_, page);
    for (const Frame& f : stack_)
      if (f.node.page == page) Corrupt(index_->path(), tag_->info.name, "el árbol tiene un ciclo");
    size_t idx = 0;
    if (target_) {
      while (idx < n.items.size() && tag_->Cmp(n.items[idx].key, *target_) < 0) ++idx;
    }
    bool leaf = n.leaf();
    uint32_t next = 0;
    if (!leaf) next = idx < n.items.size() ? n.items[idx].ptr : n.right;
    stack_.push_back({std::move(n), idx});
    if (leaf) return;
    page = next;
  }
}

bool MdxWalker::Next(uint64_t* recno) {
  if (done_) return false;
  if (!started_) {
    started_ = true;
    Descend(tag_->root);
  }
  while (!stack_.empty()) {
    Frame& top = stack_.back();
    if (top.node.leaf()) {
      if (top.idx < top.node.items.size()) {
        const Item& it = top.node.items[top.idx++];
        if (bounded_) {
          if (tag_->Cmp(it.key, last_) > 0) {
            done_ = true;
            return false;
          }
          if (!SameKey(tag_->type, it.key, wanted_)) continue;
        }
        *recno = it.ptr;
        return true;
      }
      stack_.pop_back();
      continue;
    }
    // Interior: move to the next child.
    ++top.idx;
    if (top.idx > top.node.items.size()) {
      stack_.pop_back();
      continue;
    }
    uint32_t child = top.idx < top.node.items.size() ? top.node.items[top.idx].ptr : top.node.right;
    // Descend from the first item: targets only steer the first descent.
    std::optional<std::string> saved = std::move(target_);
    target_.reset();
    Descend(child);
    target_ = std::move(saved);
  }
  done_ = true;
  return false;
}

void MdxFile::Visit(const TagMeta& t, uint32_t page, int depth, StructureWalk& s, EntryList* out,
                    std::string* subtree_max) {
  if (depth > kMaxDepth) Corrupt(path_, t.info.name, "el árbol es demasiado profundo");
  if (!s.seen.insert(page).second)
    Corrupt(path_, t.info.name, "la página " + std::to_string(page) + " se alcanza dos veces (ciclo o nodo compartido)");
  uint8_t block[kBlockSize];
  uint32_t count = ReadBlock(t, page, block);
  const auto item = [&](uint32_t i) { return block + 8 + static_cast<size_t>(i) * static_cast<size_t>(t.item_len); };
  if (Get32(item(count)) == 0) {  // a leaf: its entries go straight to the list
    if (s.leaf_depth < 0) s.leaf_depth = depth;
    if (s.leaf_depth != depth) Corrupt(path_, t.info.name, "las hojas no están todas a la misma profundidad");
    const size_t key_len = static_cast<size_t>(t.key_len);
    for (uint32_t i = 0; i < count; ++i)
      out->Add(std::string_view(reinterpret_cast<const char*>(item(i) + 4), key_len), Get32(item(i)));
    if (count > 0) subtree_max->assign(reinterpret_cast<const char*>(item(count - 1) + 4), key_len);
    return;
  }
  Node n = ReadNode(t, page);
  for (size_t i = 0; i <= n.items.size(); ++i) {
    uint32_t child = i < n.items.size() ? n.items[i].ptr : n.right;
    std::string max;
    size_t before = out->size();
    Visit(t, child, depth + 1, s, out, &max);
    if (out->size() == before) continue;
    // A separator is the highest key of the child on its left: no key there lies above it, and
    // none in the child on its right lies below it. A lookup descends by them.
    if (i < n.items.size() && t.Cmp(max, n.items[i].key) > 0) s.separators_agree = false;
    if (i > 0 && t.Cmp(out->key(before), n.items[i - 1].key) < 0) s.separators_agree = false;
    *subtree_max = max;
  }
}

bool MdxFile::CollectInto(const TagMeta& t, EntryList* out) {
  // Every node of the tag is read, in tree order rather than file order: a file of moderate
  // size is read in one go first.
  if (file_size_ <= kHoldWholeFile) reader_.Hold(0, static_cast<size_t>(file_size_));
  StructureWalk s;
  std::string max;
  try {
    Visit(t, t.root, 0, s, out, &max);
  } catch (...) {
    reader_.Invalidate();
    throw;
  }
  reader_.Invalidate();
  return s.separators_agree;
}

// For a tag whose keys are not in its collation's order: the known order they follow instead,
// in words, or "" when they follow none.
std::string ForeignOrder(const TagMeta& t, const EntryList& e) {
  for (const Collation& c : KnownCollations()) {
    if (c.SameOrder(*t.coll)) continue;
    TagMeta other;
    other.type = t.type;
    other.info.descending = t.info.descending;
    other.coll = &c;
    if (FirstDisorder(other, e) == e.size())
      return c.binary() ? "sus claves siguen el orden de los bytes (binario)" : "sus claves siguen el orden " + c.name();
  }
  return "";
}

// Whether some order of the code page's bytes would put every pair of neighbours as stored:
// each pair that differs says which byte goes first, and a cycle among those statements means
// that no order explains the tag.
bool SomeByteOrderFits(const TagMeta& t, const EntryList& e) {
  // Each pair of neighbours that differ says which byte goes first; a cycle among those
  // statements means no order of bytes explains the tag.
  std::vector<std::vector<uint8_t>> after(256);
  std::vector<int> incoming(256, 0);
  std::vector<std::vector<bool>> edge(256, std::vector<bool>(256, false));
  for (size_t i = 1; i < e.size(); ++i) {
    std::string_view a = e.key(i - 1), b = e.key(i);
    size_t j = 0;
    while (j < a.size() && a[j] == b[j]) ++j;
    if (j == a.size()) continue;
    auto x = static_cast<uint8_t>(a[j]), y = static_cast<uint8_t>(b[j]);
    if (t.info.descending) std::swap(x, y);
    if (edge[x][y]) continue;
    edge[x][y] = true;
    after[x].push_back(y);
    ++incoming[y];
  }
  std::vector<uint8_t> ready;
  for (int b = 0; b < 256; ++b)
    if (incoming[b] == 0) ready.push_back(static_cast<uint8_t>(b));
  int placed = 0;
  while (!ready.empty()) {
    uint8_t b = ready.back();
    ready.pop_back();
    ++placed;
    for (uint8_t y : after[b])
      if (--incoming[y] == 0) ready.push_back(y);
  }
  return placed == 256;
}

IndexCheckReport MdxFile::Check(RecordSource& rows) {
  IndexCheckReport report;
  uint64_t count = rows.Count();
  for (TagMeta& t : tags_) {
    std::vector<std::string> problems;
    auto add = [&](const std::string& what) {
      if (problems.size() < kMaxProblemsPerTag) problems.push_back("Índice " + t.info.name + ": " + what);
      else if (problems.size() == kMaxProblemsPerTag) problems.push_back("Índice " + t.info.name + ": más problemas omitidos");
    };
    EntryList entries;
    entries.key_len = static_cast<size_t>(t.key_len);
    bool separators = true;
    try {
      separators = CollectInto(t, &entries);
    } catch (const EngineError& e) {
      add("estructura dañada en " + path_ + ": " + e.message());
      for (auto& p : problems) report.problems.push_back(std::move(p));
      continue;
    }
    size_t bad = FirstDisorder(t, entries);
    t.order = bad == entries.size() && separators ? TagMeta::Order::kAgrees : TagMeta::Order::kDiffers;
    if (bad < entries.size()) {
      std::string other = t.type == 'C' ? ForeignOrder(t, entries) : std::string();
      if (!other.empty()) {
        report.foreign_order.push_back("Índice " + t.info.name + ": orden distinto del de su idioma (" +
                                       t.coll->Description() + "): " + other);
      } else {
        std::string where = "registros " + std::to_string(entries.recno(bad - 1)) + " y " +
                            std::to_string(entries.recno(bad)) + ": las claves «" +
                            cp_.Decode(KeyDisplay(t.type, entries.key(bad - 1))) + "» y «" +
                            cp_.Decode(KeyDisplay(t.type, entries.key(bad))) + "» están desordenadas";
        if (t.type != 'C')
          add(where);
        else if (SomeByteOrderFits(t, entries))
          add(where + " en el orden de su idioma (" + t.coll->Description() +
              ") y no siguen ningún otro orden conocido");
        else
          add(where + " (ningún orden de caracteres explica la etiqueta)");
      }
    } else if (!separators) {
      add("los separadores de los nodos interiores no corresponden a las claves de sus ramas");
    }
    if (!t.unusable.empty()) {
      report.unchecked.push_back("Índice " + t.info.name + ": no se pueden comprobar sus claves: este programa no sabe "
                                 "calcular su expresión «" + t.info.expression + "» (" + t.unusable + ")");
      for (auto& p : problems) report.problems.push_back(std::move(p));
      continue;
    }
    if (!t.key_expr) {
      add("no se pueden comprobar las claves: falta la descripción de los campos");
      for (auto& p : problems) report.problems.push_back(std::move(p));
      continue;
    }
    std::vector<std::optional<std::string>> expected(count);
    for (uint64_t r = 1; r <= count; ++r) expected[r - 1] = RowKey(t, rows.Row(r));
    std::vector<bool> present(count, false);
    std::unordered_set<std::string> keys_present;
    for (size_t i = 0; i < entries.size(); ++i) {
      uint64_t r = entries.recno(i);
      std::string_view k = entries.key(i);
      std::string rec = "registro " + std::to_string(r) + ": ";
      if (r == 0 || r > count) {
        add(rec + "no existe en la tabla");
        continue;
      }
      if (present[r - 1]) add(rec + "aparece más de una vez");
      present[r - 1] = true;
      if (!expected[r - 1]) {
        add(rec + "está en la etiqueta pero su condición FOR lo excluye");
        continue;
      }
      if (t.Cmp(*expected[r - 1], k) != 0)
        add(rec + "la clave guardada «" + cp_.Decode(KeyDisplay(t.type, k)) + "» no es la de la fila «" +
            cp_.Decode(KeyDisplay(t.type, *expected[r - 1])) + "»");
      if (t.info.unique && !keys_present.insert(std::string(k)).second)
        add(rec + "repite una clave en una etiqueta única");
      else
        keys_present.insert(std::string(k));
    }
    for (uint64_t r = 1; r <= count; ++r) {
      if (!expected[r - 1]) continue;
      if (t.info.unique) {
        if (!keys_present.count(*expected[r - 1]))
          add("registro " + std::to_string(r) + ": su clave falta en la etiqueta única");
      } else if (!present[r - 1]) {
        add("registro " + std::to_string(r) + ": falta en la etiqueta");
      }
    }
    for (auto& p : problems) report.problems.push_back(std::move(p));
  }
  return report;
}

std::unique_ptr<MdxFile> OpenFile(const std::string& path, const std::vector<FieldSpec>* fields, const CodePage& cp,
                                  bool writable, const Collation& coll) {
  FileSystem* fs = CurrentFileSystem();
  if (!fs->IsRegularFile(path))
    throw EngineError(err::kNoSuchFile, "No se encuentra el índice de la tabla.", {CtxFile(path)});
  auto f = fs->Open(path, writable ? OpenMode::kReadWrite : OpenMode::kRead);
  auto idx = std::make_unique<MdxFile>(path, std::move(f), writable, cp, coll);
  idx->Load(fields);
  return idx;
}

}  // namespace

std::unique_ptr<MdxIndex> MdxIndex::Open(const std::string& path, const std::vector<FieldSpec>& fields,
                                         const CodePage& cp, bool writable, const Collation& coll) {
  return OpenFile(path, &fields, cp, writable, coll);
}

void MdxIndex::Create(const std::string& path, const std::string& table_name, const std::vector<TagInfo>& tags,
                      const std::vector<FieldSpec>& fields, const CodePage& cp, RecordSource& rows,
                      const Collation& coll) {
  std::vector<TagMeta> metas;
  for (const TagInfo& info : tags) {
    for (const TagMeta& m : metas)
      if (SameName(m.info.name, info.name))
        throw EngineError(err::kInvalidParam, "Hay dos etiquetas con el mismo nombre.", {CtxFile(path), CtxIndex(info.name)});
    metas.push_back(NewTag(info, path, fields, cp, coll));
  }
  std::vector<const TagMeta*> all;
  for (const TagMeta& m : metas) all.push_back(&m);
  std::vector<EntryList> entries = BuildEntries(all, rows);
  WriteIndexFile(path, table_name, metas, entries, cp);
}

std::vector<TagInfo> ReadMdxTags(const std::string& path) {
  return OpenFile(path, nullptr, CodePage::Ansi(), false, Collation())->Tags();
}

void DumpMdxTag(const std::string& path, const std::string& tag, const CodePage& cp,
                const std::function<void(const std::string& key, uint64_t recno)>& each) {
  auto idx = OpenFile(path, nullptr, cp, false, Collation());
  TagMeta& t = idx->FindTag(tag);
  EntryList entries;
  idx->CollectEntries(t, &entries);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::string key = KeyDisplay(t.type, entries.key(i));
    each(t.type == 'C' ? cp.Decode(key) : key, entries.recno(i));
  }
}

namespace {

// What is wrong with the entries of a tag to carry over, checked against the keys the rebuilt
// rows give (`expected`, in record order); "" when nothing is. Fills `kept` with the entries
// renumbered for the new rows.
std::string CarriedTagDamage(const TagMeta& t, const EntryList& found, const std::vector<uint64_t>& recno_map,
                             const EntryList& expected, uint64_t new_count, EntryList* kept) {
  constexpr uint32_t kNone = 0xFFFFFFFFu;
  std::vector<uint32_t> at(static_cast<size_t>(new_count) + 1, kNone);
  for (size_t i = 0; i < expected.size(); ++i) at[expected.recno(i)] = static_cast<uint32_t>(i);
  std::vector<bool> seen(recno_map.size(), false);
  kept->key_len = found.key_len;
  for (size_t i = 0; i < found.size(); ++i) {
    uint64_t r = found.recno(i);
    if (r == 0 || r > recno_map.size()) return "una entrada apunta al registro " + std::to_string(r) + ", que no existe";
    if (seen[r - 1]) return "el registro " + std::to_string(r) + " aparece más de una vez";
    seen[r - 1] = true;
    uint64_t to = recno_map[r - 1];
    if (to == kPurgedRow) continue;
    if (to > new_count) return "el registro " + std::to_string(r) + " no tiene fila en la tabla nueva";
    uint32_t e = at[to];
    if (e == kNone) return "el registro " + std::to_string(r) + " está en la etiqueta pero su condición FOR lo excluye";
    if (t.Cmp(expected.key(e), found.key(i)) != 0)
      return "la clave guardada del registro " + std::to_string(r) + " no es la de su fila";
    kept->Add(found.key(i), static_cast<uint32_t>(to));
  }
  size_t want = expected.size();
  if (t.info.unique) {
    std::unordered_set<std::string_view> keys;
    for (size_t i = 0; i < expected.size(); ++i) keys.insert(expected.key(i));
    want = keys.size();
    if (kept->size() != want) return "a la etiqueta única le faltan claves o le sobran";
  }
  if (kept->size() < want) return "faltan " + std::to_string(want - kept->size()) + " registros en la etiqueta";
  if (kept->size() > want) return "la etiqueta tiene más entradas que filas";
  return "";
}

}  // namespace

void RewriteIndex(const std::string& old_path, const std::string& new_path, const std::string& table_name,
                  const std::vector<TagPlan>& plan, const std::vector<uint64_t>& recno_map,
                  const std::vector<FieldSpec>& new_fields, const CodePage& cp, RecordSource& new_rows,
                  const Collation& coll) {
  std::unique_ptr<MdxFile> old;
  std::vector<TagMeta> metas;
  std::vector<EntryList> entries(plan.size());
  struct Carried {
    size_t index;
    const TagMeta* from;
    EntryList found;
    bool separators;
  };
  std::vector<Carried> carried;
  metas.reserve(plan.size());
  for (const TagPlan& p : plan) {
    for (const TagMeta& m : metas)
      if (SameName(m.info.name, p.tag.name))
        throw EngineError(err::kInvalidParam, "Hay dos etiquetas con el mismo nombre.", {CtxFile(new_path), CtxIndex(p.tag.name)});
    if (!p.carry_over) {
      metas.push_back(NewTag(p.tag, new_path, new_fields, cp, coll));
      continue;
    }
    if (!old) old = OpenFile(old_path, nullptr, cp, false, coll);
    TagMeta& from = old->FindTag(p.old_tag);
    if (p.as_stored) {
      // Its keys cannot be computed: carried over as stored, renumbered, with nothing rebuilt.
      EntryList found;
      old->CollectEntries(from, &found);
      std::vector<bool> seen(recno_map.size(), false);
      EntryList kept;
      kept.key_len = found.key_len;
      for (size_t i = 0; i < found.size(); ++i) {
        uint64_t r = found.recno(i);
        if (r == 0 || r > recno_map.size() || seen[r - 1])
          throw EngineError(err::kIndexCorrupt,
                            "La etiqueta está dañada y su expresión no se sabe calcular, así que no se puede "
                            "regenerar; no se ha modificado nada. Regenere los índices de la tabla en Tribanor.",
                            {CtxFile(old_path), CtxIndex(from.info.name)});
        seen[r - 1] = true;
        if (recno_map[r - 1] != kPurgedRow) kept.Add(found.key(i), static_cast<uint32_t>(recno_map[r - 1]));
      }
      TagMeta t;
      t.info = from.info;
      t.info.name = p.tag.name;
      t.expr_bytes = from.expr_bytes;
      t.for_bytes = from.for_bytes;
      t.type = from.type;
      t.key_len = from.key_len;
      t.item_len = ItemLength(t.key_len);
      t.capacity = Capacity(t.item_len);
      t.coll = &coll;
      t.unusable = p.tag.problem.empty() ? "su expresión no se sabe calcular" : p.tag.problem;
      entries[metas.size()] = std::move(kept);
      metas.push_back(std::move(t));
      continue;
    }
    TagInfo info = from.info;
    info.name = p.tag.name;
    TagMeta t = NewTag(info, new_path, new_fields, cp, coll);
    if (t.type != from.type || t.key_len != from.key_len)
      throw EngineError(err::kInvalidRestructure,
                        "La etiqueta no se puede conservar: su expresión ya no da la misma clave con los campos nuevos.",
                        {CtxFile(old_path), CtxIndex(p.old_tag)});
    Carried c{metas.size(), &from, {}, true};
    c.separators = old->CollectEntries(from, &c.found);
    carried.push_back(std::move(c));
    metas.push_back(std::move(t));
  }
  // Tags carried over are checked against the new rows (one pass for all of them): each row once,
  // with its own key, and in the tag's collation where that is known. One that is not sound is
  // built anew from its expression when its order is known, and refuses the rebuild otherwise.
  if (!carried.empty()) {
    std::vector<const TagMeta*> tags;
    for (const Carried& c : carried) tags.push_back(&metas[c.index]);
    std::vector<EntryList> expected = BuildEntries(tags, new_rows, false);
    const uint64_t new_count = new_rows.Count();
    for (size_t k = 0; k < carried.size(); ++k) {
      Carried& c = carried[k];
      const TagMeta& t = metas[c.index];
      EntryList kept;
      std::string damage = CarriedTagDamage(t, c.found, recno_map, expected[k], new_count, &kept);
      bool known_order = t.type != 'C' || coll.confirmed();
      bool in_order = c.separators && FirstDisorder(*c.from, c.found) == c.found.size();
      if (damage.empty() && (in_order || !known_order)) {
        entries[c.index] = std::move(kept);
      } else if (known_order) {
        SortEntries(t, &expected[k], nullptr);
        entries[c.index] = std::move(expected[k]);
      } else {
        throw EngineError(err::kIndexCorrupt,
                          "La etiqueta del índice está dañada (" + damage + ") y su orden (" + coll.Description() +
                              ") no se conoce, así que no se puede regenerar; no se ha modificado nada. Regenere los "
                              "índices de la tabla en Tribanor y vuelva a intentarlo.",
                          {CtxFile(old_path), CtxIndex(c.from->info.name)});
      }
    }
  }
  std::vector<const TagMeta*> rebuilt;
  std::vector<size_t> where;
  for (size_t i = 0; i < plan.size(); ++i)
    if (!plan[i].carry_over) {
      rebuilt.push_back(&metas[i]);
      where.push_back(i);
    }
  if (!rebuilt.empty()) {
    std::vector<EntryList> built = BuildEntries(rebuilt, new_rows);
    for (size_t k = 0; k < where.size(); ++k) entries[where[k]] = std::move(built[k]);
  }
  WriteIndexFile(new_path, table_name, metas, entries, cp);
}

}  // namespace engine::dbase
