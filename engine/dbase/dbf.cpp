// The records of a .DBF table: read through a window of the file, written in place, appended
// one by one or in bulk, marked deleted, flushed; the production index is told of every change.
#include "engine/dbase/dbf.h"

#include <algorithm>
#include <cstring>

#include "engine/dbase/dbase.h"
#include "engine/dbase/dbf_internal.h"
#include "engine/error.h"

namespace engine::dbase {

using namespace dbf_internal;

namespace {

constexpr size_t kCacheBytes = 256 * 1024;
constexpr size_t kFirstCacheBytes = 16 * 1024;
// Rows of a bulk append are written in blocks of this size.
constexpr size_t kBulkBytes = 1u << 20;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Rows

void DbfTable::RequireWritable() const {
  if (!writable_)
    throw EngineError(err::kInvalidParam,
                      foxpro_ ? "Las tablas FoxPro solo se pueden leer." : "La tabla está abierta solo para lectura.",
                      {CtxTable(path_)});
}

void DbfTable::NoSuchRecord(uint64_t recno) const {
  throw EngineError(err::kEndOfTable,
                    "El registro " + std::to_string(recno) + " no existe (la tabla tiene " + std::to_string(count_) +
                        ").",
                    {CtxTable(path_), CtxRecord(recno)});
}

void DbfTable::WrongBufferSize(size_t size) const {
  throw EngineError(err::kInternal,
                    "El registro mide " + std::to_string(size) + " bytes y la tabla espera " +
                        std::to_string(record_length_) + ".",
                    {CtxTable(path_)});
}

uint64_t RecordsPastCount(TableStorage& table) {
  auto* dbf = dynamic_cast<DbfTable*>(&table);
  return dbf ? dbf->RecordsPastCount() : 0;
}

std::string RecordsPastCountText(uint64_t past, uint64_t counted) {
  if (past == 0) return "";
  const std::string rows = "el fichero guarda " + std::to_string(past) + (past == 1 ? " registro" : " registros");
  if (counted == 0) return rows + " y su cabecera no cuenta ninguno";
  return rows + " más allá " + (counted == 1 ? std::string("del único") : "de los " + std::to_string(counted)) +
         " que cuenta su cabecera";
}

std::string RecordsPastCountProblem(const std::string& path) {
  OpenOptions options;
  options.read_only = true;
  auto t = OpenStorage(path, TableFormat::kDbase, options);
  return RecordsPastCountText(RecordsPastCount(*t), t->RecordCount());
}

uint64_t DbfTable::RecordsPastCount() {
  if (bulk_) WriteBulk();
  const uint64_t size = file_->Size();
  uint64_t past = 0;
  for (uint64_t at = static_cast<uint64_t>(header_length_) + count_ * record_length_;
       record_length_ > 0 && at <= size && size - at >= record_length_; at += record_length_, ++past) {
    char flag = 0;
    ReadExactly(*file_, at, &flag, 1);
    if (flag != ' ' && flag != '*') break;
  }
  return past;
}

void DbfTable::ReadRecord(uint64_t recno, std::string* buf) {
  CheckRecordNumber(recno);
  if (bulk_) WriteBulk();
  const uint64_t off = RecordOffset(recno);
  if (off < cache_offset_ || off + record_length_ > cache_offset_ + cache_.size()) FillWindow(off);
  // A reader of many rows passes the same buffer each time: its bytes are overwritten in place.
  if (buf->size() != record_length_) buf->resize(record_length_);
  std::memcpy(buf->data(), cache_.data() + (off - cache_offset_), record_length_);
}

// Kept out of ReadRecord, which most rows leave without calling it.
void DbfTable::FillWindow(uint64_t off) {
  const uint64_t end = static_cast<uint64_t>(header_length_) + count_ * record_length_;
  // The window grows while the rows are read in order: an open that reads a row or two reads
  // a few kilobytes, a walk soon reads kCacheBytes at a time.
  const bool in_order = cache_.size() > 0 && off == cache_offset_ + cache_.size();
  const size_t window = in_order ? std::min(kCacheBytes, cache_.size() * 2) : kFirstCacheBytes;
  const uint64_t whole = std::max<uint64_t>(record_length_, window / record_length_ * record_length_);
  const uint64_t want = std::min(whole, end - off);
  cache_offset_ = off;
  if (!ahead_ || !ahead_->Take(off, static_cast<size_t>(want), cache_)) {
    cache_.resize_for_overwrite(static_cast<size_t>(want));
    try {
      ReadExactly(*file_, off, cache_.data(), cache_.size());
    } catch (EngineError& e) {
      cache_.resize(0);
      e.With(CtxTable(path_));
      throw;
    }
  }
  // A walk at full stride, of a table nobody writes through this open, has the next window read
  // on another thread while it reads this one: the copy of the file's bytes out of the system's
  // cache, as long as a third of a walk, then no longer adds to it.
  const uint64_t next = off + want;
  if (!writable_ && window == kCacheBytes && next < end) {
    if (!ahead_) ahead_ = std::make_unique<BackgroundRead<EntryBytes>>(*file_);
    ahead_->Start(next, static_cast<size_t>(std::min(whole, end - next)));
  }
}

bool DbfTable::BeginRecordCopies() {
  if (bulk_) WriteBulk();
  return true;
}

void DbfTable::CopyRecords(uint64_t first, size_t n, char* out) const {
  if (n == 0) return;
  if (first < 1 || first > count_ || n > count_ - first + 1)
    throw EngineError(err::kInternal, "Se han pedido registros fuera de la tabla.", {CtxTable(path_)});
  try {
    ReadExactly(*file_, RecordOffset(first), out, n * record_length_);
  } catch (EngineError& e) {
    e.With(CtxTable(path_));
    throw;
  }
}

bool DbfTable::IsDeleted(const std::string& buf) const { return !buf.empty() && buf[0] == '*'; }

std::string DbfTable::RawField(const std::string& buf, int field) const {
  const FieldSpec& f = fields_.at(static_cast<size_t>(field));
  return buf.substr(f.offset, f.length);
}

int DbfTable::FieldIndex(const std::string& name) const {
  // Index expressions name fields as they are stored, and ask for them once per row and key.
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].name == name) return static_cast<int>(i);
  if (folded_names_.size() != fields_.size()) {
    folded_names_.clear();
    for (const FieldSpec& f : fields_) folded_names_.push_back(FoldCase(f.name));
  }
  std::string want = FoldCase(name);
  for (size_t i = 0; i < folded_names_.size(); ++i)
    if (folded_names_[i] == want) return static_cast<int>(i);
  return -1;
}

std::string DbfTable::BlankRecord() const {
  std::string buf(record_length_, ' ');
  for (size_t i = 0; i < fields_.size(); ++i) {
    char l = extra_[i].letter;
    if (l == 'I' || l == '+' || l == 'O' || l == '@' || l == 'T' || l == 'Y' || (foxpro_ && l == 'B'))
      std::memset(buf.data() + fields_[i].offset, 0, fields_[i].length);
  }
  return buf;
}

void DbfTable::WriteRecord(uint64_t recno, const std::string& buf) {
  uint64_t off = RecordOffset(recno);
  file_->WriteAt(off, buf.data(), buf.size());
  dirty_ = true;
  // Keep the read window true to what is on disk.
  uint64_t c0 = cache_offset_, c1 = cache_offset_ + cache_.size();
  uint64_t w0 = off, w1 = off + buf.size();
  if (w0 < c1 && c0 < w1) {
    uint64_t a = std::max(c0, w0), b = std::min(c1, w1);
    std::memcpy(cache_.data() + (a - c0), buf.data() + (a - w0), static_cast<size_t>(b - a));
  }
}

void DbfTable::UpdateRecord(uint64_t recno, const std::string& old_buf, const std::string& new_buf) {
  RequireWritable();
  CheckRecordNumber(recno);
  CheckBuffer(old_buf);
  CheckBuffer(new_buf);
  if (mdx_) {
    RowView before(this, &old_buf, recno), after(this, &new_buf, recno);
    mdx_->CheckWrite(&before, after);
    WriteRecord(recno, new_buf);
    mdx_->Update(before, after);
    return;
  }
  WriteRecord(recno, new_buf);
}

void DbfTable::WriteCount() {
  unsigned char b[4];
  PutU32(b, count_);
  file_->WriteAt(4, b, sizeof b);
  dirty_ = true;
}

uint64_t DbfTable::AppendRecord(const std::string& in) {
  RequireWritable();
  CheckBuffer(in);
  if (count_ >= 0xFFFFFFFFull)
    throw EngineError(err::kTableFull, "La tabla ha llegado al máximo de registros.", {CtxTable(path_)});
  // Only tables with autoincrement fields need their own copy of the row, to number it.
  std::string numbered;
  const std::string* row = &in;
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (extra_[i].letter != '+') continue;
    if (row == &in) {
      numbered = in;
      row = &numbered;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(numbered.data() + fields_[i].offset);
    if (!AllZero(numbered.data() + fields_[i].offset, 4)) {
      // A value given by the caller: later ones are numbered after it.
      auto given = static_cast<int32_t>(static_cast<uint32_t>(GetBE(p, 4)) ^ 0x80000000u);
      if (given > 0 && static_cast<uint32_t>(given) >= extra_[i].next_autoinc) {
        extra_[i].next_autoinc = static_cast<uint32_t>(given) + 1;
        autoinc_dirty_ = true;
      }
      continue;
    }
    uint32_t next = extra_[i].next_autoinc ? extra_[i].next_autoinc : 1;
    PutBE(numbered.data() + fields_[i].offset, next ^ 0x80000000u, 4);
    extra_[i].next_autoinc = next + 1;
    autoinc_dirty_ = true;
  }
  const std::string& buf = *row;
  uint64_t recno = count_ + 1;
  if (mdx_) {
    RowView check(this, &buf, recno);
    mdx_->CheckWrite(nullptr, check);
  }
  if (bulk_) {
    std::memcpy(BulkRoom(1), buf.data(), record_length_);
    count_ = recno;
    dirty_ = true;
    SendBulkIfFull();
  } else {
    std::string out = buf;
    out.push_back('\x1A');
    file_->WriteAt(RecordOffset(recno), out.data(), out.size());
    count_ = recno;
    WriteCount();
  }
  if (mdx_) {
    RowView row(this, &buf, recno);
    mdx_->Insert(row);
  }
  return recno;
}

char* DbfTable::BulkRoom(size_t n) {
  if (bulk_buf_.size() == 0) {
    bulk_first_ = count_ + 1;
    // Room for a whole megabyte of rows at once, rather than growing row by row.
    bulk_buf_.reserve(kBulkBytes + record_length_);
  }
  const size_t at = bulk_buf_.size();
  bulk_buf_.resize_for_overwrite(at + n * record_length_);
  return bulk_buf_.data() + at;
}

void DbfTable::SendBulkIfFull() {
  if (bulk_buf_.size() >= kBulkBytes) WriteBulk();
}

size_t DbfTable::AppendRecords(size_t n, const std::function<size_t(char* rows)>& fill) {
  // Rows that the index must see, or that autoincrement fields number, go one by one.
  const bool numbered = std::any_of(extra_.begin(), extra_.end(), [](const FieldExtra& e) { return e.letter == '+'; });
  if (!bulk_ || mdx_ || numbered) return TableStorage::AppendRecords(n, fill);
  RequireWritable();
  if (n > 0xFFFFFFFFull - count_)
    throw EngineError(err::kTableFull, "La tabla ha llegado al máximo de registros.", {CtxTable(path_)});
  const size_t before = bulk_buf_.size();
  const size_t got = fill(BulkRoom(n));
  if (got > n) throw EngineError(err::kInternal, "Se han dado más registros de los que caben.", {CtxTable(path_)});
  bulk_buf_.resize(before + got * record_length_);
  count_ += got;
  dirty_ = true;
  SendBulkIfFull();
  return got;
}

void DbfTable::SetDeleted(uint64_t recno, bool deleted) {
  RequireWritable();
  std::string before;
  ReadRecord(recno, &before);
  std::string after = before;
  after[0] = deleted ? '*' : ' ';
  if (after == before) return;
  if (mdx_) {
    RowView b(this, &before, recno), a(this, &after, recno);
    mdx_->CheckWrite(&b, a);
    WriteRecord(recno, after);
    mdx_->Update(b, a);
    return;
  }
  WriteRecord(recno, after);
}

void DbfTable::BeginBulkAppend() {
  RequireWritable();
  bulk_ = true;
  if (memo_) memo_->BeginBulk();
}

// Every row appended so far on file.
void DbfTable::WriteBulk() {
  if (bulk_buf_.size() == 0) return;
  file_->WriteAt(RecordOffset(bulk_first_), bulk_buf_.data(), bulk_buf_.size());
  // The rows of a bulk append are final: the disk may take them while more are prepared.
  file_->StartWriteback(RecordOffset(bulk_first_), bulk_buf_.size());
  bulk_buf_.resize(0);
}

void DbfTable::EndBulkAppend() {
  if (!bulk_) return;
  if (memo_) memo_->EndBulk();
  WriteBulk();
  bulk_ = false;
  bulk_buf_ = EntryBytes();  // its megabyte goes back now, not when the table closes
  const char eof = 0x1A;
  file_->WriteAt(RecordOffset(count_ + 1), &eof, 1);
  WriteCount();
}

void DbfTable::Flush() {
  if (!writable_) return;
  EndBulkAppend();
  if (dirty_) {
    unsigned char h[8];
    int y, m, d;
    Today(&y, &m, &d);
    h[0] = static_cast<unsigned char>(std::clamp(y - 1900, 0, 255));
    h[1] = static_cast<unsigned char>(m);
    h[2] = static_cast<unsigned char>(d);
    PutU32(h + 3, count_);
    file_->WriteAt(1, h, 7);
    if (autoinc_dirty_) {
      for (size_t i = 0; i < fields_.size(); ++i) {
        if (extra_[i].letter != '+') continue;
        unsigned char b[4];
        PutU32(b, extra_[i].next_autoinc);
        file_->WriteAt(68 + 48 * i + 40, b, 4);
      }
      autoinc_dirty_ = false;
    }
  }
  file_->Sync();
  if (memo_) memo_->Sync();
  if (mdx_) mdx_->Flush();
  dirty_ = false;
}

std::vector<TagInfo> DbfTable::Tags() { return mdx_ ? mdx_->Tags() : std::vector<TagInfo>{}; }

std::unique_ptr<KeyWalker> DbfTable::WalkTag(const std::string& tag, const std::optional<Value>& equal_to) {
  if (!mdx_) return TableStorage::WalkTag(tag, equal_to);
  return mdx_->Walk(tag, equal_to);
}

IndexCheckReport CheckTableIndexes(const std::string& dbf_path) {
  OpenOptions opts;
  opts.read_only = true;
  auto table = DbfTable::Open(dbf_path, opts, false);
  if (!table->HasIndex()) return {};
  TableRows rows(table.get());
  return table->CheckIndex(rows);
}

void DbfTable::AnnounceIndex() {
  RequireWritable();
  const char flag = 0x01;
  file_->WriteAt(28, &flag, 1);
}

void FinishRestructuredIndex(TableStorage& table, const std::string& old_mdx, const std::vector<TagPlan>& plan,
                             const std::vector<uint64_t>& recno_map) {
  auto* t = dynamic_cast<DbfTable*>(&table);
  if (!t || t->Format() != TableFormat::kDbase)
    throw EngineError(err::kInternal, "Solo una tabla dBASE recibe un índice de producción.", {CtxTable(table.Path())});
  // The index is built from the rows as the open table reads them (its pending rows written
  // first), and announced in the header before the table's sync, while nothing but this rebuild
  // can see the new file.
  TableRows rows(t);
  RewriteIndex(old_mdx, CompanionToCreate(t->Path(), "MDX"), BaseNameNoExt(t->Path()), plan, recno_map, t->Fields(),
               t->Codepage(), rows, t->KeyCollation());
  t->AnnounceIndex();
}

}  // namespace engine::dbase
