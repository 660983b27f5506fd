#include "engine/convert.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/error.h"

namespace engine {

Value::Kind KindOfFieldType(uint16_t t) {
  switch (t) {
    case bde::fldDBCHAR: case bde::fldPDXCHAR: case bde::fldDBMEMO: case bde::fldPDXMEMO:
    case bde::fldPDXFMTMEMO:
      return Value::Kind::Text;
    case bde::fldDBNUM: case bde::fldDBFLOAT: case bde::fldDBDOUBLE: case bde::fldPDXNUM:
    case bde::fldPDXMONEY: case bde::fldPDXBCD:
      return Value::Kind::Number;
    case bde::fldDBLONG: case bde::fldDBAUTOINC: case bde::fldPDXSHORT: case bde::fldPDXLONG:
    case bde::fldPDXAUTOINC:
      return Value::Kind::Integer;
    case bde::fldDBDATE: case bde::fldPDXDATE: return Value::Kind::Date;
    case bde::fldPDXTIME: return Value::Kind::Time;
    case bde::fldDBDATETIME: case bde::fldPDXDATETIME: return Value::Kind::Timestamp;
    case bde::fldDBBOOL: case bde::fldPDXBOOL: return Value::Kind::Logical;
    default: return Value::Kind::Binary;
  }
}

std::optional<std::string> ParseDecimal(const std::string& text) {
  size_t b = text.find_first_not_of(' ');
  if (b == std::string::npos) return std::nullopt;
  size_t e = text.find_last_not_of(' ');
  std::string t = text.substr(b, e - b + 1);
  std::string out;
  size_t i = 0;
  if (t[i] == '-' || t[i] == '+') {
    if (t[i] == '-') out.push_back('-');
    ++i;
  }
  bool digits = false, dot = false;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c >= '0' && c <= '9') {
      out.push_back(c);
      digits = true;
    } else if ((c == '.' || c == ',') && !dot) {
      out.push_back('.');
      dot = true;
    } else {
      return std::nullopt;
    }
  }
  if (!digits) return std::nullopt;
  return Value::Number(0, out).DecimalText();
}

std::string RoundDecimalText(const std::string& text, int decimals) {
  std::string t = Value::Number(0, text).DecimalText();
  bool neg = !t.empty() && t[0] == '-';
  if (neg) t.erase(0, 1);
  auto dot = t.find('.');
  std::string ip = dot == std::string::npos ? t : t.substr(0, dot);
  std::string fp = dot == std::string::npos ? "" : t.substr(dot + 1);
  if (static_cast<int>(fp.size()) <= decimals) return Value::Number(0, (neg ? "-" : "") + t).DecimalText();
  bool up = fp[static_cast<size_t>(decimals)] >= '5';
  std::string digits = ip + fp.substr(0, static_cast<size_t>(decimals));
  if (up) {
    int k = static_cast<int>(digits.size()) - 1;
    while (k >= 0) {
      if (digits[static_cast<size_t>(k)] == '9') {
        digits[static_cast<size_t>(k)] = '0';
        --k;
      } else {
        ++digits[static_cast<size_t>(k)];
        break;
      }
    }
    if (k < 0) digits.insert(digits.begin(), '1');
  }
  std::string r = digits.substr(0, digits.size() - static_cast<size_t>(decimals));
  if (decimals > 0) {
    r += '.';
    r += digits.substr(digits.size() - static_cast<size_t>(decimals));
  }
  return Value::Number(0, (neg ? "-" : "") + r).DecimalText();
}

namespace {

[[noreturn]] void NoConversion(const Value& v, const std::string& what) {
  throw EngineError(err::kConversion, "El valor «" + v.ToDisplay() + "» no se puede convertir " + what + ".");
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::optional<int64_t> ParseDateText(const std::string& raw) {
  std::string s = Trim(raw);
  int y = 0, m = 0, d = 0;
  char tail;
  if (s.size() == 8 && s.find_first_not_of("0123456789") == std::string::npos) {
    y = std::atoi(s.substr(0, 4).c_str());
    m = std::atoi(s.substr(4, 2).c_str());
    d = std::atoi(s.substr(6, 2).c_str());
  } else if (std::sscanf(s.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3) {
  } else if (std::sscanf(s.c_str(), "%2d/%2d/%4d%c", &d, &m, &y, &tail) == 3 && s.size() == 10) {
  } else {
    return std::nullopt;
  }
  if (y < 1 || !IsValidCivil(y, m, d)) return std::nullopt;
  return DayFromCivil(y, m, d);
}

std::string DateAsText(int64_t day) {
  int y, m, d;
  CivilFromDay(day, &y, &m, &d);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", d, m, y);
  return buf;
}

}  // namespace

Value ConvertForField(const Value& v, const FieldSpec& from, const FieldSpec& to) {
  (void)from;
  if (v.IsNull()) return v;
  const Value::Kind want = KindOfFieldType(to.type);
  if (v.kind == want) {
    if (want == Value::Kind::Number && to.type == bde::fldDBNUM)
      return Value::Number(v.d, RoundDecimalText(v.DecimalText(), to.decimals));
    return v;
  }
  switch (want) {
    case Value::Kind::Text:
      switch (v.kind) {
        case Value::Kind::Integer:
        case Value::Kind::Number: return Value::Text(v.DecimalText());
        case Value::Kind::Logical: return Value::Text(v.i ? "T" : "F");
        case Value::Kind::Date: return Value::Text(DateAsText(v.i));
        case Value::Kind::Time:
        case Value::Kind::Timestamp: return Value::Text(v.ToDisplay());
        default: NoConversion(v, "a texto");
      }
    case Value::Kind::Number: {
      std::string exact;
      if (v.kind == Value::Kind::Integer || v.kind == Value::Kind::Number) {
        exact = v.DecimalText();
      } else if (v.kind == Value::Kind::Text) {
        if (Trim(v.s).empty()) return Value::Null();
        auto p = ParseDecimal(v.s);
        if (!p) NoConversion(v, "a número");
        exact = *p;
      } else {
        NoConversion(v, "a número");
      }
      if (to.type == bde::fldDBNUM) exact = RoundDecimalText(exact, to.decimals);
      return Value::Number(std::strtod(exact.c_str(), nullptr), exact);
    }
    case Value::Kind::Integer: {
      std::string exact;
      if (v.kind == Value::Kind::Number) {
        exact = v.DecimalText();
      } else if (v.kind == Value::Kind::Text) {
        if (Trim(v.s).empty()) return Value::Null();
        auto p = ParseDecimal(v.s);
        if (!p) NoConversion(v, "a número entero");
        exact = *p;
      } else {
        NoConversion(v, "a número entero");
      }
      exact = RoundDecimalText(exact, 0);
      errno = 0;
      char* end = nullptr;
      long long n = std::strtoll(exact.c_str(), &end, 10);
      if (errno || !end || *end) NoConversion(v, "a número entero");
      return Value::Integer(n);
    }
    case Value::Kind::Date:
      if (v.kind == Value::Kind::Text) {
        if (Trim(v.s).empty()) return Value::Null();
        if (auto d = ParseDateText(v.s)) return Value::Date(*d);
      }
      if (v.kind == Value::Kind::Timestamp) {
        if (v.i % kMsPerDay != 0) NoConversion(v, "a fecha sin perder la hora");
        return Value::Date(v.i / kMsPerDay);
      }
      NoConversion(v, "a fecha");
    case Value::Kind::Timestamp:
      if (v.kind == Value::Kind::Date) return Value::Timestamp(v.i * kMsPerDay);
      NoConversion(v, "a fecha y hora");
    case Value::Kind::Logical:
      if (v.kind == Value::Kind::Text) {
        std::string t = Trim(v.s);
        if (t.empty()) return Value::Null();
        std::string u;
        for (char c : t) u.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
        if (u == "T" || u == "Y" || u == "S" || u == ".T." || u == "TRUE" || u == "SI" || u == "SÍ") return Value::Logical(true);
        if (u == "F" || u == "N" || u == ".F." || u == "FALSE" || u == "NO") return Value::Logical(false);
      }
      NoConversion(v, "a lógico");
    case Value::Kind::Time:
      NoConversion(v, "a hora");
    default:
      if (v.kind == Value::Kind::Text) return Value::Binary(v.s);
      NoConversion(v, "a datos binarios");
  }
}

}  // namespace engine
