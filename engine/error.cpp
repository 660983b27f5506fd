#include "engine/error.h"

#include <cerrno>
#include <string>

namespace engine {

namespace {

// An operating system error number (errno; the Windows port maps its errors to these) in Spanish
// words: ENOSPC -> "no queda espacio en el disco".
std::string SystemErrorText(int errnum) {
  switch (errnum) {
    case ENOSPC: return "no queda espacio en el disco";
#ifdef EDQUOT
    case EDQUOT: return "se ha agotado el espacio de disco permitido a este usuario";
#endif
    case EIO: return "error de lectura o escritura en el disco";
    case EACCES: case EPERM: return "no hay permiso para hacerlo";
    case EROFS: return "el disco o la carpeta son de solo lectura";
    case ENOENT: return "no existe el fichero o la carpeta";
    case EEXIST: return "ya existe un fichero con ese nombre";
    case ENOTDIR: return "una parte de la ruta no es una carpeta";
    case EISDIR: return "es una carpeta";
    case ENOTEMPTY: return "la carpeta no está vacía";
    case ENAMETOOLONG: return "el nombre o la ruta son demasiado largos";
#ifdef ELOOP
    case ELOOP: return "la ruta pasa por demasiados enlaces simbólicos";
#endif
    case EMFILE: case ENFILE: return "hay demasiados ficheros abiertos";
    case EBUSY: return "el fichero o la carpeta están en uso";
#ifdef ETXTBSY
    case ETXTBSY: return "el fichero está en uso";
#endif
    case EXDEV: return "no se puede mover de un disco a otro";
    case EFBIG: return "el fichero sería demasiado grande";
    case ENOMEM: return "no hay memoria suficiente";
    case EAGAIN: return "el recurso no está disponible ahora";
    case EINTR: return "la operación se interrumpió";
    case EINVAL: return "la operación no es válida para este fichero";
    case EBADF: return "el fichero no está abierto para esta operación";
    case ENXIO: case ENODEV: return "el dispositivo no existe o no está disponible";
#ifdef ESTALE
    case ESTALE: return "el fichero de la unidad de red ya no es válido";
#endif
#ifdef ENOLCK
    case ENOLCK: return "no se pueden poner más bloqueos";
#endif
    default: return "error del sistema número " + std::to_string(errnum);
  }
}

}  // namespace

EngineError::EngineError(DBIResult code, std::string message, std::vector<std::string> context)
    : std::runtime_error(message),
      code_(code),
      message_(std::move(message)),
      context_(std::move(context)),
      what_(Compose(message_, context_)) {}

std::string EngineError::Compose(const std::string& message,
                                 const std::vector<std::string>& context) {
  std::string s = message;
  for (const auto& line : context) {
    s += '\n';
    s += line;
  }
  return s;
}

EngineError& EngineError::With(const std::string& line) {
  for (const auto& l : context_)
    if (l == line) return *this;
  context_.push_back(line);
  what_ = Compose(message_, context_);
  return *this;
}

IoError::IoError(const std::string& operation, const std::string& path, int errnum)
    : EngineError(err::kOsError,
                  "Error del sistema al " + operation + ": " + SystemErrorText(errnum) + ".",
                  {CtxFile(path)}) {}

IoError::IoError(const std::string& message, const std::string& path)
    : EngineError(err::kOsError, message, {CtxFile(path)}) {}

std::string CtxTable(const std::string& path) { return "Tabla: " + path; }
std::string CtxFile(const std::string& path) { return "Fichero: " + path; }
std::string CtxFolder(const std::string& path) { return "Carpeta: " + path; }
std::string CtxField(const std::string& name) { return "Campo: " + name; }
std::string CtxRecord(uint64_t recno) { return "Registro: " + std::to_string(recno); }
std::string CtxIndex(const std::string& tag) { return "Índice: " + tag; }

}  // namespace engine
