// The Paradox table storage's class, shared by the files that implement it: reading (paradox.cpp),
// blobs (px_blob.cpp), changing rows and the primary index (px_write.cpp). Creating a table is
// px_create.cpp. Nothing outside engine/paradox includes this header.
#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/error.h"
#include "engine/fs.h"
#include "engine/paradox/px_codec.h"
#include "engine/paradox/px_file.h"
#include "engine/paradox/px_index.h"
#include "engine/storage.h"

namespace engine::paradox::internal {

constexpr uint32_t kMbChunk = 4096;

std::string StripExtension(const std::string& path);
// The companion file with extension `ext` (".MB", ...) beside `path`, found without regard to
// letter case; "" when there is none.
std::string FindCompanion(FileSystem& fs, const std::string& path, const std::string& ext);
// The name a new companion takes: the table's stem with `ext` in the letter case of the table's.
std::string CompanionName(const std::string& path, const std::string& ext);

struct Block {
  uint16_t number = 0;
  std::vector<std::string> recs;
};

class ParadoxTable : public TableStorage {
 public:
  ParadoxTable(std::string path, const OpenOptions& options) : path_(std::move(path)), options_(options) {}
  ~ParadoxTable() override;

  void Load();

  const std::string& Path() const override { return path_; }
  TableFormat Format() const override { return TableFormat::kParadox; }
  std::string TypeName() const override { return "PARADOX"; }
  int Level() const override { return level_; }
  const CodePage& Codepage() const override { return *cp_; }
  std::string LanguageDriverName() const override { return sort_name_; }
  // Primary keys are kept in byte order, the order of the "ascii" sort; a table written under
  // another sort order is checked at open and written to only when its keys are in byte order.
  Collation KeyCollation() const override {
    return Collation::Binary(sort_name_.empty() ? "ascii" : sort_name_, 0, sort_name_.empty() || sort_name_ == "ascii");
  }
  const std::vector<FieldSpec>& Fields() const override { return fields_; }
  uint32_t RecordLength() const override { return record_len_; }
  int KeyFieldCount() const override { return key_fields_; }

  uint64_t RecordCount() override { return prefix_.back(); }
  void ReadRecord(uint64_t recno, std::string* buf) override;
  bool IsDeleted(const std::string&) const override { return false; }
  Value GetValue(const std::string& buf, int field) override;
  void SetValue(std::string* buf, int field, const Value& v) override;
  std::string BlankRecord() const override { return std::string(record_len_, '\0'); }
  void UpdateRecord(uint64_t recno, const std::string& old_buf, const std::string& new_buf) override;
  uint64_t AppendRecord(const std::string& buf) override;
  void SetDeleted(uint64_t recno, bool deleted) override;
  void Flush() override;
  std::vector<bde::VCHKDesc> ValChecks() override;
  std::vector<TagInfo> Tags() override { return secondary_.Tags(Indexed()); }
  std::unique_ptr<KeyWalker> WalkTag(const std::string& tag, const std::optional<Value>& equal_to) override;

  // What the secondary-index code needs of the table.
  IndexedTable Indexed() const;
  const SecondarySet& Secondary() const { return secondary_; }
  // Reads the secondary indexes beside the table again (after one is written).
  void ReloadSecondary();
  class Rows : public IndexRows {
   public:
    explicit Rows(ParadoxTable& t) : t_(t) {}
    uint64_t Count() override { return t_.prefix_.back(); }
    const std::string& Row(uint64_t pos) override { return t_.At(pos); }
    uint16_t BlockOf(uint64_t pos) override { return t_.chain_[t_.Locate(pos).first].number; }
    uint32_t Offset(int field) override { return t_.fields_[static_cast<size_t>(field)].offset; }
    uint32_t Length(int field) override { return t_.fields_[static_cast<size_t>(field)].length; }

   private:
    ParadoxTable& t_;
  };
  // Position (0-based) of the row with that primary key (the first KeyFieldCount() fields' bytes).
  std::optional<uint64_t> FindKey(const std::string& key) const;

 private:
  void CheckSecondaryWritable() const;
  // Before the first row change that makes an index stale: the index rewrite mark (swap.h).
  void MarkIndexesChanging(bool primary);
  bool InWorkFolder() const;
  // The stale indexes written anew in the work folder and swapped in.
  void RewriteIndexes();
  // After opening a table whose mark is set: rebuilds its indexes when it is held exclusively
  // for writing, otherwise leaves them refused for use. A shared open for writing first tries
  // an exclusive one of its own, before it locks the table.
  void RecoverIndexes();
  void RecoverIndexesExclusively();
  void WritePrimaryIndex(const std::string& px_path);
  [[noreturn]] void Corrupt(const std::string& what, DBIResult code = err::kFileCorrupt) const;
  void OpenAndLock();
  void ParseHeader();
  void LoadChain();
  void Recount();
  void CheckWritable() const;
  void CheckRecord(const std::string& buf) const;
  void CheckRecno(uint64_t recno) const;
  std::pair<size_t, size_t> Locate(uint64_t pos) const;  // 0-based position -> block, index
  const std::string& At(uint64_t pos) const;
  int CompareKey(const std::string& a, const std::string& b) const {
    return std::memcmp(a.data(), b.data(), key_len_);
  }
  uint64_t LowerBound(const std::string& rec) const;
  void InsertAt(uint64_t pos, const std::string& rec);
  void RemoveAt(uint64_t pos);
  uint16_t AllocateBlock();
  void WriteBlock(size_t ci);
  void WriteDb(uint64_t offset, const std::string& data);
  [[noreturn]] void ThrowFailed() const;
  void WriteHeader();
  void AssignAutoinc(std::string* rec);
  std::string ReadBlob(const std::string& buf, int field);
  uint32_t WriteBlob(const std::string& data, bool graphic, uint16_t modnr);
  void OpenBlobFile(bool create);

  std::string path_;
  OpenOptions options_;
  std::unique_ptr<File> db_;
  std::unique_ptr<File> mb_;
  std::string mb_path_;
  std::string header_;
  uint16_t header_size_ = 0;
  uint32_t block_size_ = 0;
  uint8_t version_id_ = 0;
  int level_ = 0;
  const CodePage* cp_ = &CodePage::Ansi();
  std::string sort_name_;
  std::vector<FieldSpec> fields_;
  std::vector<HeaderField> hfields_;
  uint32_t record_len_ = 0;
  int key_fields_ = 0;
  uint32_t key_len_ = 0;
  bool key_order_ok_ = true;
  std::vector<Block> chain_;
  std::vector<uint64_t> prefix_{0};
  std::vector<uint16_t> free_blocks_;
  uint32_t file_blocks_ = 0;
  int32_t autoinc_ = 0;
  bool index_stale_ = false;
  bool secondary_stale_ = false;  // the secondary indexes no longer match the rows
  bool relink_ = false;  // the chain on disk still holds empty blocks
  bool dirty_ = false;   // written since the last Flush()
  bool failed_ = false;  // a write of the rows failed: memory may differ from the disk
  bool marked_ = false;  // this object set the index rewrite mark, which the next Flush() clears
  SecondarySet secondary_;
};

}  // namespace engine::paradox::internal
