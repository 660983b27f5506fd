#include "app/core/Verificacion.h"

#include <algorithm>

#include "app/core/Contexto.h"
#include "engine/database.h"
#include "engine/error.h"
#include "engine/spare_bytes.h"
#include "engine/storage.h"
#include "engine/table_check.h"

namespace actualiza {

namespace {

std::function<void(const std::string&)>& Gancho() {
  static std::function<void(const std::string&)> gancho;
  return gancho;
}

// How many of a table's problems the message lists.
constexpr size_t kProblemasMostrados = 10;

std::string Fichero(const std::string& carpeta, const std::string& tabla) {
  return engine::OpenDatabase(carpeta)->TablePath(tabla, engine::TableFormat::kDbase);
}

}  // namespace

void Verificacion::FijaGancho(std::function<void(const std::string&)> gancho) { Gancho() = std::move(gancho); }

std::string LineaDeshacer(const std::string& ruta) {
  std::string carpeta = ConSeparadoresDelSistema(ruta);
  if (carpeta.size() > 1 && (carpeta.back() == '/' || carpeta.back() == '\\')) carpeta.pop_back();
  return "La orden «actualiza-tribanor --deshacer \"" + carpeta +
         "\"» devuelve la instalación a como estaba antes de esta actualización.";
}

void Verificacion::Escrita(const std::string& carpeta, const std::string& tabla) {
  const std::pair<std::string, std::string> t{carpeta, tabla};
  if (std::find(tablas_.begin(), tablas_.end(), t) == tablas_.end()) tablas_.push_back(t);
  if (Gancho()) Gancho()(Fichero(carpeta, tabla));
}

void Verificacion::Comprueba(const std::string& ruta) const {
  // The tables are much alike: each reads its files into the buffers the one before left.
  engine::KeepSpares reutiliza;
  for (const auto& [carpeta, tabla] : tablas_) {
    std::vector<std::string> problemas;
    try {
      engine::OpenOptions solo_lectura;
      solo_lectura.read_only = true;
      auto t = engine::OpenStorage(Fichero(carpeta, tabla), engine::TableFormat::kDbase, solo_lectura);
      problemas = engine::CheckTable(*t, kProblemasMostrados).problems;
    } catch (const std::exception& e) {
      problemas.push_back(SeparaContexto(e.what()).texto);
    }
    if (problemas.empty()) continue;
    MensajeConContexto m;
    m.texto = "La tabla no ha superado la comprobación que sigue a la actualización:";
    // Appended piece by piece: GCC 12 at -O3 warns of an overlap in `"\n" + std::string&&`.
    for (size_t i = 0; i < problemas.size() && i < kProblemasMostrados; ++i) {
      m.texto += "\n- ";
      m.texto += problemas[i];
    }
    if (problemas.size() > kProblemasMostrados) {
      m.texto += "\n- y ";
      m.texto += std::to_string(problemas.size() - kProblemasMostrados);
      m.texto += " más";
    }
    m.texto += '\n';
    m.texto += LineaDeshacer(ruta);
    m.contexto = {engine::CtxTable(tabla), engine::CtxFolder(ConSeparadoresDelSistema(carpeta))};
    throw EErrorDeTabla(std::move(m));
  }
}

}  // namespace actualiza
