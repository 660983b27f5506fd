#include "app/core/Verificacion.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

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

// What the check finds wrong in a table (nothing: it passed).
std::vector<std::string> Problemas(const std::string& fichero) {
  try {
    engine::OpenOptions solo_lectura;
    solo_lectura.read_only = true;
    auto t = engine::OpenStorage(fichero, engine::TableFormat::kDbase, solo_lectura);
    return engine::CheckTable(*t, kProblemasMostrados).problems;
  } catch (const std::exception& e) {
    return {SeparaContexto(e.what()).texto};
  } catch (...) {
    return {"Error desconocido al comprobar la tabla."};
  }
}

}  // namespace

struct Verificacion::Estado {
  struct Tabla {
    std::string carpeta, tabla, fichero;
    unsigned vez = 0;  // how many times it was noted: a verdict counts for the last one
    std::optional<std::vector<std::string>> problemas;
  };
  std::mutex mu;
  std::condition_variable cambio;
  std::vector<Tabla> tablas;                   // in the order first noted
  std::deque<std::pair<size_t, unsigned>> cola;  // table, time noted
  std::optional<size_t> en_curso;               // the table being checked
  bool parar = false;
  std::thread hilo;

  void Trabaja() {
    // The tables are much alike: each reads its files into the buffers the one before left.
    engine::KeepSpares reutiliza;
    std::unique_lock<std::mutex> l(mu);
    for (;;) {
      cambio.wait(l, [&] { return parar || !cola.empty(); });
      if (parar) return;
      const auto [i, vez] = cola.front();
      cola.pop_front();
      en_curso = i;
      const std::string fichero = tablas[i].fichero;
      l.unlock();
      std::vector<std::string> p = Problemas(fichero);
      l.lock();
      en_curso.reset();
      if (tablas[i].vez == vez) tablas[i].problemas = std::move(p);
      cambio.notify_all();
    }
  }
};

Verificacion::Verificacion() : e_(std::make_unique<Estado>()) {}

Verificacion::~Verificacion() { Detiene(); }

void Verificacion::FijaGancho(std::function<void(const std::string&)> gancho) { Gancho() = std::move(gancho); }

std::string LineaDeshacer(const std::string& ruta) {
  std::string carpeta = ConSeparadoresDelSistema(ruta);
  if (carpeta.size() > 1 && (carpeta.back() == '/' || carpeta.back() == '\\')) carpeta.pop_back();
  return "La orden «actualiza-tribanor --deshacer \"" + carpeta +
         "\"» devuelve la instalación a como estaba antes de esta actualización.";
}

void Verificacion::Escrita(const std::string& carpeta, const std::string& tabla) {
  const std::string fichero = Fichero(carpeta, tabla);
  size_t i = 0;
  unsigned vez = 0;
  {
    std::lock_guard<std::mutex> l(e_->mu);
    while (i < e_->tablas.size() && (e_->tablas[i].carpeta != carpeta || e_->tablas[i].tabla != tabla)) ++i;
    if (i == e_->tablas.size()) e_->tablas.push_back({carpeta, tabla, fichero});
    Estado::Tabla& t = e_->tablas[i];
    t.fichero = fichero;
    t.problemas.reset();
    vez = ++t.vez;
  }
  if (Gancho()) Gancho()(fichero);
  std::lock_guard<std::mutex> l(e_->mu);
  if (!e_->hilo.joinable()) {
    try {
      e_->hilo = std::thread([this] { e_->Trabaja(); });
    } catch (const std::system_error&) {
      return;  // no thread to be had: Comprueba checks it
    }
  }
  e_->cola.emplace_back(i, vez);
  e_->cambio.notify_all();
}

void Verificacion::Detiene() {
  {
    std::lock_guard<std::mutex> l(e_->mu);
    e_->parar = true;
    e_->cola.clear();
    e_->cambio.notify_all();
  }
  if (e_->hilo.joinable()) e_->hilo.join();
  std::lock_guard<std::mutex> l(e_->mu);
  e_->parar = false;
}

void Verificacion::Comprueba(const std::string& ruta) {
  engine::KeepSpares reutiliza;  // for the tables checked here
  for (size_t i = 0;; ++i) {
    std::unique_lock<std::mutex> l(e_->mu);
    if (i == e_->tablas.size()) break;
    // Its verdict, once the background check gives it; a table that no check is on or waits for
    // is checked here.
    auto en_espera = [&] {
      if (e_->en_curso == i) return true;
      for (const auto& [j, vez] : e_->cola)
        if (j == i) return true;
      return false;
    };
    e_->cambio.wait(l, [&] { return e_->tablas[i].problemas || !en_espera(); });
    if (!e_->tablas[i].problemas) {
      const std::string fichero = e_->tablas[i].fichero;
      l.unlock();
      std::vector<std::string> p = Problemas(fichero);
      l.lock();
      e_->tablas[i].problemas = std::move(p);
    }
    const std::vector<std::string> problemas = *e_->tablas[i].problemas;
    const std::string carpeta = e_->tablas[i].carpeta, tabla = e_->tablas[i].tabla;
    l.unlock();
    if (problemas.empty()) continue;
    MensajeConContexto m;
    m.texto = "La tabla no ha superado la comprobación que sigue a la actualización:";
    // Appended piece by piece: GCC 12 at -O3 warns of an overlap in `"\n" + std::string&&`.
    for (size_t k = 0; k < problemas.size() && k < kProblemasMostrados; ++k) {
      m.texto += "\n- ";
      m.texto += problemas[k];
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
