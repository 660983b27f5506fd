// tabla restructure FILE [--add NAME:TYPE:LEN[:DEC]]... [--modify NAME:NEWNAME:TYPE:LEN[:DEC]]...
//                        [--drop NAME]... [--pack]
// One restructure of the table through the engine call, as any program would make it.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "engine/bde.h"
#include "engine/fs.h"
#include "engine/path.h"
#include "engine/table.h"
#include "tools/tabla/commands.h"

namespace {

using namespace engine;

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == ':') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  out.push_back(cur);
  return out;
}

// Type letter to physical type, for the table's kind.
uint16_t TypeOf(const std::string& letter, bool paradox) {
  if (letter.size() != 1) return 0;
  char c = letter[0];
  if (!paradox) {
    switch (c) {
      case 'C': case 'c': return bde::fldDBCHAR;
      case 'N': case 'n': return bde::fldDBNUM;
      case 'F': case 'f': return bde::fldDBFLOAT;
      case 'D': case 'd': return bde::fldDBDATE;
      case 'L': case 'l': return bde::fldDBBOOL;
      case 'M': case 'm': return bde::fldDBMEMO;
      case 'B': case 'b': return bde::fldDBBINARY;
      case 'G': case 'g': return bde::fldDBOLEBLOB;
      case 'I': case 'i': return bde::fldDBLONG;
      case '+': return bde::fldDBAUTOINC;
      case 'O': case 'o': return bde::fldDBDOUBLE;
      case '@': return bde::fldDBDATETIME;
      default: return 0;
    }
  }
  switch (c) {
    case 'A': return bde::fldPDXCHAR;
    case 'D': return bde::fldPDXDATE;
    case 'S': return bde::fldPDXSHORT;
    case 'I': return bde::fldPDXLONG;
    case '$': return bde::fldPDXMONEY;
    case 'N': return bde::fldPDXNUM;
    case 'L': return bde::fldPDXBOOL;
    case 'M': return bde::fldPDXMEMO;
    case 'F': return bde::fldPDXFMTMEMO;
    case 'O': return bde::fldPDXOLEBLOB;
    case 'G': return bde::fldPDXGRAPHIC;
    case 'B': return bde::fldPDXBINARYBLOB;
    case 'T': return bde::fldPDXTIME;
    case '@': return bde::fldPDXDATETIME;
    case '+': return bde::fldPDXAUTOINC;
    case '#': return bde::fldPDXBCD;
    case 'Y': return bde::fldPDXBYTES;
    default: return 0;
  }
}

bool FillRecord(bde::FLDDesc* d, const std::string& name, const std::string& type, const std::string& len,
                const std::string& dec, bool paradox) {
  if (name.empty() || name.size() > bde::DBIMAXNAMELEN) return false;
  std::memset(d->szName, 0, sizeof d->szName);
  std::memcpy(d->szName, name.data(), name.size());
  d->iFldType = TypeOf(type, paradox);
  if (!d->iFldType) return false;
  int l = len.empty() ? 0 : std::atoi(len.c_str());
  int p = dec.empty() ? 0 : std::atoi(dec.c_str());
  if (d->iFldType == bde::fldPDXBCD) {
    d->iUnits1 = 32;
    d->iUnits2 = static_cast<int16_t>(l);
  } else {
    d->iUnits1 = static_cast<int16_t>(l);
    d->iUnits2 = static_cast<int16_t>(p);
  }
  d->iSubType = 0;
  return true;
}

int Usage() {
  std::cerr << "uso: tabla restructure FICHERO [--add NOMBRE:TIPO:LONG[:DEC]]... "
               "[--modify NOMBRE:NUEVO:TIPO:LONG[:DEC]]... [--drop NOMBRE]... [--pack]\n";
  return 2;
}

}  // namespace

int tabla::RunRestructure(const std::vector<std::string>& args) {
  const int argc = static_cast<int>(args.size());
  if (argc < 1) return Usage();
  std::string file = args[0];
  struct Change {
    std::string kind;
    std::vector<std::string> parts;
  };
  std::vector<Change> changes;
  bool pack = false;
  for (int i = 1; i < argc; ++i) {
    const std::string& a = args[static_cast<size_t>(i)];
    if (a == "--pack") {
      pack = true;
    } else if ((a == "--add" || a == "--modify" || a == "--drop") && i + 1 < argc) {
      changes.push_back({a, Split(args[static_cast<size_t>(++i)])});
    } else {
      return Usage();
    }
  }
  try {
    // A restructure that a crash interrupted is finished before the table is read.
    tabla::PrepareForChange(file);
    // Secondary indexes of a Paradox table, to say which ones a dropped field takes with it.
    auto index_names = [&file] {
      std::vector<std::pair<std::string, std::string>> out;
      for (const auto& tag : tabla::OpenForReading(file)->Tags())
        if (tag.problem.empty()) out.push_back({tag.name, tag.expression});
      return out;
    };
    const bool secondary = UpperExtension(file) != "DBF";
    const auto indexes_before = secondary ? index_names() : std::vector<std::pair<std::string, std::string>>{};
    std::string dir = DirName(NormalizeSeparators(file));
    TTable t;
    t.SetName("tabla");
    t.SetDatabaseName(dir.empty() ? "./" : dir + "/");
    t.SetTableName(BaseName(NormalizeSeparators(file)));
    t.SetExclusive(true);
    t.Open();
    Check(bde::DbiSetProp(t.Handle(), bde::curXLTMODE, bde::xltNONE));
    bde::CURProps props;
    Check(bde::DbiGetCursorProps(t.Handle(), props));
    const bool paradox = std::string(props.szTableType) == "PARADOX";
    std::vector<bde::FLDDesc> fields(props.iFields);
    if (!fields.empty()) Check(bde::DbiGetFieldDescs(t.Handle(), fields.data()));
    std::vector<bde::CROpType> ops(fields.size(), bde::crNOOP);
    auto find = [&](const std::string& n) -> int {
      for (size_t i = 0; i < fields.size(); ++i)
        if (SameNameIgnoringCase(fields[i].szName, n)) return static_cast<int>(i);
      return -1;
    };
    for (const auto& c : changes) {
      const auto& p = c.parts;
      if (c.kind == "--add") {
        if (p.size() < 2 || p.size() > 4) return Usage();
        bde::FLDDesc d{};
        if (!FillRecord(&d, p[0], p[1], p.size() > 2 ? p[2] : "", p.size() > 3 ? p[3] : "", paradox)) return Usage();
        fields.push_back(d);
        ops.push_back(bde::crADD);
        std::cout << "añadir " << p[0] << "\n";
      } else if (c.kind == "--modify") {
        if (p.size() < 3 || p.size() > 5) return Usage();
        int i = find(p[0]);
        if (i < 0) {
          std::cerr << "tabla: el campo " << p[0] << " no existe\n";
          return 1;
        }
        uint16_t num = fields[static_cast<size_t>(i)].iFldNum;
        if (!FillRecord(&fields[static_cast<size_t>(i)], p[1], p[2], p.size() > 3 ? p[3] : "",
                        p.size() > 4 ? p[4] : "", paradox))
          return Usage();
        fields[static_cast<size_t>(i)].iFldNum = num;
        if (ops[static_cast<size_t>(i)] != bde::crADD) ops[static_cast<size_t>(i)] = bde::crMODIFY;
        std::cout << "cambiar " << p[0] << " -> " << p[1] << "\n";
      } else {
        if (p.size() != 1) return Usage();
        int i = find(p[0]);
        if (i < 0) {
          std::cerr << "tabla: el campo " << p[0] << " no existe\n";
          return 1;
        }
        fields.erase(fields.begin() + i);
        ops.erase(ops.begin() + i);
        std::cout << "quitar " << p[0] << "\n";
      }
    }
    bde::hDBIObj db = nullptr;
    Check(bde::DbiGetObjFromObj(t.Handle(), bde::objDATABASE, &db));
    bde::CRTblDesc desc{};
    std::string name = t.TableName();
    std::strncpy(desc.szTblName, name.c_str(), bde::DBIMAXTBLNAMELEN);
    desc.bPack = pack ? 0xFFFF : 0;
    desc.iFldCount = static_cast<uint16_t>(fields.size());
    desc.pecrFldOp = ops.data();
    desc.pfldDesc = fields.data();
    t.Close();
    Check(bde::DbiDoRestructure(static_cast<bde::hDBIDb>(db), 1, &desc, nullptr, nullptr, nullptr, false));
    std::cout << "tabla reestructurada: " << file << (pack ? " (compactada)" : "") << "\n";
    if (!indexes_before.empty()) {
      const auto after = index_names();
      for (const auto& [name, fields] : indexes_before) {
        bool kept = false;
        for (const auto& a : after) kept |= a.first == name;
        std::cout << (kept ? "índice secundario conservado: " : "índice secundario quitado (usaba un campo quitado): ")
                  << name << " (" << fields << ")\n";
      }
    }
    return 0;
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
}
