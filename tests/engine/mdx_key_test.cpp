#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/dbase/mdx_key.h"
#include "engine/value.h"

namespace {

using engine::dbase::CompareKeys;
using engine::dbase::EncodeDateKey;
using engine::dbase::EncodeNumericKey;
using engine::dbase::NumericKeyText;

std::string Hex(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  return out;
}

std::string Key(const char* text) {
  std::string k;
  EXPECT_TRUE(EncodeNumericKey(text, &k)) << text;
  return k;
}

TEST(MdxKeyNumeric, MatchesKnownEncodings) {
  struct Case {
    const char* text;
    std::vector<uint8_t> head;
  } cases[] = {{"0", {0x34, 0x01}},           {"1", {0x35, 0x05, 0x10}},       {"10", {0x36, 0x05, 0x10}},
               {"13", {0x36, 0x09, 0x13}},     {"225", {0x37, 0x0D, 0x22, 0x50}}, {"20.5", {0x36, 0x0D, 0x20, 0x50}},
               {"  20.50", {0x36, 0x0D, 0x20, 0x50}}, {"0.05", {0x33, 0x05, 0x50}}, {"-1", {0x35, 0x85, 0x10}},
               {"-0.00", {0x34, 0x01}}};
  for (const Case& c : cases) {
    std::string expected(12, '\0');
    for (size_t i = 0; i < c.head.size(); ++i) expected[i] = static_cast<char>(c.head[i]);
    EXPECT_EQ(Hex(Key(c.text)), Hex(expected)) << c.text;
  }
  std::string k;
  EXPECT_FALSE(EncodeNumericKey("12a", &k));
  EXPECT_FALSE(EncodeNumericKey("", &k));
  EXPECT_EQ(Hex(EncodeNumericKey(225.0)), Hex(Key("225")));
  EXPECT_EQ(Hex(EncodeNumericKey(-0.125)), Hex(Key("-0.125")));
}

TEST(MdxKeyNumeric, TextRoundTripsAndOrderFollowsValue) {
  for (const char* t : {"0", "1", "-1", "20.5", "0.0001", "-123456.789", "12345678901234567890"})
    EXPECT_EQ(NumericKeyText(Key(t)), t);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> dist(-2000000, 2000000);
  std::vector<double> values;
  for (int i = 0; i < 400; ++i) values.push_back(dist(rng) / 100.0);
  values.push_back(0);
  values.push_back(0.001);
  values.push_back(-0.001);
  std::vector<std::string> keys;
  for (double v : values) keys.push_back(EncodeNumericKey(v));
  for (size_t i = 0; i < values.size(); ++i)
    for (size_t j = 0; j < values.size(); j += 7) {
      int want = values[i] < values[j] ? -1 : values[i] > values[j] ? 1 : 0;
      ASSERT_EQ(CompareKeys('N', keys[i], keys[j]), want) << values[i] << " vs " << values[j];
    }
  // Trailing zero digits written by other programs compare equal to the short form.
  std::string padded = Key("10");
  padded[1] = 0x29;  // ten digits: 1000000000 x 10^-8... same exponent, same value
  EXPECT_EQ(CompareKeys('N', padded, Key("10")), 0);
}

TEST(MdxKeyDate, JulianDayDoubleInOrder) {
  int64_t day = engine::DayFromCivil(2000, 1, 1);
  EXPECT_EQ(engine::dbase::DateKeyJulian(EncodeDateKey(day)), 2451545.0);
  EXPECT_EQ(engine::dbase::DateKeyJulian(EncodeDateKey(0)), 0.0);
  EXPECT_LT(CompareKeys('D', EncodeDateKey(day), EncodeDateKey(day + 1)), 0);
  EXPECT_LT(CompareKeys('D', EncodeDateKey(0), EncodeDateKey(1)), 0);
  EXPECT_EQ(engine::dbase::KeyDisplay('D', EncodeDateKey(day)), "20000101");
}

TEST(MdxKeyChar, ByteOrder) {
  EXPECT_LT(CompareKeys('C', "ABC ", "ABD "), 0);
  EXPECT_GT(CompareKeys('C', "a   ", "Z   "), 0);
  EXPECT_GT(CompareKeys('C', "\xD1" "A  ", "ZZ  "), 0);
  EXPECT_EQ(CompareKeys('C', "AB  ", "AB  "), 0);
}

}  // namespace
