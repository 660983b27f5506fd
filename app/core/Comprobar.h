// What an upgrade would do to an installation, found without changing anything: table by table,
// the fields it would add or change and what would stop it (fiscal years that the walk through
// the EMPRESA index would miss, names that cannot be folders, links out of the installation,
// missing folders or tables, values that would not fit their new field, tables another program
// holds, too little free disk space).
//
// These are the checks of `--comprobar` and the very same checks the run makes, on every folder
// and table, before its first change: any problem stops the run with nothing changed, and its
// message names every problem found (`MensajeDeParada`).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/core/Avisos.h"

namespace actualiza {

class Enlaces;

struct EstadoTabla {
  std::string tabla;                  // path relative to the installation, e.g. "General/Configu.Dbf"
  std::string carpeta;                // its data folder as the run builds it (RutaPrograma + ...)
  std::string fichero;                // the table's file name, e.g. "Configu.Dbf"
  std::vector<std::string> cambios;   // what the upgrade would add or change
  std::vector<std::string> problemas; // what would stop the upgrade at this table
  bool escribe = false;               // the run rewrites or creates this table
  uint64_t bytes_nuevos = 0;          // what its rebuild writes before the swap (an estimate)
};

struct Comprobacion {
  std::vector<EstadoTabla> tablas;    // in the order the upgrade visits them
  std::vector<std::string> problemas; // problems of the installation as a whole
  // Lines `--comprobar` shows that stop nothing (the copies kept of earlier runs, say).
  std::vector<std::string> informes;
  // Bytes the run needs on the installation's disk besides the new files of its largest rebuild
  // (copies it keeps of the files it replaces, say). Whoever needs them adds them before the
  // free space is checked (see `Comprueba`).
  uint64_t espacio_adicional = 0;
  // The folders the check validated, held while this lives (Enlaces.h): the run keeps it to its
  // end, so that a folder put in the place of one of them stops the run instead of redirecting it.
  std::shared_ptr<const Enlaces> enlaces;
  bool AlDia() const;                 // nothing to change, nothing in the way
  bool HayProblemas() const;
};


// Checks the installation whose executable (or folder) is given, holding the installation's lock
// as a check does.
Comprobacion ComprobarInstalacion(const std::string& fichero_programa);

// The same checks for a caller that already holds the installation's lock (the run, before its
// first change). `ruta` is the installation folder as `RutaPrograma` holds it. In order: links,
// the lists of companies and fiscal years and the walk's coverage, the folder names, every
// table of every folder (fields, values, journals, whether it can be opened exclusively), then
// what other parts of the run add (see `espacio_adicional`), and last the free disk space.
Comprobacion Comprueba(const std::string& ruta);

// The message with which the run stops when `c` has problems: one problem as it is, several
// under a line that counts them; each table's problem followed by its "Tabla:" and "Carpeta:"
// lines; and that no file has been changed.
std::string MensajeDeParada(const Comprobacion& c);

}  // namespace actualiza
