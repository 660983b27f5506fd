#include "engine/value.h"

#include <cmath>
#include <cstdio>

namespace engine {

bool Value::operator==(const Value& o) const {
  if (kind != o.kind) return false;
  switch (kind) {
    case Kind::Null: return true;
    case Kind::Text:
    case Kind::Binary: return s == o.s;
    case Kind::Number:
      if (!s.empty() && !o.s.empty()) return DecimalText() == o.DecimalText();
      return d == o.d;
    default: return i == o.i;
  }
}

std::optional<double> Value::AsDouble() const {
  switch (kind) {
    case Kind::Number: return d;
    case Kind::Integer:
    case Kind::Logical:
    case Kind::Date:
    case Kind::Time:
    case Kind::Timestamp: return static_cast<double>(i);
    default: return std::nullopt;
  }
}

namespace {
// Canonical form of a decimal text: no plus sign, no leading zeros before the units, no
// trailing fractional zeros, "-0" becomes "0".
std::string Canonical(std::string t) {
  bool neg = false;
  size_t p = 0;
  while (p < t.size() && t[p] == ' ') ++p;
  if (p < t.size() && (t[p] == '-' || t[p] == '+')) {
    neg = t[p] == '-';
    ++p;
  }
  std::string digits = t.substr(p);
  while (!digits.empty() && digits.back() == ' ') digits.pop_back();
  auto dot = digits.find('.');
  std::string ip = dot == std::string::npos ? digits : digits.substr(0, dot);
  std::string fp = dot == std::string::npos ? "" : digits.substr(dot + 1);
  size_t nz = ip.find_first_not_of('0');
  ip = nz == std::string::npos ? "0" : ip.substr(nz);
  while (!fp.empty() && fp.back() == '0') fp.pop_back();
  std::string r = ip;
  if (!fp.empty()) r += "." + fp;
  if (r == "0") neg = false;
  return neg ? "-" + r : r;
}
}  // namespace

std::string Value::DecimalText() const {
  switch (kind) {
    case Kind::Number: {
      if (!s.empty()) return Canonical(s);
      if (!std::isfinite(d)) return d != d ? "NaN" : (d < 0 ? "-Inf" : "Inf");
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.15g", d);
      double back = 0;
      std::sscanf(buf, "%lf", &back);
      if (back != d) std::snprintf(buf, sizeof buf, "%.17g", d);
      std::string t = buf;
      if (t.find('e') != std::string::npos || t.find('E') != std::string::npos) {
        std::snprintf(buf, sizeof buf, "%.6f", d);
        t = buf;
      }
      return Canonical(t);
    }
    case Kind::Integer:
    case Kind::Logical: return std::to_string(i);
    default: return "";
  }
}

std::string Value::ToDisplay() const {
  char buf[64];
  switch (kind) {
    case Kind::Null: return "";
    case Kind::Text: return s;
    case Kind::Integer:
    case Kind::Number: return DecimalText();
    case Kind::Logical: return i ? "T" : "F";
    case Kind::Date: {
      int y, m, dd;
      CivilFromDay(i, &y, &m, &dd);
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, dd);
      return buf;
    }
    case Kind::Time: {
      int64_t ms = i;
      std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(ms / 3600000),
                    static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60));
      std::string t = buf;
      if (ms % 1000) {
        std::snprintf(buf, sizeof buf, ".%03d", static_cast<int>(ms % 1000));
        t += buf;
      }
      return t;
    }
    case Kind::Timestamp: {
      int64_t day = i / kMsPerDay, ms = i % kMsPerDay;
      if (ms < 0) {
        ms += kMsPerDay;
        --day;
      }
      return Value::Date(day).ToDisplay() + " " + Value::Time(ms).ToDisplay();
    }
    case Kind::Binary: {
      std::string text(1, '<');
      text += std::to_string(s.size());
      text += " bytes>";
      return text;
    }
  }
  return "";
}

// Howard Hinnant's days-from-civil algorithm, shifted so that 0001-01-01 is day 1.
int64_t DayFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days_from_1970 = era * 146097 + doe - 719468;
  return days_from_1970 + 719163;  // 1970-01-01 is day 719163
}

void CivilFromDay(int64_t day, int* year, int* month, int* dd) {
  int64_t z = day - 719163 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(y + (m <= 2));
  *month = static_cast<int>(m);
  *dd = static_cast<int>(d);
}

bool IsValidCivil(int year, int month, int day) {
  if (month < 1 || month > 12 || day < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int max = kDays[month - 1];
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) max = 29;
  return day <= max;
}

}  // namespace engine
