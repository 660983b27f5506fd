// Before the run says it is done, every table it wrote is checked as `tabla check` checks it
// (engine/table_check.h): every row and field, memo pointers, every index tag against the rows
// and its collation. A table that fails is reported like a failed step, naming it and its folder,
// with the order that gives the installation back as it was before the run.
//
// The checks run on a thread of their own while the run goes on with the next tables: a table is
// checked as soon as its step has written it (nothing of the run touches it again unless it
// notes it again, and then it is checked again). Only reads; what the run shows and in which order
// does not change, and the verdicts are given, in the order the tables were written, when the run
// asks for them at its end.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace actualiza {

class Verificacion {
 public:
  Verificacion();
  ~Verificacion();  // as Detiene
  Verificacion(const Verificacion&) = delete;
  Verificacion& operator=(const Verificacion&) = delete;

  // Notes a table that the run has just written (its folder as the run builds it, its file name)
  // and starts its check.
  void Escrita(const std::string& carpeta, const std::string& tabla);
  // Waits for the check of every table noted and throws EErrorDeTabla for the first of them, in
  // the order they were noted, that fails. `ruta` is the installation folder, for the order that
  // undoes the run. A table whose check was not started or was stopped is checked here.
  void Comprueba(const std::string& ruta);
  // Stops the checks: the one under way ends, those not begun wait for Comprueba. For a run that
  // ends early, so that no file stays open behind it.
  void Detiene();

  // For tests: `gancho` is called with the main file of each table as soon as the run has
  // written it, before anything checks it (an empty function: no hook).
  static void FijaGancho(std::function<void(const std::string& fichero)> gancho);

 private:
  struct Estado;
  std::unique_ptr<Estado> e_;
};

// The line of a failure after the first change: how to give the installation back.
std::string LineaDeshacer(const std::string& ruta);

}  // namespace actualiza
