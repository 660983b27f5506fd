#include "engine/value.h"

#include <gtest/gtest.h>

namespace engine {
namespace {

TEST(Calendar, DayNumbersMatchTheStoredEncodings) {
  EXPECT_EQ(DayFromCivil(1, 1, 1), 1);
  EXPECT_EQ(JulianFromDay(DayFromCivil(2000, 1, 1)), 2451545);
  // 1900-01-01 00:00 as milliseconds: the dBASE 7 sample stores 0x42CB4062AA880000.
  double ms = static_cast<double>(DayFromCivil(1900, 1, 1)) * kMsPerDay;
  EXPECT_EQ(ms, 59926694400000.0);  // the double of 0x42CB4062AA880000
  for (int64_t d : {int64_t{1}, int64_t{59}, int64_t{60}, int64_t{693594}, int64_t{730120}, int64_t{3652059}}) {
    int y, m, dd;
    CivilFromDay(d, &y, &m, &dd);
    EXPECT_EQ(DayFromCivil(y, m, dd), d);
  }
  EXPECT_TRUE(IsValidCivil(2004, 2, 29));
  EXPECT_FALSE(IsValidCivil(1900, 2, 29));
  EXPECT_FALSE(IsValidCivil(2005, 13, 1));
}

TEST(Value, NumbersCompareByTheirExactDecimalText) {
  EXPECT_EQ(Value::Number(12.5, "12.50"), Value::Number(12.5, "12.5"));
  EXPECT_NE(Value::Number(0, "12345678901234567.89"), Value::Number(0, "12345678901234567.88"));
  EXPECT_EQ(Value::Number(-0.0, "-0.00").DecimalText(), "0");
  EXPECT_EQ(Value::Number(0.1).DecimalText(), "0.1");
  EXPECT_EQ(Value::Date(DayFromCivil(2004, 3, 7)).ToDisplay(), "2004-03-07");
  EXPECT_EQ(Value::Time(3723004).ToDisplay(), "01:02:03.004");
}

}  // namespace
}  // namespace engine
