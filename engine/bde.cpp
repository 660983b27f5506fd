// The engine calls: thin wrappers that validate handles, run the work, and turn failures into
// result codes, keeping the failed call's error for Check() and DbiLastError().
#include "engine/bde.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <set>

#include "engine/cursor.h"
#include "engine/database.h"
#include "engine/error.h"
#include "engine/restructure.h"
#include "engine/value.h"

namespace bde {

using engine::EngineError;
namespace err = engine::err;

namespace {

thread_local std::optional<EngineError> t_last;

template <class F>
DBIResult Run(F&& f) {
  try {
    f();
    return DBIERR_NONE;
  } catch (const EngineError& e) {
    t_last = e;
  } catch (const std::bad_alloc&) {
    t_last = EngineError(err::kInternal, "Memoria insuficiente.");
  } catch (const std::exception& e) {
    t_last = EngineError(err::kInternal, e.what());
  }
  return t_last->code();
}

[[noreturn]] void Fail(DBIResult code, const std::string& msg) { throw EngineError(code, msg); }

engine::Cursor* CursorOf(hDBIObj h) {
  if (!h || !engine::IsLiveCursor(static_cast<engine::Cursor*>(h)))
    Fail(err::kInvalidHandle, "Identificador de cursor no válido.");
  return static_cast<engine::Cursor*>(h);
}

void CopyText(char* dst, size_t cap, const std::string& s) {
  size_t n = std::min(cap - 1, s.size());
  std::memcpy(dst, s.data(), n);
  dst[n] = 0;
}

// Logical type and subtype of a physical field type.
void LogicalOf(uint16_t phys, const engine::FieldSpec& f, uint16_t* type, uint16_t* sub) {
  *sub = 0;
  switch (phys) {
    case fldDBCHAR: case fldPDXCHAR: *type = fldZSTRING; break;
    case fldDBNUM:
      *type = (f.decimals == 0 && f.size <= 4) ? fldINT16 : (f.decimals == 0 && f.size <= 9) ? fldINT32 : fldFLOAT;
      break;
    case fldDBFLOAT: case fldDBDOUBLE: case fldPDXNUM: *type = fldFLOAT; break;
    case fldPDXMONEY: *type = fldFLOAT; *sub = fldstMONEY; break;
    case fldPDXBCD: *type = fldBCD; break;
    case fldDBDATE: case fldPDXDATE: *type = fldDATE; break;
    case fldPDXTIME: *type = fldTIME; break;
    case fldDBDATETIME: case fldPDXDATETIME: *type = fldTIMESTAMP; break;
    case fldDBBOOL: case fldPDXBOOL: *type = fldBOOL; break;
    case fldPDXSHORT: *type = fldINT16; break;
    case fldDBLONG: case fldPDXLONG: *type = fldINT32; break;
    case fldDBAUTOINC: case fldPDXAUTOINC: *type = fldINT32; *sub = fldstAUTOINC; break;
    case fldDBMEMO: case fldPDXMEMO: *type = fldBLOB; *sub = fldstMEMO; break;
    case fldPDXFMTMEMO: *type = fldBLOB; *sub = fldstFMTMEMO; break;
    case fldPDXGRAPHIC: *type = fldBLOB; *sub = fldstGRAPHIC; break;
    case fldPDXOLEBLOB: *type = fldBLOB; *sub = fldstOLEOBJ; break;
    case fldDBOLEBLOB: *type = fldBLOB; *sub = fldstDBSOLEOBJ; break;
    case fldDBBINARY: case fldPDXBINARYBLOB: *type = fldBLOB; *sub = fldstBINARY; break;
    case fldPDXBYTES: case fldDBBYTES: *type = fldBYTES; break;
    case fldDBLOCK: *type = fldLOCKINFO; break;
    default: *type = fldUNKNOWN; break;
  }
}

}  // namespace

const EngineError* DbiLastError() { return t_last ? &*t_last : nullptr; }

DBIResult DbiSetProp(hDBIObj hObj, uint32_t iProp, uint32_t iPropValue) {
  return Run([&] {
    engine::Cursor* c = CursorOf(hObj);
    if (iProp != curXLTMODE) Fail(err::kNotSupported, "Propiedad de cursor no admitida.");
    if (iPropValue > xltFIELD) Fail(err::kInvalidParam, "Modo de traducción no válido.");
    c->xlt_mode = iPropValue;
  });
}

DBIResult DbiGetCursorProps(hDBICur hCursor, CURProps& props) {
  return Run([&] {
    engine::Cursor* c = CursorOf(hCursor);
    engine::TableStorage& st = c->storage();
    std::memset(&props, 0, sizeof props);
    CopyText(props.szName, sizeof props.szName, st.Path());
    props.iFNameSize = DBIMAXTBLNAMELEN + 1;
    CopyText(props.szTableType, sizeof props.szTableType, st.TypeName());
    props.iFields = static_cast<uint16_t>(st.Fields().size());
    props.iRecSize = static_cast<uint16_t>(std::min<uint32_t>(st.RecordLength(), 0xFFFF));
    props.iRecBufSize = props.iRecSize;
    props.iIndexes = static_cast<uint16_t>(st.Tags().size());
    props.iValChecks = static_cast<uint16_t>(st.ValChecks().size());
    props.iBookMarkSize = 4;
    props.bBookMarkStable = 1;
    props.eOpenMode = dbiREADWRITE;
    props.eShareMode = c->exclusive() ? dbiOPENEXCL : dbiOPENSHARED;
    props.bIndexed = c->order().empty() ? 0 : 1;
    props.iSeqNums = st.Format() == engine::TableFormat::kParadox ? 1 : 0;
    props.bSoftDeletes = st.Format() == engine::TableFormat::kParadox ? 0 : 1;
    props.exltMode = static_cast<int32_t>(c->xlt_mode);
    props.iCodePage = static_cast<uint16_t>(st.Codepage().number());
    props.iTblLevel = static_cast<uint16_t>(st.Level());
    CopyText(props.szLangDriver, sizeof props.szLangDriver, st.LanguageDriverName());
    props.iKeySize = 0;
  });
}

DBIResult DbiGetFieldDescs(hDBICur hCursor, FLDDesc* pfldDesc) {
  return Run([&] {
    engine::Cursor* c = CursorOf(hCursor);
    if (!pfldDesc) Fail(err::kInvalidParam, "Falta el vector de descriptores de campo.");
    engine::TableStorage& st = c->storage();
    auto checks = st.ValChecks();
    const auto& fields = st.Fields();
    for (size_t i = 0; i < fields.size(); ++i) {
      const engine::FieldSpec& f = fields[i];
      FLDDesc& d = pfldDesc[i];
      std::memset(&d, 0, sizeof d);
      d.iFldNum = static_cast<uint16_t>(i + 1);
      CopyText(d.szName, sizeof d.szName, f.name);
      if (c->xlt_mode == xltNONE) {
        d.iFldType = f.type;
        d.iSubType = 0;
      } else {
        LogicalOf(f.type, f, &d.iFldType, &d.iSubType);
      }
      if (f.type == fldPDXBCD) {
        d.iUnits1 = 32;
        d.iUnits2 = static_cast<int16_t>(f.size);
      } else {
        d.iUnits1 = static_cast<int16_t>(f.size);
        d.iUnits2 = static_cast<int16_t>(f.decimals);
      }
      d.iOffset = static_cast<uint16_t>(f.offset);
      d.iLen = static_cast<uint16_t>(f.length);
      d.efldvVchk = fldvNOCHECKS;
      for (const auto& v : checks)
        if (v.iFldNum == i + 1) d.efldvVchk = fldvHASCHECKS;
      d.efldrRights = fldrREADWRITE;
    }
  });
}

DBIResult DbiGetVchkDesc(hDBICur hCursor, uint16_t iValSeqNo, VCHKDesc* pvalDesc) {
  return Run([&] {
    engine::Cursor* c = CursorOf(hCursor);
    if (!pvalDesc) Fail(err::kInvalidParam, "Falta el registro de la regla de validación.");
    auto checks = c->storage().ValChecks();
    if (iValSeqNo < 1 || iValSeqNo > checks.size())
      Fail(err::kInvalidParam, "La regla de validación pedida no existe.");
    *pvalDesc = checks[iValSeqNo - 1];
  });
}

DBIResult DbiGetObjFromObj(hDBIObj hObj, DBIOBJType eObjType, hDBIObj* phObj) {
  return Run([&] {
    engine::Cursor* c = CursorOf(hObj);
    if (!phObj) Fail(err::kInvalidParam, "Falta el destino del identificador.");
    if (eObjType != objDATABASE) Fail(err::kNotSupported, "Tipo de objeto no admitido.");
    *phObj = c->database();
  });
}

DBIResult DbiDoRestructure(hDBIDb hDb, uint16_t iTblDescCount, CRTblDesc* pTblDesc, const char* szSaveAs,
                           const char* szKeyviolName, const char* szProblemsName, bool bAnalyzeOnly) {
  return Run([&] {
    if (!hDb || !engine::IsLiveDatabase(hDb)) Fail(err::kInvalidHandle, "Identificador de base de datos no válido.");
    if (iTblDescCount != 1 || !pTblDesc) Fail(err::kInvalidParam, "Se espera un único descriptor de tabla.");
    if ((szSaveAs && *szSaveAs) || (szKeyviolName && *szKeyviolName) || (szProblemsName && *szProblemsName) ||
        bAnalyzeOnly)
      Fail(err::kNotSupported, "Opciones de reestructuración no admitidas.");
    engine::DoRestructure(*hDb, *pTblDesc);
  });
}

DBIResult DbiDoRestructureFilling(hDBIDb hDb, CRTblDesc* pTblDesc, uint16_t iFillCount, const FLDFill* pFill) {
  return Run([&] {
    if (!hDb || !engine::IsLiveDatabase(hDb)) Fail(err::kInvalidHandle, "Identificador de base de datos no válido.");
    if (!pTblDesc || (iFillCount && !pFill)) Fail(err::kInvalidParam, "Falta el descriptor de la tabla o de sus valores.");
    std::vector<FLDFill> fills(pFill, pFill + iFillCount);
    engine::DoRestructure(*hDb, *pTblDesc, fills);
  });
}

DBIResult DbiOpenDatabase(const char* pszDbName, hDBIDb* phDb) {
  return Run([&] {
    if (!phDb || !pszDbName || !*pszDbName) Fail(err::kInvalidParam, "Falta el nombre de la base de datos.");
    *phDb = engine::OpenDatabase(pszDbName);
  });
}

DBIResult DbiGetDirectory(hDBIDb hDb, bool, char* pszDir) {
  return Run([&] {
    if (!hDb || !engine::IsLiveDatabase(hDb)) Fail(err::kInvalidHandle, "Identificador de base de datos no válido.");
    if (!pszDir) Fail(err::kInvalidParam, "Falta el destino de la carpeta.");
    if (hDb->Directory().size() > DBIMAXPATHLEN) Fail(err::kInvalidParam, "La ruta de la carpeta es demasiado larga.");
    CopyText(pszDir, DBIMAXPATHLEN + 1, hDb->Directory());
  });
}

DBIResult DbiDateEncode(uint16_t iMon, uint16_t iDay, int16_t iYear, DBIDATE* pdateD) {
  return Run([&] {
    if (!pdateD) Fail(err::kInvalidParam, "Falta el destino de la fecha.");
    if (iYear < 1 || !engine::IsValidCivil(iYear, iMon, iDay))
      Fail(err::kConversion, "Fecha no válida.");
    *pdateD = static_cast<DBIDATE>(engine::DayFromCivil(iYear, iMon, iDay));
  });
}

DBIResult DbiDateDecode(DBIDATE dateD, uint16_t* piMon, uint16_t* piDay, int16_t* piYear) {
  return Run([&] {
    if (!piMon || !piDay || !piYear) Fail(err::kInvalidParam, "Falta el destino de la fecha.");
    if (dateD < 1 || dateD > 3652059) Fail(err::kConversion, "Fecha no válida.");
    int y, m, d;
    engine::CivilFromDay(dateD, &y, &m, &d);
    *piMon = static_cast<uint16_t>(m);
    *piDay = static_cast<uint16_t>(d);
    *piYear = static_cast<int16_t>(y);
  });
}

DBIResult DbiTimeEncode(uint16_t iHour, uint16_t iMin, uint16_t iMilSec, DBITIME* ptimeT) {
  return Run([&] {
    if (!ptimeT) Fail(err::kInvalidParam, "Falta el destino de la hora.");
    if (iHour > 23 || iMin > 59 || iMilSec > 59999) Fail(err::kConversion, "Hora no válida.");
    *ptimeT = static_cast<DBITIME>(iHour) * 3600000u + static_cast<DBITIME>(iMin) * 60000u + iMilSec;
  });
}

DBIResult DbiTimeDecode(DBITIME timeT, uint16_t* piHour, uint16_t* piMin, uint16_t* piMilSec) {
  return Run([&] {
    if (!piHour || !piMin || !piMilSec) Fail(err::kInvalidParam, "Falta el destino de la hora.");
    if (timeT >= 86400000u) Fail(err::kConversion, "Hora no válida.");
    *piHour = static_cast<uint16_t>(timeT / 3600000u);
    *piMin = static_cast<uint16_t>(timeT / 60000u % 60u);
    *piMilSec = static_cast<uint16_t>(timeT % 60000u);
  });
}

DBIResult DbiTimeStampEncode(DBIDATE dateD, DBITIME timeT, TIMESTAMP* ptsTS) {
  return Run([&] {
    if (!ptsTS) Fail(err::kInvalidParam, "Falta el destino de la fecha y hora.");
    if (timeT >= 86400000u) Fail(err::kConversion, "Hora no válida.");
    *ptsTS = static_cast<double>(dateD) * 86400000.0 + static_cast<double>(timeT);
  });
}

DBIResult DbiTimeStampDecode(TIMESTAMP tsTS, DBIDATE* pdateD, DBITIME* ptimeT) {
  return Run([&] {
    if (!pdateD || !ptimeT) Fail(err::kInvalidParam, "Falta el destino de la fecha y hora.");
    if (!std::isfinite(tsTS) || std::fabs(tsTS) > 4e17) Fail(err::kConversion, "Fecha y hora no válidas.");
    double day = std::floor(tsTS / 86400000.0);
    *pdateD = static_cast<DBIDATE>(day);
    *ptimeT = static_cast<DBITIME>(tsTS - day * 86400000.0);
  });
}

DBIResult DbiBcdFromFloat(double* piVal, uint16_t iPrecision, uint16_t iPlaces, FMTBcd* pBcd) {
  return Run([&] {
    if (!piVal || !pBcd) Fail(err::kInvalidParam, "Faltan argumentos de la conversión BCD.");
    if (iPrecision < 1 || iPrecision > 64 || iPlaces > iPrecision || iPlaces > 63)
      Fail(err::kInvalidParam, "Precisión o decimales BCD no válidos.");
    double v = *piVal;
    if (!std::isfinite(v)) Fail(err::kConversion, "El número no se puede representar en BCD.");
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(iPlaces), std::fabs(v));
    std::string text = buf;
    auto dot = text.find('.');
    std::string ip = dot == std::string::npos ? text : text.substr(0, dot);
    std::string fp = dot == std::string::npos ? "" : text.substr(dot + 1);
    size_t nz = ip.find_first_not_of('0');
    ip = nz == std::string::npos ? "" : ip.substr(nz);
    if (ip.size() + iPlaces > iPrecision) Fail(err::kValueOutOfRange, "El número no cabe en el campo BCD.");
    std::string digits = std::string(iPrecision - iPlaces - ip.size(), '0') + ip + fp;
    std::memset(pBcd, 0, sizeof *pBcd);
    pBcd->iPrecision = static_cast<uint8_t>(iPrecision);
    bool neg = v < 0 && digits.find_first_not_of('0') != std::string::npos;
    pBcd->iSignSpecialPlaces = static_cast<uint8_t>((neg ? 0x80 : 0) | iPlaces);
    for (size_t i = 0; i < digits.size(); ++i) {
      uint8_t d = static_cast<uint8_t>(digits[i] - '0');
      pBcd->iFraction[i / 2] |= static_cast<uint8_t>(i % 2 == 0 ? d << 4 : d);
    }
  });
}

DBIResult DbiBcdToFloat(FMTBcd* pBcd, double* piVal) {
  return Run([&] {
    if (!piVal || !pBcd) Fail(err::kInvalidParam, "Faltan argumentos de la conversión BCD.");
    int precision = pBcd->iPrecision;
    int places = pBcd->iSignSpecialPlaces & 0x3F;
    if (precision < 1 || precision > 64 || places > precision) Fail(err::kConversion, "Valor BCD no válido.");
    std::string text;
    for (int i = 0; i < precision; ++i) {
      uint8_t b = pBcd->iFraction[i / 2];
      uint8_t d = i % 2 == 0 ? b >> 4 : b & 0x0F;
      if (d > 9) Fail(err::kConversion, "Valor BCD no válido.");
      if (i == precision - places) text.push_back('.');
      text.push_back(static_cast<char>('0' + d));
    }
    double v = std::strtod(text.c_str(), nullptr);
    *piVal = (pBcd->iSignSpecialPlaces & 0x80) ? -v : v;
  });
}

}  // namespace bde
