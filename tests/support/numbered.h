// Names and keys made of a prefix and a number ("K17"), for tests that make many rows.
#pragma once

#include <string>

namespace testing_support {

// Built by appending to the prefix: GCC 12 at -O3 reports a false -Wrestrict overlap when a
// string literal is added to a temporary std::string.
template <class Number>
std::string Numbered(std::string prefix, Number n) {
  prefix += std::to_string(n);
  return prefix;
}

}  // namespace testing_support
