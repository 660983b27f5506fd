// Data of the language drivers' collations (see collation.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace engine::colltables {

// A driver's order as the 256 bytes of its code page, lowest first, written as 512 hex digits;
// nullptr for a driver whose order is the bytes' own.
struct Order {
  const char* table;     // the table's own name
  const char* sequence;
};

struct Driver {
  const char* name;      // driver name as level-7 headers and BDE-style configurations spell it
  uint8_t ldid;          // language driver id in dBASE headers (0: none)
  const char* table;     // name of its Order; nullptr for byte order
};

extern const Order kOrders[];
extern const size_t kOrderCount;
extern const Driver kDrivers[];
extern const size_t kDriverCount;

}  // namespace engine::colltables
