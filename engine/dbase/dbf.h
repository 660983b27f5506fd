// A dBASE table file (.DBF) behind the storage interface: levels 3, 4, 5 and 7 read and written,
// FoxPro tables read only. The table owns its memo file (dbt.h) and, when its header announces
// one, its production index (mdx.h), which it keeps informed of every change to a row.
//
// Requires: every file access through CurrentFileSystem(); one owner at a time (not thread-safe).
// The table is locked (shared, or exclusive on request) for as long as it is open.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dbase/background_read.h"
#include "engine/dbase/dbt.h"
#include "engine/dbase/entry_bytes.h"
#include "engine/dbase/mdx.h"
#include "engine/storage.h"

namespace engine::dbase {

class DbfTable : public TableStorage {
 public:
  static std::unique_ptr<DbfTable> Open(const std::string& path, const OpenOptions& options, bool foxpro);
  static void Create(const std::string& path, const TableDefinition& def);
  ~DbfTable() override;

  const std::string& Path() const override { return path_; }
  TableFormat Format() const override { return foxpro_ ? TableFormat::kFoxPro : TableFormat::kDbase; }
  std::string TypeName() const override { return foxpro_ ? "FOXPRO" : "DBASE"; }
  int Level() const override { return level_; }
  const CodePage& Codepage() const override { return *cp_; }
  std::string LanguageDriverName() const override { return driver_name_; }
  Collation KeyCollation() const override { return CollationForDbase(ldid_, driver_name_); }
  const std::vector<FieldSpec>& Fields() const override { return fields_; }
  uint32_t RecordLength() const override { return record_length_; }

  uint64_t RecordCount() override { return count_; }
  // Whole records that the file holds after the ones the header counts (see dbase.h).
  uint64_t RecordsPastCount();
  void ReadRecord(uint64_t recno, std::string* buf) override;
  bool BeginRecordCopies() override;
  void CopyRecords(uint64_t first, size_t n, char* out) const override;
  bool IsDeleted(const std::string& buf) const override;
  Value GetValue(const std::string& buf, int field) override;
  void ReadValue(const std::string& buf, int field, Value* out) override;
  void CheckValue(const std::string& buf, int field) override;
  void CheckValueIn(std::string_view record, int field) override;
  bool CheckCanRefuse(int field) const override;
  void SetValue(std::string* buf, int field, const Value& v) override;
  std::string BlankRecord() const override;
  void UpdateRecord(uint64_t recno, const std::string& old_buf, const std::string& new_buf) override;
  uint64_t AppendRecord(const std::string& buf) override;
  size_t AppendRecords(size_t n, const std::function<size_t(char* rows)>& fill) override;
  void SetDeleted(uint64_t recno, bool deleted) override;
  void Flush() override;
  void BeginBulkAppend() override;
  void EndBulkAppend() override;

  std::vector<TagInfo> Tags() override;
  void DescribeForRecreate(TableDefinition* def) const override;
  std::optional<std::string> GetBlobBytes(const std::string& buf, int field) override;
  bool SetBlobBytes(std::string* buf, int field, const std::string& bytes) override;
  std::unique_ptr<BlobCopier> BlobCopierFrom(TableStorage& from) override;
  bool HasIndex() const { return mdx_ != nullptr; }
  IndexCheckReport CheckIndex(RecordSource& rows) { return mdx_->Check(rows); }
  std::unique_ptr<KeyWalker> WalkTag(const std::string& tag, const std::optional<Value>& equal_to) override;

  // The field's stored bytes in a record buffer (for index keys).
  std::string RawField(const std::string& buf, int field) const;
  // Field number by name, without regard to letter case; -1 when there is none.
  int FieldIndex(const std::string& name) const;
  // The memo file, or nullptr when the table has none.
  MemoFile* Memo() { return memo_.get(); }
  // Marks the table as having a production index (header byte 28), for a table whose index was
  // just written beside it; durable at the next Flush. The open table does not use the index.
  void AnnounceIndex();

 private:
  struct FieldExtra {
    char letter = 'C';           // the type letter as stored
    uint32_t next_autoinc = 0;   // level 7 '+' fields
  };

  DbfTable() = default;
  void Load(bool foxpro, const OpenOptions& options);
  void ParseHeader(const std::string& header, uint64_t file_size);
  void OpenCompanions();
  std::unique_ptr<File> OpenCompanion(const std::string& path);
  void RequireWritable() const;
  // Checked on every row read: the refusals are kept out of line.
  void CheckRecordNumber(uint64_t recno) const {
    if (recno < 1 || recno > count_) NoSuchRecord(recno);
  }
  void CheckBuffer(const std::string& buf) const {
    if (buf.size() != record_length_) WrongBufferSize(buf.size());
  }
  [[noreturn]] void NoSuchRecord(uint64_t recno) const;
  [[noreturn]] void WrongBufferSize(size_t size) const;
  uint64_t RecordOffset(uint64_t recno) const { return header_length_ + (recno - 1) * record_length_; }
  void WriteRecord(uint64_t recno, const std::string& buf);
  void WriteCount();
  std::vector<std::string> Ctx(int field = -1) const;
  [[noreturn]] void Bad(const std::string& what) const;
  [[noreturn]] void Refuse(DBIResult code, int field, const std::string& what, const Value& v) const;
  uint64_t MemoBlock(const char* row, int field) const;
  void StoreMemo(std::string* buf, int field, const std::string& data, const Value& shown);
  bool PutMemoBlock(char* p, int field, uint64_t block) const;
  class MemoCopier;
  std::string DecodeText(std::string_view bytes) const;
  void DecodeText(std::string_view bytes, std::string* out) const;
  // The stored bytes of a field are not a value of its type.
  [[noreturn]] void CorruptValue(int field, std::string_view raw, const std::string& what) const;
  // A number field's stored text without its blanks ("" for none), its value in *out (a null
  // `out`: only checked); throws when the text is not a number.
  std::string_view StoredNumber(int field, const char* raw, double* out) const;
  // The stored bytes of a memo or blob field's value; nullopt when it has none.
  std::optional<std::string> MemoData(const std::string& buf, int field) const;
  // The block of a memo or blob field's value in the memo file (0: none), with the refusals that
  // come before its read (a FoxPro table, a pointer that is no number, no memo file).
  uint64_t MemoToRead(const char* row, int field) const;
  // Throws what GetValue throws for the field, decided on its stored bytes in `row` (memos by
  // their block and length, not read).
  void CheckStored(const char* row, int field) const;

  std::string path_;
  bool foxpro_ = false;
  bool writable_ = false;
  bool exclusive_ = false;
  uint8_t version_ = 0;
  uint8_t ldid_ = 0;  // header byte 29 as stored
  int level_ = 4;
  const CodePage* cp_ = nullptr;
  std::array<std::array<char, 4>, 256> utf8_{};  // UTF-8 of every byte in cp_ (ASCII as itself)
  std::array<uint8_t, 256> utf8_len_{};
  std::string driver_name_;
  std::vector<FieldSpec> fields_;
  mutable std::vector<std::string> folded_names_;  // field names case-folded, for lookups by name
  std::vector<FieldExtra> extra_;
  uint32_t header_length_ = 0;
  uint32_t record_length_ = 0;
  uint64_t count_ = 0;
  bool dirty_ = false;
  bool autoinc_dirty_ = false;
  bool has_mdx_ = false;
  std::unique_ptr<File> file_;
  std::unique_ptr<MemoFile> memo_;
  std::unique_ptr<RecordSource> row_source_;  // the rows, for the index (outlives mdx_)
  std::unique_ptr<MdxIndex> mdx_;
  // A window of the table file kept for reading rows in order.
  uint64_t cache_offset_ = 0;
  // Rows appended in bulk mode and not yet written, starting at record bulk_first_.
  bool bulk_ = false;
  EntryBytes bulk_buf_;
  uint64_t bulk_first_ = 0;
  // Room for n more rows in bulk_buf_ (the bulk mode's first rows start a new block).
  char* BulkRoom(size_t n);
  void SendBulkIfFull();
  void WriteBulk();
  EntryBytes cache_;  // filled whole by each read: never cleared first
  // The window after it, read on another thread while a walk of a read-only open reads this one
  // (declared after file_, so that it ends first).
  std::unique_ptr<BackgroundRead<EntryBytes>> ahead_;
  // Reads the rows from offset off into the window.
  [[gnu::noinline]] void FillWindow(uint64_t off);
};

}  // namespace engine::dbase
