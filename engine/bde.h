// The engine calls and record layouts that the restructuring component and the table layer use,
// in the form the host application's database engine gives them: C-style calls that return a
// result code (0 = success) and fixed-size, packed records. Call Check() (table.h) on a result to
// turn failure into an exception.
//
// Handles: an hDBICur is the cursor of one open table object; an hDBIDb is a database (a folder)
// of the session, which stays valid after the tables opened in it are closed.
#pragma once

#include <cstdint>
#include <string>

#include "engine/error.h"

namespace engine {
class Database;
class Cursor;
}  // namespace engine

namespace bde {

using DBIResult = engine::DBIResult;
constexpr DBIResult DBIERR_NONE = 0;

using hDBIDb = engine::Database*;
using hDBICur = engine::Cursor*;
using hDBIObj = void*;

// Sizes of the fixed text fields.
constexpr int DBIMAXNAMELEN = 31;
constexpr int DBIMAXTBLNAMELEN = 260;
constexpr int DBIMAXPATHLEN = 260;
constexpr int DBIMAXPICTLEN = 175;
constexpr int DBIMAXSCFLDLEN = 256;  // value buffers of a validity check

// Restructure operation codes (CROpType).
enum CROpType : int32_t {
  crNOOP = 0, crADD = 1, crCOPY = 2, crMODIFY = 3, crDROP = 4, crREDO = 5, crTABLE = 6,
  crGROUP = 7, crMASK = 8, crREPLACE = 9, crOTHER = 10
};

// Lookup types of a validity check.
enum LKUPType : int32_t {
  lkupNONE = 0, lkupPRIVATE = 1, lkupALLCORRESP = 2, lkupHELP = 3, lkupALLCORRESPHELP = 4
};

// Has-value flags of a validity check's minimum, maximum and default.
constexpr uint16_t TODAYVAL = 2;
constexpr uint16_t NOWVAL = 3;

enum FLDVchkType : int32_t { fldvNOCHECKS = 0, fldvHASCHECKS = 1, fldvUNKNOWN = 2 };
enum FLDReadWrite : int32_t { fldrREADWRITE = 0, fldrREADONLY = 1, fldrNONE = 2, fldrUNKNOWN = 3 };

// Logical field types (what a cursor reports under translation) and subtypes.
enum : uint16_t {
  fldUNKNOWN = 0, fldZSTRING = 1, fldDATE = 2, fldBLOB = 3, fldBOOL = 4, fldINT16 = 5,
  fldINT32 = 6, fldFLOAT = 7, fldBCD = 8, fldBYTES = 9, fldTIME = 10, fldTIMESTAMP = 11,
  fldUINT16 = 12, fldUINT32 = 13, fldFLOATIEEE = 14, fldVARBYTES = 15, fldLOCKINFO = 16
};
enum : uint16_t {
  fldstMONEY = 21, fldstMEMO = 22, fldstBINARY = 23, fldstFMTMEMO = 24, fldstOLEOBJ = 25,
  fldstGRAPHIC = 26, fldstDBSOLEOBJ = 27, fldstTYPEDBINARY = 28, fldstAUTOINC = 29
};

// Physical field types (what a cursor reports with translation switched off).
enum : uint16_t {
  fldPDXCHAR = 0x101, fldPDXNUM = 0x102, fldPDXMONEY = 0x103, fldPDXDATE = 0x104,
  fldPDXSHORT = 0x105, fldPDXMEMO = 0x106, fldPDXBINARYBLOB = 0x107, fldPDXFMTMEMO = 0x108,
  fldPDXOLEBLOB = 0x109, fldPDXGRAPHIC = 0x10A, fldPDXLONG = 0x10B, fldPDXTIME = 0x10C,
  fldPDXDATETIME = 0x10D, fldPDXBOOL = 0x10E, fldPDXAUTOINC = 0x10F, fldPDXBYTES = 0x110,
  fldPDXBCD = 0x111,
  fldDBCHAR = 0x201, fldDBNUM = 0x202, fldDBMEMO = 0x203, fldDBBOOL = 0x204, fldDBDATE = 0x205,
  fldDBFLOAT = 0x206, fldDBLOCK = 0x207, fldDBOLEBLOB = 0x208, fldDBBINARY = 0x209,
  fldDBBYTES = 0x20A, fldDBLONG = 0x20B, fldDBDATETIME = 0x20C, fldDBDOUBLE = 0x20D,
  fldDBAUTOINC = 0x20E
};

// Cursor properties for DbiSetProp.
constexpr uint32_t curXLTMODE = 0x00050005;
enum XLTMode : uint32_t { xltNONE = 0, xltRECORD = 1, xltFIELD = 2 };

enum DBIOBJType : int32_t {
  objSYSTEM = 1, objSESSION = 2, objDRIVER = 3, objDATABASE = 4, objCURSOR = 5, objSTATEMENT = 6,
  objCLIENT = 7, objDBSEC = 8, objREPOSITORY = 9
};

enum DBIOpenMode : int32_t { dbiREADWRITE = 0, dbiREADONLY = 1 };
enum DBIShareMode : int32_t { dbiOPENSHARED = 0, dbiOPENEXCL = 1 };

#pragma pack(push, 1)

struct FLDDesc {                 // 62 bytes
  uint16_t iFldNum;              // 1-based field number
  char szName[DBIMAXNAMELEN + 1];
  uint16_t iFldType;             // logical, or physical with translation off
  uint16_t iSubType;
  int16_t iUnits1;               // width / size / digits
  int16_t iUnits2;               // decimals / BCD places
  uint16_t iOffset;              // offset in the record buffer
  uint16_t iLen;                 // bytes in the record buffer
  uint16_t iNullOffset;
  int32_t efldvVchk;             // FLDVchkType
  int32_t efldrRights;           // FLDReadWrite
  uint16_t bCalcField;
  uint16_t iUnUsed[2];
};
static_assert(sizeof(FLDDesc) == 62);

struct VCHKDesc {                // 1219 bytes
  uint16_t iFldNum;
  uint16_t bRequired;
  uint16_t bHasMinVal;
  uint16_t bHasMaxVal;
  uint16_t bHasDefVal;
  uint8_t aMinVal[DBIMAXSCFLDLEN];
  uint8_t aMaxVal[DBIMAXSCFLDLEN];
  uint8_t aDefVal[DBIMAXSCFLDLEN];
  char szPict[DBIMAXPICTLEN + 1];
  int32_t elkupType;             // LKUPType
  char szLkupTblName[DBIMAXPATHLEN + 1];
};
static_assert(sizeof(VCHKDesc) == 1219);

struct CURProps {
  char szName[DBIMAXTBLNAMELEN + 1];
  uint16_t iFNameSize;
  char szTableType[DBIMAXNAMELEN + 1];  // "DBASE", "PARADOX", "FOXPRO"
  uint16_t iFields;
  uint16_t iRecSize;
  uint16_t iRecBufSize;
  uint16_t iKeySize;
  uint16_t iIndexes;
  uint16_t iValChecks;
  uint16_t iRefIntChecks;
  uint16_t iBookMarkSize;
  uint16_t bBookMarkStable;
  int32_t eOpenMode;
  int32_t eShareMode;
  uint16_t bIndexed;
  int16_t iSeqNums;
  uint16_t bSoftDeletes;
  uint16_t bDeletedOn;
  uint16_t iRefRange;
  int32_t exltMode;
  uint16_t iRestrVersion;
  uint16_t bUniDirectional;
  uint16_t eprvRights;
  uint16_t Dummy4;
  uint16_t iFmlRights;
  uint16_t iPasswords;
  uint16_t iCodePage;
  uint16_t bProtected;
  uint16_t iTblLevel;            // 3, 4, 5, 7
  char szLangDriver[DBIMAXNAMELEN + 1];
  uint16_t bFieldMap;
  uint16_t iBlockSize;
  uint16_t bStrictRefInt;
  uint16_t iFilters;
  uint16_t bTempTable;
  uint16_t iUnUsed[16];
};

// Table descriptor for DbiDoRestructure. The arrays are the caller's; nothing is copied. Index,
// security, referential-integrity and optional-parameter entries are not used by this engine:
// indexes follow the table by themselves.
struct CRTblDesc {
  char szTblName[DBIMAXTBLNAMELEN + 1];
  char szTblType[DBIMAXNAMELEN + 1];
  char szErrTblName[DBIMAXPATHLEN + 1];
  char szUserName[DBIMAXNAMELEN + 1];
  char szPassword[DBIMAXNAMELEN + 1];
  uint16_t bProtected;
  uint16_t bPack;
  uint16_t iFldCount;
  CROpType* pecrFldOp;
  FLDDesc* pfldDesc;
  uint16_t iIdxCount;
  CROpType* pecrIdxOp;
  void* pidxDesc;
  uint16_t iSecRecCount;
  CROpType* pecrSecOp;
  void* psecDesc;
  uint16_t iValChkCount;
  CROpType* pecrValChkOp;
  VCHKDesc* pvchkDesc;
  uint16_t iRintCount;
  CROpType* pecrRintOp;
  void* printDesc;
  uint16_t iOptParams;
  void* pfldOptParams;
  void* pOptData;
};
// With 32-bit pointers, as on the host application's platform, the record has 682 bytes.
static_assert(sizeof(void*) != 4 || sizeof(CRTblDesc) == 682);

struct FMTBcd {                  // 34 bytes
  uint8_t iPrecision;            // 1..64
  uint8_t iSignSpecialPlaces;    // sign in bit 7, special in bit 6, places in bits 0-5
  uint8_t iFraction[32];         // BCD nibbles, high nibble first
};
static_assert(sizeof(FMTBcd) == 34);

#pragma pack(pop)

using DBIDATE = int32_t;         // days, 1 = 0001-01-01
using DBITIME = uint32_t;        // milliseconds since midnight
using TIMESTAMP = double;        // milliseconds since 0001-01-01 00:00 (day 1 starts at 86,400,000)

// Cursor calls.
DBIResult DbiSetProp(hDBIObj hObj, uint32_t iProp, uint32_t iPropValue);
DBIResult DbiGetCursorProps(hDBICur hCursor, CURProps& props);
// Fills iFields records (see CURProps).
DBIResult DbiGetFieldDescs(hDBICur hCursor, FLDDesc* pfldDesc);
// iValSeqNo 1..iValChecks.
DBIResult DbiGetVchkDesc(hDBICur hCursor, uint16_t iValSeqNo, VCHKDesc* pvalDesc);
DBIResult DbiGetObjFromObj(hDBIObj hObj, DBIOBJType eObjType, hDBIObj* phObj);

// Rebuilds the table that pTblDesc names, in the folder of hDb, in place and atomically.
DBIResult DbiDoRestructure(hDBIDb hDb, uint16_t iTblDescCount, CRTblDesc* pTblDesc,
                           const char* szSaveAs, const char* szKeyviolName,
                           const char* szProblemsName, bool bAnalyzeOnly);
// An extension of this engine: DbiDoRestructure that also writes, in the rebuilt rows, a value
// into each listed field (numbered in the new structure, from 1) wherever that field is empty,
// so that new fields and their defaults reach the table in one atomic swap.
struct FLDFill {
  uint16_t iFldNum;
  int64_t iValue;
};
DBIResult DbiDoRestructureFilling(hDBIDb hDb, CRTblDesc* pTblDesc, uint16_t iFillCount, const FLDFill* pFill);

// Sessions and databases: opens (or finds) the database of a folder or alias name, and gives
// its directory. An empty name is refused here; callers decide what it means.
DBIResult DbiOpenDatabase(const char* pszDbName, hDBIDb* phDb);
DBIResult DbiGetDirectory(hDBIDb hDb, bool bDefault, char* pszDir);  // DBIMAXPATHLEN + 1 bytes

// Value conversions.
DBIResult DbiDateEncode(uint16_t iMon, uint16_t iDay, int16_t iYear, DBIDATE* pdateD);
DBIResult DbiDateDecode(DBIDATE dateD, uint16_t* piMon, uint16_t* piDay, int16_t* piYear);
DBIResult DbiTimeEncode(uint16_t iHour, uint16_t iMin, uint16_t iMilSec, DBITIME* ptimeT);
DBIResult DbiTimeDecode(DBITIME timeT, uint16_t* piHour, uint16_t* piMin, uint16_t* piMilSec);
DBIResult DbiTimeStampEncode(DBIDATE dateD, DBITIME timeT, TIMESTAMP* ptsTS);
DBIResult DbiTimeStampDecode(TIMESTAMP tsTS, DBIDATE* pdateD, DBITIME* ptimeT);
DBIResult DbiBcdFromFloat(double* piVal, uint16_t iPrecision, uint16_t iPlaces, FMTBcd* pBcd);
DBIResult DbiBcdToFloat(FMTBcd* pBcd, double* piVal);

// The error of the last call that failed on this thread: its code, message and context lines
// (the table, file, field or row it concerns).
const engine::EngineError* DbiLastError();

}  // namespace bde
