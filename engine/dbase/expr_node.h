// Internals of the xBase expression evaluator shared by its parser (expr_parse.cpp), its
// operators (expr.cpp) and its functions (expr_functions.cpp). Not for use outside them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/codepage.h"
#include "engine/dbase/expr.h"

namespace engine::dbase {

enum class Op {
  kField, kStrLit, kNumLit, kBoolLit, kDateLit,
  kAdd, kSub, kMul, kDiv, kNeg,
  kEq, kExactEq, kNe, kLt, kLe, kGt, kGe, kContains,
  kAnd, kOr, kNot,
  kCall,  // a function: ExprNode::fn says which
};

enum class Fn {
  kUpper, kLower, kRTrim, kLTrim, kAllTrim, kSubstr, kLeft, kRight, kStr, kVal, kDtos, kDtoc, kIif,
  kDeleted, kRecNo, kCtod, kDay, kMonth, kYear, kCdow, kCmonth, kAsc, kChr, kSpace, kReplicate,
  kPadL, kPadR, kPadC, kAbs, kInt, kRound, kMax, kMin, kLen, kAt, kDescend, kStuff,
};

// The greatest width of a character value inside an expression.
constexpr int kMaxTextWidth = 65535;

// What is wrong with an expression, thrown while parsing; Expression::Parse turns it into an
// EngineError naming the expression.
struct ParseProblem {
  std::string what;
};

class ExprNode {
 public:
  Op op = Op::kStrLit;
  Fn fn = Fn::kUpper;
  char type = 'C';
  int width = 0;        // greatest length of a character result; its value may be shorter
  std::vector<std::unique_ptr<ExprNode>> args;
  std::string name;     // field name as stored, or literal text
  double number = 0;
  int64_t day = 0;
  bool logical = false;
  char field_kind = 0;  // 'C', 'N', 'D', 'L' for fields
  int size1 = 0, size2 = 0;  // a call's constant lengths and positions, fixed by TypeCall
  const CodePage* cp = nullptr;

  ExprValue Eval(const RecordView& row) const;
};

ExprValue NumValue(double d, std::string exact = {});
ExprValue TextValue(std::string s);
ExprValue LogicalValue(bool b);
ExprValue DateValue(int64_t day);

std::string PadTo(std::string s, size_t width);
std::string TrimRight(const std::string& s);
std::string TrimLeft(const std::string& s);

// The number as plain decimal text: its exact text when known, else 15 significant digits.
std::string DecimalOf(const ExprValue& v);
// Rounds plain decimal text half away from zero to `decimals` places (negative: to tens,
// hundreds...); the result has exactly max(decimals, 0) decimals. Empty when `text` is no number.
std::string RoundDecimal(const std::string& text, int decimals);
// A double as an integer in [lo, hi]; NaN gives lo.
int64_t ClampToInt(double v, int64_t lo, int64_t hi);
// The last day number a date may hold (9999-12-31).
int64_t LastDay();

// Functions: the name's function (dBASE accepts a unique abbreviation of four letters or more),
// false when there is none.
bool FindFunction(const std::string& upper_name, Fn* fn, std::string* full_name);
// Checks the arguments of a call (already in n.args) and fixes the node's type and width.
// Throws ParseProblem.
void TypeCall(ExprNode& n, const std::string& fn_name);
ExprValue EvalCall(const ExprNode& n, const RecordView& row);

// True when the node's value does not depend on the row.
bool IsConstant(const ExprNode& n);
// The value of a constant node.
ExprValue EvalConstant(const ExprNode& n);

}  // namespace engine::dbase
