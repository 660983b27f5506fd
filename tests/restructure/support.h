// Tables for the component's tests, made and read back through the engine.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine/storage.h"
#include "engine/table.h"
#include "engine/value.h"
#include "tests/support/temp_dir.h"

namespace restructure_test {

// A dBASE table "Clientes.Dbf" (level 4, through TTable::CreateTable) with the fields NOMBRE
// C(20), SALDO N(10,2), ALTA D, NOTAS M, ACTIVO L, optionally an index tag NOMBRE, and five rows
// of which the third is marked deleted. Returns false when this build has no dBASE storage.
bool MakeClientes(const std::string& dir, bool with_index = false);
// The wizard's stock table "Existencias.dbf", asked for at level 3, with CODIGO C(8), CRITERIO
// (an integer field: N(11,0)), NOTAS M and three rows. Returns false when this build has no dBASE
// storage.
bool MakeExistencias(const std::string& dir);
// Copies a sample table (and its memo file, when it has one) from the samples folder into dir;
// false when the samples are absent.
bool CopySample(const std::string& relative_dbf, const std::string& dir);

// What the engine reads back: field names in order and, per live row in file order, the value of
// each field by name.
struct Snapshot {
  std::vector<std::string> fields;
  std::vector<std::map<std::string, engine::Value>> rows;
};
Snapshot ReadBack(const std::string& dir, const std::string& table);

// Physical records of a dBASE table, deleted ones included, and how many of them are deleted.
struct PhysicalCount {
  uint64_t records = 0;
  uint64_t deleted = 0;
};
PhysicalCount CountRecords(const std::string& path);

// The rows that MakeClientes writes, live ones only, in file order.
std::vector<std::map<std::string, engine::Value>> ClientesRows();

// ---- Definitions ------------------------------------------------------------------------------

inline std::vector<std::map<std::string, engine::Value>> ClientesRows() {
  using engine::Value;
  const std::string long_memo(1500, 'm');
  return {
      {{"NOMBRE", Value::Text("García")}, {"SALDO", Value::Number(1234.5, "1234.50")},
       {"ALTA", Value::Date(engine::DayFromCivil(2024, 1, 15))},
       {"NOTAS", Value::Text("Cliente desde 1990.\r\nPaga al contado.")},
       {"ACTIVO", Value::Logical(true)}},
      {{"NOMBRE", Value::Text("López")}, {"SALDO", Value::Number(-20.25, "-20.25")},
       {"ALTA", Value::Null()}, {"NOTAS", Value::Null()}, {"ACTIVO", Value::Logical(false)}},
      {{"NOMBRE", Value::Text("Núñez")}, {"SALDO", Value::Null()},
       {"ALTA", Value::Date(engine::DayFromCivil(2023, 12, 31))}, {"NOTAS", Value::Text(long_memo)},
       {"ACTIVO", Value::Null()}},
      {{"NOMBRE", Value::Text("Ortega")}, {"SALDO", Value::Number(0, "0.00")},
       {"ALTA", Value::Date(engine::DayFromCivil(1999, 2, 28))}, {"NOTAS", Value::Text("corto")},
       {"ACTIVO", Value::Logical(true)}},
  };
}

namespace detail {
inline bool NotSupported(const engine::EDBEngineError& e) {
  return e.ErrorCode() == engine::err::kNotSupported;
}
}  // namespace detail

inline bool MakeClientes(const std::string& dir, bool with_index) {
  using engine::TFieldType;
  engine::TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Clientes.Dbf");
  t.SetTableType(engine::TTableType::ttDBase);
  t.FieldDefs().Add("NOMBRE", TFieldType::ftString, 20);
  engine::TFieldDef& saldo = t.FieldDefs().AddFieldDef();
  saldo.Name = "SALDO";
  saldo.DataType = TFieldType::ftFloat;
  saldo.Size = 10;
  saldo.Precision = 2;
  t.FieldDefs().Add("ALTA", TFieldType::ftDate);
  t.FieldDefs().Add("NOTAS", TFieldType::ftMemo);
  t.FieldDefs().Add("ACTIVO", TFieldType::ftBoolean);
  if (with_index) t.IndexDefs().Add("NOMBRE", "NOMBRE");
  try {
    t.CreateTable();
  } catch (const engine::EDBEngineError& e) {
    if (detail::NotSupported(e)) return false;
    throw;
  }
  auto rows = ClientesRows();
  // The row that is deleted afterwards goes third.
  rows.insert(rows.begin() + 2, {{"NOMBRE", engine::Value::Text("Borrado")},
                                 {"SALDO", engine::Value::Number(99, "99.00")},
                                 {"NOTAS", engine::Value::Text("memo de una fila borrada")}});
  t.Open();
  for (const auto& row : rows) {
    t.Append();
    for (const auto& [name, value] : row)
      if (!value.IsNull()) t.SetFieldValue(name, value);
    t.Post();
  }
  t.First();
  t.Next();
  t.Next();
  t.Delete();
  t.Close();
  return true;
}

inline bool MakeExistencias(const std::string& dir) {
  using engine::TFieldType;
  engine::TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Existencias.dbf");
  t.SetTableType(engine::TTableType::ttDBase);
  t.SetTableLevel(3);
  t.FieldDefs().Add("CODIGO", TFieldType::ftString, 8);
  t.FieldDefs().Add("CRITERIO", TFieldType::ftInteger);
  t.FieldDefs().Add("NOTAS", TFieldType::ftMemo);
  try {
    t.CreateTable();
  } catch (const engine::EDBEngineError& e) {
    if (detail::NotSupported(e)) return false;
    throw;
  }
  t.Open();
  const char* codes[] = {"A-1", "B-22", "C-333"};
  for (int i = 0; i < 3; ++i) {
    t.Append();
    t.SetFieldValue("CODIGO", engine::Value::Text(codes[i]));
    t.SetFieldValue("CRITERIO", engine::Value::Integer(i * 3));
    t.SetFieldValue("NOTAS", engine::Value::Text(std::string("nota ") + codes[i]));
    t.Post();
  }
  t.Close();
  return true;
}

inline bool CopySample(const std::string& relative_dbf, const std::string& dir) {
  const std::string root = testing_support::SamplesDir();
  if (root.empty()) return false;
  const std::string from = root + "/" + relative_dbf;
  if (!testing_support::FileExists(from)) return false;
  const std::string base = relative_dbf.substr(relative_dbf.find_last_of('/') + 1);
  testing_support::CopyFile(from, dir + "/" + base);
  const std::string memo = from.substr(0, from.size() - 3) + "dbt";
  if (testing_support::FileExists(memo))
    testing_support::CopyFile(memo, dir + "/" + base.substr(0, base.size() - 3) + "dbt");
  return true;
}

inline Snapshot ReadBack(const std::string& dir, const std::string& table) {
  Snapshot s;
  engine::TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName(table);
  t.Open();
  for (int i = 0; i < t.FieldCount(); ++i) s.fields.push_back(t.Fields(i)->FieldName());
  for (t.First(); !t.Eof(); t.Next()) {
    std::map<std::string, engine::Value> row;
    for (const auto& f : s.fields) row[f] = t.FieldValue(f);
    s.rows.push_back(row);
  }
  t.Close();
  return s;
}

inline PhysicalCount CountRecords(const std::string& path) {
  engine::OpenOptions o;
  o.read_only = true;
  auto st = engine::OpenStorage(path, engine::TableFormat::kDbase, o);
  PhysicalCount c;
  c.records = st->RecordCount();
  std::string buf;
  for (uint64_t i = 1; i <= c.records; ++i) {
    st->ReadRecord(i, &buf);
    if (st->IsDeleted(buf)) ++c.deleted;
  }
  return c;
}

}  // namespace restructure_test
