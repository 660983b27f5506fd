#include <cstdio>

#include "tools/tabla/commands.h"

namespace tabla {

int RunInfo(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "Uso: tabla info FICHERO\n");
    return 2;
  }
  auto t = OpenForReading(args[0]);
  std::printf("Tipo: %s\n", t->TypeName().c_str());
  std::printf("Nivel: %d\n", t->Level());
  std::string driver = t->LanguageDriverName();
  std::printf("Página de códigos: %d%s\n", t->Codepage().number(),
              driver.empty() ? "" : (" (" + driver + ")").c_str());
  std::printf("Registros: %llu\n", static_cast<unsigned long long>(t->RecordCount()));
  std::printf("Longitud de registro: %u\n", t->RecordLength());
  std::printf("Campos: %zu\n", t->Fields().size());
  int n = 0;
  for (const auto& f : t->Fields())
    std::printf("%4d  %-31s %-2s %5u %3u\n", ++n, f.name.c_str(), TypeLetter(f.type).c_str(),
                static_cast<unsigned>(f.size), static_cast<unsigned>(f.decimals));
  return 0;
}

}  // namespace tabla
