#include "app/core/Deshacer.h"

#include <algorithm>
#include <memory>

#include "app/core/Bloqueo.h"
#include "app/core/Contexto.h"
#include "app/core/Copia.h"
#include "app/core/Enlaces.h"
#include "engine/codepage.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"
#include "engine/swap.h"
#include "engine/table.h"

namespace actualiza {

namespace {

// A table of the manifest as the undo finds it.
struct Tarea {
  const TablaGuardada* t = nullptr;
  std::string dir, tabla_path, copia;  // its folder, its table file, its folder in the copy
  std::vector<FicheroGuardado> ahora;
  bool poner = false;                  // its old files go back (false: it is as before already)
};

std::string Fecha(const std::string& ejecucion) {
  return ejecucion.substr(6, 2) + "/" + ejecucion.substr(4, 2) + "/" + ejecucion.substr(0, 4) + " " +
         ejecucion.substr(9, 2) + ":" + ejecucion.substr(11, 2) + ":" + ejecucion.substr(13, 2);
}

std::string Nombre(const TablaGuardada& t) { return ConSeparadoresDelSistema(t.carpeta + "/" + t.tabla); }

// The first file that is not as `esperados` says, for a message; "" when all are.
std::string Diferente(const std::vector<FicheroGuardado>& ahora, const std::vector<FicheroGuardado>& esperados) {
  for (const auto& e : esperados)
    if (std::find(ahora.begin(), ahora.end(), e) == ahora.end()) return e.nombre;
  for (const auto& a : ahora)
    if (std::find(esperados.begin(), esperados.end(), a) == esperados.end()) return a.nombre;
  return "";
}

// Whether every file of `ahora` is one of `despues`, as it was left: what a table the run created
// is while an interrupted undo was removing its files.
bool EsParteDe(const std::vector<FicheroGuardado>& ahora, const std::vector<FicheroGuardado>& despues) {
  return std::all_of(ahora.begin(), ahora.end(),
                     [&](const FicheroGuardado& a) { return std::find(despues.begin(), despues.end(), a) != despues.end(); });
}

// Looks at one table of the manifest; adds to the plan what the undo does with it or what stops
// it. With `cambiar`, an interrupted swap of the table is finished first (as any open does). `suma`:
// the kind of checksum the manifest records.
void Examina(const std::string& raiz, const std::string& carpeta_copia, const TablaGuardada& t, TipoDeSuma suma,
             bool cambiar, PlanDeshacer& plan, std::vector<Tarea>& tareas) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  const std::string nombre = Nombre(t);
  Tarea x;
  x.t = &t;
  x.copia = engine::JoinPath(carpeta_copia, t.carpeta);
  auto dir = engine::ResolveExisting(engine::JoinPath(raiz, t.carpeta));
  if (!dir || !fs.IsDirectory(*dir)) {
    plan.problemas.push_back(nombre + ": falta su carpeta en la instalación.");
    return;
  }
  x.dir = *dir;
  for (const auto& p : Enlaces(raiz + "/").Problemas(x.dir, {t.tabla})) plan.problemas.push_back(nombre + ": " + p + ".");
  x.tabla_path = engine::ResolveForCreate(engine::JoinPath(x.dir, t.tabla)).value_or(engine::JoinPath(x.dir, t.tabla));
  if (engine::SwapPending(x.tabla_path)) {
    if (!cambiar) {
      plan.acciones.push_back(nombre + ": se termina antes la sustitución interrumpida de sus ficheros.");
      return;
    }
    engine::RecoverSwap(x.tabla_path);
  }
  try {
    x.ahora = FicherosDeTabla(x.dir, t.tabla, suma);
  } catch (const engine::EngineError& e) {
    // On Windows a table that another program holds cannot even be read.
    if (e.code() != engine::err::kTableInUse) throw;
    plan.problemas.push_back(nombre + ": está abierta en otro programa. Cierre Tribanor en todos los ordenadores que "
                             "usan esta instalación y vuelva a intentarlo.");
    return;
  }
  if (x.ahora == t.antes) {
    plan.acciones.push_back(nombre + ": ya está como antes de la actualización.");
    // What an interrupted undo of it left in the work folder goes (when nobody holds the table).
    if (cambiar && fs.IsDirectory(engine::SwapTempDir(x.tabla_path))) {
      auto tenida = fs.Exists(x.tabla_path) ? engine::OpenExclusively(fs, x.tabla_path, true) : nullptr;
      if (tenida || !fs.Exists(x.tabla_path)) engine::RemoveSwapLeftovers(x.tabla_path);
    }
    return;
  }
  if (!t.terminada) {
    plan.problemas.push_back(nombre + ": la actualización se interrumpió en esta tabla y no se sabe cómo la dejó; "
                             "no se puede deshacer sin revisarla.");
    return;
  }
  if (x.ahora != t.despues && !(t.antes.empty() && EsParteDe(x.ahora, t.despues))) {
    plan.problemas.push_back(nombre + ": ha cambiado después de la actualización (el fichero " +
                             Diferente(x.ahora, t.despues) + " no es el que ella dejó); no se puede volver atrás sin "
                             "perder esos cambios.");
    return;
  }
  for (const auto& f : t.antes) {
    const std::string copia = engine::JoinPath(x.copia, f.nombre);
    uint64_t bytes = 0;
    if (fs.IsSymlink(copia) || !fs.IsRegularFile(copia) || SumaDe(fs, copia, &bytes, suma) != f.suma || bytes != f.bytes)
      plan.problemas.push_back(nombre + ": la copia de " + f.nombre + " falta o está dañada (" +
                               ConSeparadoresDelSistema(copia) + ").");
  }
  if (fs.Exists(x.tabla_path) && !engine::OpenExclusively(fs, x.tabla_path, true))
    plan.problemas.push_back(nombre + ": está abierta en otro programa. Cierre Tribanor en todos los ordenadores que "
                             "usan esta instalación y vuelva a intentarlo.");
  x.poner = true;
  plan.acciones.push_back(nombre + (t.antes.empty() ? ": se borra (la creó la actualización)."
                                                    : ": vuelve a tener sus ficheros de antes de la actualización."));
  tareas.push_back(x);
}

// Puts one table back through the swap: its old files (copied from the copy into the work
// folder) replace the run's, and the files the run added go.
void Pon(const Tarea& x) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  std::unique_ptr<engine::File> tenida;
  if (fs.Exists(x.tabla_path) && !(tenida = engine::OpenExclusively(fs, x.tabla_path, true)))
    throw engine::EngineError(engine::err::kTableInUse,
                              "La tabla está abierta en otro programa. Cierre Tribanor en todos los ordenadores que "
                              "usan esta instalación y vuelva a ejecutar el deshacer para terminarlo.",
                              {engine::CtxTable(x.tabla_path)});
  engine::RemoveSwapLeftovers(x.tabla_path);
  if (x.t->antes.empty()) {
    // A table the run created goes. A journal that only removes files is one recovery never
    // trusts, so the files go one by one, the table's own last: an undo cut short leaves some of
    // them, each as the run left it, and the next undo removes the rest.
    const std::string propio = engine::BaseName(x.tabla_path);
    for (const auto& a : x.ahora)
      if (engine::FoldCase(a.nombre) != engine::FoldCase(propio)) fs.Remove(engine::JoinPath(x.dir, a.nombre));
    tenida.reset();
    fs.Remove(x.tabla_path);
    fs.SyncDirectory(x.dir);
    return;
  }
  const auto trabajo = engine::PrepareSwapWorkFolder(x.tabla_path);
  std::vector<engine::SwapEntry> cambios;
  for (const auto& f : x.t->antes) {
    const std::string destino = engine::JoinPath(x.dir, f.nombre);
    // A real copy, not a second name of the kept file: the swap (and its recovery after a crash)
    // moves into place only files of one name that it wrote itself.
    CopiaFichero(engine::JoinPath(x.copia, f.nombre), engine::SwapTempPath(destino));
    cambios.push_back({destino, engine::SwapTempPath(destino)});
  }
  for (const auto& a : x.ahora) {
    auto mismo = [&](const FicheroGuardado& f) { return f.nombre == a.nombre; };
    if (std::none_of(x.t->antes.begin(), x.t->antes.end(), mismo)) cambios.push_back({engine::JoinPath(x.dir, a.nombre), ""});
  }
  engine::CommitSwap(x.tabla_path, cambios);
}

// Removes the files of an undone copy; its manifest stays, saying it was undone.
void VaciaCopia(const std::string& carpeta_copia) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  for (const auto& e : fs.List(carpeta_copia))
    if (e.name != kManifiesto) BorraArbol(engine::JoinPath(carpeta_copia, e.name));
  fs.SyncDirectory(carpeta_copia);
}

PlanDeshacer Planea(const std::string& ruta, bool cambiar) {
  BloqueoInstalacion bloqueo(ruta, cambiar ? BloqueoInstalacion::Uso::kActualizar : BloqueoInstalacion::Uso::kComprobar);
  PlanDeshacer plan;
  const std::string raiz = RaizInstalacion(ruta);
  const std::vector<std::string> copias = raiz.empty() ? std::vector<std::string>{} : CopiasDe(raiz);
  if (copias.empty()) {
    plan.problemas.push_back("No hay ninguna copia de una actualización en " +
                             ConSeparadoresDelSistema(raiz.empty() ? ruta : raiz) + ": no hay nada que deshacer.");
    return plan;
  }
  plan.ejecucion = copias.back();
  plan.fecha = Fecha(plan.ejecucion);
  const std::string carpeta_copia = engine::JoinPath(engine::JoinPath(raiz, kCarpetaCopias), plan.ejecucion);
  if (engine::CurrentFileSystem()->IsSymlink(carpeta_copia)) {
    plan.problemas.push_back("La copia " + ConSeparadoresDelSistema(carpeta_copia) +
                             " es un enlace simbólico y no se usa; quítela.");
    return plan;
  }
  const Manifiesto m = LeeManifiesto(carpeta_copia);
  if (m.deshecha) {
    plan.ya_deshecha = true;
    if (cambiar) VaciaCopia(carpeta_copia);  // what an interrupted undo left
    return plan;
  }
  std::vector<Tarea> tareas;
  for (auto t = m.tablas.rbegin(); t != m.tablas.rend(); ++t) Examina(raiz, carpeta_copia, *t, m.suma, cambiar, plan, tareas);
  if (!cambiar || !plan.problemas.empty()) return plan;
  for (const auto& x : tareas) Pon(x);
  // Done: the copy says so before its files go, so that a second undo never takes an older run.
  auto f = engine::CurrentFileSystem()->Open(engine::JoinPath(carpeta_copia, kManifiesto), engine::OpenMode::kReadWrite);
  const std::string marca = "deshecha\n";
  f->WriteAt(f->Size(), marca.data(), marca.size());
  f->Sync();
  f.reset();
  VaciaCopia(carpeta_copia);
  return plan;
}

}  // namespace

PlanDeshacer PlaneaDeshacer(const std::string& ruta) { return Planea(ruta, false); }

PlanDeshacer Deshace(const std::string& ruta) {
  PlanDeshacer plan = Planea(ruta, true);
  if (plan.problemas.empty()) return plan;
  std::string texto = plan.ejecucion.empty() ? std::string("No se puede deshacer la actualización:")
                                             : "No se puede deshacer la actualización del " + plan.fecha + ":";
  for (const auto& p : plan.problemas) texto += "\n- " + p;
  throw engine::EDatabaseError(texto + "\nNo se ha modificado ningún fichero.");
}

}  // namespace actualiza
