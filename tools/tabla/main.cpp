// tabla: inspect, check and restructure one table from the command line.
#include <cstring>
#include <iostream>

#include "tools/tabla/commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int, char**);
  const char* help;
};

const Command kCommands[] = {
    {"restructure", CmdRestructure,
     "FICHERO [--add NOMBRE:TIPO:LONG[:DEC]]... [--modify NOMBRE:NUEVO:TIPO:LONG[:DEC]]... [--drop NOMBRE]... [--pack]"},
};

int Usage() {
  std::cerr << "uso:\n";
  for (const auto& c : kCommands) std::cerr << "  tabla " << c.name << " " << c.help << "\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  for (const auto& c : kCommands)
    if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
  return Usage();
}
