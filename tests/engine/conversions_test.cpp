// The engine's date, time, timestamp and BCD conversion calls.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/bde.h"
#include "engine/table.h"

namespace bde {
namespace {

TEST(Conversions, DatesRoundTripAndRefuseImpossibleDays) {
  DBIDATE d;
  ASSERT_EQ(DbiDateEncode(2, 29, 2004, &d), DBIERR_NONE);
  EXPECT_EQ(d, engine::DayFromCivil(2004, 2, 29));
  uint16_t m, day;
  int16_t y;
  ASSERT_EQ(DbiDateDecode(d, &m, &day, &y), DBIERR_NONE);
  EXPECT_EQ(m, 2);
  EXPECT_EQ(day, 29);
  EXPECT_EQ(y, 2004);
  EXPECT_NE(DbiDateEncode(2, 29, 2005, &d), DBIERR_NONE);
  EXPECT_NE(DbiDateEncode(13, 1, 2005, &d), DBIERR_NONE);
  EXPECT_THROW(engine::Check(DbiDateEncode(0, 1, 2005, &d)), engine::EDBEngineError);
}

TEST(Conversions, TimesCarrySecondsInMilliseconds) {
  DBITIME t;
  ASSERT_EQ(DbiTimeEncode(13, 45, 30 * 1000 + 250, &t), DBIERR_NONE);
  EXPECT_EQ(t, 13u * 3600000 + 45u * 60000 + 30250);
  uint16_t h, mi, ms;
  ASSERT_EQ(DbiTimeDecode(t, &h, &mi, &ms), DBIERR_NONE);
  EXPECT_EQ(h, 13);
  EXPECT_EQ(mi, 45);
  EXPECT_EQ(ms, 30250);
  EXPECT_NE(DbiTimeEncode(24, 0, 0, &t), DBIERR_NONE);
  EXPECT_NE(DbiTimeEncode(1, 0, 60000, &t), DBIERR_NONE);

  TIMESTAMP ts;
  DBIDATE d;
  ASSERT_EQ(DbiDateEncode(1, 1, 1900, &d), DBIERR_NONE);
  ASSERT_EQ(DbiTimeStampEncode(d, 0, &ts), DBIERR_NONE);
  uint64_t bits;
  std::memcpy(&bits, &ts, 8);
  EXPECT_EQ(bits, 0x42CB4062AA880000ULL);  // as dBASE 7 tables store 1900-01-01 00:00
  DBIDATE d2;
  DBITIME t2;
  ASSERT_EQ(DbiTimeStampEncode(d, t, &ts), DBIERR_NONE);
  ASSERT_EQ(DbiTimeStampDecode(ts, &d2, &t2), DBIERR_NONE);
  EXPECT_EQ(d2, d);
  EXPECT_EQ(t2, t);
}

TEST(Conversions, BcdKeepsDigitsAndPlaces) {
  for (double v : {123.45, -0.5, 0.0, 99999999.99, -1234567.1}) {
    FMTBcd b;
    ASSERT_EQ(DbiBcdFromFloat(&v, 32, 2, &b), DBIERR_NONE) << v;
    EXPECT_EQ(b.iPrecision, 32);
    EXPECT_EQ(b.iSignSpecialPlaces & 0x3F, 2);
    EXPECT_EQ((b.iSignSpecialPlaces & 0x80) != 0, v < 0);
    double back;
    ASSERT_EQ(DbiBcdToFloat(&b, &back), DBIERR_NONE);
    EXPECT_DOUBLE_EQ(back, v);
  }
  double v = 123.45;
  FMTBcd b;
  ASSERT_EQ(DbiBcdFromFloat(&v, 32, 2, &b), DBIERR_NONE);
  // 32 digits, the last two fractional: ...00012345 -> last three bytes 01 23 45.
  EXPECT_EQ(b.iFraction[13], 0x01);
  EXPECT_EQ(b.iFraction[14], 0x23);
  EXPECT_EQ(b.iFraction[15], 0x45);
  double big = 1e40;
  EXPECT_NE(DbiBcdFromFloat(&big, 32, 2, &b), DBIERR_NONE);
  b.iFraction[0] = 0xAB;  // not a decimal digit
  double out;
  EXPECT_NE(DbiBcdToFloat(&b, &out), DBIERR_NONE);
}

TEST(Conversions, BadHandlesAreRefusedNotFollowed) {
  CURProps p;
  int not_a_cursor = 0;
  EXPECT_NE(DbiGetCursorProps(reinterpret_cast<hDBICur>(&not_a_cursor), p), DBIERR_NONE);
  ASSERT_NE(DbiLastError(), nullptr);
  hDBIObj out;
  EXPECT_NE(DbiGetObjFromObj(nullptr, objDATABASE, &out), DBIERR_NONE);
  char dir[DBIMAXPATHLEN + 1];
  EXPECT_NE(DbiGetDirectory(nullptr, false, dir), DBIERR_NONE);
}

}  // namespace
}  // namespace bde
