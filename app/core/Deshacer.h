// The undo of the last upgrade of an installation, from the copy it kept (Copia.h): every table it
// changed gets its old files back and every table it created goes, folder by folder, each through
// the engine's journal and swap, so that a crash or a disk error leaves every table whole (as the
// run left it or as it was before) and a second undo finishes the work.
//
// Before it changes anything the undo checks every table: one that changed after the run (its
// files are not those the run wrote), one held open by another program, a copy missing or
// damaged, or the installation in use by another run stops it, naming the table, with nothing
// changed. Once done, the copy is marked as undone and its files removed; a second undo then
// says so and changes nothing.
#pragma once

#include <string>
#include <vector>

namespace actualiza {

struct PlanDeshacer {
  std::string ejecucion;              // the run undone: its copy folder's name ("" when none)
  std::string fecha;                  // its date and time as shown ("09/12/2026 19:00:00")
  std::vector<std::string> acciones;  // what the undo does (or did), table by table
  std::vector<std::string> problemas; // what stops it, one per table or copy
  bool ya_deshecha = false;           // the last run was undone already
};

// What an undo of the installation at `ruta` (the folder as `RutaPrograma` holds it, or "")
// would do; changes nothing.
PlanDeshacer PlaneaDeshacer(const std::string& ruta);

// Undoes the last upgrade of the installation at `ruta` and returns what it did. Throws
// engine::EDatabaseError with the message for the user when it refuses (every problem listed,
// nothing changed), and the engine's error when a step fails on the way (a second undo
// finishes).
PlanDeshacer Deshace(const std::string& ruta);

}  // namespace actualiza
