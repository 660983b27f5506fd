#include "app/core/Comprobar.h"

#include <memory>

#include "app/core/Bloqueo.h"
#include "app/core/Enlaces.h"
#include "app/core/Pasos.h"
#include "engine/bde.h"
#include "engine/database.h"
#include "engine/fs.h"
#include "engine/dbase/dbase.h"
#include "engine/swap.h"
#include "engine/table.h"

namespace actualiza {

using engine::TTable;
using engine::Value;

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

struct Campo {
  std::string nombre;
  uint16_t tipo;
  int longitud, decimales;
};

// The fields of a table, read through the engine; throws the table layer's errors.
std::vector<Campo> CamposDe(TTable& t) {
  engine::Check(bde::DbiSetProp(t.Handle(), bde::curXLTMODE, bde::xltNONE));
  bde::CURProps props;
  engine::Check(bde::DbiGetCursorProps(t.Handle(), props));
  std::vector<bde::FLDDesc> d(props.iFields);
  if (!d.empty()) engine::Check(bde::DbiGetFieldDescs(t.Handle(), d.data()));
  std::vector<Campo> out;
  for (const auto& f : d) out.push_back({f.szName, f.iFldType, f.iUnits1, f.iUnits2});
  return out;
}

const Campo* Busca(const std::vector<Campo>& campos, const std::string& nombre) {
  for (const auto& c : campos) {
    if (c.nombre.size() != nombre.size()) continue;
    bool igual = true;
    for (size_t i = 0; i < nombre.size() && igual; ++i) {
      char a = c.nombre[i], b = nombre[i];
      if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
      if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
      igual = a == b;
    }
    if (igual) return &c;
  }
  return nullptr;
}

// Records a table whose file holds rows past the ones its header counts: the upgrade refuses to
// rebuild it, since the rows past the count would be lost.
void RegistrosDeMas(const std::string& ruta, EstadoTabla& estado) {
  try {
    const std::string mas = engine::dbase::RecordsPastCountProblem(ruta);
    if (!mas.empty())
      estado.problemas.push_back(mas + "; la tabla está dañada y la actualización no la reconstruirá (se perderían "
                                       "esos registros): repárela o restaure una copia de seguridad");
  } catch (const std::exception&) {
    // A table that cannot be opened: the open that follows says why.
  }
}

// Opens a table to look at it; records why when it cannot, and whether another program holds it.
bool Abre(TTable& t, const std::string& carpeta, const std::string& tabla, EstadoTabla& estado) {
  t.SetDatabaseName(carpeta);
  t.SetTableName(tabla);
  t.SetReadOnly(true);  // the check changes nothing, and works on read-only media
  std::string ruta;
  try {
    ruta = engine::OpenDatabase(carpeta)->TablePath(tabla, engine::TableFormat::kDbase);
    if (engine::SwapPending(ruta)) {
      const std::string mal = engine::SwapJournalProblem(ruta);
      // Finishing it is a change: the upgrade does it when it opens the table.
      if (mal.empty())
        estado.cambios.push_back("una reestructuración interrumpida de la tabla se completará al actualizar");
      else
        estado.problemas.push_back("una reestructuración de la tabla quedó interrumpida y no se puede terminar (" + mal +
                                   "): la actualización se detendrá en esta tabla sin tocarla; conserve una copia de "
                                   "la carpeta y avise al servicio técnico");
      return false;
    }
  } catch (const std::exception&) {
    // The open below says what is wrong with the folder.
  }
  if (!ruta.empty()) RegistrosDeMas(ruta, estado);  // before the table is held below
  try {
    t.SetExclusive(true);
    t.Open();
    return true;
  } catch (const std::exception&) {
  }
  try {
    t.SetExclusive(false);
    t.Open();
    estado.problemas.push_back("la tabla está abierta en otro programa: ciérrelo antes de actualizar");
    return true;
  } catch (const std::exception& e) {
    std::string m = e.what();
    for (char& c : m)
      if (c == '\n') c = ' ';
    estado.problemas.push_back("no se puede abrir: " + m);
    return false;
  }
}

void ComprobarClientes(const std::string& carpeta, const std::string& relativa, Comprobacion& out) {
  EstadoTabla e{relativa + "/Clientes.Dbf", {}, {}};
  TTable t;
  if (Abre(t, carpeta, "Clientes.Dbf", e)) {
    auto campos = CamposDe(t);
    for (const char* c : {"SA", "SC"})
      if (!Busca(campos, c)) e.cambios.push_back(std::string("añadir ") + c + " N(12,2)");
  }
  out.tablas.push_back(e);
}

void ComprobarConfiguracion(const std::string& carpeta, Comprobacion& out) {
  EstadoTabla e{"General/Configu.Dbf", {}, {}};
  TTable t;
  if (Abre(t, carpeta, "Configu.Dbf", e)) {
    auto campos = CamposDe(t);
    const std::pair<const char*, int> colores[] = {{"Color1", kAnchoColor1}, {"Color2", 7}, {"Fondo1", 8}, {"Fondo2", 9}};
    for (const auto& [c, ancho] : colores)
      if (!Busca(campos, c)) e.cambios.push_back(std::string("añadir ") + c + " N(" + std::to_string(ancho) + ",0)");
    if (!e.cambios.empty()) e.cambios.push_back("escribir los colores por defecto donde falten");
  }
  out.tablas.push_back(e);
}

void ComprobarExistencias(const std::string& carpeta, const std::string& relativa, Comprobacion& out) {
  EstadoTabla e{relativa + "/Existencias.dbf", {}, {}};
  TTable t;
  t.SetDatabaseName(carpeta);
  t.SetTableName("Existencias.dbf");
  t.SetTableType(engine::TTableType::ttDBase);
  t.SetReadOnly(true);
  bool existe = false;
  try {
    existe = t.Exists();
  } catch (const std::exception& ex) {
    e.problemas.push_back(std::string("no se puede usar la carpeta: ") + ex.what());
    out.tablas.push_back(e);
    return;
  }
  if (!existe) {
    e.cambios.push_back("crear la tabla con Criterio N(1,0) y los diez importes");
    out.tablas.push_back(e);
    return;
  }
  try {
    // A file of no bytes holds no table and no data: the upgrade makes it again.
    const std::string ruta = engine::OpenDatabase(carpeta)->TablePath("Existencias.dbf", engine::TableFormat::kDbase);
    engine::FileSystem& fs = *engine::CurrentFileSystem();
    if (fs.IsRegularFile(ruta) && fs.Open(ruta, engine::OpenMode::kRead)->Size() == 0) {
      e.cambios.push_back("la tabla está vacía (0 bytes, sin datos): se volverá a crear con Criterio N(1,0) y los diez "
                          "importes");
      out.tablas.push_back(e);
      return;
    }
  } catch (const std::exception&) {
    // The open below says what is wrong.
  }
  if (Abre(t, carpeta, "Existencias.dbf", e)) {
    auto campos = CamposDe(t);
    const Campo* criterio = Busca(campos, "Criterio");
    if (!criterio) {
      e.problemas.push_back("falta el campo Criterio (la actualización se detendría con «Field index not in range»)");
    } else {
      if (criterio->tipo != bde::fldDBNUM || criterio->longitud != 1)
        e.cambios.push_back("cambiar Criterio a N(1," + std::to_string(criterio->decimales) + ")");
      if (criterio->decimales > 0)
        e.problemas.push_back("Criterio tiene decimales y no puede pasar a un número de una cifra");
      // Every value must fit one digit.
      auto malos = CriteriosQueNoCaben(t, 1);
      if (!malos.empty())
        e.problemas.push_back("valores de Criterio que no caben en un número de una cifra: " + ListaCriterios(malos) +
                              "; corrija esos valores en Tribanor y vuelva a ejecutar la actualización");
    }
    for (const char* c : {"Iniciales", "1T", "2T", "3T", "4T", "Finales", "Var1T", "Var2T", "Var3T", "Var4T"})
      if (!Busca(campos, c)) e.cambios.push_back(std::string("añadir ") + c + " N(12,2)");
  }
  out.tablas.push_back(e);
}

}  // namespace

Comprobacion ComprobarInstalacion(const std::string& fichero_programa) {
  Comprobacion out;
  const std::string ruta = Pasos::CarpetaDe(fichero_programa);
  std::unique_ptr<BloqueoInstalacion> bloqueo;
  try {
    bloqueo = std::make_unique<BloqueoInstalacion>(ruta, BloqueoInstalacion::Uso::kComprobar);
  } catch (const std::exception& e) {
    out.problemas.push_back(e.what());
    return out;
  }
  const Enlaces enlaces(ruta);
  for (const auto& [carpeta, tablas] : {std::pair{ruta + "General", kTablasGeneral}, std::pair{ruta + "Empresa", kTablasEjercicio}})
    for (const auto& p : enlaces.Problemas(carpeta, tablas)) out.problemas.push_back(p);
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
    out.problemas.push_back(std::string("no se pueden leer las listas de empresas y ejercicios: ") + e.what());
    return out;
  }
  // The run stops before changing anything when its walk would miss fiscal years.
  try {
    std::string incompleto = CompruebaEjercicios(empresas, ejercicios);
    if (!incompleto.empty()) out.problemas.push_back(incompleto);
  } catch (const std::exception& e) {
    out.problemas.push_back(std::string("no se puede leer la lista de ejercicios: ") + e.what());
  }
  ComprobarClientes(ruta + "Empresa", "Empresa", out);
  ComprobarConfiguracion(ruta + "General", out);
  for (empresas.First(); !empresas.Eof(); empresas.Next()) {
    const std::string nombre = empresas.FieldByName("NOMBRE")->AsString();
    for (ejercicios.First(); !ejercicios.Eof(); ejercicios.Next()) {
      const std::string ejercicio = ejercicios.FieldByName("EJERCICIO")->AsString();
      std::string motivo = Pasos::NombreNoValido(nombre);
      if (motivo.empty()) motivo = Pasos::NombreNoValido("Ejercicio" + ejercicio);
      const std::string relativa = "Empresas/" + nombre + "/Ejercicio" + ejercicio;
      if (!motivo.empty()) {
        out.problemas.push_back("la carpeta de «" + nombre + "» " + ejercicio + " no es válida: " + motivo);
        continue;
      }
      const std::string carpeta = Pasos::CarpetaEjercicio(ruta, nombre, ejercicio);
      auto fuera = enlaces.Problemas(carpeta, kTablasEjercicio);
      if (!fuera.empty()) {
        for (const auto& p : fuera) out.problemas.push_back(p);
        continue;
      }
      ComprobarExistencias(carpeta, relativa, out);
      ComprobarClientes(carpeta, relativa, out);
    }
  }
  ComprobarExistencias(ruta + "Empresa", "Empresa", out);
  return out;
}

}  // namespace actualiza
