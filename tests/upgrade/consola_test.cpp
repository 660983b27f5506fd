// The console of the command-line programs: arguments as cmd passes them, the progress line in
// each kind of console, and the program's answers to help and to a path that does not exist.
#include "tools/common/consola.h"

#include <gtest/gtest.h>

#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"

namespace {

using consola::LineaDeProgreso;

TEST(Consola, ArgumentsAsCmdPassesThem) {
  const std::pair<std::string, std::string> casos[] = {
      {"D:\\Otra Copia\"", "D:\\Otra Copia\\"},  // "D:\Otra Copia\" typed in cmd
      {"D:\\Otra Copia\\", "D:\\Otra Copia\\"},
      {"C:\\Tribanor\\Tribanor.exe", "C:\\Tribanor\\Tribanor.exe"},
      {"\"", "\""},
      {"a\"b\"", "a\"b\""},  // quotes inside: not cmd's leftover, left alone
  };
  for (const auto& [dado, esperado] : casos) EXPECT_EQ(consola::LimpiaArgumento(dado), esperado) << dado;
}

TEST(Consola, ProgressLineInEachKindOfConsole) {
  using M = LineaDeProgreso::Modo;
  struct Caso {
    M modo;
    std::string texto;
    size_t anterior;
    std::string esperado;
  };
  const Caso casos[] = {
      {M::kLineas, "[##--] 1/2 Peñalba 2004", 0, "[##--] 1/2 Peñalba 2004\n"},
      {M::kSecuencias, "[##--] 1/2", 12, "\r\033[K[##--] 1/2"},
      // Without virtual-terminal processing: no escape sequence; what is left of a longer line
      // is blanked, and the cursor ends after the new text. Characters, not bytes, are counted.
      {M::kBlancos, "ñá 2", 6, "\rñá 2  \rñá 2"},
      {M::kBlancos, "más largo", 3, "\rmás largo"},
  };
  for (const Caso& c : casos) EXPECT_EQ(LineaDeProgreso::Texto(c.modo, c.texto, c.anterior), c.esperado) << c.texto;
}

#ifndef _WIN32
// (The command line goes through /bin/sh.)
TEST(Consola, HelpAndAPathThatDoesNotExist) {
  const std::string programa = testing_support::ShellQuote(ACTUALIZA_TRIBANOR);
  auto ayuda = testing_support::RunCommand(programa + " '/?' 2>/dev/null");
  EXPECT_EQ(ayuda.status, 0);
  EXPECT_EQ(ayuda.out.rfind("Uso:\n", 0), 0u) << ayuda.out;
  // The check and the upgrade say the same of a path that names nothing, with the same status.
  testing_support::TempDir d;
  const std::string nada = testing_support::ShellQuote(d.path() + "/no existe");
  auto comprobar = testing_support::RunCommand(programa + " --comprobar " + nada + " 2>&1");
  auto actualizar = testing_support::RunCommand(programa + " " + nada + " 2>&1");
  EXPECT_EQ(comprobar.status, 2);
  EXPECT_EQ(actualizar.status, 2);
  EXPECT_EQ(comprobar.out, actualizar.out);
  EXPECT_EQ(comprobar.out, "Atención: no se ha localizado el fichero Tribanor.Exe en la ruta seleccionada\nRuta: " +
                               d.path() + "/no existe\n");
}
#endif

}  // namespace
