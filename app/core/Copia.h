// The copy of everything an upgrade replaces. Before a table's files are replaced or removed, the
// run keeps them in ".actualiza-copia/AAAAMMDD-HHMMSS/" in the installation folder, with the
// installation's layout below it, and writes in a manifest there each file with its size and
// checksum; after the table's step, the files as the run left them (so that an undo can tell a
// table changed since). A table the run creates has no old files: an undo removes it.
//
// The old files are kept by a hard link where the file system has them: the swap puts new files
// in place and removes the old names, so the link keeps the old content without copying a byte.
// Elsewhere (FAT, shares without links) they are copied, and the copy is made durable before the
// table's step starts. The copies of the last three runs are kept; older ones go when the next
// run keeps its first table. A run that changes nothing leaves no copy.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/core/Suma.h"
#include "engine/fs.h"
#include "engine/table.h"

namespace actualiza {

inline constexpr const char* kCarpetaCopias = ".actualiza-copia";
inline constexpr const char* kManifiesto = "manifiesto.txt";
inline constexpr size_t kCopiasGuardadas = 3;

struct FicheroGuardado {
  std::string nombre;  // bare file name, as stored
  uint64_t bytes = 0;
  std::string suma;    // checksum, 16 hexadecimal digits
  bool operator==(const FicheroGuardado&) const = default;
};

struct TablaGuardada {
  std::string carpeta;                   // below the installation, '/' separators ("General")
  std::string tabla;                     // the table's file name as the run names it ("Configu.Dbf")
  std::vector<FicheroGuardado> antes;    // its files before the run, by name (none: the run created it)
  std::vector<FicheroGuardado> despues;  // its files as the run left them, by name
  bool terminada = false;                // `despues` was recorded (the step ended)
};

struct Manifiesto {
  std::string ejecucion;              // the run: its copy folder's name
  TipoDeSuma suma = kSumaActual;      // the kind of its checksums, by its version
  std::vector<TablaGuardada> tablas;  // those the run changed, in the order it changed them
  bool deshecha = false;              // an undo has put these files back
};

// The files of a table's family now in `carpeta` (an existing folder): the table, its memo and
// index files, with sizes and checksums of the kind `tipo`, by name. Hidden files (journals,
// moved-aside files) are not the table's.
std::vector<FicheroGuardado> FicherosDeTabla(const std::string& carpeta, const std::string& tabla,
                                             TipoDeSuma tipo = kSumaActual);

// Gives `de` the second name `a` by a hard link, or else copies it there and makes the copy
// durable (the caller makes the folder durable). True when linked.
bool EnlazaOCopia(const std::string& de, const std::string& a);
// A real copy of `de` at `a` (anything at `a` removed first), made durable.
void CopiaFichero(const std::string& de, const std::string& a);

// The installation folder (as `RutaPrograma` holds it) resolved, without its trailing separator;
// "" when it does not exist.
std::string RaizInstalacion(const std::string& ruta);

// The names of the run folders in the installation's copy folder, oldest first.
std::vector<std::string> CopiasDe(const std::string& raiz);

// The refusal of a copy whose manifest a newer version of this program wrote.
struct CopiaMasReciente : engine::EDatabaseError {
  using engine::EDatabaseError::EDatabaseError;
};

// Reads and checks the manifest of a run folder; throws engine::EDatabaseError naming it when it
// is missing or damaged.
Manifiesto LeeManifiesto(const std::string& carpeta_ejecucion);
// Whether a name is a folder name as the manifest may give one (one component below the
// installation, valid on Windows too).
bool ComponenteValido(const std::string& nombre);

// Removes a folder with everything below it; symbolic links are removed, never followed.
void BorraArbol(const std::string& carpeta);

// The copies present in an installation, one line each ("20261209-190000: 5 tablas, 12345 bytes"),
// for the check of what an upgrade would do; empty when there is none.
std::vector<std::string> DescribeCopias(const std::string& ruta);

// The copy of one run. The run calls Antes before a table's step and Despues after it (also when
// the step failed: what is there then is what the run left).
class CopiaDeSeguridad {
 public:
  // `ruta`: the installation folder as `RutaPrograma` holds it. `nombre`: the run folder's name;
  // by default the local date and time.
  explicit CopiaDeSeguridad(const std::string& ruta, std::string nombre = {});
  // Removes the run folder when it keeps nothing. Never throws.
  ~CopiaDeSeguridad();
  CopiaDeSeguridad(const CopiaDeSeguridad&) = delete;
  CopiaDeSeguridad& operator=(const CopiaDeSeguridad&) = delete;

  // `carpeta` as the run builds it ("...\Empresas\X\Ejercicio2004"), `tabla` its file name.
  // Antes keeps the table's files and makes their record durable before it returns.
  void Antes(const std::string& carpeta, const std::string& tabla);
  void Despues(const std::string& carpeta, const std::string& tabla);

  // Antes in two halves, for a step whose every change to the table goes through a swap
  // (engine/swap.h): EmpiezaAntes keeps the files, and where a file may be read while the step
  // holds it exclusively (not on Windows) takes their checksums on a thread of its own while the
  // step rebuilds; TerminaAntes waits for them and makes the record durable. The step calls
  // TerminaAntes through a BeforeSwap, so the record is durable before the swap changes a file,
  // and again after its work (it does nothing the second time). What a run recorded before is
  // made durable by EmpiezaAntes, as Antes does.
  void EmpiezaAntes(const std::string& carpeta, const std::string& tabla);
  void TerminaAntes();
  // Called by such a step's first swap after TerminaAntes, once its new files are whole in the
  // work folder: takes their checksums on a thread of their own while the swap puts them in
  // place, for Despues, which uses a sum only for the very file (by its identity) now in place
  // and sums any other itself. Never throws: what it cannot do, Despues does.
  void EmpiezaDespues(const std::string& carpeta, const std::string& tabla) noexcept;

  // The run folder ("" until the first table is kept).
  const std::string& Carpeta() const { return carpeta_; }

 private:
  void Empieza();
  void Anota(const std::string& lineas, bool asegura);  // `asegura`: durable before it returns
  void Guarda(const std::string& carpeta, const std::string& tabla, bool aparte);
  struct Pendiente;  // a record that EmpiezaAntes began
  std::unique_ptr<Pendiente> pendiente_;
  struct Nuevos;  // the sums EmpiezaDespues began
  std::unique_ptr<Nuevos> nuevos_;
  std::vector<FicheroGuardado> Ahora(const std::string& dir, const std::string& tabla, const std::string& clave);
  bool sin_asegurar_ = false;  // records written since the manifest was last made durable
  // The data folder resolved and its path below the installation; false when it is missing.
  bool Relativa(const std::string& carpeta, std::string* dir, std::string* rel) const;
  struct Copiada {
    std::vector<FicheroGuardado> antes;  // as the manifest records them
    bool terminada = false;              // what the step left is recorded
  };
  std::string raiz_, nombre_, carpeta_;
  // The run folder, held from its making, and the copy's folder of the table kept last: the
  // copy's files are reached from them (engine/fs.h, HeldFolder), neither walked to again from
  // the installation for each file nor followed if replaced.
  std::unique_ptr<engine::HeldFolder> retenida_, retenida_tabla_;
  std::map<std::string, Copiada> copiadas_;  // by "carpeta\ttabla", the tables kept so far
  // The data folders already resolved (the run holds them: they stay what they were), and the
  // folders of the copy made so far.
  mutable std::map<std::string, std::pair<std::string, std::string>> relativas_;
  std::set<std::string> hechas_;
  int cambiadas_ = 0;
};

}  // namespace actualiza
