// Table objects: the data-access layer through which the wizard and the restructuring component
// open, create, browse and edit tables, in the manner of a component framework (TTable, TField,
// TDataSource, EDatabaseError).
//
// A TTable names a table by DatabaseName (a folder: any name holding ':', '\' or '/') and
// TableName (a file name; ".DBF" dBASE, ".DB" Paradox). Opening it takes an operating-system lock:
// shared, or exclusive when Exclusive is set; an exclusive open fails at once while any other
// holder has the table open, and every open fails while an exclusive holder has it.
//
// Errors: engine failures raise EDBEngineError (message and context lines); misuse of a table
// object raises EDatabaseError "<object name>: <text>".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/bde.h"
#include "engine/value.h"

namespace engine {

class Cursor;
class Database;

// ---- Errors ---------------------------------------------------------------------------------

class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& msg) : std::runtime_error(msg) {}
};

class EDBEngineError : public EDatabaseError {
 public:
  explicit EDBEngineError(const EngineError& e);
  DBIResult ErrorCode() const { return code_; }
  const std::string& EngineMessage() const { return message_; }
  const std::vector<std::string>& Context() const { return context_; }

 private:
  DBIResult code_;
  std::string message_;
  std::vector<std::string> context_;
};

// The framework's conversion error ("'%s' no es un valor entero válido", ...).
class EConvertError : public std::runtime_error {
 public:
  explicit EConvertError(const std::string& msg) : std::runtime_error(msg) {}
};

// The check routine: a non-zero result raises EDBEngineError with the failed call's message and
// context (or "Error BDE $xxxx" when the engine has no text for it).
void Check(DBIResult result);

// Raises EDatabaseError(msg).
[[noreturn]] void DatabaseError(const std::string& msg);

// Texts of the framework's errors, as the Spanish framework words them.
namespace texts {
inline constexpr const char* kDataSetOpen =
    "No se puede realizar esta operación en una fuente de datos abierta";
inline constexpr const char* kDataSetClosed =
    "No se puede realizar esta operación en una fuente de datos cerrada";
inline constexpr const char* kFieldNotFound = "No se encuentra el campo '%s'";
inline constexpr const char* kFieldTypeMismatch = "El campo '%s' no es del tipo esperado %s, es %s";
inline constexpr const char* kNotEditing = "La fuente de datos no está en modo de edición o inserción";
inline constexpr const char* kNoTableName = "Falta el nombre de la tabla";
}  // namespace texts

// ---- Component base --------------------------------------------------------------------------

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& n) { name_ = n; }
  // Components owned by this one, in creation order (owned components are destroyed with it).
  const std::vector<TComponent*>& Components() const { return components_; }

 private:
  TComponent* owner_;
  std::string name_;
  std::vector<TComponent*> components_;
};

// ---- Field definitions and index definitions ------------------------------------------------

enum class TFieldType {
  ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD,
  ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic,
  ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftLargeint
};
const char* FieldTypeName(TFieldType t);  // "String", "Integer", ... as the framework names them

struct TFieldDef {
  std::string Name;
  TFieldType DataType = TFieldType::ftUnknown;
  int Size = 0;       // text length, number width (dBASE), BCD places
  int Precision = 0;  // decimals of a dBASE number
  bool Required = false;
};

class TFieldDefs {
 public:
  void Clear() { items_.clear(); }
  void Add(const std::string& name, TFieldType type, int size = 0, bool required = false);
  TFieldDef& AddFieldDef();
  int Count() const { return static_cast<int>(items_.size()); }
  TFieldDef& operator[](int i) { return items_.at(i); }
  const TFieldDef& operator[](int i) const { return items_.at(i); }
  int IndexOf(const std::string& name) const;  // case-insensitive, -1 if none

 private:
  std::vector<TFieldDef> items_;
};

enum TIndexOption : unsigned {
  ixPrimary = 1, ixUnique = 2, ixDescending = 4, ixCaseInsensitive = 8, ixExpression = 16
};

struct TIndexDef {
  std::string Name;        // tag name
  std::string Expression;  // key expression (dBASE: "NOMBRE", "UPPER(NOMBRE)+DTOS(FECHA)")
  std::string Filter;      // dBASE FOR clause, "" for none
  unsigned Options = 0;    // TIndexOption bits
};

class TIndexDefs {
 public:
  void Clear() { items_.clear(); }
  void Add(const std::string& name, const std::string& expression, unsigned options = 0,
           const std::string& filter = "");
  int Count() const { return static_cast<int>(items_.size()); }
  TIndexDef& operator[](int i) { return items_.at(i); }
  const TIndexDef& operator[](int i) const { return items_.at(i); }

 private:
  std::vector<TIndexDef> items_;
};

// ---- Fields ------------------------------------------------------------------------------------

class TDataSet;

// The kinds that binding a declared field checks (a text field of another size is accepted).
enum class TFieldKind { Text, Integer, Float, DateTime, Blob, Logical, Other };
TFieldKind KindOf(TFieldType t);

class TField : public TComponent {
 public:
  TField(TComponent* owner, TFieldType type);
  TFieldType DataType() const { return type_; }
  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(const std::string& n) { field_name_ = n; }
  int Size() const { return size_; }
  void SetSize(int s) { size_ = s; }
  bool Required() const { return required_; }
  void SetRequired(bool r) { required_ = r; }
  const std::string& DisplayLabel() const { return label_.empty() ? field_name_ : label_; }
  void SetDisplayLabel(const std::string& l) { label_ = l; }
  int DisplayWidth() const { return display_width_ ? display_width_ : size_; }
  void SetDisplayWidth(int w) { display_width_ = w; }
  bool Visible() const { return visible_; }
  void SetVisible(bool v) { visible_ = v; }
  const std::string& DefaultExpression() const { return default_expr_; }
  void SetDefaultExpression(const std::string& e) { default_expr_ = e; }
  int FieldNo() const { return field_no_; }   // 1-based position in the table while bound
  TDataSet* DataSet() const { return dataset_; }

  // Values of the current row (the dataset must be open).
  Value AsValue() const;
  bool IsNull() const;
  std::string AsString() const;       // text without padding blanks; "" for null
  int64_t AsInteger() const;          // EConvertError when not a whole number
  double AsFloat() const;
  bool AsBoolean() const;
  std::string Text() const;           // the display text of the value
  void SetValue(const Value& v);      // dataset in edit or insert mode
  void SetAsString(const std::string& s);
  void SetAsInteger(int64_t n);
  void SetAsFloat(double x);

 private:
  friend class TDataSet;
  friend class TTable;
  TFieldType type_;
  std::string field_name_;
  std::string label_;
  std::string default_expr_;
  int size_ = 0;
  int display_width_ = 0;
  bool required_ = false;
  bool visible_ = true;
  int field_no_ = 0;
  TDataSet* dataset_ = nullptr;
};

// Declared field classes, as a window declares them for its tables.
#define ENGINE_DECLARE_FIELD(Cls, Type) \
  class Cls : public TField {           \
   public:                              \
    explicit Cls(TComponent* owner) : TField(owner, TFieldType::Type) {} \
  };
ENGINE_DECLARE_FIELD(TStringField, ftString)
ENGINE_DECLARE_FIELD(TSmallintField, ftSmallint)
ENGINE_DECLARE_FIELD(TIntegerField, ftInteger)
ENGINE_DECLARE_FIELD(TFloatField, ftFloat)
ENGINE_DECLARE_FIELD(TDateField, ftDate)
ENGINE_DECLARE_FIELD(TMemoField, ftMemo)
ENGINE_DECLARE_FIELD(TGraphicField, ftGraphic)
ENGINE_DECLARE_FIELD(TBooleanField, ftBoolean)
#undef ENGINE_DECLARE_FIELD

// ---- Data sets and data sources ------------------------------------------------------------

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

class TDataSource;
class TTable;

class TDataSet : public TComponent {
 public:
  using TComponent::TComponent;
  ~TDataSet() override;
  virtual TDataSetState State() const = 0;
  bool Active() const { return State() != TDataSetState::dsInactive; }
  virtual void SetActive(bool on) = 0;
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }

  // Fields: declared ones when any were declared, else one per column, made at open.
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  TField* Fields(int i) const { return fields_.at(i); }
  TField* FindField(const std::string& name) const;  // case-insensitive; nullptr if none
  TField* FieldByName(const std::string& name) const; // raises "No se encuentra el campo '%s'"
  // Declares a field: the dataset owns it and binds it by name at every open.
  template <class F>
  F* DeclareField(const std::string& name, int size = 0) {
    auto* f = new F(this);
    f->SetFieldName(name);
    f->SetSize(size);
    declared_.push_back(f);
    return f;
  }

  void AddDataSource(TDataSource* ds);
  void RemoveDataSource(TDataSource* ds);

 protected:
  friend class TField;
  virtual Value GetFieldValue(const TField& f) const = 0;
  virtual void SetFieldValue(TField& f, const Value& v) = 0;
  // Tells every data source that the dataset opened, closed, moved or changed its rows.
  void NotifyDataChange();
  std::vector<TField*> fields_;
  std::vector<TField*> declared_;
  std::vector<std::unique_ptr<TField>> generated_;
  std::vector<TDataSource*> sources_;
};

// Links a dataset to its viewers (grids, models) and to detail tables.
class TDataSource : public TComponent {
 public:
  explicit TDataSource(TComponent* owner = nullptr) : TComponent(owner) {}
  ~TDataSource() override;
  TDataSet* DataSet() const { return dataset_; }
  void SetDataSet(TDataSet* ds);
  // Listeners run after each change of the dataset's state, position or rows. The id removes one.
  int AddListener(std::function<void()> fn);
  void RemoveListener(int id);
  void DataChanged();  // called by the dataset

 private:
  friend class TTable;
  TDataSet* dataset_ = nullptr;
  std::vector<TTable*> details_;  // tables that use this source as their master
  std::vector<std::pair<int, std::function<void()>>> listeners_;
  int next_id_ = 1;
};

// ---- Tables ----------------------------------------------------------------------------------

enum class TTableType { ttDefault, ttParadox, ttDBase, ttFoxPro, ttASCII };

class TTable : public TDataSet {
 public:
  explicit TTable(TComponent* owner = nullptr);
  ~TTable() override;

  // Settings (change only while closed; setting the value held is no change).
  const std::string& DatabaseName() const { return database_name_; }
  void SetDatabaseName(const std::string& v);
  const std::string& TableName() const { return table_name_; }
  void SetTableName(const std::string& v);
  TTableType TableType() const { return table_type_; }
  void SetTableType(TTableType t);
  // The level CreateTable writes (dBASE 3, 4, 5 or 7; Paradox 3, 4, 5 or 7); 0 chooses dBASE 4 or
  // Paradox 7.
  int TableLevel() const { return table_level_; }
  void SetTableLevel(int level) { table_level_ = level; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool v);
  // A read-only table object opens the files for reading only and changes nothing on disk: it
  // does not finish a restructure that a crash interrupted (the open fails instead, as while a
  // restructure runs).
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool v);
  const std::string& IndexName() const { return index_name_; }
  void SetIndexName(const std::string& v);   // may change while open: reorders
  TDataSource* MasterSource() const { return master_source_; }
  void SetMasterSource(TDataSource* ds);
  const std::string& MasterFields() const { return master_fields_; }
  void SetMasterFields(const std::string& v);
  TFieldDefs& FieldDefs() { return field_defs_; }
  TIndexDefs& IndexDefs() { return index_defs_; }

  TDataSetState State() const override { return state_; }
  void SetActive(bool on) override;

  // The table's file exists (true while open).
  bool Exists();
  // Creates the table from FieldDefs and IndexDefs, overwriting an existing file; stays closed.
  void CreateTable();

  // Navigation in the current order and range. Moving posts a pending edit whose values changed
  // and drops an unchanged one.
  void First();
  void Next();
  void Prior();
  void Last();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  int64_t RecordCount() const;       // rows in the current range
  int64_t RecNo() const;             // 1-based position in the current order, 0 when none
  void SetRecNo(int64_t n);          // moves to that position
  // Reads a value of the row at a position of the current order without moving (for views).
  Value ValueAt(int64_t recno, int fieldIndex) const;

  void Edit();
  void Append();                      // a new row, written at Post
  void Post();
  void Cancel();
  void Delete();                      // marks the current row deleted
  // Values by column name (case-insensitive); Null for a column without a value.
  Value FieldValue(const std::string& name) const;
  void SetFieldValue(const std::string& name, const Value& v);

  // Engine handles, for the engine calls of bde.h.
  bde::hDBICur Handle() const;
  bde::hDBIDb DBHandle() const;

 protected:
  Value GetFieldValue(const TField& f) const override;
  void SetFieldValue(TField& f, const Value& v) override;

 private:
  friend class TDataSource;
  void CheckInactive() const;
  void CheckActive() const;
  void DoOpen();
  void DoClose();
  void BindFields();
  void MasterChanged();
  void PostIfChanged();
  int ColumnOf(const std::string& name) const;
  Value ColumnValue(int col) const;
  void SetColumnValue(int col, const Value& v);

  std::string database_name_, table_name_, index_name_, master_fields_;
  TTableType table_type_ = TTableType::ttDefault;
  bool exclusive_ = false;
  bool read_only_ = false;
  int table_level_ = 0;
  TDataSource* master_source_ = nullptr;
  int master_listener_ = 0;
  TFieldDefs field_defs_;
  TIndexDefs index_defs_;
  TDataSetState state_ = TDataSetState::dsInactive;
  std::unique_ptr<Cursor> cursor_;
  bool eof_ = true, bof_ = true;
  bool dirty_ = false;        // rows written since open: flush at close
  std::string edit_buf_;      // the row being edited or inserted
};

struct FieldSpec;
// The framework type of a stored field (dBASE N(4,0) is Smallint, N(9,0) Integer, ...).
TFieldType FieldTypeOfSpec(const FieldSpec& f);
// The stored field that a field definition creates in a table of this format and level; throws
// EngineError kInvalidFieldType when the level has no such type.
FieldSpec SpecOfFieldDef(const TFieldDef& def, bool paradox, int level);

}  // namespace engine
