// `tabla info` on Paradox tables lists the key fields and each field's validity check as the
// sample folders document them.
#include <gtest/gtest.h>

#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::RunCommand;
using testing_support::ShellQuote;

std::string Info(const std::string& relative) {
  std::string path = testing_support::SamplesDir() + "/paradox-paradoxdriver/" + relative;
  auto r = RunCommand(std::string(ACTUALIZA_BINARY_DIR) + "/tools/tabla info " + ShellQuote(path) + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  return r.out;
}

TEST(ParadoxTabla, InfoListsKeysAndValidityChecks) {
  if (testing_support::SamplesDir().empty()) GTEST_SKIP() << "no sample folder";
  std::string logical = Info("fields/logical.db");
  EXPECT_NE(logical.find("Tipo: PARADOX"), std::string::npos) << logical;
  EXPECT_NE(logical.find("Regla de BOOL: obligatorio; por defecto TRUE"), std::string::npos) << logical;
  std::string multiple = Info("joins/multiple.db");
  EXPECT_NE(multiple.find("Clave: ID"), std::string::npos) << multiple;
  EXPECT_NE(multiple.find("Regla de FK: obligatorio"), std::string::npos) << multiple;
  EXPECT_NE(multiple.find("Regla de A: plantilla \"[(*3{#}) ]*3{#}-*4{#}\""), std::string::npos) << multiple;
  std::string origin = Info("joins/origin.db");
  EXPECT_NE(origin.find("Regla de FK: consulta en destination.db (tipo 3)"), std::string::npos) << origin;
}

}  // namespace
