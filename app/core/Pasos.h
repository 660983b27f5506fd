// The upgrade of an installation, table by table: the steps the wizard's "&Actualizar" runs and
// the command-line program runs alike. The steps work on the window's own objects (the two list
// tables, the work table `Fichero`, the restructuring component and `RutaPrograma`), which the
// caller owns and hands in; what the user sees goes through `Vista`.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/core/Verificacion.h"
#include "engine/table.h"
#include "restructure/Restructure.h"

namespace actualiza {

using restructure::TRestructure;
class CopiaDeSeguridad;

// What the run shows: the progress label (with or without an immediate repaint).
class Vista {
 public:
  virtual ~Vista() = default;
  virtual void Accion(const std::string& texto, bool repintar) = 0;
  // Something the user should know that does not stop the run (a table made again, say).
  virtual void Aviso(const std::string& texto) = 0;
};

// The objects the steps use; all owned by the caller.
struct Objetos {
  engine::TTable* Empresas = nullptr;     // "Empresas.DBF", index "NOMBRE"
  engine::TTable* Ejercicios = nullptr;   // "EJERCICI.DBF", index "EMPRESA", detail of Empresas
  engine::TTable* Fichero = nullptr;      // the work table
  TRestructure* Restructure = nullptr;    // PackTable true
  std::string* RutaPrograma = nullptr;    // the installation folder, ending in its separator
};

// Texts the run shows.
inline constexpr const char* kFinalizado = "Proceso de Actualización Finalizado";
inline const std::string k43Blancos(43, ' ');
inline const std::string k46Blancos(46, ' ');

// Width given to Color1 when it is added: its default, 16777215, has eight digits.
constexpr int kAnchoColor1 = 8;

class Pasos {
 public:
  Pasos(const Objetos& o, Vista& vista) : o_(o), vista_(vista) {}

  // The table steps.
  void ModificaEmpresa();
  void ModificaEmpresas();
  void ModificaGeneral();
  void CreaFicheroExistencias();
  void CreaFichero();
  bool Revisa(const std::string& campo, const std::string& tipo, int longitud, int precision);
  void Modifica(int longitud);

  // The run, after the path check: sets RutaPrograma from the executable's file name, opens the
  // list tables and upgrades every data folder in order. Called by whoever showed the path check;
  // the caller shows the final message and closes. `por_ejercicio` (optional) is told of each
  // fiscal year before its folder is upgraded (company, year, position, total).
  void Ejecuta(const std::string& fichero_programa,
               const std::function<void(const std::string&, const std::string&, int, int)>& por_ejercicio = {});

  // The installation folder of an executable's file name: up to and including its last "\",
  // "/" or ":"; "" when it has none.
  static std::string CarpetaDe(const std::string& fichero);

  // The fiscal-year folder of a company below the installation folder `ruta`:
  // ruta + "Empresas\" + NOMBRE + "\Ejercicio" + EJERCICIO, the values inserted as they are.
  static std::string CarpetaEjercicio(const std::string& ruta, const std::string& nombre, const std::string& ejercicio);

  // Whether a name can be one folder of a path below the installation: refuses "." and "..", a
  // separator, a drive colon, control characters and what Windows cannot hold as a folder name
  // (< > " | ? *, a name left empty once Windows drops its trailing dots and blanks, a device
  // name such as CON or LPT1). Dots, blanks, accents and apostrophes are fine. Returns the
  // reason, or "". A fiscal year is checked as its folder name, "Ejercicio" + EJERCICIO.
  static std::string NombreNoValido(const std::string& nombre);

 private:
  // Points the component and Fichero at a table of a folder.
  void Apunta(const std::string& carpeta, const std::string& tabla);
  // Stops a step whose data folder was replaced since the check, with the reason.
  void CompruebaCarpetaDelPaso(const std::string& carpeta);
  const Objetos o_;
  Vista& vista_;
  CopiaDeSeguridad* copia_ = nullptr;  // the run's copy of what it replaces, during Ejecuta
  Verificacion verificacion_;  // the tables this run wrote, checked before it reports done
  std::map<std::string, std::string> resueltas_;  // during the run: data folders as given -> resolved
};

// Checks, before anything is changed, that the walk of the fiscal years through the detail link
// of `Ejercicios` (index EMPRESA) reaches every fiscal year of every company: for each company
// row of `Empresas` it compares the fiscal years the link gives with those a plain read of the
// fiscal-year table finds in its stored order. A row belongs to a company when its EMPRESA equals
// the company's NOMBRE as the link compares them (text without padding blanks; deleted rows are
// not rows); rows that name no company are not visited and are no error. Both tables must be
// open. Returns "" when the walk is complete, else the message that stops the run; `visitas`
// (optional) then gets the number of fiscal years the walk visits.
std::string CompruebaEjercicios(engine::TTable& Empresas, engine::TTable& Ejercicios, int* visitas = nullptr);

// The rows of an open stock table (position in natural order, deleted rows left out) whose
// Criterio does not fit a number of `cifras` digits, with their values; and those rows as text
// for a message ("fila 5 (12), fila 9 (37)").
std::vector<std::pair<int64_t, std::string>> CriteriosQueNoCaben(engine::TTable& t, int cifras);
std::string ListaCriterios(const std::vector<std::pair<int64_t, std::string>>& malos);

// Sets up the two list tables as the window declares them (table names, indexes, the master
// link and the declared fields), for programs without the window.
void PreparaTablasListas(engine::TTable& Empresas, engine::TTable& Ejercicios, engine::TDataSource& DS_Empresas);

}  // namespace actualiza
