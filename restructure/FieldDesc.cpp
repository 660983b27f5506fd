// The field-type catalogue, the lookup encoding and the field descriptor.
#include <cstring>

#include "restructure/Restructure.h"

namespace restructure {

namespace {

struct CatalogueEntry {
  TdBasePxFieldType type;
  uint16_t engine_code;
  const char* table_type;
  int lowest_level;
};

constexpr const char* kParadox = "PARADOX";
constexpr const char* kDbase = "DBASE";

// One entry per value but pxUnknown; every engine code occurs once, so the same table maps both
// ways.
constexpr CatalogueEntry kCatalogue[] = {
    {pxAlpha, bde::fldPDXCHAR, kParadox, 3},
    {pxNumber, bde::fldPDXNUM, kParadox, 3},
    {pxMoney, bde::fldPDXMONEY, kParadox, 3},
    {pxShort, bde::fldPDXSHORT, kParadox, 3},
    {pxLongInteger, bde::fldPDXLONG, kParadox, 5},
    {pxBCD, bde::fldPDXBCD, kParadox, 5},
    {pxDate, bde::fldPDXDATE, kParadox, 3},
    {pxTime, bde::fldPDXTIME, kParadox, 5},
    {pxTimestamp, bde::fldPDXDATETIME, kParadox, 5},
    {pxMemo, bde::fldPDXMEMO, kParadox, 4},
    {pxFormattedMemo, bde::fldPDXFMTMEMO, kParadox, 4},
    {pxGraphic, bde::fldPDXGRAPHIC, kParadox, 4},
    {pxOLE, bde::fldPDXOLEBLOB, kParadox, 4},
    {pxLogical, bde::fldPDXBOOL, kParadox, 5},
    {pxAutoincrement, bde::fldPDXAUTOINC, kParadox, 5},
    {pxBinary, bde::fldPDXBINARYBLOB, kParadox, 4},
    {pxBytes, bde::fldPDXBYTES, kParadox, 5},
    {dbCharacter, bde::fldDBCHAR, kDbase, 3},
    {dbFloat, bde::fldDBFLOAT, kDbase, 4},
    {dbNumber, bde::fldDBNUM, kDbase, 3},
    {dbDate, bde::fldDBDATE, kDbase, 3},
    {dbMemo, bde::fldDBMEMO, kDbase, 3},
    {dbLogical, bde::fldDBBOOL, kDbase, 3},
    {dbOLE, bde::fldDBOLEBLOB, kDbase, 5},
    {dbBinary, bde::fldDBBINARY, kDbase, 5},
    {dbLong, bde::fldDBLONG, kDbase, 7},
    {dbDateTime, bde::fldDBDATETIME, kDbase, 7},
    {dbDouble, bde::fldDBDOUBLE, kDbase, 7},
    {dbAutoincrement, bde::fldDBAUTOINC, kDbase, 7},
    {dbBytes, bde::fldDBBYTES, kDbase, 7},
    {dbLock, bde::fldDBLOCK, kDbase, 7},
};
static_assert(std::size(kCatalogue) == kFieldTypeCount - 1);

const CatalogueEntry* Find(TdBasePxFieldType t) {
  for (const auto& e : kCatalogue)
    if (e.type == t) return &e;
  return nullptr;
}

}  // namespace

uint16_t EngineFieldType(TdBasePxFieldType t) {
  const CatalogueEntry* e = Find(t);
  return e ? e->engine_code : 0;
}

TdBasePxFieldType FieldTypeFromEngine(uint16_t code) {
  for (const auto& e : kCatalogue)
    if (e.engine_code == code) return e.type;
  return pxUnknown;
}

int FieldTypeLowestLevel(TdBasePxFieldType t) {
  const CatalogueEntry* e = Find(t);
  return e ? e->lowest_level : 0;
}

const char* FieldTypeTableType(TdBasePxFieldType t) {
  const CatalogueEntry* e = Find(t);
  return e ? e->table_type : "";
}

// ---- Lookup encoding ------------------------------------------------------------------------

int32_t EngineLookupType(TLookupType type, TLookupAccess access) {
  if (access == laFillNoHelp) return type == ltAllCorresponding ? bde::lkupALLCORRESP : bde::lkupPRIVATE;
  return type == ltAllCorresponding ? bde::lkupALLCORRESPHELP : bde::lkupHELP;
}

bool LookupFromEngine(int32_t engine_type, TLookupType* type, TLookupAccess* access) {
  switch (engine_type) {
    case bde::lkupPRIVATE: *type = ltCurrentField; *access = laFillNoHelp; return true;
    case bde::lkupALLCORRESP: *type = ltAllCorresponding; *access = laFillNoHelp; return true;
    case bde::lkupHELP: *type = ltCurrentField; *access = laHelpAndFill; return true;
    case bde::lkupALLCORRESPHELP: *type = ltAllCorresponding; *access = laHelpAndFill; return true;
    default: return false;
  }
}

// ---- TFieldDesc ------------------------------------------------------------------------------

void TFieldDesc::Assign(const TPersistent* Source) {
  if (const auto* src = dynamic_cast<const TFieldDesc*>(Source)) {
    // Precision is not copied: callers rely on the target keeping its own.
    FName = src->FName;
    FFieldType = src->FFieldType;
    FLength = src->FLength;
    return;
  }
  TPersistent::Assign(Source);
}

}  // namespace restructure
