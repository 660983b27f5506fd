// The text that .DBF character and number fields store, read the way rows are walked by the
// million: blanks trimmed eight bytes at a time, and numbers in the form dBASE writes them read
// in one pass.
//
// A blank is ' ' or '\0' (other programs pad with NULs). Internal to engine/dbase.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace engine::dbase::stored_text {

// The powers of ten that are exact doubles and divide an integer of at most 15 digits into the
// correctly rounded value of a decimal number (one IEEE division).
inline constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

inline constexpr bool kWordWise = std::endian::native == std::endian::little;

inline uint64_t LoadWord(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The high bit of every byte of w that is not a blank. Clearing bit 5 makes both blanks zero
// and no other byte; a byte is then non-zero when its low seven bits carry past 0x7F or its
// high bit is set (no carry crosses into the next byte).
inline uint64_t NonBlankBytes(uint64_t w) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  const uint64_t y = w & 0xDFDFDFDFDFDFDFDFull;
  return (((y & kLow7) + kLow7) | y) & ~kLow7;
}

// The length of p[0..n) without its trailing blanks.
inline size_t TrimmedEnd(const char* p, size_t n) {
  if constexpr (kWordWise) {
    for (; n >= 8; n -= 8) {
      // The last byte of the word is its highest: the blanks above the highest non-blank.
      if (uint64_t m = NonBlankBytes(LoadWord(p + n - 8))) return n - static_cast<size_t>(std::countl_zero(m) / 8);
    }
  }
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
  return n;
}

// The position of the first byte of p[0..n) that is not a blank (n when there is none).
inline size_t TrimmedBegin(const char* p, size_t n) {
  size_t b = 0;
  if constexpr (kWordWise) {
    for (; b + 8 <= n; b += 8) {
      if (uint64_t m = NonBlankBytes(LoadWord(p + b))) return b + static_cast<size_t>(std::countr_zero(m) / 8);
    }
  }
  while (b < n && (p[b] == ' ' || p[b] == '\0')) ++b;
  return b;
}

// A stored number's value: false when the text is not "[+|-]digits[.digits]" with at least one
// digit. ParseDouble also takes what std::from_chars takes ("1e5").
bool ParseStoredNumber(std::string_view t, double* out);
bool ParseDouble(std::string_view t, double* out);

// The trimmed text of a field with `decimals` places as dBASE writes it: "[-]digits.ddd" with
// exactly those places (or "[-]digits" without places) and at most 15 digits, read in one pass
// with no search for the point. True with `mant` the integer of all the digits; false for any
// other text, which ParseStoredNumber judges.
inline bool WrittenNumber(std::string_view t, size_t decimals, uint64_t* mant) {
  const char* p = t.data();
  const char* const end = p + t.size();
  if (p < end && (*p == '-' || *p == '+')) ++p;
  const auto len = static_cast<size_t>(end - p);
  if (len <= decimals || len > 16 || decimals > 15) return false;
  const char* const point = end - decimals - (decimals ? 1 : 0);
  uint64_t m = 0;
  const char* q = p;
  for (unsigned d; q < point && (d = static_cast<unsigned char>(*q) - unsigned{'0'}) < 10; ++q) m = m * 10 + d;
  bool digits = q == point && (decimals == 0 || *point == '.');
  for (q = end - decimals; digits && q < end; ++q) {
    const unsigned d = static_cast<unsigned char>(*q) - unsigned{'0'};
    digits = d < 10;
    m = m * 10 + d;
  }
  *mant = m;
  return digits && static_cast<size_t>(point - p) + decimals <= 15 && point - p + static_cast<std::ptrdiff_t>(decimals) > 0;
}

// ParseStoredNumber for the trimmed text of a field with `decimals` places, the written shape
// the quick way. The result is the same bit for bit: the same integer of all the digits divided
// by the same power of ten.
inline bool ReadStoredNumber(std::string_view t, size_t decimals, double* out) {
  uint64_t mant = 0;
  if (WrittenNumber(t, decimals, &mant)) {
    const double d = static_cast<double>(mant) / kPow10[decimals];
    *out = t[0] == '-' ? -d : d;
    return true;
  }
  return ParseStoredNumber(t, out);
}

// Whether ReadStoredNumber would read the text, without working out the value (a check of
// every row: the division is most of a read's time).
inline bool IsStoredNumber(std::string_view t, size_t decimals) {
  uint64_t mant = 0;
  double unused = 0;
  return WrittenNumber(t, decimals, &mant) || ParseStoredNumber(t, &unused);
}

}  // namespace engine::dbase::stored_text
