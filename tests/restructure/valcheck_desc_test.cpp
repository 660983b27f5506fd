// The validity-check descriptor and the conversion of check values between text and the
// engine's value buffers (through the engine's conversion calls).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/value.h"
#include "restructure/Restructure.h"
#include "tests/restructure/inspector.h"

namespace restructure {
namespace {

TEST(ValCheckDescriptor, DefaultsAndLookupTableFollowsNames) {
  TValCheckDesc v;
  EXPECT_FALSE(v.Required());
  EXPECT_EQ(v.MinimumValue(), "");
  EXPECT_EQ(v.MaximumValue(), "");
  EXPECT_EQ(v.DefaultValue(), "");
  EXPECT_EQ(v.Picture(), "");
  EXPECT_EQ(v.LookupDatabaseName(), "");
  EXPECT_EQ(v.LookupTableName(), "");
  EXPECT_EQ(v.LookupType(), ltCurrentField);
  EXPECT_EQ(v.LookupAccess(), laHelpAndFill);
  ASSERT_NE(v.LookupTable(), nullptr);
  EXPECT_FALSE(v.LookupTable()->Active());

  v.SetLookupDatabaseName("C:\\Tribanor\\General");
  v.SetLookupTableName("Paises.db");
  EXPECT_EQ(v.LookupTable()->DatabaseName(), "C:\\Tribanor\\General");
  EXPECT_EQ(v.LookupTable()->TableName(), "Paises.db");
  v.SetLookupTableName("");
  EXPECT_EQ(v.LookupTable()->TableName(), "");
}

TEST(ValCheckDescriptor, AssignCopiesEverythingAndTheLookupTableFollows) {
  TValCheckDesc src;
  src.SetRequired(true);
  src.SetMinimumValue("1");
  src.SetMaximumValue("9");
  src.SetDefaultValue("5");
  src.SetPicture("#");
  src.SetLookupDatabaseName("/datos/general");
  src.SetLookupTableName("Paises.db");
  src.SetLookupType(ltAllCorresponding);
  src.SetLookupAccess(laFillNoHelp);

  TValCheckDesc dst;
  dst.Assign(&src);
  EXPECT_TRUE(dst.Required());
  EXPECT_EQ(dst.MinimumValue(), "1");
  EXPECT_EQ(dst.MaximumValue(), "9");
  EXPECT_EQ(dst.DefaultValue(), "5");
  EXPECT_EQ(dst.Picture(), "#");
  EXPECT_EQ(dst.LookupDatabaseName(), "/datos/general");
  EXPECT_EQ(dst.LookupTableName(), "Paises.db");
  EXPECT_EQ(dst.LookupType(), ltAllCorresponding);
  EXPECT_EQ(dst.LookupAccess(), laFillNoHelp);
  EXPECT_EQ(dst.LookupTable()->DatabaseName(), "/datos/general");
  EXPECT_EQ(dst.LookupTable()->TableName(), "Paises.db");
  dst.Assign(&dst);  // assigning itself changes nothing
  EXPECT_EQ(dst.LookupTableName(), "Paises.db");

  TFieldDesc field;
  try {
    dst.Assign(&field);
    FAIL() << "assign succeeded";
  } catch (const engine::EConvertError& e) {
    EXPECT_STREQ(e.what(), "No se puede asignar TFieldDesc a TValCheckDesc");
  }
  try {
    field.Assign(&dst);
    FAIL() << "assign succeeded";
  } catch (const engine::EConvertError& e) {
    EXPECT_STREQ(e.what(), "No se puede asignar TValCheckDesc a TFieldDesc");
  }
}

// ---- Value conversions ----------------------------------------------------------------------

class ValueConversion : public ::testing::Test {
 protected:
  TRestructure r_;
  TRestructureInspector in_{r_};
  uint8_t buf_[256];

  uint16_t ToEngine(const std::string& text, TdBasePxFieldType t, uint16_t places = 0) {
    std::memset(buf_, 0xAB, sizeof buf_);  // the conversion must clear what it does not write
    return in_.TextToEngineValue(text, t, buf_, places);
  }
  std::string ToText(TdBasePxFieldType t) { return in_.EngineValueToText(t, buf_); }
  template <class T>
  T At() const {
    T v;
    std::memcpy(&v, buf_, sizeof v);
    return v;
  }
  bool RestIsZero(size_t from) const {
    for (size_t i = from; i < sizeof buf_; ++i)
      if (buf_[i] != 0) return false;
    return true;
  }
};

TEST_F(ValueConversion, TextAndNumbers) {
  EXPECT_EQ(ToEngine("Hola", pxAlpha), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf_)), "Hola");
  EXPECT_TRUE(RestIsZero(4));
  EXPECT_EQ(ToText(pxAlpha), "Hola");
  EXPECT_EQ(ToEngine(std::string(300, 'x'), pxAlpha), 1);
  EXPECT_EQ(buf_[255], 'x');  // 256 bytes stored ...
  EXPECT_EQ(ToText(pxAlpha), std::string(255, 'x'));  // ... at most 255 read back

  for (TdBasePxFieldType t : {pxNumber, pxMoney}) {
    EXPECT_EQ(ToEngine("-1234,5", t), 1);
    EXPECT_EQ(At<double>(), -1234.5);
    EXPECT_TRUE(RestIsZero(8));
    EXPECT_EQ(ToText(t), "-1234,5");
  }

  EXPECT_EQ(ToEngine("-32768", pxShort), 1);
  EXPECT_EQ(At<int16_t>(), -32768);
  EXPECT_TRUE(RestIsZero(2));
  EXPECT_EQ(ToText(pxShort), "-32768");
  // A value that a short field cannot hold is refused, not cut to 16 bits.
  EXPECT_THROW(ToEngine("40000", pxShort), engine::EConvertError);

  for (TdBasePxFieldType t : {pxLongInteger, pxAutoincrement}) {
    EXPECT_EQ(ToEngine(" 2000000000 ", t), 1);
    EXPECT_EQ(At<int32_t>(), 2000000000);
    EXPECT_TRUE(RestIsZero(4));
    EXPECT_EQ(ToText(t), "2000000000");
  }
  try {
    ToEngine("1.5", pxLongInteger);
    FAIL() << "converted";
  } catch (const engine::EConvertError& e) {
    EXPECT_STREQ(e.what(), "'1.5' no es un valor entero válido");
  }
  try {
    ToEngine("doce", pxNumber);
    FAIL() << "converted";
  } catch (const engine::EConvertError& e) {
    EXPECT_STREQ(e.what(), "'doce' no es un valor punto flotante válido");
  }
}

TEST_F(ValueConversion, BcdUsesTheFieldsPlaces) {
  EXPECT_EQ(ToEngine("-123,456", pxBCD, 2), 1);
  bde::FMTBcd bcd = At<bde::FMTBcd>();
  EXPECT_EQ(bcd.iPrecision, 32);
  EXPECT_EQ(bcd.iSignSpecialPlaces, 0x80 | 2);
  EXPECT_TRUE(RestIsZero(sizeof bcd));
  EXPECT_EQ(ToText(pxBCD), "-123,46");
  EXPECT_EQ(ToEngine("0,5", pxBCD, 0), 1);
  EXPECT_EQ(At<bde::FMTBcd>().iSignSpecialPlaces, 0);
  EXPECT_THROW(ToEngine("1E40", pxBCD, 2), engine::EDBEngineError);  // does not fit 32 digits
}

TEST_F(ValueConversion, DatesTimesAndTimestamps) {
  EXPECT_EQ(ToEngine("  today ", pxDate), bde::TODAYVAL);
  EXPECT_TRUE(RestIsZero(0));
  EXPECT_EQ(ToEngine("31/12/2025", pxDate), 1);
  EXPECT_EQ(At<bde::DBIDATE>(), engine::DayFromCivil(2025, 12, 31));
  EXPECT_TRUE(RestIsZero(4));
  EXPECT_EQ(ToText(pxDate), "31/12/2025");
  EXPECT_EQ(ToEngine("1800-03-01", pxDate), 1);  // before the framework's day zero
  EXPECT_EQ(ToText(pxDate), "01/03/1800");
  EXPECT_THROW(ToEngine("TODAY", pxTime), engine::EConvertError);  // TODAY is for dates only
  try {
    ToEngine("29/02/2023", pxDate);
    FAIL() << "converted";
  } catch (const engine::EConvertError& e) {
    EXPECT_STREQ(e.what(), "'29/02/2023' no es una fecha válida");
  }

  EXPECT_EQ(ToEngine(" Now", pxTime), bde::NOWVAL);
  EXPECT_EQ(ToEngine("13:45:30.25", pxTime), 1);
  EXPECT_EQ(At<bde::DBITIME>(), 13u * 3600000 + 45 * 60000 + 30250);
  EXPECT_EQ(ToText(pxTime), "13:45:30.250");
  EXPECT_EQ(ToEngine("8:05", pxTime), 1);
  EXPECT_EQ(ToText(pxTime), "08:05:00");
  EXPECT_THROW(ToEngine("24:00", pxTime), engine::EConvertError);

  EXPECT_EQ(ToEngine("NOW", pxTimestamp), bde::NOWVAL);
  EXPECT_EQ(ToEngine("05/06/2023 14:30:15", pxTimestamp), 1);
  EXPECT_EQ(At<bde::TIMESTAMP>(),
            static_cast<double>(engine::DayFromCivil(2023, 6, 5)) * engine::kMsPerDay +
                (14 * 3600 + 30 * 60 + 15) * 1000.0);
  EXPECT_TRUE(RestIsZero(8));
  EXPECT_EQ(ToText(pxTimestamp), "05/06/2023 14:30:15");
  // The last millisecond of a day stays in that day, also before the framework's day zero.
  EXPECT_EQ(ToEngine("31/12/1850 23:59:59.999", pxTimestamp), 1);
  EXPECT_EQ(ToText(pxTimestamp), "31/12/1850 23:59:59.999");
  EXPECT_THROW(ToEngine("05/06/2023 14:75", pxTimestamp), engine::EConvertError);
}

TEST_F(ValueConversion, LogicalWordsAndTypesWithoutValues) {
  EXPECT_EQ(ToEngine("true", pxLogical), 1);
  EXPECT_EQ(At<int32_t>(), 1);
  EXPECT_EQ(ToText(pxLogical), "TRUE");
  EXPECT_EQ(ToEngine("False", pxLogical), 1);
  EXPECT_EQ(At<int32_t>(), 0);
  EXPECT_TRUE(RestIsZero(0));
  EXPECT_EQ(ToText(pxLogical), "FALSE");
  EXPECT_EQ(ToEngine(" TRUE", pxLogical), 0);  // blanks are not ignored here
  EXPECT_EQ(ToEngine("si", pxLogical), 0);
  buf_[0] = 7;
  EXPECT_EQ(ToText(pxLogical), "TRUE");

  for (TdBasePxFieldType t : {pxMemo, pxGraphic, pxBinary, pxBytes, pxUnknown, dbNumber}) {
    EXPECT_EQ(ToEngine("12", t), 0);
    EXPECT_TRUE(RestIsZero(0));
    EXPECT_EQ(ToText(t), "");
  }
}

}  // namespace
}  // namespace restructure
