// The stored text of character and number fields as rows are walked: blanks trimmed a word at a
// time and numbers read in one pass must give exactly what reading byte by byte and the careful
// number reader give, for every input.
#include "engine/dbase/stored_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <random>
#include <string>
#include <vector>

#include "engine/dbase/dbase.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace engine::dbase::stored_text;

bool IsBlank(char c) { return c == ' ' || c == '\0'; }

// Bytes whose bit patterns lie next to a blank's: 0x20 and 0x00 with bit 5 or 7 flipped, and others.
const std::string kNearBlanks("\x20\x00\x40\x60\x80\xA0\xC0\xE0\x7F\xFF\xDF\x21\x01" "a0", 15);

TEST(StoredText, TrimmingAWordAtATimeMatchesAByteAtATime) {
  std::mt19937 rng(20261209);
  std::vector<std::string> cases = {"", " ", std::string(1, '\0'), "abc", "  abc  ", std::string(16, ' '),
                                    std::string("ab\0\0 \0", 6), "x" + std::string(15, ' '),
                                    std::string(15, ' ') + "x", "\xA0 \x80", " \x40\x60\xC0\xE0 "};
  for (int i = 0; i < 20000; ++i) {
    std::string s(rng() % 41, ' ');
    // Mostly blanks, so that long runs of them meet a non-blank at every position of a word.
    for (char& c : s) c = rng() % 3 ? (rng() % 2 ? ' ' : '\0') : kNearBlanks[rng() % kNearBlanks.size()];
    cases.push_back(s);
  }
  for (const std::string& s : cases) {
    size_t begin = 0, end = s.size();
    while (begin < s.size() && IsBlank(s[begin])) ++begin;
    while (end > 0 && IsBlank(s[end - 1])) --end;
    ASSERT_EQ(TrimmedBegin(s.data(), s.size()), begin) << testing::PrintToString(s);
    ASSERT_EQ(TrimmedEnd(s.data(), s.size()), end) << testing::PrintToString(s);
  }
}

// Numbers as dBASE writes them, numbers other programs write, and texts that are not numbers.
std::vector<std::string> NumberTexts() {
  std::vector<std::string> texts = {"0", "-0", "+0", "-0.00", "+3", "7.", ".5", "-.5", "+.25", "999999999999999",
                                    "9999999999999999", "-999999999999.999", "0.000000000000001", "123456789012.345",
                                    "99999999.99999999", "0000000000000001.5", "12345678.1234567", "1.2.3", "12-",
                                    "1e5", "-", "+", ".", "-.", "--1", "1 2", "1,5", "5-", "0.1", "0.2", "0.3",
                                    "9007199254740993", "4503599627370497.5", "1.7976931348623157"};
  std::mt19937_64 rng(0xD1CE);
  const std::string kOdd = ".-+ ,e/:";
  for (int i = 0; i < 200000; ++i) {
    std::string t;
    if (rng() % 3 == 0) t += rng() % 2 ? '-' : '+';
    for (size_t n = rng() % 18; n > 0; --n) t += static_cast<char>('0' + rng() % 10);
    if (rng() % 4) {
      t += '.';
      for (size_t n = rng() % 18; n > 0; --n) t += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 20 == 0 && !t.empty()) t[rng() % t.size()] = kOdd[rng() % kOdd.size()];
    texts.push_back(t);
  }
  return texts;
}

TEST(StoredText, NumbersReadOrCheckedInOnePassAreTheCarefulReadersBitForBit) {
  for (const std::string& t : NumberTexts()) {
    double careful = 0;
    const bool is_number = ParseStoredNumber(t, &careful);
    if (is_number) {
      // The careful reader is the correctly rounded value of the text.
      double exact = 0;
      std::string_view unsigned_text = t[0] == '+' ? std::string_view(t).substr(1) : std::string_view(t);
      auto r = std::from_chars(unsigned_text.data(), unsigned_text.data() + unsigned_text.size(), exact);
      ASSERT_TRUE(r.ec == std::errc() && r.ptr == unsigned_text.data() + unsigned_text.size()) << t;
      ASSERT_EQ(std::bit_cast<uint64_t>(careful), std::bit_cast<uint64_t>(exact)) << t;
    }
    // Whatever places the field declares, the text read in place gives the same answer.
    const size_t point = t.find('.');
    const size_t places = point == std::string::npos ? 0 : t.size() - point - 1;
    for (size_t decimals : {places, size_t{0}, size_t{2}, places + 1, size_t{15}, size_t{16}}) {
      double fast = 0;
      ASSERT_EQ(ReadStoredNumber(t, decimals, &fast), is_number) << t << " with " << decimals << " places";
      ASSERT_EQ(IsStoredNumber(t, decimals), is_number) << t << " with " << decimals << " places";
      if (is_number) {
        ASSERT_EQ(std::bit_cast<uint64_t>(fast), std::bit_cast<uint64_t>(careful)) << t;
      }
    }
  }
}

// Fields of another program's bytes, read in place in a row: character fields (any mix of ASCII
// and letters of the code page, in every position of a word) as the code page decodes them, and
// number fields (placed anywhere in the field, padded with blanks or NULs) as the careful reader
// reads their text.
TEST(StoredText, FieldsReadInARowAsTheCodePageAndTheCarefulReaderDo) {
  testing_support::TempDir dir;
  const std::vector<std::string> numbers = NumberTexts();
  for (int codepage : {1252, 850}) {
    SCOPED_TRACE(codepage);
    const std::string path = dir / ("texto" + std::to_string(codepage) + ".dbf");
    engine::TableDefinition def;
    def.level = 4;
    def.codepage = codepage;
    def.fields = {dbase_test::Spec("C", bde::fldDBCHAR, 254), dbase_test::Spec("N", bde::fldDBNUM, 20, 4)};
    engine::CreateStorage(path, def);
    auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, engine::OpenOptions{true, false});
    std::mt19937 rng(static_cast<unsigned>(codepage));
    auto place = [&](std::string* buf, const engine::FieldSpec& f, const std::string& bytes) {
      for (size_t i = 0; i < f.length; ++i) (*buf)[f.offset + i] = rng() % 2 ? ' ' : '\0';
      buf->replace(f.offset + rng() % (f.length - bytes.size() + 1), bytes.size(), bytes);
    };
    engine::Value text, number;
    for (int i = 0; i < 5000; ++i) {
      std::string buf = t->BlankRecord();
      std::string bytes(rng() % 255, ' ');
      for (char& c : bytes) c = static_cast<char>(rng() % 4 ? 0x21 + rng() % 0x5E : 0x80 + rng() % 0x80);
      place(&buf, t->Fields()[0], bytes);
      t->ReadValue(buf, 0, &text);
      const size_t end = TrimmedEnd(buf.data() + 1, 254);
      ASSERT_EQ(text.kind, end ? engine::Value::Kind::Text : engine::Value::Kind::Null);
      ASSERT_EQ(text.s, end ? t->Codepage().Decode(std::string_view(buf).substr(1, end)) : "");

      const engine::FieldSpec& f = t->Fields()[1];
      place(&buf, f, numbers[rng() % numbers.size()].substr(0, f.length));
      const std::string_view stored(buf.data() + f.offset, f.length);
      const size_t nb = TrimmedBegin(stored.data(), stored.size()), ne = TrimmedEnd(stored.data(), stored.size());
      double careful = 0;
      if (nb < ne && !ParseStoredNumber(stored.substr(nb, ne - nb), &careful)) {
        ASSERT_THROW(t->ReadValue(buf, 1, &number), engine::EngineError) << stored;
        continue;
      }
      t->ReadValue(buf, 1, &number);
      ASSERT_EQ(number.kind, nb < ne ? engine::Value::Kind::Number : engine::Value::Kind::Null) << stored;
      ASSERT_EQ(number.s, stored.substr(nb, ne - nb));
      ASSERT_EQ(std::bit_cast<uint64_t>(number.d), std::bit_cast<uint64_t>(careful)) << stored;
    }
  }
}

}  // namespace
