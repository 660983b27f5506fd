#include <algorithm>

#include "engine/bde.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"
#include "engine/restructure.h"
#include "engine/swap.h"
#include "tools/tabla/commands.h"

namespace tabla {

namespace {

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool HasCompanion(const std::string& path, const std::string& ext) { return engine::FindCompanion(path, ext).has_value(); }

}  // namespace

std::unique_ptr<engine::TableStorage> OpenForReading(const std::string& path) {
  std::string base = engine::BaseName(path);
  auto dot = base.find_last_of('.');
  std::string ext = dot == std::string::npos ? "" : Upper(base.substr(dot + 1));
  engine::OpenOptions opts;
  opts.read_only = true;
  if (ext == "DBF") {
    bool fox = HasCompanion(path, "FPT") || HasCompanion(path, "CDX");
    return engine::OpenStorage(path, fox ? engine::TableFormat::kFoxPro : engine::TableFormat::kDbase, opts);
  }
  if (ext == "DB") return engine::OpenStorage(path, engine::TableFormat::kParadox, opts);
  throw engine::EngineError(engine::err::kNotSupported,
                            "No se reconoce el tipo de tabla: la extensión debe ser .DBF o .DB.",
                            {engine::CtxTable(path)});
}

void PrepareForChange(const std::string& path) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  const std::string dir = engine::DirName(path).empty() ? "." : engine::DirName(path);
  std::string stem = Upper(engine::BaseName(path));
  stem.resize(std::min(stem.find_last_of('.'), stem.size()));
  // A name of the table's family, bare (in the work folder) or hidden (".T.DBF.diario.nuevo").
  auto family = [&](std::string name) {
    if (!name.empty() && name[0] == '.') name.erase(0, 1);
    return Upper(name).rfind(stem + ".", 0) == 0;
  };
  std::vector<std::string> links;
  for (const auto& e : fs.List(dir))
    if (e.name.size() > 1 && e.name[0] == '.' && (e.name == ".actualiza-nuevo" || family(e.name)) &&
        fs.IsSymlink(engine::JoinPath(dir, e.name)))
      links.push_back(engine::JoinPath(dir, e.name));
  const std::string work = engine::SwapTempDir(path);
  if (!fs.IsSymlink(work) && fs.IsDirectory(work))
    for (const auto& e : fs.List(work))
      if (family(e.name) && fs.IsSymlink(engine::JoinPath(work, e.name))) links.push_back(engine::JoinPath(work, e.name));
  if (!links.empty())
    throw engine::EngineError(engine::err::kInvalidParam,
                              "No se cambia la tabla: hay un enlace simbólico con el nombre de uno de los ficheros "
                              "de trabajo de este programa, y lo que se escribiera allí podría ir a parar a otro "
                              "sitio. Quítelo (ese nombre solo lo usa este programa) y vuelva a intentarlo.",
                              {engine::CtxTable(path), engine::CtxFile(links.front())});
  engine::RecoverTable(path);
}

std::string TypeLetter(uint16_t type) {
  switch (type) {
    case bde::fldDBCHAR: return "C";
    case bde::fldDBNUM: return "N";
    case bde::fldDBFLOAT: return "F";
    case bde::fldDBDATE: return "D";
    case bde::fldDBBOOL: return "L";
    case bde::fldDBMEMO: return "M";
    case bde::fldDBBINARY: return "B";
    case bde::fldDBOLEBLOB: return "G";
    case bde::fldDBLONG: return "I";
    case bde::fldDBAUTOINC: return "+";
    case bde::fldDBDOUBLE: return "O";
    case bde::fldDBDATETIME: return "@";
    case bde::fldPDXCHAR: return "A";
    case bde::fldPDXNUM: return "N";
    case bde::fldPDXMONEY: return "$";
    case bde::fldPDXDATE: return "D";
    case bde::fldPDXSHORT: return "S";
    case bde::fldPDXMEMO: return "M";
    case bde::fldPDXBINARYBLOB: return "B";
    case bde::fldPDXFMTMEMO: return "F";
    case bde::fldPDXOLEBLOB: return "O";
    case bde::fldPDXGRAPHIC: return "G";
    case bde::fldPDXLONG: return "I";
    case bde::fldPDXTIME: return "T";
    case bde::fldPDXDATETIME: return "@";
    case bde::fldPDXBOOL: return "L";
    case bde::fldPDXAUTOINC: return "+";
    case bde::fldPDXBYTES: return "Y";
    case bde::fldPDXBCD: return "#";
    default: return "?";
  }
}

}  // namespace tabla
