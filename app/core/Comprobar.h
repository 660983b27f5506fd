// What an upgrade would do to an installation, found without changing anything: table by table,
// the fields it would add or change and what would stop it (fiscal years that the walk through
// the EMPRESA index would miss, missing folders or tables, tables held open by another program,
// values that would not fit their new field).
#pragma once

#include <string>
#include <vector>

namespace actualiza {

struct EstadoTabla {
  std::string tabla;                  // path relative to the installation, e.g. "General/Configu.Dbf"
  std::vector<std::string> cambios;   // what the upgrade would add or change
  std::vector<std::string> problemas; // what would stop the upgrade at this table
};

struct Comprobacion {
  std::vector<EstadoTabla> tablas;    // in the order the upgrade visits them
  std::vector<std::string> problemas; // problems of the installation as a whole
  bool AlDia() const;                 // nothing to change, nothing in the way
  bool HayProblemas() const;
};

// Checks the installation whose executable (or folder) is given.
Comprobacion ComprobarInstalacion(const std::string& fichero_programa);

}  // namespace actualiza
