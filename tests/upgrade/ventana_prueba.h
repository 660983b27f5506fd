// The window's objects as the upgrade run gets them, for tests of the run without a window.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/core/Pasos.h"
#include "engine/table.h"

namespace actualiza {

class VistaPrueba : public Vista {
 public:
  void Accion(const std::string& t, bool repintar) override { textos.push_back({t, repintar}); }
  std::vector<std::pair<std::string, bool>> textos;
};

// The window's objects, as the run gets them.
struct Ventana {
  Ventana() {
    PreparaTablasListas(empresas, ejercicios, ds);
    fichero.SetName("Fichero");
    restructure.SetPackTable(true);
  }
  void Ejecuta(const std::string& exe) { Pasos(Objs(), vista).Ejecuta(exe); }
  actualiza::Objetos Objs() { return {&empresas, &ejercicios, &fichero, &restructure, &ruta}; }
  engine::TDataSource ds;
  engine::TTable empresas, ejercicios, fichero;
  TRestructure restructure;
  std::string ruta;
  VistaPrueba vista;
};

}  // namespace actualiza
