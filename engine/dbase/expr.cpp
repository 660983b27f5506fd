// The evaluator's values and operators. The tokenizer and parser are in expr_parse.cpp, the
// functions in expr_functions.cpp.
#include "engine/dbase/expr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/dbase/expr_node.h"
#include "engine/dbase/mdx.h"
#include "engine/value.h"

namespace engine::dbase {

ExprValue NumValue(double d, std::string exact) {
  ExprValue v;
  v.type = 'N';
  v.number = d;
  v.text = std::move(exact);
  return v;
}

ExprValue TextValue(std::string s) {
  ExprValue v;
  v.type = 'C';
  v.text = std::move(s);
  return v;
}

ExprValue LogicalValue(bool b) {
  ExprValue v;
  v.type = 'L';
  v.logical = b;
  return v;
}

ExprValue DateValue(int64_t day) {
  ExprValue v;
  v.type = 'D';
  v.day = day;
  return v;
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

int64_t ClampToInt(double v, int64_t lo, int64_t hi) {
  if (std::isnan(v) || v <= static_cast<double>(lo)) return lo;
  if (v >= static_cast<double>(hi)) return hi;
  return static_cast<int64_t>(v);
}

int64_t LastDay() {
  static const int64_t last = DayFromCivil(9999, 12, 31);
  return last;
}

namespace {

// Compares text as dBASE does with SET EXACT OFF: the left side is taken to the length of the
// right side (cut, or padded with blanks), so "ABC" = "AB" holds and anything = "" holds.
int CompareInexact(const std::string& a, const std::string& b) {
  std::string left = PadTo(a, b.size());
  int c = std::memcmp(left.data(), b.data(), b.size());
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// A date moved by a number of days; a blank date stays blank, and a result outside years
// 1 to 9999 is a blank date.
ExprValue AddDays(int64_t day, double delta) {
  if (day <= 0 || !std::isfinite(delta)) return DateValue(0);
  double target = static_cast<double>(day) + std::floor(delta);
  if (target < 1 || target > static_cast<double>(LastDay())) return DateValue(0);
  return DateValue(static_cast<int64_t>(target));
}

ExprValue Negate(const ExprValue& v) {
  std::string exact;
  if (!v.text.empty()) exact = v.text[0] == '-' ? v.text.substr(1) : (v.number == 0 ? v.text : "-" + v.text);
  return NumValue(-v.number, exact);
}

ExprValue FieldValue(const ExprNode& n, const RecordView& row) {
  if (n.field_kind == 'C') return TextValue(PadTo(row.RawText(n.name), static_cast<size_t>(n.width)));
  Value v = row.Field(n.name);
  if (n.field_kind == 'N') {
    if (v.IsNull()) return NumValue(0, "0");
    if (v.kind == Value::Kind::Integer) return NumValue(static_cast<double>(v.i), std::to_string(v.i));
    std::optional<double> d = v.AsDouble();
    return NumValue(d.value_or(0), v.DecimalText());
  }
  if (n.field_kind == 'D') return DateValue(v.kind == Value::Kind::Date ? v.i : 0);
  return LogicalValue(v.kind == Value::Kind::Logical && v.i != 0);
}

ExprValue AddOrSubtract(const ExprNode& n, const RecordView& row) {
  bool add = n.op == Op::kAdd;
  ExprValue a = n.args[0]->Eval(row), b = n.args[1]->Eval(row);
  if (a.type == 'C') {
    if (add) return TextValue(a.text + b.text);
    // "-" joins the left side without its trailing blanks and puts those blanks at the end.
    std::string t = TrimRight(a.text);
    return TextValue(t + b.text + std::string(a.text.size() - t.size(), ' '));
  }
  if (a.type == 'D' && b.type == 'D') return NumValue(a.day > 0 && b.day > 0 ? static_cast<double>(a.day - b.day) : 0);
  if (a.type == 'D') return AddDays(a.day, add ? b.number : -b.number);
  if (b.type == 'D') return AddDays(b.day, a.number);
  return NumValue(add ? a.number + b.number : a.number - b.number);
}

ExprValue Compare(const ExprNode& n, const RecordView& row) {
  ExprValue a = n.args[0]->Eval(row), b = n.args[1]->Eval(row);
  if (n.op == Op::kContains) return LogicalValue(!a.text.empty() && b.text.find(a.text) != std::string::npos);
  int c = 0;
  if (a.type == 'C') {
    if (n.op == Op::kExactEq) return LogicalValue(TrimRight(a.text) == TrimRight(b.text));
    c = CompareInexact(a.text, b.text);
  } else if (a.type == 'N') {
    c = a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
  } else if (a.type == 'D') {
    c = a.day < b.day ? -1 : (a.day > b.day ? 1 : 0);
  } else {
    c = a.logical == b.logical ? 0 : (a.logical ? 1 : -1);
  }
  switch (n.op) {
    case Op::kEq: case Op::kExactEq: return LogicalValue(c == 0);
    case Op::kNe: return LogicalValue(c != 0);
    case Op::kLt: return LogicalValue(c < 0);
    case Op::kLe: return LogicalValue(c <= 0);
    case Op::kGt: return LogicalValue(c > 0);
    default: return LogicalValue(c >= 0);
  }
}

}  // namespace

ExprValue ExprNode::Eval(const RecordView& row) const {
  switch (op) {
    case Op::kField: return FieldValue(*this, row);
    case Op::kStrLit: return TextValue(name);
    case Op::kNumLit: return NumValue(number, name);
    case Op::kBoolLit: return LogicalValue(logical);
    case Op::kDateLit: return DateValue(day);
    case Op::kAdd: case Op::kSub: return AddOrSubtract(*this, row);
    case Op::kMul: return NumValue(args[0]->Eval(row).number * args[1]->Eval(row).number);
    case Op::kDiv: {
      double d = args[1]->Eval(row).number;
      return NumValue(d == 0 ? 0 : args[0]->Eval(row).number / d);
    }
    case Op::kNeg: return Negate(args[0]->Eval(row));
    case Op::kEq: case Op::kExactEq: case Op::kNe: case Op::kLt: case Op::kLe: case Op::kGt: case Op::kGe:
    case Op::kContains:
      return Compare(*this, row);
    case Op::kAnd: return LogicalValue(args[0]->Eval(row).logical && args[1]->Eval(row).logical);
    case Op::kOr: return LogicalValue(args[0]->Eval(row).logical || args[1]->Eval(row).logical);
    case Op::kNot: return LogicalValue(!args[0]->Eval(row).logical);
    case Op::kCall: return EvalCall(*this, row);
  }
  return LogicalValue(false);
}

bool IsConstant(const ExprNode& n) {
  if (n.op == Op::kField) return false;
  if (n.op == Op::kCall && (n.fn == Fn::kRecNo || n.fn == Fn::kDeleted)) return false;
  for (const auto& a : n.args)
    if (!IsConstant(*a)) return false;
  return true;
}

namespace {

// The row a constant is evaluated on: a constant reads nothing from it.
class NoRow : public RecordView {
 public:
  uint64_t RecNo() const override { return 0; }
  bool Deleted() const override { return false; }
  Value Field(const std::string&) const override { return Value::Null(); }
  std::string RawText(const std::string&) const override { return {}; }
};

}  // namespace

ExprValue EvalConstant(const ExprNode& n) {
  static const NoRow none;
  return n.Eval(none);
}

Expression::~Expression() = default;

const std::string* Expression::PlainCharField() const {
  return root_->op == Op::kField && root_->field_kind == 'C' ? &root_->name : nullptr;
}

const std::string* Expression::UpperCharField() const {
  const ExprNode& n = *root_;
  if (n.op != Op::kCall || n.fn != Fn::kUpper || n.args.size() != 1) return nullptr;
  const ExprNode& a = *n.args[0];
  return a.op == Op::kField && a.field_kind == 'C' && a.width == n.width ? &a.name : nullptr;
}

char Expression::type() const { return root_->type; }
int Expression::width() const { return root_->type == 'C' ? root_->width : 0; }

ExprValue Expression::Eval(const RecordView& row) const {
  ExprValue v = root_->Eval(row);
  if (v.type == 'C') v.text = PadTo(std::move(v.text), static_cast<size_t>(root_->width));
  return v;
}

}  // namespace engine::dbase
