#include "app/core/Pasos.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <vector>

#include "app/core/Bloqueo.h"
#include "app/core/Comprobar.h"
#include "app/core/ComprobarTabla.h"
#include "app/core/Contexto.h"
#include "app/core/Copia.h"
#include "app/core/Enlaces.h"
#include "engine/database.h"
#include "engine/fs.h"
#include "engine/listing_cache.h"
#include "engine/path.h"
#include "engine/swap.h"

namespace actualiza {

using engine::TTable;
using namespace restructure;

namespace {

// A data folder put in place of the one the run validated (a link to a copy elsewhere, say) stops
// the step, with the reason: every file operation refuses it, but the component reports a table
// it cannot open without saying why.
void CompruebaCarpeta(const std::string& carpeta) {
  if (auto dir = engine::ResolveExisting(engine::NormalizeSeparators(carpeta))) engine::CheckHeldFolders(*dir);
}

// How a step changes its table: only through swaps (a rebuild), so that the copy's record of the
// old files may be completed beside it, before its first swap; or also in place.
enum class Cambia { kPorIntercambio, kEnSuSitio };

// Closes the work table when a step on `tabla` of `carpeta` fails, so that the next run does not
// find it open, and lets the error go on to the caller naming that table and folder. With a
// `copia` (the whole run), the table's files are kept before the step and what the step left is
// recorded after it, failed or not. A table that another program took after the check before
// the run gets the line that says what to do.
template <class F>
void CierraSiFalla(TTable& fichero, CopiaDeSeguridad* copia, const std::string& carpeta, const std::string& tabla,
                   Cambia cambia, F&& paso) {
  try {
    if (copia && cambia == Cambia::kPorIntercambio) {
      copia->EmpiezaAntes(carpeta, tabla);
      engine::BeforeSwap antes([&] {
        copia->TerminaAntes();
        copia->EmpiezaDespues(carpeta, tabla);
      });
      paso();
      copia->TerminaAntes();
    } else {
      if (copia) copia->Antes(carpeta, tabla);
      paso();
    }
    if (copia) copia->Despues(carpeta, tabla);
  } catch (...) {
    try {
      if (copia) copia->TerminaAntes();  // a step that failed before its first swap changed nothing
    } catch (...) {
      // The step's own error is the one the user must see.
    }
    try {
      fichero.Cancel();
      fichero.Close();
    } catch (...) {
      // The step's own error is the one the user must see.
    }
    try {
      if (copia) copia->Despues(carpeta, tabla);
    } catch (...) {
      // Unrecorded, the table is one that an undo refuses to guess about.
    }
    try {
      CompruebaCarpeta(carpeta);  // a folder replaced meanwhile is the reason to tell
    } catch (...) {
      RelanzaEnTabla(carpeta, tabla);
    }
    try {
      throw;
    } catch (const engine::EDatabaseError& e) {
      const std::string texto = e.what();
      if ((texto == texts::kTableNotOpenedExclusive || texto == texts::kTableNotOpened) &&
          OtroLaRetiene(carpeta, tabla)) {
        try {
          engine::DatabaseError(texto + "\n" + kCierreTribanor);
        } catch (...) {
          RelanzaEnTabla(carpeta, tabla);
        }
      }
    } catch (...) {
    }
    RelanzaEnTabla(carpeta, tabla);
  }
}

// A folder as the platform writes it, for messages: "\\" on Windows, "/" elsewhere.
std::string ConSeparadores(const std::string& carpeta) {
  std::string out = engine::NormalizeSeparators(carpeta);
#ifdef _WIN32
  for (char& c : out)
    if (c == '/') c = '\\';
#endif
  return out;
}

// Whether the table the work table is pointed at is a file of no bytes.
bool TablaVacia(TTable& t) {
  engine::Database* db = engine::OpenDatabase(t.DatabaseName());
  const std::string path = db->TablePath(t.TableName(), engine::TableFormat::kDbase);
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  return fs.IsRegularFile(path) && fs.Open(path, engine::OpenMode::kRead)->Size() == 0;
}

}  // namespace

std::string Pasos::CarpetaDe(const std::string& fichero) {
  auto p = fichero.find_last_of("\\/:");
  return p == std::string::npos ? std::string() : fichero.substr(0, p + 1);
}

std::string Pasos::CarpetaEjercicio(const std::string& ruta, const std::string& nombre, const std::string& ejercicio) {
  return ruta + "Empresas\\" + nombre + "\\Ejercicio" + ejercicio;
}

std::string Pasos::NombreNoValido(const std::string& nombre) {
  if (nombre == "." || nombre == "..") return "es «" + nombre + "», que no nombra una carpeta propia";
  for (unsigned char c : nombre)
    if (c < 0x20 || c == 0x7F) return "contiene caracteres de control";
  if (nombre.find_first_of("\\/") != std::string::npos) return "contiene una barra separadora de carpetas";
  if (nombre.find(':') != std::string::npos) return "contiene dos puntos de unidad";
  if (nombre.find_first_of("<>\"|?*") != std::string::npos)
    return "contiene un carácter que Windows no admite en un nombre de carpeta (< > \" | ? *)";
  // Windows drops the trailing dots and blanks of a folder name; what is left must be a name,
  // and not one of the devices that Windows reserves (CON, NUL, COM1...), with any extension.
  const std::string windows = engine::WindowsComponent(nombre);
  if (windows.empty()) return nombre.empty() ? "está vacío" : "solo tiene puntos o blancos";
  if (windows.size() > 255) return "es demasiado largo para un nombre de carpeta";
  std::string base = windows.substr(0, windows.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  static const char* const kDispositivos[] = {"CON", "PRN", "AUX", "NUL"};
  const bool numerado = base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) &&
                        base[3] >= '1' && base[3] <= '9';
  if (numerado || std::find(std::begin(kDispositivos), std::end(kDispositivos), base) != std::end(kDispositivos))
    return "es un nombre que Windows reserva para un dispositivo";
  return "";
}

void Pasos::CompruebaCarpetaDelPaso(const std::string& carpeta) {
  if (!copia_) return CompruebaCarpeta(carpeta);
  // During the run the folders are held (Comprueba): a folder's name is resolved once.
  auto it = resueltas_.find(carpeta);
  if (it == resueltas_.end()) {
    auto dir = engine::ResolveExisting(engine::NormalizeSeparators(carpeta));
    if (!dir) return;
    it = resueltas_.emplace(carpeta, *dir).first;
  }
  engine::CheckHeldFolders(it->second);
}

void Pasos::Apunta(const std::string& carpeta, const std::string& tabla) {
  CompruebaCarpetaDelPaso(carpeta);
  o_.Restructure->SetDatabaseName(carpeta);
  o_.Restructure->SetTableName(tabla);
  o_.Fichero->SetDatabaseName(carpeta);
  o_.Fichero->SetTableName(tabla);
}

bool Pasos::Revisa(const std::string& campo, const std::string& tipo, int longitud, int precision) {
  TRestructure& r = *o_.Restructure;
  if (r.FieldIndex(campo) != 0) return false;
  if (tipo == "N" || tipo == "n") r.Field()->SetFieldType(dbNumber);
  else if (tipo == "L" || tipo == "l") r.Field()->SetFieldType(dbLogical);
  else if (tipo == "C" || tipo == "c") r.Field()->SetFieldType(dbCharacter);
  r.Field()->SetName(campo);
  r.Field()->SetLength(static_cast<uint16_t>(longitud));
  r.Field()->SetPrecision(static_cast<uint16_t>(precision));
  r.AddField(false);
  return true;
}

std::vector<std::pair<int64_t, std::string>> CriteriosQueNoCaben(TTable& t, int cifras) {
  std::vector<std::pair<int64_t, std::string>> out;
  int64_t fila = 0;
  for (t.First(); !t.Eof(); t.Next()) {
    ++fila;
    engine::Value v = t.FieldValue("Criterio");
    if (v.IsNull()) continue;
    std::string texto = v.DecimalText();
    if (texto.size() > static_cast<size_t>(cifras)) out.push_back({fila, texto});
  }
  return out;
}

std::string ListaCriterios(const std::vector<std::pair<int64_t, std::string>>& malos) {
  std::string lista;
  for (size_t i = 0; i < malos.size(); ++i) {
    if (i == 10) {
      lista += " y " + std::to_string(malos.size() - i) + " más";
      break;
    }
    lista += (i == 0 ? "" : ", ") + std::string("fila ") + std::to_string(malos[i].first) + " (" + malos[i].second + ")";
  }
  return lista;
}

void Pasos::Modifica(int longitud) {
  TRestructure& r = *o_.Restructure;
  // Values that do not fit the new width are named, all of them, before anything changes.
  if (r.FieldIndex("Criterio") > 0) {
    TTable t;
    t.SetDatabaseName(o_.Fichero->DatabaseName());
    t.SetTableName(o_.Fichero->TableName());
    t.SetReadOnly(true);
    t.Open();
    auto malos = CriteriosQueNoCaben(t, longitud);
    t.Close();
    if (!malos.empty())
      engine::DatabaseError("La tabla " + o_.Fichero->TableName() + " de " + o_.Fichero->DatabaseName() +
                            " tiene valores de Criterio que no caben en un número de " +
                            (longitud == 1 ? std::string("una cifra") : std::to_string(longitud) + " cifras") + ": " +
                            ListaCriterios(malos) +
                            ". Corrija esos valores en Tribanor y vuelva a ejecutar la actualización; la tabla no se "
                            "ha modificado.");
  }
  int pos = r.FieldIndex("Criterio");
  r.LoadField(pos);
  r.Field()->SetFieldType(dbNumber);
  r.Field()->SetLength(static_cast<uint16_t>(longitud));
  r.ModifyField(pos, false);
  r.ApplyRestructure();
}

// The customer table of a folder gains SA and SC.
static bool AnadeImportesClientes(TRestructure& r) {
  bool cambio = false;
  for (const char* campo : {"SA", "SC"}) {
    if (r.FieldIndex(campo) == 0) {
      r.Field()->SetFieldType(dbNumber);
      r.Field()->SetName(campo);
      r.Field()->SetLength(12);
      r.Field()->SetPrecision(2);
      r.AddField(false);
      cambio = true;
    }
  }
  return cambio;
}

void Pasos::ModificaEmpresa() {
  const std::string carpeta = *o_.RutaPrograma + "Empresa";
  CierraSiFalla(*o_.Fichero, copia_, carpeta, "Clientes.Dbf", Cambia::kPorIntercambio, [&] {
    Apunta(carpeta, "Clientes.Dbf");
    vista_.Accion("Actualiza directorio " + *o_.RutaPrograma + k43Blancos, false);
    if (!AnadeImportesClientes(*o_.Restructure)) return;
    o_.Restructure->ApplyRestructure();
    verificacion_.Escrita(carpeta, "Clientes.Dbf");
  });
}

void Pasos::ModificaEmpresas() {
  const std::string carpeta = CarpetaEjercicio(*o_.RutaPrograma, o_.Empresas->FieldByName("NOMBRE")->AsString(),
                                               o_.Ejercicios->FieldByName("EJERCICIO")->AsString());
  CierraSiFalla(*o_.Fichero, copia_, carpeta, "Clientes.Dbf", Cambia::kPorIntercambio, [&] {
    Apunta(carpeta, "Clientes.Dbf");
    if (!AnadeImportesClientes(*o_.Restructure)) return;
    o_.Restructure->ApplyRestructure();
    verificacion_.Escrita(carpeta, "Clientes.Dbf");
  });
}

void Pasos::ModificaGeneral() {
  const std::string carpeta = *o_.RutaPrograma + "General";
  CierraSiFalla(*o_.Fichero, copia_, carpeta, "Configu.Dbf", Cambia::kPorIntercambio, [&] {
    Apunta(carpeta, "Configu.Dbf");
    bool cambio = false;
    cambio |= Revisa("Color1", "N", kAnchoColor1, 0);
    cambio |= Revisa("Color2", "N", 7, 0);
    cambio |= Revisa("Fondo1", "N", 8, 0);
    cambio |= Revisa("Fondo2", "N", 9, 0);
    if (!cambio) return;
    // The defaults go into the very rebuild that adds the colours: no crash can leave the new
    // fields without them (a later run, finding the fields, would not write them).
    o_.Restructure->SetEmptyValueDefaults(
        {{"Color1", 16777215}, {"Color2", 8388608}, {"Fondo1", 14258790}, {"Fondo2", 16777215}});
    o_.Restructure->ApplyRestructure();
    verificacion_.Escrita(carpeta, "Configu.Dbf");
  });
}

void Pasos::CreaFichero() {
  TTable& f = *o_.Fichero;
  f.Close();
  f.SetTableType(engine::TTableType::ttDBase);
  f.SetTableName("Existencias.dbf");
  f.FieldDefs().Clear();
  f.FieldDefs().Add("Criterio", engine::TFieldType::ftInteger);
  f.IndexDefs().Clear();
  f.CreateTable();
}

void Pasos::CreaFicheroExistencias() {
  const std::string carpeta = o_.Fichero->DatabaseName(), tabla = o_.Fichero->TableName();
  CierraSiFalla(*o_.Fichero, copia_, carpeta, tabla, Cambia::kEnSuSitio, [&] {
    CompruebaCarpetaDelPaso(carpeta);
    if (!o_.Fichero->Exists()) {
      CreaFichero();
    } else if (TablaVacia(*o_.Fichero)) {
      // A file of no bytes holds no table and no data (a creation that a crash or a full disk
      // cut short in an older version): it is made again.
      vista_.Aviso("La tabla " + o_.Fichero->TableName() + " de " + ConSeparadores(o_.Fichero->DatabaseName()) +
                   " estaba vacía (0 bytes, sin datos) y se vuelve a crear.");
      CreaFichero();
    }
    o_.Restructure->SetDatabaseName(o_.Fichero->DatabaseName());
    o_.Restructure->SetTableName(o_.Fichero->TableName());
    Modifica(1);
    bool cambio = false;
    for (const char* campo : {"Iniciales", "1T", "2T", "3T", "4T", "Finales", "Var1T", "Var2T", "Var3T", "Var4T"})
      cambio |= Revisa(campo, "N", 12, 2);
    if (cambio) o_.Restructure->ApplyRestructure();
    verificacion_.Escrita(carpeta, tabla);
  });
}

namespace {

// "«a»", "«a» y «b»", "«a», «b» y «c»".
std::string Lista(const std::vector<std::string>& valores) {
  std::string out;
  for (size_t i = 0; i < valores.size(); ++i) {
    if (i > 0) out += i + 1 == valores.size() ? " y " : ", ";
    out += "«" + valores[i] + "»";
  }
  return out;
}

std::string CuantosEjercicios(size_t n) { return std::to_string(n) + (n == 1 ? " ejercicio" : " ejercicios"); }

// The message for a company whose fiscal years the link does not give as they are stored.
// `guardados` and `enlazados` are sorted.
std::string AvisoCobertura(const std::string& nombre, const std::string& tabla,
                           const std::vector<std::string>& guardados, const std::vector<std::string>& enlazados) {
  std::vector<std::string> faltan, sobran;
  std::set_difference(guardados.begin(), guardados.end(), enlazados.begin(), enlazados.end(), std::back_inserter(faltan));
  std::set_difference(enlazados.begin(), enlazados.end(), guardados.begin(), guardados.end(), std::back_inserter(sobran));
  const std::string indice = tabla.substr(0, tabla.rfind('.')) + ".MDX";
  std::string m = "La empresa «" + nombre + "» tiene " + CuantosEjercicios(guardados.size()) + " en " + tabla +
                  ", pero el índice EMPRESA de " + indice + " " + (sobran.empty() ? "solo " : "") + "da " +
                  std::to_string(enlazados.size()) + ": ";
  if (!faltan.empty())
    m += (faltan.size() == 1 ? "falta el ejercicio " : "faltan los ejercicios ") + Lista(faltan);
  if (!faltan.empty() && !sobran.empty()) m += ", y ";
  if (!sobran.empty())
    m += (sobran.size() == 1 ? "el ejercicio " : "los ejercicios ") + Lista(sobran) +
         (sobran.size() == 1 ? " no es suyo" : " no son suyos");
  return m + ". La actualización recorre los ejercicios por ese índice. Regenere los índices de " + tabla +
         " en Tribanor y vuelva a actualizar.";
}

}  // namespace

std::string CompruebaEjercicios(TTable& Empresas, TTable& Ejercicios, int* visitas) {
  // The fiscal years of each company name as the rows are stored, read without any index.
  std::map<std::string, std::vector<std::string>> guardados;
  {
    TTable filas;
    filas.SetDatabaseName(Ejercicios.DatabaseName());
    filas.SetTableName(Ejercicios.TableName());
    filas.SetTableType(Ejercicios.TableType());
    filas.SetReadOnly(true);  // only read, also where the check runs on read-only media
    filas.Open();
    const engine::TField* empresa = filas.FieldByName("EMPRESA");
    const engine::TField* ejercicio = filas.FieldByName("EJERCICIO");
    for (filas.First(); !filas.Eof(); filas.Next()) guardados[empresa->AsString()].push_back(ejercicio->AsString());
  }
  int total = 0;
  for (Empresas.First(); !Empresas.Eof(); Empresas.Next()) {
    const std::string nombre = Empresas.FieldByName("NOMBRE")->AsString();
    std::vector<std::string> enlazados;
    for (Ejercicios.First(); !Ejercicios.Eof(); Ejercicios.Next())
      enlazados.push_back(Ejercicios.FieldByName("EJERCICIO")->AsString());
    total += static_cast<int>(enlazados.size());
    auto it = guardados.find(nombre);
    std::vector<std::string> suyos = it == guardados.end() ? std::vector<std::string>{} : it->second;
    std::sort(suyos.begin(), suyos.end());
    std::sort(enlazados.begin(), enlazados.end());
    if (suyos != enlazados) return AvisoCobertura(nombre, Ejercicios.TableName(), suyos, enlazados);
  }
  if (visitas) *visitas = total;
  return "";
}

void Pasos::Ejecuta(const std::string& fichero_programa,
                    const std::function<void(const std::string&, const std::string&, int, int)>& por_ejercicio) {
  std::string& ruta = *o_.RutaPrograma;
  ruta = CarpetaDe(fichero_programa);
  // No other run may work on this installation meanwhile.
  BloqueoInstalacion bloqueo(ruta, BloqueoInstalacion::Uso::kActualizar);
  // While the installation is locked its folders change only through this run: a folder's
  // listing serves until the run changes a folder (engine/listing_cache.h). It outlives every
  // thread of the run (the checks below are stopped before it goes).
  engine::ScopedListingCache listados;
  // The checks of the tables written go on beside the run; whatever way it ends, none of them
  // reads on after it, with the installation no longer locked.
  struct Detiene {
    Verificacion& v;
    ~Detiene() { v.Detiene(); }
  } detiene{verificacion_};
  // Every check, on every folder and table, before the first change: what would stop the run
  // stops it here, with nothing changed. The folders it validated stay held until the end.
  const Comprobacion comprobacion = [&] {
    try {
      return Comprueba(ruta);
    } catch (const engine::EngineError& x) {
      engine::DatabaseError(x.what());  // a folder replaced while it was being checked, say
    }
  }();
  if (comprobacion.HayProblemas()) engine::DatabaseError(MensajeDeParada(comprobacion));
  // The old files of every table the run changes are kept, for an undo (Copia.h).
  CopiaDeSeguridad copia(ruta);
  copia_ = &copia;
  struct Suelta {
    CopiaDeSeguridad*& p;
    std::map<std::string, std::string>& resueltas;
    ~Suelta() {
      p = nullptr;
      resueltas.clear();
    }
  } suelta{copia_, resueltas_};
  TTable& e = *o_.Empresas;
  TTable& j = *o_.Ejercicios;
  e.SetDatabaseName(ruta + "General");
  j.SetDatabaseName(ruta + "General");
  AbreNombrandoTabla(e);
  AbreNombrandoTabla(j);
  int total = 0;
  for (e.First(); !e.Eof(); e.Next())
    for (j.First(); !j.Eof(); j.Next()) ++total;

  ModificaEmpresa();
  ModificaGeneral();
  int n = 0;
  for (e.First(); !e.Eof(); e.Next()) {
    for (j.First(); !j.Eof(); j.Next()) {
      const std::string nombre = e.FieldByName("NOMBRE")->AsString();
      const std::string ejercicio = j.FieldByName("EJERCICIO")->AsString();
      vista_.Accion(nombre + " " + ejercicio + k43Blancos, true);
      if (por_ejercicio) por_ejercicio(nombre, ejercicio, ++n, total);
      o_.Fichero->SetDatabaseName(CarpetaEjercicio(ruta, nombre, ejercicio));
      o_.Fichero->SetTableName("Existencias.dbf");
      CreaFicheroExistencias();
      ModificaEmpresas();
    }
  }
  o_.Fichero->SetDatabaseName(ruta + "Empresa");
  o_.Fichero->SetTableName("Existencias.dbf");
  CreaFicheroExistencias();
  // Nothing is reported done before every table written has been checked.
  verificacion_.Comprueba(ruta);
  vista_.Accion(k46Blancos, false);
}

void PreparaTablasListas(TTable& Empresas, TTable& Ejercicios, engine::TDataSource& DS_Empresas) {
  using namespace engine;
  Empresas.SetName("Empresas");
  Empresas.SetTableName("Empresas.DBF");
  Empresas.SetIndexName("NOMBRE");
  auto* nombre = Empresas.DeclareField<TStringField>("NOMBRE", 50);
  nombre->SetRequired(true);
  nombre->SetDisplayLabel("Empresa");
  for (const char* f : {"REGIMENFISCAL", "ACTIVIDAD", "NIVEL", "SEGURIDAD"}) Empresas.DeclareField<TSmallintField>(f);
  Empresas.DeclareField<TStringField>("CODIGO", 4);
  for (const char* f : {"NIF", "NIFREP"}) Empresas.DeclareField<TStringField>(f, 12);
  for (const char* f : {"CODPOST", "CODADM", "CNAE", "IAE"}) Empresas.DeclareField<TStringField>(f, 5);
  for (const char* f : {"TELEFONO", "FAX", "MOVIL"}) Empresas.DeclareField<TStringField>(f, 15);
  Empresas.DeclareField<TStringField>("REPRESENTANTE", 40);
  Empresas.DeclareField<TStringField>("CARGO", 25);
  for (const char* f : {"DELEGACION", "ADMINISTRACION"}) Empresas.DeclareField<TStringField>(f, 20);
  Empresas.DeclareField<TStringField>("CCC", 23);
  Empresas.DeclareField<TMemoField>("OBSERVACIONES");
  Empresas.DeclareField<TGraphicField>("LOGOTIPO");
  Empresas.DeclareField<TBooleanField>("AutoAjuste")->SetDefaultExpression("FALSE");
  for (const char* f : {"DOMICILIO", "WWW", "EMAIL"}) Empresas.DeclareField<TStringField>(f, 50);
  for (const char* f : {"LOCALIDAD", "PROVINCIA"}) Empresas.DeclareField<TStringField>(f, 35);
  for (const char* f : {"BANCO", "OFICINA"}) Empresas.DeclareField<TStringField>(f, 30);
  DS_Empresas.SetDataSet(&Empresas);

  Ejercicios.SetName("Ejercicios");
  Ejercicios.SetTableName("EJERCICI.DBF");
  Ejercicios.SetIndexName("EMPRESA");
  Ejercicios.SetMasterSource(&DS_Empresas);
  Ejercicios.SetMasterFields("NOMBRE");
  Ejercicios.DeclareField<TStringField>("EJERCICIO", 4);
  Ejercicios.DeclareField<TStringField>("MONEDA", 3);
  for (const char* f : {"FechaInicial", "FechaFinal", "DiarioMinima", "DiarioMaxima"})
    Ejercicios.DeclareField<TDateField>(f);
  Ejercicios.DeclareField<TStringField>("EMPRESA", 50);
}

}  // namespace actualiza
