// The .DBF file as a whole: opening (version, lock, header and field descriptors, memo and
// index companions) and creating a table from its definition.
#include <algorithm>
#include <cstring>

#include "engine/dbase/dbf.h"
#include "engine/dbase/dbf_internal.h"
#include "engine/error.h"

namespace engine::dbase {

using namespace dbf_internal;

namespace {

constexpr int kLockAttempts = 5;

uint16_t GetU16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void PutU16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

uint16_t TypeCode(char letter, bool foxpro) {
  switch (letter) {
    case 'C': return bde::fldDBCHAR;
    case 'N': return bde::fldDBNUM;
    case 'F': return bde::fldDBFLOAT;
    case 'D': return bde::fldDBDATE;
    case 'L': return bde::fldDBBOOL;
    case 'M': return bde::fldDBMEMO;
    case 'B': return foxpro ? bde::fldDBDOUBLE : bde::fldDBBINARY;
    case 'G': case 'P': return bde::fldDBOLEBLOB;
    case 'I': return bde::fldDBLONG;
    case '+': return bde::fldDBAUTOINC;
    case 'O': case 'Y': return bde::fldDBDOUBLE;
    case '@': case 'T': return bde::fldDBDATETIME;
    default: return bde::fldDBBYTES;
  }
}

char LetterFromCode(uint16_t code) {
  switch (code) {
    case bde::fldDBCHAR: return 'C';
    case bde::fldDBNUM: return 'N';
    case bde::fldDBFLOAT: return 'F';
    case bde::fldDBDATE: return 'D';
    case bde::fldDBBOOL: return 'L';
    case bde::fldDBMEMO: return 'M';
    case bde::fldDBBINARY: return 'B';
    case bde::fldDBOLEBLOB: return 'G';
    case bde::fldDBLONG: return 'I';
    case bde::fldDBAUTOINC: return '+';
    case bde::fldDBDOUBLE: return 'O';
    case bde::fldDBDATETIME: return '@';
    default: return 0;
  }
}

// The files beside `path` with the same base name and each of the extensions `exts`, matched
// without regard to letter case, from one listing of the folder; "" for one there is none of, and
// for an extension "" (not looked for).
std::vector<std::string> FindCompanions(const std::string& path, const std::vector<std::string>& exts) {
  std::string dir = DirName(path);
  std::string base = BaseName(path);
  auto dot = base.find_last_of('.');
  if (dot != std::string::npos) base.resize(dot);
  std::vector<std::string> found(exts.size());
  if (std::all_of(exts.begin(), exts.end(), [](const std::string& e) { return e.empty(); })) return found;
  for (const DirEntry& e : CurrentFileSystem()->List(dir.empty() ? "." : dir)) {
    if (e.is_dir) continue;
    const std::string name = UpperAscii(e.name);
    for (size_t i = 0; i < exts.size(); ++i)
      if (!exts[i].empty() && found[i].empty() && name == UpperAscii(base + "." + exts[i]))
        found[i] = JoinPath(dir, e.name);
  }
  return found;
}

std::string FindCompanion(const std::string& path, const std::string& ext) { return FindCompanions(path, {ext})[0]; }

std::string DriverNameForCodePage(int cp) {
  switch (cp) {
    case 1252: return "DBWINUS0";
    case 850: return "DB850ES0";
    case 437: return "DB437US0";
    case 852: return "DB852CZ0";
    case 866: return "DB866RU0";
    case 865: return "DB865NO0";
    case 861: return "DB861IS0";
    case 857: return "DB857TR0";
    case 863: return "DB863CF0";
    case 860: return "DB860PT0";
    case 737: return "DB737GR0";
    default: return "";
  }
}

class EmptySource : public RecordSource {
 public:
  uint64_t Count() override { return 0; }
  const RecordView& Row(uint64_t recno) override {
    throw EngineError(err::kEndOfTable, "La tabla está vacía.", {CtxRecord(recno)});
  }
};

}  // namespace

namespace dbf_internal {

// The companion's name to create: an existing one of any letter case, else the extension in
// the letter case of the table's own.
std::string CompanionToCreate(const std::string& path, const std::string& ext) {
  std::string found = FindCompanion(path, ext);
  if (!found.empty()) return found;
  auto dot = path.find_last_of('.');
  auto slash = path.find_last_of('/');
  std::string stem = (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? path.substr(0, dot) : path;
  bool lower = dot != std::string::npos && dot + 1 < path.size() && path[dot + 1] >= 'a' && path[dot + 1] <= 'z';
  std::string e = ext;
  if (lower)
    for (char& c : e) c = static_cast<char>(c - 'A' + 'a');
  return stem + "." + e;
}

std::string BaseNameNoExt(const std::string& path) {
  std::string base = BaseName(path);
  auto dot = base.find_last_of('.');
  if (dot != std::string::npos) base.resize(dot);
  return base;
}

}  // namespace dbf_internal

// The memo file or the index, opened as the table is and locked as it is (exclusively or shared),
// so that a program that locks only one of the table's files is seen too. The lock is held by the
// very file the memos or the index are read and written through, for as long as it is open.
std::unique_ptr<File> DbfTable::OpenCompanion(const std::string& path) {
  FileSystem& fs = *CurrentFileSystem();
  std::unique_ptr<File> f;
  try {
    f = fs.Open(path, writable_ ? OpenMode::kReadWrite : OpenMode::kRead);
  } catch (const EngineError& e) {
    // Open elsewhere without sharing it with us (Windows): as good as locked.
    if (!exclusive_ || e.code() != err::kTableInUse) throw;
  }
  if (f && !(exclusive_ ? f->TryLockExclusive() : f->TryLockShared())) f.reset();
  if (!f)
    throw EngineError(err::kTableInUse,
                      "Un fichero de la tabla (el de sus memos o el de su índice) está abierto en otro programa. "
                      "Ciérrelo y vuelva a intentarlo.",
                      {CtxTable(path_), CtxFile(path)});
  return f;
}

// ---------------------------------------------------------------------------------------------
// Opening

std::unique_ptr<DbfTable> DbfTable::Open(const std::string& path, const OpenOptions& options, bool foxpro) {
  std::unique_ptr<DbfTable> t(new DbfTable());
  t->path_ = path;
  t->Load(foxpro, options);
  return t;
}

DbfTable::~DbfTable() {
  if (writable_ && dirty_) {
    try {
      Flush();
    } catch (...) {
      // The counts are on disk already; only the date and the sync were lost.
    }
  }
  if (file_) file_->Unlock();
}

std::vector<std::string> DbfTable::Ctx(int field) const {
  std::vector<std::string> c{CtxTable(path_), CtxFile(path_)};
  if (field >= 0 && static_cast<size_t>(field) < fields_.size()) c.push_back(CtxField(fields_[static_cast<size_t>(field)].name));
  return c;
}

void DbfTable::Bad(const std::string& what) const {
  throw EngineError(err::kHeaderCorrupt,
                    "La tabla no se puede leer: " + what +
                        ". Restaure una copia de seguridad de la tabla.",
                    Ctx());
}

void DbfTable::Load(bool foxpro, const OpenOptions& options) {
  FileSystem* fs = CurrentFileSystem();
  writable_ = !options.read_only;
  exclusive_ = options.exclusive;
  for (int attempt = 0;; ++attempt) {
    bool locked;
    try {
      if (exclusive_) {
        file_ = OpenExclusively(*fs, path_, writable_);
        locked = file_ != nullptr;
      } else {
        file_ = fs->Open(path_, writable_ ? OpenMode::kReadWrite : OpenMode::kRead);
        locked = file_->TryLockShared();
      }
    } catch (const EngineError&) {
      // The open refuses what is not a regular file; what the name holds is asked only then, to
      // say so in the table's words.
      if (!fs->IsRegularFile(path_))
        throw EngineError(err::kNoSuchTable,
                          fs->Exists(path_) ? "Con el nombre de la tabla hay algo que no es un fichero normal (una "
                                              "carpeta, una tubería o un dispositivo); no se abre. Compruebe la "
                                              "carpeta de datos."
                                            : "No se encuentra la tabla.",
                          {CtxTable(path_)});
      throw;
    }
    if (!locked)
      throw EngineError(err::kTableInUse,
                        "La tabla está abierta en otro programa. Ciérrelo y vuelva a intentarlo.",
                        {CtxTable(path_)});
    if (file_->StillAtPath()) break;
    // The file was replaced while we locked it: lock what the path names now.
    file_->Unlock();
    file_.reset();
    if (attempt + 1 >= kLockAttempts)
      throw EngineError(err::kTableInUse,
                        "La tabla está siendo sustituida por otro programa. Vuelva a intentarlo.",
                        {CtxTable(path_)});
  }
  uint64_t size = file_->Size();
  if (size < 32) Bad("el fichero mide " + std::to_string(size) + " bytes, menos que una cabecera");
  unsigned char fixed[32];
  ReadExactly(*file_, 0, fixed, sizeof fixed);
  uint8_t v = fixed[0];
  bool dbase = v == 0x03 || v == 0x83 || v == 0x8B || v == 0x04 || v == 0x8C;
  bool fox = v == 0x30 || v == 0x31 || v == 0x32 || v == 0xF5;
  if (fox && !foxpro)
    throw EngineError(err::kNotSupported,
                      "Formato no admitido: la tabla es de FoxPro (versión 0x" +
                          std::string(1, "0123456789ABCDEF"[v >> 4]) + "0123456789ABCDEF"[v & 15] +
                          ") y no de dBASE.",
                      Ctx());
  if (!dbase && !fox) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", v);
    throw EngineError(err::kNotSupported,
                      std::string("Formato no admitido: el byte de versión ") + hex +
                          " no corresponde a una tabla dBASE de nivel 3, 4, 5 o 7.",
                      Ctx());
  }
  foxpro_ = fox;
  if (foxpro_) writable_ = false;
  // Byte 15 is 0x01 in a table dBASE encrypted. Other values, like the rest of the reserved bytes
  // 12 to 27, are junk some writers leave behind: the data is plain.
  if (fixed[15] == 0x01)
    throw EngineError(err::kEncrypted,
                      "La tabla está cifrada y no se puede abrir. Descífrela con el programa que la creó.",
                      Ctx());
  uint32_t hlen = GetU16(fixed + 8);
  if (hlen > size) Bad("la cabecera dice medir " + std::to_string(hlen) + " bytes y el fichero es más corto");
  std::string header(hlen, '\0');
  if (hlen < 32) Bad("la longitud de la cabecera (" + std::to_string(hlen) + ") es demasiado pequeña");
  ReadExactly(*file_, 0, header.data(), header.size());
  ParseHeader(header, size);
  OpenCompanions();
}

void DbfTable::ParseHeader(const std::string& header, uint64_t file_size) {
  const auto* h = reinterpret_cast<const unsigned char*>(header.data());
  version_ = h[0];
  count_ = GetU32(h + 4);
  header_length_ = GetU16(h + 8);
  record_length_ = GetU16(h + 10);
  has_mdx_ = !foxpro_ && (h[28] & 0x01);
  uint8_t ldid = h[29];
  ldid_ = ldid;
  bool seven = (version_ & 0x07) == 4 && !foxpro_;
  size_t start = seven ? 68 : 32, width = seven ? 48 : 32;
  if (header_length_ < start + 1)
    Bad("la longitud de la cabecera (" + std::to_string(header_length_) + ") es demasiado pequeña");

  int cp = 0;
  if (seven) {
    std::string name(header.data() + 32, 32);
    name.resize(std::min(name.find('\0'), name.size()));
    driver_name_ = Trim(name, " ");
    cp = CodePageFromDriverName(driver_name_);
  }
  if (cp == 0) cp = CodePageFromLanguageDriver(ldid);
  cp_ = CodePage::Find(cp);
  if (!cp_) cp_ = &CodePage::Ansi();
  for (int b = 0; b < 0x100; ++b) {
    std::string u = b < 0x80 ? std::string(1, static_cast<char>(b)) : cp_->Decode(std::string(1, static_cast<char>(b)));
    utf8_len_[b] = static_cast<uint8_t>(std::min<size_t>(u.size(), 4));
    std::memcpy(utf8_[b].data(), u.data(), utf8_len_[b]);
  }

  bool has_f = false, has_bg = false;
  uint32_t offset = 1;
  size_t pos = start;
  for (;;) {
    // 0x0D ends the descriptors; some writers put 0x0A there instead.
    if (pos < header_length_ && (h[pos] == 0x0D || h[pos] == 0x0A)) break;
    if (pos + width > header_length_)
      Bad("la descripción de los campos sobrepasa la cabecera (falta el byte 0x0D que la termina)");
    const unsigned char* d = h + pos;
    std::string name(reinterpret_cast<const char*>(d), seven ? 32 : 11);
    name.resize(std::min(name.find('\0'), name.size()));
    char letter = static_cast<char>(seven ? d[32] : d[11]);
    uint32_t len = seven ? d[33] : d[16];
    uint32_t dec = seven ? d[34] : d[17];
    // Character fields longer than 255 bytes keep the high byte of their length where other
    // fields keep their decimals (the record length confirms it).
    if (letter == 'C') {
      len += 256 * dec;
      dec = 0;
    }
    // Some writers leave a descriptor of no bytes after the last field, of any type ('0', 0xD8,
    // NUL, '(' are seen): when the fields before it fill the record exactly, it holds nothing.
    if (len == 0 && offset == record_length_ && pos + width < header_length_ &&
        (h[pos + width] == 0x0D || h[pos + width] == 0x0A)) {
      pos += width;
      continue;
    }
    FieldSpec f;
    f.name = cp_->Decode(Trim(name, " "));
    std::string shown = f.name.empty() ? "nº " + std::to_string(fields_.size() + 1) : f.name;
    auto bad_size = [&](const std::string& expect) {
      Bad("el campo " + shown + " de tipo " + std::string(1, letter) + " mide " + std::to_string(len) +
          " bytes (" + expect + ")");
    };
    if (f.name.empty()) Bad("el campo nº " + std::to_string(fields_.size() + 1) + " no tiene nombre");
    FieldExtra x;
    x.letter = letter;
    switch (letter) {
      case 'C': if (len < 1) bad_size("debe medir al menos 1"); break;
      case 'N': case 'F':
        if (len < 1 || len > 32) bad_size("de 1 a 32");
        if (dec > 0 && dec >= len)
          Bad("el campo " + shown + " tiene " + std::to_string(dec) + " decimales y solo " +
              std::to_string(len) + " posiciones");
        if (letter == 'F') has_f = true;
        break;
      case 'D': if (len != 8) bad_size("debe medir 8"); break;
      case 'L': if (len != 1) bad_size("debe medir 1"); break;
      case 'M': case 'B': case 'G':
        if (foxpro_) {
          if (letter == 'B' ? len != 8 : (len != 4 && len != 10)) bad_size("4 u 8");
        } else {
          if (len != 10) bad_size("debe medir 10");
          if (letter != 'M') has_bg = true;
        }
        break;
      case 'I':
        if (len != 4) bad_size("debe medir 4");
        if (!seven && !foxpro_) Bad("el campo " + shown + " es de tipo I, que solo existe en el nivel 7");
        break;
      case '+': case 'O': case '@':
        if (!seven) Bad("el campo " + shown + " es de tipo " + std::string(1, letter) + ", que solo existe en el nivel 7");
        if (len != (letter == '+' ? 4u : 8u)) bad_size(letter == '+' ? "debe medir 4" : "debe medir 8");
        if (letter == '+') x.next_autoinc = GetU32(d + 40);
        break;
      case 'Y': case 'T':
        if (!foxpro_) Bad("el campo " + shown + " tiene un tipo desconocido '" + std::string(1, letter) + "'");
        if (len != 8) bad_size("debe medir 8");
        break;
      case 'P': case '0': case 'V': case 'Q': case 'W':
        if (!foxpro_) Bad("el campo " + shown + " tiene un tipo desconocido '" + std::string(1, letter) + "'");
        if (len < 1) bad_size("debe medir al menos 1");
        break;
      default:
        Bad("el campo " + shown + " tiene un tipo desconocido (código " +
            std::to_string(static_cast<unsigned char>(letter)) + ")");
    }
    f.type = TypeCode(letter, foxpro_);
    f.size = static_cast<uint16_t>(len);
    f.decimals = (letter == 'N' || letter == 'F') ? static_cast<uint16_t>(dec) : 0;
    f.offset = offset;
    f.length = len;
    offset += len;
    fields_.push_back(f);
    extra_.push_back(x);
    pos += width;
  }
  if (offset != record_length_)
    Bad("la longitud de registro de la cabecera (" + std::to_string(record_length_) +
        ") no coincide con la suma de los campos (" + std::to_string(offset) + ")");
  uint64_t need = static_cast<uint64_t>(header_length_) + count_ * record_length_;
  if (need > file_size)
    Bad("la cabecera anuncia " + std::to_string(count_) + " registros (" + std::to_string(need) +
        " bytes) y el fichero mide " + std::to_string(file_size) + " bytes; está truncado");

  if (seven) level_ = 7;
  else if (foxpro_) level_ = 4;
  else if (has_bg) level_ = 5;
  else if (version_ == 0x83) level_ = 3;  // the dBASE III memo layout
  else if (version_ == 0x8B || has_f || ldid != 0) level_ = 4;
  else level_ = 3;
}

void DbfTable::OpenCompanions() {
  bool memo_fields = false;
  for (const FieldExtra& x : extra_) memo_fields |= IsMemoLetter(x.letter);
  // Both looked for in one listing of the folder.
  const std::vector<std::string> found = FindCompanions(path_, {memo_fields && !foxpro_ ? "DBT" : "", has_mdx_ ? "MDX" : ""});
  if (memo_fields && !foxpro_) {
    const std::string& dbt = found[0];
    if (dbt.empty())
      throw EngineError(err::kNoSuchFile,
                        "Falta el fichero de memos de la tabla (.DBT). Restáurelo desde una copia de seguridad.",
                        {CtxTable(path_), CtxFile(CompanionToCreate(path_, "DBT"))});
    MemoLayout layout = version_ == 0x83 ? MemoLayout::kDbase3 : MemoLayout::kDbase4;
    std::unique_ptr<File> file = OpenCompanion(dbt);
    try {
      memo_ = MemoFile::Open(std::move(file), path_, layout);
    } catch (EngineError& e) {
      e.With(CtxTable(path_));
      throw;
    }
  }
  if (has_mdx_) {
    const std::string& mdx = found[1];
    if (mdx.empty())
      throw EngineError(err::kNoSuchFile,
                        "Falta el índice de producción de la tabla (.MDX). Restáurelo desde una copia de "
                        "seguridad.",
                        {CtxTable(path_), CtxFile(CompanionToCreate(path_, "MDX"))});
    std::unique_ptr<File> file = OpenCompanion(mdx);
    try {
      mdx_ = MdxIndex::Open(std::move(file), fields_, *cp_, writable_, KeyCollation());
      // When the row that holds a unique tag's key changes, another row with that key takes
      // its place: the index reads the table's rows to find it.
      row_source_ = std::make_unique<TableRows>(this);
      mdx_->SetRowSource(row_source_.get());
    } catch (EngineError& e) {
      e.With(CtxTable(path_));
      e.With(CtxFile(mdx));
      throw;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Creating

void DbfTable::Create(const std::string& path, const TableDefinition& def) {
  auto refuse = [&](DBIResult code, const std::string& what, const std::string& field = "") {
    std::vector<std::string> ctx{CtxTable(path)};
    if (!field.empty()) ctx.push_back(CtxField(field));
    throw EngineError(code, "No se puede crear la tabla: " + what + ".", ctx);
  };
  const int level = def.level;
  if (level != 3 && level != 4 && level != 5 && level != 7)
    refuse(err::kNotSupported, "el nivel dBASE " + std::to_string(level) + " no existe (3, 4, 5 o 7)");
  const CodePage* cp = CodePage::Find(def.codepage);
  uint8_t ldid = LanguageDriverForCodePage(def.codepage);
  if (!cp || ldid == 0) refuse(err::kNotSupported, "la página de códigos " + std::to_string(def.codepage) + " no se admite");
  if (def.fields.empty()) refuse(err::kInvalidParam, "no tiene campos");
  const size_t max_fields = level == 3 ? 128 : level == 7 ? 1024 : 255;
  if (def.fields.size() > max_fields)
    refuse(err::kRecordTooBig, "tiene " + std::to_string(def.fields.size()) + " campos y el nivel admite " +
                                   std::to_string(max_fields));
  const size_t name_max = level == 7 ? 31 : 10;
  const int num_max = level == 3 && !def.sizes_as_stored ? 19 : 20, dec_max = level == 3 && !def.sizes_as_stored ? 15 : 18;

  bool has_memo = false;
  uint32_t reclen = 1;
  std::vector<std::string> names;
  std::string descriptors;
  for (const FieldSpec& f : def.fields) {
    char l = LetterFromCode(f.type);
    const std::string& nm = f.name;
    if (nm.empty() || nm.size() > name_max)
      refuse(err::kInvalidFieldName, "el nombre de campo debe tener de 1 a " + std::to_string(name_max) + " caracteres", nm);
    // The host application names fields such as "1T": a leading digit is accepted.
    bool name_ok = true;
    for (char c : nm)
      name_ok &= (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!name_ok) refuse(err::kInvalidFieldName, "el nombre de campo solo admite letras sin acento, cifras y _", nm);
    for (const std::string& o : names)
      if (UpperAscii(o) == UpperAscii(nm)) refuse(err::kDuplicateFieldName, "hay dos campos con el mismo nombre", nm);
    names.push_back(nm);
    if (l == 0) refuse(err::kInvalidFieldType, "el tipo de campo no es de dBASE", nm);
    bool level_ok = true;
    if (l == 'F') level_ok = level >= 4;
    if (l == 'B' || l == 'G') level_ok = level >= 5;
    if (l == 'I' || l == '+' || l == 'O' || l == '@') level_ok = level == 7;
    if (!level_ok)
      refuse(err::kInvalidFieldType, std::string("el tipo ") + l + " no existe en el nivel " + std::to_string(level), nm);
    uint32_t len = f.size, dec = 0;
    switch (l) {
      case 'C':
        // A rebuild keeps longer character fields as their writer stored them (the length's high
        // byte where decimals go); new ones measure 1 to 254.
        if (len < 1 || len > (def.sizes_as_stored ? 0xFFFFu : 254u))
          refuse(err::kInvalidFieldSize, "un campo de texto mide de 1 a 254", nm);
        if (len > 255) {
          dec = len >> 8;
          len &= 0xFF;
        }
        break;
      case 'N': case 'F':
        if (len < 1 || len > static_cast<uint32_t>(num_max))
          refuse(err::kInvalidFieldSize, "un campo numérico mide de 1 a " + std::to_string(num_max), nm);
        dec = f.decimals;
        if (dec > static_cast<uint32_t>(dec_max) || (dec > 0 && dec + 2 > len))
          refuse(err::kInvalidFieldSize, "demasiados decimales para la longitud del campo", nm);
        break;
      case 'D': case 'O': case '@': len = 8; break;
      case 'L': len = 1; break;
      case 'M': case 'B': case 'G': len = 10; has_memo = true; break;
      default: len = 4; break;
    }
    reclen += l == 'C' ? len + 256 * dec : len;
    std::string d(level == 7 ? 48 : 32, '\0');
    std::memcpy(d.data(), nm.data(), nm.size());
    if (level == 7) {
      d[32] = l;
      d[33] = static_cast<char>(len);
      d[34] = static_cast<char>(dec);
      if (l == '+') PutU32(reinterpret_cast<unsigned char*>(d.data()) + 40, 1);
    } else {
      d[11] = l;
      d[16] = static_cast<char>(len);
      d[17] = static_cast<char>(dec);
    }
    descriptors += d;
  }
  const uint32_t max_rec = level == 3 ? 4000 : 32767;
  if (reclen > max_rec)
    refuse(err::kRecordTooBig, "el registro mediría " + std::to_string(reclen) + " bytes y el nivel admite " +
                                   std::to_string(max_rec));

  std::string h(level == 7 ? 68 : 32, '\0');
  auto* u = reinterpret_cast<unsigned char*>(h.data());
  const uint8_t natural = level == 7 ? (has_memo ? 0x8C : 0x04) : has_memo ? (level == 3 ? 0x83 : 0x8B) : 0x03;
  // A table rebuilt with other fields keeps its version byte, memo flags included, unless it
  // gains its first memo field.
  u[0] = def.dbase_version >= 0 && (!has_memo || (def.dbase_version & 0x80)) ? static_cast<uint8_t>(def.dbase_version)
                                                                               : natural;
  if (u[0] & 0x80) has_memo = true;  // a memo file goes with a version byte that announces one
  int y, m, d;
  Today(&y, &m, &d);
  u[1] = static_cast<unsigned char>(std::clamp(y - 1900, 0, 255));
  u[2] = static_cast<unsigned char>(m);
  u[3] = static_cast<unsigned char>(d);
  uint32_t hlen = static_cast<uint32_t>(h.size() + descriptors.size() + 1);
  PutU16(u + 8, hlen);
  PutU16(u + 10, reclen);
  u[28] = def.tags.empty() ? 0 : 1;
  u[29] = def.language_driver >= 0 ? static_cast<uint8_t>(def.language_driver) : ldid;
  if (level == 7) {
    std::string name = def.driver_name.empty() ? DriverNameForCodePage(def.codepage) : def.driver_name.substr(0, 32);
    std::memcpy(h.data() + 32, name.data(), name.size());
  }
  std::string file = h + descriptors + "\x0D\x1A";

  FileSystem* fs = CurrentFileSystem();
  std::string dbt = has_memo ? CompanionToCreate(path, "DBT") : "";
  std::string mdx = def.tags.empty() ? "" : CompanionToCreate(path, "MDX");
  // A table that someone has open is not overwritten under them.
  std::unique_ptr<File> guard;
  if (fs->IsRegularFile(path)) {
    guard = fs->Open(path, OpenMode::kReadWrite);
    if (!guard->TryLockExclusive())
      throw EngineError(err::kTableInUse,
                        "No se puede crear la tabla: la que hay con ese nombre está abierta en otro programa. "
                        "Ciérrelo y vuelva a intentarlo.",
                        {CtxTable(path)});
  }
  {
    auto f = fs->Open(path, OpenMode::kCreate);
    f->WriteAt(0, file.data(), file.size());
    if (def.sync_on_create) f->Sync();
  }
  try {
    if (has_memo)
      MemoFile::Create(dbt, u[0] == 0x83 ? MemoLayout::kDbase3 : MemoLayout::kDbase4, BaseNameNoExt(path),
                       def.sync_on_create);
    if (!def.tags.empty()) {
      // Offsets as the table will report them.
      std::vector<FieldSpec> fields = def.fields;
      uint32_t off = 1;
      for (FieldSpec& f : fields) {
        char l = LetterFromCode(f.type);
        f.size = static_cast<uint16_t>(l == 'C' || l == 'N' || l == 'F' ? f.size
                                       : l == 'L'                       ? 1
                                       : IsMemoLetter(l)                ? 10
                                       : (l == 'I' || l == '+')         ? 4
                                                                        : 8);
        if (l != 'N' && l != 'F') f.decimals = 0;
        f.offset = off;
        f.length = f.size;
        off += f.size;
      }
      EmptySource rows;
      std::string driver;
      if (level == 7) driver = std::string(reinterpret_cast<const char*>(h.data() + 32), 32);
      driver.resize(std::min(driver.find('\0'), driver.size()));
      MdxIndex::Create(mdx, BaseNameNoExt(path), def.tags, fields, *cp, rows, CollationForDbase(u[29], driver));
    }
  } catch (EngineError& e) {
    // A table that announces companions it does not have could not be opened: take it away.
    fs->Remove(path);
    if (!dbt.empty()) fs->Remove(dbt);
    if (!mdx.empty()) fs->Remove(mdx);
    e.With(CtxTable(path));
    throw;
  }
}

void DbfTable::DescribeForRecreate(TableDefinition* def) const {
  def->dbase_version = version_;
  def->language_driver = ldid_;
  def->driver_name = driver_name_;
}

}  // namespace engine::dbase
