// Symbolic links never take the upgrade out of the installation. Before any table is touched,
// every data folder the run visits, and every file of the tables it works on there (with their
// journals, moved-aside files and work folder), is checked: a link that leads out of the
// installation folder, or to nothing, stops the run with a message that names it. Every folder so
// checked is then held (engine/fs.h HeldFolder) for as long as this object lives: a folder put in
// its place later in the run (a link to a copy elsewhere, say) stops the run when it is reached,
// and nothing is changed through it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/fs.h"

namespace actualiza {

class Enlaces {
 public:
  // `ruta` is the installation folder as `RutaPrograma` holds it ("" or ending in a separator).
  explicit Enlaces(const std::string& ruta);

  // The problems of one data folder (its path as the run builds it) and of the files there of the
  // tables named (file names, e.g. "Clientes.Dbf"); empty when there is none. A folder that does
  // not exist has none here: the run reports it where it needs it. A folder without problems is
  // held from now on.
  std::vector<std::string> Problemas(const std::string& carpeta, const std::vector<std::string>& tablas) const;

 private:
  bool Dentro(const std::string& real) const;
  std::string raiz_;  // the installation folder, every link resolved; "" when it does not exist
  mutable std::vector<std::unique_ptr<engine::HeldFolder>> retenidas_;
};

// The tables of each kind of data folder.
inline const std::vector<std::string> kTablasGeneral = {"Empresas.DBF", "EJERCICI.DBF", "Configu.Dbf"};
inline const std::vector<std::string> kTablasEjercicio = {"Clientes.Dbf", "Existencias.dbf"};

}  // namespace actualiza
