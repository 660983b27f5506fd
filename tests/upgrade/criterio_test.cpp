// A stock table whose Criterio holds values of more than one digit: the run (before its first
// change) and the check name every such row and value and say what to do, and the table stays as
// it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/core/Comprobar.h"
#include "app/core/Demo.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "tests/support/temp_dir.h"
#include "tests/upgrade/ventana.h"

namespace actualiza {
namespace {

namespace fs = std::filesystem;

TEST(Criterio, ValuesThatDoNotFitOneDigitAreAllNamedAndTheTableStaysAsItWas) {
  testing_support::TempDir dir;
  DemoOptions o;
  o.companies = 1;
  o.years_per_company = 1;
  o.customers = 3;
  o.stock_rows = 12;
  DemoSummary demo = WriteDemoInstallation(dir.path(), o);
  const std::string stock = (fs::path(dir.path()) / "Empresa" / "Existencias.dbf").string();
  {
    engine::OpenOptions ex;
    ex.exclusive = true;
    auto t = engine::OpenStorage(stock, engine::TableFormat::kDbase, ex);
    int criterio = -1;
    for (size_t i = 0; i < t->Fields().size(); ++i)
      if (t->Fields()[i].name == "Criterio") criterio = static_cast<int>(i);
    ASSERT_GE(criterio, 0);
    for (auto [row, value] : {std::pair<uint64_t, int64_t>{5, 12}, {9, 37}}) {
      std::string before, after;
      t->ReadRecord(row, &before);
      after = before;
      t->SetValue(&after, criterio, engine::Value::Integer(value));
      t->UpdateRecord(row, before, after);
    }
    t->Flush();
  }
  const std::string bytes = testing_support::ReadFileBytes(stock);

  Comprobacion c = ComprobarInstalacion(demo.executable);
  bool listed = false;
  for (const auto& tabla : c.tablas)
    for (const auto& p : tabla.problemas)
      if (p.find("fila 5 (12), fila 9 (37)") != std::string::npos &&
          p.find("Corrija esos valores en Tribanor y vuelva a ejecutar la actualización") != std::string::npos)
        listed = true;
  EXPECT_TRUE(listed) << "the check does not list both values";

  Ventana v;
  try {
    v.Ejecuta(demo.executable);
    ADD_FAILURE() << "the run went through";
  } catch (const engine::EDatabaseError& e) {
    std::string what = e.what();
    EXPECT_NE(what.find("Existencias.dbf"), std::string::npos) << what;
    EXPECT_NE(what.find("fila 5 (12), fila 9 (37)."), std::string::npos) << what;
    EXPECT_NE(what.find("Corrija esos valores en Tribanor y vuelva a ejecutar la actualización"), std::string::npos)
        << what;
  }
  EXPECT_TRUE(testing_support::ReadFileBytes(stock) == bytes);
}

}  // namespace
}  // namespace actualiza
