#include "engine/codepage.h"

#include <gtest/gtest.h>

namespace engine {
namespace {

TEST(CodePage, SpanishTextRoundTripsThroughTheDosAndWindowsPages) {
  const std::string text = "Compañía Añil, S.L. — Ñandú Peñón";
  for (int cp : {437, 850, 1252}) {
    const CodePage* page = CodePage::Find(cp);
    ASSERT_NE(page, nullptr) << cp;
    std::string without_dash = "Compañía Añil, S.L. Ñandú Peñón";
    auto bytes = page->Encode(without_dash);
    ASSERT_TRUE(bytes.has_value()) << cp;
    EXPECT_EQ(page->Decode(*bytes), without_dash) << cp;
  }
  // The em dash exists in 1252 only.
  EXPECT_TRUE(CodePage::Ansi().Encode(text).has_value());
  EXPECT_FALSE(CodePage::Find(437)->Encode(text).has_value());
  EXPECT_EQ(*CodePage::Find(850)->Encode("ñ"), "\xA4");
  EXPECT_EQ(*CodePage::Ansi().Encode("ñ"), "\xF1");
}

TEST(CodePage, EveryByteSurvivesDecodeAndEncode) {
  for (int cp : {437, 850, 852, 865, 866, 1250, 1251, 1252}) {
    const CodePage* page = CodePage::Find(cp);
    ASSERT_NE(page, nullptr);
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    auto back = page->Encode(page->Decode(all));
    ASSERT_TRUE(back.has_value()) << cp;
    EXPECT_EQ(*back, all) << cp;
  }
}

TEST(CodePage, RefusesMalformedUtf8) {
  EXPECT_FALSE(CodePage::Ansi().Encode("\xC3").has_value());
  EXPECT_FALSE(CodePage::Ansi().Encode("a\xFF" "b").has_value());
}

TEST(CodePage, CaseMapsAccentedLetters) {
  const CodePage& p = CodePage::Ansi();
  EXPECT_EQ(p.ToUpper(static_cast<uint8_t>('\xF1')), static_cast<uint8_t>('\xD1'));  // ñ -> Ñ
  EXPECT_EQ(p.ToLower('A'), 'a');
  const CodePage* dos = CodePage::Find(850);
  EXPECT_EQ(dos->ToUpper(0xA4), 0xA5);  // ñ -> Ñ in 850
  EXPECT_EQ(FoldCase("compañía"), FoldCase("COMPAÑÍA"));
}

TEST(CodePage, LanguageDrivers) {
  EXPECT_EQ(CodePageFromLanguageDriver(0x57), 1252);
  EXPECT_EQ(CodePageFromLanguageDriver(0x03), 1252);
  EXPECT_EQ(CodePageFromLanguageDriver(0x1B), 437);
  EXPECT_EQ(CodePageFromLanguageDriver(0x14), 850);
  EXPECT_EQ(CodePageFromLanguageDriver(0x00), 0);
  EXPECT_EQ(CodePageFromDriverName("DB437US0"), 437);
  EXPECT_EQ(CodePageFromDriverName("DB866RU0"), 866);
  EXPECT_EQ(CodePageFromDriverName("DBWINUS0"), 1252);
  for (int cp : {437, 850, 1252, 852})
    EXPECT_EQ(CodePageFromLanguageDriver(LanguageDriverForCodePage(cp)), cp);
}

}  // namespace
}  // namespace engine
