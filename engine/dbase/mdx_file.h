// MdxFile: one open .MDX production index. It reads the header and tag table, changes a
// tag's B-tree in place as rows change, walks tags for lookups and checks every tag against
// the rows. Its members live in mdx.cpp (opening, lookups, keeping tags true to rows),
// mdx_tree.cpp (reading, writing and changing nodes; walkers) and mdx_check.cpp (reading whole
// tags, checking, rewriting an index for a rebuilt table).
//
// Internal to engine/dbase; mdx.h is the interface.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/dbase/mdx_format.h"
#include "engine/read_ahead.h"

namespace engine::dbase::mdx_internal {

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
  void Load(const std::vector<FieldSpec>* fields);

  const std::string& path() const { return path_; }
  std::vector<TagMeta>& tags() { return tags_; }


  bool ValidPage(uint32_t page) const {
    return page >= kHeaderPages && static_cast<uint64_t>(page) * kPageSize + kBlockSize <= file_size_;
  }

  // Reads the block of a node and returns its key count, checked against the tag's capacity.
  uint32_t ReadBlock(const TagMeta& t, uint32_t page, uint8_t* block);
  Node ReadNode(const TagMeta& t, uint32_t page);
  void Write(uint64_t offset, const void* data, size_t n);
  void WriteNode(const TagMeta& t, const Node& n);
  uint32_t AllocPage();

  uint64_t BlockBudget() const { return file_size_ / kPageSize + 1; }

  // --- MdxIndex ---------------------------------------------------------------------------

  std::vector<TagInfo> Tags() const override;
  TagMeta& FindTag(const std::string& name);
  std::unique_ptr<KeyWalker> Walk(const std::string& tag, const std::optional<Value>& equal_to) override;

  // Whether a tag's stored order is its collation's: keys in the leaves and the separators
  // above them. Looked at once per tag (writes keep it true).
  bool InCollationOrder(TagMeta& t);

  bool DescentIsSafe(TagMeta& t) { return (t.type != 'C' || t.coll->confirmed()) && InCollationOrder(t); }

  // Every entry of a tag in stored order, kept until the index changes (lookups that scan).
  std::shared_ptr<const EntryList> TagEntries(const TagMeta& t);

  // Refuses a change of `t`'s keys when the engine cannot tell where a key belongs in it.
  void RequireOrderForWrite(TagMeta& t);
  std::vector<TagOrderInfo> Orders() override;
  std::string KeyForValue(const TagMeta& t, const Value& v);
  void RequireWritable();
  void CheckWrite(const RecordView* before, const RecordView& after) override;
  void Update(const RecordView& before, const RecordView& after) override;

  void SetRowSource(RecordSource* rows) override { rows_ = rows; }

  // A unique tag lost the row that held `key`: the first other row with that key takes it.
  void GiveKeyToAnotherRow(TagMeta& t, const std::string& key, uint64_t old_owner);
  void Insert(const RecordView& row) override;
  void Flush() override;

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

  bool ContainsKey(TagMeta& t, const std::string& key);
  void InsertKey(TagMeta& t, const std::string& key, uint32_t recno);

  // The tag header names the new root at once, so that the file never points at a root that
  // lost half its keys to a split.
  void SetRoot(TagMeta& t, uint32_t page);
  InsertResult SplitIfFull(const TagMeta& t, Node& n, InsertResult r);
  InsertResult InsertRec(const TagMeta& t, uint32_t page, const std::string& key, uint32_t recno, int depth);

  struct RemoveResult {
    bool found = false;
    bool empty = false;
    std::optional<std::string> new_max;
  };

  bool RemoveKey(TagMeta& t, const std::string& key, uint32_t recno);
  RemoveResult RemoveRec(const TagMeta& t, uint32_t page, const std::string& key, uint32_t recno, int depth);

  // --- Reading a whole tag ---------------------------------------------------------------

  // Walks a tag depth-first, guarding against loops, shared nodes and uneven depth; every
  // problem of structure throws. Returns whether every separator of the interior nodes agrees
  // with the keys below it under the tag's order (the leaves' own order is not judged here).
  bool CollectInto(const TagMeta& t, EntryList* out);
  // The same walk, reading through whatever the reader holds.
  bool WalkTag(const TagMeta& t, EntryList* out);
  // While it lives, the whole file (when of moderate size) is held in the reader, read once.
  class HeldWhole {
   public:
    explicit HeldWhole(MdxFile& f);
    ~HeldWhole();
    HeldWhole(const HeldWhole&) = delete;
    HeldWhole& operator=(const HeldWhole&) = delete;

   private:
    MdxFile& f_;
  };

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
    std::vector<bool> seen;  // by page, sized on the first page reached
    int leaf_depth = -1;
    bool separators_agree = true;
  };
  void Visit(const TagMeta& t, uint32_t page, int depth, StructureWalk& s, EntryList* out,
             std::string* subtree_max);
};

// Opens the index at path; with fields, parses every tag's expressions (see MdxIndex::Open).
std::unique_ptr<MdxFile> OpenFile(const std::string& path, const std::vector<FieldSpec>* fields, const CodePage& cp,
                                  bool writable, const Collation& coll);
// The same from the file already open.
std::unique_ptr<MdxFile> OpenFile(std::unique_ptr<File> file, const std::vector<FieldSpec>* fields, const CodePage& cp,
                                  bool writable, const Collation& coll);

}  // namespace engine::dbase::mdx_internal
