// xBase expressions of index tags: the key expression and the FOR clause of an .MDX tag.
//
// An expression is parsed once against a table's fields, which fixes its type (character,
// numeric, date or logical) and, for character results, its width: the length of the tag's key.
// Text is handled as bytes of the table's code page, as the keys store it. Anything the parser
// does not know (a function, an operator, a field name, a memo field, a length that is not a
// constant) is an error at parse time, never a guess at evaluation time.
//
// The operators and functions, their result types and widths and what is refused are listed in
// docs/expressions.md. The parser is in expr_parse.cpp, the functions in expr_functions.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/codepage.h"
#include "engine/storage.h"

namespace engine::dbase {

class RecordView;

// The result of evaluating an expression on one row.
struct ExprValue {
  char type = 'C';          // 'C', 'N', 'D', 'L'
  std::string text;         // 'C': code-page bytes; 'N': exact decimal text when known
  double number = 0;        // 'N'
  int64_t day = 0;          // 'D': day number (day 1 = 0001-01-01); 0 = blank date
  bool logical = false;     // 'L'
};

class ExprNode;

class Expression {
 public:
  // Parses `source` (code-page bytes) against the fields of a table. Throws EngineError
  // kInvalidExpression saying what is wrong with which expression.
  static std::unique_ptr<Expression> Parse(const std::string& source, const std::vector<FieldSpec>& fields,
                                           const CodePage& cp);
  ~Expression();

  char type() const;         // 'C', 'N', 'D' or 'L'
  int width() const;         // bytes of a character result (its greatest length); 0 otherwise
  const std::string& source() const { return source_; }
  // The field's name when the whole expression is one character field, else nullptr.
  const std::string* PlainCharField() const;
  // The field's name when the whole expression is UPPER() of one character field, else nullptr.
  const std::string* UpperCharField() const;

  // Evaluates on a row. Character results are blank-padded to width().
  ExprValue Eval(const RecordView& row) const;

 private:
  Expression() = default;
  std::string source_;
  std::unique_ptr<ExprNode> root_;
  const CodePage* cp_ = nullptr;
};

// Formats a number as xBase STR() does: right-aligned in `width`, rounded half away from zero
// to `decimals`, fewer decimals when they do not fit; all '*' when the integer part does not fit.
std::string XbaseStr(double value, int width, int decimals);

}  // namespace engine::dbase
