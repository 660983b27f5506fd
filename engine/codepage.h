// Code pages of table text. Tables store text in a single-byte code page named by their language
// driver (dBASE) or header (Paradox); the engine hands text to its callers as UTF-8. Decoding never
// fails (a byte the page leaves unassigned becomes the C1 control of the same number, so every
// byte string survives a round trip); encoding refuses a character the page cannot hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

class CodePage {
 public:
  // The page with that number (437, 850, 1252, ...), or nullptr when the engine does not know it.
  static const CodePage* Find(int number);
  // Windows 1252, the host application's own code page and the default for unrecorded drivers.
  static const CodePage& Ansi();

  int number() const { return number_; }
  std::string Decode(std::string_view bytes) const;
  // UTF-8 to the page; nullopt when a character has no byte here (or the text is not UTF-8).
  std::optional<std::string> Encode(std::string_view utf8) const;
  // Upper/lower case of one byte of this page (letters with accents included), as the host
  // application's UPPER()/LOWER() do.
  uint8_t ToUpper(uint8_t b) const;
  uint8_t ToLower(uint8_t b) const;

  CodePage(int number, const char16_t* high);

 private:
  int number_;
  const char16_t* high_;
  // Byte of each character below U+2600 that the page holds in its upper half (0: none).
  uint8_t reverse_[0x2600];
  uint8_t upper_[256];
  uint8_t lower_[256];
};

// dBASE language driver id (byte 29 of the header) to code page number; 0 when not recorded or
// unknown (callers then use Windows 1252).
int CodePageFromLanguageDriver(uint8_t ldid);
// dBASE 7 language driver names ("DB437US0", "DBWINUS0", ...) to code page number; 0 if unknown.
int CodePageFromDriverName(std::string_view name);
// The language driver id the engine writes for a code page (0x57 for 1252, 0x02 for 850, ...).
uint8_t LanguageDriverForCodePage(int codepage);

// UTF-8 helpers.
bool IsValidUtf8(std::string_view s);
void AppendUtf8(std::string& out, char32_t cp);
// Decodes one code point at s[i], advancing i; returns U+FFFD on malformed input.
char32_t NextUtf8(std::string_view s, size_t& i);
// Case folding of Latin letters (with their accented forms) for name comparisons.
std::string FoldCase(std::string_view utf8);

}  // namespace engine
