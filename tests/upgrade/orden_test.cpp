// The run on installations whose list indexes another engine wrote in another order than ours:
// every fiscal year of every company is still visited.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "app/core/Demo.h"
#include "engine/collation.h"
#include "engine/dbase/mdx.h"
#include "engine/dbase/storage_rows.h"
#include "engine/path.h"
#include "engine/storage.h"
#include "tests/support/temp_dir.h"
#include "tests/upgrade/ventana.h"

namespace actualiza {
namespace {

// The folder a company's name gives: on Windows without the trailing dots and blanks that the
// system drops ("Bodegas Peñalba, S.L." is stored as "…, S.L").
std::string CarpetaDeEmpresa(const std::string& nombre) {
#ifdef _WIN32
  return engine::WindowsComponent(nombre);
#else
  return nombre;
#endif
}

namespace fs = std::filesystem;
using engine::Collation;

// A Spanish-like order with every accented capital before its plain letter: consistent, but no
// driver's.
Collation OrdenRaro() {
  const Collation& es = *engine::FindCollation("DBWINES0");
  std::vector<uint8_t> seq;
  for (int w = 0; w < 256; ++w) seq.push_back(es.ByteOf(static_cast<uint8_t>(w)));
  for (auto [plain, accented] : {std::pair<uint8_t, uint8_t>{'A', 0xC1}, {'U', 0xDA}, {'N', 0xD1}, {'a', 0xE1}}) {
    auto a = std::find(seq.begin(), seq.end(), plain), b = std::find(seq.begin(), seq.end(), accented);
    std::iter_swap(a, b);
  }
  return Collation("RARO", 0, seq.data(), true);
}

// Makes a list table of the shared folder look as a Spanish host left it: its header names the
// Spanish driver and its index is rewritten in `orden`.
void ComoLoDejoOtroPrograma(const std::string& dbf, const std::string& mdx, const Collation& orden) {
  std::string bytes = testing_support::ReadFileBytes(dbf);
  ASSERT_EQ(bytes[0] & 0x07, 4) << "the lists are level-7 tables";
  std::string name = "DBWINES0";
  name.resize(32, '\0');
  bytes.replace(32, 32, name);
  testing_support::WriteFileBytes(dbf, bytes);
  auto t = engine::OpenStorage(dbf, engine::TableFormat::kDbase, {false, true});
  std::vector<engine::TagInfo> tags = t->Tags();
  engine::dbase::StorageRows rows(*t);
  std::string fresh = mdx + ".nuevo";
  engine::dbase::MdxIndex::Create(fresh, fs::path(dbf).stem().string(), tags, t->Fields(), t->Codepage(), rows, orden);
  t.reset();
  fs::rename(fresh, mdx);
}

TEST(OrdenDeIndices, EveryFiscalYearIsUpgradedWhateverOrderTheListsIndexesAreIn) {
  const Collation bytes = Collation::Binary("DBWINUS0", 0x57, true), raro = OrdenRaro();
  const Collation* ordenes[] = {&bytes, engine::FindCollation("DBWINES0"), &raro};
  for (const Collation* orden : ordenes) {
    testing_support::TempDir dir;
    DemoOptions o;
    o.companies = 14;  // every demo name, some starting with an accented capital
    o.years_per_company = 2;
    o.customers = 3;
    o.stock_rows = 2;
    DemoSummary demo = WriteDemoInstallation(dir.path(), o);
    const std::string general = (fs::path(dir.path()) / "General").string();
    ComoLoDejoOtroPrograma(general + "/Empresas.DBF", general + "/Empresas.MDX", *orden);
    ComoLoDejoOtroPrograma(general + "/EJERCICI.DBF", general + "/EJERCICI.MDX", *orden);
    const std::string empresas_mdx = testing_support::ReadFileBytes(general + "/Empresas.MDX");

    Ventana v;
    v.Ejecuta(demo.executable);

    // The detail link gave every fiscal-year row of every company.
    std::multiset<std::string> vistos, esperados;
    for (v.empresas.First(); !v.empresas.Eof(); v.empresas.Next())
      for (v.ejercicios.First(); !v.ejercicios.Eof(); v.ejercicios.Next())
        vistos.insert(CarpetaDeEmpresa(v.empresas.FieldByName("NOMBRE")->AsString()) + "/" +
                      v.ejercicios.FieldByName("EJERCICIO")->AsString());
    int carpetas = 0;
    for (const auto& e : fs::directory_iterator(fs::path(dir.path()) / "Empresas"))
      for (const auto& y : fs::directory_iterator(e.path())) {
        esperados.insert(testing_support::Utf8Path(e.path().filename()) + "/" +
                         testing_support::Utf8Path(y.path().filename()).substr(9));
        ++carpetas;
        // Each folder got its stock table and its customers' amounts.
        auto stock = engine::OpenStorage(testing_support::Utf8Path(y.path() / "Existencias.dbf"), engine::TableFormat::kDbase,
                                         {false, true});
        EXPECT_EQ(stock->Fields().back().name, "Var4T") << orden->name() << " " << y.path();
        auto clientes = engine::OpenStorage(testing_support::Utf8Path(y.path() / "Clientes.Dbf"), engine::TableFormat::kDbase,
                                            {false, true});
        bool sa = false;
        for (const auto& f : clientes->Fields()) sa |= f.name == "SA";
        EXPECT_TRUE(sa) << orden->name() << " " << y.path();
      }
    EXPECT_EQ(carpetas, demo.fiscal_years) << orden->name();
    EXPECT_EQ(vistos, esperados) << orden->name();
    // The run only reads the lists: their indexes stay as the other program wrote them.
    v.empresas.Close();
    v.ejercicios.Close();
    EXPECT_TRUE(testing_support::ReadFileBytes(general + "/Empresas.MDX") == empresas_mdx) << orden->name();
  }
}

}  // namespace
}  // namespace actualiza
