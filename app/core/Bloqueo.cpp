#include "app/core/Bloqueo.h"

#include "engine/error.h"
#include "engine/path.h"
#include "engine/table.h"

namespace actualiza {

namespace {

std::string EnMarcha(const std::string& carpeta) {
  return "Otra actualización o comprobación de esta instalación está en marcha (en otra ventana o desde la "
         "línea de órdenes). Espere a que termine y vuelva a intentarlo; no se ha modificado ningún fichero.\n"
         "Carpeta: " + carpeta;
}

// The lock file is opened only as a file of its own in the folder: never through a link (which
// could lead anywhere), checked before the open and again after it.
[[noreturn]] void NoEsFichero(const std::string& fichero) {
  throw engine::EDatabaseError("El fichero de bloqueo de la instalación es un enlace simbólico o no es un fichero "
                               "normal, y no se sigue. Quítelo (este programa lo vuelve a crear) y vuelva a "
                               "intentarlo; no se ha modificado ningún fichero.\nFichero: " + fichero);
}

bool EsFichero(engine::FileSystem& fs, const std::string& fichero) {
  const engine::PathFacts f = fs.Inspect(fichero);
  return !f.exists || f.regular;
}

}  // namespace

BloqueoInstalacion::BloqueoInstalacion(const std::string& carpeta, Uso uso) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  std::string dir = carpeta.empty() ? "." : engine::NormalizeSeparators(carpeta);
  if (auto resuelta = engine::ResolveExisting(dir)) dir = *resuelta;
  if (!fs.IsDirectory(dir)) return;  // the run reports the missing folder itself
  fichero_ = engine::JoinPath(dir, kFicheroBloqueo);
  try {
    for (int intento = 0; !abierto_; ++intento) {
      if (!EsFichero(fs, fichero_)) NoEsFichero(fichero_);
      if (fs.Exists(fichero_)) {
        abierto_ = fs.Open(fichero_, uso == Uso::kComprobar ? engine::OpenMode::kRead : engine::OpenMode::kReadWrite);
      } else {
        try {
          abierto_ = fs.Open(fichero_, engine::OpenMode::kCreateExclusive);
        } catch (const engine::EngineError&) {
          // Created by another run in between, or a folder that cannot be written.
          if (intento < 3 && fs.Exists(fichero_)) continue;
          throw;
        }
      }
    }
  } catch (const engine::EngineError& e) {
    if (uso == Uso::kComprobar) {
      fichero_.clear();  // a folder that cannot be written cannot change under the check
      return;
    }
    throw engine::EDatabaseError("No se puede reservar la instalación para actualizarla: " + std::string(e.what()) +
                             "\nCompruebe que la carpeta de la instalación admite escritura.");
  }
  if (!EsFichero(fs, fichero_) || !abierto_->StillAtPath()) {
    abierto_.reset();
    NoEsFichero(fichero_);
  }
  if (!abierto_->TryLockExclusive()) {
    abierto_.reset();
    throw engine::EDatabaseError(EnMarcha(dir));
  }
}

BloqueoInstalacion::~BloqueoInstalacion() {
  if (abierto_) abierto_->Unlock();
}

}  // namespace actualiza
