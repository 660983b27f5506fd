// One run at a time per installation. An upgrade (from the window or the command line) and a
// check of what it would do each hold a lock on a small file in the installation folder for as
// long as they run; a second run on the same installation is refused at once, before it reads or
// changes any table.
#pragma once

#include <memory>
#include <string>

#include "engine/fs.h"

namespace actualiza {

// The lock file, in the installation folder. It stays there between runs (removing it would let
// two runs lock two different files of the same name).
inline constexpr const char* kFicheroBloqueo = ".actualiza-tribanor.bloqueo";

class BloqueoInstalacion {
 public:
  enum class Uso {
    kActualizar,  // creates the lock file when it is missing
    kComprobar,   // read-only: where the folder cannot be written, nobody can change it either
  };
  // Takes the lock of the installation folder `carpeta` (as `RutaPrograma` holds it: "" or ending
  // in its separator) without waiting. Throws engine::EDatabaseError with the message for the user
  // when another run holds it, or when the upgrade cannot take it.
  BloqueoInstalacion(const std::string& carpeta, Uso uso);
  ~BloqueoInstalacion();
  BloqueoInstalacion(const BloqueoInstalacion&) = delete;
  BloqueoInstalacion& operator=(const BloqueoInstalacion&) = delete;

  // The lock file's path ("" when the folder could not be locked because it cannot be written).
  const std::string& Fichero() const { return fichero_; }

 private:
  std::string fichero_;
  std::unique_ptr<engine::File> abierto_;
};

}  // namespace actualiza
