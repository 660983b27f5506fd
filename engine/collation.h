// Collations: the order in which an index keeps its character keys.
//
// dBASE and Paradox engines order character keys by the table's language driver. Each driver's
// order is a table over the 256 bytes of its code page: a byte's weight is its place in the
// driver's sequence, and keys compare weight by weight, then by length. The drivers this engine
// knows give every byte a weight of its own, so keys that compare equal are byte-identical.
// The tables are data (collation_tables.cpp; sources in docs/collations.md): a new driver is a
// new table, not new code.
//
// A driver the engine does not know is ordered by bytes, marked unconfirmed: nothing may trust
// that a tag another engine wrote for it follows byte order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

class Collation {
 public:
  // Byte order, known for sure (drivers whose published order is the bytes' own).
  Collation();

  // "DBWINES0", "DB437US0", ...; "binario" for byte order with no driver named.
  const std::string& name() const { return name_; }
  bool binary() const { return binary_; }
  // False for a driver the engine has no table for (then it orders by bytes, as a guess).
  bool confirmed() const { return confirmed_; }
  // The language driver id dBASE headers give this driver (0 when none is known).
  uint8_t ldid() const { return ldid_; }

  uint8_t Weight(uint8_t b) const { return weight_[b]; }
  // The weights of all 256 bytes, for sorts that look them up themselves.
  const uint8_t* Weights() const { return weight_; }
  uint8_t ByteOf(uint8_t weight) const { return byte_[weight]; }
  // Three-way comparison of two keys; a shorter key that is a prefix of the other comes first.
  int Compare(std::string_view a, std::string_view b) const;

  // Whether both put every pair of keys in the same order.
  bool SameOrder(const Collation& other) const;

  // A short description for people: "DBWINES0", "DB932JP0 (desconocido; orden binario sin confirmar)".
  std::string Description() const;

  // Builds a collation from its byte sequence (256 bytes, each once, lowest first).
  Collation(std::string name, uint8_t ldid, const uint8_t* sequence, bool confirmed);
  // The byte order under another name (a driver whose order is the bytes' own, or an unknown one).
  static Collation Binary(std::string name, uint8_t ldid, bool confirmed);

 private:
  std::string name_ = "binario";
  uint8_t ldid_ = 0;
  bool binary_ = true;
  bool confirmed_ = true;
  uint8_t weight_[256];
  uint8_t byte_[256];
};

// The collation of a dBASE table from its header: the level-7 driver name when there is one,
// else the language driver id (byte 29). Id 0 (not recorded) and unknown drivers give byte
// order, unconfirmed.
Collation CollationForDbase(uint8_t ldid, std::string_view driver_name);
// A driver by name (case-insensitive); nullptr when unknown.
const Collation* FindCollation(std::string_view driver_name);
// Every driver order the engine knows with a table of its own, byte order first.
const std::vector<Collation>& KnownCollations();

}  // namespace engine
