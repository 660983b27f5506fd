// A dBASE memo file (.DBT): the text, binary and OLE values of a table's M, B and G fields, kept
// in blocks that the table's records point to by number.
//
// Two layouts exist. dBASE III files use 512-byte blocks, end each value with 0x1A 0x1A and never
// reuse space. dBASE IV, 5 and 7 files take the block size from the header, start each value's
// first block with FF FF 08 00 and a length, and keep a chain of free runs whose last link points
// at the block just past the end of the file. Writing never clobbers a run of that chain: new
// values take a free run that is large enough, or go past the end with the chain's end moved on.
//
// Requires an open file from the file-system layer; not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/dbase/entry_bytes.h"
#include "engine/fs.h"
#include "engine/read_ahead.h"

namespace engine::dbase {

enum class MemoLayout { kDbase3, kDbase4 };

class MemoFile {
 public:
  // Opens the memo file of `table` (used in messages). Throws EngineError for a header that
  // cannot belong to a memo file.
  static std::unique_ptr<MemoFile> Open(const std::string& path, const std::string& table,
                                        MemoLayout layout, bool writable);
  // The same from the file already open (to write when `file` was opened so).
  static std::unique_ptr<MemoFile> Open(std::unique_ptr<File> file, const std::string& table, MemoLayout layout);
  // Creates (or overwrites) an empty memo file; `base_name` goes into the IV header. Without
  // `sync`, the caller makes the file durable later.
  static void Create(const std::string& path, MemoLayout layout, const std::string& base_name, bool sync = true);

  const std::string& path() const { return path_; }
  MemoLayout layout() const { return layout_; }
  uint32_t block_size() const { return block_size_; }

  // The bytes of the value starting at `block`. Block numbers outside the file and lengths that
  // run past its end are errors naming the file.
  std::string Read(uint64_t block);
  // Throws what Read(block) would throw, without keeping the value: in the IV layout only the
  // value's header is read (block, signature, and the length against the file), in the III layout
  // its bytes are run through up to their end mark.
  void Check(uint64_t block);
  // Stores a value in new or free blocks and returns its first block number.
  uint64_t Write(const std::string& data);
  // Stores a copy of the value at `block` of `from` (as Write(from.Read(block)) would, errors
  // included) and returns its first block number, or 0 for a value of no bytes (nothing stored).
  // In a bulk write the bytes go from `from` straight to their place among the gathered ones.
  uint64_t CopyValue(MemoFile& from, uint64_t block);
  // Returns the blocks of the value at `block` to the free chain (IV layout; the III layout
  // never reuses space). A block that does not hold a value start is left alone.
  void Release(uint64_t block);
  void Sync();
  // Many values in a row (a table being rebuilt): new values are gathered and written in large
  // blocks, and the header at EndBulk. Reading flushes what is gathered first.
  void BeginBulk();
  void EndBulk();

 private:
  MemoFile(std::unique_ptr<File> file, std::string path, std::string table, MemoLayout layout);
  struct FreeRun {
    uint64_t block;
    uint64_t count;
  };
  [[noreturn]] void Corrupt(const std::string& what) const;
  uint64_t EndBlock();  // first block past the end of the file
  void LoadFreeChain();
  void WriteLink(size_t index);  // writes the link that points at free_[index] (or the end)
  void WriteHeaderU32(uint64_t offset, uint64_t value);
  // Writes to the file, keeping the known file size.
  void Put(uint64_t offset, const void* data, size_t n);
  void FlushBulk();
  void FlushBulkIfFull();
  // What every read does first: the gathered values written, the block checked to lie in the file.
  void StartRead(uint64_t block);
  // The IV layout's checked length of the value at `block` (its 8-byte header included).
  uint32_t StoredLength(uint64_t block);
  // The III layout's value from `offset`: up to the first 0x1A, or to the end of the file;
  // appended to `out` unless it is null.
  void ScanDbase3(uint64_t offset, std::string* out);
  uint64_t BlocksFor(uint64_t n) const;  // blocks that a value of n bytes takes
  uint64_t GatherStart(uint64_t blocks);
  void Frame(char* to, const char* data, size_t n, uint64_t blocks) const;
  char* Gather(uint64_t start, uint64_t blocks);

  std::unique_ptr<File> file_;
  std::string path_;
  std::string table_;
  MemoLayout layout_;
  uint32_t block_size_ = 512;
  uint64_t header_next_ = 0;  // header bytes 0-3
  bool chain_loaded_ = false;
  std::vector<FreeRun> free_;  // the chain in order; its last link points at EndBlock()
  uint64_t size_ = 0;          // the file's size, kept as it is written
  bool bulk_ = false;
  EntryBytes bulk_buf_;        // gathered values, to be written at bulk_offset_
  uint64_t bulk_offset_ = 0;
  ReadAhead reader_{*file_};   // values are read through it; every write invalidates it
};

}  // namespace engine::dbase
