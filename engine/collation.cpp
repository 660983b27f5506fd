#include "engine/collation.h"

#include <algorithm>
#include <cstring>

#include "engine/codepage.h"
#include "engine/collation_tables.h"

namespace engine {

namespace {

int HexDigit(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

const colltables::Order* FindOrder(const char* table) {
  for (size_t i = 0; i < colltables::kOrderCount; ++i)
    if (std::strcmp(colltables::kOrders[i].table, table) == 0) return &colltables::kOrders[i];
  return nullptr;
}

Collation Make(const colltables::Driver& d) {
  if (!d.table) return Collation::Binary(d.name, d.ldid, true);
  const colltables::Order* o = FindOrder(d.table);
  uint8_t seq[256];
  for (int i = 0; i < 256; ++i)
    seq[i] = static_cast<uint8_t>(HexDigit(o->sequence[2 * i]) << 4 | HexDigit(o->sequence[2 * i + 1]));
  return Collation(d.name, d.ldid, seq, true);
}

// One collation per driver name, in table order.
const std::vector<Collation>& Drivers() {
  static const std::vector<Collation> all = [] {
    std::vector<Collation> v;
    for (size_t i = 0; i < colltables::kDriverCount; ++i) {
      const colltables::Driver& d = colltables::kDrivers[i];
      bool seen = false;
      for (const Collation& c : v) seen |= c.name() == d.name;
      if (!seen) v.push_back(Make(d));
    }
    return v;
  }();
  return all;
}

}  // namespace

Collation::Collation() {
  for (int i = 0; i < 256; ++i) weight_[i] = byte_[i] = static_cast<uint8_t>(i);
}

Collation::Collation(std::string name, uint8_t ldid, const uint8_t* sequence, bool confirmed)
    : name_(std::move(name)), ldid_(ldid), confirmed_(confirmed) {
  bool seen[256] = {};
  for (int w = 0; w < 256; ++w) {
    uint8_t b = sequence[w];
    // A table that does not give every byte one place would make equal keys differ: a defect of
    // the data, caught by the tests of every table.
    if (seen[b]) std::abort();
    seen[b] = true;
    weight_[b] = static_cast<uint8_t>(w);
    byte_[w] = b;
  }
  binary_ = true;
  for (int i = 0; i < 256; ++i) binary_ &= weight_[i] == i;
}

Collation Collation::Binary(std::string name, uint8_t ldid, bool confirmed) {
  Collation c;
  c.name_ = std::move(name);
  c.ldid_ = ldid;
  c.confirmed_ = confirmed;
  return c;
}

int Collation::Compare(std::string_view a, std::string_view b) const {
  size_t n = std::min(a.size(), b.size());
  if (binary_) {
    int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
  } else {
    for (size_t i = 0; i < n; ++i) {
      uint8_t x = weight_[static_cast<uint8_t>(a[i])], y = weight_[static_cast<uint8_t>(b[i])];
      if (x != y) return x < y ? -1 : 1;
    }
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool Collation::SameOrder(const Collation& other) const { return std::memcmp(weight_, other.weight_, 256) == 0; }

std::string Collation::Description() const {
  if (confirmed_) return name_;
  return name_ + " (idioma desconocido; orden binario sin confirmar)";
}

Collation CollationForDbase(uint8_t ldid, std::string_view driver_name) {
  std::string name = Upper(driver_name);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) name.pop_back();
  if (!name.empty()) {
    if (const Collation* c = FindCollation(name)) return *c;
    return Collation::Binary(name, ldid, false);
  }
  for (size_t i = 0; i < colltables::kDriverCount; ++i)
    if (colltables::kDrivers[i].ldid == ldid && ldid != 0) return *FindCollation(colltables::kDrivers[i].name);
  char id[8];
  static const char* kHex = "0123456789ABCDEF";
  id[0] = '0';
  id[1] = 'x';
  id[2] = kHex[ldid >> 4];
  id[3] = kHex[ldid & 15];
  id[4] = 0;
  return Collation::Binary(ldid == 0 ? "sin idioma" : std::string("idioma ") + id, ldid, false);
}

const Collation* FindCollation(std::string_view driver_name) {
  std::string name = Upper(driver_name);
  for (const Collation& c : Drivers())
    if (c.name() == name) return &c;
  return nullptr;
}

const std::vector<Collation>& KnownCollations() {
  static const std::vector<Collation> known = [] {
    std::vector<Collation> v{Collation()};
    for (const Collation& c : Drivers())
      if (!c.binary()) v.push_back(c);
    return v;
  }();
  return known;
}

}  // namespace engine
