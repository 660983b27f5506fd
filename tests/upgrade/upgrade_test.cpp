// The upgrade run and its table steps on installations built by the tests.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "app/core/Comprobar.h"
#include "app/core/Demo.h"
#include "app/core/Pasos.h"
#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"
#include "engine/storage.h"
#include "engine/table.h"
#include "tests/support/readers.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/upgrade/ventana.h"

namespace actualiza {
namespace {

namespace fs = std::filesystem;
using engine::TFieldType;
using engine::TTable;
using engine::Value;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

std::map<std::string, Tabla> LeeTodas(const std::string& dir) {
  std::map<std::string, Tabla> out;
  for (auto& e : fs::recursive_directory_iterator(dir)) {
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = static_cast<char>(toupper(c));
    if (ext == ".DBF") out[fs::relative(e.path(), dir).string()] = Lee(e.path().string());
  }
  return out;
}

ino_t Inodo(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(Actualizacion, DemoInstallationUpgradedTwiceKeepsEveryValue) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  auto antes = LeeTodas(d.path());
  {
    Ventana v;
    v.Ejecuta(demo.executable);
    // Progress: first the company folder's text, then one repainted text per fiscal year, then blanks.
    ASSERT_FALSE(v.vista.textos.empty());
    EXPECT_EQ(v.vista.textos.front().first, "Actualiza directorio " + d.path() + "/" + std::string(43, ' '));
    EXPECT_FALSE(v.vista.textos.front().second);
    EXPECT_EQ(v.vista.textos.back().first, std::string(46, ' '));
    int repintados = 0;
    for (const auto& [t, r] : v.vista.textos) repintados += r;
    EXPECT_EQ(repintados, demo.fiscal_years);
    EXPECT_EQ(v.vista.textos[1].first, demo.companies[0] + " 2004" + std::string(43, ' '));
    EXPECT_FALSE(v.fichero.Active());
  }
  auto despues = LeeTodas(d.path());
  const std::vector<std::string> diez = {"Iniciales", "1T", "2T", "3T", "4T", "Finales", "Var1T", "Var2T", "Var3T", "Var4T"};
  for (const auto& [nombre, t] : despues) {
    SCOPED_TRACE(nombre);
    std::string base = fs::path(nombre).filename().string();
    if (base == "Clientes.Dbf") {
      const Tabla& a = antes.at(nombre);
      ASSERT_EQ(t.campos.size(), a.campos.size() + 2);
      EXPECT_EQ(t.campos[a.campos.size()], "SA:514:12:2");
      EXPECT_EQ(t.campos[a.campos.size() + 1], "SC:514:12:2");
      // Every live row kept, in order, with the new fields empty; deleted rows purged.
      std::vector<std::string> esperadas;
      for (const auto& f : a.filas)
        if (f[0] != '*') esperadas.push_back(f + "||");
      EXPECT_EQ(t.filas, esperadas);
      auto report = engine::dbase::CheckTableIndexes((fs::path(d.path()) / nombre).string());
      EXPECT_TRUE(report.ok());
    } else if (base == "Existencias.dbf") {
      ASSERT_EQ(t.campos.size(), antes.count(nombre) ? antes.at(nombre).campos.size() + 10 : 11u);
      EXPECT_EQ(t.campos[antes.count(nombre) ? 3 : 0], "Criterio:514:1:0");
      for (size_t i = 0; i < 10; ++i) EXPECT_EQ(t.campos[t.campos.size() - 10 + i], diez[i] + ":514:12:2");
      if (antes.count(nombre)) {
        EXPECT_EQ(t.filas.size(), antes.at(nombre).filas.size());
      }
    } else if (base == "Configu.Dbf") {
      EXPECT_EQ(t.campos.back(), "Fondo2:514:9:0");
      for (const auto& f : t.filas) {
        EXPECT_NE(f.find("|14258790|16777215"), std::string::npos) << f;  // Fondo1, Fondo2 defaults
      }
      EXPECT_NE(t.filas[1].find("|Contabilidad|16777215|8388608|"), std::string::npos) << t.filas[1];
      EXPECT_NE(t.filas[2].find("|16777215|128|"), std::string::npos) << t.filas[2];  // kept as stored
    } else {
      EXPECT_EQ(t.campos, antes.at(nombre).campos);  // the lists are never changed
      EXPECT_EQ(t.filas, antes.at(nombre).filas);
    }
  }

  // A second run changes no field and still rebuilds each stock table once.
  std::map<std::string, std::string> bytes;
  std::map<std::string, ino_t> inodos;
  for (const auto& [nombre, t] : despues) {
    std::string p = (fs::path(d.path()) / nombre).string();
    bytes[nombre] = ReadFileBytes(p);
    inodos[nombre] = Inodo(p);
  }
  {
    Ventana v;
    v.Ejecuta(demo.executable);
  }
  EXPECT_EQ(LeeTodas(d.path()).size(), despues.size());
  for (const auto& [nombre, t] : LeeTodas(d.path())) {
    SCOPED_TRACE(nombre);
    EXPECT_EQ(t.campos, despues.at(nombre).campos);
    EXPECT_EQ(t.filas, despues.at(nombre).filas);
    std::string p = (fs::path(d.path()) / nombre).string();
    if (fs::path(nombre).filename() == "Existencias.dbf") {
      EXPECT_NE(Inodo(p), inodos[nombre]);  // rebuilt
    } else {
      EXPECT_EQ(ReadFileBytes(p), bytes[nombre]);  // untouched
    }
  }
  EXPECT_TRUE(ComprobarInstalacion(demo.executable).AlDia());
}

TEST(Actualizacion, IndependentReadersAgreeAfterTheUpgrade) {
  if (!testing_support::HaveDbfread() || !testing_support::HaveIndexDump()) GTEST_SKIP() << "readers absent";
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  Ventana v;
  v.Ejecuta(demo.executable);
  for (auto& e : fs::recursive_directory_iterator(d.path())) {
    if (e.path().filename() != "Clientes.Dbf" && e.path().filename() != "Existencias.dbf" &&
        e.path().filename() != "Configu.Dbf")
      continue;
    SCOPED_TRACE(e.path().string());
    auto rows = testing_support::DbfreadRecords(e.path().string(), "cp1252");
    ASSERT_TRUE(rows.has_value());
    Tabla t = Lee(e.path().string());
    ASSERT_EQ(rows->size(), t.filas.size());
    for (const auto& r : *rows) EXPECT_EQ(r.find("dbfread failed"), std::string::npos) << r;
    auto dump = testing_support::DbfDump(e.path().string());
    ASSERT_TRUE(dump.has_value());
    EXPECT_EQ(std::count(dump->begin(), dump->end(), '\n'), static_cast<long>(t.filas.size()));
    if (e.path().filename() == "Clientes.Dbf") {
      std::string mdx = (e.path().parent_path() / "Clientes.MDX").string();
      auto codes = testing_support::IndexDump(mdx, "CODIGO");
      ASSERT_TRUE(codes.has_value());
      EXPECT_EQ(std::count(codes->begin(), codes->end(), '\n'), static_cast<long>(t.filas.size())) << *codes;
    }
  }
}

// Builds a folder layout with only what a test needs.
struct Instalacion {
  explicit Instalacion(const TempDir& d) : raiz(d.path()) {
    fs::create_directories(raiz + "/General");
    fs::create_directories(raiz + "/Empresa");
    std::ofstream(raiz + "/Tribanor.exe") << "x";
    DemoOptions o;
    o.companies = 0;
  }
  std::string exe() const { return raiz + "/Tribanor.exe"; }
  void Tabla(const std::string& carpeta, const std::string& nombre, std::vector<engine::TFieldDef> campos,
             std::vector<std::map<std::string, Value>> filas = {}) {
    fs::create_directories(raiz + "/" + carpeta);
    TTable t;
    t.SetDatabaseName(raiz + "/" + carpeta);
    t.SetTableName(nombre);
    t.SetTableType(engine::TTableType::ttDBase);
    for (auto& c : campos) t.FieldDefs().AddFieldDef() = c;
    t.CreateTable();
    t.Open();
    for (auto& f : filas) {
      t.Append();
      for (auto& [k, v] : f) t.SetFieldValue(k, v);
      t.Post();
    }
    t.Close();
  }
  void Listas(const std::vector<std::pair<std::string, std::vector<std::string>>>& empresas) {
    // Lists as the demo writes them, with these companies and years.
    TempDir tmp;
    DemoOptions o;
    o.companies = 1;
    o.years_per_company = 0;
    WriteDemoInstallation(tmp.path(), o);
    for (const char* f : {"Empresas.DBF", "Empresas.MDX", "Empresas.DBT", "EJERCICI.DBF", "EJERCICI.MDX"})
      if (fs::exists(tmp.path() + "/General/" + f))
        fs::copy_file(tmp.path() + "/General/" + f, raiz + "/General/" + f, fs::copy_options::overwrite_existing);
    TTable e, j;
    e.SetDatabaseName(raiz + "/General");
    e.SetTableName("Empresas.DBF");
    e.Open();
    while (e.RecordCount() > 0) {
      e.First();
      e.Delete();
    }
    j.SetDatabaseName(raiz + "/General");
    j.SetTableName("EJERCICI.DBF");
    j.Open();
    for (const auto& [nombre, anos] : empresas) {
      e.Append();
      e.SetFieldValue("NOMBRE", Value::Text(nombre));
      e.Post();
      for (const auto& a : anos) {
        j.Append();
        j.SetFieldValue("EJERCICIO", Value::Text(a));
        j.SetFieldValue("EMPRESA", Value::Text(nombre));
        j.Post();
      }
    }
  }
  std::string raiz;
};

engine::TFieldDef C(const std::string& n, int len) { return {n, TFieldType::ftString, len, 0}; }
engine::TFieldDef N(const std::string& n, int w, int d) { return {n, TFieldType::ftBCD, d, w}; }
engine::TFieldDef I(const std::string& n) { return {n, TFieldType::ftInteger, 0, 0}; }

std::vector<std::string> Nombres(const std::string& path) {
  std::vector<std::string> out;
  auto st = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
  for (const auto& f : st->Fields()) out.push_back(f.name);
  return out;
}

TEST(Actualizacion, EmptyCompanyListStillUpgradesTheCompanyFolder) {
  TempDir d;
  Instalacion inst(d);
  inst.Listas({{"Sin Ejercicios S.L.", {}}});
  inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6), N("sa", 12, 2), N("Sc", 12, 2)}, {{{"CODIGO", Value::Text("1")}}});
  inst.Tabla("General", "Configu.Dbf", {N("Color1", 8, 0), N("Color2", 7, 0), N("Fondo1", 8, 0), N("Fondo2", 9, 0)},
             {{{"Color1", Value::Integer(5)}}});
  const std::string clientes = inst.raiz + "/Empresa/Clientes.Dbf", config = inst.raiz + "/General/Configu.Dbf";
  auto clientes_antes = ReadFileBytes(clientes), config_antes = ReadFileBytes(config);
  Ventana v;
  v.Ejecuta(inst.exe());
  // SA and SC exist in another letter case: not rebuilt. All colours exist: no defaults written.
  EXPECT_EQ(ReadFileBytes(clientes), clientes_antes);
  EXPECT_EQ(ReadFileBytes(config), config_antes);
  // The company folder's stock table was created in three stages.
  EXPECT_EQ(Nombres(inst.raiz + "/Empresa/Existencias.dbf"),
            (std::vector<std::string>{"Criterio", "Iniciales", "1T", "2T", "3T", "4T", "Finales", "Var1T", "Var2T",
                                      "Var3T", "Var4T"}));
  // No progress text names the company without fiscal years.
  for (const auto& [t, r] : v.vista.textos) EXPECT_EQ(t.find("Sin Ejercicios"), std::string::npos);
}

TEST(Actualizacion, ConfigurationDefaultsOnlyInTheRunThatAddsAColour) {
  TempDir d;
  Instalacion inst(d);
  inst.Listas({});
  inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6), C("SA", 10)});  // SA as text stays text
  inst.Tabla("General", "Configu.Dbf", {N("Color1", 8, 0), N("Color2", 7, 0), N("Fondo1", 8, 0)},
             {{{"Color1", Value::Integer(1)}}, {{"Color2", Value::Integer(2)}}, {}});
  Ventana v;
  v.Ejecuta(inst.exe());
  Tabla c = Lee(inst.raiz + "/General/Configu.Dbf");
  EXPECT_EQ(c.campos.back(), "Fondo2:514:9:0");
  EXPECT_EQ(c.filas, (std::vector<std::string>{" |1|8388608|14258790|16777215", " |16777215|2|14258790|16777215",
                                               " |16777215|8388608|14258790|16777215"}));
  Tabla cl = Lee(inst.raiz + "/Empresa/Clientes.Dbf");
  EXPECT_EQ(cl.campos, (std::vector<std::string>{"CODIGO:513:6:0", "SA:513:10:0", "SC:514:12:2"}));

  // Empty a colour value by hand: a later run adds nothing, so writes no default.
  {
    TTable t;
    t.SetDatabaseName(inst.raiz + "/General");
    t.SetTableName("Configu.Dbf");
    t.Open();
    t.Edit();
    t.SetFieldValue("Fondo1", Value::Null());
    t.Post();
  }
  Ventana v2;
  v2.Ejecuta(inst.exe());
  EXPECT_EQ(Lee(inst.raiz + "/General/Configu.Dbf").filas[0], " |1|8388608||16777215");
}

TEST(Actualizacion, EmptyConfigurationGainsTheFieldsAndNoRow) {
  TempDir d;
  Instalacion inst(d);
  inst.Listas({});
  inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6)});
  inst.Tabla("General", "Configu.Dbf", {C("USUARIO", 10)});
  Ventana v;
  v.Ejecuta(inst.exe());
  Tabla c = Lee(inst.raiz + "/General/Configu.Dbf");
  EXPECT_EQ(c.campos, (std::vector<std::string>{"USUARIO:513:10:0", "Color1:514:8:0", "Color2:514:7:0",
                                                "Fondo1:514:8:0", "Fondo2:514:9:0"}));
  EXPECT_TRUE(c.filas.empty());
}

TEST(Actualizacion, UnsafeCompanyNamesStopTheRunBeforeAnythingChanges) {
  for (std::string malo : {std::string("../../etc"), std::string("A\\B"), std::string("C:datos"), std::string("Tab\tulada")}) {
    TempDir d;
    Instalacion inst(d);
    inst.Listas({{"Buena S.L.", {"2004"}}, {malo, {"2004"}}});
    inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6)});
    inst.Tabla("General", "Configu.Dbf", {C("USUARIO", 10)});
    auto antes = ReadFileBytes(inst.raiz + "/Empresa/Clientes.Dbf");
    Ventana v;
    try {
      v.Ejecuta(inst.exe());
      ADD_FAILURE() << malo << " was accepted";
    } catch (const engine::EDatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find(malo), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFileBytes(inst.raiz + "/Empresa/Clientes.Dbf"), antes);
    EXPECT_FALSE(fs::exists(inst.raiz + "/Empresa/Existencias.dbf"));
  }
}

TEST(Actualizacion, AFailedStepClosesTheWorkTableSoASecondRunStartsClean) {
  TempDir d;
  Instalacion inst(d);
  inst.Listas({});
  inst.Tabla("Empresa", "Clientes.Dbf", {C("CODIGO", 6)});
  inst.Tabla("General", "Configu.Dbf", {C("USUARIO", 10)}, {{{"USUARIO", Value::Text("x")}}});
  inst.Tabla("Empresa", "Existencias.dbf", {C("ARTICULO", 10)});  // no Criterio
  Ventana v;
  try {
    v.Ejecuta(inst.exe());
    FAIL();
  } catch (const engine::EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field index not in range");
  }
  EXPECT_FALSE(v.fichero.Active());
  // Clientes and Configu were upgraded before the failure and stay upgraded.
  EXPECT_EQ(Nombres(inst.raiz + "/Empresa/Clientes.Dbf").back(), "SC");
  // After the table is mended, the same window runs again to the end.
  fs::remove(inst.raiz + "/Empresa/Existencias.dbf");
  inst.Tabla("Empresa", "Existencias.dbf", {C("ARTICULO", 10), I("Criterio")}, {{{"Criterio", Value::Integer(3)}}});
  v.Ejecuta(inst.exe());
  Tabla s = Lee(inst.raiz + "/Empresa/Existencias.dbf");
  EXPECT_EQ(s.campos[1], "Criterio:514:1:0");
  EXPECT_EQ(s.filas[0].substr(0, 5), " ||3|");
}

TEST(Actualizacion, AStockTableHeldOpenStopsTheRunAndASecondRunFinishes) {
  TempDir d;
  DemoSummary demo = WriteDemoInstallation(d.path(), {});
  const std::string held = d.path() + "/Empresas/" + demo.companies[1] + "/Ejercicio2004/Existencias.dbf";
  ASSERT_TRUE(fs::exists(held)) << held;
  auto antes = LeeTodas(d.path());
  auto other = std::make_unique<testing_support::TableHeldByAnotherProcess>(fs::path(held).parent_path().string(),
                                                                            "Existencias.dbf");
  ASSERT_TRUE(other->holding());
  ActualizaHastaTablaOcupada(demo.executable);
  // Every table is either upgraded or untouched, never half done.
  for (const auto& [nombre, t] : LeeTodas(d.path())) {
    if (!antes.count(nombre)) continue;  // created by the run: complete by construction
    const Tabla& a = antes.at(nombre);
    bool igual = t.campos == a.campos && t.filas == a.filas;
    bool actualizada = t.campos.size() > a.campos.size() || fs::path(nombre).filename() == "Existencias.dbf";
    EXPECT_TRUE(igual || actualizada) << nombre;
  }
  EXPECT_EQ(other->Release(), 0);
  ActualizaHastaElFinal(demo.executable);
}

}  // namespace
}  // namespace actualiza
