// The wizard window's objects as the upgrade run gets them, for tests without the window, and
// what the tests read back from the tables.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/core/Avisos.h"
#include "app/core/Bloqueo.h"
#include "app/core/Comprobar.h"
#include "app/core/Pasos.h"
#include "engine/storage.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"
#include "engine/table.h"

namespace actualiza {

class VistaPrueba : public Vista {
 public:
  void Accion(const std::string& t, bool repintar) override { textos.push_back({t, repintar}); }
  void Aviso(const std::string& t) override { avisos.push_back(t); }
  std::vector<std::pair<std::string, bool>> textos;
  std::vector<std::string> avisos;
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

struct Tabla {
  std::vector<std::string> campos;  // "NAME:TYPE:LEN:DEC"
  std::vector<std::string> filas;   // "deleted|v1|v2..."
};

// Every field and row of a table, read through the engine.
inline Tabla Lee(const std::string& path) {
  auto st = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
  Tabla t;
  for (const auto& f : st->Fields())
    t.campos.push_back(f.name + testing_support::Numbered(":", f.type) + testing_support::Numbered(":", f.size) + testing_support::Numbered(":", f.decimals));
  std::string buf;
  for (uint64_t r = 1; r <= st->RecordCount(); ++r) {
    st->ReadRecord(r, &buf);
    std::string fila = st->IsDeleted(buf) ? "*" : " ";
    for (size_t i = 0; i < st->Fields().size(); ++i) {
      fila += '|';
      fila += st->GetValue(buf, static_cast<int>(i)).ToDisplay();
    }
    t.filas.push_back(fila);
  }
  return t;
}

// The installation as it is, without the lock file that the first run leaves behind.
inline std::map<std::string, std::string> Contenido(const std::string& dir) {
  auto s = testing_support::Snapshot(dir);
  s.erase(kFicheroBloqueo);
  return s;
}

// Runs an upgrade that must stop, before its first change, at a table another program holds: the
// component's text for an exclusive open, the line that says to close Tribanor everywhere, the
// table and, when given, its folder.
inline void ActualizaHastaTablaOcupada(const std::string& exe, const std::string& carpeta = "") {
  Ventana v;
  try {
    v.Ejecuta(exe);
    ADD_FAILURE() << "the run went past a table another program holds";
  } catch (const engine::EDatabaseError& e) {
    std::string m = e.what();
    const std::string cierre = kCierreTribanor;
    EXPECT_EQ(m.rfind("Table could not be opened for exclusive access\n" + cierre.substr(0, cierre.size() - 1) +
                          "; no se ha modificado ningún fichero.\nTabla: ",
                      0),
              0u)
        << m;
    EXPECT_TRUE(v.vista.textos.empty()) << "a step ran";
    if (!carpeta.empty()) {
      EXPECT_NE(m.find("\nCarpeta: " + testing_support::SystemSeparators(carpeta)), std::string::npos) << m;
    }
  }
}

// Runs a whole upgrade in a fresh window and checks that it leaves nothing to do.
inline void ActualizaHastaElFinal(const std::string& exe) {
  Ventana v;
  v.Ejecuta(exe);
  EXPECT_TRUE(ComprobarInstalacion(exe).AlDia());
}

}  // namespace actualiza
