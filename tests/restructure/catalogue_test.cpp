// The field-type catalogue, the lookup encoding and the field descriptor.
#include <gtest/gtest.h>

#include <set>

#include "restructure/Restructure.h"

namespace restructure {
namespace {

TEST(FieldTypeCatalogue, EveryTypeHasItsOwnEngineCodeAndComesBack) {
  std::set<uint16_t> codes;
  for (int i = 1; i < kFieldTypeCount; ++i) {
    const auto t = static_cast<TdBasePxFieldType>(i);
    SCOPED_TRACE(i);
    const uint16_t code = EngineFieldType(t);
    EXPECT_EQ(FieldTypeFromEngine(code), t);
    codes.insert(code);
    // Paradox codes are 0x1xx and admitted from level 3; dBASE codes 0x2xx.
    const bool paradox = i <= static_cast<int>(pxBytes);
    EXPECT_EQ(code >> 8, paradox ? 1 : 2);
    EXPECT_STREQ(FieldTypeTableType(t), paradox ? "PARADOX" : "DBASE");
    EXPECT_GE(FieldTypeLowestLevel(t), 3);
    EXPECT_LE(FieldTypeLowestLevel(t), 7);
  }
  EXPECT_EQ(codes.size(), 31u);
  EXPECT_EQ(sizeof(TdBasePxFieldType), 1u);
  // The values the wizard and the engine rely on.
  EXPECT_EQ(static_cast<int>(dbCharacter), 18);
  EXPECT_EQ(static_cast<int>(dbNumber), 20);
  EXPECT_EQ(static_cast<int>(dbLogical), 23);
  EXPECT_EQ(EngineFieldType(dbNumber), 0x202);
  EXPECT_EQ(EngineFieldType(dbLock), 0x207);
  EXPECT_EQ(FieldTypeFromEngine(0x207), dbLock);
  EXPECT_EQ(EngineFieldType(pxBCD), 0x111);
  EXPECT_EQ(FieldTypeLowestLevel(dbFloat), 4);
  EXPECT_EQ(FieldTypeLowestLevel(dbOLE), 5);
  EXPECT_EQ(FieldTypeLowestLevel(dbLong), 7);
  EXPECT_EQ(FieldTypeLowestLevel(pxMemo), 4);
  EXPECT_EQ(FieldTypeLowestLevel(pxLogical), 5);
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
