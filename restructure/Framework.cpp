#include "restructure/Framework.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/table.h"
#include "engine/value.h"

namespace restructure {

std::string FormatText(const char* pattern, const std::string& a, const std::string& b) {
  std::string out;
  int used = 0;
  for (const char* p = pattern; *p; ++p) {
    if (p[0] == '%' && p[1] == 's' && used < 2) {
      out += used == 0 ? a : b;
      ++used;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

// ---- TPersistent ----------------------------------------------------------------------------

void TPersistent::Assign(const TPersistent* Source) {
  if (Source == nullptr) AssignError(nullptr);
  Source->AssignTo(this);
}

void TPersistent::AssignTo(TPersistent* Dest) const { Dest->AssignError(this); }

void TPersistent::AssignError(const TPersistent* Source) const {
  throw engine::EConvertError(
      FormatText(texts::kAssignError, Source ? Source->ClassName() : "nil", ClassName()));
}

// ---- Text to value ------------------------------------------------------------------------

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

[[noreturn]] void ConvertError(const char* pattern, const std::string& s) {
  throw engine::EConvertError(FormatText(pattern, s));
}

// Reads 1..max_digits decimal digits at t[*p]; false when there is none or too many.
bool ReadNumber(const std::string& t, size_t* p, int min_digits, int max_digits, int* out) {
  int n = 0, v = 0;
  while (*p < t.size() && IsDigit(t[*p])) {
    if (++n > max_digits) return false;
    v = v * 10 + (t[*p] - '0');
    ++*p;
  }
  if (n < min_digits) return false;
  *out = v;
  return true;
}

bool ParseDate(const std::string& t, TDateParts* d) {
  size_t p = 0;
  int a = 0, b = 0, c = 0;
  if (t.size() >= 5 && IsDigit(t[0]) && IsDigit(t[1]) && IsDigit(t[2]) && IsDigit(t[3]) &&
      t[4] == '-') {
    // ISO: yyyy-mm-dd
    if (!ReadNumber(t, &p, 4, 4, &a) || p >= t.size() || t[p++] != '-') return false;
    if (!ReadNumber(t, &p, 1, 2, &b) || p >= t.size() || t[p++] != '-') return false;
    if (!ReadNumber(t, &p, 1, 2, &c) || p != t.size()) return false;
    *d = {a, b, c};
  } else {
    // Spanish: dd/mm/yyyy
    if (!ReadNumber(t, &p, 1, 2, &a) || p >= t.size() || t[p++] != '/') return false;
    if (!ReadNumber(t, &p, 1, 2, &b) || p >= t.size() || t[p++] != '/') return false;
    if (!ReadNumber(t, &p, 4, 4, &c) || p != t.size()) return false;
    *d = {c, b, a};
  }
  return d->Year >= 1 && engine::IsValidCivil(d->Year, d->Month, d->Day);
}

bool ParseTime(const std::string& t, TTimeParts* r) {
  size_t p = 0;
  TTimeParts v;
  if (!ReadNumber(t, &p, 1, 2, &v.Hour) || p >= t.size() || t[p++] != ':') return false;
  if (!ReadNumber(t, &p, 1, 2, &v.Minute)) return false;
  if (p < t.size()) {
    if (t[p++] != ':' || !ReadNumber(t, &p, 1, 2, &v.Second)) return false;
    if (p < t.size()) {
      if (t[p++] != '.') return false;
      size_t start = p;
      if (!ReadNumber(t, &p, 1, 3, &v.MSec) || p != t.size()) return false;
      for (size_t digits = p - start; digits < 3; ++digits) v.MSec *= 10;  // a fraction
    }
  }
  if (v.Hour > 23 || v.Minute > 59 || v.Second > 59) return false;
  *r = v;
  return true;
}

}  // namespace

int32_t StrToInt(const std::string& s) {
  std::string t = Trimmed(s);
  size_t p = 0;
  bool neg = false;
  if (p < t.size() && (t[p] == '+' || t[p] == '-')) neg = t[p++] == '-';
  if (p >= t.size()) ConvertError(texts::kInvalidInteger, s);
  int64_t v = 0;
  for (; p < t.size(); ++p) {
    if (!IsDigit(t[p])) ConvertError(texts::kInvalidInteger, s);
    v = v * 10 + (t[p] - '0');
    if (v > int64_t{1} << 31) ConvertError(texts::kInvalidInteger, s);
  }
  if (neg) v = -v;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    ConvertError(texts::kInvalidInteger, s);
  return static_cast<int32_t>(v);
}

double StrToFloat(const std::string& s) {
  std::string t = Trimmed(s);
  std::string canon;
  size_t p = 0;
  if (p < t.size() && (t[p] == '+' || t[p] == '-')) {
    if (t[p] == '-') canon += '-';
    ++p;
  }
  int mantissa_digits = 0;
  while (p < t.size() && IsDigit(t[p])) canon += t[p++], ++mantissa_digits;
  if (p < t.size() && (t[p] == ',' || t[p] == '.')) {
    canon += '.';
    ++p;
    while (p < t.size() && IsDigit(t[p])) canon += t[p++], ++mantissa_digits;
  }
  if (mantissa_digits == 0) ConvertError(texts::kInvalidFloat, s);
  if (p < t.size() && (t[p] == 'e' || t[p] == 'E')) {
    canon += 'e';
    ++p;
    if (p < t.size() && (t[p] == '+' || t[p] == '-')) canon += t[p++];
    int exp_digits = 0;
    while (p < t.size() && IsDigit(t[p])) canon += t[p++], ++exp_digits;
    if (exp_digits == 0) ConvertError(texts::kInvalidFloat, s);
  }
  if (p != t.size()) ConvertError(texts::kInvalidFloat, s);
  double x = 0;
  auto [end, ec] = std::from_chars(canon.data(), canon.data() + canon.size(), x);
  if (ec != std::errc() || end != canon.data() + canon.size() || !std::isfinite(x))
    ConvertError(texts::kInvalidFloat, s);
  return x;
}

TDateParts StrToDate(const std::string& s) {
  TDateParts d;
  if (!ParseDate(Trimmed(s), &d)) ConvertError(texts::kInvalidDate, s);
  return d;
}

TTimeParts StrToTime(const std::string& s) {
  TTimeParts t;
  if (!ParseTime(Trimmed(s), &t)) ConvertError(texts::kInvalidTime, s);
  return t;
}

void StrToDateTime(const std::string& s, TDateParts* date, TTimeParts* time) {
  std::string t = Trimmed(s);
  bool iso = t.size() >= 5 && t[4] == '-';
  size_t split = t.find(' ');
  if (iso && split == std::string::npos) split = t.find('T');
  TDateParts d;
  TTimeParts tm;
  bool ok;
  if (split == std::string::npos) {
    ok = ParseDate(t, &d);
  } else {
    ok = ParseDate(t.substr(0, split), &d) && ParseTime(Trimmed(t.substr(split + 1)), &tm);
  }
  if (!ok) ConvertError(texts::kInvalidDateTime, s);
  *date = d;
  *time = tm;
}

// ---- Value to text ------------------------------------------------------------------------

std::string FloatToStr(double x) {
  if (std::isnan(x)) return "NAN";
  if (std::isinf(x)) return x < 0 ? "-INF" : "INF";
  if (x == 0) return "0";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, 15);
  if (ec != std::errc()) return "NAN";  // cannot happen with 64 bytes
  std::string raw(buf, end), out;
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '.') {
      out += ',';
    } else if (c == 'e') {
      out += 'E';
      ++i;
      if (raw[i] == '-') out += '-';
      ++i;
      while (i + 1 < raw.size() && raw[i] == '0') ++i;  // no leading zeros in the exponent
      out.append(raw, i, std::string::npos);
      break;
    } else {
      out += c;
    }
  }
  return out;
}

std::string DateToStr(const TDateParts& d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", d.Day, d.Month, d.Year);
  return buf;
}

std::string TimeToStr(const TTimeParts& t) {
  char buf[32];
  if (t.MSec != 0)
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t.Hour, t.Minute, t.Second, t.MSec);
  else
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.Hour, t.Minute, t.Second);
  return buf;
}

std::string DateTimeToStr(const TDateParts& d, const TTimeParts& t) {
  return DateToStr(d) + " " + TimeToStr(t);
}

}  // namespace restructure
