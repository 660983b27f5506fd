// Creating tables from field and index definitions.
#include <string>

#include "engine/database.h"
#include "engine/error.h"
#include "engine/path.h"
#include "engine/restructure.h"
#include "engine/storage.h"
#include "engine/table.h"

namespace engine {

namespace {

[[noreturn]] void NoSuchType(const TFieldDef& def, int level) {
  throw EngineError(err::kInvalidFieldType,
                    std::string("El tipo de campo ") + FieldTypeName(def.DataType) +
                        " no existe en las tablas de nivel " + std::to_string(level) + ".",
                    {CtxField(def.Name)});
}

FieldSpec Spec(const std::string& name, uint16_t type, int size, int decimals = 0) {
  FieldSpec f;
  f.name = name;
  f.type = type;
  f.size = static_cast<uint16_t>(size);
  f.decimals = static_cast<uint16_t>(decimals);
  return f;
}

}  // namespace

FieldSpec SpecOfFieldDef(const TFieldDef& def, bool paradox, int level) {
  using TF = TFieldType;
  const std::string& n = def.Name;
  if (!paradox) {
    switch (def.DataType) {
      case TF::ftString: return Spec(n, bde::fldDBCHAR, def.Size > 0 ? def.Size : 20);
      case TF::ftSmallint:
      case TF::ftWord: return Spec(n, bde::fldDBNUM, 6);
      case TF::ftInteger:
        // dBASE 7 has a binary integer; older levels store whole numbers as N(11,0).
        return level >= 7 ? Spec(n, bde::fldDBLONG, 4) : Spec(n, bde::fldDBNUM, 11);
      case TF::ftLargeint: return Spec(n, bde::fldDBNUM, 20);
      case TF::ftAutoInc:
        if (level < 7) NoSuchType(def, level);
        return Spec(n, bde::fldDBAUTOINC, 4);
      case TF::ftFloat:
      case TF::ftCurrency:
        if (def.Size > 0) return Spec(n, bde::fldDBNUM, def.Size, def.Precision);
        return level >= 7 ? Spec(n, bde::fldDBDOUBLE, 8) : Spec(n, bde::fldDBFLOAT, 20, 4);
      case TF::ftBCD:  // Precision digits in all, Size of them decimals
        return Spec(n, bde::fldDBNUM, def.Precision > 0 ? def.Precision : 20, def.Size);
      case TF::ftDate: return Spec(n, bde::fldDBDATE, 8);
      case TF::ftDateTime:
        if (level < 7) NoSuchType(def, level);
        return Spec(n, bde::fldDBDATETIME, 8);
      case TF::ftBoolean: return Spec(n, bde::fldDBBOOL, 1);
      case TF::ftMemo:
      case TF::ftFmtMemo: return Spec(n, bde::fldDBMEMO, 10);
      case TF::ftBlob:
      case TF::ftGraphic:
      case TF::ftTypedBinary:
        if (level < 5) NoSuchType(def, level);
        return Spec(n, bde::fldDBBINARY, 10);
      case TF::ftDBaseOle:
      case TF::ftParadoxOle:
        if (level < 5) NoSuchType(def, level);
        return Spec(n, bde::fldDBOLEBLOB, 10);
      default: NoSuchType(def, level);
    }
  }
  auto need = [&](int min_level) {
    if (level < min_level) NoSuchType(def, level);
  };
  switch (def.DataType) {
    case TF::ftString: return Spec(n, bde::fldPDXCHAR, def.Size > 0 ? def.Size : 20);
    case TF::ftSmallint:
    case TF::ftWord: return Spec(n, bde::fldPDXSHORT, 2);
    case TF::ftInteger: need(5); return Spec(n, bde::fldPDXLONG, 4);
    case TF::ftAutoInc: need(5); return Spec(n, bde::fldPDXAUTOINC, 4);
    case TF::ftFloat: return Spec(n, bde::fldPDXNUM, 8);
    case TF::ftCurrency: return Spec(n, bde::fldPDXMONEY, 8);
    case TF::ftBCD: need(5); return Spec(n, bde::fldPDXBCD, def.Size);
    case TF::ftDate: return Spec(n, bde::fldPDXDATE, 4);
    case TF::ftTime: need(5); return Spec(n, bde::fldPDXTIME, 4);
    case TF::ftDateTime: need(5); return Spec(n, bde::fldPDXDATETIME, 8);
    case TF::ftBoolean: need(5); return Spec(n, bde::fldPDXBOOL, 1);
    case TF::ftBytes: need(5); return Spec(n, bde::fldPDXBYTES, def.Size > 0 ? def.Size : 1);
    case TF::ftMemo: need(4); return Spec(n, bde::fldPDXMEMO, def.Size > 0 ? def.Size : 10);
    case TF::ftFmtMemo: need(4); return Spec(n, bde::fldPDXFMTMEMO, def.Size > 0 ? def.Size : 10);
    case TF::ftGraphic: need(4); return Spec(n, bde::fldPDXGRAPHIC, def.Size > 0 ? def.Size : 10);
    case TF::ftParadoxOle: need(4); return Spec(n, bde::fldPDXOLEBLOB, def.Size > 0 ? def.Size : 10);
    case TF::ftBlob:
    case TF::ftTypedBinary: need(4); return Spec(n, bde::fldPDXBINARYBLOB, def.Size > 0 ? def.Size : 10);
    default: NoSuchType(def, level);
  }
}

void TTable::CreateTable() {
  CheckInactive();
  if (table_name_.empty()) DatabaseError(Name() + ": " + texts::kNoTableName);
  try {
    Database* db = OpenDatabase(database_name_);
    bool paradox = table_type_ == TTableType::ttParadox ||
                   (table_type_ == TTableType::ttDefault && UpperExtension(table_name_) != "DBF");
    std::string path = db->TablePath(table_name_, paradox ? TableFormat::kParadox : TableFormat::kDbase);
    TableDefinition def;
    def.format = paradox ? TableFormat::kParadox : TableFormat::kDbase;
    def.level = table_level_ ? table_level_ : (paradox ? 7 : 4);
    def.codepage = 1252;
    for (int i = 0; i < field_defs_.Count(); ++i) def.fields.push_back(SpecOfFieldDef(field_defs_[i], paradox, def.level));
    for (int i = 0; i < index_defs_.Count(); ++i) {
      const TIndexDef& d = index_defs_[i];
      if (paradox && (d.Options & ixPrimary)) {
        // A Paradox primary index is the leading fields named by the expression ("A;B").
        int n = 1;
        for (char c : d.Expression)
          if (c == ';') ++n;
        def.key_fields = n;
        continue;
      }
      TagInfo t;
      t.name = d.Name;
      t.expression = d.Expression;
      t.filter = d.Filter;
      t.unique = (d.Options & ixUnique) != 0;
      t.descending = (d.Options & ixDescending) != 0;
      def.tags.push_back(t);
    }
    CreateTableAtomically(path, def);
  } catch (const EngineError& e) {
    throw EDBEngineError(e);
  }
}

}  // namespace engine
