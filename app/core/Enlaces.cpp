#include "app/core/Enlaces.h"

#include "engine/codepage.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"

namespace actualiza {

namespace {

// The part of a file name before its first dot, without a leading dot, in one letter case: the
// table a file belongs to (".Clientes.Dbf.diario", "Clientes.DBT" -> "CLIENTES").
std::string Tronco(std::string nombre) {
  if (!nombre.empty() && nombre[0] == '.') nombre.erase(0, 1);
  return engine::FoldCase(nombre.substr(0, nombre.find('.')));
}

}  // namespace

Enlaces::Enlaces(const std::string& ruta) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  std::string dir = ruta.empty() ? "." : engine::NormalizeSeparators(ruta);
  if (auto r = engine::ResolveExisting(dir)) dir = *r;
  try {
    raiz_ = fs.RealPath(dir);
    retenidas_.push_back(std::make_unique<engine::HeldFolder>(dir));
  } catch (const engine::EngineError&) {
    raiz_.clear();
  }
}

bool Enlaces::Dentro(const std::string& real) const {
  if (real == raiz_) return true;
  const std::string prefijo = raiz_ == "/" ? raiz_ : raiz_ + "/";
  return real.compare(0, prefijo.size(), prefijo) == 0;
}

std::vector<std::string> Enlaces::Problemas(const std::string& carpeta, const std::vector<std::string>& tablas) const {
  std::vector<std::string> out;
  if (raiz_.empty()) return out;
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  auto dir = engine::ResolveExisting(engine::NormalizeSeparators(carpeta));
  if (!dir || !fs.IsDirectory(*dir)) return out;
  std::string real;
  try {
    real = fs.RealPath(*dir);
  } catch (const engine::EngineError&) {
    return out;
  }
  if (!Dentro(real)) {
    out.push_back("la carpeta " + *dir + " lleva por un enlace simbólico fuera de la instalación (a " + real +
                  "); sustituya el enlace por la carpeta misma");
    return out;
  }
  try {
    retenidas_.push_back(std::make_unique<engine::HeldFolder>(*dir));
  } catch (const engine::EngineError&) {
    // Gone since it was looked at: the run reports it where it needs it.
  }
  std::vector<std::string> troncos;
  for (const auto& t : tablas) troncos.push_back(Tronco(t));
  for (const auto& e : fs.List(*dir)) {
    const std::string ruta = engine::JoinPath(*dir, e.name);
    bool nuestro = e.name == ".actualiza-nuevo";
    for (const auto& t : troncos) nuestro |= Tronco(e.name) == t;
    if (!nuestro || !fs.IsSymlink(ruta)) continue;
    try {
      std::string destino = fs.RealPath(ruta);
      if (!Dentro(destino))
        out.push_back(ruta + " es un enlace simbólico que lleva fuera de la instalación (a " + destino +
                      "); sustitúyalo por el fichero o la carpeta mismos");
    } catch (const engine::EngineError&) {
      out.push_back(ruta + " es un enlace simbólico que no lleva a ningún fichero; quítelo");
    }
  }
  return out;
}

}  // namespace actualiza
