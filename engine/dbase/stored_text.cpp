// Numbers as .DBF fields store them, read carefully: any count of digits, the point anywhere.
#include "engine/dbase/stored_text.h"

#include <charconv>
#include <system_error>

namespace engine::dbase::stored_text {

namespace {

// Numbers as dBASE stores them ([+|-]digits[.digits], at least one digit) are read on a fast
// path: an integer of at most 15 digits divided by an exact power of ten is the correctly
// rounded double (one IEEE division). kLong: a stored number with more digits than that.
enum class Plain { kNot, kExact, kLong };

// Numbers with more than 15 digits in all: leading zeros do not count, and only the first 16
// significant digits are gathered (enough to tell kLong).
Plain ReadLongPlainNumber(std::string_view t, double* out) {
  size_t i = 0;
  bool neg = false, dot = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) {
    neg = t[i] == '-';
    ++i;
  }
  uint64_t mant = 0;
  int digits = 0, frac = 0, seen = 0;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c >= '0' && c <= '9') {
      if (digits < 16) mant = mant * 10 + static_cast<uint64_t>(c - '0');
      if (mant) ++digits;
      if (dot) ++frac;
      ++seen;
    } else if (c == '.' && !dot) {
      dot = true;
    } else {
      return Plain::kNot;
    }
  }
  if (seen == 0) return Plain::kNot;
  if (digits > 15 || frac > 15) return Plain::kLong;
  double d = static_cast<double>(mant) / kPow10[frac];
  *out = neg ? -d : d;
  return Plain::kExact;
}

Plain ReadPlainNumber(std::string_view t, double* out) {
  const char* p = t.data();
  const char* const end = p + t.size();
  bool neg = false;
  if (p < end && (*p == '-' || *p == '+')) neg = *p++ == '-';
  const char* const first = p;
  uint64_t mant = 0;
  while (p < end && static_cast<unsigned char>(*p - '0') < 10) mant = mant * 10 + static_cast<uint64_t>(*p++ - '0');
  const size_t int_digits = static_cast<size_t>(p - first);
  size_t frac = 0;
  if (p < end && *p == '.') {
    const char* const point = ++p;
    while (p < end && static_cast<unsigned char>(*p - '0') < 10) mant = mant * 10 + static_cast<uint64_t>(*p++ - '0');
    frac = static_cast<size_t>(p - point);
  }
  if (p != end || int_digits + frac == 0) return Plain::kNot;
  if (int_digits + frac > 15) return ReadLongPlainNumber(t, out);
  double d = static_cast<double>(mant) / kPow10[frac];
  *out = neg ? -d : d;
  return Plain::kExact;
}

}  // namespace

bool ParseDouble(std::string_view t, double* out) {
  if (!t.empty() && t[0] == '+') t.remove_prefix(1);
  if (ReadPlainNumber(t, out) == Plain::kExact) return true;
  auto r = std::from_chars(t.data(), t.data() + t.size(), *out);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

// A stored number's value: false when the text is not a number as dBASE stores it.
bool ParseStoredNumber(std::string_view t, double* out) {
  switch (ReadPlainNumber(t, out)) {
    case Plain::kExact: return true;
    case Plain::kLong: return ParseDouble(t, out);
    case Plain::kNot: break;
  }
  return false;
}

}  // namespace engine::dbase::stored_text
