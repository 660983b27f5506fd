// Before the run says it is done, every table it wrote is checked as `tabla check` checks it
// (engine/table_check.h): every row and field, memo pointers, every index tag against the rows
// and its collation. A table that fails is reported like a failed step, naming it and its folder,
// with the order that gives the installation back as it was before the run.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace actualiza {

class Verificacion {
 public:
  // Notes a table that the run has just written (its folder as the run builds it, its file name).
  void Escrita(const std::string& carpeta, const std::string& tabla);
  // Checks every table noted, in order; throws EErrorDeTabla for the first that fails. `ruta` is
  // the installation folder, for the order that undoes the run.
  void Comprueba(const std::string& ruta) const;
  const std::vector<std::pair<std::string, std::string>>& Tablas() const { return tablas_; }

  // For tests: `gancho` is called with the main file of each table as soon as the run has
  // written it, before anything checks it (an empty function: no hook).
  static void FijaGancho(std::function<void(const std::string& fichero)> gancho);

 private:
  std::vector<std::pair<std::string, std::string>> tablas_;  // folder, table
};

// The line of a failure after the first change: how to give the installation back.
std::string LineaDeshacer(const std::string& ruta);

}  // namespace actualiza
