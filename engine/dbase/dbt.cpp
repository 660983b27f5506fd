#include "engine/dbase/dbt.h"

#include <algorithm>
#include <cstring>

#include "engine/error.h"

namespace engine::dbase {

namespace {

constexpr uint32_t kDbase3BlockSize = 512;
// Values of a bulk write are written in blocks of this size.
constexpr size_t kBulkBytes = 1u << 20;
constexpr size_t kHeaderSize = 512;
const unsigned char kUsedSignature[4] = {0xFF, 0xFF, 0x08, 0x00};

uint32_t GetU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutU32(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

MemoFile::MemoFile(std::unique_ptr<File> file, std::string path, std::string table, MemoLayout layout)
    : file_(std::move(file)), path_(std::move(path)), table_(std::move(table)), layout_(layout) {}

void MemoFile::Corrupt(const std::string& what) const {
  throw EngineError(err::kBlobCorrupt,
                    "El fichero de memos está dañado: " + what +
                        ". Restaure una copia de seguridad de la tabla.",
                    {CtxTable(table_), CtxFile(path_)});
}

std::unique_ptr<MemoFile> MemoFile::Open(const std::string& path, const std::string& table,
                                         MemoLayout layout, bool writable) {
  return Open(CurrentFileSystem()->Open(path, writable ? OpenMode::kReadWrite : OpenMode::kRead), table, layout);
}

std::unique_ptr<MemoFile> MemoFile::Open(std::unique_ptr<File> file, const std::string& table, MemoLayout layout) {
  const std::string path = file->path();
  std::unique_ptr<MemoFile> m(new MemoFile(std::move(file), path, table, layout));
  unsigned char h[24];
  uint64_t size = m->file_->Size();
  m->size_ = size;
  if (size < sizeof h) m->Corrupt("la cabecera está incompleta");
  ReadExactly(*m->file_, 0, h, sizeof h);
  m->header_next_ = GetU32(h);
  if (layout == MemoLayout::kDbase4) {
    uint32_t bs = static_cast<uint32_t>(h[20]) | static_cast<uint32_t>(h[21]) << 8;
    // Some writers leave the size out; dBASE itself always writes a multiple of 512.
    if (bs == 0) bs = kDbase3BlockSize;
    if (bs < 64 || bs % 64 != 0)
      m->Corrupt("el tamaño de bloque " + std::to_string(bs) + " no es válido");
    m->block_size_ = bs;
  } else {
    m->block_size_ = kDbase3BlockSize;
  }
  return m;
}

void MemoFile::Create(const std::string& path, MemoLayout layout, const std::string& base_name, bool sync) {
  auto file = CurrentFileSystem()->Open(path, OpenMode::kCreate);
  unsigned char h[kHeaderSize] = {};
  PutU32(h, 1);  // the first free block follows the header block
  if (layout == MemoLayout::kDbase4) {
    std::string name = Upper(base_name).substr(0, 8);
    std::memcpy(h + 8, name.data(), name.size());
    h[18] = 0x02;
    h[19] = 0x01;
    h[20] = kDbase3BlockSize & 0xFF;
    h[21] = kDbase3BlockSize >> 8;
  } else {
    h[16] = 0x03;  // dBASE III version mark
  }
  file->WriteAt(0, h, sizeof h);
  if (sync) file->Sync();
}

uint64_t MemoFile::EndBlock() {
  uint64_t size = std::max<uint64_t>(size_, bulk_offset_ + bulk_buf_.size());
  return (size + block_size_ - 1) / block_size_;
}

void MemoFile::Put(uint64_t offset, const void* data, size_t n) {
  reader_.Invalidate();
  file_->WriteAt(offset, data, n);
  size_ = std::max<uint64_t>(size_, offset + n);
}

void MemoFile::BeginBulk() { bulk_ = true; }

void MemoFile::FlushBulk() {
  if (bulk_buf_.size() == 0) return;
  Put(bulk_offset_, bulk_buf_.data(), bulk_buf_.size());
  file_->StartWriteback(bulk_offset_, bulk_buf_.size());  // final until the sync: the disk may take it now
  bulk_offset_ += bulk_buf_.size();
  bulk_buf_.resize(0);
}

void MemoFile::EndBulk() {
  if (!bulk_) return;
  FlushBulk();
  bulk_ = false;
  bulk_buf_ = EntryBytes();  // its megabyte goes back now, not when the file closes
  WriteHeaderU32(0, header_next_);
}

void MemoFile::StartRead(uint64_t block) {
  FlushBulk();
  const uint64_t end = EndBlock();
  if (block == 0 || block >= end)
    Corrupt("el bloque " + std::to_string(block) + " está fuera del fichero (tiene " +
            std::to_string(end) + " bloques)");
}

std::string MemoFile::Read(uint64_t block) {
  StartRead(block);
  std::string out;
  if (layout_ == MemoLayout::kDbase3) {
    ScanDbase3(block * block_size_, &out);
    return out;
  }
  out.resize(StoredLength(block) - 8);
  reader_.ReadExactly(block * block_size_ + 8, out.data(), out.size());
  return out;
}

void MemoFile::Check(uint64_t block) {
  StartRead(block);
  if (layout_ == MemoLayout::kDbase3) ScanDbase3(block * block_size_, nullptr);
  else StoredLength(block);
}

void MemoFile::ScanDbase3(uint64_t offset, std::string* out) {
  char buf[kDbase3BlockSize];
  while (offset < size_) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buf, size_ - offset));
    size_t got = reader_.ReadAt(offset, buf, want);
    if (got == 0) return;
    const char* eof = static_cast<const char*>(std::memchr(buf, 0x1A, got));
    const size_t take = eof ? static_cast<size_t>(eof - buf) : got;
    if (out) out->append(buf, take);
    if (eof) return;
    offset += got;
  }
}

uint32_t MemoFile::StoredLength(uint64_t block) {
  const uint64_t offset = block * block_size_;
  if (offset + 8 > size_) Corrupt("el bloque " + std::to_string(block) + " está incompleto");
  unsigned char h[8];
  reader_.ReadExactly(offset, h, sizeof h);
  if (std::memcmp(h, kUsedSignature, 4) != 0)
    Corrupt("el bloque " + std::to_string(block) + " no es el comienzo de un memo");
  uint32_t length = GetU32(h + 4);
  if (length < 8 || offset + length > size_)
    Corrupt("el memo del bloque " + std::to_string(block) + " dice medir " + std::to_string(length) +
            " bytes y sobrepasa el final del fichero");
  return length;
}

void MemoFile::WriteHeaderU32(uint64_t offset, uint64_t value) {
  unsigned char b[4];
  PutU32(b, value);
  Put(offset, b, sizeof b);
}

void MemoFile::LoadFreeChain() {
  if (chain_loaded_) return;
  free_.clear();
  uint64_t end = EndBlock();
  uint64_t b = header_next_;
  while (b != 0 && b < end) {
    if (free_.size() >= end) Corrupt("la cadena de bloques libres forma un ciclo");
    unsigned char node[8];
    ReadExactly(*file_, b * block_size_, node, sizeof node);
    uint64_t next = GetU32(node), count = GetU32(node + 4);
    if (count == 0 || b + count > end)
      Corrupt("el bloque libre " + std::to_string(b) + " dice abarcar " + std::to_string(count) +
              " bloques");
    free_.push_back({b, count});
    b = next;
  }
  std::vector<FreeRun> sorted = free_;
  std::sort(sorted.begin(), sorted.end(), [](const FreeRun& a, const FreeRun& c) { return a.block < c.block; });
  for (size_t i = 1; i < sorted.size(); ++i)
    if (sorted[i - 1].block + sorted[i - 1].count > sorted[i].block)
      Corrupt("la cadena de bloques libres se solapa en el bloque " + std::to_string(sorted[i].block));
  chain_loaded_ = true;
}

// Frames a value of n bytes as it is stored in `blocks` blocks at `to`: IV layout: FF FF 08 00,
// the length with those 8 bytes, the data; III layout: the data. Then the end marks and zeros up
// to the block end. With `data` null the data's place is left for the caller to fill.
void MemoFile::Frame(char* to, const char* data, size_t n, uint64_t blocks) const {
  const size_t end = static_cast<size_t>(blocks * block_size_);
  size_t at = 0;
  if (layout_ == MemoLayout::kDbase4) {
    std::memcpy(to, kUsedSignature, 4);
    PutU32(reinterpret_cast<unsigned char*>(to) + 4, n + 8);
    at = 8;
  }
  if (data) std::memcpy(to + at, data, n);
  at += n;
  // dBASE goes by the length; readers that scan for an end mark instead find 0x1F (dbfread's)
  // and then 0x1A (the dBASE III one) right after the data.
  std::memcpy(to + at, layout_ == MemoLayout::kDbase4 ? "\x1F\x1A" : "\x1A\x1A", 2);
  std::memset(to + at + 2, 0, end - at - 2);
}

// Room for a value's blocks, starting at block `start` (the end of what is written or
// gathered), at the end of the gathered bytes; the caller frames the value there.
char* MemoFile::Gather(uint64_t start, uint64_t blocks) {
  uint64_t offset = start * block_size_;
  if (bulk_buf_.size() == 0) bulk_offset_ = offset;
  if (offset != bulk_offset_ + bulk_buf_.size()) {
    FlushBulk();
    bulk_offset_ = offset;
  }
  bulk_buf_.reserve(kBulkBytes + block_size_);  // once: kept from one flush to the next
  const size_t at = bulk_buf_.size();
  bulk_buf_.resize_for_overwrite(at + static_cast<size_t>(blocks * block_size_));
  return bulk_buf_.data() + at;
}

void MemoFile::FlushBulkIfFull() {
  if (bulk_buf_.size() >= kBulkBytes) FlushBulk();
}

// Where a new value of `blocks` blocks goes when it can be gathered (the III layout, or a IV file
// being filled from empty), with the header's end link moved past it; 0 where it cannot.
uint64_t MemoFile::GatherStart(uint64_t blocks) {
  if (!bulk_) return 0;
  uint64_t start;
  if (layout_ == MemoLayout::kDbase3) {
    start = std::max<uint64_t>(std::max<uint64_t>(header_next_, EndBlock()), 1);
  } else {
    LoadFreeChain();
    if (!free_.empty()) return 0;
    // A file being filled from empty: the header's end link is written at EndBulk.
    start = std::max<uint64_t>(EndBlock(), 1);
  }
  header_next_ = start + blocks;
  return start;
}

uint64_t MemoFile::BlocksFor(uint64_t n) const {
  // Stored: the data and two end marks, after an 8-byte header in the IV layout.
  const uint64_t stored = n + (layout_ == MemoLayout::kDbase4 ? 10 : 2);
  return (stored + block_size_ - 1) / block_size_;
}

uint64_t MemoFile::CopyValue(MemoFile& from, uint64_t block) {
  if (from.layout_ != MemoLayout::kDbase4 || !bulk_) {
    const std::string data = from.Read(block);
    return data.empty() ? 0 : Write(data);
  }
  from.StartRead(block);
  const size_t n = from.StoredLength(block) - 8u;
  if (n == 0) return 0;
  const uint64_t blocks = BlocksFor(n);
  const uint64_t before = header_next_;
  const uint64_t start = GatherStart(blocks);
  if (start == 0) return Write(from.Read(block));
  // The value goes from the old file's read window straight to its place among the gathered
  // bytes; a failed read takes its room back.
  char* to = Gather(start, blocks);
  try {
    Frame(to, nullptr, n, blocks);
    from.reader_.ReadExactly(block * from.block_size_ + 8, to + (layout_ == MemoLayout::kDbase4 ? 8 : 0), n);
  } catch (...) {
    bulk_buf_.resize(bulk_buf_.size() - static_cast<size_t>(blocks * block_size_));
    header_next_ = before;
    throw;
  }
  FlushBulkIfFull();
  return start;
}

// Writes node i of the chain: [next][count], next being the following run or the end.
void MemoFile::WriteLink(size_t i) {
  uint64_t target = i < free_.size() ? free_[i].block : EndBlock();
  if (i == 0) {
    header_next_ = target;
    WriteHeaderU32(0, target);
    return;
  }
  const FreeRun& prev = free_[i - 1];
  unsigned char node[8];
  PutU32(node, target);
  PutU32(node + 4, prev.count);
  Put(prev.block * block_size_, node, sizeof node);
}

uint64_t MemoFile::Write(const std::string& data) {
  const uint64_t blocks = BlocksFor(data.size());
  if (layout_ == MemoLayout::kDbase4 && data.size() > 0xFFFFFFFFull - 8)
    throw EngineError(err::kValueOutOfRange, "El memo es demasiado grande para el fichero de memos.",
                      {CtxTable(table_), CtxFile(path_)});
  if (const uint64_t start = GatherStart(blocks)) {
    Frame(Gather(start, blocks), data.data(), data.size(), blocks);
    FlushBulkIfFull();
    return start;
  }
  std::string body(static_cast<size_t>(blocks * block_size_), '\0');
  Frame(body.data(), data.data(), data.size(), blocks);
  if (layout_ == MemoLayout::kDbase3) {
    uint64_t start = std::max<uint64_t>(std::max<uint64_t>(header_next_, EndBlock()), 1);
    header_next_ = start + blocks;
    Put(start * block_size_, body.data(), body.size());
    WriteHeaderU32(0, header_next_);
    return start;
  }
  LoadFreeChain();
  uint64_t start = std::max<uint64_t>(EndBlock(), 1);
  // The chain is changed before the data goes in, so that a failure between the two leaves
  // blocks unused rather than claimed twice.
  for (size_t i = 0; i < free_.size(); ++i) {
    if (free_[i].count < blocks) continue;
    if (free_[i].count == blocks) {
      start = free_[i].block;
      free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(i));
      WriteLink(i);
    } else {
      free_[i].count -= blocks;
      start = free_[i].block + free_[i].count;
      WriteLink(i + 1);  // rewrites run i's node with its new count
    }
    Put(start * block_size_, body.data(), body.size());
    return start;
  }
  uint64_t new_end = start + blocks;
  // Move the chain's end link on before writing past the old end.
  {
    unsigned char b[4];
    PutU32(b, new_end);
    FlushBulk();
    if (free_.empty()) {
      header_next_ = new_end;
      Put(0, b, 4);
    } else {
      Put(free_.back().block * block_size_, b, 4);
    }
  }
  Put(start * block_size_, body.data(), body.size());
  return start;
}

void MemoFile::Release(uint64_t block) {
  if (layout_ == MemoLayout::kDbase3) return;
  FlushBulk();
  uint64_t size = size_;
  if (block == 0 || (block + 1) * block_size_ > size + block_size_) return;
  unsigned char h[8];
  if (block * block_size_ + sizeof h > size) return;
  ReadExactly(*file_, block * block_size_, h, sizeof h);
  if (std::memcmp(h, kUsedSignature, 4) != 0) return;
  uint64_t length = GetU32(h + 4);
  if (length < 8 || block * block_size_ + length > size) return;
  LoadFreeChain();
  uint64_t blocks = (length + block_size_ - 1) / block_size_;
  for (const FreeRun& r : free_)
    if (block < r.block + r.count && r.block < block + blocks) return;  // already free
  free_.insert(free_.begin(), FreeRun{block, blocks});
  WriteLink(1);  // the new run's node, pointing at the old head
  WriteLink(0);  // the header, pointing at the new run
}

void MemoFile::Sync() { file_->Sync(); }

}  // namespace engine::dbase
