#include "engine/dbase/dbf.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>

#include "engine/error.h"

namespace engine::dbase {

namespace {

constexpr size_t kCacheBytes = 256 * 1024;
constexpr int kLockAttempts = 5;

uint16_t GetU16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t GetU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void PutU16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void PutU32(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint64_t GetBE(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}
void PutBE(char* p, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<char>(v & 0xFF);
    v >>= 8;
  }
}
bool AllZero(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

// dBASE 7 doubles (O fields) are stored big-endian with the sign bit set for positive values and
// every bit inverted for negative ones, so that the bytes sort like the numbers. Timestamps (@)
// are plain big-endian doubles of milliseconds, day 1 being 0001-01-01.
double DecodeOrderedDouble(const unsigned char* p) {
  uint64_t bits = GetBE(p, 8);
  if (bits >> 63) bits &= ~(uint64_t{1} << 63);
  else bits = ~bits;
  return std::bit_cast<double>(bits);
}
void EncodeOrderedDouble(char* p, double d) {
  uint64_t bits = std::bit_cast<uint64_t>(d);
  if (bits >> 63) bits = ~bits;
  else bits |= uint64_t{1} << 63;
  PutBE(p, bits, 8);
}

std::string Trim(std::string_view s, std::string_view chars = " \0") {
  size_t b = s.find_first_not_of(chars);
  if (b == std::string_view::npos) return "";
  size_t e = s.find_last_not_of(chars);
  return std::string(s.substr(b, e - b + 1));
}

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// A decimal number split into its parts: optional sign, integer digits, fraction digits.
struct Decimal {
  bool negative = false;
  std::string int_digits;
  std::string frac_digits;
};

// Parses "-12.50", "+3", ".5", "7." (and "1,5" with a decimal comma); false for anything else.
bool ParseDecimal(std::string_view t, Decimal* out) {
  Decimal d;
  size_t i = 0;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) d.negative = t[i++] == '-';
  bool dot = false;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c >= '0' && c <= '9') (dot ? d.frac_digits : d.int_digits) += c;
    else if ((c == '.' || c == ',') && !dot) dot = true;
    else return false;
  }
  if (d.int_digits.empty() && d.frac_digits.empty()) return false;
  *out = d;
  return true;
}

// A number as dBASE stores it: optional sign, digits, at most one point, at least one digit.
bool IsStoredNumber(std::string_view t) {
  size_t i = 0, digits = 0;
  bool dot = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c >= '0' && c <= '9') ++digits;
    else if (c == '.' && !dot) dot = true;
    else return false;
  }
  return digits > 0;
}


// The shortest fixed-notation text that reads back as d.
std::string ShortestFixed(double d) {
  char buf[512];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

bool ParseDouble(std::string_view t, double* out) {
  if (!t.empty() && t[0] == '+') t.remove_prefix(1);
  // Most stored numbers have few digits: an integer of at most 15 digits divided by an exact
  // power of ten is the correctly rounded double (one IEEE division).
  {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8,
                                        1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    size_t i = 0;
    bool neg = false, dot = false;
    if (i < t.size() && t[i] == '-') {
      neg = true;
      ++i;
    }
    uint64_t mant = 0;
    int digits = 0, frac = 0, seen = 0;
    bool plain = true;
    for (; i < t.size() && plain; ++i) {
      char c = t[i];
      if (c >= '0' && c <= '9') {
        mant = mant * 10 + static_cast<uint64_t>(c - '0');
        if (mant) ++digits;
        if (dot) ++frac;
        ++seen;
      } else if (c == '.' && !dot) {
        dot = true;
      } else {
        plain = false;
      }
    }
    if (plain && seen > 0 && digits <= 15 && frac <= 15) {
      double d = static_cast<double>(mant) / kPow10[frac];
      *out = neg ? -d : d;
      return true;
    }
  }
  auto r = std::from_chars(t.data(), t.data() + t.size(), *out);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

// Rounds to `decimals` places, half away from zero, on the digits themselves. Returns the text
// "[-]int[.frac]" with no leading zeros beyond a single "0".
std::string RoundDecimal(const Decimal& in, int decimals) {
  std::string ip = in.int_digits.empty() ? "0" : in.int_digits;
  std::string fp = in.frac_digits;
  bool up = fp.size() > static_cast<size_t>(decimals) && fp[static_cast<size_t>(decimals)] >= '5';
  fp.resize(static_cast<size_t>(decimals), '0');
  if (up) {
    std::string all = ip + fp;
    int i = static_cast<int>(all.size()) - 1;
    while (i >= 0 && all[static_cast<size_t>(i)] == '9') all[static_cast<size_t>(i--)] = '0';
    if (i < 0) all.insert(all.begin(), '1');
    else ++all[static_cast<size_t>(i)];
    ip = all.substr(0, all.size() - fp.size());
    fp = all.substr(all.size() - fp.size());
  }
  size_t nz = ip.find_first_not_of('0');
  ip = nz == std::string::npos ? "0" : ip.substr(nz);
  bool zero = ip == "0" && fp.find_first_not_of('0') == std::string::npos;
  std::string r = (in.negative && !zero ? "-" : "") + ip;
  if (decimals > 0) r += "." + fp;
  return r;
}

std::string FormatDate(int y, int m, int d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
  return buf;
}

// Parses "YYYY-MM-DD", "YYYYMMDD" or "DD/MM/YYYY"; returns the day number or 0.
int64_t ParseDateText(const std::string& t) {
  int y = 0, m = 0, d = 0;
  auto num = [&](size_t pos, size_t len, int* v) {
    if (pos + len > t.size()) return false;
    *v = 0;
    for (size_t i = pos; i < pos + len; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      *v = *v * 10 + (t[i] - '0');
    }
    return true;
  };
  bool ok = false;
  if (t.size() == 8) ok = num(0, 4, &y) && num(4, 2, &m) && num(6, 2, &d);
  else if (t.size() == 10 && t[4] == '-' && t[7] == '-') ok = num(0, 4, &y) && num(5, 2, &m) && num(8, 2, &d);
  else if (t.size() == 10 && t[2] == '/' && t[5] == '/') ok = num(0, 2, &d) && num(3, 2, &m) && num(6, 4, &y);
  if (!ok || y < 1 || !IsValidCivil(y, m, d)) return 0;
  return DayFromCivil(y, m, d);
}

void Today(int* y, int* m, int* d) {
  auto now = std::chrono::system_clock::now();
  int64_t days = std::chrono::duration_cast<std::chrono::hours>(now.time_since_epoch()).count() / 24;
  CivilFromDay(days + 719163, y, m, d);
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

bool IsMemoLetter(char c) { return c == 'M' || c == 'B' || c == 'G'; }

// The file beside `path` with the same base name and extension `ext`, matched without regard
// to letter case; "" when there is none.
std::string FindCompanion(const std::string& path, const std::string& ext) {
  std::string dir = DirName(path);
  std::string base = BaseName(path);
  auto dot = base.find_last_of('.');
  if (dot != std::string::npos) base.resize(dot);
  std::string want = UpperAscii(base + "." + ext);
  for (const DirEntry& e : CurrentFileSystem()->List(dir.empty() ? "." : dir))
    if (!e.is_dir && UpperAscii(e.name) == want) return JoinPath(dir, e.name);
  return "";
}

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

// A row handed to the production index.
class RowView : public RecordView {
 public:
  RowView(DbfTable* t, const std::string* buf, uint64_t recno) : t_(t), buf_(buf), recno_(recno) {}
  void SetRecNo(uint64_t recno) { recno_ = recno; }
  uint64_t RecNo() const override { return recno_; }
  std::string_view Record() const override { return *buf_; }
  bool Deleted() const override { return t_->IsDeleted(*buf_); }
  Value Field(const std::string& name) const override { return t_->GetValue(*buf_, Index(name)); }
  std::string RawText(const std::string& name) const override { return t_->RawField(*buf_, Index(name)); }

 private:
  int Index(const std::string& name) const {
    int i = t_->FieldIndex(name);
    if (i < 0)
      throw EngineError(err::kInvalidFieldName, "El índice usa un campo que la tabla no tiene.",
                        {CtxTable(t_->Path()), CtxField(name)});
    return i;
  }
  DbfTable* t_;
  const std::string* buf_;
  uint64_t recno_;
};

// Every row of a table, for building or checking its index.
class TableRows : public RecordSource {
 public:
  explicit TableRows(DbfTable* t) : t_(t), view_(t, &buf_, 0) {}
  uint64_t Count() override { return t_->RecordCount(); }
  const RecordView& Row(uint64_t recno) override {
    t_->ReadRecord(recno, &buf_);
    view_.SetRecNo(recno);
    return view_;
  }

 private:
  DbfTable* t_;
  std::string buf_;
  RowView view_;
};

class EmptySource : public RecordSource {
 public:
  uint64_t Count() override { return 0; }
  const RecordView& Row(uint64_t recno) override {
    throw EngineError(err::kEndOfTable, "La tabla está vacía.", {CtxRecord(recno)});
  }
};

}  // namespace

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
  if (!fs->IsRegularFile(path_))
    throw EngineError(err::kNoSuchTable,
                      fs->Exists(path_) ? "Con el nombre de la tabla hay algo que no es un fichero normal (una carpeta, "
                                          "una tubería o un dispositivo); no se abre. Compruebe la carpeta de datos."
                                        : "No se encuentra la tabla.",
                      {CtxTable(path_)});
  writable_ = !options.read_only;
  exclusive_ = options.exclusive;
  for (int attempt = 0;; ++attempt) {
    file_ = fs->Open(path_, writable_ ? OpenMode::kReadWrite : OpenMode::kRead);
    bool locked = exclusive_ ? file_->TryLockExclusive() : file_->TryLockShared();
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
  for (int b = 0x80; b < 0x100; ++b) {
    std::string u = cp_->Decode(std::string(1, static_cast<char>(b)));
    high_len_[b - 0x80] = static_cast<uint8_t>(std::min<size_t>(u.size(), 4));
    std::memcpy(high_utf8_[b - 0x80].data(), u.data(), high_len_[b - 0x80]);
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
    // Some writers leave a descriptor of no bytes after the last field: it holds nothing.
    if (len == 0 && (letter == '0' || static_cast<unsigned char>(letter) == 216 || letter == '\0') &&
        pos + width < header_length_ && (h[pos + width] == 0x0D || h[pos + width] == 0x0A)) {
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
  if (memo_fields && !foxpro_) {
    std::string dbt = FindCompanion(path_, "DBT");
    if (dbt.empty())
      throw EngineError(err::kNoSuchFile,
                        "Falta el fichero de memos de la tabla (.DBT). Restáurelo desde una copia de seguridad.",
                        {CtxTable(path_), CtxFile(CompanionToCreate(path_, "DBT"))});
    MemoLayout layout = version_ == 0x83 ? MemoLayout::kDbase3 : MemoLayout::kDbase4;
    try {
      memo_ = MemoFile::Open(dbt, path_, layout, writable_);
    } catch (EngineError& e) {
      e.With(CtxTable(path_));
      throw;
    }
  }
  if (has_mdx_) {
    std::string mdx = FindCompanion(path_, "MDX");
    if (mdx.empty())
      throw EngineError(err::kNoSuchFile,
                        "Falta el índice de producción de la tabla (.MDX). Restáurelo desde una copia de "
                        "seguridad.",
                        {CtxTable(path_), CtxFile(CompanionToCreate(path_, "MDX"))});
    try {
      mdx_ = MdxIndex::Open(mdx, fields_, *cp_, writable_, KeyCollation());
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
// Rows

void DbfTable::RequireWritable() const {
  if (!writable_)
    throw EngineError(err::kInvalidParam,
                      foxpro_ ? "Las tablas FoxPro solo se pueden leer." : "La tabla está abierta solo para lectura.",
                      {CtxTable(path_)});
}

void DbfTable::CheckRecordNumber(uint64_t recno) const {
  if (recno < 1 || recno > count_)
    throw EngineError(err::kEndOfTable,
                      "El registro " + std::to_string(recno) + " no existe (la tabla tiene " +
                          std::to_string(count_) + ").",
                      {CtxTable(path_), CtxRecord(recno)});
}

void DbfTable::CheckBuffer(const std::string& buf) const {
  if (buf.size() != record_length_)
    throw EngineError(err::kInternal,
                      "El registro mide " + std::to_string(buf.size()) + " bytes y la tabla espera " +
                          std::to_string(record_length_) + ".",
                      {CtxTable(path_)});
}

void DbfTable::ReadRecord(uint64_t recno, std::string* buf) {
  CheckRecordNumber(recno);
  if (bulk_) WriteBulk();
  uint64_t off = RecordOffset(recno);
  if (off < cache_offset_ || off + record_length_ > cache_offset_ + cache_.size()) {
    uint64_t end = static_cast<uint64_t>(header_length_) + count_ * record_length_;
    uint64_t want = std::max<uint64_t>(record_length_, kCacheBytes / record_length_ * record_length_);
    want = std::min(want, end - off);
    cache_.resize(static_cast<size_t>(want));
    cache_offset_ = off;
    try {
      ReadExactly(*file_, off, cache_.data(), cache_.size());
    } catch (EngineError& e) {
      cache_.clear();
      e.With(CtxTable(path_));
      throw;
    }
  }
  buf->assign(cache_, static_cast<size_t>(off - cache_offset_), record_length_);
}

// Table text to UTF-8, as the code page decodes it, through a table made once at opening: rows
// are decoded by the million when a table is copied.
std::string DbfTable::DecodeText(std::string_view bytes) const {
  if (bytes.size() <= 254) {  // a character field: one pass through a buffer on the stack
    char tmp[254 * 4];
    char* p = tmp;
    for (unsigned char c : bytes) {
      if (c < 0x80) {
        *p++ = static_cast<char>(c);
      } else {
        std::memcpy(p, high_utf8_[c - 0x80].data(), 4);
        p += high_len_[c - 0x80];
      }
    }
    return std::string(tmp, static_cast<size_t>(p - tmp));
  }
  size_t n = 0;
  for (unsigned char c : bytes) n += c < 0x80 ? 1 : high_len_[c - 0x80];
  std::string out(n, '\0');
  char* p = out.data();
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      *p++ = static_cast<char>(c);
    } else {
      std::memcpy(p, high_utf8_[c - 0x80].data(), high_len_[c - 0x80]);
      p += high_len_[c - 0x80];
    }
  }
  return out;
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

uint64_t DbfTable::MemoBlock(const std::string& buf, int field) const {
  const FieldSpec& f = fields_[static_cast<size_t>(field)];
  const char* p = buf.data() + f.offset;
  if (foxpro_ && f.length == 4) return GetU32(reinterpret_cast<const unsigned char*>(p));
  std::string t = Trim(std::string_view(p, f.length));
  uint64_t block = 0;
  for (char c : t) {
    if (c < '0' || c > '9')
      throw EngineError(err::kFileCorrupt,
                        "El puntero de memo «" + t + "» no es un número de bloque. Restaure una copia de seguridad.",
                        Ctx(field));
    block = block * 10 + static_cast<uint64_t>(c - '0');
  }
  return block;
}

Value DbfTable::GetValue(const std::string& buf, int field) {
  CheckBuffer(buf);
  if (field < 0 || static_cast<size_t>(field) >= fields_.size())
    throw EngineError(err::kInvalidParam, "Número de campo fuera de rango.", {CtxTable(path_)});
  const FieldSpec& f = fields_[static_cast<size_t>(field)];
  const char* p = buf.data() + f.offset;
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  std::string_view raw(p, f.length);
  auto corrupt = [&](const std::string& what) -> Value {
    throw EngineError(err::kFileCorrupt,
                      "El valor guardado «" + cp_->Decode(raw) + "» no es válido: " + what + ".",
                      Ctx(field));
  };
  switch (extra_[static_cast<size_t>(field)].letter) {
    case 'C': {
      size_t e = raw.size();
      static const char kBlanks[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
      while (e >= 8 && std::memcmp(raw.data() + e - 8, kBlanks, 8) == 0) e -= 8;
      while (e > 0 && (raw[e - 1] == ' ' || raw[e - 1] == '\0')) --e;
      if (e == 0) return Value::Null();
      return Value::Text(DecodeText(raw.substr(0, e)));
    }
    case 'N':
    case 'F': {
      size_t b = 0, e = raw.size();
      while (b < e && (raw[b] == ' ' || raw[b] == '\0')) ++b;
      while (e > b && (raw[e - 1] == ' ' || raw[e - 1] == '\0')) --e;
      if (b == e) return Value::Null();
      std::string_view t = raw.substr(b, e - b);
      double x = 0;
      if (!ParseDouble(t, &x) || !IsStoredNumber(t)) return corrupt("no es un número");
      return Value::Number(x, std::string(t));
    }
    case 'D': {
      std::string t = Trim(raw, std::string_view(" \0", 2));
      if (t.empty() || t == "00000000") return Value::Null();
      int64_t day = t.size() == 8 ? ParseDateText(t) : 0;
      if (day == 0) return corrupt("no es una fecha AAAAMMDD");
      return Value::Date(day);
    }
    case 'L':
      switch (p[0]) {
        case 'T': case 't': case 'Y': case 'y': return Value::Logical(true);
        case 'F': case 'f': case 'N': case 'n': return Value::Logical(false);
        default: return Value::Null();
      }
    case 'M':
    case 'G':
    case 'B': {
      char letter = extra_[static_cast<size_t>(field)].letter;
      if (foxpro_ && letter == 'B') {
        uint64_t bits = 0;
        for (int i = 7; i >= 0; --i) bits = bits << 8 | u[i];
        return Value::Number(std::bit_cast<double>(bits));
      }
      if (foxpro_)
        throw EngineError(err::kNotSupported, "Los memos de las tablas FoxPro (.FPT) no se leen.", Ctx(field));
      uint64_t block = MemoBlock(buf, field);
      if (block == 0) return Value::Null();
      if (!memo_)
        throw EngineError(err::kNoSuchFile, "La tabla no tiene fichero de memos.", Ctx(field));
      std::string data;
      try {
        data = memo_->Read(block);
      } catch (EngineError& e) {
        e.With(CtxField(f.name));
        throw;
      }
      if (letter == 'M') return Value::Text(DecodeText(data));
      return Value::Binary(std::move(data));
    }
    case 'I':
      if (foxpro_) return Value::Integer(static_cast<int32_t>(GetU32(u)));
      [[fallthrough]];
    case '+':
      if (AllZero(p, 4)) return Value::Null();
      return Value::Integer(static_cast<int32_t>(static_cast<uint32_t>(GetBE(u, 4)) ^ 0x80000000u));
    case 'O':
      if (AllZero(p, 8)) return Value::Null();
      return Value::Number(DecodeOrderedDouble(u));
    case '@': {
      if (AllZero(p, 8)) return Value::Null();
      double ms = std::bit_cast<double>(GetBE(u, 8));
      if (!std::isfinite(ms) || ms < 0 || ms > 3.2e14) return corrupt("no es una fecha y hora");
      return Value::Timestamp(std::llround(ms));
    }
    case 'Y': {
      uint64_t bits = 0;
      for (int i = 7; i >= 0; --i) bits = bits << 8 | u[i];
      auto n = static_cast<int64_t>(bits);
      bool neg = n < 0;
      uint64_t mag = neg ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
      std::string digits = std::to_string(mag);
      if (digits.size() < 5) digits.insert(0, 5 - digits.size(), '0');
      std::string text = (neg ? "-" : "") + digits.substr(0, digits.size() - 4) + "." + digits.substr(digits.size() - 4);
      return Value::Number(static_cast<double>(n) / 10000.0, text);
    }
    case 'T': {
      uint32_t jd = GetU32(u), ms = GetU32(u + 4);
      if (jd == 0 && ms == 0) return Value::Null();
      if (jd < 1721426 || ms >= kMsPerDay) return corrupt("no es una fecha y hora");
      return Value::Timestamp(DayFromJulian(jd) * kMsPerDay + ms);
    }
    default:
      return Value::Binary(std::string(raw));
  }
}

void DbfTable::Refuse(DBIResult code, int field, const std::string& what, const Value& v) const {
  std::string shown = v.ToDisplay();
  if (shown.size() > 60) shown = shown.substr(0, 57) + "...";
  throw EngineError(code,
                    "El valor «" + shown + "» no se puede guardar en el campo " +
                        fields_[static_cast<size_t>(field)].name + ": " + what + ".",
                    Ctx(field));
}

void DbfTable::SetValue(std::string* buf, int field, const Value& v) {
  CheckBuffer(*buf);
  if (field < 0 || static_cast<size_t>(field) >= fields_.size())
    throw EngineError(err::kInvalidParam, "Número de campo fuera de rango.", {CtxTable(path_)});
  if (foxpro_) RequireWritable();
  const FieldSpec& f = fields_[static_cast<size_t>(field)];
  char letter = extra_[static_cast<size_t>(field)].letter;
  char* p = buf->data() + f.offset;
  const size_t n = f.length;
  using K = Value::Kind;

  // The exact decimal text of a numeric value (or of numeric text); empty for null.
  auto decimal_of = [&](Decimal* d) -> bool {
    std::string t;
    switch (v.kind) {
      case K::Null: return false;
      case K::Integer: t = std::to_string(v.i); break;
      case K::Number:
        if (!v.s.empty()) t = Trim(v.s, " ");
        else {
          if (!std::isfinite(v.d)) Refuse(err::kConversion, field, "no es un número finito", v);
          t = ShortestFixed(v.d);
        }
        break;
      case K::Text: {
        t = Trim(v.s, " ");
        if (t.empty()) return false;
        break;
      }
      default: Refuse(err::kConversion, field, "no es un número", v);
    }
    if (ParseDecimal(t, d)) return true;
    double x = 0;
    if (ParseDouble(t, &x) && std::isfinite(x) && ParseDecimal(ShortestFixed(x), d)) return true;
    Refuse(err::kConversion, field, "no es un número", v);
  };

  switch (letter) {
    case 'C': {
      std::string text;
      switch (v.kind) {
        case K::Null: break;
        case K::Text: text = v.s; break;
        case K::Binary: Refuse(err::kConversion, field, "un dato binario no cabe en un campo de texto", v);
        case K::Number:  // as the number was written, "12.50" rather than "12.5"
          text = v.s.empty() ? v.ToDisplay() : Trim(v.s, " ");
          break;
        default: text = v.ToDisplay(); break;
      }
      std::optional<std::string> enc = cp_->Encode(text);
      if (!enc)
        Refuse(err::kConversion, field,
               "contiene caracteres que no existen en la página de códigos " + std::to_string(cp_->number()), v);
      if (enc->size() > n)
        Refuse(err::kValueOutOfRange, field,
               "mide " + std::to_string(enc->size()) + " caracteres y el campo admite " + std::to_string(n), v);
      std::memset(p, ' ', n);
      std::memcpy(p, enc->data(), enc->size());
      return;
    }
    case 'N':
    case 'F': {
      Decimal d;
      if (!decimal_of(&d)) {
        std::memset(p, ' ', n);
        return;
      }
      std::string t = RoundDecimal(d, f.decimals);
      if (t.size() > n && f.decimals > 0) {
        // "0.50" in three places is written ".50".
        size_t z = t[0] == '-' ? 1 : 0;
        if (t.compare(z, 2, "0.") == 0) t.erase(z, 1);
      }
      if (t.size() > n)
        Refuse(err::kValueOutOfRange, field,
               "tiene demasiadas cifras para un campo de " + std::to_string(n) + " posiciones y " +
                   std::to_string(f.decimals) + " decimales",
               v);
      std::memset(p, ' ', n);
      std::memcpy(p + n - t.size(), t.data(), t.size());
      return;
    }
    case 'D': {
      int64_t day = 0;
      switch (v.kind) {
        case K::Null: std::memset(p, ' ', n); return;
        case K::Date: day = v.i; break;
        case K::Timestamp: day = v.i >= 0 ? v.i / kMsPerDay : -1; break;
        case K::Text:
          if (Trim(v.s, " ").empty()) {
            std::memset(p, ' ', n);
            return;
          }
          day = ParseDateText(Trim(v.s, " "));
          if (day == 0) Refuse(err::kConversion, field, "no es una fecha", v);
          break;
        default: Refuse(err::kConversion, field, "no es una fecha", v);
      }
      if (day < 1 || day > DayFromCivil(9999, 12, 31))
        Refuse(err::kValueOutOfRange, field, "la fecha está fuera del intervalo 0001-01-01 a 9999-12-31", v);
      int y, m, dd;
      CivilFromDay(day, &y, &m, &dd);
      std::memcpy(p, FormatDate(y, m, dd).data(), 8);
      return;
    }
    case 'L': {
      char c = ' ';
      switch (v.kind) {
        case K::Null: break;
        case K::Logical: case K::Integer: c = v.i ? 'T' : 'F'; break;
        case K::Text: {
          std::string t = UpperAscii(Trim(v.s, " "));
          if (t.empty()) break;
          if (t == "T" || t == "Y" || t == "S" || t == "SI" || t == "SÍ" || t == "TRUE") c = 'T';
          else if (t == "F" || t == "N" || t == "NO" || t == "FALSE") c = 'F';
          else Refuse(err::kConversion, field, "no es un valor lógico", v);
          break;
        }
        default: Refuse(err::kConversion, field, "no es un valor lógico", v);
      }
      p[0] = c;
      return;
    }
    case 'M':
    case 'B':
    case 'G': {
      std::string data;
      switch (v.kind) {
        case K::Null: break;
        case K::Binary: data = v.s; break;
        case K::Text:
          if (letter == 'M') {
            std::optional<std::string> enc = cp_->Encode(v.s);
            if (!enc)
              Refuse(err::kConversion, field,
                     "contiene caracteres que no existen en la página de códigos " + std::to_string(cp_->number()), v);
            data = *enc;
          } else {
            data = v.s;
          }
          break;
        default:
          if (letter != 'M') Refuse(err::kConversion, field, "no es un dato binario", v);
          data = v.ToDisplay();
          break;
      }
      StoreMemo(buf, field, data, v);
      return;
    }
    case 'I':
    case '+': {
      Decimal d;
      if (!decimal_of(&d)) {
        std::memset(p, 0, 4);
        return;
      }
      std::string t = RoundDecimal(d, 0);
      int64_t x = 0;
      auto r = std::from_chars(t.data(), t.data() + t.size(), x);
      if (r.ec != std::errc() || x < -2147483647 || x > 2147483647)
        Refuse(err::kValueOutOfRange, field, "está fuera del intervalo de un entero de 32 bits", v);
      PutBE(p, static_cast<uint32_t>(static_cast<int32_t>(x)) ^ 0x80000000u, 4);
      return;
    }
    case 'O': {
      double x = 0;
      switch (v.kind) {
        case K::Null: std::memset(p, 0, 8); return;
        case K::Integer: x = static_cast<double>(v.i); break;
        case K::Number:
          x = v.d;
          if (!v.s.empty() && !ParseDouble(Trim(v.s, " "), &x)) Refuse(err::kConversion, field, "no es un número", v);
          break;
        case K::Text: {
          std::string t = Trim(v.s, " ");
          if (t.empty()) {
            std::memset(p, 0, 8);
            return;
          }
          std::replace(t.begin(), t.end(), ',', '.');
          if (!ParseDouble(t, &x)) Refuse(err::kConversion, field, "no es un número", v);
          break;
        }
        default: Refuse(err::kConversion, field, "no es un número", v);
      }
      if (!std::isfinite(x)) Refuse(err::kValueOutOfRange, field, "no es un número finito", v);
      EncodeOrderedDouble(p, x);
      return;
    }
    case '@': {
      int64_t ms = 0;
      switch (v.kind) {
        case K::Null: std::memset(p, 0, 8); return;
        case K::Timestamp: ms = v.i; break;
        case K::Date: ms = v.i * kMsPerDay; break;
        case K::Text: {
          std::string t = Trim(v.s, " ");
          if (t.empty()) {
            std::memset(p, 0, 8);
            return;
          }
          int64_t day = ParseDateText(t.substr(0, 10));
          int hh = 0, mi = 0, ss = 0;
          if (day == 0 || (t.size() > 10 && std::sscanf(t.c_str() + 10, " %d:%d:%d", &hh, &mi, &ss) != 3) ||
              hh > 23 || mi > 59 || ss > 59 || hh < 0 || mi < 0 || ss < 0)
            Refuse(err::kConversion, field, "no es una fecha y hora", v);
          ms = day * kMsPerDay + (hh * 3600 + mi * 60 + ss) * 1000;
          break;
        }
        default: Refuse(err::kConversion, field, "no es una fecha y hora", v);
      }
      if (ms < kMsPerDay || ms >= (DayFromCivil(9999, 12, 31) + 1) * kMsPerDay)
        Refuse(err::kValueOutOfRange, field, "la fecha está fuera del intervalo 0001-01-01 a 9999-12-31", v);
      PutBE(p, std::bit_cast<uint64_t>(static_cast<double>(ms)), 8);
      return;
    }
    default:
      RequireWritable();
      Refuse(err::kNotSupported, field, "el tipo de campo no admite escritura", v);
  }
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
    if (bulk_buf_.empty()) bulk_first_ = recno;
    bulk_buf_ += buf;
    count_ = recno;
    dirty_ = true;
    if (bulk_buf_.size() >= (1u << 20)) WriteBulk();
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

void DbfTable::WriteBulk() {
  if (bulk_buf_.empty()) return;
  file_->WriteAt(RecordOffset(bulk_first_), bulk_buf_.data(), bulk_buf_.size());
  // The rows of a bulk append are final: the disk may take them while more are prepared.
  file_->StartWriteback(RecordOffset(bulk_first_), bulk_buf_.size());
  bulk_buf_.clear();
}

void DbfTable::EndBulkAppend() {
  if (!bulk_) return;
  if (memo_) memo_->EndBulk();
  WriteBulk();
  bulk_ = false;
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

}  // namespace engine::dbase

namespace engine::dbase {

void DbfTable::DescribeForRecreate(TableDefinition* def) const {
  def->dbase_version = version_;
  def->language_driver = ldid_;
  def->driver_name = driver_name_;
}

}  // namespace engine::dbase

namespace engine::dbase {

IndexCheckReport CheckTableIndexes(const std::string& dbf_path) {
  OpenOptions opts;
  opts.read_only = true;
  auto table = DbfTable::Open(dbf_path, opts, false);
  if (!table->HasIndex()) return {};
  TableRows rows(table.get());
  return table->CheckIndex(rows);
}

void FinishRestructuredIndex(const std::string& old_mdx, const std::string& new_path,
                             const std::vector<TagPlan>& plan, const std::vector<uint64_t>& recno_map) {
  std::string mdx_path;
  {
    OpenOptions opts;
    opts.exclusive = true;
    auto table = DbfTable::Open(new_path, opts, false);
    TableRows rows(table.get());
    mdx_path = CompanionToCreate(new_path, "MDX");
    RewriteIndex(old_mdx, mdx_path, BaseNameNoExt(new_path), plan, recno_map, table->Fields(), table->Codepage(), rows,
                 table->KeyCollation());
  }
  // Announce the index in the table's header (byte 28), durably.
  auto f = CurrentFileSystem()->Open(new_path, OpenMode::kReadWrite);
  const char flag = 0x01;
  f->WriteAt(28, &flag, 1);
  f->Sync();
}

}  // namespace engine::dbase

namespace engine::dbase {

// Writes memo bytes to the memo file and their block number into the field ("" leaves it blank).
void DbfTable::StoreMemo(std::string* buf, int field, const std::string& data, const Value& shown) {
  const FieldSpec& f = fields_[static_cast<size_t>(field)];
  char* p = buf->data() + f.offset;
  const size_t n = f.length;
  std::memset(p, ' ', n);
  if (data.empty()) return;
  RequireWritable();
  if (!memo_) throw EngineError(err::kNoSuchFile, "La tabla no tiene fichero de memos.", Ctx(field));
  uint64_t block = memo_->Write(data);
  std::string num = std::to_string(block);
  if (num.size() > n) Refuse(err::kTableFull, field, "el fichero de memos está lleno", shown);
  if (level_ == 7) num.insert(0, n - num.size(), '0');
  std::memcpy(p + n - num.size(), num.data(), num.size());
}

std::optional<std::string> DbfTable::GetBlobBytes(const std::string& buf, int field) {
  CheckBuffer(buf);
  if (foxpro_ || field < 0 || static_cast<size_t>(field) >= fields_.size() ||
      !IsMemoLetter(extra_[static_cast<size_t>(field)].letter))
    return std::nullopt;
  uint64_t block = MemoBlock(buf, field);
  if (block == 0) return std::string();
  if (!memo_) throw EngineError(err::kNoSuchFile, "La tabla no tiene fichero de memos.", Ctx(field));
  try {
    return memo_->Read(block);
  } catch (EngineError& e) {
    e.With(CtxField(fields_[static_cast<size_t>(field)].name));
    throw;
  }
}

bool DbfTable::SetBlobBytes(std::string* buf, int field, const std::string& bytes) {
  CheckBuffer(*buf);
  if (foxpro_ || field < 0 || static_cast<size_t>(field) >= fields_.size() ||
      !IsMemoLetter(extra_[static_cast<size_t>(field)].letter))
    return false;
  StoreMemo(buf, field, bytes, Value::Binary(bytes));
  return true;
}

}  // namespace engine::dbase
