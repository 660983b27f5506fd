// Converting a stored value to another field type, for a restructure that changes a field's type
// (number to text, text to date, ...). The conversion changes only the kind of the value; whether
// the result fits the new field (width, decimals, code page) is decided by the storage when the
// value is written, which refuses what does not fit. Nothing is ever cut or replaced.
#pragma once

#include "engine/storage.h"
#include "engine/value.h"

namespace engine {

// The kind of value that a field of this physical type stores.
Value::Kind KindOfFieldType(uint16_t physical_type);

// Converts v (read from a field like `from`) into the kind that `to` stores. Throws EngineError
// kConversion with a Spanish text when the value has no meaning in the new type ("abc" into a
// number, 12.5 into an integer field is rounded to 13 only where the new field has no decimals,
// like any number rounded to the new field's decimals).
Value ConvertForField(const Value& v, const FieldSpec& from, const FieldSpec& to);

// Rounds a decimal text to `decimals` places, half away from zero ("12.345", 2 -> "12.35").
std::string RoundDecimalText(const std::string& text, int decimals);

// Parses a decimal number written by a person or a table ("  -12,50", "1e3" refused): the exact
// text in canonical form, or nullopt.
std::optional<std::string> ParseDecimal(const std::string& text);

}  // namespace engine
