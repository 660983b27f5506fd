// The wizard window's objects as the upgrade run gets them, for tests without the window.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/core/Comprobar.h"
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

// Runs an upgrade that must stop at a table another program holds; the component reports it as
// "could not be opened" (when its structure is read) or "for exclusive access" (when it applies).
inline void ActualizaHastaTablaOcupada(const std::string& exe) {
  Ventana v;
  try {
    v.Ejecuta(exe);
    ADD_FAILURE() << "the run went past a table another program holds";
  } catch (const engine::EDatabaseError& e) {
    std::string m = e.what();
    EXPECT_TRUE(m == "Table could not be opened for exclusive access" || m == "Table could not be opened") << m;
  }
}

// Runs a whole upgrade in a fresh window and checks that it leaves nothing to do.
inline void ActualizaHastaElFinal(const std::string& exe) {
  Ventana v;
  v.Ejecuta(exe);
  EXPECT_TRUE(ComprobarInstalacion(exe).AlDia());
}

}  // namespace actualiza
