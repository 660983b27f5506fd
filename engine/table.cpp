#include "engine/table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/cursor.h"
#include "engine/database.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"
#include "engine/restructure.h"
#include "engine/swap.h"
#include "engine/storage.h"

namespace engine {

// ---- Errors ----------------------------------------------------------------------------------

EDBEngineError::EDBEngineError(const EngineError& e)
    : EDatabaseError(e.what()), code_(e.code()), message_(e.message()), context_(e.context()) {}

void Check(DBIResult result) {
  if (result == bde::DBIERR_NONE) return;
  const EngineError* last = bde::DbiLastError();
  if (last && last->code() == result) throw EDBEngineError(*last);
  char buf[32];
  std::snprintf(buf, sizeof buf, "Error BDE $%.4x", static_cast<unsigned>(result));
  throw EDBEngineError(EngineError(result, buf));
}

void DatabaseError(const std::string& msg) { throw EDatabaseError(msg); }

namespace {

std::string Format1(const char* pattern, const std::string& a) {
  std::string s = pattern;
  auto p = s.find("%s");
  if (p != std::string::npos) s.replace(p, 2, a);
  return s;
}

std::string Format3(const char* pattern, const std::string& a, const std::string& b, const std::string& c) {
  return Format1(Format1(Format1(pattern, a).c_str(), b).c_str(), c);
}

// Runs engine work, turning engine failures into the framework's engine error.
template <class F>
auto Engine(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const EngineError& e) {
    throw EDBEngineError(e);
  }
}

}  // namespace

// ---- Components ------------------------------------------------------------------------------

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  // Destroy owned components, last created first.
  while (!components_.empty()) {
    TComponent* c = components_.back();
    components_.pop_back();
    c->owner_ = nullptr;
    delete c;
  }
  if (owner_) {
    auto& v = owner_->components_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
}

// ---- Definitions -----------------------------------------------------------------------------

const char* FieldTypeName(TFieldType t) {
  switch (t) {
    case TFieldType::ftUnknown: return "Unknown";
    case TFieldType::ftString: return "String";
    case TFieldType::ftSmallint: return "Smallint";
    case TFieldType::ftInteger: return "Integer";
    case TFieldType::ftWord: return "Word";
    case TFieldType::ftBoolean: return "Boolean";
    case TFieldType::ftFloat: return "Float";
    case TFieldType::ftCurrency: return "Currency";
    case TFieldType::ftBCD: return "BCD";
    case TFieldType::ftDate: return "Date";
    case TFieldType::ftTime: return "Time";
    case TFieldType::ftDateTime: return "DateTime";
    case TFieldType::ftBytes: return "Bytes";
    case TFieldType::ftVarBytes: return "VarBytes";
    case TFieldType::ftAutoInc: return "AutoInc";
    case TFieldType::ftBlob: return "Blob";
    case TFieldType::ftMemo: return "Memo";
    case TFieldType::ftGraphic: return "Graphic";
    case TFieldType::ftFmtMemo: return "FmtMemo";
    case TFieldType::ftParadoxOle: return "ParadoxOle";
    case TFieldType::ftDBaseOle: return "DBaseOle";
    case TFieldType::ftTypedBinary: return "TypedBinary";
    case TFieldType::ftLargeint: return "Largeint";
  }
  return "Unknown";
}

TFieldKind KindOf(TFieldType t) {
  switch (t) {
    case TFieldType::ftString: return TFieldKind::Text;
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftWord:
    case TFieldType::ftAutoInc:
    case TFieldType::ftLargeint: return TFieldKind::Integer;
    case TFieldType::ftFloat:
    case TFieldType::ftCurrency:
    case TFieldType::ftBCD: return TFieldKind::Float;
    case TFieldType::ftDate:
    case TFieldType::ftTime:
    case TFieldType::ftDateTime: return TFieldKind::DateTime;
    case TFieldType::ftBlob:
    case TFieldType::ftMemo:
    case TFieldType::ftGraphic:
    case TFieldType::ftFmtMemo:
    case TFieldType::ftParadoxOle:
    case TFieldType::ftDBaseOle:
    case TFieldType::ftTypedBinary: return TFieldKind::Blob;
    case TFieldType::ftBoolean: return TFieldKind::Logical;
    default: return TFieldKind::Other;
  }
}

void TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required) {
  TFieldDef d;
  d.Name = name;
  d.DataType = type;
  d.Size = size;
  d.Required = required;
  items_.push_back(d);
}

TFieldDef& TFieldDefs::AddFieldDef() {
  items_.emplace_back();
  return items_.back();
}

int TFieldDefs::IndexOf(const std::string& name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (SameNameIgnoringCase(items_[i].Name, name)) return static_cast<int>(i);
  return -1;
}

void TIndexDefs::Add(const std::string& name, const std::string& expression, unsigned options,
                     const std::string& filter) {
  items_.push_back({name, expression, filter, options});
}

// ---- Fields ------------------------------------------------------------------------------------

TField::TField(TComponent* owner, TFieldType type) : TComponent(owner), type_(type) {}

namespace {

std::string DateText(int64_t day) {
  int y, m, d;
  CivilFromDay(day, &y, &m, &d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", d, m, y);
  return buf;
}

std::string TimeText(int64_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d:%02d:%02d", static_cast<int>(ms / 3600000),
                static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60));
  return buf;
}

bool ParseInteger(const std::string& text, int64_t* out) {
  std::string t = text;
  while (!t.empty() && t.back() == ' ') t.pop_back();
  size_t p = t.find_first_not_of(' ');
  if (p == std::string::npos) return false;
  t = t.substr(p);
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(t.c_str(), &end, 10);
  if (errno || !end || *end) return false;
  *out = v;
  return true;
}

bool ParseFloat(const std::string& text, double* out) {
  std::string t = text;
  for (char& c : t)
    if (c == ',') c = '.';
  size_t p = t.find_first_not_of(' ');
  if (p == std::string::npos) return false;
  char* end = nullptr;
  double v = std::strtod(t.c_str() + p, &end);
  while (end && *end == ' ') ++end;
  if (!end || *end) return false;
  *out = v;
  return true;
}

}  // namespace

Value TField::AsValue() const {
  if (!dataset_) DatabaseError(Name() + ": " + "El campo no está enlazado a una tabla abierta");
  return dataset_->GetFieldValue(*this);
}

bool TField::IsNull() const { return AsValue().IsNull(); }

std::string TField::AsString() const {
  Value v = AsValue();
  switch (v.kind) {
    case Value::Kind::Null: return "";
    case Value::Kind::Text:
    case Value::Kind::Binary: return v.s;
    case Value::Kind::Logical: return v.i ? "True" : "False";
    case Value::Kind::Date: return DateText(v.i);
    case Value::Kind::Time: return TimeText(v.i);
    case Value::Kind::Timestamp: {
      int64_t day = v.i / kMsPerDay, ms = v.i % kMsPerDay;
      return DateText(day) + " " + TimeText(ms);
    }
    default: return v.DecimalText();
  }
}

std::string TField::Text() const {
  if (KindOf(type_) == TFieldKind::Blob) {
    bool has = !IsNull();
    const char* word = type_ == TFieldType::ftMemo || type_ == TFieldType::ftFmtMemo ? "memo"
                       : type_ == TFieldType::ftGraphic                              ? "graphic"
                                                                                     : "blob";
    std::string w = word;
    if (has)
      for (char& c : w) c = static_cast<char>(c - 32);
    return "(" + w + ")";
  }
  return AsString();
}

int64_t TField::AsInteger() const {
  Value v = AsValue();
  switch (v.kind) {
    case Value::Kind::Null: return 0;
    case Value::Kind::Integer:
    case Value::Kind::Logical: return v.i;
    case Value::Kind::Number: {
      int64_t n;
      if (ParseInteger(v.DecimalText(), &n)) return n;
      if (std::floor(v.d) == v.d && std::fabs(v.d) < 9.2e18) return static_cast<int64_t>(v.d);
      throw EConvertError(Format1("'%s' no es un valor entero válido", v.DecimalText()));
    }
    case Value::Kind::Text: {
      int64_t n;
      if (ParseInteger(v.s, &n)) return n;
      throw EConvertError(Format1("'%s' no es un valor entero válido", v.s));
    }
    default: return v.i;
  }
}

double TField::AsFloat() const {
  Value v = AsValue();
  if (v.IsNull()) return 0;
  if (auto d = v.AsDouble()) return *d;
  double x;
  if (v.kind == Value::Kind::Text && ParseFloat(v.s, &x)) return x;
  throw EConvertError(Format1("'%s' no es un valor punto flotante válido", v.s));
}

bool TField::AsBoolean() const {
  Value v = AsValue();
  if (v.IsNull()) return false;
  if (auto d = v.AsDouble()) return *d != 0;
  return !v.s.empty();
}

void TField::SetValue(const Value& v) {
  if (!dataset_) DatabaseError(Name() + ": " + "El campo no está enlazado a una tabla abierta");
  dataset_->SetFieldValue(*this, v);
}
void TField::SetAsString(const std::string& s) { SetValue(s.empty() ? Value::Null() : Value::Text(s)); }
void TField::SetAsInteger(int64_t n) { SetValue(Value::Integer(n)); }
void TField::SetAsFloat(double x) { SetValue(Value::Number(x)); }

// ---- Data sets and sources -------------------------------------------------------------------

TDataSet::~TDataSet() {
  auto sources = sources_;  // SetDataSet(nullptr) removes each one from sources_
  for (TDataSource* s : sources) s->SetDataSet(nullptr);
}

TField* TDataSet::FindField(const std::string& name) const {
  for (TField* f : fields_)
    if (SameNameIgnoringCase(f->FieldName(), name)) return f;
  return nullptr;
}

TField* TDataSet::FieldByName(const std::string& name) const {
  TField* f = FindField(name);
  if (!f) DatabaseError(Name() + ": " + Format1(texts::kFieldNotFound, name));
  return f;
}

void TDataSet::AddDataSource(TDataSource* ds) {
  if (std::find(sources_.begin(), sources_.end(), ds) == sources_.end()) sources_.push_back(ds);
}

void TDataSet::RemoveDataSource(TDataSource* ds) {
  sources_.erase(std::remove(sources_.begin(), sources_.end(), ds), sources_.end());
}

void TDataSet::NotifyDataChange() {
  auto copy = sources_;
  for (TDataSource* s : copy) s->DataChanged();
}

TDataSource::~TDataSource() {
  if (dataset_) dataset_->RemoveDataSource(this);
  // Tables that follow this source lose their master, whichever is destroyed first.
  auto details = details_;
  for (TTable* t : details) {
    t->master_source_ = nullptr;
    t->master_listener_ = 0;
  }
}

void TDataSource::SetDataSet(TDataSet* ds) {
  if (ds == dataset_) return;
  if (dataset_) dataset_->RemoveDataSource(this);
  dataset_ = ds;
  if (dataset_) dataset_->AddDataSource(this);
}

int TDataSource::AddListener(std::function<void()> fn) {
  int id = next_id_++;
  listeners_.emplace_back(id, std::move(fn));
  return id;
}

void TDataSource::RemoveListener(int id) {
  listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                  [id](const auto& p) { return p.first == id; }),
                   listeners_.end());
}

void TDataSource::DataChanged() {
  auto copy = listeners_;
  for (auto& [id, fn] : copy) fn();
}

// ---- Tables ----------------------------------------------------------------------------------

namespace {

TableTypeHint HintOf(TTableType t) {
  switch (t) {
    case TTableType::ttParadox: return TableTypeHint::kParadox;
    case TTableType::ttDBase: return TableTypeHint::kDBase;
    case TTableType::ttFoxPro: return TableTypeHint::kFoxPro;
    default: return TableTypeHint::kDefault;
  }
}

TableFormat FormatHintOf(TTableType t, const std::string& table_name) {
  if (t == TTableType::ttParadox) return TableFormat::kParadox;
  if (t == TTableType::ttDBase || t == TTableType::ttFoxPro) return TableFormat::kDbase;
  return UpperExtension(table_name) == "DBF" ? TableFormat::kDbase : TableFormat::kParadox;
}

}  // namespace

// The framework type of a stored field.
TFieldType FieldTypeOfSpec(const FieldSpec& f) {
  switch (f.type) {
    case bde::fldDBCHAR:
    case bde::fldPDXCHAR: return TFieldType::ftString;
    case bde::fldDBNUM:
      if (f.decimals == 0 && f.size <= 4) return TFieldType::ftSmallint;
      if (f.decimals == 0 && f.size <= 9) return TFieldType::ftInteger;
      if (f.decimals == 0 && f.size <= 18) return TFieldType::ftLargeint;
      return TFieldType::ftFloat;
    case bde::fldDBFLOAT:
    case bde::fldDBDOUBLE:
    case bde::fldPDXNUM: return TFieldType::ftFloat;
    case bde::fldPDXMONEY: return TFieldType::ftCurrency;
    case bde::fldPDXBCD: return TFieldType::ftBCD;
    case bde::fldDBDATE:
    case bde::fldPDXDATE: return TFieldType::ftDate;
    case bde::fldPDXTIME: return TFieldType::ftTime;
    case bde::fldDBDATETIME:
    case bde::fldPDXDATETIME: return TFieldType::ftDateTime;
    case bde::fldDBBOOL:
    case bde::fldPDXBOOL: return TFieldType::ftBoolean;
    case bde::fldPDXSHORT: return TFieldType::ftSmallint;
    case bde::fldDBLONG:
    case bde::fldPDXLONG: return TFieldType::ftInteger;
    case bde::fldDBAUTOINC:
    case bde::fldPDXAUTOINC: return TFieldType::ftAutoInc;
    case bde::fldDBMEMO:
    case bde::fldPDXMEMO: return TFieldType::ftMemo;
    case bde::fldPDXFMTMEMO: return TFieldType::ftFmtMemo;
    case bde::fldPDXGRAPHIC: return TFieldType::ftGraphic;
    case bde::fldPDXOLEBLOB: return TFieldType::ftParadoxOle;
    case bde::fldDBOLEBLOB: return TFieldType::ftDBaseOle;
    case bde::fldDBBINARY:
    case bde::fldPDXBINARYBLOB: return TFieldType::ftBlob;
    case bde::fldPDXBYTES:
    case bde::fldDBBYTES: return TFieldType::ftBytes;
    default: return TFieldType::ftUnknown;
  }
}

TTable::TTable(TComponent* owner) : TDataSet(owner) {}

TTable::~TTable() {
  SetMasterSource(nullptr);
  try {
    DoClose();
  } catch (...) {
    // A failure while closing in a destructor has nowhere to go; the files stay as last flushed.
  }
}

void TTable::CheckInactive() const {
  if (Active()) DatabaseError(Name() + ": " + texts::kDataSetOpen);
}

void TTable::CheckActive() const {
  if (!Active()) DatabaseError(Name() + ": " + texts::kDataSetClosed);
}

void TTable::SetDatabaseName(const std::string& v) {
  if (v == database_name_) return;
  CheckInactive();
  database_name_ = v;
}

void TTable::SetTableName(const std::string& v) {
  if (v == table_name_) return;
  CheckInactive();
  table_name_ = v;
}

void TTable::SetTableType(TTableType t) {
  if (t == table_type_) return;
  CheckInactive();
  table_type_ = t;
}

void TTable::SetExclusive(bool v) {
  if (v == exclusive_) return;
  CheckInactive();
  exclusive_ = v;
}

void TTable::SetReadOnly(bool v) {
  if (v == read_only_) return;
  CheckInactive();
  read_only_ = v;
}

void TTable::SetIndexName(const std::string& v) {
  if (v == index_name_) return;
  if (Active()) {
    PostIfChanged();
    Engine([&] { cursor_->SetOrder(v); });
    index_name_ = v;
    MasterChanged();
    return;
  }
  index_name_ = v;
}

void TTable::SetMasterSource(TDataSource* ds) {
  if (ds == master_source_) return;
  if (master_source_) {
    if (master_listener_) master_source_->RemoveListener(master_listener_);
    auto& d = master_source_->details_;
    d.erase(std::remove(d.begin(), d.end(), this), d.end());
  }
  master_listener_ = 0;
  master_source_ = ds;
  if (ds) {
    master_listener_ = ds->AddListener([this] { MasterChanged(); });
    ds->details_.push_back(this);
  }
  if (Active()) MasterChanged();
}

void TTable::SetMasterFields(const std::string& v) {
  master_fields_ = v;
  if (Active()) MasterChanged();
}

void TTable::SetActive(bool on) {
  if (on == Active()) return;
  if (on)
    DoOpen();
  else
    DoClose();
}

void TTable::DoOpen() {
  if (table_name_.empty()) DatabaseError(Name() + ": " + texts::kNoTableName);
  Engine([&] {
    Database* db = OpenDatabase(database_name_);
    std::string path = db->TablePath(table_name_, FormatHintOf(table_type_, table_name_));
    // An interrupted restructure may have the table's file moved aside: finish it first.
    if (!read_only_) RecoverTable(path);
    if (!CurrentFileSystem()->IsRegularFile(path))
      throw EngineError(err::kNoSuchTable,
                        CurrentFileSystem()->Exists(path)
                            ? "Con el nombre de la tabla hay algo que no es un fichero normal (una carpeta, una "
                              "tubería o un dispositivo); no se abre. Compruebe la carpeta de datos."
                            : "La tabla no existe. Compruebe que la carpeta de datos es la correcta.",
                        {CtxTable(path)});
    TableFormat format = FormatFor(path, HintOf(table_type_));
    OpenOptions opts;
    opts.exclusive = exclusive_;
    opts.read_only = read_only_;
    auto storage = OpenStorage(path, format, opts);  // refused while a swap is unfinished
    auto cursor = std::make_unique<Cursor>(db, table_name_, std::move(storage), exclusive_);
    if (!index_name_.empty()) cursor->SetOrder(index_name_);
    cursor_ = std::move(cursor);
  });
  try {
    BindFields();
  } catch (...) {
    cursor_.reset();
    throw;
  }
  state_ = TDataSetState::dsBrowse;
  dirty_ = false;
  try {
    if (master_source_ && master_source_->DataSet() && master_source_->DataSet()->Active() &&
        !master_fields_.empty()) {
      MasterChanged();
    } else {
      First();
    }
  } catch (...) {
    DoClose();
    throw;
  }
}

void TTable::BindFields() {
  const auto& specs = cursor_->storage().Fields();
  auto column_of = [&](const std::string& name) -> int {
    for (size_t i = 0; i < specs.size(); ++i)
      if (SameNameIgnoringCase(specs[i].name, name)) return static_cast<int>(i);
    return -1;
  };
  fields_.clear();
  generated_.clear();
  if (!declared_.empty()) {
    for (TField* f : declared_) {
      int col = column_of(f->FieldName());
      if (col < 0) DatabaseError(Name() + ": " + Format1(texts::kFieldNotFound, f->FieldName()));
      TFieldType stored = FieldTypeOfSpec(specs[static_cast<size_t>(col)]);
      if (KindOf(stored) != KindOf(f->DataType()))
        DatabaseError(Name() + ": " + Format3(texts::kFieldTypeMismatch, f->FieldName(),
                                              FieldTypeName(f->DataType()), FieldTypeName(stored)));
    }
    for (TField* f : declared_) {
      f->field_no_ = column_of(f->FieldName()) + 1;
      f->dataset_ = this;
      fields_.push_back(f);
    }
    return;
  }
  for (size_t i = 0; i < specs.size(); ++i) {
    auto f = std::make_unique<TField>(nullptr, FieldTypeOfSpec(specs[i]));
    f->SetFieldName(specs[i].name);
    f->SetSize(specs[i].type == bde::fldDBCHAR || specs[i].type == bde::fldPDXCHAR ? specs[i].size : 0);
    f->field_no_ = static_cast<int>(i) + 1;
    f->dataset_ = this;
    fields_.push_back(f.get());
    generated_.push_back(std::move(f));
  }
}

void TTable::DoClose() {
  if (!cursor_) {
    state_ = TDataSetState::dsInactive;
    return;
  }
  state_ = TDataSetState::dsInactive;
  eof_ = bof_ = true;
  std::unique_ptr<Cursor> c = std::move(cursor_);
  for (TField* f : fields_) f->dataset_ = nullptr;
  fields_.clear();
  generated_.clear();
  NotifyDataChange();
  if (dirty_) {
    dirty_ = false;
    Engine([&] { c->Flush(); });
  }
}

bool TTable::Exists() {
  if (Active()) return true;
  return Engine([&] {
    Database* db = OpenDatabase(database_name_);
    TableFormat hint = FormatHintOf(table_type_, table_name_);
    // A table moved aside by a crash still exists.
    const std::string path = db->TablePath(table_name_, hint);
    if (read_only_) return db->TableExists(table_name_, hint) || SwapPending(path);
    RecoverTable(path);
    return db->TableExists(table_name_, hint);
  });
}

void TTable::MasterChanged() {
  if (!Active()) return;
  if (master_source_ && !master_fields_.empty()) {
    TDataSet* master = master_source_->DataSet();
    if (master && master->Active()) {
      Value key = master->FieldByName(master_fields_)->AsValue();
      PostIfChanged();
      Engine([&] { cursor_->SetRange(key); });
    }
  }
  First();
}

void TTable::PostIfChanged() {
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) Post();
}

void TTable::First() {
  CheckActive();
  PostIfChanged();
  bool ok = Engine([&] { return cursor_->First(); });
  eof_ = !ok;
  bof_ = true;
  NotifyDataChange();
}

void TTable::Next() {
  CheckActive();
  PostIfChanged();
  if (eof_) return;
  bool ok = Engine([&] { return cursor_->Next(); });
  if (!ok) {
    eof_ = true;
    // Stay on the last row, as a table does when it runs past its end.
    Engine([&] { cursor_->Last(); });
  }
  bof_ = false;
  NotifyDataChange();
}

void TTable::Prior() {
  CheckActive();
  PostIfChanged();
  bool ok = Engine([&] { return cursor_->Prior(); });
  if (!ok) {
    bof_ = true;
    Engine([&] { cursor_->First(); });
  } else {
    bof_ = false;
  }
  eof_ = !cursor_->HasCurrent();
  NotifyDataChange();
}

void TTable::Last() {
  CheckActive();
  PostIfChanged();
  bool ok = Engine([&] { return cursor_->Last(); });
  eof_ = true;
  bof_ = !ok;
  NotifyDataChange();
}

int64_t TTable::RecordCount() const {
  CheckActive();
  return Engine([&] { return cursor_->Count(); });
}

int64_t TTable::RecNo() const {
  CheckActive();
  return Engine([&] { return cursor_->Position(); });
}

void TTable::SetRecNo(int64_t n) {
  CheckActive();
  PostIfChanged();
  bool ok = Engine([&] { return cursor_->MoveTo(n); });
  if (ok) {
    eof_ = bof_ = false;
  }
  NotifyDataChange();
}

Value TTable::ValueAt(int64_t recno, int fieldIndex) const {
  CheckActive();
  if (fieldIndex < 0 || fieldIndex >= FieldCount()) return Value::Null();
  int col = fields_[static_cast<size_t>(fieldIndex)]->FieldNo() - 1;
  return Engine([&] { return cursor_->ValueAt(recno, col); });
}

void TTable::Edit() {
  CheckActive();
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) return;
  if (!cursor_->HasCurrent()) {
    Append();
    return;
  }
  edit_buf_ = cursor_->Buffer();
  state_ = TDataSetState::dsEdit;
}

void TTable::Append() {
  CheckActive();
  PostIfChanged();
  edit_buf_ = cursor_->storage().BlankRecord();
  state_ = TDataSetState::dsInsert;
}

void TTable::Post() {
  CheckActive();
  if (state_ == TDataSetState::dsEdit) {
    if (edit_buf_ != cursor_->Buffer()) {
      Engine([&] { cursor_->Update(edit_buf_); });
      dirty_ = true;
    }
  } else if (state_ == TDataSetState::dsInsert) {
    Engine([&] { cursor_->Append(edit_buf_); });
    dirty_ = true;
    eof_ = bof_ = false;
  } else {
    return;
  }
  state_ = TDataSetState::dsBrowse;
  NotifyDataChange();
}

void TTable::Cancel() {
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) {
    state_ = TDataSetState::dsBrowse;
    NotifyDataChange();
  }
}

void TTable::Delete() {
  CheckActive();
  if (state_ == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  state_ = TDataSetState::dsBrowse;
  if (!cursor_->HasCurrent()) return;
  bool more = Engine([&] { return cursor_->MarkDeleted(); });
  dirty_ = true;
  if (!more) {
    bool any = Engine([&] { return cursor_->Last(); });
    eof_ = true;
    bof_ = !any;
  }
  NotifyDataChange();
}

int TTable::ColumnOf(const std::string& name) const {
  const auto& specs = cursor_->storage().Fields();
  for (size_t i = 0; i < specs.size(); ++i)
    if (SameNameIgnoringCase(specs[i].name, name)) return static_cast<int>(i);
  DatabaseError(Name() + ": " + Format1(texts::kFieldNotFound, name));
}

Value TTable::ColumnValue(int col) const {
  const std::string* buf = nullptr;
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert)
    buf = &edit_buf_;
  else if (cursor_->HasCurrent())
    buf = &cursor_->Buffer();
  if (!buf) return Value::Null();
  return Engine([&] { return cursor_->storage().GetValue(*buf, col); });
}

void TTable::SetColumnValue(int col, const Value& v) {
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert)
    DatabaseError(Name() + ": " + texts::kNotEditing);
  Engine([&] { cursor_->storage().SetValue(&edit_buf_, col, v); });
}

Value TTable::FieldValue(const std::string& name) const {
  CheckActive();
  return ColumnValue(ColumnOf(name));
}

void TTable::SetFieldValue(const std::string& name, const Value& v) {
  CheckActive();
  SetColumnValue(ColumnOf(name), v);
}

Value TTable::GetFieldValue(const TField& f) const {
  CheckActive();
  return ColumnValue(f.FieldNo() - 1);
}

void TTable::SetFieldValue(TField& f, const Value& v) {
  CheckActive();
  SetColumnValue(f.FieldNo() - 1, v);
}

bde::hDBICur TTable::Handle() const { return cursor_.get(); }

bde::hDBIDb TTable::DBHandle() const { return cursor_ ? cursor_->database() : nullptr; }

}  // namespace engine
