// Changing the rows of a Paradox table: values into records, blocks of the chain written in an
// order that keeps the old chain whole until the header names the new one, and the primary
// index (.PX) and the secondary indexes rebuilt from the chain when a changed table is flushed,
// swapped in under a journal, with a mark beside the table while they may not match its rows.

#include <algorithm>
#include <cstring>
#include <tuple>

#include "engine/error.h"
#include "engine/fs.h"
#include "engine/paradox/px_table.h"
#include "engine/swap.h"

namespace engine::paradox::internal {

void ParadoxTable::SetValue(std::string* buf, int field, const Value& v) {
  CheckRecord(*buf);
  if (field < 0 || static_cast<size_t>(field) >= fields_.size())
    throw EngineError(err::kInvalidParam, "Número de campo fuera de la tabla.", {CtxTable(path_)});
  const FieldSpec& f = fields_[field];
  const PxType& t = *hfields_[field].type;
  try {
    if (!t.blob) {
      EncodeField(t, v, f.size, *cp_, buf->data() + f.offset);
      return;
    }
    CheckWritable();
    const uint32_t leader = f.length - 10;
    const uint16_t modnr = static_cast<uint16_t>(Get16(*buf, f.offset + leader + 8) + 1);
    std::string data;
    if (v.IsNull()) {
      std::memset(buf->data() + f.offset, 0, f.length);
      return;
    }
    if (v.kind == Value::Kind::Text) {
      if (t.letter != 'M' && t.letter != 'F')
        throw EngineError(err::kConversion, "El campo binario no admite texto.");
      auto enc = cp_->Encode(v.s);
      if (!enc)
        throw EngineError(err::kConversion, "El texto tiene caracteres que la página de códigos " +
                                                std::to_string(cp_->number()) + " de la tabla no admite.");
      data = std::move(*enc);
    } else if (v.kind == Value::Kind::Binary) {
      data = v.s;
    } else {
      throw EngineError(err::kConversion, "El valor no es texto ni datos binarios.");
    }
    if (data.empty()) {
      std::memset(buf->data() + f.offset, 0, f.length);
      return;
    }
    std::string field_bytes(f.length, '\0');
    std::memcpy(field_bytes.data(), data.data(), std::min<size_t>(leader, data.size()));
    if (data.size() <= leader) {
      Put32(field_bytes, leader + 4, static_cast<uint32_t>(data.size()));
    } else {
      const uint32_t off = WriteBlob(data, t.letter == 'G', modnr);
      Put32(field_bytes, leader, off);
      Put32(field_bytes, leader + 4, static_cast<uint32_t>(data.size() + (t.letter == 'G' ? 8 : 0)));
    }
    Put16(field_bytes, leader + 8, modnr);
    std::memcpy(buf->data() + f.offset, field_bytes.data(), f.length);
  } catch (EngineError& e) {
    throw e.With(CtxTable(path_)).With(CtxField(f.name));
  }
}

uint16_t ParadoxTable::AllocateBlock() {
  if (!free_blocks_.empty()) {
    uint16_t b = free_blocks_.back();
    free_blocks_.pop_back();
    return b;
  }
  if (file_blocks_ >= 0xFFFF)
    throw EngineError(err::kTableFull, "La tabla Paradox está llena: no admite más bloques.", {CtxTable(path_)});
  return static_cast<uint16_t>(++file_blocks_);
}

void ParadoxTable::WriteBlock(size_t ci) {
  dirty_ = true;
  const Block& b = chain_[ci];
  std::string data(block_size_, '\0');
  Put16(data, 0, ci + 1 < chain_.size() ? chain_[ci + 1].number : 0);
  Put16(data, 2, ci > 0 ? chain_[ci - 1].number : 0);
  Put16(data, 4, static_cast<uint16_t>((static_cast<int32_t>(b.recs.size()) - 1) * static_cast<int32_t>(record_len_)));
  size_t p = 6;
  for (const auto& r : b.recs) {
    std::memcpy(&data[p], r.data(), record_len_);
    p += record_len_;
  }
  WriteDb(header_size_ + static_cast<uint64_t>(b.number - 1) * block_size_, data);
}

// After a write of the rows fails, the chain in memory may no longer be the one on disk: the table
// object takes no more changes and writes no index from it; the mark stays, and the next open
// rebuilds the indexes from the rows on disk.
void ParadoxTable::WriteDb(uint64_t offset, const std::string& data) {
  try {
    db_->WriteAt(offset, data.data(), data.size());
  } catch (...) {
    failed_ = true;
    throw;
  }
}

void ParadoxTable::ThrowFailed() const {
  throw EngineError(err::kOsError,
                    "Una escritura anterior en la tabla falló, y la tabla abierta ya no se puede cambiar. Ciérrela y "
                    "vuelva a abrirla: sus índices se reconstruirán a partir de los registros.",
                    {CtxTable(path_)});
}

void ParadoxTable::WriteHeader() {
  if (relink_) {
    relink_ = false;
    for (size_t ci = 0; ci < chain_.size(); ++ci) WriteBlock(ci);
  }
  Put32(header_, 0x06, static_cast<uint32_t>(prefix_.back()));
  Put16(header_, 0x0A, static_cast<uint16_t>(file_blocks_));
  Put16(header_, 0x0C, static_cast<uint16_t>(file_blocks_));
  Put16(header_, 0x0E, chain_.empty() ? 0 : chain_.front().number);
  Put16(header_, 0x10, chain_.empty() ? 0 : chain_.back().number);
  Put16(header_, 0x3A, static_cast<uint16_t>(file_blocks_));
  Put32(header_, 0x49, static_cast<uint32_t>(autoinc_));
  WriteDb(0, header_);
}

void ParadoxTable::InsertAt(uint64_t pos, const std::string& rec) {
  const size_t cap = (block_size_ - 6) / record_len_;
  if (prefix_.back() >= 0x7FFFFFFF)
    throw EngineError(err::kTableFull, "La tabla Paradox está llena.", {CtxTable(path_)});
  std::vector<size_t> dirty;
  if (chain_.empty()) {
    Block b;
    b.number = AllocateBlock();
    b.recs.push_back(rec);
    chain_.push_back(std::move(b));
    dirty.push_back(0);
  } else {
    size_t ci, i;
    if (pos == prefix_.back()) {
      ci = chain_.size() - 1;
      i = chain_[ci].recs.size();
    } else {
      std::tie(ci, i) = Locate(pos);
      if (i == 0 && ci > 0 && chain_[ci - 1].recs.size() < cap) i = chain_[--ci].recs.size();
    }
    Block& b = chain_[ci];
    if (b.recs.size() < cap) {
      b.recs.insert(b.recs.begin() + static_cast<std::ptrdiff_t>(i), rec);
      dirty.push_back(ci);
    } else {
      Block nb;
      nb.number = AllocateBlock();
      if (i == b.recs.size()) {
        nb.recs.push_back(rec);  // appending: start a new block, keep this one full
      } else {
        b.recs.insert(b.recs.begin() + static_cast<std::ptrdiff_t>(i), rec);
        const size_t half = b.recs.size() / 2;
        nb.recs.assign(b.recs.begin() + static_cast<std::ptrdiff_t>(half), b.recs.end());
        b.recs.resize(half);
      }
      chain_.insert(chain_.begin() + static_cast<std::ptrdiff_t>(ci + 1), std::move(nb));
      // The new block first, then the back link of the block after it, and last the block that
      // links to it: until that write the old chain is whole.
      dirty = {ci + 1};
      if (ci + 2 < chain_.size()) dirty.push_back(ci + 2);
      dirty.push_back(ci);
    }
  }
  Recount();
  // New and relinked blocks first, the header last: a crash in between leaves the old header
  // describing a chain that is still whole.
  for (size_t d : dirty) WriteBlock(d);
  WriteHeader();
}

void ParadoxTable::RemoveAt(uint64_t pos) {
  auto [ci, i] = Locate(pos);
  Block& b = chain_[ci];
  b.recs.erase(b.recs.begin() + static_cast<std::ptrdiff_t>(i));
  if (!b.recs.empty()) {
    Recount();
    WriteBlock(ci);
  } else {
    free_blocks_.push_back(b.number);
    chain_.erase(chain_.begin() + static_cast<std::ptrdiff_t>(ci));
    Recount();
    if (ci > 0) WriteBlock(ci - 1);
    if (ci < chain_.size()) WriteBlock(ci);
  }
  WriteHeader();
}

uint64_t ParadoxTable::LowerBound(const std::string& rec) const {
  uint64_t lo = 0, hi = prefix_.back();
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2;
    if (CompareKey(At(mid), rec) < 0) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

void ParadoxTable::AssignAutoinc(std::string* rec) {
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (hfields_[i].type->letter != '+') continue;
    Value v = DecodeField(*hfields_[i].type, std::string_view(*rec).substr(fields_[i].offset, 4), 4, *cp_);
    if (v.IsNull()) {
      if (autoinc_ >= 2147483647)
        throw EngineError(err::kTableFull, "El contador autoincremental de la tabla ha llegado a su máximo.",
                          {CtxTable(path_), CtxField(fields_[i].name)});
      EncodeField(*hfields_[i].type, Value::Integer(autoinc_ + 1), 4, *cp_, rec->data() + fields_[i].offset);
      ++autoinc_;
    } else if (v.i > autoinc_) {
      autoinc_ = static_cast<int32_t>(v.i);
    }
  }
}

uint64_t ParadoxTable::AppendRecord(const std::string& buf) {
  CheckWritable();
  CheckSecondaryWritable();
  CheckRecord(buf);
  std::string rec = buf;
  const int32_t saved_autoinc = autoinc_;
  AssignAutoinc(&rec);
  uint64_t pos = prefix_.back();
  if (key_fields_ > 0) {
    if (!key_order_ok_) {
      autoinc_ = saved_autoinc;
      throw EngineError(err::kNotSupported,
                        "Los registros de la tabla no están en el orden de su clave, y no se pueden añadir "
                        "registros. Reconstruya la tabla con Paradox.",
                        {CtxTable(path_)});
    }
    pos = LowerBound(rec);
    if (pos < prefix_.back() && CompareKey(At(pos), rec) == 0) {
      autoinc_ = saved_autoinc;
      throw EngineError(err::kKeyViolation, "Ya hay un registro con la misma clave en la tabla.",
                        {CtxTable(path_)});
    }
  }
  try {
    MarkIndexesChanging(true);
  } catch (...) {
    autoinc_ = saved_autoinc;
    throw;
  }
  if (key_fields_ > 0) index_stale_ = true;
  InsertAt(pos, rec);
  secondary_stale_ = !secondary_.Empty();
  return pos + 1;
}

void ParadoxTable::UpdateRecord(uint64_t recno, const std::string&, const std::string& new_buf) {
  CheckWritable();
  CheckSecondaryWritable();
  CheckRecord(new_buf);
  CheckRecno(recno);
  const uint64_t pos = recno - 1;
  if (key_fields_ > 0 && CompareKey(At(pos), new_buf) != 0) {
    if (!key_order_ok_)
      throw EngineError(err::kNotSupported,
                        "Los registros de la tabla no están en el orden de su clave, y no se pueden cambiar "
                        "claves. Reconstruya la tabla con Paradox.",
                        {CtxTable(path_), CtxRecord(recno)});
    uint64_t at = LowerBound(new_buf);
    if (at < prefix_.back() && CompareKey(At(at), new_buf) == 0)
      throw EngineError(err::kKeyViolation, "Ya hay un registro con la misma clave en la tabla.",
                        {CtxTable(path_), CtxRecord(recno)});
    // The record in its new place first, then the old one removed: an interruption in between
    // leaves the row twice rather than not at all.
    const std::string old_rec = At(pos);
    MarkIndexesChanging(true);
    index_stale_ = true;
    secondary_stale_ = !secondary_.Empty();
    InsertAt(at, new_buf);
    RemoveAt(LowerBound(old_rec));
    return;
  }
  MarkIndexesChanging(false);
  auto [ci, i] = Locate(pos);
  chain_[ci].recs[i] = new_buf;
  secondary_stale_ = !secondary_.Empty();
  WriteBlock(ci);
  if (relink_) WriteHeader();
}

void ParadoxTable::SetDeleted(uint64_t recno, bool deleted) {
  CheckWritable();
  CheckSecondaryWritable();
  CheckRecno(recno);
  if (!deleted)
    throw EngineError(err::kNotSupported,
                      "Las tablas Paradox no guardan registros borrados: no se pueden recuperar.",
                      {CtxTable(path_), CtxRecord(recno)});
  MarkIndexesChanging(true);
  RemoveAt(recno - 1);
  if (key_fields_ > 0) index_stale_ = true;
  secondary_stale_ = !secondary_.Empty();
}

// A table in its folder's work folder is a new version being built (a restructure's): nobody
// sees it before its swap, whose journal covers all its files, so it needs neither the mark nor
// a swap of its own.
bool ParadoxTable::InWorkFolder() const { return BaseName(DirName(path_)) == BaseName(SwapTempDir(path_)); }

void ParadoxTable::MarkIndexesChanging(bool primary) {
  if (marked_ || InWorkFolder() || (secondary_.Empty() && (!primary || key_fields_ == 0))) return;
  SetIndexRewriteMark(path_);
  marked_ = true;
}

// The .PX and every secondary index written anew from the rows in the table's work folder, then
// swapped in together under a journal (swap.h): at every instant the folder holds either all the
// old index files or all the new ones, and until the mark is cleared an exclusive open rebuilds
// them. A secondary index is written in its keys' byte order, keeping its name, kind and the
// header bytes the engine does not set; CheckSecondaryWritable has made sure that byte order is
// each index's order.
void ParadoxTable::RewriteIndexes() {
  FileSystem& fs = *CurrentFileSystem();
  const bool in_place = InWorkFolder();
  auto target = [&](const std::string& final_path) { return in_place ? final_path : SwapTempPath(final_path); };
  std::vector<SwapEntry> entries;
  std::unique_ptr<FolderInUse> work;
  try {
    if (!in_place) work = PrepareSwapWorkFolder(path_);
    if (index_stale_) {
      std::string px_path = FindCompanion(fs, path_, ".PX");
      if (px_path.empty()) px_path = CompanionName(path_, ".PX");
      WritePrimaryIndex(target(px_path));
      entries.push_back({px_path, target(px_path)});
    }
    if (secondary_stale_) {
      const IndexedTable described = Indexed();
      Rows rows(*this);
      for (const SecondaryIndex& ix : secondary_.Indexes()) {
        IndexDefinition def;
        def.fields = ix.fields;
        def.composite = ix.files.composite;
        def.name = ix.name;
        def.maintained = ix.maintained;
        def.descending = ix.descending;
        const std::string& x = ix.files.x_path;
        const std::string& y = ix.files.y_path;
        WriteIndex(fs, described, rows, def, BytewiseOrder(described, def, rows), &ix, target(x), target(y));
        entries.push_back({x, target(x)});
        entries.push_back({y, target(y)});
      }
    }
    if (!in_place && !entries.empty()) CommitSwap(path_, entries);
  } catch (...) {
    if (!in_place && !SwapPending(path_)) DiscardSwapWork(path_);
    throw;
  }
  if (secondary_stale_) ReloadSecondary();
}

void ParadoxTable::WritePrimaryIndex(const std::string& px_path) {
  FileSystem& fs = *CurrentFileSystem();
  HeaderLayout layout;
  layout.file_type = 1;
  layout.version_id = version_id_;
  layout.record_size = static_cast<uint16_t>(key_len_ + 6);
  layout.block_kb = static_cast<uint8_t>(block_size_ / 1024);
  layout.table_name = BaseName(px_path);
  for (int i = 0; i < key_fields_; ++i) layout.fields.push_back(hfields_[i]);
  std::vector<TreeEntry> leaves;
  for (const auto& b : chain_) leaves.push_back({b.recs.front().substr(0, key_len_), b.number, b.recs.size()});
  const std::string image = BuildIndexTree(BuildHeader(layout), leaves, key_len_, block_size_, path_);
  auto f = fs.Open(px_path, OpenMode::kCreate);
  f->WriteAt(0, image.data(), image.size());
  f->Sync();
}

void ParadoxTable::Flush() {
  if (options_.read_only) return;
  if (failed_) ThrowFailed();
  if (!dirty_ && !index_stale_ && !secondary_stale_ && !marked_) return;
  if (mb_) mb_->Sync();
  db_->Sync();  // the rows durable before the indexes that describe them
  if (index_stale_ || secondary_stale_) {
    RewriteIndexes();
    index_stale_ = false;
    secondary_stale_ = false;
  }
  if (marked_) {
    ClearIndexRewriteMark(path_);
    marked_ = false;
  }
  dirty_ = false;
}

}  // namespace engine::paradox::internal
