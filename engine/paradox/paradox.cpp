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
// Blobs (.MB) are read from both single-blob (type 2) and sub-allocated (type 3) blocks; new
// blobs that do not fit the field's leader go to new type-2 blocks at the end of the .MB.
// Replaced blobs are left in place (the space is reclaimed when the table is restructured).

#include "engine/paradox/paradox.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <tuple>

#include "engine/error.h"
#include "engine/fs.h"
#include "engine/paradox/px_codec.h"
#include "engine/paradox/px_file.h"
#include "engine/paradox/px_index.h"

namespace engine::paradox {

namespace {

constexpr uint32_t kMbChunk = 4096;

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

std::string StripExtension(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

bool UpperExtension(const std::string& path) {
  size_t dot = path.find_last_of('.');
  return dot != std::string::npos && dot + 1 < path.size() && path[dot + 1] >= 'A' && path[dot + 1] <= 'Z';
}

// The companion file with extension `ext` (".MB", ...) beside `path`, found without regard to
// letter case; "" when there is none.
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
  void CheckNoSecondary() const;
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
  void WriteHeader();
  void AssignAutoinc(std::string* rec);
  void RebuildPrimaryIndex();
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
  bool relink_ = false;  // the chain on disk still holds empty blocks
  bool dirty_ = false;   // written since the last Flush()
  SecondarySet secondary_;
};

void ParadoxTable::Corrupt(const std::string& what, DBIResult code) const {
  throw EngineError(code,
                    "La tabla Paradox está dañada: " + what +
                        ". Restáurela de una copia de seguridad o repárela con las utilidades de Paradox.",
                    {CtxTable(path_), CtxFile(path_)});
}

ParadoxTable::~ParadoxTable() {
  try {
    if (db_ && dirty_) Flush();
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
    db_ = fs.Open(path_, mode);
    bool locked = options_.exclusive ? db_->TryLockExclusive() : db_->TryLockShared();
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
  OpenAndLock();
  ParseHeader();
  LoadChain();
  FileSystem& fs = *CurrentFileSystem();
  mb_path_ = FindCompanion(fs, path_, ".MB");
  bool has_blob = false;
  for (const auto& f : hfields_) has_blob |= f.type->blob;
  if (has_blob && !mb_path_.empty()) OpenBlobFile(false);
  secondary_.Load(fs, Indexed());
}

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

// Secondary indexes must follow every change of the rows, and this engine does not write them
// (their format is not fully described in public): a table that has them is read, not changed.
void ParadoxTable::CheckNoSecondary() const {
  if (secondary_.Empty()) return;
  throw EngineError(err::kNotSupported,
                    "La tabla tiene índices secundarios (" + secondary_.Indexes().front().name +
                        (secondary_.Indexes().size() > 1 ? " y otros" : "") +
                        ") que este programa no sabe mantener, así que no cambia sus registros. Haga el cambio con "
                        "Paradox, o borre esos índices (ficheros .X y .Y) y vuelva a crearlos después con Paradox.",
                    {CtxTable(path_), CtxFile(secondary_.Indexes().front().files.x_path)});
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

std::string ParadoxTable::ReadBlob(const std::string& buf, int field) {
  const FieldSpec& f = fields_[field];
  const bool graphic = hfields_[field].type->letter == 'G';
  const uint32_t leader = f.length - 10;
  const uint32_t off = Get32(buf, f.offset + leader);
  const uint32_t len = Get32(buf, f.offset + leader + 4);
  auto bad = [&](const std::string& what) {
    return EngineError(err::kBlobCorrupt,
                       "El fichero de memos y binarios (.MB) está dañado o no corresponde a la tabla: " + what +
                           ". Restáurelo de una copia de seguridad.",
                       {CtxTable(path_), CtxFile(mb_path_.empty() ? CompanionName(path_, ".MB") : mb_path_)});
  };
  if (off == 0) {
    if (len > leader) throw bad("un valor dice ser más largo que su parte en el registro");
    return buf.substr(f.offset, len);
  }
  if (!mb_)
    throw EngineError(err::kNoSuchFile,
                      "Falta el fichero de memos y binarios (.MB) de la tabla. Cópielo junto a la tabla.",
                      {CtxTable(path_), CtxFile(CompanionName(path_, ".MB"))});
  const uint64_t mbsize = mb_->Size();
  const uint64_t start = off & 0xFFFFFF00u;
  const uint32_t index = off & 0xFF;
  if (start < kMbChunk || start + 9 > mbsize) throw bad("un puntero apunta fuera del fichero");
  std::string data;
  if (index == 0xFF) {
    std::string h(9, '\0');
    ReadExactly(*mb_, start, h.data(), 9);
    if (h[0] != 2) throw bad("un puntero no lleva a un bloque de datos");
    const uint64_t chunks = Get16(h, 1);
    const uint32_t blen = Get32(h, 3);
    if (blen != len) throw bad("la longitud del bloque no es la del registro");
    if (9 + static_cast<uint64_t>(len) > chunks * kMbChunk || start + 9 + len > mbsize)
      throw bad("un bloque de datos se sale del fichero");
    data.assign(len, '\0');
    ReadExactly(*mb_, start + 9, data.data(), len);
  } else {
    if (index >= 64) throw bad("un puntero nombra una entrada inexistente");
    std::string blk(12 + 64 * 5, '\0');
    ReadExactly(*mb_, start, blk.data(), blk.size());
    if (blk[0] != 3) throw bad("un puntero no lleva a un bloque de entradas");
    const uint64_t chunks = Get16(blk, 1);
    const size_t slot = 12 + index * 5;
    const uint64_t doff = static_cast<uint8_t>(blk[slot]) * 16u;
    const uint32_t len16 = static_cast<uint8_t>(blk[slot + 1]);
    if (len16 == 0 || len > len16 * 16u || len + 16 <= len16 * 16u) throw bad("una entrada no tiene la longitud del registro");
    if (doff < 12 + 64 * 5 || doff + len > chunks * kMbChunk || start + doff + len > mbsize)
      throw bad("una entrada se sale de su bloque");
    data.assign(len, '\0');
    ReadExactly(*mb_, start + doff, data.data(), len);
  }
  if (graphic) {
    if (data.size() < 8) throw bad("un gráfico no tiene su cabecera");
    data.erase(0, 8);
  }
  return data;
}

void ParadoxTable::OpenBlobFile(bool create) {
  FileSystem& fs = *CurrentFileSystem();
  if (mb_path_.empty()) {
    if (!create) return;
    mb_path_ = CompanionName(path_, ".MB");
  }
  if (create && !fs.IsRegularFile(mb_path_)) {
    auto f = fs.Open(mb_path_, OpenMode::kCreate);
    std::string head(kMbChunk, '\0');
    head[1] = 1;  // one 4 KB chunk
    f->WriteAt(0, head.data(), head.size());
    f->Sync();
  }
  mb_ = fs.Open(mb_path_, options_.read_only ? OpenMode::kRead : OpenMode::kReadWrite);
  const uint64_t size = mb_->Size();
  if (size < kMbChunk)
    throw EngineError(err::kBlobCorrupt,
                      "El fichero de memos y binarios (.MB) está dañado: no tiene cabecera. Restáurelo de una "
                      "copia de seguridad.",
                      {CtxTable(path_), CtxFile(mb_path_)});
  char type = 1;
  ReadExactly(*mb_, 0, &type, 1);
  if (type != 0)
    throw EngineError(err::kBlobCorrupt,
                      "El fichero de memos y binarios (.MB) está dañado: la cabecera no es válida. Restáurelo "
                      "de una copia de seguridad.",
                      {CtxTable(path_), CtxFile(mb_path_)});
}

uint32_t ParadoxTable::WriteBlob(const std::string& data, bool graphic, uint16_t modnr) {
  if (!mb_) OpenBlobFile(true);
  std::string block(9, '\0');
  block[0] = 2;
  const std::string extra = graphic ? std::string("\x01\x00\x00\x01", 4) + std::string(4, '\0') : "";
  if (graphic) {
    std::string e = extra;
    Put32(e, 4, static_cast<uint32_t>(data.size()));
    block += e;
  }
  block += data;
  const uint64_t total = block.size();
  const uint64_t chunks = (total + kMbChunk - 1) / kMbChunk;
  if (chunks > 0xFFFF || data.size() > 0xFFFFFF00u - 8)
    throw EngineError(err::kRecordTooBig, "El memo o dato binario es demasiado grande para una tabla Paradox.",
                      {CtxTable(path_)});
  Put16(block, 1, static_cast<uint16_t>(chunks));
  Put32(block, 3, static_cast<uint32_t>(total - 9));
  Put16(block, 7, modnr);
  block.resize(chunks * kMbChunk, '\0');
  uint64_t at = (mb_->Size() + kMbChunk - 1) / kMbChunk * kMbChunk;
  if (at + block.size() > 0xFFFFFF00u)
    throw EngineError(err::kTableFull, "El fichero de memos y binarios (.MB) está lleno.", {CtxTable(path_),
                      CtxFile(mb_path_)});
  dirty_ = true;
  mb_->WriteAt(at, block.data(), block.size());
  return static_cast<uint32_t>(at) | 0xFF;
}

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
  db_->WriteAt(header_size_ + static_cast<uint64_t>(b.number - 1) * block_size_, data.data(), data.size());
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
  db_->WriteAt(0, header_.data(), header_.size());
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
  CheckNoSecondary();
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
    index_stale_ = true;
  }
  InsertAt(pos, rec);
  return pos + 1;
}

void ParadoxTable::UpdateRecord(uint64_t recno, const std::string&, const std::string& new_buf) {
  CheckWritable();
  CheckNoSecondary();
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
    index_stale_ = true;
    InsertAt(at, new_buf);
    RemoveAt(LowerBound(old_rec));
    return;
  }
  auto [ci, i] = Locate(pos);
  chain_[ci].recs[i] = new_buf;
  WriteBlock(ci);
  if (relink_) WriteHeader();
}

void ParadoxTable::SetDeleted(uint64_t recno, bool deleted) {
  CheckWritable();
  CheckNoSecondary();
  CheckRecno(recno);
  if (!deleted)
    throw EngineError(err::kNotSupported,
                      "Las tablas Paradox no guardan registros borrados: no se pueden recuperar.",
                      {CtxTable(path_), CtxRecord(recno)});
  RemoveAt(recno - 1);
  if (key_fields_ > 0) index_stale_ = true;
}

void ParadoxTable::RebuildPrimaryIndex() {
  FileSystem& fs = *CurrentFileSystem();
  std::string px_path = FindCompanion(fs, path_, ".PX");
  if (px_path.empty()) px_path = CompanionName(path_, ".PX");
  HeaderLayout layout;
  layout.file_type = 1;
  layout.version_id = version_id_;
  layout.record_size = static_cast<uint16_t>(key_len_ + 6);
  layout.block_kb = static_cast<uint8_t>(block_size_ / 1024);
  layout.table_name = BaseName(px_path);
  for (int i = 0; i < key_fields_; ++i) layout.fields.push_back(hfields_[i]);
  std::string head = BuildHeader(layout);
  const size_t prec = key_len_ + 6;
  const size_t cap = (block_size_ - 6) / prec;
  struct Entry { std::string key; uint32_t child; uint64_t count; };
  std::vector<Entry> level;
  for (const auto& b : chain_) level.push_back({b.recs.front().substr(0, key_len_), b.number, b.recs.size()});
  std::vector<std::string> blocks;  // index blocks, numbered from 1
  std::vector<std::vector<uint16_t>> links;
  int levels = 0;
  uint32_t root = 0;
  auto encode_short = [](uint64_t v) {
    std::string s(2, '\0');
    const uint16_t u = static_cast<uint16_t>(std::min<uint64_t>(v, 0x7FFF) ^ 0x8000);
    s[0] = static_cast<char>(u >> 8);
    s[1] = static_cast<char>(u & 0xFF);
    return s;
  };
  while (!level.empty()) {
    ++levels;
    std::vector<Entry> up;
    const size_t first_block = blocks.size() + 1;
    for (size_t i = 0; i < level.size(); i += cap) {
      const size_t n = std::min(cap, level.size() - i);
      std::string blk(block_size_, '\0');
      const uint32_t number = static_cast<uint32_t>(blocks.size() + 1);
      if (number > 0xFFFF)
        throw EngineError(err::kTableFull, "El índice primario no cabe en un fichero .PX.", {CtxTable(path_)});
      Put16(blk, 0, 0);
      Put16(blk, 2, 0);
      Put16(blk, 4, static_cast<uint16_t>((n - 1) * prec));
      uint64_t total = 0;
      for (size_t k = 0; k < n; ++k) {
        const Entry& e = level[i + k];
        std::string r = e.key + encode_short(e.child) + encode_short(e.count) + encode_short(0);
        std::memcpy(&blk[6 + k * prec], r.data(), prec);
        total += e.count;
      }
      blocks.push_back(std::move(blk));
      up.push_back({level[i].key, number, total});
    }
    // Blocks of one level are chained to each other.
    const size_t last_block = blocks.size();
    for (size_t bn = first_block; bn <= last_block; ++bn) {
      Put16(blocks[bn - 1], 0, static_cast<uint16_t>(bn < last_block ? bn + 1 : 0));
      Put16(blocks[bn - 1], 2, static_cast<uint16_t>(bn > first_block ? bn - 1 : 0));
    }
    if (up.size() == 1) {
      root = up.front().child;
      break;
    }
    level = std::move(up);
  }
  Put32(head, 0x06, static_cast<uint32_t>(chain_.size()));
  Put16(head, 0x0A, static_cast<uint16_t>(blocks.size()));
  Put16(head, 0x0C, static_cast<uint16_t>(blocks.size()));
  Put16(head, 0x0E, blocks.empty() ? 0 : 1);
  Put16(head, 0x10, static_cast<uint16_t>(blocks.empty() ? 0 : root));
  Put16(head, 0x1E, static_cast<uint16_t>(blocks.empty() ? 1 : root));  // as Paradox leaves an empty index
  head[0x20] = static_cast<char>(levels);
  Put16(head, 0x3A, static_cast<uint16_t>(blocks.size()));
  std::string image = head;
  for (const auto& b : blocks) image += b;
  auto f = fs.Open(px_path, OpenMode::kCreate);
  f->WriteAt(0, image.data(), image.size());
  f->Sync();
}

void ParadoxTable::Flush() {
  if (options_.read_only) return;
  if (!dirty_ && !index_stale_) return;
  if (mb_) mb_->Sync();
  db_->Sync();
  if (index_stale_) {
    RebuildPrimaryIndex();
    index_stale_ = false;
  }
  dirty_ = false;
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

}  // namespace

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

void CopyIndexForRebuild(TableStorage& old, const SecondaryIndex& ix, TableStorage& rebuilt,
                         const std::vector<int>& new_fields, const std::string& x_copy,
                         const std::string& y_copy) {
  auto* neu = dynamic_cast<ParadoxTable*>(&rebuilt);
  if (!neu || !dynamic_cast<ParadoxTable*>(&old) || ix.files.y_path.empty())
    throw EngineError(err::kInternal, "El índice secundario no se puede copiar a la tabla nueva.",
                      {CtxTable(old.Path()), CtxIndex(ix.name)});
  FileSystem& fs = *CurrentFileSystem();
  // The rebuilt table's rows with the index's fields where they now are.
  SecondaryIndex moved = ix;
  moved.fields = new_fields;
  ParadoxTable::Rows rows(*neu);
  const uint32_t pk_len = ix.key_len - ix.sec_len;
  std::vector<uint16_t> block_of;
  for (const IndexRecord& r : ReadIndexRecords(fs, ix)) {
    auto pos = neu->FindKey(r.bytes.substr(ix.sec_len, pk_len));
    if (!pos || IndexKeyOf(moved, rows, *pos) != r.bytes.substr(0, ix.key_len))
      throw EngineError(err::kIndexCorrupt,
                        "El índice secundario no corresponde a los registros de la tabla, y no se puede conservar. "
                        "Compruébelo con «tabla check» y regenérelo con Paradox antes de reestructurar.",
                        {CtxTable(old.Path()), CtxIndex(ix.name), CtxFile(ix.files.x_path)});
    block_of.push_back(rows.BlockOf(*pos));
  }
  if (block_of.size() != rows.Count())
    throw EngineError(err::kIndexCorrupt,
                      "El índice secundario no tiene una entrada por registro, y no se puede conservar. Regenérelo "
                      "con Paradox antes de reestructurar.",
                      {CtxTable(old.Path()), CtxIndex(ix.name), CtxFile(ix.files.x_path)});
  RewriteIndexHints(fs, ix, x_copy, block_of, neu->Indexed().change_count, new_fields);
  const std::string y = ReadWholeFile(fs, ix.files.y_path);
  auto f = fs.Open(y_copy, OpenMode::kCreate);
  f->WriteAt(0, y.data(), y.size());
  f->Sync();
}

std::unique_ptr<TableStorage> Open(const std::string& path, const OpenOptions& options) {
  auto t = std::make_unique<ParadoxTable>(path, options);
  t->Load();
  return t;
}

void Create(const std::string& path, const TableDefinition& def) {
  auto bad = [&](DBIResult code, const std::string& msg, std::vector<std::string> ctx = {}) {
    ctx.insert(ctx.begin(), CtxTable(path));
    return EngineError(code, msg, std::move(ctx));
  };
  const int level = def.level;
  if (level != 3 && level != 4 && level != 5 && level != 7)
    throw bad(err::kInvalidParam, "El nivel de tabla Paradox debe ser 3, 4, 5 o 7.");
  if (def.fields.empty() || def.fields.size() > 255)
    throw bad(err::kInvalidParam, "Una tabla Paradox necesita entre 1 y 255 campos.");
  const CodePage* cp = &CodePage::Ansi();
  int codepage = 0;
  if (level >= 4) {
    cp = CodePage::Find(def.codepage);
    if (!cp) throw bad(err::kNotSupported, "La página de códigos " + std::to_string(def.codepage) + " no se admite.");
    codepage = def.codepage;
  } else if (const CodePage* dos = CodePage::Find(437)) {
    cp = dos;
  }
  if (level == 3) {
    for (const auto& c : def.val_checks) {
      const bool empty = !c.bRequired && !c.bHasMinVal && !c.bHasMaxVal && !c.bHasDefVal && !c.szPict[0] &&
                         !(c.elkupType && c.szLkupTblName[0]);
      if (!empty)
        throw bad(err::kNotSupported,
                  "Las tablas Paradox 3 no pueden llevar reglas de validez en este programa. Use el nivel 4 o "
                  "posterior.");
    }
  }
  HeaderLayout layout;
  layout.version_id = VersionForLevel(level);
  layout.codepage = codepage;
  layout.key_fields = def.key_fields;
  layout.file_type = def.key_fields > 0 ? 0 : 2;
  layout.table_name = BaseName(path);
  uint32_t record = 0;
  std::vector<std::string> folded;
  for (const auto& f : def.fields) {
    const PxType* t = TypeByPhysical(f.type);
    if (!t) throw bad(err::kInvalidFieldType, "El tipo del campo no es un tipo Paradox.", {CtxField(f.name)});
    if (t->min_level > level)
      throw bad(err::kInvalidFieldType,
                std::string("El tipo de campo '") + t->letter + "' necesita una tabla de nivel " +
                    std::to_string(t->min_level) + " o posterior.",
                {CtxField(f.name)});
    uint32_t size = f.size;
    switch (t->letter) {
      case 'D': case 'I': case 'T': case '+': if (size == 0) size = 4; break;
      case 'S': if (size == 0) size = 2; break;
      case '$': case 'N': case '@': if (size == 0) size = 8; break;
      case 'L': if (size == 0) size = 1; break;
      default: break;
    }
    const uint32_t len = size > 255 ? 0 : FieldLength(*t, size);
    if (len == 0) throw bad(err::kInvalidFieldSize, "El tamaño del campo no es válido para su tipo.", {CtxField(f.name)});
    auto name = cp->Encode(f.name);
    if (f.name.empty() || !name || name->size() > 25 || name->find('\0') != std::string::npos)
      throw bad(err::kInvalidFieldName, "El nombre del campo no es válido (de 1 a 25 caracteres).", {CtxField(f.name)});
    const std::string fold = FoldCase(f.name);
    if (std::find(folded.begin(), folded.end(), fold) != folded.end())
      throw bad(err::kDuplicateFieldName, "Hay dos campos con el mismo nombre.", {CtxField(f.name)});
    folded.push_back(fold);
    HeaderField hf;
    hf.type = t;
    hf.size = static_cast<uint8_t>(size);
    hf.name = *name;
    layout.fields.push_back(hf);
    record += len;
  }
  if (def.key_fields < 0 || def.key_fields > static_cast<int>(def.fields.size()))
    throw bad(err::kInvalidParam, "El número de campos clave no es válido.");
  for (int i = 0; i < def.key_fields; ++i)
    if (layout.fields[i].type->blob)
      throw bad(err::kInvalidParam, "Un campo memo o binario no puede formar parte de la clave.",
                {CtxField(def.fields[i].name)});
  uint8_t kb = 2;
  while (kb <= 32 && record + 6 > kb * 1024u) kb = static_cast<uint8_t>(kb * 2);
  if (kb > 32 || record > 0xFFFF) throw bad(err::kRecordTooBig, "El registro es demasiado largo para una tabla Paradox.");
  layout.record_size = static_cast<uint16_t>(record);
  layout.block_kb = kb;
  std::string header = BuildHeader(layout);
  std::string val;
  bool any_check = false;
  for (const auto& c : def.val_checks)
    any_check |= c.bRequired || c.bHasMinVal || c.bHasMaxVal || c.bHasDefVal || c.szPict[0] ||
                 (c.elkupType && c.szLkupTblName[0]);
  if (any_check) {
    try {
      val = BuildVal(def.val_checks, layout.fields, static_cast<uint8_t>(header[0x2E]), layout.version_id,
                     BaseName(path), *cp);
    } catch (EngineError& e) {
      throw e.With(CtxTable(path));
    }
  }
  FileSystem& fs = *CurrentFileSystem();
  // Companions of a table that this one replaces would no longer match it.
  for (const char* ext : {".MB", ".PX", ".VAL"}) {
    std::string old = FindCompanion(fs, path, ext);
    if (!old.empty()) fs.Remove(old);
  }
  const std::string dir = DirName(path);
  const std::string stem = FoldCase(BaseName(StripExtension(path)));
  for (const auto& e : fs.List(dir.empty() ? "." : dir)) {
    const std::string name = FoldCase(e.name);
    if (e.is_dir || name.size() != stem.size() + 4 || name.compare(0, stem.size(), stem) != 0) continue;
    const std::string ext = name.substr(stem.size());
    const bool numbered = std::isxdigit(static_cast<unsigned char>(ext[2])) || ext[2] == 'g' || ext[2] == 'G';
    if (ext[0] == '.' && (ext[1] == 'x' || ext[1] == 'y' || ext[1] == 'X' || ext[1] == 'Y') && numbered &&
        std::isxdigit(static_cast<unsigned char>(ext[3])))
      fs.Remove(JoinPath(dir, e.name));
  }
  {
    auto f = fs.Open(path, OpenMode::kCreate);
    f->WriteAt(0, header.data(), header.size());
    f->Sync();
  }
  bool has_blob = false;
  for (const auto& f : layout.fields) has_blob |= f.type->blob;
  if (has_blob) {
    auto f = fs.Open(CompanionName(path, ".MB"), OpenMode::kCreate);
    std::string head(kMbChunk, '\0');
    head[1] = 1;
    f->WriteAt(0, head.data(), head.size());
    f->Sync();
  }
  if (!val.empty()) {
    auto f = fs.Open(CompanionName(path, ".VAL"), OpenMode::kCreate);
    f->WriteAt(0, val.data(), val.size());
    f->Sync();
  }
  if (def.key_fields > 0) {
    // An empty primary index: the header alone.
    HeaderLayout px = layout;
    px.file_type = 1;
    px.record_size = 0;
    px.fields.assign(layout.fields.begin(), layout.fields.begin() + def.key_fields);
    for (const auto& f : px.fields) px.record_size = static_cast<uint16_t>(px.record_size + FieldLength(*f.type, f.size));
    px.record_size = static_cast<uint16_t>(px.record_size + 6);
    const std::string px_path = CompanionName(path, ".PX");
    px.table_name = BaseName(px_path);
    std::string image = BuildHeader(px);
    image[0x1E] = 1;  // root block number, with no levels yet
    auto f = fs.Open(px_path, OpenMode::kCreate);
    f->WriteAt(0, image.data(), image.size());
    f->Sync();
  }
  fs.SyncDirectory(dir.empty() ? "." : dir);
}

}  // namespace engine::paradox
