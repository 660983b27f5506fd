// The field-type catalogue, the lookup encoding and the field descriptor.
#include <gtest/gtest.h>

#include <set>

#include "restructure/Restructure.h"

namespace restructure {
namespace {

TEST(FieldTypeCatalogue, EveryTypeMapsToItsOwnEngineCodeAndBack) {
  struct Row {
    TdBasePxFieldType type;
    uint16_t code;
    const char* table;
    int level;
  };
  // The catalogue as the engine documents its physical types and levels.
  const Row rows[] = {
      {pxAlpha, 0x101, "PARADOX", 3},         {pxNumber, 0x102, "PARADOX", 3},
      {pxMoney, 0x103, "PARADOX", 3},         {pxShort, 0x105, "PARADOX", 3},
      {pxLongInteger, 0x10B, "PARADOX", 5},   {pxBCD, 0x111, "PARADOX", 5},
      {pxDate, 0x104, "PARADOX", 3},          {pxTime, 0x10C, "PARADOX", 5},
      {pxTimestamp, 0x10D, "PARADOX", 5},     {pxMemo, 0x106, "PARADOX", 4},
      {pxFormattedMemo, 0x108, "PARADOX", 4}, {pxGraphic, 0x10A, "PARADOX", 4},
      {pxOLE, 0x109, "PARADOX", 4},           {pxLogical, 0x10E, "PARADOX", 5},
      {pxAutoincrement, 0x10F, "PARADOX", 5}, {pxBinary, 0x107, "PARADOX", 4},
      {pxBytes, 0x110, "PARADOX", 5},         {dbCharacter, 0x201, "DBASE", 3},
      {dbFloat, 0x206, "DBASE", 4},           {dbNumber, 0x202, "DBASE", 3},
      {dbDate, 0x205, "DBASE", 3},            {dbMemo, 0x203, "DBASE", 3},
      {dbLogical, 0x204, "DBASE", 3},         {dbOLE, 0x208, "DBASE", 5},
      {dbBinary, 0x209, "DBASE", 5},          {dbLong, 0x20B, "DBASE", 7},
      {dbDateTime, 0x20C, "DBASE", 7},        {dbDouble, 0x20D, "DBASE", 7},
      {dbAutoincrement, 0x20E, "DBASE", 7},   {dbBytes, 0x20A, "DBASE", 7},
      {dbLock, 0x207, "DBASE", 7},
  };
  std::set<uint16_t> codes;
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.type));
    EXPECT_EQ(EngineFieldType(r.type), r.code);
    EXPECT_EQ(FieldTypeFromEngine(r.code), r.type);
    EXPECT_STREQ(FieldTypeTableType(r.type), r.table);
    EXPECT_EQ(FieldTypeLowestLevel(r.type), r.level);
    codes.insert(r.code);
  }
  EXPECT_EQ(codes.size(), 31u);
  EXPECT_EQ(sizeof(TdBasePxFieldType), 1u);
  EXPECT_EQ(static_cast<int>(dbLock), 31);
  EXPECT_EQ(static_cast<int>(dbCharacter), 18);
  EXPECT_EQ(static_cast<int>(dbNumber), 20);
  EXPECT_EQ(static_cast<int>(dbLogical), 23);
}

TEST(FieldTypeCatalogue, UnknownValuesAndCodes) {
  EXPECT_EQ(EngineFieldType(pxUnknown), 0);
  EXPECT_EQ(EngineFieldType(static_cast<TdBasePxFieldType>(32)), 0);
  EXPECT_EQ(EngineFieldType(static_cast<TdBasePxFieldType>(255)), 0);
  EXPECT_STREQ(FieldTypeTableType(pxUnknown), "");
  EXPECT_EQ(FieldTypeLowestLevel(pxUnknown), 0);
  for (uint16_t code : {0x000, 0x100, 0x112, 0x200, 0x20F, 0x001, 0x0101 + 0x1000, 0xFFFF}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(FieldTypeFromEngine(code), pxUnknown);
  }
}

TEST(LookupEncoding, PairsMapToEngineTypesAndBack) {
  const struct {
    TLookupType type;
    TLookupAccess access;
    int32_t engine;
  } rows[] = {{ltCurrentField, laFillNoHelp, bde::lkupPRIVATE},
              {ltAllCorresponding, laFillNoHelp, bde::lkupALLCORRESP},
              {ltCurrentField, laHelpAndFill, bde::lkupHELP},
              {ltAllCorresponding, laHelpAndFill, bde::lkupALLCORRESPHELP}};
  for (const auto& r : rows) {
    EXPECT_EQ(EngineLookupType(r.type, r.access), r.engine);
    TLookupType t = r.type == ltCurrentField ? ltAllCorresponding : ltCurrentField;
    TLookupAccess a = r.access == laFillNoHelp ? laHelpAndFill : laFillNoHelp;
    ASSERT_TRUE(LookupFromEngine(r.engine, &t, &a));
    EXPECT_EQ(t, r.type);
    EXPECT_EQ(a, r.access);
  }
  TLookupType t = ltAllCorresponding;
  TLookupAccess a = laFillNoHelp;
  for (int32_t bad : {0, 5, -1}) {
    EXPECT_FALSE(LookupFromEngine(bad, &t, &a));
    EXPECT_EQ(t, ltAllCorresponding);  // untouched
    EXPECT_EQ(a, laFillNoHelp);
  }
}

class TMyFieldDesc : public TFieldDesc {
 public:
  const char* ClassName() const override { return "TMyFieldDesc"; }
};

TEST(FieldDescriptor, DefaultsAndCopyingKeepTargetPrecision) {
  TFieldDesc d;
  EXPECT_EQ(d.Name(), "");
  EXPECT_EQ(d.FieldType(), pxUnknown);
  EXPECT_EQ(d.Length(), 0);
  EXPECT_EQ(d.Precision(), 0);

  TMyFieldDesc src;  // a derived class is accepted as source
  src.SetName("Importe");
  src.SetFieldType(dbNumber);
  src.SetLength(12);
  src.SetPrecision(2);
  d.SetPrecision(7);
  d.Assign(&src);
  EXPECT_EQ(d.Name(), "Importe");
  EXPECT_EQ(d.FieldType(), dbNumber);
  EXPECT_EQ(d.Length(), 12);
  EXPECT_EQ(d.Precision(), 7);  // the target keeps its own

  // Copying into the derived class works the same way.
  TFieldDesc plain;
  plain.SetName("X");
  plain.SetFieldType(pxBCD);
  plain.SetLength(4);
  src.Assign(&plain);
  EXPECT_EQ(src.Name(), "X");
  EXPECT_EQ(src.FieldType(), pxBCD);
  EXPECT_EQ(src.Length(), 4);
  EXPECT_EQ(src.Precision(), 2);
}

class TOther : public TPersistent {
 public:
  const char* ClassName() const override { return "TOther"; }
};

TEST(FieldDescriptor, AssignFromAnotherClassFailsAndChangesNothing) {
  TFieldDesc d;
  d.SetName("A");
  TOther other;
  try {
    d.Assign(&other);
    FAIL() << "assign succeeded";
  } catch (const engine::EConvertError& e) {
    EXPECT_STREQ(e.what(), "No se puede asignar TOther a TFieldDesc");
  }
  try {
    d.Assign(nullptr);
    FAIL() << "assign succeeded";
  } catch (const engine::EConvertError& e) {
    EXPECT_STREQ(e.what(), "No se puede asignar nil a TFieldDesc");
  }
  EXPECT_EQ(d.Name(), "A");
}

}  // namespace
}  // namespace restructure
