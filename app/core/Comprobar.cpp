#include "app/core/Comprobar.h"

#include <memory>

#include "app/core/Bloqueo.h"
#include "app/core/ComprobarTabla.h"
#include "app/core/Contexto.h"
#include "app/core/Enlaces.h"
#include "app/core/Pasos.h"
#include "engine/database.h"
#include "engine/fs.h"
#include "engine/dbase/dbase.h"
#include "engine/swap.h"
#include "engine/error.h"
#include "engine/table.h"

namespace actualiza {

using engine::TTable;

bool Comprobacion::AlDia() const {
  if (!problemas.empty()) return false;
  for (const auto& t : tablas)
    if (!t.cambios.empty() || !t.problemas.empty()) return false;
  return true;
}

bool Comprobacion::HayProblemas() const {
  if (!problemas.empty()) return true;
  for (const auto& t : tablas)
    if (!t.problemas.empty()) return true;
  return false;
}

namespace {

void AnadeEnlaces(const std::vector<std::string>& fuera, Comprobacion& out) {
  for (const auto& p : fuera)
    out.problemas.push_back("La actualización no sigue enlaces simbólicos fuera de la instalación: " + p +
                            ". Corríjalo y vuelva a actualizar.");
}

// Whether the names of a company and of its fiscal years can be folders; adds the problems.
// Returns false when the company's own name cannot.
bool CompruebaNombres(const std::string& nombre, const std::vector<std::string>& ejercicios, Comprobacion& out) {
  if (ejercicios.empty()) return true;  // a company without fiscal years is not visited
  std::string motivo = Pasos::NombreNoValido(nombre);
  if (!motivo.empty()) {
    out.problemas.push_back("El nombre de la empresa «" + nombre + "» " + motivo +
                            " y no puede usarse como nombre de carpeta. Corríjalo en Tribanor y vuelva a actualizar.");
    return false;
  }
  for (const auto& ejercicio : ejercicios) {
    motivo = Pasos::NombreNoValido("Ejercicio" + ejercicio);
    if (!motivo.empty())
      out.problemas.push_back("El ejercicio «" + ejercicio + "» de la empresa «" + nombre + "» " + motivo +
                              " y no puede formar parte de la ruta de su carpeta. Corríjalo en Tribanor y vuelva a "
                              "actualizar.");
  }
  return true;
}

// A fiscal-year folder: its tables, or why it cannot be upgraded.
void CompruebaEjercicio(const std::string& ruta, const Enlaces& enlaces, const std::string& nombre,
                        const std::string& ejercicio, Comprobacion& out) {
  if (!Pasos::NombreNoValido("Ejercicio" + ejercicio).empty()) return;  // already a problem
  const std::string carpeta = Pasos::CarpetaEjercicio(ruta, nombre, ejercicio);
  const std::string relativa = "Empresas/" + nombre + "/Ejercicio" + ejercicio;
  auto fuera = enlaces.Problemas(carpeta, kTablasEjercicio);
  if (!fuera.empty()) return AnadeEnlaces(fuera, out);
  try {
    engine::OpenDatabase(carpeta);
  } catch (const std::exception&) {
    // The first step there would stop at its stock table: the folder is named once, there.
    EstadoTabla e{relativa + "/Existencias.dbf", carpeta, "Existencias.dbf", {}, {}};
    e.problemas.push_back(
        ejercicio.empty()
            ? "La empresa «" + nombre + "» tiene un ejercicio en blanco en General\\EJERCICI.DBF, y su carpeta "
                  "(Ejercicio, sin año) no existe. Corrija el ejercicio en Tribanor y vuelva a actualizar."
            : "No existe la carpeta del ejercicio " + ejercicio + " de la empresa «" + nombre +
                  "». Restáurela o corrija la lista de ejercicios en Tribanor y vuelva a actualizar.");
    out.tablas.push_back(e);
    return;
  }
  out.tablas.push_back(ComprobarExistencias(carpeta, relativa));
  out.tablas.push_back(ComprobarClientes(carpeta, relativa));
}

// "12 KB", "3 MB": sizes for the user, rounded up.
std::string Tamano(uint64_t bytes) {
  constexpr uint64_t kKB = 1024, kMB = 1024 * 1024;
  if (bytes < kMB) return std::to_string((bytes + kKB - 1) / kKB) + " KB";
  return std::to_string((bytes + kMB - 1) / kMB) + " MB";
}

// The largest rebuild, and whatever else the run keeps on the installation's disk, must fit in
// its free space. Rebuilds run one after another and each frees what it replaces, so the largest
// one is what must fit at a time.
void CompruebaEspacio(const std::string& ruta, Comprobacion& out) {
  EstadoTabla* mayor = nullptr;
  for (auto& t : out.tablas)
    if (t.escribe && (!mayor || t.bytes_nuevos > mayor->bytes_nuevos)) mayor = &t;
  const uint64_t necesario = (mayor ? mayor->bytes_nuevos : 0) + out.espacio_adicional;
  if (necesario == 0) return;
  std::string carpeta = ruta.empty() ? "." : ruta;
  try {
    carpeta = engine::OpenDatabase(carpeta)->Directory();
  } catch (const std::exception&) {
    return;  // no installation folder: already a problem
  }
  const auto libre = engine::CurrentFileSystem()->FreeSpace(carpeta);
  if (!libre || *libre >= necesario) return;
  std::string texto = "No hay espacio libre suficiente en el disco de la instalación: quedan " + Tamano(*libre) +
                      " y la actualización necesita unos " + Tamano(necesario);
  if (mayor) texto += " (" + Tamano(mayor->bytes_nuevos) + " para reconstruir esta tabla, la mayor";
  if (mayor && out.espacio_adicional) texto += ", y " + Tamano(out.espacio_adicional) + " para las demás tablas nuevas y la copia de las que sustituye";
  if (mayor) texto += ")";
  texto += ". Libere espacio en ese disco y vuelva a ejecutar la actualización.";
  if (mayor) mayor->problemas.push_back(texto);
  else out.problemas.push_back(texto);
}

// A problem as the run's message shows it: a table's with its table and folder below it.
MensajeConContexto Problema(const std::string& texto, const EstadoTabla* t) {
  MensajeConContexto m = SeparaContexto(texto);
  if (t) {
    m.contexto.push_back(engine::CtxTable(t->fichero));
    m.contexto.push_back(engine::CtxFolder(ConSeparadoresDelSistema(t->carpeta)));
  }
  return m;
}

}  // namespace

Comprobacion Comprueba(const std::string& ruta) {
  Comprobacion out;
  out.enlaces = std::make_shared<const Enlaces>(ruta);
  const Enlaces& enlaces = *out.enlaces;
  AnadeEnlaces(enlaces.Problemas(ruta + "General", kTablasGeneral), out);
  AnadeEnlaces(enlaces.Problemas(ruta + "Empresa", kTablasEjercicio), out);
  if (!out.problemas.empty()) return out;  // nothing is read through a link out of the installation
  TTable empresas, ejercicios;
  engine::TDataSource ds;
  PreparaTablasListas(empresas, ejercicios, ds);
  empresas.SetReadOnly(true);
  ejercicios.SetReadOnly(true);
  try {
    empresas.SetDatabaseName(ruta + "General");
    ejercicios.SetDatabaseName(ruta + "General");
    empresas.Open();
    ejercicios.Open();
  } catch (const std::exception& e) {
    out.problemas.push_back("No se pueden leer las listas de empresas y ejercicios: " + std::string(e.what()));
    return out;
  }
  // The run stops before changing anything when its walk would miss fiscal years.
  try {
    std::string incompleto = CompruebaEjercicios(empresas, ejercicios);
    if (!incompleto.empty())
      out.problemas.push_back(incompleto + "\n" + engine::CtxTable(ejercicios.TableName()) + "\n" +
                              engine::CtxFolder(ConSeparadoresDelSistema(ruta + "General")));
  } catch (const std::exception& e) {
    out.problemas.push_back("No se puede leer la lista de ejercicios: " + std::string(e.what()));
  }
  out.tablas.push_back(ComprobarClientes(ruta + "Empresa", "Empresa"));
  out.tablas.push_back(ComprobarConfiguracion(ruta + "General"));
  for (empresas.First(); !empresas.Eof(); empresas.Next()) {
    const std::string nombre = empresas.FieldByName("NOMBRE")->AsString();
    std::vector<std::string> suyos;
    for (ejercicios.First(); !ejercicios.Eof(); ejercicios.Next())
      suyos.push_back(ejercicios.FieldByName("EJERCICIO")->AsString());
    if (!CompruebaNombres(nombre, suyos, out)) continue;
    for (const auto& ejercicio : suyos) CompruebaEjercicio(ruta, enlaces, nombre, ejercicio, out);
  }
  out.tablas.push_back(ComprobarExistencias(ruta + "Empresa", "Empresa"));
  // What other parts of the run check, list and need on the disk goes here, before the space.
  // The run keeps the old files of every table it replaces (Copia.h): the new files of every
  // table then stay on the disk beside the old ones, not only the largest's; and where the disk
  // has no hard links the old files are copied, the largest table's at most at one time.
  for (const auto& t : out.tablas)
    if (t.escribe) out.espacio_adicional += t.bytes_nuevos;
  CompruebaEspacio(ruta, out);
  return out;
}

Comprobacion ComprobarInstalacion(const std::string& fichero_programa) {
  const std::string ruta = Pasos::CarpetaDe(fichero_programa);
  std::unique_ptr<BloqueoInstalacion> bloqueo;
  try {
    bloqueo = std::make_unique<BloqueoInstalacion>(ruta, BloqueoInstalacion::Uso::kComprobar);
  } catch (const std::exception& e) {
    Comprobacion out;
    out.problemas.push_back(e.what());
    return out;
  }
  return Comprueba(ruta);
}

std::string MensajeDeParada(const Comprobacion& c) {
  std::vector<MensajeConContexto> todos;
  for (const auto& p : c.problemas) todos.push_back(Problema(p, nullptr));
  for (const auto& t : c.tablas)
    for (const auto& p : t.problemas) todos.push_back(Problema(p, &t));
  if (todos.size() == 1) {
    MensajeConContexto m = todos[0];
    if (!m.texto.empty() && m.texto.back() == '.') m.texto.back() = ';', m.texto += " no se ha modificado ningún fichero.";
    else m.texto += "\nNo se ha modificado ningún fichero.";
    return m.Completo();
  }
  std::string s = "La actualización no ha empezado: hay " + std::to_string(todos.size()) +
                  " problemas que resolver antes, y no se ha modificado ningún fichero. Resuélvalos y vuelva a "
                  "ejecutarla.";
  for (const auto& m : todos) s += "\n\n" + m.Completo();
  return s;
}

}  // namespace actualiza
