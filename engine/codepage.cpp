#include "engine/codepage.h"

#include <algorithm>
#include <cwctype>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/codepage_tables.h"

namespace engine {

namespace {

// Simple case mapping for the Latin, Greek and Cyrillic letters that these pages hold.
char32_t UpperOf(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A: pairs, upper case even, except a few odd-aligned runs.
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 0) ? c - 1 : c;
    if (c == 0x131) return 'I';
    return (c % 2 == 1) ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 32;  // Greek
  if (c >= 0x430 && c <= 0x44F) return c - 32;                 // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

char32_t LowerOf(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c < 0x80) return c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c == 0x178) return 0xFF;
  if (c >= 0x100 && c <= 0x17F) {
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 1) ? c + 1 : c;
    if (c == 0x130) return 'i';
    return (c % 2 == 0) ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3A9) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

}  // namespace

CodePage::CodePage(int number, const char16_t* high) : number_(number), high_(high) {
  std::fill(std::begin(reverse_), std::end(reverse_), 0);
  for (int b = 0x80; b < 0x100; ++b) {
    char16_t c = high_[b - 0x80];
    if (c && c < 0x2600 && !reverse_[c]) reverse_[c] = static_cast<uint8_t>(b);
  }
  for (int b = 0; b < 256; ++b) {
    upper_[b] = lower_[b] = static_cast<uint8_t>(b);
  }
  // Byte-level case maps, through Unicode.
  auto byte_of = [&](char32_t c) -> int {
    if (c < 0x80) return static_cast<int>(c);
    if (c < 0x2600) return reverse_[c] ? reverse_[c] : -1;
    for (int t = 0; t < 128; ++t)
      if (high_[t] == c) return t + 0x80;
    return -1;
  };
  for (int b = 0; b < 256; ++b) {
    char32_t c = b < 0x80 ? static_cast<char32_t>(b) : high_[b - 0x80];
    if (!c) continue;
    char32_t u = UpperOf(c), l = LowerOf(c);
    if (u != c) {
      int t = byte_of(u);
      if (t >= 0) upper_[b] = static_cast<uint8_t>(t);
    }
    if (l != c) {
      int t = byte_of(l);
      if (t >= 0) lower_[b] = static_cast<uint8_t>(t);
    }
  }
}

const CodePage* CodePage::Find(int number) {
  static std::once_flag once;
  static std::vector<std::unique_ptr<CodePage>>* pages;
  std::call_once(once, [] {
    pages = new std::vector<std::unique_ptr<CodePage>>();
    for (size_t i = 0; i < cptables::kPageCount; ++i)
      pages->push_back(std::make_unique<CodePage>(cptables::kPages[i].number, cptables::kPages[i].high));
  });
  for (auto& p : *pages)
    if (p->number() == number) return p.get();
  return nullptr;
}

const CodePage& CodePage::Ansi() {
  static const CodePage* p = Find(1252);
  return *p;
}

std::string CodePage::Decode(std::string_view bytes) const {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) {
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
    } else {
      char16_t c = high_[b - 0x80];
      AppendUtf8(out, c ? c : static_cast<char32_t>(b));
    }
  }
  return out;
}

std::optional<std::string> CodePage::Encode(std::string_view utf8) const {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char first = static_cast<unsigned char>(utf8[i]);
    if (first < 0x80) {
      out.push_back(static_cast<char>(first));
      ++i;
      continue;
    }
    size_t start = i;
    char32_t c = NextUtf8(utf8, i);
    if (c == 0xFFFD && !(i - start == 3 && static_cast<unsigned char>(utf8[start]) == 0xEF))
      return std::nullopt;
    int found = -1;
    if (c < 0x2600) {
      if (reverse_[c]) found = reverse_[c];
    } else {
      for (int b = 0; b < 128; ++b)
        if (high_[b] == c) {
          found = b + 0x80;
          break;
        }
    }
    if (found < 0 && c >= 0x80 && c <= 0xFF && high_[c - 0x80] == 0) found = static_cast<int>(c);
    if (found < 0) return std::nullopt;
    out.push_back(static_cast<char>(found));
  }
  return out;
}

uint8_t CodePage::ToUpper(uint8_t b) const { return upper_[b]; }
uint8_t CodePage::ToLower(uint8_t b) const { return lower_[b]; }

int CodePageFromLanguageDriver(uint8_t ldid) {
  switch (ldid) {
    case 0x01: case 0x09: case 0x0B: case 0x0D: case 0x0F: case 0x11: case 0x15: case 0x18:
    case 0x19: case 0x1B:
      return 437;
    case 0x02: case 0x0A: case 0x0E: case 0x10: case 0x12: case 0x14: case 0x16: case 0x17:
    case 0x1A: case 0x1D: case 0x1F: case 0x21: case 0x25: case 0x37:
      return 850;
    case 0x03: case 0x57: case 0x58: case 0x59:
      return 1252;
    case 0x1C: case 0x6C: return 863;
    case 0x23: case 0x64: case 0x87: return 852;
    case 0x24: case 0x26: case 0x65: return 866;
    case 0x6A: case 0x86: return 737;
    case 0x6B: return 857;
    case 0x66: return 865;
    case 0x67: return 861;
    case 0x6D: return 860;
    case 0x08: return 865;
    case 0xC8: return 1250;
    case 0xC9: return 1251;
    case 0xCA: return 1254;
    case 0xCB: return 1253;
    case 0xCC: return 1257;
    default: return 0;
  }
}

int CodePageFromDriverName(std::string_view name) {
  // "DB437US0", "DB850ES0", "DBWINUS0" (1252), "DB866RU0": the digits give the page.
  if (name.size() >= 5 && name.substr(0, 2) == "DB") {
    if (name.substr(2, 3) == "WIN") return 1252;
    int n = 0;
    for (size_t i = 2; i < 5 && i < name.size(); ++i) {
      if (name[i] < '0' || name[i] > '9') return 0;
      n = n * 10 + (name[i] - '0');
    }
    return CodePage::Find(n) ? n : 0;
  }
  if (name.substr(0, 4) == "ANSI" || name.substr(0, 4) == "WEurope") return 1252;
  return 0;
}

uint8_t LanguageDriverForCodePage(int codepage) {
  switch (codepage) {
    case 437: return 0x01;
    case 850: return 0x02;
    case 1252: return 0x57;
    case 852: return 0x64;
    case 866: return 0x65;
    case 865: return 0x66;
    case 861: return 0x67;
    case 737: return 0x6A;
    case 857: return 0x6B;
    case 863: return 0x6C;
    case 860: return 0x6D;
    case 1250: return 0xC8;
    case 1251: return 0xC9;
    case 1254: return 0xCA;
    case 1253: return 0xCB;
    case 1257: return 0xCC;
    default: return 0;
  }
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t start = i;
    char32_t cp = NextUtf8(s, i);
    if (cp == 0xFFFD && !(i - start == 3 && static_cast<unsigned char>(s[start]) == 0xEF))
      return false;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

char32_t NextUtf8(std::string_view s, size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  for (int k = 1; k < len; ++k) {
    unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc >> 6) != 2) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  // Reject overlong forms and surrogates.
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return cp;
}

std::string FoldCase(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t c = NextUtf8(utf8, i);
    AppendUtf8(out, UpperOf(c));
  }
  return out;
}

}  // namespace engine
