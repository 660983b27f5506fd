// The radix sort of index entries against a plain stable sort by the collation's own comparison:
// every known driver order, both directions, groups large enough to be split two bytes at a
// time, keys with long shared prefixes and equal keys that must keep their record order; and
// the entries the sort hands on before it ends are then in their final places.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/collation.h"
#include "engine/dbase/flat_sort.h"

namespace engine::dbase {
namespace {

constexpr size_t kKeyLen = 12, kStride = kKeyLen + 4;

// n entries: a key from a small alphabet of accented and plain letters (so that prefixes are
// shared and keys repeat), then the entry's original position.
std::string Entries(size_t n, uint32_t seed) {
  static const unsigned char kLetters[] = {'A', 'a', 'B', 'N', 'n', 'Z', 'z', ' ', 0xC1, 0xE1, 0xD1, 0xF1, 0xC7, 0xC9, 0xFC, 0x80};
  std::mt19937 rng(seed);
  std::string d(n * kStride, '\0');
  for (size_t i = 0; i < n; ++i) {
    char* e = d.data() + i * kStride;
    // Most keys share their first bytes, so that the sort must look deep into them.
    size_t shared = rng() % 3 == 0 ? 0 : 6;
    for (size_t k = 0; k < kKeyLen; ++k)
      e[k] = static_cast<char>(k < shared ? kLetters[k % 4] : kLetters[rng() % sizeof kLetters]);
    uint32_t pos = static_cast<uint32_t>(i);
    std::memcpy(e + kKeyLen, &pos, 4);
  }
  return d;
}

std::vector<std::string> Sorted(const std::string& d, const Collation& c, bool descending, bool radix) {
  size_t n = d.size() / kStride;
  std::string data = d, scratch(d.size(), '\0');
  if (radix) {
    const uint8_t* weights = c.binary() ? nullptr : c.Weights();
    // Entries handed on during the sort are copied as they are then: each must already be where
    // the sort leaves it.
    std::string handed;
    auto take = [&](size_t k) {
      EXPECT_GT(k * kStride, handed.size());
      handed.append(data, handed.size(), k * kStride - std::min(k * kStride, handed.size()));
    };
    FlatSort(kKeyLen, kStride, descending, weights).SortInParallel(data.data(), scratch.data(), n, 2, take);
    EXPECT_EQ(handed, data.substr(0, handed.size()));
  } else {
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      int r = c.Compare(std::string_view(d).substr(a * kStride, kKeyLen), std::string_view(d).substr(b * kStride, kKeyLen));
      return descending ? r > 0 : r < 0;
    });
    std::string out;
    for (size_t at : order) out.append(d, at * kStride, kStride);
    data = out;
  }
  std::vector<std::string> entries;
  for (size_t i = 0; i < n; ++i) entries.push_back(data.substr(i * kStride, kStride));
  return entries;
}

TEST(FlatSort, AgreesWithTheCollationUnderEveryDriverInBothDirections) {
  // Sorted by insertion and one byte at a time; two bytes at a time in groups of some
  // thousands (with a few digits in use); two bytes at a time from the first split on.
  const std::vector<std::string> cases = {Entries(500, 7), Entries(6000, 13), Entries(70000, 11)};
  for (const Collation& c : KnownCollations()) {
    for (bool descending : {false, true}) {
      for (const std::string& d : cases) {
        SCOPED_TRACE(c.name() + (descending ? " descending, " : " ascending, ") + std::to_string(d.size() / kStride));
        EXPECT_EQ(Sorted(d, c, descending, true), Sorted(d, c, descending, false));
      }
    }
  }
}

TEST(FlatSort, ALargeSortSplitByTwoThreadsStaysStable) {
  // Large enough for the first split to be shared by two threads.
  const std::string d = Entries(300000, 5);
  for (const Collation* c : {FindCollation("DBWINES0"), &KnownCollations().front()}) {
    ASSERT_NE(c, nullptr);
    for (bool descending : {false, true}) {
      SCOPED_TRACE(c->name() + (descending ? " descending" : " ascending"));
      EXPECT_EQ(Sorted(d, *c, descending, true), Sorted(d, *c, descending, false));
    }
  }
}

TEST(FlatSort, SpanishOrderIsNotByteOrder) {
  // The check above would pass for a sort that ignored the weights only if the orders agreed.
  const Collation* spanish = FindCollation("DBWINES0");
  ASSERT_NE(spanish, nullptr);
  const std::string d = Entries(2000, 3);
  EXPECT_NE(Sorted(d, *spanish, false, true), Sorted(d, Collation(), false, true));
}

}  // namespace
}  // namespace engine::dbase
