// tabla: shows what the engine reads in a dBASE or Paradox table.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"
#include "tools/common/consola.h"
#include "tools/tabla/commands.h"

namespace {

const tabla::Command kCommands[] = {
    {"info", "info FICHERO", "tipo, nivel, página de códigos, registros y campos", tabla::RunInfo},
    {"csv", "csv FICHERO", "los registros en CSV (UTF-8); la primera columna marca los borrados", tabla::RunCsv},
    {"restructure",
     "restructure FICHERO [--add NOMBRE:TIPO:LONG[:DEC]]... [--modify NOMBRE:NUEVO:TIPO:LONG[:DEC]]... "
     "[--drop NOMBRE]... [--pack]",
     "cambia la estructura de la tabla conservando sus registros", tabla::RunRestructure},
    {"tags", "tags FICHERO", "las etiquetas del índice de producción (.MDX)", tabla::RunTags},
    {"index", "index FICHERO ETIQUETA", "las claves de una etiqueta en orden, con su número de registro",
     tabla::RunIndex},
    {"check", "check FICHERO [--terminar]",
     "comprueba la tabla y que cada etiqueta del índice coincide con ella, en el orden de su idioma; con "
     "--terminar, antes termina una reestructuración interrumpida",
     tabla::RunCheck},
};

int Usage() {
  std::fprintf(stderr, "Uso: tabla ORDEN ARGUMENTOS\n");
  for (const auto& c : kCommands) std::fprintf(stderr, "  tabla %-28s %s\n", c.usage, c.summary);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> all = consola::Argumentos(argc, argv);
  if (all.size() < 2) return Usage();
  std::string name = all[1];
  std::vector<std::string> args(all.begin() + 2, all.end());
  // The table's file name as the engine takes paths: "\" is a separator like "/" (a Windows
  // user types C:\Tribanor\Empresa\Clientes.Dbf), so that its companions are found beside it.
  if (!args.empty()) args[0] = engine::NormalizeSeparators(args[0]);
  for (const auto& c : kCommands) {
    if (name != c.name) continue;
    try {
      return c.run(args);
    } catch (const engine::EngineError& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "Error interno: %s\n", e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "Orden desconocida: %s\n", name.c_str());
  return Usage();
}
