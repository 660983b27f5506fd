// Building whole .MDX files from a table's rows: keys gathered in one pass and sorted flat,
// B-trees written bottom-up in sequential blocks, the header and tag table last.
#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <numeric>
#include <thread>
#include <utility>

#include "engine/dbase/background_write.h"
#include "engine/dbase/flat_sort.h"
#include "engine/dbase/mdx_format.h"
#include "engine/pooled_thread.h"

namespace engine::dbase::mdx_internal {

// Writes blocks sequentially, keeping a buffer of consecutive pages. A full buffer is written by
// another thread while the next one is filled (BackgroundWrite). A failed write is reported at
// the next flush or at Finish.
class BlockWriter {
 public:
  // `blocks`: how many blocks will be written in all, so that each buffer is asked for once at
  // the size it will reach instead of growing (and being copied and faulted in) step by step.
  // With `flush_early`, what is written starts to become durable every few megabytes
  // (File::StartFlush), for a writer that goes on computing between its blocks.
  BlockWriter(File& f, uint64_t blocks, bool flush_early = false)
      : f_(f), reserve_(static_cast<size_t>(std::min<uint64_t>(blocks * kBlockSize, kBufferBytes))),
        flush_early_(flush_early), writer_(f) {}
  uint32_t Allocate() {
    uint32_t p = next_page_;
    next_page_ += kBlockSize / kPageSize;
    return p;
  }
  uint32_t next_page() const { return next_page_; }
  // The block for `page` in the buffer, to fill whole (its bytes are left as they were) before
  // the next call.
  uint8_t* Block(uint32_t page) {
    uint64_t off = static_cast<uint64_t>(page) * kPageSize;
    if (buf_.size() + kBlockSize > kBufferBytes || (buf_.size() > 0 && off != buf_start_ + buf_.size())) FlushBuffer();
    if (buf_.size() == 0) {
      buf_start_ = off;
      buf_.reserve(reserve_);
    }
    size_t at = buf_.size();
    buf_.resize_for_overwrite(at + kBlockSize);
    return reinterpret_cast<uint8_t*>(buf_.data() + at);
  }
  void Write(uint32_t page, const uint8_t* block) { std::memcpy(Block(page), block, kBlockSize); }
  // Starts writing the buffer (after the previous write has ended).
  void FlushBuffer() {
    const size_t bytes = buf_.size();
    writer_.Start(buf_start_, buf_);
    if (flush_early_ && (unflushed_ += bytes) >= kFlushEvery) {
      f_.StartFlush();  // takes in the buffers written before this one
      unflushed_ = 0;
    }
  }
  // Every block written (or the first failure thrown).
  void Finish() {
    FlushBuffer();
    writer_.Wait();
  }

 private:
  static constexpr size_t kBufferBytes = 4u << 20;
  static constexpr size_t kFlushEvery = 4u << 20;
  File& f_;
  uint32_t next_page_ = kHeaderPages;
  size_t reserve_;
  bool flush_early_;
  size_t unflushed_ = 0;
  EntryBytes buf_;
  uint64_t buf_start_ = 0;
  BackgroundWrite<EntryBytes> writer_;
};

// The blocks of a B-tree of n entries as BuildTree lays it out: the leaves, then each level of
// branches up to one root.
uint64_t TreeBlocks(size_t n, int capacity) {
  const size_t cap = static_cast<size_t>(capacity), fan = cap + 1;
  size_t level = n == 0 ? 1 : (n + cap - 1) / cap;
  uint64_t blocks = level;
  while (level > 1) {
    level = (level + fan - 1) / fan;
    blocks += level;
  }
  return blocks;
}

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

// Writes a B-tree of entries in tag order into freshly allocated blocks: the leaves in order
// (each as soon as its entries are final), then each level of branches up to one root.
class TreeWriter {
 public:
  TreeWriter(BlockWriter& w, const EntryList& e, int key_len, int item_len, int capacity)
      : w_(w), e_(e), klen_(static_cast<size_t>(key_len)), ilen_(static_cast<size_t>(item_len)),
        fan_(static_cast<size_t>(capacity) + 1), n_(e.size()),
        leaves_(n_ == 0 ? 1 : (n_ + static_cast<size_t>(capacity) - 1) / static_cast<size_t>(capacity)) {}

  // Writes every leaf whose entries all lie below `final_entries`.
  void LeavesUpTo(size_t final_entries) {
    while (level_.size() < leaves_) {
      const size_t i = level_.size();
      const size_t count = n_ / leaves_ + (i < n_ % leaves_ ? 1 : 0);
      if (at_ + count > final_entries) return;
      uint32_t page = w_.Allocate();
      uint8_t* block = w_.Block(page);
      Put32(block, static_cast<uint32_t>(count));
      Put32(block + 4, 0);
      size_t off = 8;  // items: 4 + key + up to 3 bytes of padding, at least 8
      for (size_t k = 0; k < count; ++k, ++at_) {
        // The item's last four bytes cleared first (a fixed-size store where the padding lies),
        // then the record number and the key over them.
        std::memset(block + off + ilen_ - 4, 0, 4);
        Put32(block + off, e_.recno(at_));
        std::memcpy(block + off + 4, e_.key(at_).data(), klen_);
        off += ilen_;
      }
      std::memset(block + off, 0, kBlockSize - off);  // no right pointer in a leaf, then unused
      level_.push_back({page, at_ == 0 ? 0 : at_ - 1});
    }
  }

  // The leaves left, then the branches; returns the root page.
  uint32_t Finish() {
    LeavesUpTo(n_);
    while (level_.size() > 1) {
      std::vector<Child> up;
      size_t nodes = (level_.size() + fan_ - 1) / fan_;
      size_t c = 0;
      for (size_t i = 0; i < nodes; ++i) {
        size_t count = level_.size() / nodes + (i < level_.size() % nodes ? 1 : 0);
        uint32_t page = w_.Allocate();
        uint8_t* block = w_.Block(page);
        std::memset(block, 0, kBlockSize);  // few blocks: cleared whole, then filled
        Put32(block, static_cast<uint32_t>(count - 1));
        size_t off = 8;
        for (size_t k = 0; k + 1 < count; ++k, ++c) {
          Put32(block + off, level_[c].page);
          std::memcpy(block + off + 4, e_.key(level_[c].last).data(), klen_);
          off += ilen_;
        }
        Put32(block + off, level_[c].page);
        size_t last = level_[c].last;
        ++c;
        up.push_back({page, last});
      }
      level_ = std::move(up);
    }
    return level_[0].page;
  }

 private:
  struct Child {
    uint32_t page;
    size_t last;  // index of the entry holding the subtree's highest key
  };
  BlockWriter& w_;
  const EntryList& e_;
  const size_t klen_, ilen_, fan_, n_, leaves_;
  size_t at_ = 0;  // the first entry of the next leaf
  std::vector<Child> level_;
};

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
                    std::vector<EntryList>& entries, const CodePage& cp, bool sort_last) {
  if (tags.size() > static_cast<size_t>(kMaxTags))
    throw EngineError(err::kInvalidParam, "Un índice .MDX admite como mucho 47 etiquetas.", {CtxFile(path)});
  FileSystem* fs = CurrentFileSystem();
  std::unique_ptr<File> f = fs->Open(path, OpenMode::kCreate);
  try {
    uint8_t ldid = LanguageDriverForCodePage(cp.number());
    uint64_t blocks = 0;
    for (size_t i = 0; i < tags.size(); ++i) blocks += 1 + TreeBlocks(entries[i].size(), tags[i].capacity);
    BlockWriter w(*f, blocks, sort_last);
    std::vector<uint8_t> block(kBlockSize);
    for (size_t i = 0; i < tags.size(); ++i) {
      TagMeta& t = tags[i];
      t.header_page = w.Allocate();
      TreeWriter tree(w, entries[i], t.key_len, t.item_len, t.capacity);
      // The last tag's leaves go to the disk as its sort finishes them: the disk then takes the
      // file while the rest is sorted, instead of all of it at the end.
      if (sort_last && i + 1 == tags.size())
        SortEntries(t, &entries[i], nullptr, [&](size_t final_entries) { tree.LeavesUpTo(final_entries); });
      t.root = tree.Finish();
      EncodeTagHeader(t, ldid, entries[i].size() > 0, block.data());
      w.Write(t.header_page, block.data());
    }
    w.Finish();
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

// The processors the machine offers, asked once: the system's answer is read from files on
// every question (on Linux), which cost a tenth of a small table's index rebuild.
unsigned Processors() {
  static const unsigned n = std::max(std::thread::hardware_concurrency(), 1u);
  return n;
}

// Threads that share the work on n entries: one for small tags, else every processor (at most four).
unsigned ThreadsFor(uint64_t n) { return n < kLargeTag ? 1u : std::min(Processors(), 4u); }

// `scratch`, when given, holds at least the entries' bytes.
void SortEntries(const TagMeta& t, EntryList* e, char* scratch, const std::function<void(size_t)>& final_upto) {
  size_t n = e->size(), s = e->stride();
  if (t.type == 'C') {
    EntryBytes own;
    if (!scratch) {
      own.resize_for_overwrite(e->data.size());
      scratch = own.data();
    }
    const unsigned threads = ThreadsFor(n);
    // Under a language driver's order the sort reads each byte it looks at through the driver's
    // weights (every byte has a weight of its own).
    const uint8_t* weights = t.coll && !t.coll->binary() ? t.coll->Weights() : nullptr;
    FlatSort(e->key_len, s, t.info.descending, weights).SortInParallel(e->data.data(), scratch, n, threads, final_upto);
  } else {
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return t.Cmp(e->key(a), e->key(b)) < 0; });
    EntryBytes sorted;
    sorted.reserve(e->data.size());
    for (uint32_t at : order) sorted.append(e->data.data() + static_cast<size_t>(at) * s, s);
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

// Runs work(from, to) over shares of rows 0..count-1 on `threads` threads (this one included)
// and rethrows the first failure once every thread has stopped.
void InShares(unsigned threads, uint64_t count, const std::function<void(uint64_t, uint64_t)>& work) {
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto share = [&](unsigned k) {
    try {
      work(count * k / threads, count * (k + 1) / threads);
    } catch (...) {
      std::lock_guard<std::mutex> hold(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<PooledThread> helpers;
  for (unsigned k = 1; k < threads; ++k) helpers.emplace_back([&share, k] { share(k); });
  share(0);
  for (PooledThread& t : helpers) t.join();
  if (failure) std::rethrow_exception(failure);
}

// From this many rows on, and below kLargeTag, the tags of an index are sorted side by side (two
// shares of the tags, one thread each) rather than one after another on one.
constexpr uint64_t kSideBySide = 4096;

// Sorts every tag's entries; `scratch` holds `scratch_bytes` (those of the largest list of
// character keys).
void SortAll(const std::vector<const TagMeta*>& tags, std::vector<EntryList>& out, EntryBytes& scratch,
             size_t scratch_bytes, uint64_t count) {
  bool side_by_side = tags.size() > 1 && count >= kSideBySide && count < kLargeTag && Processors() > 1;
  EntryBytes second;  // the second share's scratch space; without it, one thread sorts every tag
  if (side_by_side && scratch_bytes > 0) {
    try {
      second.resize_for_overwrite(scratch_bytes);
    } catch (const std::bad_alloc&) {
      side_by_side = false;
    }
  }
  InShares(side_by_side ? 2 : 1, tags.size(), [&](uint64_t from, uint64_t to) {
    char* space = scratch_bytes == 0 ? nullptr : from == 0 ? scratch.data() : second.data();
    for (uint64_t i = from; i < to; ++i) SortEntries(*tags[i], &out[i], space);
  });
}

// The quick way to gather, when every tag's key is a stored character field (as stored or in
// capitals) and the source hands out its rows' bytes in bulk: rows are read in large blocks, by
// several threads for large tables, and each entry is written straight to its place (row r's
// entry is the r-th). False, with nothing gathered, where it does not apply.
bool GatherStoredKeys(const std::vector<const TagMeta*>& tags, RecordSource& rows, uint64_t count,
                      std::vector<EntryList>& out) {
  if (tags.empty() || count == 0) return false;
  for (const TagMeta* t : tags)
    if (t->raw_length == 0) return false;
  const size_t rec_len = rows.BeginRecordCopies();
  if (rec_len == 0) return false;
  for (const TagMeta* t : tags)
    if (rec_len < size_t{t->raw_offset} + t->raw_length) return false;
  for (EntryList& e : out) e.data.resize_for_overwrite(static_cast<size_t>(count) * e.stride());
  const size_t block_rows = std::max<size_t>(1, (256u << 10) / rec_len);
  // Records the source holds already are read where they lie.
  const std::string_view held = rows.HeldRecords();
  const char* const whole = held.size() / rec_len >= count ? held.data() : nullptr;
  InShares(ThreadsFor(count), count, [&](uint64_t from, uint64_t to) {
    std::unique_ptr<char[]> block(whole ? nullptr : new char[block_rows * rec_len]);
    for (uint64_t at = from; at < to; at += block_rows) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(block_rows, to - at));
      const char* records = whole ? whole + static_cast<size_t>(at) * rec_len : block.get();
      if (!whole) rows.CopyRecords(at + 1, n, block.get());
      for (size_t i = 0; i < tags.size(); ++i) {
        const TagMeta& t = *tags[i];
        EntryList& e = out[i];
        const size_t s = e.stride(), take = std::min<size_t>(t.raw_length, e.key_len);
        uint8_t* entry = reinterpret_cast<uint8_t*>(e.data.data()) + static_cast<size_t>(at) * s;
        const char* field = records + t.raw_offset;
        for (size_t k = 0; k < n; ++k, entry += s, field += rec_len) {
          t.CopyRawKey(entry, field, take);
          if (take < e.key_len) std::memset(entry + take, ' ', e.key_len - take);
          Put32(entry + e.key_len, static_cast<uint32_t>(at + k + 1));
        }
      }
    }
  });
  return true;
}

bool SortWhileWriting(const TagMeta& t, uint64_t rows) {
  return kStartsFlushes && t.type == 'C' && !t.info.unique && ThreadsFor(rows) > 1;
}

std::vector<EntryList> BuildEntries(const std::vector<const TagMeta*>& tags, RecordSource& rows, bool sorted,
                                    bool leave_last_unsorted) {
  uint64_t count = rows.Count();
  if (count > 0xFFFFFFFFull)
    throw EngineError(err::kTableFull, "La tabla tiene demasiados registros para un índice .MDX.");
  std::vector<EntryList> out(tags.size());
  // The tags sorted here: all, or all but the last.
  const std::vector<const TagMeta*> to_sort(tags.begin(), tags.end() - (sorted && leave_last_unsorted && !tags.empty()));
  size_t scratch_bytes = 0;
  for (size_t i = 0; i < tags.size(); ++i) {
    out[i].key_len = static_cast<size_t>(tags[i]->key_len);
    if (tags[i]->type == 'C' && i < to_sort.size())
      scratch_bytes = std::max(scratch_bytes, static_cast<size_t>(count) * out[i].stride());
  }
  EntryBytes scratch;  // the sort's other half: as large as the largest list of character keys
  if (!GatherStoredKeys(tags, rows, count, out)) {
    // Row by row. Fresh memory costs a page fault per page on first touch: for large tags,
    // another thread takes those for the sort's scratch space while this one reads the rows.
    std::exception_ptr scratch_failure;
    PooledThread preparing;
    if (sorted && count >= kLargeTag && scratch_bytes > 0 && Processors() > 1) {
      preparing = PooledThread([&] {
        try {
          scratch.resize(scratch_bytes);  // zeroed, so every page is touched
        } catch (...) {
          scratch_failure = std::current_exception();
        }
      });
    }
    struct Join {
      PooledThread& t;
      ~Join() {
        if (t.joinable()) t.join();
      }
    } join{preparing};
    for (EntryList& e : out) e.data.reserve(static_cast<size_t>(count) * e.stride());
    for (uint64_t r = 1; r <= count; ++r) {
      const RecordView& row = rows.Row(r);
      std::string_view record = row.Record();
      for (size_t i = 0; i < tags.size(); ++i) {
        const TagMeta& t = *tags[i];
        EntryList& e = out[i];
        if (t.raw_length > 0 && record.size() >= size_t{t.raw_offset} + t.raw_length) {
          // The common case: a character field as it is stored, straight from the record.
          size_t n = std::min<size_t>(t.raw_length, e.key_len);
          const size_t at = e.data.size();
          e.data.resize_for_overwrite(at + n);
          t.CopyRawKey(reinterpret_cast<uint8_t*>(e.data.data() + at), record.data() + t.raw_offset, n);
          e.data.append(e.key_len - n, ' ');
          e.AddRecNo(static_cast<uint32_t>(r));
          continue;
        }
        std::optional<std::string> k = RowKey(t, row);
        if (k) e.Add(*k, static_cast<uint32_t>(r));
      }
    }
    if (preparing.joinable()) preparing.join();
    if (scratch_failure) std::rethrow_exception(scratch_failure);
  }
  if (sorted) {
    // One scratch space for the sorts of every tag, rather than one asked for by each; where it
    // was not made ready above, its pages are first touched by the sort's threads.
    if (scratch.size() < scratch_bytes) scratch.resize_for_overwrite(scratch_bytes);
    SortAll(to_sort, out, scratch, scratch_bytes, count);
  }
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
  FindStoredKey(t, fields, cp);
  return t;
}

void FindStoredKey(TagMeta& t, const std::vector<FieldSpec>& fields, const CodePage& cp) {
  t.raw_offset = t.raw_length = 0;
  if (!t.key_expr) return;
  const std::string* plain = t.for_expr ? nullptr : t.key_expr->PlainCharField();
  const std::string* upper = t.for_expr || plain ? nullptr : t.key_expr->UpperCharField();
  if (const std::string* field = plain ? plain : upper) {
    for (const FieldSpec& f : fields)
      if (SameName(f.name, *field) && f.offset > 0 && f.length > 0) {
        t.raw_offset = f.offset;
        t.raw_length = f.length;
        t.raw_upper = upper != nullptr;
        t.upper_ascii = true;
        for (size_t b = 0; b < 256; ++b) {
          t.upper_map[b] = cp.ToUpper(static_cast<uint8_t>(b));
          if (b < 0x80) t.upper_ascii &= t.upper_map[b] == (b >= 'a' && b <= 'z' ? b - 0x20 : b);
        }
        break;
      }
  }
}

}  // namespace engine::dbase::mdx_internal
