#include "engine/restructure.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <type_traits>

#include "engine/codepage.h"
#include "engine/convert.h"
#include "engine/dbase/dbase.h"
#include "engine/dbase/expr.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/paradox/paradox.h"
#include "engine/path.h"
#include "engine/storage.h"
#include "engine/swap.h"

namespace engine {

namespace {

std::string FolderOfTable(const std::string& path) { return DirName(path).empty() ? "." : DirName(path); }

struct PlannedField {
  FieldSpec spec;
  bde::CROpType op = bde::crADD;
  int old = -1;  // 0-based field of the old table whose values it takes; -1 for a new field
};

std::string NameOf(const char* raw, size_t cap) { return std::string(raw, strnlen(raw, cap)); }

[[noreturn]] void Refuse(DBIResult code, const std::string& msg, const std::string& table, const std::string& field = "") {
  std::vector<std::string> ctx = {CtxTable(table)};
  if (!field.empty()) ctx.push_back(CtxField(field));
  throw EngineError(code, msg, ctx);
}

bool IsDbaseType(uint16_t t) { return t >= bde::fldDBCHAR && t <= bde::fldDBAUTOINC; }
bool IsParadoxType(uint16_t t) { return t >= bde::fldPDXCHAR && t <= bde::fldPDXBCD; }

int DbaseTypeLevel(uint16_t t) {
  switch (t) {
    case bde::fldDBCHAR: case bde::fldDBNUM: case bde::fldDBDATE: case bde::fldDBMEMO: case bde::fldDBBOOL: return 3;
    case bde::fldDBFLOAT: return 4;
    case bde::fldDBOLEBLOB: case bde::fldDBBINARY: return 5;
    default: return 7;  // long, double, timestamp, autoincrement, bytes, lock
  }
}

int ParadoxTypeLevel(uint16_t t) {
  switch (t) {
    case bde::fldPDXCHAR: case bde::fldPDXNUM: case bde::fldPDXMONEY: case bde::fldPDXSHORT: case bde::fldPDXDATE: return 3;
    case bde::fldPDXMEMO: case bde::fldPDXFMTMEMO: case bde::fldPDXGRAPHIC: case bde::fldPDXOLEBLOB:
    case bde::fldPDXBINARYBLOB: return 4;
    default: return 5;
  }
}

// The field a field record describes, with the sizes the format fixes filled in.
FieldSpec SpecOf(const bde::FLDDesc& f, bool paradox, const std::string& table) {
  FieldSpec s;
  s.name = NameOf(f.szName, sizeof f.szName);
  s.type = f.iFldType;
  if (paradox ? !IsParadoxType(s.type) : !IsDbaseType(s.type))
    Refuse(err::kInvalidFieldType, "El tipo del campo no existe en esta clase de tabla.", table, s.name);
  int u1 = f.iUnits1, u2 = f.iUnits2;
  if (u1 < 0 || u2 < 0) Refuse(err::kInvalidFieldSize, "El tamaño del campo no es válido.", table, s.name);
  if (!paradox) {
    switch (s.type) {
      case bde::fldDBCHAR: s.size = static_cast<uint16_t>(u1); break;
      case bde::fldDBNUM:
      case bde::fldDBFLOAT: s.size = static_cast<uint16_t>(u1); s.decimals = static_cast<uint16_t>(u2); break;
      case bde::fldDBDATE: s.size = 8; break;
      case bde::fldDBBOOL: s.size = 1; break;
      case bde::fldDBMEMO: case bde::fldDBBINARY: case bde::fldDBOLEBLOB: s.size = 10; break;
      case bde::fldDBLONG: case bde::fldDBAUTOINC: s.size = 4; break;
      case bde::fldDBDOUBLE: case bde::fldDBDATETIME: s.size = 8; break;
      default: Refuse(err::kInvalidFieldType, "Este tipo de campo no se puede crear.", table, s.name);
    }
  } else {
    switch (s.type) {
      case bde::fldPDXCHAR: case bde::fldPDXBYTES: s.size = static_cast<uint16_t>(u1); break;
      case bde::fldPDXBCD: s.size = static_cast<uint16_t>(u2); break;
      case bde::fldPDXMEMO: case bde::fldPDXFMTMEMO: case bde::fldPDXGRAPHIC: case bde::fldPDXOLEBLOB:
      case bde::fldPDXBINARYBLOB: s.size = static_cast<uint16_t>(u1 ? u1 : 10); break;
      case bde::fldPDXSHORT: s.size = 2; break;
      case bde::fldPDXLONG: case bde::fldPDXAUTOINC: case bde::fldPDXDATE: case bde::fldPDXTIME: s.size = 4; break;
      case bde::fldPDXNUM: case bde::fldPDXMONEY: case bde::fldPDXDATETIME: s.size = 8; break;
      case bde::fldPDXBOOL: s.size = 1; break;
      default: Refuse(err::kInvalidFieldType, "Este tipo de campo no se puede crear.", table, s.name);
    }
  }
  return s;
}

void ValidateName(const std::string& name, bool paradox, int level, const std::string& table) {
  size_t max = paradox ? 25 : (level >= 7 ? 31 : 10);
  if (name.empty()) Refuse(err::kInvalidFieldName, "Falta el nombre de un campo.", table);
  if (name.size() > max)
    Refuse(err::kInvalidFieldName,
           "El nombre del campo es demasiado largo: admite " + std::to_string(max) + " caracteres en esta tabla.",
           table, name);
  for (unsigned char c : name) {
    bool ok = paradox ? (c >= 0x20 && c != '[' && c != ']' && c != '{' && c != '}' && c != '(' && c != ')' &&
                         c != '#' && c != '"' && c != ',' && c != '|' && c != '-' && c != '>')
                      : ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
    if (!ok) Refuse(err::kInvalidFieldName, "El nombre del campo tiene caracteres no admitidos.", table, name);
  }
}

void ValidateSize(const FieldSpec& s, bool paradox, int level, const std::string& table) {
  if (!paradox) {
    if (s.type == bde::fldDBCHAR && (s.size < 1 || s.size > 254))
      Refuse(err::kInvalidFieldSize, "Un campo de texto admite de 1 a 254 caracteres.", table, s.name);
    if (s.type == bde::fldDBNUM || s.type == bde::fldDBFLOAT) {
      int max_w = level == 3 ? 19 : 20, max_d = level == 3 ? 15 : 18;
      if (s.size < 1 || s.size > max_w)
        Refuse(err::kInvalidFieldSize, "Un campo numérico admite de 1 a " + std::to_string(max_w) + " posiciones.",
               table, s.name);
      if (s.decimals > max_d || (s.decimals > 0 && s.decimals + 2 > s.size))
        Refuse(err::kInvalidFieldSize,
               "Los decimales no caben en el ancho del campo numérico (ancho " + std::to_string(s.size) +
                   ", decimales " + std::to_string(s.decimals) + ").",
               table, s.name);
    }
  } else {
    if (s.type == bde::fldPDXCHAR && (s.size < 1 || s.size > 255))
      Refuse(err::kInvalidFieldSize, "Un campo alfanumérico admite de 1 a 255 caracteres.", table, s.name);
    if (s.type == bde::fldPDXBYTES && (s.size < 1 || s.size > 255))
      Refuse(err::kInvalidFieldSize, "Un campo de bytes admite de 1 a 255 bytes.", table, s.name);
    if (s.type == bde::fldPDXBCD && s.size > 32)
      Refuse(err::kInvalidFieldSize, "Un campo BCD admite hasta 32 decimales.", table, s.name);
    bool blob = s.type == bde::fldPDXMEMO || s.type == bde::fldPDXFMTMEMO || s.type == bde::fldPDXGRAPHIC ||
                s.type == bde::fldPDXOLEBLOB || s.type == bde::fldPDXBINARYBLOB;
    if (blob && (s.size < 1 || s.size > 240))
      Refuse(err::kInvalidFieldSize, "La parte fija de un campo de objeto admite de 1 a 240 bytes.", table, s.name);
  }
  (void)level;
}

std::vector<PlannedField> Plan(TableStorage& old, const bde::CRTblDesc& d, const std::string& table) {
  const bool paradox = old.Format() == TableFormat::kParadox;
  const int level = old.Level();
  if (d.iFldCount == 0 || !d.pfldDesc)
    Refuse(err::kInvalidRestructure, "La nueva estructura no tiene ningún campo.", table);
  std::vector<PlannedField> plan;
  std::set<std::string> seen;
  uint32_t record_length = 1;
  for (uint16_t i = 0; i < d.iFldCount; ++i) {
    const bde::FLDDesc& f = d.pfldDesc[i];
    PlannedField p;
    p.op = d.pecrFldOp ? d.pecrFldOp[i] : bde::crNOOP;
    p.spec = SpecOf(f, paradox, table);
    if (p.op != bde::crNOOP && p.op != bde::crADD && p.op != bde::crMODIFY)
      Refuse(err::kInvalidRestructure, "Operación de reestructuración no admitida para un campo.", table, p.spec.name);
    if (p.op != bde::crADD) {
      if (f.iFldNum < 1 || f.iFldNum > old.Fields().size())
        Refuse(err::kInvalidRestructure, "El campo de origen indicado no existe en la tabla.", table, p.spec.name);
      p.old = f.iFldNum - 1;
    }
    // A field kept exactly as the table stores it is taken as it is, even where the program that
    // wrote the table went past the level's usual limits (a dBASE III N(20,4), say).
    bool as_stored = false;
    if (p.old >= 0) {
      const FieldSpec& o = old.Fields()[static_cast<size_t>(p.old)];
      as_stored = o.name == p.spec.name && o.type == p.spec.type && o.size == p.spec.size && o.decimals == p.spec.decimals;
    }
    if (!as_stored) {
      ValidateName(p.spec.name, paradox, level, table);
      int type_level = paradox ? ParadoxTypeLevel(p.spec.type) : DbaseTypeLevel(p.spec.type);
      if (type_level > level)
        Refuse(err::kInvalidFieldType,
               "El tipo del campo no existe en las tablas de nivel " + std::to_string(level) + ".", table, p.spec.name);
      ValidateSize(p.spec, paradox, level, table);
    }
    if (!seen.insert(FoldCase(p.spec.name)).second)
      Refuse(err::kDuplicateFieldName, "Hay dos campos con el mismo nombre.", table, p.spec.name);
    record_length += p.spec.size;
    plan.push_back(p);
  }
  uint32_t max_len = paradox ? 4000 : (level == 3 ? 4000 : 32767);
  if (record_length > max_len)
    Refuse(err::kRecordTooBig,
           "El registro resultante ocupa " + std::to_string(record_length) + " bytes; el máximo es " +
               std::to_string(max_len) + ".",
           table);
  return plan;
}

std::string ExtensionLike(const std::string& main_path, const std::string& upper_ext) {
  // Companions take the letter case of an all-lower-case table extension ("x.dbf" -> "x.dbt");
  // otherwise upper case, as the host application writes them ("Clientes.Dbf" -> "Clientes.DBT").
  std::string base = BaseName(main_path);
  auto dot = base.find_last_of('.');
  std::string raw = dot == std::string::npos ? "" : base.substr(dot + 1);
  bool lower = !raw.empty() && raw.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos;
  std::string out = upper_ext;
  if (lower)
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return out;
}

std::vector<std::string> CompanionExtensions(TableFormat f) {
  if (f == TableFormat::kParadox) return {"MB", "PX", "VAL"};
  return {"DBT", "MDX"};
}

bool IsEmptyCheck(const bde::VCHKDesc& v) {
  return !v.bRequired && !v.bHasMinVal && !v.bHasMaxVal && !v.bHasDefVal && !v.szPict[0] && !v.szLkupTblName[0] &&
         !v.elkupType;
}

// The validity checks of the rebuilt table: the caller's records with their operations (a check
// dropped, or emptied, or left on a field that is gone, is not written), or, when the caller
// lists none, the table's own checks following their fields to their new places.
std::vector<bde::VCHKDesc> PlanChecks(TableStorage& old, const std::vector<PlannedField>& plan,
                                      const bde::CRTblDesc& d) {
  std::vector<bde::VCHKDesc> out;
  if (d.iValChkCount && d.pvchkDesc) {
    for (uint16_t i = 0; i < d.iValChkCount; ++i) {
      bde::CROpType op = d.pecrValChkOp ? d.pecrValChkOp[i] : bde::crNOOP;
      bde::VCHKDesc v = d.pvchkDesc[i];
      if (op == bde::crDROP || IsEmptyCheck(v)) continue;
      if (v.iFldNum < 1 || v.iFldNum > plan.size()) continue;
      out.push_back(v);
    }
    return out;
  }
  for (bde::VCHKDesc v : old.ValChecks()) {
    for (size_t j = 0; j < plan.size(); ++j) {
      if (plan[j].op != bde::crADD && plan[j].old == static_cast<int>(v.iFldNum) - 1) {
        v.iFldNum = static_cast<uint16_t>(j + 1);
        out.push_back(v);
        break;
      }
    }
  }
  return out;
}

// The names an xBase expression mentions (identifiers outside string literals), upper case.
std::set<std::string> NamesIn(const std::string& expr) {
  std::set<std::string> out;
  std::string cur;
  char quote = 0;
  auto flush = [&] {
    if (!cur.empty() && !(cur[0] >= '0' && cur[0] <= '9')) out.insert(FoldCase(cur));
    cur.clear();
  };
  for (char c : expr) {
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"' || c == '[') {
      flush();
      quote = c == '[' ? ']' : c;
      continue;
    }
    bool word = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (word)
      cur.push_back(c);
    else
      flush();
  }
  flush();
  return out;
}

// How each tag of the old index follows the new table: carried over in the order found when every
// field its expressions use keeps its values untouched, rebuilt from its expressions otherwise. A
// tag that uses a field the new table no longer has stops the restructure here, before anything
// is written.
std::vector<dbase::TagPlan> PlanTags(TableStorage& old, const std::vector<PlannedField>& plan,
                                     const std::string& table) {
  std::vector<FieldSpec> new_fields;
  for (const auto& p : plan) new_fields.push_back(p.spec);
  const auto& old_fields = old.Fields();
  std::vector<dbase::TagPlan> out;
  for (const TagInfo& t : old.Tags()) {
    // A tag whose expressions the engine cannot evaluate even over the old fields is carried over
    // as stored, which is only sound while every field it names stays as it is.
    const bool unusable = !t.problem.empty();
    for (const std::string& e : {t.expression, t.filter}) {
      if (e.empty() || unusable) continue;
      try {
        dbase::Expression::Parse(e, new_fields, old.Codepage());
      } catch (const EngineError&) {
        Refuse(err::kInvalidRestructure,
               "El índice " + t.name + " usa un campo que la nueva estructura no tiene o ha cambiado de tipo (" + e +
                   "). Quite o cambie ese índice antes de reestructurar la tabla.",
               table);
      }
    }
    bool untouched = true;
    std::set<std::string> used = NamesIn(t.expression);
    for (const auto& n : NamesIn(t.filter)) used.insert(n);
    for (size_t i = 0; i < old_fields.size(); ++i) {
      if (!used.count(FoldCase(old_fields[i].name))) continue;
      bool kept = false;
      for (const auto& p : plan)
        if (p.old == static_cast<int>(i) && p.spec.name == old_fields[i].name && p.spec.type == old_fields[i].type &&
            p.spec.size == old_fields[i].size && p.spec.decimals == old_fields[i].decimals)
          kept = true;
      if (!kept) untouched = false;
    }
    if (unusable && !untouched)
      Refuse(err::kInvalidRestructure,
             "El índice " + t.name + " tiene una expresión que este programa no sabe calcular («" + t.expression +
                 "») y usa campos que la reestructuración cambia, así que no se puede conservar. Quite ese índice o "
                 "cambie la tabla en Tribanor.",
             table);
    dbase::TagPlan tp;
    tp.tag = t;
    tp.carry_over = untouched;
    tp.as_stored = unusable;
    tp.old_tag = t.name;
    out.push_back(tp);
  }
  return out;
}

// Whether a file name has a Paradox secondary index's extension (.Xnn, .Ynn, .XGn, .YGn).
bool IsSecondaryIndexName(const std::string& name) {
  std::string ext = UpperExtension(name);
  return ext.size() == 3 && (ext[0] == 'X' || ext[0] == 'Y');
}

// The secondary index files beside a Paradox table, in any letter case.
std::vector<std::string> SecondaryIndexFiles(const std::string& path) {
  std::string base = BaseName(path);
  const std::string stem = FoldCase(base.substr(0, base.find_last_of('.')));
  std::vector<std::string> out;
  for (const auto& e : CurrentFileSystem()->List(DirName(path).empty() ? "." : DirName(path))) {
    if (e.is_dir || !IsSecondaryIndexName(e.name)) continue;
    if (FoldCase(e.name.substr(0, e.name.size() - 4)) != stem) continue;
    out.push_back(JoinPath(DirName(path), e.name));
  }
  return out;
}

// The swap of a table's family: the new main file and every companion the work folder holds
// for it (under the companion's final name), and the removal of old companions the new table
// does not have. Paradox secondary indexes describe the old records: they go with the old table.
std::vector<SwapEntry> FamilyEntries(const std::string& path, const std::string& tmp_path, TableFormat format) {
  FileSystem& fs = *CurrentFileSystem();
  std::vector<SwapEntry> entries;
  entries.push_back({path, tmp_path});
  for (const std::string& ext : CompanionExtensions(format)) {
    auto old_companion = FindCompanion(path, ext);
    auto new_companion = FindCompanion(tmp_path, ext);
    std::string final_path = old_companion ? *old_companion : ReplaceExtension(path, ExtensionLike(path, ext));
    if (new_companion) {
      std::string want = SwapTempPath(final_path);
      if (*new_companion != want) fs.Rename(*new_companion, want);
      entries.push_back({final_path, want});
    } else if (old_companion) {
      entries.push_back({final_path, ""});
    }
  }
  if (format == TableFormat::kParadox)
    for (const std::string& file : SecondaryIndexFiles(path)) entries.push_back({file, ""});
  return entries;
}

// How each secondary index of a Paradox table follows the rebuild: rebuilt (its fields at their
// new places, under their new names) when every field it uses survives with values in the same
// order, dropped when one of them is dropped. The rebuilt index keeps the old one's order (this
// engine cannot tell every order Paradox uses), so any other change to an indexed field (or to
// the primary key, whose values every index entry holds) is refused here, before anything is
// written.
struct IndexFollow {
  const paradox::SecondaryIndex* index = nullptr;
  std::vector<int> new_fields;  // empty when the index is dropped
};

std::vector<IndexFollow> PlanSecondary(TableStorage& old, const std::vector<PlannedField>& plan,
                                       const std::string& table) {
  const paradox::SecondarySet* set = paradox::SecondaryIndexesOf(old);
  std::vector<IndexFollow> out;
  if (!set) return out;
  const auto& fields = old.Fields();
  auto same = [&](size_t j, int of) {
    const FieldSpec& o = fields[static_cast<size_t>(of)];
    const FieldSpec& n = plan[j].spec;
    return n.type == o.type && n.size == o.size;
  };
  for (const paradox::SecondaryIndex& ix : set->Indexes()) {
    if (!ix.problem.empty() || ix.files.y_path.empty())
      Refuse(err::kInvalidRestructure,
             "El índice secundario " + ix.name + " no se puede leer (" +
                 (ix.problem.empty() ? std::string("falta su fichero .Y") : ix.problem) +
                 "), y la reestructuración no lo podría conservar. Regenérelo con Paradox, o bórrelo (ficheros .X y "
                 ".Y) si la aplicación no lo usa.",
             table);
    IndexFollow f;
    f.index = &ix;
    bool dropped = false;
    for (int of : ix.fields) {
      int at = -1;
      for (size_t j = 0; j < plan.size(); ++j)
        if (plan[j].op != bde::crADD && plan[j].old == of) at = static_cast<int>(j);
      if (at < 0) {
        dropped = true;
        break;
      }
      // The rebuilt index keeps the old one's order, which holds while the field's values keep
      // their order: renamed, moved, or text made wider (padded with zero bytes).
      const FieldSpec& o = fields[static_cast<size_t>(of)];
      const FieldSpec& n = plan[static_cast<size_t>(at)].spec;
      const bool wider_text = o.type == bde::fldPDXCHAR && n.type == o.type && n.size > o.size;
      if (!same(static_cast<size_t>(at), of) && !wider_text)
        Refuse(err::kInvalidRestructure,
               "El campo " + o.name + " forma parte del índice secundario " + ix.name +
                   ", y la nueva estructura cambia su tipo o lo acorta, con lo que el índice no se puede reconstruir "
                   "en su orden. Quite antes ese índice con Paradox (y vuelva a crearlo después) o deje el campo "
                   "como está.",
               table, o.name);
      f.new_fields.push_back(at);
    }
    if (dropped) {
      f.new_fields.clear();
    } else {
      // A rebuilt table sorts its text by "ascii"; text keys stored in another order would not
      // match it.
      const std::string sort = old.LanguageDriverName();
      bool text = false;
      for (int of : ix.fields) text |= fields[static_cast<size_t>(of)].type == bde::fldPDXCHAR;
      for (int k = 0; k < old.KeyFieldCount(); ++k) text |= fields[static_cast<size_t>(k)].type == bde::fldPDXCHAR;
      if (text && !sort.empty() && sort != "ascii")
        Refuse(err::kInvalidRestructure,
               "El índice secundario " + ix.name + " ordena texto según «" + sort +
                   "», y la tabla reconstruida ordena según «ascii»: el índice no se puede conservar. Quite antes "
                   "ese índice con Paradox y vuelva a crearlo después.",
               table);
      for (int k = 0; k < old.KeyFieldCount(); ++k)
        if (!same(static_cast<size_t>(k), k))
          Refuse(err::kInvalidRestructure,
                 "El campo clave " + fields[static_cast<size_t>(k)].name + " está en cada entrada del índice secundario " +
                     ix.name + ", y la nueva estructura cambia su tipo o su tamaño. Quite antes ese índice con Paradox "
                     "o deje el campo como está.",
                 table, fields[static_cast<size_t>(k)].name);
    }
    out.push_back(std::move(f));
  }
  return out;
}

// The name a kept single-field index takes for its field's new number (".X02" -> ".X03"), in the
// letter case of the old name.
std::string RenumberedIndexPath(const std::string& path, int field) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = path;
  const bool lower = out[out.size() - 3] == 'x' || out[out.size() - 3] == 'y';
  out[out.size() - 2] = static_cast<char>(lower ? std::tolower(kHex[(field + 1) >> 4]) : kHex[(field + 1) >> 4]);
  out[out.size() - 1] = static_cast<char>(lower ? std::tolower(kHex[(field + 1) & 15]) : kHex[(field + 1) & 15]);
  return out;
}

}  // namespace

void DoRestructure(Database& db, const bde::CRTblDesc& desc, const std::vector<bde::FLDFill>& fills) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string name = NameOf(desc.szTblName, sizeof desc.szTblName);
  if (name.empty()) throw EngineError(err::kInvalidParam, "Falta el nombre de la tabla que se reestructura.");
  const bool looks_paradox = UpperExtension(name) != "DBF" && !UpperExtension(name).empty();
  const std::string path = db.TablePath(name, looks_paradox ? TableFormat::kParadox : TableFormat::kDbase);
  // The table's folder as it is now is the one changed: a folder put in its place meanwhile stops
  // the work (fs.h HeldFolder).
  std::optional<HeldFolder> held;
  if (fs.IsDirectory(FolderOfTable(path))) held.emplace(FolderOfTable(path));
  RecoverTable(path);
  if (!fs.IsRegularFile(path))
    Refuse(err::kNoSuchTable, "La tabla no existe. Compruebe que la carpeta de datos es la correcta.", path);
  const TableFormat format = FormatFor(path, TableTypeHint::kDefault);
  if (format == TableFormat::kFoxPro)
    Refuse(err::kNotSupported, "Las tablas FoxPro no se pueden reestructurar.", path);

  OpenOptions opts;
  opts.exclusive = true;
  std::unique_ptr<TableStorage> old = OpenStorage(path, format, opts);  // refused mid-swap
  if (const uint64_t past = dbase::RecordsPastCount(*old))
    throw EngineError(err::kHeaderCorrupt,
                      "No se puede reconstruir la tabla: " + dbase::RecordsPastCountText(past, old->RecordCount()) +
                          ", y al reconstruirla se perderían. La tabla está dañada y no se ha modificado. Repárela "
                          "con el programa que la creó o restaure una copia de seguridad, y vuelva a intentarlo.",
                      {CtxTable(path), CtxFile(path)});
  const std::vector<PlannedField> plan = Plan(*old, desc, path);
  for (const bde::FLDFill& f : fills)
    if (f.iFldNum < 1 || f.iFldNum > plan.size())
      Refuse(err::kInvalidParam, "Un valor por defecto se refiere a un campo que la nueva estructura no tiene.", path);

  // Validity checks exist only in Paradox tables.
  if (format != TableFormat::kParadox && desc.pecrValChkOp) {
    for (uint16_t i = 0; i < desc.iValChkCount; ++i)
      if ((desc.pecrValChkOp[i] == bde::crADD || desc.pecrValChkOp[i] == bde::crMODIFY) &&
          !(desc.pvchkDesc && IsEmptyCheck(desc.pvchkDesc[i])))
        Refuse(err::kNotSupported, "Las tablas dBASE no admiten reglas de validación.", path);
  }
  const bool indexed = format == TableFormat::kDbase && !old->Tags().empty();
  std::vector<dbase::TagPlan> tag_plan;
  if (indexed) tag_plan = PlanTags(*old, plan, path);

  TableDefinition def;
  def.format = format;
  def.level = old->Level();
  def.codepage = old->Codepage().number();
  old->DescribeForRecreate(&def);
  def.sizes_as_stored = true;
  def.sync_on_create = false;  // every file is synced once it is full, before the swap
  def.tags.clear();
  def.val_checks.clear();
  for (const auto& p : plan) def.fields.push_back(p.spec);
  if (format == TableFormat::kParadox) {
    def.key_fields = old->KeyFieldCount();
    for (int k = 0; k < def.key_fields; ++k)
      if (k >= static_cast<int>(plan.size()) || plan[static_cast<size_t>(k)].old != k)
        Refuse(err::kInvalidRestructure,
               "Los campos de la clave de la tabla deben seguir siendo los primeros y en el mismo orden.", path);
    def.val_checks = PlanChecks(*old, plan, desc);
    // Referential integrity is carried over as stored, so the fields it names stay as they are.
    std::vector<int> from;
    for (const auto& p : plan) from.push_back(p.op == bde::crADD ? -1 : p.old);
    paradox::CheckReferentialIntegrityKept(*old, from, def.fields);
    def.paradox_ri = paradox::CarriedReferentialIntegrity(*old);
  }
  const std::vector<IndexFollow> follows =
      format == TableFormat::kParadox ? PlanSecondary(*old, plan, path) : std::vector<IndexFollow>{};

  std::vector<uint64_t> recno_map;
  RemoveSwapLeftovers(path);
  // A failed attempt takes its work files with it (unless its swap is committed: then they are
  // the new table, which the next open puts in place).
  try {
    auto work = PrepareSwapWorkFolder(path);
    const std::string tmp_path = SwapTempPath(path);
    CreateStorage(tmp_path, def);
    std::unique_ptr<TableStorage> neu = OpenStorage(tmp_path, format, opts);
    {
      const bool pack = desc.bPack != 0;
      const uint64_t n = old->RecordCount();
      if (indexed) recno_map.assign(n, dbase::kPurgedRow);
      std::string buf, out;
      const std::string blank = neu->BlankRecord();
      const auto& old_fields = old->Fields();
      const auto& new_fields = neu->Fields();
      // A field whose stored form does not change is copied byte for byte; the others go through
      // their values (converted, re-encoded, memos written to the new memo file).
      std::vector<bool> raw(plan.size(), false), blob(plan.size(), false);
      for (size_t i = 0; i < plan.size(); ++i) {
        const PlannedField& p = plan[i];
        if (p.op == bde::crADD) continue;
        const FieldSpec& a = old_fields[static_cast<size_t>(p.old)];
        const FieldSpec& b = new_fields[i];
        bool same = a.type == b.type && a.size == b.size && a.decimals == b.decimals && a.length == b.length;
        bool is_blob = KindOfFieldType(a.type) == Value::Kind::Binary || a.type == bde::fldDBMEMO ||
                       a.type == bde::fldPDXMEMO || a.type == bde::fldPDXFMTMEMO;
        raw[i] = same && !is_blob;
        // A memo of the same type moves as stored bytes (same code page: the table keeps its own).
        blob[i] = same && is_blob;
      }
      // Byte runs to copy, adjacent fields merged into one run.
      struct Run {
        uint32_t from, to, length;
      };
      std::vector<Run> runs;
      for (size_t i = 0; i < plan.size(); ++i) {
        if (!raw[i]) continue;
        const FieldSpec& a = old_fields[static_cast<size_t>(plan[i].old)];
        const FieldSpec& b = new_fields[i];
        if (!runs.empty() && runs.back().from + runs.back().length == a.offset &&
            runs.back().to + runs.back().length == b.offset)
          runs.back().length += a.length;
        else
          runs.push_back({a.offset, b.offset, a.length});
      }
      // The bytes of a new row that no run covers start from the blank row; the row buffer is
      // reused, so only those are reset.
      std::vector<Run> gaps;
      {
        std::vector<Run> sorted = runs;
        std::sort(sorted.begin(), sorted.end(), [](const Run& a, const Run& b) { return a.to < b.to; });
        uint32_t at = 0;
        for (const Run& run : sorted) {
          if (run.to > at) gaps.push_back({at, at, run.to - at});
          at = std::max(at, run.to + run.length);
        }
        if (at < blank.size()) gaps.push_back({at, at, static_cast<uint32_t>(blank.size()) - at});
      }
      out = blank;
      neu->BeginBulkAppend();
      // Memos kept as they are go from the old memo file to the new one without a string each,
      // where the storage can take them so.
      const std::unique_ptr<TableStorage::BlobCopier> blobs = neu->BlobCopierFrom(*old);
      const bool copies_blobs = blobs != nullptr;
      std::vector<size_t> copied_blobs;
      for (size_t i = 0; i < plan.size(); ++i)
        if (blob[i] && copies_blobs) copied_blobs.push_back(i);
      // A dBASE table whose every field is copied as stored (memos by `blobs`) or added blank is
      // rebuilt from blocks of rows, each new row composed in the new table's write buffer.
      const bool bytes_only = format == TableFormat::kDbase && fills.empty() &&
                              std::all_of(plan.begin(), plan.end(), [&](const PlannedField& p) {
                                const size_t i = static_cast<size_t>(&p - plan.data());
                                return p.op == bde::crADD || raw[i] || (blob[i] && copies_blobs);
                              }) &&
                              old->BeginRecordCopies();
      if (bytes_only) {
        const size_t from_len = old->RecordLength(), to_len = blank.size();
        const size_t block_rows = std::max<size_t>(1, (256u << 10) / std::max(from_len, to_len));
        std::unique_ptr<char[]> block(new char[block_rows * from_len]);
        for (uint64_t first = 1; first <= n; first += block_rows) {
          const size_t k = static_cast<size_t>(std::min<uint64_t>(block_rows, n - first + 1));
          old->CopyRecords(first, k, block.get());
          const uint64_t next = neu->RecordCount() + 1;
          // Made twice, with and without the memos' loop, so that a table without memos does
          // not pay for it row by row.
          auto compose = [&](char* rows, auto with_blobs) {
            size_t kept = 0;
            for (size_t i = 0; i < k; ++i) {
              const char* in = block.get() + i * from_len;
              const bool deleted = in[0] == '*';  // a dBASE row's mark, as IsDeleted reads it
              if (deleted && pack) continue;
              char* row = rows + kept * to_len;
              for (const Run& gap : gaps) std::memcpy(row + gap.to, blank.data() + gap.from, gap.length);
              for (const Run& run : runs) std::memcpy(row + run.to, in + run.from, run.length);
              if constexpr (decltype(with_blobs)::value)
                for (size_t b : copied_blobs) blobs->Copy(in, plan[b].old, row, static_cast<int>(b));
              if (deleted) row[0] = '*';
              if (indexed) recno_map[first - 1 + i] = next + kept;
              ++kept;
            }
            return kept;
          };
          neu->AppendRecords(k, [&](char* rows) {
            return copied_blobs.empty() ? compose(rows, std::false_type{}) : compose(rows, std::true_type{});
          });
        }
      }
      for (uint64_t r = 1; r <= (bytes_only ? 0 : n); ++r) {
        old->ReadRecord(r, &buf);
        bool deleted = old->IsDeleted(buf);
        if (deleted && pack) continue;
        for (const Run& gap : gaps) std::memcpy(out.data() + gap.to, blank.data() + gap.from, gap.length);
        for (const Run& run : runs) std::memcpy(out.data() + run.to, buf.data() + run.from, run.length);
        for (size_t i = 0; i < plan.size(); ++i) {
          const PlannedField& p = plan[i];
          if (p.op == bde::crADD || raw[i]) continue;
          const FieldSpec& from = old_fields[static_cast<size_t>(p.old)];
          if (blob[i] && copies_blobs) {
            blobs->Copy(buf.data(), p.old, out.data(), static_cast<int>(i));
            continue;
          }
          if (blob[i]) {
            auto bytes = old->GetBlobBytes(buf, p.old);
            if (bytes && neu->SetBlobBytes(&out, static_cast<int>(i), *bytes)) continue;
          }
          Value v = old->GetValue(buf, p.old);
          try {
            neu->SetValue(&out, static_cast<int>(i), ConvertForField(v, from, p.spec));
          } catch (EngineError& e) {
            e.With(CtxTable(path)).With(CtxField(p.spec.name)).With(CtxRecord(r)).With("Valor: " + v.ToDisplay());
            throw;
          }
        }
        for (const bde::FLDFill& f : fills) {
          const int i = f.iFldNum - 1;
          if (neu->GetValue(out, i).IsNull()) neu->SetValue(&out, i, Value::Integer(f.iValue));
        }
        uint64_t at = neu->AppendRecord(out);
        if (deleted) neu->SetDeleted(at, true);
        if (indexed) recno_map[r - 1] = at;
      }
      neu->EndBulkAppend();
    }
    // The index is written from the new table as it is open (the copy's buffers given back first),
    // and announced in its header before the one sync of its rows.
    if (indexed) {
      auto old_mdx = FindCompanion(path, "MDX");
      if (!old_mdx) Refuse(err::kNoSuchFile, "Falta el fichero de índices de la tabla.", path);
      dbase::FinishRestructuredIndex(*neu, *old_mdx, tag_plan, recno_map);
    }
    neu->Flush();
    neu.reset();

    std::vector<SwapEntry> entries = FamilyEntries(path, tmp_path, format);
    if (format == TableFormat::kParadox) {
      // The family's removal of every old secondary index is replaced by the list below.
      std::erase_if(entries, [](const SwapEntry& e) { return IsSecondaryIndexName(e.final_path); });
      // Secondary index files (.Xnn, .Ynn, .XGn, .YGn) go with the old table, but for the kept
      // indexes: rebuilt for the new rows, under the name their field's new number gives.
      std::map<std::string, SwapEntry> index_files;  // by folded final path
      for (const std::string& file : SecondaryIndexFiles(path)) index_files[FoldCase(file)] = {file, ""};
      std::unique_ptr<TableStorage> rebuilt;
      for (const IndexFollow& f : follows) {
        if (f.new_fields.empty()) continue;
        if (!rebuilt) rebuilt = OpenStorage(tmp_path, format, {false, true});
        const paradox::SecondaryIndex& ix = *f.index;
        std::string x = ix.files.x_path, y = ix.files.y_path;
        if (!ix.files.composite) {
          x = RenumberedIndexPath(x, f.new_fields[0]);
          y = RenumberedIndexPath(y, f.new_fields[0]);
        }
        for (std::string* final_path : {&x, &y}) {
          auto it = index_files.find(FoldCase(*final_path));
          if (it != index_files.end()) *final_path = it->second.final_path;  // an existing file keeps its case
        }
        paradox::RebuildIndexFor(*old, ix, *rebuilt, f.new_fields, SwapTempPath(x), SwapTempPath(y));
        index_files[FoldCase(x)] = {x, SwapTempPath(x)};
        index_files[FoldCase(y)] = {y, SwapTempPath(y)};
      }
      rebuilt.reset();
      for (const auto& [key, entry] : index_files) entries.push_back(entry);
    }
    CommitSwap(path, entries);
  } catch (...) {
    if (!SwapPending(path)) DiscardSwapWork(path);
    throw;
  }
}

void CreateTableAtomically(const std::string& path, TableDefinition def) {
  FileSystem& fs = *CurrentFileSystem();
  std::optional<HeldFolder> held;
  if (fs.IsDirectory(FolderOfTable(path))) held.emplace(FolderOfTable(path));
  RecoverTable(path);
  // A table that someone has open is not replaced under them.
  std::unique_ptr<File> guard;
  if (fs.Exists(path)) {
    if (!fs.IsRegularFile(path))
      Refuse(err::kInvalidParam,
             "No se puede crear la tabla: con su nombre hay algo que no es un fichero (una carpeta o un fichero "
             "especial). Cámbielo de nombre o quítelo y vuelva a intentarlo.",
             path);
    guard = OpenExclusively(fs, path, true);
    if (!guard || !guard->StillAtPath())
      Refuse(err::kTableInUse,
             "No se puede crear la tabla: la que hay con ese nombre está abierta en otro programa. Ciérrelo y "
             "vuelva a intentarlo.",
             path);
  }
  if (SwapPending(path)) ThrowSwapInProgress(path);
  RemoveSwapLeftovers(path);
  const std::string tmp_path = SwapTempPath(path);
  def.sync_on_create = true;  // every file durable before the journal names it
  try {
    auto work = PrepareSwapWorkFolder(path);
    CreateStorage(tmp_path, def);
    CommitSwap(path, FamilyEntries(path, tmp_path, def.format));
    // A mark left by the replaced table's rows says nothing of the new table's indexes.
    if (IndexRewriteMarked(path)) ClearIndexRewriteMark(path);
  } catch (...) {
    if (!SwapPending(path)) DiscardSwapWork(path);
    throw;
  }
}

void RecoverTable(const std::string& table_path) {
  if (SwapPending(table_path)) {
    RecoverSwap(table_path);
    return;
  }
  // A swap that ended just before removing its (empty) work folder.
  FileSystem& fs = *CurrentFileSystem();
  const std::string work = SwapTempDir(table_path);
  if (fs.Inspect(work).directory && fs.List(work).empty()) fs.RemoveEmptyDirectory(work);  // a folder, not a link
}

}  // namespace engine
