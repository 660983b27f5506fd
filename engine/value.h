// A field value as the engine hands it to its callers and takes it from them.
//
// Dates are day numbers with day 1 = 0001-01-01 (proleptic Gregorian), times are milliseconds
// since midnight, timestamps are day * 86,400,000 + milliseconds of day: the encodings that both
// table formats use on disk. Text is UTF-8. Numbers from decimal fields keep their exact decimal
// text beside the double, so that a value of many digits is never rounded on its way through.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace engine {

struct Value {
  enum class Kind : uint8_t { Null, Text, Integer, Number, Logical, Date, Time, Timestamp, Binary };

  Kind kind = Kind::Null;
  int64_t i = 0;      // Integer, Logical (0/1), Date, Time, Timestamp
  double d = 0;       // Number
  std::string s;      // Text (UTF-8), Number (exact decimal text, may be empty), Binary (bytes)

  static Value Null() { return {}; }
  static Value Text(std::string utf8) { Value v; v.kind = Kind::Text; v.s = std::move(utf8); return v; }
  static Value Integer(int64_t n) { Value v; v.kind = Kind::Integer; v.i = n; return v; }
  // A number with its exact decimal text ("-12.50"); the text may be empty when only the double
  // is known.
  static Value Number(double x, std::string exact = {}) { Value v; v.kind = Kind::Number; v.d = x; v.s = std::move(exact); return v; }
  static Value Logical(bool b) { Value v; v.kind = Kind::Logical; v.i = b ? 1 : 0; return v; }
  static Value Date(int64_t day) { Value v; v.kind = Kind::Date; v.i = day; return v; }
  static Value Time(int64_t ms) { Value v; v.kind = Kind::Time; v.i = ms; return v; }
  static Value Timestamp(int64_t ms) { Value v; v.kind = Kind::Timestamp; v.i = ms; return v; }
  static Value Binary(std::string bytes) { Value v; v.kind = Kind::Binary; v.s = std::move(bytes); return v; }

  bool IsNull() const { return kind == Kind::Null; }
  bool operator==(const Value& o) const;
  bool operator!=(const Value& o) const { return !(*this == o); }

  // The value as a double (Integer, Number, Logical, Date...); nullopt for text, binary and null.
  std::optional<double> AsDouble() const;
  // Exact decimal text of a numeric value ("12.5", "-3", "0.000001"); empty for null/text.
  std::string DecimalText() const;
  // A readable text, used by tools and messages: dates "YYYY-MM-DD", times "HH:MM:SS[.mmm]",
  // logical "T"/"F", numbers as their decimal text, binary as "<n bytes>".
  std::string ToDisplay() const;
};

constexpr int64_t kMsPerDay = 86400000;

// Calendar helpers (proleptic Gregorian, day 1 = 0001-01-01).
int64_t DayFromCivil(int year, int month, int day);
void CivilFromDay(int64_t day, int* year, int* month, int* d);
bool IsValidCivil(int year, int month, int day);
// Julian day number of a day number (2000-01-01 -> 2451545).
inline int64_t JulianFromDay(int64_t day) { return day + 1721425; }
inline int64_t DayFromJulian(int64_t jd) { return jd - 1721425; }

}  // namespace engine
