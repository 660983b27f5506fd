// Byte-to-Unicode tables of the single-byte code pages the engine knows (see codepage.h).
#pragma once
#include <cstddef>

namespace engine::cptables {
struct PageTable {
  int number;
  const char16_t* high;  // 128 entries for bytes 0x80-0xFF
};
constexpr int kRoman8Page = 1051;  // HP Roman-8
extern const PageTable kPages[];
extern const size_t kPageCount;
}  // namespace engine::cptables
