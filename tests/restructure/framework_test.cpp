// Text conversions and the assignable object of restructure/Framework.h.
#include "restructure/Framework.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/table.h"

namespace restructure {
namespace {

std::string ConvertMessage(void (*fn)(const std::string&), const std::string& text) {
  try {
    fn(text);
  } catch (const engine::EConvertError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(FrameworkConvert, IntegersInRangeWithBlanksAndSign) {
  EXPECT_EQ(StrToInt("0"), 0);
  EXPECT_EQ(StrToInt("  -17 "), -17);
  EXPECT_EQ(StrToInt("+42"), 42);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  auto call = [](const std::string& s) { StrToInt(s); };
  for (const char* bad : {"", "  ", "-", "12a", "1.5", "2147483648", "-2147483649",
                          "99999999999999999999", "1 2", "0x10"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(call(bad), engine::EConvertError);
  }
  EXPECT_EQ(ConvertMessage([](const std::string& s) { StrToInt(s); }, "12a"),
            "'12a' no es un valor entero válido");
}

TEST(FrameworkConvert, FloatsAcceptCommaOrPointAndExponent) {
  EXPECT_DOUBLE_EQ(StrToFloat("12,5"), 12.5);
  EXPECT_DOUBLE_EQ(StrToFloat(" -12.5 "), -12.5);
  EXPECT_DOUBLE_EQ(StrToFloat("1E3"), 1000);
  EXPECT_DOUBLE_EQ(StrToFloat("2,5e-2"), 0.025);
  EXPECT_DOUBLE_EQ(StrToFloat(",5"), 0.5);
  EXPECT_DOUBLE_EQ(StrToFloat("7,"), 7);
  for (const char* bad : {"", ",", "1,2,3", "1.2.3", "1e", "e5", "1 000", "abc", "1E999", "NAN",
                          "--1"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(StrToFloat(bad), engine::EConvertError);
  }
  EXPECT_EQ(ConvertMessage([](const std::string& s) { StrToFloat(s); }, "x1"),
            "'x1' no es un valor punto flotante válido");
}

TEST(FrameworkConvert, FloatTextRoundTripsInSpanishFormat) {
  EXPECT_EQ(FloatToStr(12.5), "12,5");
  EXPECT_EQ(FloatToStr(-0.0), "0");
  EXPECT_EQ(FloatToStr(1000), "1000");
  EXPECT_EQ(FloatToStr(1e20), "1E20");
  EXPECT_EQ(FloatToStr(1.5e-6), "1,5E-6");
  EXPECT_EQ(FloatToStr(0.1), "0,1");
  EXPECT_EQ(FloatToStr(std::nan("")), "NAN");
  EXPECT_EQ(FloatToStr(-INFINITY), "-INF");
  for (double x : {123456.789, -0.000123, 3.14159265358979, 99999999999.99, 1e-300, 1.5e300}) {
    SCOPED_TRACE(x);
    EXPECT_DOUBLE_EQ(StrToFloat(FloatToStr(x)), x);
  }
}

TEST(FrameworkConvert, DatesInSpanishAndIsoForms) {
  TDateParts d = StrToDate("31/12/2025");
  EXPECT_EQ(d.Year, 2025);
  EXPECT_EQ(d.Month, 12);
  EXPECT_EQ(d.Day, 31);
  d = StrToDate(" 1/2/0001 ");
  EXPECT_EQ(d.Year, 1);
  EXPECT_EQ(d.Month, 2);
  EXPECT_EQ(d.Day, 1);
  d = StrToDate("2024-02-29");
  EXPECT_EQ(d.Year, 2024);
  EXPECT_EQ(d.Month, 2);
  EXPECT_EQ(d.Day, 29);
  EXPECT_EQ(DateToStr({2024, 2, 9}), "09/02/2024");
  // Impossible days, two-digit years, wrong separators, the US order when the day is > 12.
  for (const char* bad : {"29/02/2023", "31/04/2024", "00/01/2024", "1/13/2024", "1/1/24",
                          "1/1/0000", "2024/01/01", "1-1-2024", "12/31/2024", "2024-1-1x", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(StrToDate(bad), engine::EConvertError);
  }
  EXPECT_EQ(ConvertMessage([](const std::string& s) { StrToDate(s); }, "31/02/2020"),
            "'31/02/2020' no es una fecha válida");
}

TEST(FrameworkConvert, TimesWithOptionalSecondsAndMilliseconds) {
  TTimeParts t = StrToTime("7:05");
  EXPECT_EQ(t.Hour, 7);
  EXPECT_EQ(t.Minute, 5);
  EXPECT_EQ(t.Second, 0);
  t = StrToTime("23:59:59.5");
  EXPECT_EQ(t.Second, 59);
  EXPECT_EQ(t.MSec, 500);
  t = StrToTime("00:00:01.007");
  EXPECT_EQ(t.MSec, 7);
  EXPECT_EQ(TimeToStr({9, 3, 7, 0}), "09:03:07");
  EXPECT_EQ(TimeToStr({9, 3, 7, 40}), "09:03:07.040");
  for (const char* bad : {"24:00", "12:60", "12:00:60", "12", "12:00:00.1234", "12:00:", "a:b"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(StrToTime(bad), engine::EConvertError);
  }
  EXPECT_EQ(ConvertMessage([](const std::string& s) { StrToTime(s); }, "25:00"),
            "'25:00' no es una hora válida");
}

TEST(FrameworkConvert, DateTimes) {
  TDateParts d;
  TTimeParts t;
  StrToDateTime("05/06/2023 14:30:15", &d, &t);
  EXPECT_EQ(DateTimeToStr(d, t), "05/06/2023 14:30:15");
  StrToDateTime("2023-06-05T14:30", &d, &t);
  EXPECT_EQ(DateTimeToStr(d, t), "05/06/2023 14:30:00");
  StrToDateTime("05/06/2023", &d, &t);  // a date alone is midnight
  EXPECT_EQ(DateTimeToStr(d, t), "05/06/2023 00:00:00");
  for (const char* bad : {"05/06/2023 25:00", "05/06/2023T14:30", "32/01/2023 10:00", "10:00"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(StrToDateTime(bad, &d, &t), engine::EConvertError);
  }
  EXPECT_EQ(ConvertMessage([](const std::string& s) {
              TDateParts dd;
              TTimeParts tt;
              StrToDateTime(s, &dd, &tt);
            }, "ayer"),
            "'ayer' no es una fecha y hora válida");
}

class Apple : public TPersistent {
 public:
  const char* ClassName() const override { return "TApple"; }
};
class Pear : public TPersistent {
 public:
  const char* ClassName() const override { return "TPear"; }
};

TEST(FrameworkPersistent, AssignBetweenUnrelatedClassesNamesBoth) {
  Apple a;
  Pear p;
  try {
    a.Assign(&p);
    FAIL() << "assign succeeded";
  } catch (const engine::EConvertError& e) {
    EXPECT_STREQ(e.what(), "No se puede asignar TPear a TApple");
  }
  try {
    a.Assign(nullptr);
    FAIL() << "assign succeeded";
  } catch (const engine::EConvertError& e) {
    EXPECT_STREQ(e.what(), "No se puede asignar nil a TApple");
  }
}

}  // namespace
}  // namespace restructure
