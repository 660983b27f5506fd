// Errors of the table steps: the error's own text kept, context lines split off its end with
// their paths in this system's separators, and the step's table and folder added once.
#include <gtest/gtest.h>

#include "app/core/Contexto.h"
#include "engine/error.h"
#include "engine/table.h"
#include "tests/support/temp_dir.h"

namespace actualiza {
namespace {

std::string Ruta(const std::string& r) { return testing_support::SystemSeparators(r); }

TEST(Contexto, SplitsTheContextLinesOffTheEndOfAText) {
  MensajeConContexto m = SeparaContexto("Field index not in range");
  EXPECT_EQ(m.texto, "Field index not in range");
  EXPECT_TRUE(m.contexto.empty());

  // Lines of the text itself stay with it, even when they hold a colon; only the trailing lines
  // with the engine's labels are context, and only the path lines change their separators.
  m = SeparaContexto("Primera línea.\nEmpresas: segunda línea\nTabla: C:\\datos/General\\Configu.Dbf\n"
                     "Campo: Color1\nRegistro: 3\nCarpeta: /srv\\Tribanor\\General");
  EXPECT_EQ(m.texto, "Primera línea.\nEmpresas: segunda línea");
  EXPECT_EQ(m.contexto, (std::vector<std::string>{"Tabla: " + Ruta("C:/datos/General/Configu.Dbf"), "Campo: Color1",
                                                  "Registro: 3", "Carpeta: " + Ruta("/srv/Tribanor/General")}));
  EXPECT_EQ(m.Completo(), "Primera línea.\nEmpresas: segunda línea\nTabla: " + Ruta("C:/datos/General/Configu.Dbf") +
                              "\nCampo: Color1\nRegistro: 3\nCarpeta: " + Ruta("/srv/Tribanor/General"));
  // A text that is all context keeps its first line as the text.
  m = SeparaContexto("Tabla: a\\b");
  EXPECT_EQ(m.texto, "Tabla: a\\b");
  EXPECT_TRUE(m.contexto.empty());
}

// Raises `e` inside a step on `tabla` of `carpeta` and returns what comes out.
template <class E>
EErrorDeTabla EnUnPaso(const E& e, const std::string& carpeta, const std::string& tabla) {
  try {
    try {
      throw e;
    } catch (...) {
      RelanzaEnTabla(carpeta, tabla);
    }
  } catch (const EErrorDeTabla& r) {
    return r;
  }
  ADD_FAILURE() << "no EErrorDeTabla";
  return EErrorDeTabla({});
}

TEST(Contexto, AStepNamesItsTableAndFolderBelowTheText) {
  EErrorDeTabla r = EnUnPaso(engine::EDatabaseError("Table could not be opened"), "/srv/Tribanor/General", "Configu.Dbf");
  EXPECT_EQ(r.what(), "Table could not be opened\nTabla: Configu.Dbf\nCarpeta: " + Ruta("/srv/Tribanor/General"));
  // Caught as the database error it was.
  EXPECT_NE(dynamic_cast<const engine::EDatabaseError*>(&r), nullptr);

  // The engine's own folder line, written with the host's "\", is the step's folder: once.
  engine::EDBEngineError motor(engine::EngineError(engine::err::kNoSuchFolder, "La carpeta de datos no existe.",
                                                   {engine::CtxFolder("/srv/T/Empresas\\Viñedos, S.A.\\Ejercicio2003")}));
  r = EnUnPaso(motor, "/srv/T/Empresas\\Viñedos, S.A.\\Ejercicio2003", "Existencias.dbf");
  EXPECT_EQ(r.what(), "La carpeta de datos no existe.\nTabla: Existencias.dbf\nCarpeta: " +
                         Ruta("/srv/T/Empresas/Viñedos, S.A./Ejercicio2003"));

  // Other context lines of the engine stay, in their order, above the step's.
  engine::EDBEngineError valor(engine::EngineError(engine::err::kValueOutOfRange, "El valor no cabe.",
                                                   {engine::CtxTable("/srv/T/General/Configu.Dbf"), engine::CtxField("Color1")}));
  r = EnUnPaso(valor, "/srv/T/General", "Configu.Dbf");
  EXPECT_EQ(r.Mensaje().contexto, (std::vector<std::string>{"Tabla: " + Ruta("/srv/T/General/Configu.Dbf"), "Campo: Color1",
                                                            "Tabla: Configu.Dbf", "Carpeta: " + Ruta("/srv/T/General")}));

  // An inner step's error goes on as it is, naming the inner table.
  EErrorDeTabla dentro = EnUnPaso(engine::EDatabaseError("x"), "/a", "A.dbf");
  r = EnUnPaso(dentro, "/b", "B.dbf");
  EXPECT_EQ(r.what(), "x\nTabla: A.dbf\nCarpeta: " + Ruta("/a"));
}

}  // namespace
}  // namespace actualiza
