#include "engine/dbase/expr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/bde.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/value.h"

namespace engine::dbase {

namespace {

enum class Op {
  kField, kStrLit, kNumLit, kBoolLit, kDateLit,
  kAdd, kSub, kMul, kDiv, kNeg,
  kEq, kExactEq, kNe, kLt, kLe, kGt, kGe, kContains,
  kAnd, kOr, kNot,
  kUpper, kLower, kRTrim, kLTrim, kAllTrim, kSubstr, kLeft, kRight, kStr, kVal, kDtos, kDtoc,
  kIif, kDeleted, kRecNo,
};

struct Token {
  enum Kind { kEnd, kIdent, kString, kNumber, kDate, kOp, kTrue, kFalse, kAnd, kOr, kNot } kind = kEnd;
  std::string text;
  size_t pos = 0;
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string PadTo(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  else if (s.size() > width) s.resize(width);
  return s;
}

std::string TrimRight(const std::string& s) {
  size_t end = s.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

std::string TrimLeft(const std::string& s) {
  size_t start = s.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : s.substr(start);
}

}  // namespace

class ExprNode {
 public:
  Op op;
  char type = 'C';
  int width = 0;
  std::vector<std::unique_ptr<ExprNode>> args;
  std::string name;   // field name as stored, or literal text
  double number = 0;
  int64_t day = 0;
  bool logical = false;
  char field_kind = 0;  // 'C', 'N', 'D', 'L' for fields
  const CodePage* cp = nullptr;

  ExprValue Eval(const RecordView& row) const;
};

namespace {

ExprValue Num(double d, std::string exact = {}) {
  ExprValue v;
  v.type = 'N';
  v.number = d;
  v.text = std::move(exact);
  return v;
}

ExprValue Chr(std::string s) {
  ExprValue v;
  v.type = 'C';
  v.text = std::move(s);
  return v;
}

ExprValue Bool(bool b) {
  ExprValue v;
  v.type = 'L';
  v.logical = b;
  return v;
}

ExprValue DateV(int64_t day) {
  ExprValue v;
  v.type = 'D';
  v.day = day;
  return v;
}

int CompareText(std::string a, std::string b) {
  size_t n = std::max(a.size(), b.size());
  a = PadTo(std::move(a), n);
  b = PadTo(std::move(b), n);
  int c = std::memcmp(a.data(), b.data(), n);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

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
  if (!digits) return Num(0, "0");
  if (exact.back() == '.') exact.pop_back();
  return Num(std::strtod(exact.c_str(), nullptr), exact);
}

std::string DateText(int64_t day, bool dtos) {
  if (day <= 0) return dtos ? std::string(8, ' ') : std::string("  /  /  ");
  int y = 0, m = 0, d = 0;
  CivilFromDay(day, &y, &m, &d);
  char buf[32];
  if (dtos)
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y % 10000, m, d);
  else
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", m, d, y % 100);
  return buf;
}

}  // namespace

std::string XbaseStr(double value, int width, int decimals) {
  if (width <= 0) return {};
  if (!std::isfinite(value) || std::fabs(value) >= 1e300) return std::string(static_cast<size_t>(width), '*');
  char buf[400];
  std::snprintf(buf, sizeof buf, "%*.*f", width, std::clamp(decimals, 0, 18), value);
  std::string s = buf;
  if (s.size() > static_cast<size_t>(width)) return std::string(static_cast<size_t>(width), '*');
  return s;
}

ExprValue ExprNode::Eval(const RecordView& row) const {
  switch (op) {
    case Op::kField: {
      if (field_kind == 'C') return Chr(PadTo(row.RawText(name), static_cast<size_t>(width)));
      Value v = row.Field(name);
      if (field_kind == 'N') {
        if (v.IsNull()) return Num(0, "0");
        if (v.kind == Value::Kind::Integer) return Num(static_cast<double>(v.i), std::to_string(v.i));
        std::optional<double> d = v.AsDouble();
        return Num(d.value_or(0), v.DecimalText());
      }
      if (field_kind == 'D') return DateV(v.kind == Value::Kind::Date ? v.i : 0);
      return Bool(v.kind == Value::Kind::Logical && v.i != 0);
    }
    case Op::kStrLit: return Chr(name);
    case Op::kNumLit: return Num(number, name);
    case Op::kBoolLit: return Bool(logical);
    case Op::kDateLit: return DateV(day);
    case Op::kAdd:
    case Op::kSub: {
      ExprValue a = args[0]->Eval(row), b = args[1]->Eval(row);
      if (a.type == 'C') {
        if (op == Op::kAdd) return Chr(a.text + b.text);
        std::string t = TrimRight(a.text);
        return Chr(t + b.text + std::string(a.text.size() - t.size(), ' '));
      }
      if (a.type == 'D' && b.type == 'D') return Num(a.day > 0 && b.day > 0 ? static_cast<double>(a.day - b.day) : 0);
      if (a.type == 'D' || b.type == 'D') {
        const ExprValue& d = a.type == 'D' ? a : b;
        const ExprValue& n = a.type == 'D' ? b : a;
        if (d.day <= 0) return DateV(0);
        double delta = op == Op::kAdd ? n.number : -n.number;
        return DateV(d.day + static_cast<int64_t>(std::floor(delta)));
      }
      return Num(op == Op::kAdd ? a.number + b.number : a.number - b.number);
    }
    case Op::kMul: return Num(args[0]->Eval(row).number * args[1]->Eval(row).number);
    case Op::kDiv: {
      double d = args[1]->Eval(row).number;
      return Num(d == 0 ? 0 : args[0]->Eval(row).number / d);
    }
    case Op::kNeg: return Num(-args[0]->Eval(row).number);
    case Op::kEq: case Op::kExactEq: case Op::kNe: case Op::kLt: case Op::kLe: case Op::kGt: case Op::kGe: {
      ExprValue a = args[0]->Eval(row), b = args[1]->Eval(row);
      int c = 0;
      if (a.type == 'C') {
        if (op == Op::kEq || op == Op::kNe) {
          // Inexact comparison: the left side need only begin with the right side.
          std::string l = PadTo(a.text, std::max(a.text.size(), b.text.size()));
          bool eq = l.compare(0, b.text.size(), b.text) == 0;
          return Bool(op == Op::kEq ? eq : !eq);
        }
        c = op == Op::kExactEq ? (TrimRight(a.text) == TrimRight(b.text) ? 0 : 1) : CompareText(a.text, b.text);
      } else if (a.type == 'N') {
        c = a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
      } else if (a.type == 'D') {
        c = a.day < b.day ? -1 : (a.day > b.day ? 1 : 0);
      } else {
        c = a.logical == b.logical ? 0 : (a.logical ? 1 : -1);
      }
      switch (op) {
        case Op::kEq: case Op::kExactEq: return Bool(c == 0);
        case Op::kNe: return Bool(c != 0);
        case Op::kLt: return Bool(c < 0);
        case Op::kLe: return Bool(c <= 0);
        case Op::kGt: return Bool(c > 0);
        default: return Bool(c >= 0);
      }
    }
    case Op::kContains: {
      ExprValue a = args[0]->Eval(row), b = args[1]->Eval(row);
      return Bool(b.text.find(a.text) != std::string::npos);
    }
    case Op::kAnd: return Bool(args[0]->Eval(row).logical && args[1]->Eval(row).logical);
    case Op::kOr: return Bool(args[0]->Eval(row).logical || args[1]->Eval(row).logical);
    case Op::kNot: return Bool(!args[0]->Eval(row).logical);
    case Op::kUpper:
    case Op::kLower: {
      std::string s = args[0]->Eval(row).text;
      for (char& ch : s) {
        auto b = static_cast<uint8_t>(ch);
        ch = static_cast<char>(op == Op::kUpper ? cp->ToUpper(b) : cp->ToLower(b));
      }
      return Chr(std::move(s));
    }
    case Op::kRTrim: return Chr(TrimRight(args[0]->Eval(row).text));
    case Op::kLTrim: return Chr(TrimLeft(args[0]->Eval(row).text));
    case Op::kAllTrim: return Chr(TrimLeft(TrimRight(args[0]->Eval(row).text)));
    case Op::kSubstr: {
      std::string s = args[0]->Eval(row).text;
      double start = args[1]->Eval(row).number;
      size_t from = start < 1 ? 0 : static_cast<size_t>(start) - 1;
      if (from >= s.size()) return Chr("");
      size_t len = s.size() - from;
      if (args.size() > 2) {
        double l = args[2]->Eval(row).number;
        len = std::min(len, l < 0 ? size_t{0} : static_cast<size_t>(l));
      }
      return Chr(s.substr(from, len));
    }
    case Op::kLeft: {
      std::string s = args[0]->Eval(row).text;
      double n = args[1]->Eval(row).number;
      return Chr(s.substr(0, std::min(s.size(), n < 0 ? size_t{0} : static_cast<size_t>(n))));
    }
    case Op::kRight: {
      std::string s = args[0]->Eval(row).text;
      double d = args[1]->Eval(row).number;
      size_t n = std::min(s.size(), d < 0 ? size_t{0} : static_cast<size_t>(d));
      return Chr(s.substr(s.size() - n));
    }
    case Op::kStr: {
      ExprValue n = args[0]->Eval(row);
      int w = args.size() > 1 ? static_cast<int>(args[1]->number) : 10;
      int dec = args.size() > 2 ? static_cast<int>(args[2]->number) : 0;
      return Chr(XbaseStr(n.number, w, dec));
    }
    case Op::kVal: return ParseVal(args[0]->Eval(row).text);
    case Op::kDtos: return Chr(DateText(args[0]->Eval(row).day, true));
    case Op::kDtoc: return Chr(DateText(args[0]->Eval(row).day, false));
    case Op::kIif: return args[0]->Eval(row).logical ? args[1]->Eval(row) : args[2]->Eval(row);
    case Op::kDeleted: return Bool(row.Deleted());
    case Op::kRecNo: {
      uint64_t r = row.RecNo();
      return Num(static_cast<double>(r), std::to_string(r));
    }
  }
  return Bool(false);
}

namespace {

class Parser {
 public:
  Parser(const std::string& src, const std::vector<FieldSpec>& fields, const CodePage& cp)
      : src_(src), fields_(fields), cp_(cp) {
    Advance();
  }

  std::unique_ptr<ExprNode> ParseAll() {
    if (tok_.kind == Token::kEnd) Fail("la expresión está vacía");
    auto n = ParseOr();
    if (tok_.kind != Token::kEnd) Fail("sobra texto en la posición " + std::to_string(tok_.pos + 1));
    return n;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    throw EngineError(err::kInvalidExpression,
                      "La expresión de índice «" + cp_.Decode(src_) + "» no es válida: " + what + ".");
  }

  void Advance() {
    size_t i = pos_;
    while (i < src_.size() && (src_[i] == ' ' || src_[i] == '\t')) ++i;
    tok_ = Token();
    tok_.pos = i;
    if (i >= src_.size()) {
      pos_ = i;
      return;
    }
    char c = src_[i];
    auto is_alpha = [](char ch) {
      return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || ch == '_' ||
             static_cast<unsigned char>(ch) >= 0x80;
    };
    auto is_digit = [](char ch) { return ch >= '0' && ch <= '9'; };
    if (is_alpha(c)) {
      size_t j = i;
      while (j < src_.size() && (is_alpha(src_[j]) || is_digit(src_[j]))) ++j;
      tok_.kind = Token::kIdent;
      tok_.text = src_.substr(i, j - i);
      pos_ = j;
      return;
    }
    if (is_digit(c) || (c == '.' && i + 1 < src_.size() && is_digit(src_[i + 1]))) {
      size_t j = i;
      bool point = false;
      while (j < src_.size() && (is_digit(src_[j]) || (src_[j] == '.' && !point))) {
        if (src_[j] == '.') {
          // "1.AND." is 1 followed by .AND.
          if (j + 1 < src_.size() && !is_digit(src_[j + 1])) break;
          point = true;
        }
        ++j;
      }
      tok_.kind = Token::kNumber;
      tok_.text = src_.substr(i, j - i);
      pos_ = j;
      return;
    }
    if (c == '\'' || c == '"' || c == '[') {
      char close = c == '[' ? ']' : c;
      size_t j = src_.find(close, i + 1);
      if (j == std::string::npos) Fail("falta el cierre de un texto");
      tok_.kind = Token::kString;
      tok_.text = src_.substr(i + 1, j - i - 1);
      pos_ = j + 1;
      return;
    }
    if (c == '{') {
      size_t j = src_.find('}', i + 1);
      if (j == std::string::npos) Fail("falta el cierre de una fecha");
      tok_.kind = Token::kDate;
      tok_.text = src_.substr(i + 1, j - i - 1);
      pos_ = j + 1;
      return;
    }
    if (c == '.') {
      size_t j = src_.find('.', i + 1);
      if (j != std::string::npos) {
        std::string word = Upper(src_.substr(i + 1, j - i - 1));
        Token::Kind k = Token::kEnd;
        if (word == "T" || word == "Y") k = Token::kTrue;
        else if (word == "F" || word == "N") k = Token::kFalse;
        else if (word == "AND") k = Token::kAnd;
        else if (word == "OR") k = Token::kOr;
        else if (word == "NOT") k = Token::kNot;
        if (k != Token::kEnd) {
          tok_.kind = k;
          pos_ = j + 1;
          return;
        }
      }
      Fail("operador desconocido en la posición " + std::to_string(i + 1));
    }
    static const char* const kOps[] = {"->", "==", "<>", "!=", "<=", ">=", "=", "#", "<", ">", "$",
                                       "+", "-", "*", "/", "(", ")", ",", "!"};
    for (const char* op : kOps) {
      size_t n = std::strlen(op);
      if (src_.compare(i, n, op) == 0) {
        tok_.kind = Token::kOp;
        tok_.text = op;
        pos_ = i + n;
        return;
      }
    }
    Fail("carácter inesperado en la posición " + std::to_string(i + 1));
  }

  bool IsOp(const char* op) const { return tok_.kind == Token::kOp && tok_.text == op; }

  void Expect(const char* op) {
    if (!IsOp(op)) Fail(std::string("se esperaba «") + op + "» en la posición " + std::to_string(tok_.pos + 1));
    Advance();
  }

  std::unique_ptr<ExprNode> Make(Op op, char type, int width = 0) {
    auto n = std::make_unique<ExprNode>();
    n->op = op;
    n->type = type;
    n->width = width;
    n->cp = &cp_;
    return n;
  }

  std::unique_ptr<ExprNode> Binary(Op op, std::unique_ptr<ExprNode> a, std::unique_ptr<ExprNode> b, char type,
                                   int width = 0) {
    auto n = Make(op, type, width);
    n->args.push_back(std::move(a));
    n->args.push_back(std::move(b));
    return n;
  }

  void Need(const ExprNode& n, char type, const char* what) {
    if (n.type != type) {
      static const char* const kNames[] = {"texto", "número", "fecha", "lógico"};
      const char* expected = type == 'C' ? kNames[0] : type == 'N' ? kNames[1] : type == 'D' ? kNames[2] : kNames[3];
      Fail(std::string(what) + " necesita un valor de tipo " + expected);
    }
  }

  std::unique_ptr<ExprNode> ParseOr() {
    auto a = ParseAnd();
    while (tok_.kind == Token::kOr) {
      Advance();
      auto b = ParseAnd();
      Need(*a, 'L', ".OR.");
      Need(*b, 'L', ".OR.");
      a = Binary(Op::kOr, std::move(a), std::move(b), 'L');
    }
    return a;
  }

  std::unique_ptr<ExprNode> ParseAnd() {
    auto a = ParseNot();
    while (tok_.kind == Token::kAnd) {
      Advance();
      auto b = ParseNot();
      Need(*a, 'L', ".AND.");
      Need(*b, 'L', ".AND.");
      a = Binary(Op::kAnd, std::move(a), std::move(b), 'L');
    }
    return a;
  }

  std::unique_ptr<ExprNode> ParseNot() {
    if (tok_.kind == Token::kNot || IsOp("!")) {
      Advance();
      auto a = ParseNot();
      Need(*a, 'L', ".NOT.");
      auto n = Make(Op::kNot, 'L');
      n->args.push_back(std::move(a));
      return n;
    }
    return ParseCompare();
  }

  std::unique_ptr<ExprNode> ParseCompare() {
    auto a = ParseAdd();
    static const std::pair<const char*, Op> kCmp[] = {{"==", Op::kExactEq}, {"=", Op::kEq},  {"<>", Op::kNe},
                                                      {"#", Op::kNe},       {"!=", Op::kNe}, {"<=", Op::kLe},
                                                      {">=", Op::kGe},      {"<", Op::kLt},  {">", Op::kGt},
                                                      {"$", Op::kContains}};
    for (const auto& [text, op] : kCmp) {
      if (!IsOp(text)) continue;
      Advance();
      auto b = ParseAdd();
      if (a->type != b->type) Fail(std::string("los dos lados de «") + text + "» son de tipos distintos");
      if (op == Op::kContains) Need(*a, 'C', "$");
      if (a->type == 'L' && op != Op::kEq && op != Op::kNe && op != Op::kExactEq)
        Fail(std::string("«") + text + "» no ordena valores lógicos");
      return Binary(op, std::move(a), std::move(b), 'L');
    }
    return a;
  }

  std::unique_ptr<ExprNode> ParseAdd() {
    auto a = ParseMul();
    while (IsOp("+") || IsOp("-")) {
      bool add = tok_.text == "+";
      Advance();
      auto b = ParseMul();
      Op op = add ? Op::kAdd : Op::kSub;
      if (a->type == 'C' && b->type == 'C') {
        int width = a->width + b->width;
        a = Binary(op, std::move(a), std::move(b), 'C', width);
      } else if (a->type == 'N' && b->type == 'N') {
        a = Binary(op, std::move(a), std::move(b), 'N');
      } else if (a->type == 'D' && b->type == 'N') {
        a = Binary(op, std::move(a), std::move(b), 'D');
      } else if (add && a->type == 'N' && b->type == 'D') {
        a = Binary(op, std::move(a), std::move(b), 'D');
      } else if (!add && a->type == 'D' && b->type == 'D') {
        a = Binary(op, std::move(a), std::move(b), 'N');
      } else {
        Fail(std::string("«") + (add ? "+" : "-") + "» no admite esos tipos");
      }
    }
    return a;
  }

  std::unique_ptr<ExprNode> ParseMul() {
    auto a = ParseUnary();
    while (IsOp("*") || IsOp("/")) {
      Op op = tok_.text == "*" ? Op::kMul : Op::kDiv;
      Advance();
      auto b = ParseUnary();
      Need(*a, 'N', op == Op::kMul ? "*" : "/");
      Need(*b, 'N', op == Op::kMul ? "*" : "/");
      a = Binary(op, std::move(a), std::move(b), 'N');
    }
    return a;
  }

  std::unique_ptr<ExprNode> ParseUnary() {
    if (IsOp("-") || IsOp("+")) {
      bool neg = tok_.text == "-";
      Advance();
      auto a = ParseUnary();
      Need(*a, 'N', neg ? "-" : "+");
      if (!neg) return a;
      if (a->op == Op::kNumLit) {
        a->number = -a->number;
        a->name = a->name.empty() || a->name[0] == '-' ? a->name.substr(1) : "-" + a->name;
        return a;
      }
      auto n = Make(Op::kNeg, 'N');
      n->args.push_back(std::move(a));
      return n;
    }
    return ParsePrimary();
  }

  int ConstArg(const ExprNode& n, const char* fn) {
    if (n.op != Op::kNumLit) Fail(std::string(fn) + " necesita aquí un número fijo");
    if (n.number < 0 || n.number > 255) Fail(std::string(fn) + " tiene un número fuera de rango");
    return static_cast<int>(n.number);
  }

  std::unique_ptr<ExprNode> ParsePrimary() {
    Token t = tok_;
    switch (t.kind) {
      case Token::kString: {
        Advance();
        auto n = Make(Op::kStrLit, 'C', static_cast<int>(t.text.size()));
        n->name = t.text;
        return n;
      }
      case Token::kNumber: {
        Advance();
        auto n = Make(Op::kNumLit, 'N');
        n->number = std::strtod(t.text.c_str(), nullptr);
        n->name = t.text;
        return n;
      }
      case Token::kTrue:
      case Token::kFalse: {
        Advance();
        auto n = Make(Op::kBoolLit, 'L');
        n->logical = t.kind == Token::kTrue;
        return n;
      }
      case Token::kDate: {
        Advance();
        auto n = Make(Op::kDateLit, 'D');
        int m = 0, d = 0, y = 0;
        std::string body = TrimLeft(TrimRight(t.text));
        if (!body.empty()) {
          char extra = 0;
          if (std::sscanf(body.c_str(), "%d/%d/%d%c", &m, &d, &y, &extra) != 3 || !IsValidCivil(y, m, d))
            Fail("la fecha {" + t.text + "} no es válida");
          n->day = DayFromCivil(y, m, d);
        }
        return n;
      }
      case Token::kOp:
        if (t.text == "(") {
          Advance();
          auto n = ParseOr();
          Expect(")");
          return n;
        }
        Fail("falta un valor en la posición " + std::to_string(t.pos + 1));
      case Token::kIdent: {
        Advance();
        if (IsOp("(")) return ParseCall(t);
        std::string name = t.text;
        if (IsOp("->")) {  // alias->field: the alias is this table
          Advance();
          if (tok_.kind != Token::kIdent) Fail("falta el campo tras «->»");
          name = tok_.text;
          Advance();
        }
        return FieldNode(name);
      }
      default:
        Fail("la expresión termina antes de tiempo");
    }
  }

  std::unique_ptr<ExprNode> FieldNode(const std::string& raw_name) {
    std::string folded = FoldCase(cp_.Decode(raw_name));
    for (const FieldSpec& f : fields_) {
      if (FoldCase(f.name) != folded) continue;
      char kind = 0;
      int width = 0;
      switch (f.type) {
        case bde::fldDBCHAR: kind = 'C'; width = f.size; break;
        case bde::fldDBNUM: case bde::fldDBFLOAT: case bde::fldDBLONG: case bde::fldDBDOUBLE:
        case bde::fldDBAUTOINC: kind = 'N'; break;
        case bde::fldDBDATE: kind = 'D'; break;
        case bde::fldDBBOOL: kind = 'L'; break;
        default: Fail("el campo " + f.name + " no puede formar parte de una clave");
      }
      auto n = Make(Op::kField, kind, width);
      n->name = f.name;
      n->field_kind = kind;
      return n;
    }
    Fail("no existe el campo " + cp_.Decode(raw_name));
  }

  std::unique_ptr<ExprNode> ParseCall(const Token& t) {
    Advance();  // (
    std::vector<std::unique_ptr<ExprNode>> args;
    if (!IsOp(")")) {
      args.push_back(ParseOr());
      while (IsOp(",")) {
        Advance();
        args.push_back(ParseOr());
      }
    }
    Expect(")");
    static const std::pair<const char*, Op> kFuncs[] = {
        {"UPPER", Op::kUpper}, {"LOWER", Op::kLower},   {"TRIM", Op::kRTrim},    {"RTRIM", Op::kRTrim},
        {"LTRIM", Op::kLTrim}, {"ALLTRIM", Op::kAllTrim}, {"SUBSTR", Op::kSubstr}, {"LEFT", Op::kLeft},
        {"RIGHT", Op::kRight}, {"STR", Op::kStr},       {"VAL", Op::kVal},       {"DTOS", Op::kDtos},
        {"DTOC", Op::kDtoc},   {"IIF", Op::kIif},       {"DELETED", Op::kDeleted}, {"RECNO", Op::kRecNo}};
    std::string name = Upper(t.text);
    const std::pair<const char*, Op>* found = nullptr;
    for (const auto& f : kFuncs) {
      std::string full = f.first;
      // Names may be shortened to their first four letters, as in dBASE.
      if (name == full || (name.size() >= 4 && name.size() < full.size() && full.compare(0, name.size(), name) == 0)) {
        found = &f;
        break;
      }
    }
    if (!found) Fail("función desconocida " + cp_.Decode(t.text) + "()");
    const char* fn = found->first;
    Op op = found->second;
    auto arity = [&](size_t lo, size_t hi) {
      if (args.size() < lo || args.size() > hi) Fail(std::string(fn) + "() tiene un número de argumentos incorrecto");
    };
    std::unique_ptr<ExprNode> n;
    switch (op) {
      case Op::kUpper: case Op::kLower: case Op::kRTrim: case Op::kLTrim: case Op::kAllTrim:
        arity(1, 1);
        Need(*args[0], 'C', fn);
        n = Make(op, 'C', args[0]->width);
        break;
      case Op::kSubstr: {
        arity(2, 3);
        Need(*args[0], 'C', fn);
        Need(*args[1], 'N', fn);
        int w = args[0]->width;
        if (args[1]->op == Op::kNumLit) w = std::max(0, w - std::max(ConstArg(*args[1], fn), 1) + 1);
        if (args.size() == 3) {
          Need(*args[2], 'N', fn);
          if (args[2]->op == Op::kNumLit) w = std::min(w, ConstArg(*args[2], fn));
        }
        n = Make(op, 'C', w);
        break;
      }
      case Op::kLeft: case Op::kRight:
        arity(2, 2);
        Need(*args[0], 'C', fn);
        Need(*args[1], 'N', fn);
        n = Make(op, 'C', std::min(args[0]->width, ConstArg(*args[1], fn)));
        break;
      case Op::kStr: {
        arity(1, 3);
        Need(*args[0], 'N', fn);
        int w = args.size() > 1 ? ConstArg(*args[1], fn) : 10;
        if (args.size() > 2) ConstArg(*args[2], fn);
        n = Make(op, 'C', w);
        break;
      }
      case Op::kVal:
        arity(1, 1);
        Need(*args[0], 'C', fn);
        n = Make(op, 'N');
        break;
      case Op::kDtos: case Op::kDtoc:
        arity(1, 1);
        Need(*args[0], 'D', fn);
        n = Make(op, 'C', 8);
        break;
      case Op::kIif:
        arity(3, 3);
        Need(*args[0], 'L', fn);
        if (args[1]->type != args[2]->type) Fail("IIF() da valores de tipos distintos");
        n = Make(op, args[1]->type, std::max(args[1]->width, args[2]->width));
        break;
      case Op::kDeleted:
        arity(0, 0);
        n = Make(op, 'L');
        break;
      case Op::kRecNo:
        arity(0, 0);
        n = Make(op, 'N');
        break;
      default:
        Fail("función desconocida");
    }
    n->args = std::move(args);
    return n;
  }

  const std::string& src_;
  const std::vector<FieldSpec>& fields_;
  const CodePage& cp_;
  size_t pos_ = 0;
  Token tok_;
};

}  // namespace

Expression::~Expression() = default;

std::unique_ptr<Expression> Expression::Parse(const std::string& source, const std::vector<FieldSpec>& fields,
                                              const CodePage& cp) {
  std::unique_ptr<Expression> e(new Expression());
  e->source_ = source;
  e->cp_ = &cp;
  Parser p(e->source_, fields, cp);
  e->root_ = p.ParseAll();
  return e;
}

const std::string* Expression::PlainCharField() const {
  return root_->op == Op::kField && root_->field_kind == 'C' ? &root_->name : nullptr;
}

char Expression::type() const { return root_->type; }
int Expression::width() const { return root_->type == 'C' ? root_->width : 0; }

ExprValue Expression::Eval(const RecordView& row) const {
  ExprValue v = root_->Eval(row);
  if (v.type == 'C') v.text = PadTo(std::move(v.text), static_cast<size_t>(root_->width));
  return v;
}

}  // namespace engine::dbase
