#include <cstdio>
#include <cstring>

#include "engine/bde.h"
#include "engine/fs.h"
#include "engine/paradox/paradox.h"
#include "engine/value.h"
#include "tools/tabla/commands.h"

namespace tabla {

namespace {

// A validity check's value (in the engine's representation) as text.
std::string CheckValue(const engine::TableStorage& t, uint16_t type, uint16_t flag, const uint8_t* buf) {
  if (flag == bde::TODAYVAL) return "HOY";
  if (flag == bde::NOWVAL) return "AHORA";
  auto get = [&](auto v) {
    std::memcpy(&v, buf, sizeof v);
    return v;
  };
  switch (type) {
    case bde::fldPDXCHAR: {
      std::string quoted(1, '\'');
      quoted += t.Codepage().Decode(reinterpret_cast<const char*>(buf));
      quoted += '\'';
      return quoted;
    }
    case bde::fldPDXNUM:
    case bde::fldPDXMONEY: return engine::Value::Number(get(double{})).DecimalText();
    case bde::fldPDXSHORT: return std::to_string(get(int16_t{}));
    case bde::fldPDXLONG:
    case bde::fldPDXAUTOINC: return std::to_string(get(int32_t{}));
    case bde::fldPDXDATE: return engine::Value::Date(get(int32_t{})).ToDisplay();
    case bde::fldPDXTIME: return engine::Value::Time(get(uint32_t{})).ToDisplay();
    case bde::fldPDXDATETIME: return engine::Value::Timestamp(static_cast<int64_t>(get(double{}))).ToDisplay();
    case bde::fldPDXBOOL: return get(int32_t{}) ? "TRUE" : "FALSE";
    case bde::fldPDXBCD: {
      bde::FMTBcd b;
      std::memcpy(&b, buf, sizeof b);
      double x = 0;
      if (bde::DbiBcdToFloat(&b, &x) != bde::DBIERR_NONE) return "?";
      return engine::Value::Number(x).DecimalText();
    }
    default: return "(valor)";
  }
}

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "Uso: tabla info FICHERO\n");
    return 2;
  }
  auto t = OpenForReading(args[0]);
  std::printf("Tipo: %s\n", t->TypeName().c_str());
  std::printf("Nivel: %d\n", t->Level());
  std::string driver = t->LanguageDriverName();
  std::printf("Página de códigos: %d%s\n", t->Codepage().number(),
              driver.empty() ? "" : (" (" + driver + ")").c_str());
  std::printf("Registros: %llu\n", static_cast<unsigned long long>(t->RecordCount()));
  std::printf("Longitud de registro: %u\n", t->RecordLength());
  std::printf("Campos: %zu\n", t->Fields().size());
  int n = 0;
  for (const auto& f : t->Fields())
    std::printf("%4d  %-31s %-2s %5u %3u\n", ++n, f.name.c_str(), TypeLetter(f.type).c_str(),
                static_cast<unsigned>(f.size), static_cast<unsigned>(f.decimals));
  if (int keys = t->KeyFieldCount(); keys > 0) {
    std::printf("Clave:");
    for (int k = 0; k < keys && k < static_cast<int>(t->Fields().size()); ++k)
      std::printf(" %s", t->Fields()[static_cast<size_t>(k)].name.c_str());
    std::printf("\n");
  }
  if (const auto* secondary = engine::paradox::SecondaryIndexesOf(*t)) {
    for (const auto& ix : secondary->Indexes()) {
      std::string line = "Índice secundario " + ix.name + ":";
      if (!ix.problem.empty()) {
        std::printf("%s no se puede usar (%s)\n", line.c_str(), ix.problem.c_str());
        continue;
      }
      for (int f : ix.fields) line += " " + t->Fields()[static_cast<size_t>(f)].name;
      line += ix.files.composite ? "; compuesto o con nombre" : "; de un campo, distingue mayúsculas";
      line += ix.maintained ? "; mantenido" : "; no mantenido";
      if (ix.descending) line += "; descendente";
      if (!engine::paradox::KnownOrder(ix))
        line += "; " + engine::paradox::MarkText(ix) + " en el byte 0x55 (¿único o sin distinguir mayúsculas?)";
      line += " (" + engine::BaseName(ix.files.x_path) +
              (ix.files.y_path.empty() ? ", falta el .Y" : ", " + engine::BaseName(ix.files.y_path)) + ")";
      std::printf("%s\n", line.c_str());
    }
  }
  if (engine::paradox::HasReferentialIntegrity(*t)) {
    try {
      const auto ri = engine::paradox::ReferentialIntegrityOf(*t);
      for (const auto& link : ri.links) {
        std::string fields;
        for (int f : link.fields) fields += (fields.empty() ? "" : ", ") + t->Fields()[static_cast<size_t>(f)].name;
        std::printf("Integridad referencial %s: %s -> %s (%s)\n", link.name.c_str(), fields.c_str(),
                    link.parent.c_str(), link.cascade ? "cambios en cascada" : "cambios prohibidos");
      }
      std::string referenced;
      for (int f : ri.referenced)
        referenced += (referenced.empty() ? "" : ", ") + t->Fields()[static_cast<size_t>(f)].name;
      for (const auto& d : ri.dependent_links)
        std::printf("Integridad referencial %s: %s (%s) depende de esta por %s\n", d.name.c_str(), d.table.c_str(),
                    d.field.c_str(), referenced.c_str());
      if (ri.dependents && !ri.dependents_read)
        std::printf("Integridad referencial: otras tablas dependen de esta\n");
    } catch (const engine::EngineError& e) {
      std::printf("Integridad referencial: no se puede leer (%s)\n", e.message().c_str());
    }
  }
  std::vector<bde::VCHKDesc> checks;
  try {
    checks = t->ValChecks();
  } catch (const engine::EngineError& e) {
    std::printf("Reglas de validación: no se pueden leer (%s)\n", e.message().c_str());
  }
  for (const bde::VCHKDesc& c : checks) {
    const uint16_t num = c.iFldNum;
    if (num < 1 || num > t->Fields().size()) continue;
    const engine::FieldSpec& f = t->Fields()[num - 1];
    std::string line = "Regla de " + f.name + ":";
    if (c.bRequired) line += " obligatorio;";
    if (c.bHasMinVal) line += " mínimo " + CheckValue(*t, f.type, c.bHasMinVal, c.aMinVal) + ";";
    if (c.bHasMaxVal) line += " máximo " + CheckValue(*t, f.type, c.bHasMaxVal, c.aMaxVal) + ";";
    if (c.bHasDefVal) line += " por defecto " + CheckValue(*t, f.type, c.bHasDefVal, c.aDefVal) + ";";
    if (c.szPict[0]) line += std::string(" plantilla \"") + c.szPict + "\";";
    if (c.szLkupTblName[0]) line += std::string(" consulta en ") + c.szLkupTblName + " (tipo " + std::to_string(c.elkupType) + ");";
    if (line.back() == ';') line.pop_back();
    std::printf("%s\n", line.c_str());
  }
  return 0;
}

}  // namespace tabla
