// Tokenizer and parser of xBase expressions: fixes each node's type and width once, so that
// evaluation never meets a type it does not expect.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/bde.h"
#include "engine/dbase/expr.h"
#include "engine/dbase/expr_node.h"
#include "engine/error.h"
#include "engine/value.h"

namespace engine::dbase {

namespace {

// Nesting deeper than this (parentheses, calls, prefix operators) is refused rather than
// followed: an expression read from a file must not exhaust the stack.
constexpr int kMaxDepth = 100;
// Longer text is refused too: it bounds the depth of the tree evaluation walks.
constexpr size_t kMaxSource = 4096;

struct Token {
  enum Kind { kEnd, kIdent, kString, kNumber, kDate, kOp, kTrue, kFalse, kAnd, kOr, kNot } kind = kEnd;
  std::string text;
  size_t pos = 0;
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IsAlpha(char ch) {
  return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || ch == '_' || static_cast<unsigned char>(ch) >= 0x80;
}

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

// The words written between dots: logical constants and logical operators.
Token::Kind DottedWord(const std::string& word) {
  static const std::pair<const char*, Token::Kind> kWords[] = {
      {"T", Token::kTrue},  {"TRUE", Token::kTrue},   {"Y", Token::kTrue}, {"F", Token::kFalse},
      {"FALSE", Token::kFalse}, {"N", Token::kFalse}, {"AND", Token::kAnd}, {"OR", Token::kOr},
      {"NOT", Token::kNot}};
  std::string upper = Upper(word);
  for (const auto& [text, kind] : kWords)
    if (upper == text) return kind;
  return Token::kEnd;
}

[[noreturn]] void Fail(const std::string& what) { throw ParseProblem{what}; }

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
  // Counts one level of nesting while alive.
  class Nest {
   public:
    explicit Nest(int* depth) : depth_(depth) {
      if (++*depth_ > kMaxDepth) Fail("anida más de " + std::to_string(kMaxDepth) + " niveles");
    }
    ~Nest() { --*depth_; }
    Nest(const Nest&) = delete;
    Nest& operator=(const Nest&) = delete;

   private:
    int* depth_;
  };

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
    if (IsAlpha(c)) {
      size_t j = i;
      while (j < src_.size() && (IsAlpha(src_[j]) || IsDigit(src_[j]))) ++j;
      Take(Token::kIdent, i, j, j);
      return;
    }
    if (IsDigit(c) || (c == '.' && i + 1 < src_.size() && IsDigit(src_[i + 1]))) {
      size_t j = i;
      bool point = false;
      while (j < src_.size() && (IsDigit(src_[j]) || (src_[j] == '.' && !point))) {
        if (src_[j] == '.') {
          // "1.AND." is 1 followed by .AND.
          if (j + 1 < src_.size() && !IsDigit(src_[j + 1])) break;
          point = true;
        }
        ++j;
      }
      Take(Token::kNumber, i, j, j);
      return;
    }
    if (c == '\'' || c == '"' || c == '[' || c == '{') {
      char close = c == '[' ? ']' : c == '{' ? '}' : c;
      size_t j = src_.find(close, i + 1);
      if (j == std::string::npos) Fail(c == '{' ? "falta el cierre de una fecha" : "falta el cierre de un texto");
      Take(c == '{' ? Token::kDate : Token::kString, i + 1, j, j + 1);
      return;
    }
    if (c == '.') {
      size_t j = i + 1;
      while (j < src_.size() && IsAlpha(src_[j])) ++j;
      Token::Kind k = j < src_.size() && src_[j] == '.' ? DottedWord(src_.substr(i + 1, j - i - 1)) : Token::kEnd;
      if (k == Token::kEnd) Fail("operador desconocido en la posición " + std::to_string(i + 1));
      Take(k, i + 1, j, j + 1);
      return;
    }
    static const char* const kOps[] = {"->", "==", "<>", "!=", "<=", ">=", "=", "#", "<", ">", "$",
                                       "+",  "-",  "*",  "/",  "(",  ")",  ",", "!"};
    for (const char* op : kOps) {
      size_t n = std::strlen(op);
      if (src_.compare(i, n, op) == 0) {
        Take(Token::kOp, i, i + n, i + n);
        return;
      }
    }
    Fail("carácter inesperado en la posición " + std::to_string(i + 1));
  }

  void Take(Token::Kind kind, size_t from, size_t to, size_t next) {
    tok_.kind = kind;
    tok_.text = src_.substr(from, to - from);
    pos_ = next;
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

  static void Need(const ExprNode& n, char type, const char* what) {
    if (n.type == type) return;
    const char* expected = type == 'C' ? "texto" : type == 'N' ? "número" : type == 'D' ? "fecha" : "lógico";
    Fail(std::string("«") + what + "» necesita un valor de tipo " + expected);
  }

  std::unique_ptr<ExprNode> ParseOr() {
    Nest nest(&depth_);
    return ParseLogical(Token::kOr, Op::kOr, ".OR.", &Parser::ParseAnd);
  }

  std::unique_ptr<ExprNode> ParseAnd() { return ParseLogical(Token::kAnd, Op::kAnd, ".AND.", &Parser::ParseNot); }

  // operand (.OR. operand)... or operand (.AND. operand)...
  std::unique_ptr<ExprNode> ParseLogical(Token::Kind kind, Op op, const char* name,
                                         std::unique_ptr<ExprNode> (Parser::*operand)()) {
    auto a = (this->*operand)();
    while (tok_.kind == kind) {
      Advance();
      auto b = (this->*operand)();
      Need(*a, 'L', name);
      Need(*b, 'L', name);
      a = Binary(op, std::move(a), std::move(b), 'L');
    }
    return a;
  }

  std::unique_ptr<ExprNode> ParseNot() {
    if (tok_.kind == Token::kNot || IsOp("!")) {
      Nest nest(&depth_);
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
        if (width > kMaxTextWidth) Fail("el texto resultante pasa de " + std::to_string(kMaxTextWidth) + " bytes");
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
      Nest nest(&depth_);
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

  std::unique_ptr<ExprNode> ParsePrimary() {
    Token t = tok_;
    switch (t.kind) {
      case Token::kString: {
        Advance();
        if (t.text.size() > static_cast<size_t>(kMaxTextWidth)) Fail("un texto es demasiado largo");
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
        // {}, { } and {  /  /  } are the blank date.
        std::string body = TrimLeft(TrimRight(t.text));
        if (body.find_first_not_of("/ ") != std::string::npos) {
          char extra = 0;
          if (std::sscanf(body.c_str(), "%d/%d/%d%c", &m, &d, &y, &extra) != 3 || y < 1 || y > 9999 ||
              !IsValidCivil(y, m, d))
            Fail("la fecha {" + cp_.Decode(t.text) + "} no es válida");
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
    Fn fn = Fn::kUpper;
    std::string full;
    if (!FindFunction(Upper(t.text), &fn, &full)) Fail("función desconocida " + cp_.Decode(t.text) + "()");
    auto n = Make(Op::kCall, 'C');
    n->fn = fn;
    n->args = std::move(args);
    TypeCall(*n, full);
    return n;
  }

  const std::string& src_;
  const std::vector<FieldSpec>& fields_;
  const CodePage& cp_;
  size_t pos_ = 0;
  int depth_ = 0;
  Token tok_;
};

}  // namespace

std::unique_ptr<Expression> Expression::Parse(const std::string& source, const std::vector<FieldSpec>& fields,
                                              const CodePage& cp) {
  std::unique_ptr<Expression> e(new Expression());
  e->source_ = source;
  e->cp_ = &cp;
  try {
    if (source.size() > kMaxSource) Fail("mide más de " + std::to_string(kMaxSource) + " bytes");
    Parser p(e->source_, fields, cp);
    e->root_ = p.ParseAll();
  } catch (const ParseProblem& problem) {
    throw EngineError(err::kInvalidExpression,
                      "La expresión de índice «" + cp.Decode(source) + "» no es válida: " + problem.what + ".");
  }
  return e;
}

}  // namespace engine::dbase
