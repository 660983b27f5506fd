// TRestructure: validity checks (Paradox tables) and the conversion of their values between the
// descriptor's texts and the engine's value buffers.
#include <algorithm>
#include <cstring>

#include "restructure/Restructure.h"

namespace restructure {

namespace {

constexpr size_t kValueBufferSize = bde::DBIMAXSCFLDLEN;

std::string TrimmedUpper(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  std::string r = s.substr(b, e - b);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

bool EqualsIgnoringCase(const std::string& s, const char* word) {
  size_t n = std::strlen(word);
  if (s.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != word[i]) return false;
  }
  return true;
}

template <class T>
void Store(uint8_t* buffer, T value) {
  std::memcpy(buffer, &value, sizeof value);
}

template <class T>
T Load(const uint8_t* buffer) {
  T value;
  std::memcpy(&value, buffer, sizeof value);
  return value;
}

bde::DBIDATE EncodeDate(const TDateParts& d) {
  bde::DBIDATE date = 0;
  engine::Check(bde::DbiDateEncode(static_cast<uint16_t>(d.Month), static_cast<uint16_t>(d.Day),
                                   static_cast<int16_t>(d.Year), &date));
  return date;
}

bde::DBITIME EncodeTime(const TTimeParts& t) {
  bde::DBITIME time = 0;
  engine::Check(bde::DbiTimeEncode(static_cast<uint16_t>(t.Hour), static_cast<uint16_t>(t.Minute),
                                   static_cast<uint16_t>(t.Second * 1000 + t.MSec), &time));
  return time;
}

TDateParts DecodeDate(bde::DBIDATE date) {
  uint16_t month = 0, day = 0;
  int16_t year = 0;
  engine::Check(bde::DbiDateDecode(date, &month, &day, &year));
  return {year, month, day};
}

TTimeParts DecodeTime(bde::DBITIME time) {
  uint16_t hour = 0, minute = 0, msec = 0;
  engine::Check(bde::DbiTimeDecode(time, &hour, &minute, &msec));
  return {hour, minute, msec / 1000, msec % 1000};
}

bool IsPathSeparator(char c) { return c == '\\' || c == ':' || c == '/'; }

}  // namespace

// ---- Looking up checks ---------------------------------------------------------------------

bool TRestructure::HasValCheck(const std::string& name) {
  const int a = FieldIndex(name);
  if (a == 0) return false;
  for (int k = 0; k < ValCheckCountEff(); ++k)
    if (FValChecks[k].iFldNum == a) return true;
  return false;
}

int TRestructure::ValCheckIndex(const std::string& name) {
  const int a = FieldIndex(name);
  if (a == 0) return 0;
  for (int k = 0; k < ValCheckCountEff(); ++k)
    if (FValChecks[k].iFldNum == a) return k + 1;
  return 0;
}

bool TRestructure::ValCheckNeeded(const std::string& name) {
  if (FTableType != "PARADOX") return false;
  const TdBasePxFieldType t = FieldTypeByName(name);
  const TValCheckDesc& v = *FValCheck;
  bool value = false;
  if (t >= pxAlpha && t <= pxTimestamp)
    value = !v.MaximumValue().empty() || !v.MinimumValue().empty() ||
            !v.DefaultValue().empty() || !v.Picture().empty();
  else if (t == pxLogical)
    value = !v.DefaultValue().empty();
  else if (t == pxAutoincrement)
    value = !v.MinimumValue().empty();
  return value || v.Required() ||
         (!v.LookupDatabaseName().empty() && !v.LookupTableName().empty());
}

// ---- Filling and reading checks ------------------------------------------------------------

std::string TRestructure::LookupDirectory(const std::string& database) {
  // An empty name means the database of the table being restructured (the current folder when
  // that has no name either, as for the table itself).
  std::string name = database.empty() ? FDatabaseName : database;
  if (name.empty()) name.push_back('.');
  bde::hDBIDb db = nullptr;
  engine::Check(bde::DbiOpenDatabase(name.c_str(), &db));
  char dir[bde::DBIMAXPATHLEN + 1] = {};
  engine::Check(bde::DbiGetDirectory(db, false, dir));
  std::string result(dir, strnlen(dir, sizeof dir));
  if (result.empty()) {
    throw engine::EDatabaseError("La base de datos '" + name +
                                 "' de la tabla de consulta no tiene carpeta; indique la carpeta "
                                 "de la tabla de consulta.\n" +
                                 TableContext());
  }
  return result;
}

void TRestructure::FillValCheck(const std::string& name, int pos, bde::VCHKDesc* out) {
  const TdBasePxFieldType t = FieldTypeByName(name);
  const uint16_t places = FieldPrecisionByName(name);
  const TValCheckDesc& v = *FValCheck;
  // Built apart and copied at the end, so that a failure leaves the check as it was.
  bde::VCHKDesc rec{};
  rec.iFldNum = static_cast<uint16_t>(pos);
  rec.bRequired = v.Required() ? 0xFFFF : 0;
  if (!v.MinimumValue().empty() && t != pxLogical)
    rec.bHasMinVal = TextToEngineValue(v.MinimumValue(), t, rec.aMinVal, places);
  if (!v.MaximumValue().empty() && t != pxLogical && t != pxAutoincrement)
    rec.bHasMaxVal = TextToEngineValue(v.MaximumValue(), t, rec.aMaxVal, places);
  if (!v.DefaultValue().empty() && t != pxAutoincrement)
    rec.bHasDefVal = TextToEngineValue(v.DefaultValue(), t, rec.aDefVal, places);
  if (v.Picture().size() > static_cast<size_t>(bde::DBIMAXPICTLEN)) {
    throw engine::EDatabaseError("La máscara de entrada del campo '" + name + "' tiene " +
                                 std::to_string(v.Picture().size()) + " caracteres y el máximo es " +
                                 std::to_string(bde::DBIMAXPICTLEN) + ". Acórtela.\n" +
                                 TableContext());
  }
  std::memcpy(rec.szPict, v.Picture().data(), v.Picture().size());
  rec.elkupType = EngineLookupType(v.LookupType(), v.LookupAccess());
  std::string dir = LookupDirectory(v.LookupDatabaseName());
  if (dir.back() != '\\' && dir.back() != '/') {
    // A folder written with '/' only (a path of this machine) keeps that separator.
    const bool slash = dir.find('/') != std::string::npos && dir.find('\\') == std::string::npos;
    dir += slash ? '/' : '\\';
  }
  const std::string path = dir + v.LookupTableName();
  if (!v.LookupTableName().empty()) {
    if (path.size() > static_cast<size_t>(bde::DBIMAXPATHLEN)) {
      throw engine::EDatabaseError("La ruta de la tabla de consulta del campo '" + name + "' (" +
                                   path + ") tiene " + std::to_string(path.size()) +
                                   " caracteres y el máximo es " +
                                   std::to_string(bde::DBIMAXPATHLEN) +
                                   ". Use una carpeta con una ruta más corta.\n" + TableContext());
    }
    std::memcpy(rec.szLkupTblName, path.data(), path.size());
  } else {
    rec.elkupType = bde::lkupNONE;
  }
  *out = rec;
}

void TRestructure::ReadValCheck(const bde::VCHKDesc& rec) {
  TValCheckDesc& v = *FValCheck;
  const TdBasePxFieldType t = FField->FieldType();
  auto text = [&](uint16_t flag, const uint8_t* buffer) -> std::string {
    switch (flag) {
      case 0: return "";
      case bde::NOWVAL: return "NOW";
      case bde::TODAYVAL: return "TODAY";
      default: return EngineValueToText(t, buffer);
    }
  };
  v.SetRequired(rec.bRequired != 0);
  v.SetMinimumValue(text(rec.bHasMinVal, rec.aMinVal));
  v.SetMaximumValue(text(rec.bHasMaxVal, rec.aMaxVal));
  v.SetDefaultValue(text(rec.bHasDefVal, rec.aDefVal));
  v.SetPicture(std::string(rec.szPict, strnlen(rec.szPict, sizeof rec.szPict)));
  const std::string path(rec.szLkupTblName, strnlen(rec.szLkupTblName, sizeof rec.szLkupTblName));
  size_t cut = path.size();
  while (cut > 0 && !IsPathSeparator(path[cut - 1])) --cut;
  v.SetLookupDatabaseName(path.substr(0, cut));
  v.SetLookupTableName(path.substr(cut));
  TLookupType type;
  TLookupAccess access;
  if (LookupFromEngine(rec.elkupType, &type, &access)) {
    v.SetLookupType(type);
    v.SetLookupAccess(access);
  }
}

// ---- Editing checks ------------------------------------------------------------------------

void TRestructure::AddValCheck(const std::string& name) {
  const int a = FieldIndex(name);
  if (a == 0) return;
  if (HasValCheck(name)) {
    ModifyValCheck(name);
    return;
  }
  if (!ValCheckNeeded(name)) return;
  bde::VCHKDesc rec;
  FillValCheck(name, a, &rec);
  const int n = ValCheckCountEff();
  std::unique_ptr<bde::VCHKDesc[]> checks(new bde::VCHKDesc[n + 1]());
  std::unique_ptr<bde::CROpType[]> ops(new bde::CROpType[n + 1]());
  if (n > 0) {
    std::copy_n(FValChecks.get(), n, checks.get());
    std::copy_n(FValCheckOps.get(), n, ops.get());
  }
  checks[n] = rec;
  ops[n] = bde::crADD;
  FValChecks = std::move(checks);
  FValCheckOps = std::move(ops);
  FValCheckCount = n + 1;
}

void TRestructure::ModifyValCheck(const std::string& name) {
  const bool has = HasValCheck(name);
  const bool needed = ValCheckNeeded(name);
  if (!has && needed) {
    AddValCheck(name);
  } else if (has && !needed) {
    DeleteValCheck(name);
  } else if (has && needed) {
    const int a = FieldIndex(name);
    if (a == 0) return;
    const int k = ValCheckIndex(name);
    bde::VCHKDesc rec;
    FillValCheck(name, a, &rec);
    FValChecks[k - 1] = rec;
    if (FValCheckOps[k - 1] != bde::crADD) FValCheckOps[k - 1] = bde::crMODIFY;
  }
}

void TRestructure::DeleteValCheck(const std::string& name) {
  if (!FValChecks || !HasValCheck(name)) return;
  const int k = ValCheckIndex(name);
  FValChecks[k - 1] = bde::VCHKDesc{};
  FValChecks[k - 1].iFldNum = static_cast<uint16_t>(FieldIndex(name));
  FValCheckOps[k - 1] = bde::crMODIFY;
}

// ---- Value conversion ----------------------------------------------------------------------

uint16_t TRestructure::TextToEngineValue(const std::string& text, TdBasePxFieldType type,
                                         uint8_t* buffer, uint16_t places) {
  std::memset(buffer, 0, kValueBufferSize);
  switch (type) {
    case pxAlpha:
      std::memcpy(buffer, text.data(), std::min(text.size(), kValueBufferSize));
      return 1;
    case pxNumber:
    case pxMoney:
      Store(buffer, StrToFloat(text));
      return 1;
    case pxShort: {
      const int32_t v = StrToInt(text);
      if (v < INT16_MIN || v > INT16_MAX) {
        // Cutting to 16 bits would store another number than the user wrote.
        throw engine::EConvertError("'" + text +
                                    "' no cabe en un campo entero corto (de -32768 a 32767)");
      }
      Store(buffer, static_cast<int16_t>(v));
      return 1;
    }
    case pxLongInteger:
    case pxAutoincrement:
      Store(buffer, StrToInt(text));
      return 1;
    case pxBCD: {
      double v = StrToFloat(text);
      bde::FMTBcd bcd{};
      engine::Check(bde::DbiBcdFromFloat(&v, 32, places, &bcd));
      Store(buffer, bcd);
      return 1;
    }
    case pxDate:
      if (TrimmedUpper(text) == "TODAY") return bde::TODAYVAL;
      Store(buffer, EncodeDate(StrToDate(text)));
      return 1;
    case pxTime:
      if (TrimmedUpper(text) == "NOW") return bde::NOWVAL;
      Store(buffer, EncodeTime(StrToTime(text)));
      return 1;
    case pxTimestamp: {
      if (TrimmedUpper(text) == "NOW") return bde::NOWVAL;
      TDateParts d;
      TTimeParts t;
      StrToDateTime(text, &d, &t);
      bde::TIMESTAMP ts = 0;
      engine::Check(bde::DbiTimeStampEncode(EncodeDate(d), EncodeTime(t), &ts));
      Store(buffer, ts);
      return 1;
    }
    case pxLogical:
      if (EqualsIgnoringCase(text, "TRUE")) {
        Store<int32_t>(buffer, 1);
        return 1;
      }
      if (EqualsIgnoringCase(text, "FALSE")) {
        Store<int32_t>(buffer, 0);
        return 1;
      }
      return 0;
    default:
      return 0;
  }
}

std::string TRestructure::EngineValueToText(TdBasePxFieldType type, const uint8_t* buffer) {
  switch (type) {
    case pxAlpha: {
      const char* s = reinterpret_cast<const char*>(buffer);
      return std::string(s, strnlen(s, kValueBufferSize - 1));
    }
    case pxNumber:
    case pxMoney:
      return FloatToStr(Load<double>(buffer));
    case pxShort:
      return std::to_string(Load<int16_t>(buffer));
    case pxLongInteger:
    case pxAutoincrement:
      return std::to_string(Load<int32_t>(buffer));
    case pxBCD: {
      bde::FMTBcd bcd = Load<bde::FMTBcd>(buffer);
      double v = 0;
      engine::Check(bde::DbiBcdToFloat(&bcd, &v));
      return FloatToStr(v);
    }
    case pxDate:
      return DateToStr(DecodeDate(Load<bde::DBIDATE>(buffer)));
    case pxTime:
      return TimeToStr(DecodeTime(Load<bde::DBITIME>(buffer)));
    case pxTimestamp: {
      bde::DBIDATE date = 0;
      bde::DBITIME time = 0;
      engine::Check(bde::DbiTimeStampDecode(Load<bde::TIMESTAMP>(buffer), &date, &time));
      // Written straight from the decoded parts: going through a fractional day number would
      // round milliseconds.
      return DateTimeToStr(DecodeDate(date), DecodeTime(time));
    }
    case pxLogical:
      return Load<int32_t>(buffer) != 0 ? "TRUE" : "FALSE";
    default:
      return "";
  }
}

}  // namespace restructure
