// Paradox table storage.
//
// The .DB file is a header followed by fixed-size blocks; the blocks holding records form a
// doubly linked chain, and record numbers are positions along that chain. Keyed tables keep the
// chain sorted by the key (the first KeyFieldCount() fields, compared bytewise: the record
// encoding sorts that way for numbers, dates and ASCII text). The whole chain is loaded at open
// (its size is bounded by the file's); every change writes the blocks it touched and the header
// at once. The primary index (.PX) is rebuilt from the chain whenever a changed keyed table is
// flushed or closed: one entry per data block (first key, block, record count); when those do
// not fit one index block, upper levels hold (first key, index block, records below) entries.
//
// This file opens a table and reads it; blobs are px_blob.cpp, changes px_write.cpp, creation
// px_create.cpp (the class is px_table.h).

#include "engine/paradox/paradox.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "engine/error.h"
#include "engine/fs.h"
#include "engine/paradox/px_table.h"
#include "engine/swap.h"

namespace engine::paradox::internal {

namespace {

std::string Lower(std::string s) {
  for (auto& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}
std::string Upper(std::string s) {
  for (auto& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool UpperExtension(const std::string& path) {
  size_t dot = path.find_last_of('.');
  return dot != std::string::npos && dot + 1 < path.size() && path[dot + 1] >= 'A' && path[dot + 1] <= 'Z';
}

}  // namespace

std::string StripExtension(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

std::string FindCompanion(FileSystem& fs, const std::string& path, const std::string& ext) {
  const std::string base = StripExtension(path);
  for (const std::string& e : {UpperExtension(path) ? Upper(ext) : Lower(ext), Upper(ext), Lower(ext)})
    if (fs.IsRegularFile(base + e)) return base + e;
  const std::string dir = DirName(path);
  const std::string want = FoldCase(BaseName(base) + ext);
  for (const auto& entry : fs.List(dir.empty() ? "." : dir))
    if (!entry.is_dir && FoldCase(entry.name) == want) return JoinPath(dir, entry.name);
  return "";
}

std::string CompanionName(const std::string& path, const std::string& ext) {
  return StripExtension(path) + (UpperExtension(path) ? Upper(ext) : Lower(ext));
}

void ParadoxTable::Corrupt(const std::string& what, DBIResult code) const {
  throw EngineError(code,
                    "La tabla Paradox está dañada: " + what +
                        ". Restáurela de una copia de seguridad o repárela con las utilidades de Paradox.",
                    {CtxTable(path_), CtxFile(path_)});
}

ParadoxTable::~ParadoxTable() {
  try {
    if (db_ && (dirty_ || marked_)) Flush();
  } catch (...) {
    // A failing close must not throw; the next open sees the files as the last write left them.
  }
  try {
    if (db_) db_->Unlock();
  } catch (...) {
  }
}

void ParadoxTable::OpenAndLock() {
  FileSystem& fs = *CurrentFileSystem();
  if (!fs.IsRegularFile(path_))
    throw EngineError(err::kNoSuchTable, "No se encuentra la tabla Paradox.", {CtxTable(path_)});
  const OpenMode mode = options_.read_only ? OpenMode::kRead : OpenMode::kReadWrite;
  for (int attempt = 0; attempt < 5; ++attempt) {
    bool locked;
    if (options_.exclusive) {
      db_ = OpenExclusively(fs, path_, !options_.read_only);
      locked = db_ != nullptr;
    } else {
      db_ = fs.Open(path_, mode);
      locked = db_->TryLockShared();
    }
    if (!locked)
      throw EngineError(err::kTableInUse,
                        "La tabla está abierta en otro programa. Ciérrela allí y vuelva a intentarlo.",
                        {CtxTable(path_)});
    if (db_->StillAtPath()) return;
    db_->Unlock();
    db_.reset();
  }
  throw EngineError(err::kTableInUse, "La tabla se está sustituyendo mientras se abre. Vuelva a intentarlo.",
                    {CtxTable(path_)});
}

void ParadoxTable::Load() {
  if (!options_.read_only && !options_.exclusive && IndexRewriteMarked(path_)) RecoverIndexesExclusively();
  OpenAndLock();
  ParseHeader();
  LoadChain();
  FileSystem& fs = *CurrentFileSystem();
  mb_path_ = FindCompanion(fs, path_, ".MB");
  bool has_blob = false;
  for (const auto& f : hfields_) has_blob |= f.type->blob;
  if (has_blob && !mb_path_.empty()) OpenBlobFile(false);
  secondary_.Load(fs, Indexed());
  if (IndexRewriteMarked(path_)) RecoverIndexes();
}

// The mark says that the rows changed and the indexes may not have followed (a crash or a failure
// before the flush swapped the new ones in). Whoever holds the table exclusively for writing
// writes them anew from the rows (a shared open for writing first tries that through an exclusive
// open of its own, in Load). Otherwise they stay refused: walks and checks report them as not up
// to date.
void ParadoxTable::RecoverIndexes() {
  if (!options_.read_only && options_.exclusive && !SwapPending(path_)) {
    bool writable = true;
    try {
      CheckSecondaryWritable();
    } catch (const EngineError&) {
      writable = false;
    }
    if (writable) {
      index_stale_ = key_fields_ > 0;
      secondary_stale_ = !secondary_.Empty();
      marked_ = true;
      Flush();
      return;
    }
  }
  secondary_.SetProblem(
      "no está al día: los registros de la tabla cambiaron y el índice no se terminó de escribir. Abra la tabla "
      "para escribir en ella cuando nadie más la use, y el índice se reconstruirá");
}

void ParadoxTable::RecoverIndexesExclusively() {
  try {
    OpenOptions exclusive = options_;
    exclusive.exclusive = true;
    ParadoxTable fixer(path_, exclusive);
    fixer.Load();
  } catch (const EngineError& e) {
    if (e.code() != err::kTableInUse) throw;  // held elsewhere: its indexes stay refused here
  }
}

void ParadoxTable::ReloadSecondary() { secondary_.Load(*CurrentFileSystem(), Indexed()); }

IndexedTable ParadoxTable::Indexed() const {
  IndexedTable t;
  t.path = path_;
  t.version_id = version_id_;
  t.change_count = static_cast<uint8_t>(header_[0x2E]);
  t.key_fields = key_fields_;
  t.sort_name = sort_name_;
  t.cp = cp_;
  t.fields = hfields_;
  return t;
}

std::unique_ptr<KeyWalker> ParadoxTable::WalkTag(const std::string& tag, const std::optional<Value>& equal_to) {
  Rows rows(*this);
  return secondary_.Walk(*CurrentFileSystem(), Indexed(), tag, equal_to, rows);
}

std::optional<uint64_t> ParadoxTable::FindKey(const std::string& key) const {
  if (key_fields_ == 0 || key.size() < key_len_) return std::nullopt;
  std::string rec = key;
  rec.resize(record_len_, '\0');
  if (key_order_ok_) {
    const uint64_t pos = LowerBound(rec);
    if (pos < prefix_.back() && CompareKey(At(pos), rec) == 0) return pos;
    return std::nullopt;
  }
  for (uint64_t pos = 0; pos < prefix_.back(); ++pos)
    if (CompareKey(At(pos), rec) == 0) return pos;
  return std::nullopt;
}

// Secondary indexes follow every change of the rows: they are written anew from the rows when
// the table is flushed, in their keys' byte order. That is the order of every index but those
// with text keys that are composite (possibly case-insensitive: how Paradox marks that is not
// public) or sorted under a language's order; a table with such an index, or with a damaged one,
// is read, not changed.
void ParadoxTable::CheckSecondaryWritable() const {
  const bool ascii = sort_name_.empty() || sort_name_ == "ascii";
  for (const SecondaryIndex& ix : secondary_.Indexes()) {
    bool text = false;
    for (const HeaderField& f : ix.xfields) text |= f.type->letter == 'A';
    std::string why;
    if (!ix.problem.empty() || ix.files.y_path.empty())
      why = "está dañado (" + (ix.problem.empty() ? std::string("falta su fichero .Y") : ix.problem) + ")";
    else if (text && !ascii)
      why = "ordena texto según «" + sort_name_ + "», que este programa no sabe reproducir";
    else if (!KnownOrder(ix))
      why = "tiene en su cabecera una marca de índice único o sin distinguir mayúsculas (" + MarkText(ix) +
            " en el byte 0x55), que este programa no sabe mantener";
    else if (text && ix.files.composite)
      why = "es compuesto y ordena texto, quizá sin distinguir mayúsculas (lo que este programa no sabe leer)";
    if (why.empty()) continue;
    throw EngineError(err::kNotSupported,
                      "La tabla tiene el índice secundario " + ix.name + ", que " + why +
                          ", así que este programa no cambia sus registros. Haga el cambio con Paradox, o borre ese "
                          "índice (ficheros .X y .Y) y vuelva a crearlo después con Paradox.",
                      {CtxTable(path_), CtxIndex(ix.name), CtxFile(ix.files.x_path)});
  }
}

void ParadoxTable::ParseHeader() {
  const uint64_t fsize = db_->Size();
  if (fsize < 0x58) Corrupt("la cabecera está incompleta", err::kHeaderCorrupt);
  std::string head(0x58, '\0');
  ReadExactly(*db_, 0, head.data(), head.size());
  header_size_ = Get16(head, 0x02);
  if (header_size_ < 0x58 || header_size_ > fsize) Corrupt("el tamaño de la cabecera no es válido", err::kHeaderCorrupt);
  header_.assign(header_size_, '\0');
  ReadExactly(*db_, 0, header_.data(), header_.size());
  const uint8_t file_type = static_cast<uint8_t>(header_[0x04]);
  if (file_type != 0 && file_type != 2)
    throw EngineError(err::kNotSupported,
                      "El fichero no es una tabla de datos Paradox (puede ser un índice). Abra el fichero .DB.",
                      {CtxTable(path_), CtxFile(path_)});
  version_id_ = static_cast<uint8_t>(header_[0x39]);
  level_ = LevelFromVersion(version_id_);
  if (level_ == 0)
    throw EngineError(err::kNotSupported,
                      "La versión de la tabla Paradox (" + std::to_string(version_id_) + ") no es conocida.",
                      {CtxTable(path_), CtxFile(path_)});
  const uint32_t enc1 = Get32(header_, 0x25);
  const bool wide = version_id_ >= 5;
  if (header_size_ < (wide ? 0x78u : 0x58u)) Corrupt("la cabecera está incompleta", err::kHeaderCorrupt);
  const bool encrypted = wide ? (enc1 != 0 && enc1 != 0xFF00FF00u) || Get32(header_, 0x5C) != 0 : enc1 != 0;
  if (encrypted)
    throw EngineError(err::kEncrypted,
                      "La tabla cifrada no se puede abrir: está protegida con contraseña. Quite la "
                      "contraseña con Paradox y vuelva a intentarlo.",
                      {CtxTable(path_)});
  const uint8_t block_kb = static_cast<uint8_t>(header_[0x05]);
  if (block_kb < 1 || block_kb > 32) Corrupt("el tamaño de bloque no es válido", err::kHeaderCorrupt);
  block_size_ = block_kb * 1024u;
  record_len_ = Get16(header_, 0x00);
  const int nf = static_cast<int16_t>(Get16(header_, 0x21));
  key_fields_ = static_cast<int16_t>(Get16(header_, 0x23));
  if (nf < 1 || nf > 255) Corrupt("el número de campos no es válido", err::kHeaderCorrupt);
  if (key_fields_ < 0 || key_fields_ > nf) Corrupt("el número de campos clave no es válido", err::kHeaderCorrupt);
  if ((file_type == 0) != (key_fields_ > 0)) Corrupt("el tipo de fichero no concuerda con la clave", err::kHeaderCorrupt);
  if (record_len_ == 0 || record_len_ + 6 > block_size_) Corrupt("la longitud de registro no es válida", err::kHeaderCorrupt);
  if (wide) {
    const int number = Get16(header_, 0x6A);
    const CodePage* cp = number ? CodePage::Find(number) : nullptr;
    cp_ = cp ? cp : &CodePage::Ansi();
  } else {
    const CodePage* cp = CodePage::Find(437);
    cp_ = cp ? cp : &CodePage::Ansi();
  }
  size_t p = wide ? 0x78 : 0x58;
  if (p + 2 * static_cast<size_t>(nf) + 4 + 4 * static_cast<size_t>(nf) > header_size_)
    Corrupt("la cabecera no tiene sitio para sus campos", err::kHeaderCorrupt);
  uint32_t offset = 0;
  for (int i = 0; i < nf; ++i, p += 2) {
    HeaderField hf;
    hf.type = TypeByCode(static_cast<uint8_t>(header_[p]));
    hf.size = static_cast<uint8_t>(header_[p + 1]);
    if (!hf.type) Corrupt("el campo " + std::to_string(i + 1) + " tiene un tipo desconocido", err::kHeaderCorrupt);
    const uint32_t len = FieldLength(*hf.type, hf.size);
    if (len == 0) Corrupt("el campo " + std::to_string(i + 1) + " tiene un tamaño no válido", err::kHeaderCorrupt);
    if (hf.type->min_level > level_)
      Corrupt("el campo " + std::to_string(i + 1) + " tiene un tipo que este nivel no admite", err::kHeaderCorrupt);
    FieldSpec fs;
    fs.type = hf.type->physical;
    fs.size = hf.size;
    fs.offset = offset;
    fs.length = len;
    offset += len;
    hfields_.push_back(hf);
    fields_.push_back(fs);
  }
  if (offset != record_len_) Corrupt("la suma de los campos no es la longitud de registro", err::kHeaderCorrupt);
  for (int i = 0; i < key_fields_; ++i) {
    if (hfields_[i].type->blob) Corrupt("un campo memo o binario forma parte de la clave", err::kHeaderCorrupt);
    key_len_ += fields_[i].length;
  }
  // Field names follow the table name; a few old tables pad that name differently, so when the
  // usual slot does not end where a name begins, the names are found after the padding.
  p += 4 + 4 * static_cast<size_t>(nf);
  const size_t name_start = p;
  size_t names = name_start + (version_id_ >= 12 ? 261 : 0x4F);
  if (!(names < header_size_ && header_[names - 1] == 0 && header_[names] != 0)) {
    size_t q = name_start;
    while (q < header_size_ && header_[q] != 0) ++q;
    while (q < header_size_ && header_[q] == 0) ++q;
    names = q;
  }
  p = names;
  for (int i = 0; i < nf; ++i) {
    size_t end = p;
    while (end < header_size_ && header_[end] != 0) ++end;
    if (end >= header_size_ || end == p) Corrupt("los nombres de los campos no son válidos", err::kHeaderCorrupt);
    hfields_[i].name = header_.substr(p, end - p);
    fields_[i].name = cp_->Decode(hfields_[i].name);
    p = end + 1;
  }
  p += 2 * static_cast<size_t>(nf);
  if (wide && p < header_size_) {
    size_t end = p;
    while (end < header_size_ && header_[end] != 0 && end - p < 32) ++end;
    if (end < header_size_ && header_[end] == 0) sort_name_ = header_.substr(p, end - p);
  }
  autoinc_ = static_cast<int32_t>(Get32(header_, 0x49));
}

void ParadoxTable::LoadChain() {
  const uint64_t fsize = db_->Size();
  const uint64_t max_blocks = std::min<uint64_t>((fsize - header_size_) / block_size_, 0xFFFF);
  file_blocks_ = Get16(header_, 0x0C);
  if (file_blocks_ > max_blocks) Corrupt("la cabecera cuenta más bloques de los que tiene el fichero");
  // The header is written after the blocks of a change, so after an interrupted write the chain
  // may already use a block past the header's count, and hold more or fewer records than the
  // header says: the chain is what counts, and the next write corrects the header.
  std::vector<bool> seen(max_blocks + 1, false);
  uint32_t b = Get16(header_, 0x0E);
  const uint32_t per_block = (block_size_ - 6) / record_len_;
  while (b != 0) {
    if (b > max_blocks) Corrupt("la cadena de bloques apunta fuera del fichero");
    if (seen[b]) Corrupt("la cadena de bloques forma un ciclo");
    seen[b] = true;
    const uint64_t at = header_size_ + static_cast<uint64_t>(b - 1) * block_size_;
    std::string bh(6, '\0');
    ReadExactly(*db_, at, bh.data(), 6);
    const uint16_t next = Get16(bh, 0);
    const int16_t add = static_cast<int16_t>(Get16(bh, 4));
    Block blk;
    blk.number = static_cast<uint16_t>(b);
    if (add >= 0) {
      if (add % record_len_ != 0 || static_cast<uint32_t>(add) / record_len_ + 1 > per_block)
        Corrupt("el bloque " + std::to_string(b) + " declara un número de registros no válido");
      const uint32_t n = static_cast<uint32_t>(add) / record_len_ + 1;
      std::string data(static_cast<size_t>(n) * record_len_, '\0');
      ReadExactly(*db_, at + 6, data.data(), data.size());
      for (uint32_t i = 0; i < n; ++i) blk.recs.push_back(data.substr(static_cast<size_t>(i) * record_len_, record_len_));
    }
    if (!blk.recs.empty()) chain_.push_back(std::move(blk));
    else {
      free_blocks_.push_back(static_cast<uint16_t>(b));  // empty blocks leave the chain on the next write
      relink_ = true;
    }
    b = next;
  }
  for (const auto& blk : chain_) file_blocks_ = std::max<uint32_t>(file_blocks_, blk.number);
  for (uint16_t f : free_blocks_) file_blocks_ = std::max<uint32_t>(file_blocks_, f);
  for (uint32_t i = 1; i <= file_blocks_; ++i)
    if (!seen[i]) free_blocks_.push_back(static_cast<uint16_t>(i));
  std::sort(free_blocks_.begin(), free_blocks_.end(), std::greater<>());
  Recount();
  if (key_fields_ > 0) {
    for (uint64_t i = 1; i < prefix_.back() && key_order_ok_; ++i)
      if (CompareKey(At(i - 1), At(i)) >= 0) key_order_ok_ = false;
  }
}

void ParadoxTable::Recount() {
  prefix_.assign(1, 0);
  for (const auto& b : chain_) prefix_.push_back(prefix_.back() + b.recs.size());
}

std::pair<size_t, size_t> ParadoxTable::Locate(uint64_t pos) const {
  auto it = std::upper_bound(prefix_.begin(), prefix_.end(), pos);
  size_t ci = static_cast<size_t>(it - prefix_.begin()) - 1;
  return {ci, static_cast<size_t>(pos - prefix_[ci])};
}

const std::string& ParadoxTable::At(uint64_t pos) const {
  auto [ci, i] = Locate(pos);
  return chain_[ci].recs[i];
}

void ParadoxTable::CheckRecno(uint64_t recno) const {
  if (recno < 1 || recno > prefix_.back())
    throw EngineError(err::kEndOfTable, "El registro pedido no existe en la tabla.",
                      {CtxTable(path_), CtxRecord(recno)});
}

void ParadoxTable::CheckWritable() const {
  if (options_.read_only)
    throw EngineError(err::kInvalidParam, "La tabla está abierta solo para lectura; no se puede modificar.",
                      {CtxTable(path_)});
  if (failed_) ThrowFailed();
}

void ParadoxTable::CheckRecord(const std::string& buf) const {
  if (buf.size() != record_len_)
    throw EngineError(err::kInvalidParam, "El registro no tiene la longitud de la tabla.", {CtxTable(path_)});
}

void ParadoxTable::ReadRecord(uint64_t recno, std::string* buf) {
  CheckRecno(recno);
  *buf = At(recno - 1);
}

Value ParadoxTable::GetValue(const std::string& buf, int field) {
  CheckRecord(buf);
  if (field < 0 || static_cast<size_t>(field) >= fields_.size())
    throw EngineError(err::kInvalidParam, "Número de campo fuera de la tabla.", {CtxTable(path_)});
  const FieldSpec& f = fields_[field];
  const PxType& t = *hfields_[field].type;
  try {
    if (t.blob) {
      std::string data;
      const uint32_t leader = f.length - 10;
      const uint32_t off = Get32(buf, f.offset + leader);
      const uint32_t len = Get32(buf, f.offset + leader + 4);
      if (off == 0 && len == 0) return Value::Null();
      data = ReadBlob(buf, field);
      if (t.letter == 'M' || t.letter == 'F') return Value::Text(cp_->Decode(data));
      return Value::Binary(std::move(data));
    }
    return DecodeField(t, std::string_view(buf).substr(f.offset, f.length), f.size, *cp_);
  } catch (EngineError& e) {
    throw e.With(CtxTable(path_)).With(CtxField(f.name));
  }
}


std::vector<bde::VCHKDesc> ParadoxTable::ValChecks() {
  FileSystem& fs = *CurrentFileSystem();
  const std::string val_path = FindCompanion(fs, path_, ".VAL");
  if (val_path.empty()) return {};
  if (level_ == 3)
    throw EngineError(err::kNotSupported,
                      "Las reglas de validez de las tablas Paradox 3 no se pueden leer. Pase la tabla a nivel 4 "
                      "o posterior con Paradox.",
                      {CtxTable(path_), CtxFile(val_path)});
  auto f = fs.Open(val_path, OpenMode::kRead);
  const uint64_t size = f->Size();
  if (size > (1u << 24))
    throw EngineError(err::kFileCorrupt, "El fichero de reglas de validez (.VAL) es demasiado grande.",
                      {CtxTable(path_), CtxFile(val_path)});
  std::string val(static_cast<size_t>(size), '\0');
  ReadExactly(*f, 0, val.data(), val.size());
  try {
    return ParseVal(val, val_path, hfields_, static_cast<uint8_t>(header_[0x2E]), *cp_);
  } catch (EngineError& e) {
    throw e.With(CtxTable(path_));
  }
}

}  // namespace engine::paradox::internal

namespace engine::paradox {

using internal::CompanionName;
using internal::FindCompanion;
using internal::ParadoxTable;
using internal::StripExtension;

const SecondarySet* SecondaryIndexesOf(TableStorage& table) {
  auto* t = dynamic_cast<ParadoxTable*>(&table);
  return t ? &t->Secondary() : nullptr;
}

bool HasReferentialIntegrity(TableStorage& table) {
  if (!dynamic_cast<ParadoxTable*>(&table) || table.Level() < 4) return false;
  FileSystem& fs = *CurrentFileSystem();
  const std::string val_path = FindCompanion(fs, table.Path(), ".VAL");
  if (val_path.empty()) return false;
  auto f = fs.Open(val_path, OpenMode::kRead);
  std::string head(0x11, '\0');
  if (f->ReadAt(0, head.data(), head.size()) < head.size()) return false;
  return Get32(head, 0x0D) != 0;
}

RiLinks ReferentialIntegrityOf(TableStorage& table) {
  if (!HasReferentialIntegrity(table)) return {};
  FileSystem& fs = *CurrentFileSystem();
  const std::string val_path = FindCompanion(fs, table.Path(), ".VAL");
  const std::string val = ReadWholeFile(fs, val_path);
  try {
    return ParseRi(val, val_path, table.Fields().size(), table.Codepage());
  } catch (EngineError& e) {
    throw e.With(CtxTable(table.Path()));
  }
}

std::string CarriedReferentialIntegrity(TableStorage& table) {
  if (!HasReferentialIntegrity(table)) return "";
  ReferentialIntegrityOf(table);  // the section is checked before it is carried
  return RiSection(ReadWholeFile(*CurrentFileSystem(), FindCompanion(*CurrentFileSystem(), table.Path(), ".VAL")));
}

IndexCheck CheckSecondaryIndexes(TableStorage& table) {
  IndexCheck out;
  auto* t = dynamic_cast<ParadoxTable*>(&table);
  if (!t) return out;
  ParadoxTable::Rows rows(*t);
  const IndexedTable described = t->Indexed();
  for (const SecondaryIndex& ix : t->Secondary().Indexes()) {
    if (!ix.problem.empty()) {
      out.problems.push_back("Índice " + ix.name + ": " + ix.problem);
      continue;
    }
    IndexCheck one = CheckIndex(*CurrentFileSystem(), ix, described, rows);
    out.problems.insert(out.problems.end(), one.problems.begin(), one.problems.end());
    out.unchecked.insert(out.unchecked.end(), one.unchecked.begin(), one.unchecked.end());
  }
  return out;
}

void RebuildIndexFor(TableStorage& old, const SecondaryIndex& ix, TableStorage& rebuilt,
                     const std::vector<int>& new_fields, const std::string& x_path, const std::string& y_path) {
  auto* neu = dynamic_cast<ParadoxTable*>(&rebuilt);
  auto* was = dynamic_cast<ParadoxTable*>(&old);
  if (!neu || !was || new_fields.size() != ix.fields.size())
    throw EngineError(err::kInternal, "El índice secundario no se puede reconstruir para la tabla nueva.",
                      {CtxTable(old.Path()), CtxIndex(ix.name)});
  FileSystem& fs = *CurrentFileSystem();
  ParadoxTable::Rows old_rows(*was), new_rows(*neu);
  const uint32_t pk_len = ix.key_len - ix.sec_len;
  // The old index's order, row by row: its entries must be the old rows' keys.
  std::vector<uint64_t> order;
  order.reserve(static_cast<size_t>(new_rows.Count()));
  for (const IndexRecord& r : ReadIndexRecords(fs, ix)) {
    const std::string pk = r.bytes.substr(ix.sec_len, pk_len);
    auto before = was->FindKey(pk);
    auto after = neu->FindKey(pk);
    if (!before || !after || IndexKeyOf(ix, old_rows, *before) != r.bytes.substr(0, ix.key_len))
      throw EngineError(err::kIndexCorrupt,
                        "El índice secundario no corresponde a los registros de la tabla, y no se puede conservar. "
                        "Compruébelo con «tabla check» y regenérelo con Paradox antes de reestructurar.",
                        {CtxTable(old.Path()), CtxIndex(ix.name), CtxFile(ix.files.x_path)});
    order.push_back(*after);
  }
  if (order.size() != new_rows.Count())
    throw EngineError(err::kIndexCorrupt,
                      "El índice secundario no tiene una entrada por registro, y no se puede conservar. Regenérelo "
                      "con Paradox antes de reestructurar.",
                      {CtxTable(old.Path()), CtxIndex(ix.name), CtxFile(ix.files.x_path)});
  IndexDefinition def;
  def.fields = new_fields;
  def.composite = ix.files.composite;
  def.name = ix.name;
  def.maintained = ix.maintained;
  def.descending = ix.descending;
  WriteIndex(fs, neu->Indexed(), new_rows, def, order, &ix, x_path, y_path);
}

void CreateSecondaryIndex(TableStorage& table, const IndexDefinition& def) {
  auto* t = dynamic_cast<ParadoxTable*>(&table);
  if (!t) throw EngineError(err::kNotSupported, "Solo las tablas Paradox tienen índices secundarios .X/.Y.", {CtxTable(table.Path())});
  const IndexedTable described = t->Indexed();
  const std::string sort = described.sort_name.empty() ? "ascii" : described.sort_name;
  for (int f : def.fields)
    if (f >= 0 && static_cast<size_t>(f) < described.fields.size() &&
        described.fields[static_cast<size_t>(f)].type->letter == 'A' && sort != "ascii")
      throw EngineError(err::kNotSupported,
                        "La tabla ordena su texto según «" + sort +
                            "», que este programa no sabe reproducir: cree el índice con Paradox.",
                        {CtxTable(table.Path()), CtxIndex(def.composite ? def.name : "")});
  table.Flush();
  FileSystem& fs = *CurrentFileSystem();
  static const char kHex[] = "0123456789ABCDEF";
  const std::string stem = StripExtension(table.Path());
  std::string suffix;
  if (def.composite) {
    std::vector<bool> used(16, false);
    for (const IndexFiles& f : FindIndexFiles(fs, table.Path()))
      if (f.composite) used[static_cast<size_t>(f.number) & 15] = true;
    auto free = std::find(used.begin(), used.end(), false);
    if (free == used.end())
      throw EngineError(err::kNotSupported, "La tabla ya tiene 16 índices compuestos, los que admite Paradox.",
                        {CtxTable(table.Path()), CtxIndex(def.name)});
    suffix = std::string("G") + kHex[free - used.begin()];
  } else if (!def.fields.empty() && def.fields[0] >= 0 && def.fields[0] < 255) {
    suffix = {kHex[(def.fields[0] + 1) >> 4], kHex[(def.fields[0] + 1) & 15]};
  }
  const std::string x_path = CompanionName(table.Path(), ".X" + suffix);
  const std::string y_path = CompanionName(table.Path(), ".Y" + suffix);
  ParadoxTable::Rows rows(*t);
  WriteIndex(fs, described, rows, def, BytewiseOrder(described, def, rows), nullptr, x_path, y_path);
  const std::string dir = DirName(table.Path());
  fs.SyncDirectory(dir.empty() ? "." : dir);
  t->ReloadSecondary();
}

std::unique_ptr<TableStorage> Open(const std::string& path, const OpenOptions& options) {
  auto t = std::make_unique<ParadoxTable>(path, options);
  t->Load();
  return t;
}

}  // namespace engine::paradox
