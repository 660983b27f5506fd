#include "engine/dbase/mdx_key.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/value.h"

namespace engine::dbase {

namespace {

constexpr int kMaxDigits = 20;

struct Decoded {
  bool valid = false;
  bool negative = false;
  int exponent = 0;      // value = 0.DIGITS x 10^exponent
  std::string digits;    // significant digits, no leading or trailing zeros; empty for zero
};

Decoded DecodeNumeric(std::string_view key) {
  Decoded d;
  if (key.size() < 2) return d;
  auto b0 = static_cast<uint8_t>(key[0]);
  auto b1 = static_cast<uint8_t>(key[1]);
  int n = (b1 & 0x7F) >> 2;
  if (n > kMaxDigits || static_cast<size_t>(2 + (n + 1) / 2) > key.size()) return d;
  d.negative = (b1 & 0x80) != 0;
  d.exponent = static_cast<int>(b0) - 0x34;
  for (int i = 0; i < n; ++i) {
    auto byte = static_cast<uint8_t>(key[2 + i / 2]);
    int digit = i % 2 == 0 ? byte >> 4 : byte & 0x0F;
    if (digit > 9) return d;
    d.digits += static_cast<char>('0' + digit);
  }
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
  if (d.digits.empty()) d.negative = false;
  d.valid = true;
  return d;
}

int CompareMagnitude(const Decoded& a, const Decoded& b) {
  bool az = a.digits.empty(), bz = b.digits.empty();
  if (az || bz) return az == bz ? 0 : (az ? -1 : 1);
  if (a.exponent != b.exponent) return a.exponent < b.exponent ? -1 : 1;
  int c = a.digits.compare(b.digits);  // no trailing zeros: a prefix is the smaller number
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

bool EncodeNumericKey(std::string_view text, std::string* key) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::string all;
  int point = -1;
  bool any = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      all += c;
      any = true;
    } else if (c == '.' && point < 0) {
      point = static_cast<int>(all.size());
    } else {
      break;
    }
  }
  while (i < text.size() && text[i] == ' ') ++i;
  if (!any || i != text.size()) return false;
  int exponent = point < 0 ? static_cast<int>(all.size()) : point;
  size_t lead = 0;
  while (lead < all.size() && all[lead] == '0') ++lead;
  exponent -= static_cast<int>(lead);
  std::string digits = all.substr(lead);
  if (digits.size() > kMaxDigits) digits.resize(kMaxDigits);
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  key->assign(kNumericKeyLength, '\0');
  if (digits.empty()) {
    (*key)[0] = 0x34;
    (*key)[1] = 0x01;
    return true;
  }
  if (exponent < -0x34 || exponent > 0xFF - 0x34) return false;
  (*key)[0] = static_cast<char>(0x34 + exponent);
  auto n = static_cast<uint8_t>(digits.size());
  (*key)[1] = static_cast<char>((negative ? 0x80 : 0) | (n << 2) | 1);
  for (size_t k = 0; k < digits.size(); ++k) {
    auto digit = static_cast<uint8_t>(digits[k] - '0');
    auto& byte = reinterpret_cast<uint8_t&>((*key)[2 + k / 2]);
    byte = static_cast<uint8_t>(byte | (k % 2 == 0 ? digit << 4 : digit));
  }
  return true;
}

std::string EncodeNumericKey(double value) {
  std::string key;
  char buf[64];
  if (!std::isfinite(value)) value = 0;
  // %.15e gives the significant digits; rewrite it as a plain decimal.
  std::snprintf(buf, sizeof buf, "%.14e", value);
  std::string s = buf;
  size_t e = s.find('e');
  int exp10 = std::atoi(s.c_str() + e + 1);
  bool negative = s[0] == '-';
  std::string mant;
  for (size_t k = 0; k < e; ++k)
    if (s[k] >= '0' && s[k] <= '9') mant += s[k];
  // mant = d.dddd x 10^exp10  ->  0.dddd x 10^(exp10 + 1)
  std::string plain;
  int intdigits = exp10 + 1;
  if (intdigits <= 0) {
    plain = "0." + std::string(static_cast<size_t>(-intdigits), '0') + mant;
  } else if (static_cast<size_t>(intdigits) >= mant.size()) {
    plain = mant + std::string(static_cast<size_t>(intdigits) - mant.size(), '0');
  } else {
    plain = mant.substr(0, static_cast<size_t>(intdigits)) + "." + mant.substr(static_cast<size_t>(intdigits));
  }
  if (negative) plain = "-" + plain;
  if (!EncodeNumericKey(plain, &key)) EncodeNumericKey("0", &key);
  return key;
}

std::string NumericKeyText(std::string_view key) {
  Decoded d = DecodeNumeric(key);
  if (!d.valid) return "?";
  if (d.digits.empty()) return "0";
  std::string out = d.negative ? "-" : "";
  if (d.exponent <= 0) {
    out += "0." + std::string(static_cast<size_t>(-d.exponent), '0') + d.digits;
  } else if (static_cast<size_t>(d.exponent) >= d.digits.size()) {
    out += d.digits + std::string(static_cast<size_t>(d.exponent) - d.digits.size(), '0');
  } else {
    out += d.digits.substr(0, static_cast<size_t>(d.exponent)) + "." + d.digits.substr(static_cast<size_t>(d.exponent));
  }
  return out;
}

std::string EncodeDateKey(int64_t day) {
  double julian = day > 0 ? static_cast<double>(JulianFromDay(day)) : 0.0;
  std::string key(kDateKeyLength, '\0');
  uint64_t bits = 0;
  std::memcpy(&bits, &julian, sizeof bits);
  for (int k = 0; k < 8; ++k) key[static_cast<size_t>(k)] = static_cast<char>((bits >> (8 * k)) & 0xFF);
  return key;
}

double DateKeyJulian(std::string_view key) {
  if (key.size() < 8) return 0;
  uint64_t bits = 0;
  for (int k = 7; k >= 0; --k) bits = (bits << 8) | static_cast<uint8_t>(key[static_cast<size_t>(k)]);
  double d = 0;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

int CompareKeys(char type, std::string_view a, std::string_view b) {
  if (type == 'N') {
    Decoded x = DecodeNumeric(a), y = DecodeNumeric(b);
    if (x.valid && y.valid) {
      if (x.negative != y.negative) return x.negative ? -1 : 1;
      int c = CompareMagnitude(x, y);
      return x.negative ? -c : c;
    }
  } else if (type == 'D') {
    double x = DateKeyJulian(a), y = DateKeyJulian(b);
    if (!std::isnan(x) && !std::isnan(y)) return x < y ? -1 : (x > y ? 1 : 0);
  }
  size_t n = std::min(a.size(), b.size());
  int c = std::memcmp(a.data(), b.data(), n);
  if (c == 0 && a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string KeyDisplay(char type, std::string_view key) {
  if (type == 'N') return NumericKeyText(key);
  if (type == 'D') {
    double j = DateKeyJulian(key);
    if (j == 0) return "        ";
    if (!std::isfinite(j) || j < 1721426 || j > 5373484) return "?";
    int y = 0, m = 0, d = 0;
    CivilFromDay(DayFromJulian(static_cast<int64_t>(j)), &y, &m, &d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
    return buf;
  }
  return std::string(key);
}

}  // namespace engine::dbase
