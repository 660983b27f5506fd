// The values of a .DBF record's fields: each field type decoded from its stored bytes and
// encoded back from a Value, with the decimal and date text that dBASE stores, and memo fields
// through the memo file.
#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>

#include "engine/dbase/dbf.h"
#include "engine/dbase/dbf_internal.h"
#include "engine/dbase/stored_text.h"
#include "engine/error.h"

namespace engine::dbase {

using namespace dbf_internal;
using stored_text::ParseDouble;

namespace {

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

// The shortest fixed-notation text that reads back as d.
std::string ShortestFixed(double d) {
  char buf[512];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  return std::string(buf, r.ptr);
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

// The stored timestamps GetValue reads (a blank one aside): level 7's milliseconds from day 1
// (a double), FoxPro's Julian day and milliseconds of that day.
bool MillisecondsRead(double ms) { return std::isfinite(ms) && ms >= 0 && ms <= 3.2e14; }
bool JulianStampReads(uint32_t jd, uint32_t ms) { return jd >= 1721426 && ms < kMsPerDay; }

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

}  // namespace

namespace dbf_internal {

void Today(int* y, int* m, int* d) {
  auto now = std::chrono::system_clock::now();
  int64_t days = std::chrono::duration_cast<std::chrono::hours>(now.time_since_epoch()).count() / 24;
  CivilFromDay(days + 719163, y, m, d);
}

}  // namespace dbf_internal

// Puts n bytes in a string that is reused from row to row (resize keeps its storage).
inline void SetBytes(std::string* out, const char* p, size_t n) {
  out->resize(n);
  std::memcpy(out->data(), p, n);
}

// Table text to UTF-8, as the code page decodes it, through a table made once at opening: rows
// are decoded by the million when a table is copied. `out` keeps its storage from row to row.
void DbfTable::DecodeText(std::string_view bytes, std::string* out) const {
  // Most text is plain ASCII, which is its own UTF-8: looked for eight bytes at a time (the
  // last eight bytes for the ones past the last whole word).
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  const char* const s = bytes.data();
  const size_t n = bytes.size();
  bool ascii = true;
  if (stored_text::kWordWise && n >= 8) {
    size_t i = 0;
    for (; ascii && i + 8 <= n; i += 8) ascii = !(stored_text::LoadWord(s + i) & kHigh);
    if (ascii && i < n) ascii = !(stored_text::LoadWord(s + n - 8) & kHigh);
  } else {
    for (size_t i = 0; ascii && i < n; ++i) ascii = static_cast<unsigned char>(s[i]) < 0x80;
  }
  if (ascii) {
    SetBytes(out, s, n);
    return;
  }
  // Every other byte has its UTF-8 in a table of four bytes and a length: written whole, then
  // the cursor moves by the length, with no branch per byte. The ASCII between such bytes is
  // copied a word at a time: the word is stored whole and the cursor moves past its ASCII bytes
  // only, so the output needs 8 bytes to spare. Fewer than eight bytes before the end are taken
  // from the text's last word, shifted past the ones already done.
  auto decode = [&](char* p) {
    for (size_t i = 0; i < n;) {
      if (stored_text::kWordWise && n >= 8) {
        const size_t left = n - i;
        const uint64_t word = left >= 8 ? stored_text::LoadWord(s + i) : stored_text::LoadWord(s + n - 8) >> (64 - 8 * left);
        std::memcpy(p, &word, 8);
        const uint64_t high = word & kHigh;
        const size_t run = high ? static_cast<size_t>(std::countr_zero(high) / 8) : std::min<size_t>(left, 8);
        p += run;
        i += run;
        if (!high) continue;
      } else if (static_cast<unsigned char>(s[i]) < 0x80) {
        *p++ = s[i++];
        continue;
      }
      const auto c = static_cast<unsigned char>(s[i++]);
      std::memcpy(p, utf8_[c].data(), 4);
      p += utf8_len_[c];
    }
    return p;
  };
  if (bytes.size() <= 254) {  // a character field: through a buffer on the stack
    char tmp[254 * 4 + 8];
    SetBytes(out, tmp, static_cast<size_t>(decode(tmp) - tmp));
    return;
  }
  size_t room = 0;
  for (unsigned char c : bytes) room += utf8_len_[c];
  out->resize(room + 8);
  out->resize(static_cast<size_t>(decode(out->data()) - out->data()));
}

std::string DbfTable::DecodeText(std::string_view bytes) const {
  std::string out;
  DecodeText(bytes, &out);
  return out;
}

uint64_t DbfTable::MemoBlock(const char* row, int field) const {
  const FieldSpec& f = fields_[static_cast<size_t>(field)];
  const char* p = row + f.offset;
  if (foxpro_ && f.length == 4) return GetU32(reinterpret_cast<const unsigned char*>(p));
  std::string_view t(p, f.length);
  while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  uint64_t block = 0;
  for (char c : t) {
    if (c < '0' || c > '9')
      throw EngineError(err::kFileCorrupt,
                        "El puntero de memo «" + std::string(t) +
                            "» no es un número de bloque. Restaure una copia de seguridad.",
                        Ctx(field));
    block = block * 10 + static_cast<uint64_t>(c - '0');
  }
  return block;
}

void DbfTable::CorruptValue(int field, std::string_view raw, const std::string& what) const {
  throw EngineError(err::kFileCorrupt, "El valor guardado «" + cp_->Decode(raw) + "» no es válido: " + what + ".",
                    Ctx(field));
}

std::string_view DbfTable::StoredNumber(int field, const char* raw, double* out) const {
  const FieldSpec& f = fields_[static_cast<size_t>(field)];
  const size_t b = stored_text::TrimmedBegin(raw, f.length);
  if (b == f.length) return {};
  const std::string_view t(raw + b, stored_text::TrimmedEnd(raw + b, f.length - b));
  const bool read = out ? stored_text::ReadStoredNumber(t, f.decimals, out) : stored_text::IsStoredNumber(t, f.decimals);
  if (!read) CorruptValue(field, std::string_view(raw, f.length), "no es un número");
  return t;
}

// Character and number fields, the ones read by the million, are decoded into a Value whose
// text storage is reused from row to row.
void DbfTable::ReadValue(const std::string& buf, int field, Value* out) {
  CheckBuffer(buf);
  const char letter = field >= 0 && static_cast<size_t>(field) < fields_.size() ? extra_[static_cast<size_t>(field)].letter : 0;
  if (letter != 'C' && letter != 'N' && letter != 'F') {
    *out = GetValue(buf, field);
    return;
  }
  const FieldSpec& f = fields_[static_cast<size_t>(field)];
  const char* const raw = buf.data() + f.offset;
  out->i = 0;
  out->d = 0;
  if (letter == 'C') {
    const size_t e = stored_text::TrimmedEnd(raw, f.length);
    if (e == 0) {
      out->kind = Value::Kind::Null;
      out->s.clear();
      return;
    }
    out->kind = Value::Kind::Text;
    DecodeText(std::string_view(raw, e), &out->s);
    return;
  }
  out->s.clear();
  const std::string_view t = StoredNumber(field, raw, &out->d);
  if (t.empty()) {
    out->kind = Value::Kind::Null;
    return;
  }
  out->kind = Value::Kind::Number;
  out->s.append(t);  // onto the cleared text: cheaper than assign for a string reused row to row
}

uint64_t DbfTable::MemoToRead(const char* row, int field) const {
  if (foxpro_)
    throw EngineError(err::kNotSupported, "Los memos de las tablas FoxPro (.FPT) no se leen.", Ctx(field));
  const uint64_t block = MemoBlock(row, field);
  if (block != 0 && !memo_) throw EngineError(err::kNoSuchFile, "La tabla no tiene fichero de memos.", Ctx(field));
  return block;
}

std::optional<std::string> DbfTable::MemoData(const std::string& buf, int field) const {
  const uint64_t block = MemoToRead(buf.data(), field);
  if (block == 0) return std::nullopt;
  try {
    return memo_->Read(block);
  } catch (EngineError& e) {
    e.With(CtxField(fields_[static_cast<size_t>(field)].name));
    throw;
  }
}

void DbfTable::CheckValue(const std::string& buf, int field) {
  CheckBuffer(buf);
  CheckStored(buf.data(), field);
}

void DbfTable::CheckValueIn(std::string_view record, int field) {
  if (record.size() != record_length_) WrongBufferSize(record.size());
  CheckStored(record.data(), field);
}

namespace {

// A date field's day: blanks (spaces and NULs) around eight digits of a day from 0001-01-01 on;
// 0 for blanks alone or "00000000" (a null `day`: only checked). False when the bytes are no
// such date.
bool StoredDay(const char* p, size_t n, int64_t* day) {
  if (day) *day = 0;
  size_t b = 0, e = n;
  while (b < e && (p[b] == ' ' || p[b] == '\0')) ++b;
  while (e > b && (p[e - 1] == ' ' || p[e - 1] == '\0')) --e;
  if (b == e) return true;
  if (e - b != 8) return false;
  int part[3] = {0, 0, 0};  // year, month, day
  for (size_t i = 0; i < 8; ++i) {
    const char c = p[b + i];
    if (c < '0' || c > '9') return false;
    int& to = part[i < 4 ? 0 : i < 6 ? 1 : 2];
    to = to * 10 + (c - '0');
  }
  if (part[0] == 0 && part[1] == 0 && part[2] == 0) return true;
  if (part[0] < 1 || !IsValidCivil(part[0], part[1], part[2])) return false;
  if (day) *day = DayFromCivil(part[0], part[1], part[2]);
  return true;
}

}  // namespace

bool DbfTable::CheckCanRefuse(int field) const {
  if (field < 0 || static_cast<size_t>(field) >= fields_.size()) return true;
  switch (extra_[static_cast<size_t>(field)].letter) {  // the cases of CheckStored that refuse
    case 'N': case 'F': case 'D': case 'M': case 'G': case '@': case 'T':
      return true;
    case 'B':
      return !foxpro_;
    default:
      return false;
  }
}

void DbfTable::CheckStored(const char* row, int field) const {
  if (field < 0 || static_cast<size_t>(field) >= fields_.size())
    throw EngineError(err::kInvalidParam, "Número de campo fuera de rango.", {CtxTable(path_)});
  const FieldSpec& f = fields_[static_cast<size_t>(field)];
  const char* p = row + f.offset;
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  // The refusals of GetValue, case by case; every other field type reads any bytes.
  switch (const char letter = extra_[static_cast<size_t>(field)].letter) {
    case 'N':
    case 'F': {
      StoredNumber(field, p, nullptr);
      return;
    }
    case 'D':
      if (!StoredDay(p, f.length, nullptr)) CorruptValue(field, std::string_view(p, f.length), "no es una fecha AAAAMMDD");
      return;
    case 'M':
    case 'G':
    case 'B': {
      if (foxpro_ && letter == 'B') return;  // a double
      const uint64_t block = MemoToRead(row, field);
      if (block == 0) return;
      try {
        memo_->Check(block);
      } catch (EngineError& e) {
        e.With(CtxField(f.name));
        throw;
      }
      return;
    }
    case '@': {
      if (AllZero(p, 8)) return;
      if (!MillisecondsRead(std::bit_cast<double>(GetBE(u, 8))))
        CorruptValue(field, std::string_view(p, f.length), "no es una fecha y hora");
      return;
    }
    case 'T': {
      const uint32_t jd = GetU32(u), ms = GetU32(u + 4);
      if ((jd != 0 || ms != 0) && !JulianStampReads(jd, ms))
        CorruptValue(field, std::string_view(p, f.length), "no es una fecha y hora");
      return;
    }
    default:
      return;
  }
}

Value DbfTable::GetValue(const std::string& buf, int field) {
  CheckBuffer(buf);
  if (field < 0 || static_cast<size_t>(field) >= fields_.size())
    throw EngineError(err::kInvalidParam, "Número de campo fuera de rango.", {CtxTable(path_)});
  const FieldSpec& f = fields_[static_cast<size_t>(field)];
  const char* p = buf.data() + f.offset;
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  std::string_view raw(p, f.length);
  auto corrupt = [&](const std::string& what) -> Value { CorruptValue(field, raw, what); };
  switch (extra_[static_cast<size_t>(field)].letter) {
    case 'C':
    case 'N':
    case 'F': {
      Value v;
      ReadValue(buf, field, &v);
      return v;
    }
    case 'D': {
      int64_t day;
      if (!StoredDay(p, f.length, &day)) return corrupt("no es una fecha AAAAMMDD");
      return day ? Value::Date(day) : Value::Null();
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
      std::optional<std::string> data = MemoData(buf, field);
      if (!data) return Value::Null();
      if (letter == 'M') return Value::Text(DecodeText(*data));
      return Value::Binary(std::move(*data));
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
      if (!MillisecondsRead(ms)) return corrupt("no es una fecha y hora");
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
      // Appended piece by piece: "literal" + std::string&& trips GCC 12's -Wrestrict at -O3.
      std::string text = neg ? "-" : "";
      text.append(digits, 0, digits.size() - 4).append(1, '.').append(digits, digits.size() - 4, 4);
      return Value::Number(static_cast<double>(n) / 10000.0, text);
    }
    case 'T': {
      uint32_t jd = GetU32(u), ms = GetU32(u + 4);
      if (jd == 0 && ms == 0) return Value::Null();
      if (!JulianStampReads(jd, ms)) return corrupt("no es una fecha y hora");
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

// Writes memo bytes to the memo file and their block number into the field ("" leaves it blank).
void DbfTable::StoreMemo(std::string* buf, int field, const std::string& data, const Value& shown) {
  const FieldSpec& f = fields_[static_cast<size_t>(field)];
  char* p = buf->data() + f.offset;
  const size_t n = f.length;
  std::memset(p, ' ', n);
  if (data.empty()) return;
  RequireWritable();
  if (!memo_) throw EngineError(err::kNoSuchFile, "La tabla no tiene fichero de memos.", Ctx(field));
  if (!PutMemoBlock(p, field, memo_->Write(data))) Refuse(err::kTableFull, field, "el fichero de memos está lleno", shown);
}

// Writes a memo's block number into its field's bytes (blanks before it, zeros at level 7);
// false when it does not fit.
bool DbfTable::PutMemoBlock(char* p, int field, uint64_t block) const {
  const size_t n = fields_[static_cast<size_t>(field)].length;
  char digits[20];  // last digit first
  size_t k = 0;
  do {
    digits[k++] = static_cast<char>('0' + block % 10);
    block /= 10;
  } while (block != 0);
  if (k > n) return false;
  if (level_ == 7) std::memset(p, '0', n - k);
  for (size_t i = 0; i < k; ++i) p[n - 1 - i] = digits[i];
  return true;
}

// Memos from another dBASE table's rows to this one's, from memo file to memo file.
class DbfTable::MemoCopier : public TableStorage::BlobCopier {
 public:
  MemoCopier(DbfTable& from, DbfTable& to) : from_(from), to_(to) {}
  void Copy(const char* from_row, int from_field, char* row, int field) override {
    if (!MemoField(from_, from_field) || !MemoField(to_, field))
      throw EngineError(err::kInternal, "Se ha pedido copiar un memo entre campos que no lo admiten.", to_.Ctx(field));
    const FieldSpec& f = to_.fields_[static_cast<size_t>(field)];
    char* p = row + f.offset;
    std::memset(p, ' ', f.length);
    const uint64_t block = from_.MemoBlock(from_row, from_field);
    if (block == 0) return;
    if (!from_.memo_) throw EngineError(err::kNoSuchFile, "La tabla no tiene fichero de memos.", from_.Ctx(from_field));
    to_.RequireWritable();
    if (!to_.memo_) throw EngineError(err::kNoSuchFile, "La tabla no tiene fichero de memos.", to_.Ctx(field));
    uint64_t copied = 0;
    try {
      copied = to_.memo_->CopyValue(*from_.memo_, block);
    } catch (EngineError& e) {
      e.With(CtxField(from_.fields_[static_cast<size_t>(from_field)].name));
      throw;
    }
    if (copied != 0 && !to_.PutMemoBlock(p, field, copied))
      to_.Refuse(err::kTableFull, field, "el fichero de memos está lleno", Value::Binary(from_.memo_->Read(block)));
  }

 private:
  static bool MemoField(const DbfTable& t, int i) {
    return i >= 0 && static_cast<size_t>(i) < t.fields_.size() && IsMemoLetter(t.extra_[static_cast<size_t>(i)].letter);
  }
  DbfTable& from_;
  DbfTable& to_;
};

std::unique_ptr<TableStorage::BlobCopier> DbfTable::BlobCopierFrom(TableStorage& from) {
  DbfTable* source = dynamic_cast<DbfTable*>(&from);
  if (!source || source->foxpro_ || foxpro_) return nullptr;
  return std::make_unique<MemoCopier>(*source, *this);
}

std::optional<std::string> DbfTable::GetBlobBytes(const std::string& buf, int field) {
  CheckBuffer(buf);
  if (foxpro_ || field < 0 || static_cast<size_t>(field) >= fields_.size() ||
      !IsMemoLetter(extra_[static_cast<size_t>(field)].letter))
    return std::nullopt;
  std::optional<std::string> data = MemoData(buf, field);
  return data ? std::move(*data) : std::string();
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
