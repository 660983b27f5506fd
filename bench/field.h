// A field of a table for the benchmarks to create.
#pragma once

#include <cstdint>
#include <string>

#include "engine/storage.h"

namespace bench {

inline engine::FieldSpec Field(const std::string& name, uint16_t type, uint16_t size, uint16_t decimals = 0) {
  engine::FieldSpec f;
  f.name = name;
  f.type = type;
  f.size = size;
  f.decimals = decimals;
  return f;
}

}  // namespace bench
