#include "app/core/Contexto.h"

#include <algorithm>
#include <exception>

#include "app/core/Avisos.h"
#include "engine/error.h"
#include "restructure/Restructure.h"

namespace actualiza {

namespace {

// The labels of the engine's context lines (engine/error.h); the first three name paths.
const char* const kEtiquetasDeRuta[] = {"Tabla: ", "Fichero: ", "Carpeta: "};
const char* const kOtrasEtiquetas[] = {"Campo: ", "Registro: ", "Índice: ", "Valor: "};

bool EmpiezaPor(const std::string& s, const char* prefijo) { return s.rfind(prefijo, 0) == 0; }

bool EsLineaDeContexto(const std::string& linea) {
  if (InicioDeRuta(linea) != std::string::npos) return true;
  return std::any_of(std::begin(kOtrasEtiquetas), std::end(kOtrasEtiquetas),
                     [&](const char* e) { return EmpiezaPor(linea, e); });
}

std::vector<std::string> Lineas(const std::string& texto) {
  std::vector<std::string> out;
  size_t inicio = 0;
  for (;;) {
    const size_t fin = texto.find('\n', inicio);
    out.push_back(texto.substr(inicio, fin == std::string::npos ? std::string::npos : fin - inicio));
    if (fin == std::string::npos) return out;
    inicio = fin + 1;
  }
}

}  // namespace

std::string MensajeConContexto::Completo() const {
  std::string s = texto;
  for (const std::string& l : contexto) s += '\n' + l;
  return s;
}

size_t InicioDeRuta(const std::string& linea) {
  for (const char* e : kEtiquetasDeRuta)
    if (EmpiezaPor(linea, e)) return std::char_traits<char>::length(e);
  return std::string::npos;
}

std::string ConSeparadoresDelSistema(const std::string& ruta) {
  std::string out = ruta;
#ifdef _WIN32
  std::replace(out.begin(), out.end(), '/', '\\');
#else
  std::replace(out.begin(), out.end(), '\\', '/');
#endif
  return out;
}

MensajeConContexto SeparaContexto(const std::string& mensaje) {
  std::vector<std::string> lineas = Lineas(mensaje);
  size_t primera = lineas.size();  // the first context line
  while (primera > 1 && EsLineaDeContexto(lineas[primera - 1])) --primera;
  MensajeConContexto m;
  for (size_t i = 0; i < primera; ++i) m.texto += (i ? "\n" : "") + lineas[i];
  for (size_t i = primera; i < lineas.size(); ++i) {
    std::string l = lineas[i];
    const size_t ruta = InicioDeRuta(l);
    if (ruta != std::string::npos) l = l.substr(0, ruta) + ConSeparadoresDelSistema(l.substr(ruta));
    m.contexto.push_back(l);
  }
  return m;
}

EErrorDeTabla::EErrorDeTabla(MensajeConContexto m) : engine::EDatabaseError(m.Completo()), m_(std::move(m)) {}

namespace {

[[noreturn]] void LanzaEnTabla(MensajeConContexto m, const std::string& carpeta, const std::string& tabla) {
  if (m.texto == restructure::texts::kTableNotOpenedExclusive) m.texto += std::string("\n") + kCierreTribanor;
  const std::string propias[] = {engine::CtxTable(tabla), engine::CtxFolder(ConSeparadoresDelSistema(carpeta))};
  for (const std::string& l : propias) m.contexto.erase(std::remove(m.contexto.begin(), m.contexto.end(), l), m.contexto.end());
  m.contexto.insert(m.contexto.end(), std::begin(propias), std::end(propias));
  throw EErrorDeTabla(std::move(m));
}

}  // namespace

void RelanzaEnTabla(const std::string& carpeta, const std::string& tabla) {
  MensajeConContexto m;
  try {
    throw;
  } catch (const EErrorDeTabla&) {
    throw;
  } catch (const std::exception& e) {
    m = SeparaContexto(e.what());
  }
  LanzaEnTabla(std::move(m), carpeta, tabla);
}

void ErrorEnTabla(const std::string& texto, const std::string& carpeta, const std::string& tabla) {
  LanzaEnTabla(SeparaContexto(texto), carpeta, tabla);
}

void AbreNombrandoTabla(engine::TTable& t) {
  try {
    t.Open();
  } catch (...) {
    RelanzaEnTabla(t.DatabaseName(), t.TableName());
  }
}

}  // namespace actualiza
