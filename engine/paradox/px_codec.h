// Field encodings of Paradox records: the type catalogue (type byte, physical code, lowest table
// level) and the conversions between a field's bytes and engine Values. Paradox stores numbers
// big-endian with the sign bit flipped so that records sort bytewise; a field of all zero bytes
// is NULL. Used by the table storage and by the .VAL reader and writer (whose values use the
// record encoding too).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/codepage.h"
#include "engine/value.h"

namespace engine::paradox {

struct PxType {
  uint8_t code;       // type byte in the header
  char letter;        // 'A', 'N', '$', ...
  uint16_t physical;  // bde::fldPDX*
  int min_level;      // 3, 4 or 5
  bool blob;          // M B F O G: leader + 10-byte pointer into the .MB
};

// The type with that header byte / physical code, or nullptr.
const PxType* TypeByCode(uint8_t code);
const PxType* TypeByPhysical(uint16_t physical);

// Bytes a field of that type and header size byte occupies in a record (0 when the size is
// not valid for the type).
uint32_t FieldLength(const PxType& t, uint32_t size);

// Decodes a non-blob field. `bytes` has the field's length.
Value DecodeField(const PxType& t, std::string_view bytes, uint32_t size, const CodePage& cp);
// Encodes a non-blob value into `out` (the field's length); throws EngineError kConversion or
// kValueOutOfRange (without context lines; callers add them).
void EncodeField(const PxType& t, const Value& v, uint32_t size, const CodePage& cp, char* out);

// BCD helpers: the field's 17 bytes <-> decimal text ("-12.5", "0"). The text parser accepts
// an optional sign, digits and one '.'; it rounds half away from zero to `places` decimals.
std::string BcdToText(std::string_view bytes17);
bool TextToBcd(std::string_view text, int places, char* out17);

}  // namespace engine::paradox
