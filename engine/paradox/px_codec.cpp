#include "engine/paradox/px_codec.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/bde.h"
#include "engine/error.h"

namespace engine::paradox {

namespace {

const PxType kTypes[] = {
    {0x01, 'A', bde::fldPDXCHAR, 3, false},       {0x02, 'D', bde::fldPDXDATE, 3, false},
    {0x03, 'S', bde::fldPDXSHORT, 3, false},      {0x04, 'I', bde::fldPDXLONG, 5, false},
    {0x05, '$', bde::fldPDXMONEY, 3, false},      {0x06, 'N', bde::fldPDXNUM, 3, false},
    {0x09, 'L', bde::fldPDXBOOL, 5, false},       {0x0C, 'M', bde::fldPDXMEMO, 4, true},
    {0x0D, 'B', bde::fldPDXBINARYBLOB, 4, true},  {0x0E, 'F', bde::fldPDXFMTMEMO, 4, true},
    {0x0F, 'O', bde::fldPDXOLEBLOB, 4, true},     {0x10, 'G', bde::fldPDXGRAPHIC, 4, true},
    {0x14, 'T', bde::fldPDXTIME, 5, false},       {0x15, '@', bde::fldPDXDATETIME, 5, false},
    {0x16, '+', bde::fldPDXAUTOINC, 5, false},    {0x17, '#', bde::fldPDXBCD, 5, false},
    {0x18, 'Y', bde::fldPDXBYTES, 5, false},
};

[[noreturn]] void Fail(DBIResult code, const std::string& msg) { throw EngineError(code, msg); }

bool AllZero(std::string_view b) {
  for (char c : b)
    if (c != 0) return false;
  return true;
}

uint64_t BigEndian(std::string_view b) {
  uint64_t v = 0;
  for (char c : b) v = (v << 8) | static_cast<uint8_t>(c);
  return v;
}

void PutBigEndian(uint64_t v, size_t n, char* out) {
  for (size_t i = 0; i < n; ++i) out[n - 1 - i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Integers of n bytes: two's complement with the top bit inverted.
int64_t DecodeInt(std::string_view b) {
  const size_t bits = b.size() * 8;
  uint64_t u = BigEndian(b) ^ (uint64_t{1} << (bits - 1));
  if (u & (uint64_t{1} << (bits - 1))) u |= ~uint64_t{0} << bits;  // sign-extend
  return static_cast<int64_t>(u);
}

void EncodeInt(int64_t v, size_t n, char* out) {
  const size_t bits = n * 8;
  uint64_t u = static_cast<uint64_t>(v);
  if (bits < 64) u &= (uint64_t{1} << bits) - 1;
  PutBigEndian(u ^ (uint64_t{1} << (bits - 1)), n, out);
}

double DecodeDouble(std::string_view b) {
  uint64_t u = BigEndian(b);
  if (u & (uint64_t{1} << 63))
    u &= ~(uint64_t{1} << 63);
  else
    u = ~u;
  return std::bit_cast<double>(u);
}

void EncodeDouble(double d, char* out) {
  if (!std::isfinite(d)) Fail(err::kValueOutOfRange, "El número no es finito.");
  if (d == 0) d = 0.0;  // no negative zero
  uint64_t u = std::bit_cast<uint64_t>(d);
  if (std::signbit(d))
    u = ~u;
  else
    u |= uint64_t{1} << 63;
  PutBigEndian(u, 8, out);
}

int64_t NeedInteger(const Value& v) {
  if (v.kind == Value::Kind::Integer) return v.i;
  if (v.kind == Value::Kind::Number && std::isfinite(v.d) && v.d == std::floor(v.d) &&
      std::fabs(v.d) < 9.2e18)
    return static_cast<int64_t>(v.d);
  Fail(err::kConversion, "El valor no es un número entero.");
}

double NeedNumber(const Value& v) {
  if (v.kind == Value::Kind::Number) return v.d;
  if (v.kind == Value::Kind::Integer) return static_cast<double>(v.i);
  Fail(err::kConversion, "El valor no es un número.");
}

}  // namespace

const PxType* TypeByCode(uint8_t code) {
  for (const auto& t : kTypes)
    if (t.code == code) return &t;
  return nullptr;
}

const PxType* TypeByPhysical(uint16_t physical) {
  for (const auto& t : kTypes)
    if (t.physical == physical) return &t;
  return nullptr;
}

uint32_t FieldLength(const PxType& t, uint32_t size) {
  switch (t.letter) {
    case 'A': case 'Y': return size >= 1 && size <= 255 ? size : 0;
    case 'D': case 'I': case 'T': case '+': return size == 4 ? 4 : 0;
    case 'S': return size == 2 ? 2 : 0;
    case '$': case 'N': case '@': return size == 8 ? 8 : 0;
    case 'L': return size == 1 ? 1 : 0;
    case '#': return size <= 32 ? 17 : 0;
    default: return size >= 10 && size <= 250 ? size : 0;  // blobs: leader (0-240) + 10
  }
}

std::string BcdToText(std::string_view b) {
  const uint8_t head = static_cast<uint8_t>(b[0]);
  const int places = head & 0x3F;
  const bool negative = (head & 0x80) == 0;
  char nib[32];
  bool junk = false;
  for (int i = 0; i < 32; ++i) {
    uint8_t byte = static_cast<uint8_t>(b[1 + i / 2]);
    if (negative) byte ^= 0xFF;
    uint8_t n = (i % 2 == 0) ? (byte >> 4) : (byte & 0x0F);
    if (n > 9) junk = true;  // the BDE leaves non-digits after ~20 significant digits
    nib[i] = junk ? '0' : static_cast<char>('0' + n);
  }
  const int int_digits = 32 - (places > 32 ? 32 : places);
  std::string ip(nib, nib + int_digits), fp(nib + int_digits, nib + 32);
  size_t z = ip.find_first_not_of('0');
  ip = z == std::string::npos ? "0" : ip.substr(z);
  while (!fp.empty() && fp.back() == '0') fp.pop_back();
  std::string text = ip;
  if (!fp.empty()) text += "." + fp;
  if (negative && text != "0") text = "-" + text;
  return text;
}

bool TextToBcd(std::string_view text, int places, char* out) {
  std::string t(text);
  if (t.find_first_of("eE") != std::string::npos) {
    char* end = nullptr;
    double d = std::strtod(t.c_str(), &end);
    if (end == t.c_str() || *end != 0 || !std::isfinite(d)) return false;
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", places, d);
    t = buf;
  }
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  std::string ip, fp;
  bool dot = false;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c == '.' && !dot) { dot = true; continue; }
    if (c < '0' || c > '9') return false;
    (dot ? fp : ip) += c;
  }
  if (ip.empty() && fp.empty()) return false;
  // Round half away from zero to `places` decimals.
  bool carry = fp.size() > static_cast<size_t>(places) && fp[places] >= '5';
  fp.resize(places, '0');
  std::string digits = ip + fp;
  for (size_t k = digits.size(); carry && k-- > 0;) {
    if (digits[k] == '9') {
      digits[k] = '0';
    } else {
      ++digits[k];
      carry = false;
    }
  }
  if (carry) digits.insert(digits.begin(), '1');
  if (digits.find_first_not_of('0') == std::string::npos) negative = false;
  std::string int_part = digits.substr(0, digits.size() - static_cast<size_t>(places));
  const std::string frac_part = digits.substr(int_part.size());
  size_t z = int_part.find_first_not_of('0');
  int_part = z == std::string::npos ? "" : int_part.substr(z);
  if (int_part.size() > static_cast<size_t>(32 - places)) return false;
  digits = int_part + frac_part;
  const size_t int_len = int_part.size();
  char nib[32];
  std::memset(nib, 0, sizeof nib);
  const size_t start = static_cast<size_t>(32 - places) - int_len;
  for (size_t k = 0; k < digits.size(); ++k) nib[start + k] = static_cast<char>(digits[k] - '0');
  out[0] = static_cast<char>((negative ? 0x00 : 0x80) | 0x40 | places);
  for (int k = 0; k < 16; ++k) {
    uint8_t byte = static_cast<uint8_t>((nib[2 * k] << 4) | nib[2 * k + 1]);
    if (negative) byte ^= 0xFF;
    out[1 + k] = static_cast<char>(byte);
  }
  return true;
}

Value DecodeField(const PxType& t, std::string_view b, uint32_t size, const CodePage& cp) {
  if (t.letter == '#') {
    if (static_cast<uint8_t>(b[0]) == 0) return Value::Null();
    if ((static_cast<uint8_t>(b[0]) & 0x3F) != size)
      Fail(err::kFileCorrupt, "El valor decimal (BCD) no tiene los decimales del campo.");
    std::string text = BcdToText(b);
    return Value::Number(std::strtod(text.c_str(), nullptr), text);
  }
  if (t.letter == 'A') {
    size_t n = b.find('\0');
    if (n == std::string_view::npos) n = b.size();
    if (n == 0) return Value::Null();
    return Value::Text(cp.Decode(b.substr(0, n)));
  }
  if (AllZero(b)) return Value::Null();
  switch (t.letter) {
    case 'Y': return Value::Binary(std::string(b));
    case 'S': case 'I': case '+': return Value::Integer(DecodeInt(b));
    case 'D': return Value::Date(DecodeInt(b));
    case 'T': {
      int64_t ms = DecodeInt(b);
      if (ms < 0 || ms >= kMsPerDay) Fail(err::kFileCorrupt, "La hora guardada no es válida.");
      return Value::Time(ms);
    }
    case '$': case 'N': return Value::Number(DecodeDouble(b));
    case '@': {
      double ms = DecodeDouble(b);
      if (!std::isfinite(ms) || std::fabs(ms) > 1e17)
        Fail(err::kFileCorrupt, "La fecha y hora guardada no es válida.");
      return Value::Timestamp(std::llround(ms));
    }
    case 'L': {
      uint8_t c = static_cast<uint8_t>(b[0]);
      if (c != 0x80 && c != 0x81) Fail(err::kFileCorrupt, "El valor lógico guardado no es válido.");
      return Value::Logical(c == 0x81);
    }
    default: break;
  }
  Fail(err::kInternal, "Tipo de campo Paradox no decodificable.");
}

void EncodeField(const PxType& t, const Value& v, uint32_t size, const CodePage& cp, char* out) {
  const uint32_t len = FieldLength(t, size);
  std::memset(out, 0, len);
  if (v.IsNull()) return;
  switch (t.letter) {
    case 'A': {
      if (v.kind != Value::Kind::Text) Fail(err::kConversion, "El campo alfanumérico solo admite texto.");
      auto bytes = cp.Encode(v.s);
      if (!bytes)
        Fail(err::kConversion, "El texto tiene caracteres que la página de códigos " +
                                   std::to_string(cp.number()) + " de la tabla no admite.");
      if (bytes->find('\0') != std::string::npos) Fail(err::kConversion, "El texto contiene un carácter nulo.");
      if (bytes->size() > len)
        Fail(err::kValueOutOfRange, "El texto tiene " + std::to_string(bytes->size()) +
                                        " caracteres y el campo admite " + std::to_string(len) + ".");
      std::memcpy(out, bytes->data(), bytes->size());
      return;
    }
    case 'Y': {
      if (v.kind != Value::Kind::Binary) Fail(err::kConversion, "El campo de bytes solo admite datos binarios.");
      if (v.s.size() > len) Fail(err::kValueOutOfRange, "Los datos no caben en el campo de bytes.");
      std::memcpy(out, v.s.data(), v.s.size());
      return;
    }
    case 'S': case 'I': case '+': {
      int64_t n = NeedInteger(v);
      int64_t lim = t.letter == 'S' ? 32767 : 2147483647;
      if (n < -lim || n > lim)
        Fail(err::kValueOutOfRange, "El número " + std::to_string(n) + " no cabe en el campo entero.");
      EncodeInt(n, len, out);
      return;
    }
    case 'D': {
      if (v.kind != Value::Kind::Date) Fail(err::kConversion, "El valor no es una fecha.");
      if (v.i < 1 || v.i > 3652059) Fail(err::kValueOutOfRange, "La fecha está fuera del intervalo admitido.");
      EncodeInt(v.i, 4, out);
      return;
    }
    case 'T': {
      if (v.kind != Value::Kind::Time) Fail(err::kConversion, "El valor no es una hora.");
      if (v.i < 0 || v.i >= kMsPerDay) Fail(err::kValueOutOfRange, "La hora está fuera del intervalo admitido.");
      EncodeInt(v.i, 4, out);
      return;
    }
    case '@': {
      int64_t ms;
      if (v.kind == Value::Kind::Timestamp) ms = v.i;
      else if (v.kind == Value::Kind::Date) ms = v.i * kMsPerDay;
      else Fail(err::kConversion, "El valor no es una fecha y hora.");
      if (ms < kMsPerDay || ms > 3652060 * kMsPerDay)
        Fail(err::kValueOutOfRange, "La fecha y hora está fuera del intervalo admitido.");
      EncodeDouble(static_cast<double>(ms), out);
      return;
    }
    case '$': case 'N': EncodeDouble(NeedNumber(v), out); return;
    case 'L': {
      bool b;
      if (v.kind == Value::Kind::Logical) b = v.i != 0;
      else if (v.kind == Value::Kind::Integer && (v.i == 0 || v.i == 1)) b = v.i == 1;
      else Fail(err::kConversion, "El valor no es lógico.");
      out[0] = static_cast<char>(b ? 0x81 : 0x80);
      return;
    }
    case '#': {
      std::string text;
      if (v.kind == Value::Kind::Number) text = v.s.empty() ? v.DecimalText() : v.s;
      else if (v.kind == Value::Kind::Integer) text = std::to_string(v.i);
      else Fail(err::kConversion, "El valor no es un número.");
      if (!TextToBcd(text, static_cast<int>(size), out))
        Fail(err::kValueOutOfRange, "El número " + text + " no cabe en el campo decimal (BCD) de " +
                                        std::to_string(size) + " decimales.");
      return;
    }
    default: break;
  }
  Fail(err::kInternal, "Tipo de campo Paradox no codificable.");
}

}  // namespace engine::paradox
