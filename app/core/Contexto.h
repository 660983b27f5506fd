// Errors of the table steps, with the table and the data folder they were working on. The
// component's and the engine's own texts stay as they are; below them go the engine's context
// lines and the step's "Tabla: <file name>" and "Carpeta: <folder>" lines, worded as the engine
// words its own, with every path in this system's separators.
#pragma once

#include <string>
#include <vector>

#include "engine/table.h"

namespace actualiza {

// An error's text split into the text itself and the context lines below it.
struct MensajeConContexto {
  std::string texto;                  // the component's or the engine's own text
  std::vector<std::string> contexto;  // "Tabla: ...", "Carpeta: ...", "Campo: ", ... one a line
  // The text and the context lines, one a line.
  std::string Completo() const;
};

// Splits the context lines off the end of an error's text (lines that begin with one of the
// engine's context labels) and writes the paths in them with this system's separators.
MensajeConContexto SeparaContexto(const std::string& mensaje);

// Where the path of a context line begins ("Tabla: ", "Fichero: " and "Carpeta: " lines name
// paths); std::string::npos for other lines.
size_t InicioDeRuta(const std::string& linea);

// A path with this system's separators ("\" on Windows, "/" elsewhere): the folders that the
// run builds are written with "\", as the host application writes them.
std::string ConSeparadoresDelSistema(const std::string& ruta);

// An error raised by a table step: what() is the error's text followed by its context lines.
class EErrorDeTabla : public engine::EDatabaseError {
 public:
  explicit EErrorDeTabla(MensajeConContexto m);
  const MensajeConContexto& Mensaje() const { return m_; }

 private:
  MensajeConContexto m_;
};

// Called inside a catch block: raises the error in flight again as an EErrorDeTabla that names
// `tabla` and `carpeta` below its text (an EErrorDeTabla already raised by an inner step goes on
// unchanged). Below the component's "Table could not be opened for exclusive access" goes what
// the user can do (kCierreTribanor, Avisos.h).
[[noreturn]] void RelanzaEnTabla(const std::string& carpeta, const std::string& tabla);

// Raises `texto` as an EErrorDeTabla that names `tabla` and `carpeta` below it.
[[noreturn]] void ErrorEnTabla(const std::string& texto, const std::string& carpeta, const std::string& tabla);

// Opens `t`; an error names its table and folder (RelanzaEnTabla).
void AbreNombrandoTabla(engine::TTable& t);

}  // namespace actualiza
