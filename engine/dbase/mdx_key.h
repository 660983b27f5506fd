// Keys of .MDX tags: how a value becomes the bytes a tag stores, how two stored keys compare and
// how a stored key reads back for people (tools, messages).
//
// Character keys are code-page bytes, blank-padded to the key length, compared byte by byte.
// Numeric keys are 12 bytes: byte 0 = 0x34 + the decimal exponent, byte 1 = sign (0x80) and the
// count of significant digits (n << 2 | 1), then those digits in packed BCD. Date keys are the
// Julian day number as a little-endian double (0 for a blank date).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace engine::dbase {

constexpr int kNumericKeyLength = 12;
constexpr int kDateKeyLength = 8;

// Encodes a decimal number given as text ("-12.50", "1e5" is not accepted: plain decimals only).
// Digits past the 20th significant one are dropped. Returns false for text that is no number.
bool EncodeNumericKey(std::string_view decimal, std::string* key);
// Encodes a double (used when no exact text is at hand), with 15 significant digits.
std::string EncodeNumericKey(double value);
// The decimal text of a stored numeric key ("-20.5"); "?" when the bytes make no number.
std::string NumericKeyText(std::string_view key);

std::string EncodeDateKey(int64_t day);  // day number, 0 = blank
// The Julian day of a stored date key (as a double).
double DateKeyJulian(std::string_view key);

// Three-way comparison of two stored keys of one type ('C', 'N', 'D'), ascending.
int CompareKeys(char type, std::string_view a, std::string_view b);

// A key as text for tools: character keys as their bytes, numbers as decimals, dates YYYYMMDD.
std::string KeyDisplay(char type, std::string_view key);

}  // namespace engine::dbase
