#include "app/core/Demo.h"

#include <algorithm>
#include <random>
#include <stdexcept>

#include "engine/fs.h"
#include "engine/path.h"
#include "engine/table.h"

namespace actualiza {

using engine::TFieldType;
using engine::TTable;
using engine::Value;

namespace {

const char* const kCompanyNames[] = {
    "Bodegas Peñalba, S.L.",     "Viñedos del Duero, S.A.",  "Cooperativa Nuestra Señora",
    "Hermanos Muñoz Ibáñez",     "Almacenes Logroño",        "Distribuciones Castañeda",
    "Aceites Úbeda",             "Quesería La Mancha",       "Frutas Gómez e Hijos",
    "Construcciones Nuñez",      "Cerámicas Alcañiz",        "Panadería Ángel",
    "Élite Muebles, S.L.",       "Ñandú Textil",
};
const char* const kFirstNames[] = {"José", "María", "Íñigo", "Begoña", "Ramón", "Lucía", "Jesús", "Nuria", "Andrés", "Inés"};
const char* const kSurnames[] = {"García", "Martínez", "López", "Sánchez", "Pérez", "Gómez", "Martín", "Jiménez", "Ruiz", "Hernández", "Díaz", "Muñoz"};
const char* const kTowns[] = {"Logroño", "Haro", "Peñafiel", "Aranda de Duero", "Valdepeñas", "Jerez", "Córdoba", "A Coruña"};

std::string Pick(std::mt19937& rng, const char* const* list, size_t n) { return list[rng() % n]; }

void Create(TTable& t, const std::string& folder, const std::string& name,
            const std::vector<engine::TFieldDef>& fields,
            const std::vector<std::pair<std::string, std::string>>& tags = {}, int level = 4) {
  t.Close();
  t.SetTableLevel(level);
  t.SetDatabaseName(folder);
  t.SetTableName(name);
  t.SetTableType(engine::TTableType::ttDBase);
  t.FieldDefs().Clear();
  for (const auto& f : fields) t.FieldDefs().AddFieldDef() = f;
  t.IndexDefs().Clear();
  for (const auto& [tag, expr] : tags) t.IndexDefs().Add(tag, expr);
  t.CreateTable();
}

engine::TFieldDef F(const std::string& name, TFieldType type, int size = 0, int precision = 0) {
  engine::TFieldDef d;
  d.Name = name;
  d.DataType = type;
  d.Size = size;
  d.Precision = precision;
  return d;
}

// A dBASE number field of a given width and decimals.
engine::TFieldDef N(const std::string& name, int width, int decimals) {
  return F(name, TFieldType::ftBCD, decimals, width);
}

void Set(TTable& t, const std::string& field, const Value& v) { t.SetFieldValue(field, v); }

void WriteCustomers(const std::string& folder, const DemoOptions& o, std::mt19937& rng, int64_t base_day) {
  TTable t;
  t.SetName("Clientes");
  Create(t, folder, "Clientes.Dbf",
         {F("CODIGO", TFieldType::ftString, 6), F("NOMBRE", TFieldType::ftString, 40),
          F("NIF", TFieldType::ftString, 12), F("DOMICILIO", TFieldType::ftString, 50),
          F("POBLACION", TFieldType::ftString, 35), F("TELEFONO", TFieldType::ftString, 15),
          N("SALDO", 12, 2), F("FECHAALTA", TFieldType::ftDate), F("ACTIVO", TFieldType::ftBoolean),
          F("NOTAS", TFieldType::ftMemo)},
         {{"CODIGO", "CODIGO"}, {"NOMBRE", "UPPER(NOMBRE)"}});
  t.Open();
  for (int i = 1; i <= o.customers; ++i) {
    t.Append();
    char code[16];
    std::snprintf(code, sizeof code, "C%05d", i % 100000);
    Set(t, "CODIGO", Value::Text(code));
    Set(t, "NOMBRE", Value::Text(Pick(rng, kFirstNames, std::size(kFirstNames)) + " " +
                                 Pick(rng, kSurnames, std::size(kSurnames)) + " " +
                                 Pick(rng, kSurnames, std::size(kSurnames))));
    char nif[16];
    std::snprintf(nif, sizeof nif, "%08u%c", static_cast<unsigned>(rng() % 100000000), "TRWAGMYFPDXBNJZSQVHLCKE"[rng() % 23]);
    Set(t, "NIF", Value::Text(nif));
    Set(t, "DOMICILIO", Value::Text("C/ Mayor, " + std::to_string(1 + rng() % 120)));
    Set(t, "POBLACION", Value::Text(Pick(rng, kTowns, std::size(kTowns))));
    if (i % 7 != 0) Set(t, "TELEFONO", Value::Text("941 " + std::to_string(100000 + rng() % 900000)));
    int64_t cents = static_cast<int64_t>(rng() % 2000000) - 300000;
    char saldo[32];
    std::snprintf(saldo, sizeof saldo, "%s%lld.%02lld", cents < 0 ? "-" : "", static_cast<long long>(std::llabs(cents) / 100),
                  static_cast<long long>(std::llabs(cents) % 100));
    Set(t, "SALDO", Value::Number(static_cast<double>(cents) / 100.0, saldo));
    Set(t, "FECHAALTA", Value::Date(base_day - static_cast<int64_t>(rng() % 3000)));
    Set(t, "ACTIVO", Value::Logical(i % 5 != 0));
    if (i % 3 == 0)
      Set(t, "NOTAS", Value::Text("Cliente desde hace años. Prefiere pago por domiciliación; "
                                  "avisar antes de enviar pedidos a " + Pick(rng, kTowns, std::size(kTowns)) + "."));
    t.Post();
  }
  // A few rows marked deleted, as the host application leaves them.
  t.First();
  int row = 0;
  while (!t.Eof()) {
    ++row;
    if (row % 13 == 0)
      t.Delete();
    else
      t.Next();
  }
  t.Close();
}

void WriteStock(const std::string& folder, const DemoOptions& o, std::mt19937& rng) {
  TTable t;
  t.SetName("Existencias");
  Create(t, folder, "Existencias.dbf",
         {F("ARTICULO", TFieldType::ftString, 15), F("DESCRIPCI", TFieldType::ftString, 40),
          N("CANTIDAD", 10, 2), F("Criterio", TFieldType::ftInteger)});
  t.Open();
  for (int i = 1; i <= o.stock_rows; ++i) {
    t.Append();
    Set(t, "ARTICULO", Value::Text("ART-" + std::to_string(1000 + i)));
    Set(t, "DESCRIPCI", Value::Text(i % 2 ? "Vino tinto crianza 75 cl" : "Aceite de oliva virgen extra 1 l"));
    Set(t, "CANTIDAD", Value::Number(static_cast<double>(rng() % 10000) / 4.0));
    Set(t, "Criterio", Value::Integer(static_cast<int64_t>(rng() % 3)));
    t.Post();
  }
  t.Close();
}

// Creates the folder and whichever of the folders above it are missing.
void CreateFolders(engine::FileSystem& fs, const std::string& dir) {
  if (dir.empty() || fs.IsDirectory(dir)) return;
  std::string parent = engine::DirName(dir);
  if (parent != dir) CreateFolders(fs, parent);
  fs.CreateDirectory(dir);
}

}  // namespace

DemoSummary WriteDemoInstallation(const std::string& dir, const DemoOptions& o) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  std::mt19937 rng(o.seed);
  DemoSummary sum;
  const std::string root = engine::NormalizeSeparators(dir);
  // An installation is never written over: the folder must be new or empty.
  if (fs.Exists(root) && !(fs.IsDirectory(root) && fs.List(root).empty()))
    throw std::runtime_error("La carpeta " + dir +
                             " no está vacía (o no es una carpeta): la instalación de demostración se escribe en "
                             "una carpeta nueva o vacía, para no sustituir otra instalación. Elija otra carpeta.");
  CreateFolders(fs, root);
  sum.executable = engine::JoinPath(root, "Tribanor.exe");
  {
    const std::string mark = "MZ demo\n";
    fs.Open(sum.executable, engine::OpenMode::kCreate)->WriteAt(0, mark.data(), mark.size());
  }
  const std::string general = engine::JoinPath(root, "General");
  const std::string empresa = engine::JoinPath(root, "Empresa");
  CreateFolders(fs, general);
  CreateFolders(fs, empresa);
  const int64_t today = engine::DayFromCivil(2004, 12, 31);

  std::vector<std::string> names;
  for (int i = 0; i < o.companies; ++i) {
    std::string n = kCompanyNames[i % std::size(kCompanyNames)];
    if (i >= static_cast<int>(std::size(kCompanyNames))) {
      n += ' ';
      n += std::to_string(i / std::size(kCompanyNames) + 1);
    }
    names.push_back(n);
  }

  // General: companies, fiscal years, configuration.
  {
    TTable t;
    t.SetName("Empresas");
    // The lists of the shared folder are dBASE 7 tables: their field names are longer than
    // older levels allow.
    Create(t, general, "Empresas.DBF",
           {F("NOMBRE", TFieldType::ftString, 50), F("REGIMENFISCAL", TFieldType::ftSmallint),
            F("ACTIVIDAD", TFieldType::ftSmallint), F("NIVEL", TFieldType::ftSmallint),
            F("SEGURIDAD", TFieldType::ftSmallint), F("CODIGO", TFieldType::ftString, 4),
            F("NIF", TFieldType::ftString, 12), F("NIFREP", TFieldType::ftString, 12),
            F("CODPOST", TFieldType::ftString, 5), F("CODADM", TFieldType::ftString, 5),
            F("CNAE", TFieldType::ftString, 5), F("IAE", TFieldType::ftString, 5),
            F("TELEFONO", TFieldType::ftString, 15), F("FAX", TFieldType::ftString, 15),
            F("MOVIL", TFieldType::ftString, 15), F("REPRESENTANTE", TFieldType::ftString, 40),
            F("CARGO", TFieldType::ftString, 25), F("DELEGACION", TFieldType::ftString, 20),
            F("ADMINISTRACION", TFieldType::ftString, 20), F("CCC", TFieldType::ftString, 23),
            F("OBSERVACIONES", TFieldType::ftMemo), F("LOGOTIPO", TFieldType::ftGraphic),
            F("AutoAjuste", TFieldType::ftBoolean), F("DOMICILIO", TFieldType::ftString, 50),
            F("WWW", TFieldType::ftString, 50), F("EMAIL", TFieldType::ftString, 50),
            F("LOCALIDAD", TFieldType::ftString, 35), F("PROVINCIA", TFieldType::ftString, 35),
            F("BANCO", TFieldType::ftString, 30), F("OFICINA", TFieldType::ftString, 30)},
           {{"NOMBRE", "NOMBRE"}}, 7);
    t.Open();
    // Written out of alphabetical order: the index gives the order.
    std::vector<std::string> order = names;
    std::reverse(order.begin(), order.end());
    int code = 1;
    for (const auto& n : order) {
      t.Append();
      Set(t, "NOMBRE", Value::Text(n));
      Set(t, "CODIGO", Value::Text(std::to_string(code++)));
      Set(t, "LOCALIDAD", Value::Text(Pick(rng, kTowns, std::size(kTowns))));
      Set(t, "NIVEL", Value::Integer(1 + static_cast<int64_t>(rng() % 3)));
      Set(t, "AutoAjuste", Value::Logical(false));
      t.Post();
    }
    t.Close();
  }
  {
    TTable t;
    t.SetName("Ejercicios");
    Create(t, general, "EJERCICI.DBF",
           {F("EJERCICIO", TFieldType::ftString, 4), F("MONEDA", TFieldType::ftString, 3),
            F("FechaInicial", TFieldType::ftDate), F("FechaFinal", TFieldType::ftDate),
            F("DiarioMinima", TFieldType::ftDate), F("DiarioMaxima", TFieldType::ftDate),
            F("EMPRESA", TFieldType::ftString, 50)},
           {{"EMPRESA", "EMPRESA"}}, 7);
    t.Open();
    for (size_t c = 0; c + 1 < names.size() || (names.size() == 1 && c == 0); ++c) {
      for (int y = 0; y < o.years_per_company; ++y) {
        int year = 2004 - y;
        t.Append();
        Set(t, "EJERCICIO", Value::Text(std::to_string(year)));
        Set(t, "MONEDA", Value::Text(year < 2002 ? "PTA" : "EUR"));
        Set(t, "FechaInicial", Value::Date(engine::DayFromCivil(year, 1, 1)));
        Set(t, "FechaFinal", Value::Date(engine::DayFromCivil(year, 12, 31)));
        Set(t, "EMPRESA", Value::Text(names[c]));
        t.Post();
        ++sum.fiscal_years;
      }
    }
    t.Close();
  }
  {
    // Version 1.1 has the first two colours only, and some of their values empty.
    TTable t;
    t.SetName("Configu");
    Create(t, general, "Configu.Dbf",
           {F("USUARIO", TFieldType::ftString, 20), N("Color1", 8, 0), N("Color2", 7, 0),
            F("IMPRESORA", TFieldType::ftString, 40)});
    t.Open();
    for (int i = 0; i < 3; ++i) {
      t.Append();
      Set(t, "USUARIO", Value::Text(i == 0 ? "ADMINISTRADOR" : i == 1 ? "Contabilidad" : "Almacén"));
      if (i != 1) Set(t, "Color1", Value::Integer(i == 0 ? 12632256 : 16777215));
      if (i == 2) Set(t, "Color2", Value::Integer(128));
      t.Post();
    }
    t.Close();
  }
  sum.tables += 3;

  WriteCustomers(empresa, o, rng, today);
  WriteStock(empresa, o, rng);
  sum.tables += 2;

  // One folder per company and fiscal year; the stock table exists in every other folder, and the
  // first company's newest year has no customers.
  int folder_no = 0;
  for (size_t c = 0; c + 1 < names.size() || (names.size() == 1 && c == 0); ++c) {
    for (int y = 0; y < o.years_per_company; ++y) {
      const std::string folder =
          engine::JoinPath(engine::JoinPath(engine::JoinPath(root, "Empresas"), names[c]), "Ejercicio" + std::to_string(2004 - y));
      CreateFolders(fs, folder);
      DemoOptions here = o;
      if (c == 0 && y == 0) here.customers = 0;
      WriteCustomers(folder, here, rng, engine::DayFromCivil(2004 - y, 12, 31));
      ++sum.tables;
      if (folder_no++ % 2 == 0) {
        WriteStock(folder, o, rng);
        ++sum.tables;
      }
    }
  }
  sum.companies = names;
  std::sort(sum.companies.begin(), sum.companies.end());
  return sum;
}

}  // namespace actualiza
