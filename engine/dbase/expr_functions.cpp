// The functions of the expression language: how each one's arguments are checked and its
// result type and width fixed at parse time, and how it is evaluated on a row. Character
// results are never longer than the width fixed at parse time; a shorter result is padded with
// blanks where the whole key is made.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/convert.h"
#include "engine/dbase/expr.h"
#include "engine/dbase/expr_node.h"
#include "engine/dbase/mdx.h"
#include "engine/value.h"

namespace engine::dbase {

namespace {

struct FunctionName {
  const char* name;
  Fn fn;
};

constexpr FunctionName kFunctions[] = {
    {"UPPER", Fn::kUpper},     {"LOWER", Fn::kLower},   {"TRIM", Fn::kRTrim},        {"RTRIM", Fn::kRTrim},
    {"LTRIM", Fn::kLTrim},     {"ALLTRIM", Fn::kAllTrim}, {"SUBSTR", Fn::kSubstr},   {"LEFT", Fn::kLeft},
    {"RIGHT", Fn::kRight},     {"STR", Fn::kStr},       {"VAL", Fn::kVal},           {"DTOS", Fn::kDtos},
    {"DTOC", Fn::kDtoc},       {"IIF", Fn::kIif},       {"DELETED", Fn::kDeleted},   {"RECNO", Fn::kRecNo},
    {"CTOD", Fn::kCtod},       {"DAY", Fn::kDay},       {"MONTH", Fn::kMonth},       {"YEAR", Fn::kYear},
    {"CDOW", Fn::kCdow},       {"CMONTH", Fn::kCmonth}, {"ASC", Fn::kAsc},           {"CHR", Fn::kChr},
    {"SPACE", Fn::kSpace},     {"REPLICATE", Fn::kReplicate}, {"PADL", Fn::kPadL},   {"PADR", Fn::kPadR},
    {"PADC", Fn::kPadC},       {"ABS", Fn::kAbs},       {"INT", Fn::kInt},           {"ROUND", Fn::kRound},
    {"MAX", Fn::kMax},         {"MIN", Fn::kMin},       {"LEN", Fn::kLen},           {"AT", Fn::kAt},
    {"DESCEND", Fn::kDescend}, {"STUFF", Fn::kStuff},
};

// Functions whose arguments all have a fixed type and whose result has a fixed type and width.
struct Signature {
  Fn fn;
  const char* args;  // one type letter per argument
  char result;
  int width;         // of a character result; kSameWidth: the first argument's
};
constexpr int kSameWidth = -1;
constexpr int kLongestName = 9;  // of the names CDOW() and CMONTH() give: "Wednesday", "September"

constexpr Signature kSignatures[] = {
    {Fn::kUpper, "C", 'C', kSameWidth}, {Fn::kLower, "C", 'C', kSameWidth},  {Fn::kRTrim, "C", 'C', kSameWidth},
    {Fn::kLTrim, "C", 'C', kSameWidth}, {Fn::kAllTrim, "C", 'C', kSameWidth}, {Fn::kVal, "C", 'N', 0},
    {Fn::kAsc, "C", 'N', 0},            {Fn::kLen, "C", 'N', 0},              {Fn::kAt, "CC", 'N', 0},
    {Fn::kDtos, "D", 'C', 8},           {Fn::kDtoc, "D", 'C', 8},             {Fn::kCdow, "D", 'C', kLongestName},
    {Fn::kCmonth, "D", 'C', kLongestName}, {Fn::kDay, "D", 'N', 0},           {Fn::kMonth, "D", 'N', 0},
    {Fn::kYear, "D", 'N', 0},           {Fn::kCtod, "C", 'D', 0},             {Fn::kDeleted, "", 'L', 0},
    {Fn::kRecNo, "", 'N', 0},           {Fn::kAbs, "N", 'N', 0},              {Fn::kInt, "N", 'N', 0},
    {Fn::kRound, "NN", 'N', 0},
};

const char* const kDayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

[[noreturn]] void Fail(const std::string& what) { throw ParseProblem{what}; }

const char* TypeName(char type) {
  return type == 'C' ? "texto" : type == 'N' ? "número" : type == 'D' ? "fecha" : "lógico";
}

// Checks of one call's arguments, with messages that name the function.
class Call {
 public:
  Call(ExprNode& n, const std::string& name) : n_(n), name_(name + "()") {}

  void Arity(size_t lo, size_t hi) const {
    size_t got = n_.args.size();
    if (got < lo || got > hi)
      Fail(name_ + " recibe " + std::to_string(got) + " argumentos y admite " +
           (lo == hi ? std::to_string(lo) : "de " + std::to_string(lo) + " a " + std::to_string(hi)));
  }
  const ExprNode& Arg(size_t i, char type) const {
    const ExprNode& a = *n_.args[i];
    if (a.type != type)
      Fail("el argumento " + std::to_string(i + 1) + " de " + name_ + " debe ser de tipo " + TypeName(type) +
           " y es de tipo " + TypeName(a.type));
    return a;
  }
  // A numeric argument that must be known at parse time (it fixes a length or a position).
  int Constant(size_t i, int lo, int hi) const {
    const ExprNode& a = Arg(i, 'N');
    if (!IsConstant(a))
      Fail("el argumento " + std::to_string(i + 1) + " de " + name_ +
           " debe ser un número fijo, porque de él depende la longitud de la clave");
    double v = EvalConstant(a).number;
    if (!(v >= lo && v <= hi))
      Fail("el argumento " + std::to_string(i + 1) + " de " + name_ + " debe valer de " + std::to_string(lo) +
           " a " + std::to_string(hi));
    return static_cast<int>(v);
  }
  void Result(char type, int64_t width = 0) const {
    if (width > kMaxTextWidth) Fail(name_ + " da un texto de más de " + std::to_string(kMaxTextWidth) + " bytes");
    n_.type = type;
    n_.width = type == 'C' ? static_cast<int>(width) : 0;
  }
  [[noreturn]] void Refuse(const std::string& why) const { Fail("no se admite " + name_ + " " + why); }

 private:
  ExprNode& n_;
  std::string name_;
};

// Reads a number at the start of s as VAL() does: blanks, sign, digits, point, digits.
ExprValue ParseVal(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  std::string exact;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    if (s[i] == '-') exact += '-';
    ++i;
  }
  bool digits = false, point = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      exact += c;
      digits = true;
    } else if (c == '.' && !point) {
      exact += c;
      point = true;
    } else {
      break;
    }
  }
  if (!digits) return NumValue(0, "0");
  if (exact.back() == '.') exact.pop_back();
  return NumValue(std::strtod(exact.c_str(), nullptr), exact);
}

bool Civil(int64_t day, int* y, int* m, int* d) {
  if (day <= 0 || day > LastDay()) return false;
  CivilFromDay(day, y, m, d);
  return true;
}

// DTOS() gives YYYYMMDD, DTOC() MM/DD/YY (dBASE's default SET DATE AMERICAN, no century).
std::string DateText(int64_t day, bool dtos) {
  int y = 0, m = 0, d = 0;
  if (!Civil(day, &y, &m, &d)) return dtos ? std::string(8, ' ') : std::string("  /  /  ");
  char buf[32];
  if (dtos)
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
  else
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", m, d, y % 100);
  return buf;
}

// CTOD(): MM/DD/YY or MM/DD/YYYY, any one non-digit between the parts; a two-digit year is of
// the 1900s (no SET EPOCH). Text that makes no valid date gives the blank date.
int64_t ParseDate(const std::string& s) {
  int part[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      if (i >= s.size() || (s[i] >= '0' && s[i] <= '9')) return 0;
      ++i;
    }
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9' && digits[k] < 4; ++i) {
      part[k] = part[k] * 10 + (s[i] - '0');
      ++digits[k];
    }
    if (digits[k] == 0) return 0;
  }
  if (TrimRight(s.substr(i)).size() > 0) return 0;
  int year = digits[2] <= 2 ? 1900 + part[2] : part[2];
  if (year < 1 || !IsValidCivil(year, part[0], part[1])) return 0;
  return DayFromCivil(year, part[0], part[1]);
}

// The number rounded to `decimals`, from its exact text when it has one.
std::string Rounded(const ExprValue& v, int decimals) { return RoundDecimal(DecimalOf(v), decimals); }

ExprValue DecimalValue(const std::string& text) { return NumValue(std::strtod(text.c_str(), nullptr), text); }

// STR(): right-aligned in `width`. When the decimals do not fit they are rounded to as many
// places as fit; when the integer part does not fit, the result is all asterisks.
std::string FormatStr(const ExprValue& v, int width, int decimals) {
  for (int dec = std::min(decimals, std::max(width - 2, 0)); dec >= 0; --dec) {
    std::string s = Rounded(v, dec);
    if (s.empty()) break;
    if (s.size() <= static_cast<size_t>(width)) return std::string(static_cast<size_t>(width) - s.size(), ' ') + s;
  }
  return std::string(static_cast<size_t>(std::max(width, 0)), '*');
}

std::string Pad(const std::string& s, size_t width, Fn side, char fill) {
  if (s.size() >= width) return s.substr(0, width);
  size_t missing = width - s.size();
  size_t left = side == Fn::kPadL ? missing : side == Fn::kPadC ? missing / 2 : 0;
  return std::string(left, fill) + s + std::string(missing - left, fill);
}

}  // namespace

std::string RoundDecimal(const std::string& text, int decimals) {
  std::optional<std::string> exact = ParseDecimal(text);
  if (!exact) return {};
  std::string t = *exact;
  size_t shift = decimals < 0 ? static_cast<size_t>(-decimals) : 0;
  if (shift > 0) {
    // To tens, hundreds...: the point moves left, the units are rounded, the zeros come back.
    bool negative = t[0] == '-';
    std::string digits = negative ? t.substr(1) : t;
    size_t dot = digits.find('.');
    std::string whole = digits.substr(0, dot), fraction = dot == std::string::npos ? "" : digits.substr(dot + 1);
    if (whole.size() <= shift) whole.insert(0, shift - whole.size() + 1, '0');
    t = std::string(negative ? "-" : "") + whole.substr(0, whole.size() - shift) + "." + whole.substr(whole.size() - shift) + fraction;
  }
  std::string r = RoundDecimalText(t, std::max(decimals, 0));
  if (shift > 0) return r == "0" ? r : r + std::string(shift, '0');
  size_t dot = r.find('.');
  size_t have = dot == std::string::npos ? 0 : r.size() - dot - 1;
  if (decimals > 0) {
    if (dot == std::string::npos) r += '.';
    r.append(static_cast<size_t>(decimals) - have, '0');
  }
  return r;
}

std::string DecimalOf(const ExprValue& v) {
  if (!v.text.empty() && ParseDecimal(v.text)) return v.text;
  return Value::Number(v.number).DecimalText();
}

std::string XbaseStr(double value, int width, int decimals) {
  if (width <= 0) return {};
  return FormatStr(NumValue(value), width, std::max(decimals, 0));
}

bool FindFunction(const std::string& upper_name, Fn* fn, std::string* full_name) {
  const FunctionName* found = nullptr;
  for (const FunctionName& f : kFunctions) {
    std::string name = f.name;
    if (name == upper_name) {
      found = &f;
      break;
    }
    // dBASE accepts the first four letters (or more) of a name.
    if (upper_name.size() >= 4 && upper_name.size() < name.size() && name.compare(0, upper_name.size(), upper_name) == 0) {
      if (found && found->fn != f.fn) return false;  // ambiguous
      found = &f;
    }
  }
  if (!found) return false;
  *fn = found->fn;
  *full_name = found->name;
  return true;
}

void TypeCall(ExprNode& n, const std::string& fn_name) {
  Call c(n, fn_name);
  auto width = [&](size_t i) { return static_cast<int64_t>(n.args[i]->width); };
  for (const Signature& sig : kSignatures) {
    if (sig.fn != n.fn) continue;
    size_t count = std::char_traits<char>::length(sig.args);
    c.Arity(count, count);
    for (size_t i = 0; i < count; ++i) c.Arg(i, sig.args[i]);
    c.Result(sig.result, sig.width == kSameWidth ? width(0) : sig.width);
    return;
  }
  switch (n.fn) {
    case Fn::kDescend:
      c.Arity(1, 1);
      if (n.args[0]->type != 'C')
        c.Refuse("sobre números, fechas ni valores lógicos: no se conoce con certeza la clave que dBASE guarda para ellos");
      c.Result('C', width(0));
      return;
    case Fn::kSubstr: {
      c.Arity(2, 3);
      c.Arg(0, 'C');
      c.Arg(1, 'N');
      int64_t w = width(0);
      if (IsConstant(*n.args[1])) {
        n.size1 = c.Constant(1, 1, kMaxTextWidth);
        w = std::max<int64_t>(0, w - n.size1 + 1);
      } else if (n.args.size() == 2) {
        c.Refuse("con una posición variable y sin longitud: la longitud de la clave no sería fija");
      }
      if (n.args.size() == 3) {
        n.size2 = c.Constant(2, 0, kMaxTextWidth);
        w = std::min<int64_t>(w, n.size2);
      } else {
        n.size2 = kMaxTextWidth;
      }
      c.Result('C', w);
      return;
    }
    case Fn::kLeft: case Fn::kRight:
      c.Arity(2, 2);
      c.Arg(0, 'C');
      n.size1 = c.Constant(1, 0, kMaxTextWidth);
      c.Result('C', std::min<int64_t>(width(0), n.size1));
      return;
    case Fn::kStr:
      c.Arity(1, 3);
      c.Arg(0, 'N');
      n.size1 = n.args.size() > 1 ? c.Constant(1, 1, 255) : 10;
      n.size2 = n.args.size() > 2 ? c.Constant(2, 0, 255) : 0;
      c.Result('C', n.size1);
      return;
    case Fn::kIif:
      c.Arity(3, 3);
      c.Arg(0, 'L');
      c.Arg(2, n.args[1]->type);
      c.Result(n.args[1]->type, std::max(width(1), width(2)));
      return;
    case Fn::kChr:
      c.Arity(1, 1);
      if (IsConstant(c.Arg(0, 'N'))) c.Constant(0, 0, 255);
      c.Result('C', 1);
      return;
    case Fn::kSpace:
      c.Arity(1, 1);
      n.size1 = c.Constant(0, 0, kMaxTextWidth);
      c.Result('C', n.size1);
      return;
    case Fn::kReplicate:
      c.Arity(2, 2);
      c.Arg(0, 'C');
      n.size1 = c.Constant(1, 0, kMaxTextWidth);
      c.Result('C', width(0) * n.size1);
      return;
    case Fn::kPadL: case Fn::kPadR: case Fn::kPadC:
      c.Arity(2, 3);
      c.Arg(0, 'C');
      n.size1 = c.Constant(1, 0, kMaxTextWidth);
      if (n.args.size() == 3) c.Arg(2, 'C');
      c.Result('C', n.size1);
      return;
    case Fn::kMax: case Fn::kMin:
      c.Arity(2, 2);
      if (n.args[0]->type != 'N' && n.args[0]->type != 'D') c.Refuse("sobre textos ni valores lógicos: compara números o fechas");
      c.Arg(1, n.args[0]->type);
      c.Result(n.args[0]->type);
      return;
    case Fn::kStuff: {
      c.Arity(4, 4);
      c.Arg(0, 'C');
      n.size1 = c.Constant(1, 1, kMaxTextWidth);
      n.size2 = c.Constant(2, 0, kMaxTextWidth);
      c.Arg(3, 'C');
      int64_t w = width(0), before = std::min<int64_t>(n.size1 - 1, w);
      c.Result('C', before + width(3) + std::max<int64_t>(0, w - before - n.size2));
      return;
    }
    default:
      Fail("función desconocida " + fn_name + "()");
  }
}

ExprValue EvalCall(const ExprNode& n, const RecordView& row) {
  auto arg = [&](size_t i) { return n.args[i]->Eval(row); };
  auto text = [&](size_t i) { return n.args[i]->Eval(row).text; };
  auto count = [](size_t size) { return static_cast<double>(size); };
  switch (n.fn) {
    case Fn::kUpper:
    case Fn::kLower: {
      std::string s = text(0);
      for (char& ch : s) {
        auto b = static_cast<uint8_t>(ch);
        ch = static_cast<char>(n.fn == Fn::kUpper ? n.cp->ToUpper(b) : n.cp->ToLower(b));
      }
      return TextValue(std::move(s));
    }
    case Fn::kRTrim: return TextValue(TrimRight(text(0)));
    case Fn::kLTrim: return TextValue(TrimLeft(text(0)));
    case Fn::kAllTrim: return TextValue(TrimLeft(TrimRight(text(0))));
    case Fn::kDescend: {
      std::string s = text(0);
      for (char& ch : s) ch = static_cast<char>(255 - static_cast<uint8_t>(ch));
      return TextValue(std::move(s));
    }
    case Fn::kSubstr: {
      std::string s = text(0);
      // A variable position before the first character counts from the first.
      auto from = static_cast<size_t>(n.size1 > 0 ? n.size1 : ClampToInt(arg(1).number, 1, kMaxTextWidth + 1)) - 1;
      if (from >= s.size()) return TextValue("");
      return TextValue(s.substr(from, std::min(s.size() - from, static_cast<size_t>(n.size2))));
    }
    case Fn::kLeft: {
      std::string s = text(0);
      return TextValue(s.substr(0, std::min(s.size(), static_cast<size_t>(n.size1))));
    }
    case Fn::kRight: {
      std::string s = text(0);
      return TextValue(s.substr(s.size() - std::min(s.size(), static_cast<size_t>(n.size1))));
    }
    case Fn::kStr: return TextValue(FormatStr(arg(0), n.size1, n.size2));
    case Fn::kVal: return ParseVal(text(0));
    case Fn::kDtos: return TextValue(DateText(arg(0).day, true));
    case Fn::kDtoc: return TextValue(DateText(arg(0).day, false));
    case Fn::kIif: return arg(0).logical ? arg(1) : arg(2);
    case Fn::kDeleted: return LogicalValue(row.Deleted());
    case Fn::kRecNo: {
      uint64_t r = row.RecNo();
      return NumValue(static_cast<double>(r), std::to_string(r));
    }
    case Fn::kCtod: return DateValue(ParseDate(text(0)));
    case Fn::kDay: case Fn::kMonth: case Fn::kYear: {
      int y = 0, m = 0, d = 0;
      Civil(arg(0).day, &y, &m, &d);
      int v = n.fn == Fn::kDay ? d : n.fn == Fn::kMonth ? m : y;
      return NumValue(v, std::to_string(v));
    }
    case Fn::kCdow: {
      int64_t day = arg(0).day;
      if (day <= 0 || day > LastDay()) return TextValue("");
      return TextValue(kDayNames[day % 7]);  // day 1, 0001-01-01, was a Monday
    }
    case Fn::kCmonth: {
      int y = 0, m = 0, d = 0;
      return TextValue(Civil(arg(0).day, &y, &m, &d) ? kMonthNames[m - 1] : "");
    }
    case Fn::kAsc: {
      std::string s = text(0);
      int v = s.empty() ? 0 : static_cast<uint8_t>(s[0]);
      return NumValue(v, std::to_string(v));
    }
    case Fn::kChr: {
      // Codes outside 0-255 wrap around, as the byte they end in.
      int64_t code = ClampToInt(std::trunc(arg(0).number), -(int64_t{1} << 53), int64_t{1} << 53);
      return TextValue(std::string(1, static_cast<char>(static_cast<uint8_t>(((code % 256) + 256) % 256))));
    }
    case Fn::kSpace: return TextValue(std::string(static_cast<size_t>(n.size1), ' '));
    case Fn::kReplicate: {
      std::string s = text(0), out;
      for (int k = 0; k < n.size1; ++k) out += s;
      return TextValue(std::move(out));
    }
    case Fn::kPadL: case Fn::kPadR: case Fn::kPadC: {
      std::string fill = n.args.size() == 3 ? text(2) : " ";
      return TextValue(Pad(text(0), static_cast<size_t>(n.size1), n.fn, fill.empty() ? ' ' : fill[0]));
    }
    // ABS() and INT() keep a number's exact text when it has one.
    case Fn::kAbs: {
      ExprValue v = arg(0);
      std::string d = v.text.empty() ? v.text : DecimalOf(v);
      return NumValue(std::fabs(v.number), d.empty() || d[0] != '-' ? d : d.substr(1));
    }
    case Fn::kInt: {
      ExprValue v = arg(0);
      if (v.text.empty()) return NumValue(std::trunc(v.number));
      std::string d = DecimalOf(v);
      d = d.substr(0, d.find('.'));
      return DecimalValue(d == "-0" || d == "-" || d.empty() ? "0" : d);
    }
    case Fn::kRound: {
      ExprValue v = arg(0);
      std::string r = Rounded(v, static_cast<int>(ClampToInt(std::trunc(arg(1).number), -30, 30)));
      return r.empty() ? NumValue(v.number) : DecimalValue(r);
    }
    case Fn::kMax: case Fn::kMin: {
      ExprValue a = arg(0), b = arg(1);
      bool a_less = a.type == 'D' ? a.day < b.day : a.number < b.number;
      bool b_less = a.type == 'D' ? b.day < a.day : b.number < a.number;
      return (n.fn == Fn::kMax ? !a_less : !b_less) ? a : b;  // equal: the first
    }
    case Fn::kLen: return NumValue(count(text(0).size()), std::to_string(text(0).size()));
    case Fn::kAt: {
      std::string needle = text(0), hay = text(1);
      size_t at = needle.empty() ? std::string::npos : hay.find(needle);
      size_t v = at == std::string::npos ? 0 : at + 1;
      return NumValue(count(v), std::to_string(v));
    }
    case Fn::kStuff: {
      std::string s = text(0);
      size_t from = std::min(static_cast<size_t>(n.size1) - 1, s.size());
      size_t removed = std::min(static_cast<size_t>(n.size2), s.size() - from);
      return TextValue(s.substr(0, from) + text(3) + s.substr(from + removed));
    }
  }
  return LogicalValue(false);
}

}  // namespace engine::dbase
