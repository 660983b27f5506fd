#include "engine/error.h"

#include <cstring>

namespace engine {

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
                  "Error del sistema al " + operation + ": " + std::strerror(errnum) + ".",
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
