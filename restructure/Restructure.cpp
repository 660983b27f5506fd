// TRestructure: reading the structure and editing its fields.
#include "restructure/Restructure.h"

#include <algorithm>
#include <cstring>

namespace restructure {

namespace {

// A copy of `old` (old_count records) resized to new_count records; records beyond the old ones
// are zero. An array of no records is absent.
template <class T>
std::unique_ptr<T[]> Resized(const std::unique_ptr<T[]>& old, int old_count, int new_count) {
  if (new_count <= 0) return nullptr;
  std::unique_ptr<T[]> fresh(new T[new_count]());
  if (old) std::copy_n(old.get(), std::min(old_count, new_count), fresh.get());
  return fresh;
}

// A copy of `old` (old_count records) without the record at 1-based position pos.
template <class T>
std::unique_ptr<T[]> Removed(const std::unique_ptr<T[]>& old, int old_count, int pos) {
  auto fresh = Resized<T>(nullptr, 0, old_count - 1);
  if (fresh) {
    std::copy_n(old.get(), pos - 1, fresh.get());
    std::copy(old.get() + pos, old.get() + old_count, fresh.get() + pos - 1);
  }
  return fresh;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string RecordName(const bde::FLDDesc& rec) {
  return std::string(rec.szName, strnlen(rec.szName, sizeof rec.szName));
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

}  // namespace

TRestructure::TRestructure(engine::TComponent* AOwner)
    : engine::TComponent(AOwner),
      FField(std::make_unique<TFieldDesc>()),
      FValCheck(std::make_unique<TValCheckDesc>()),
      FTable(new engine::TTable(this)) {}

TRestructure::~TRestructure() {
  FreeStructure();
  delete FTable;  // leaves the list of components that this one owns
  FTable = nullptr;
}

std::string TRestructure::TableContext() const {
  std::string path = FDatabaseName;
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  return engine::CtxTable(path + FTableName);
}

// ---- Properties ----------------------------------------------------------------------------

void TRestructure::SetField(const TFieldDesc* v) {
  if (v) FField->Assign(v);
}

void TRestructure::SetValCheck(const TValCheckDesc* v) {
  if (v) FValCheck->Assign(v);
}

void TRestructure::SetDatabaseName(const std::string& v) {
  if (FTable) FTable->SetDatabaseName(v);
  FDatabaseName = v;
}

void TRestructure::SetTableName(const std::string& v) {
  if (FTable) FTable->SetTableName(v);
  FTableName = v;
  FreeStructure();
  ReadStructure();
}

// ---- Reading the structure -----------------------------------------------------------------

void TRestructure::ReadStructure() {
  if (!FTable) return;
  const bool was_open = FTable->Active();
  try {
    FTable->Open();
  } catch (...) {
    engine::DatabaseError(texts::kTableNotOpened);
  }
  try {
    bde::hDBICur cursor = FTable->Handle();
    engine::Check(bde::DbiSetProp(cursor, bde::curXLTMODE, bde::xltNONE));
    bde::CURProps props{};
    engine::Check(bde::DbiGetCursorProps(cursor, props));
    FFieldCount = props.iFields;
    FValCheckCount = props.iValChecks;
    FTableType.assign(props.szTableType, strnlen(props.szTableType, sizeof props.szTableType));
    FTableLevel = props.iTblLevel;
    FFieldDescs = Resized<bde::FLDDesc>(nullptr, 0, FFieldCount);
    FFieldOps = Resized<bde::CROpType>(nullptr, 0, FFieldCount);
    FValChecks = Resized<bde::VCHKDesc>(nullptr, 0, FValCheckCount);
    FValCheckOps = Resized<bde::CROpType>(nullptr, 0, FValCheckCount);
    if (FFieldDescs) engine::Check(bde::DbiGetFieldDescs(cursor, FFieldDescs.get()));
    for (int i = 0; i < FieldCountEff(); ++i) FFieldDescs[i].iFldNum = static_cast<uint16_t>(i + 1);
    for (int k = 0; k < ValCheckCountEff(); ++k)
      engine::Check(bde::DbiGetVchkDesc(cursor, static_cast<uint16_t>(k + 1), &FValChecks[k]));
  } catch (...) {
    // A half-read structure is worse than none, and a table left open here could not be pointed
    // at again: drop both before reporting.
    FreeStructure();
    if (!was_open) {
      try {
        FTable->Close();
      } catch (...) {
      }
    }
    throw;
  }
  if (!was_open) FTable->Close();
}

void TRestructure::FreeStructure() {
  FFieldDescs.reset();
  FFieldOps.reset();
  FValChecks.reset();
  FValCheckOps.reset();
}

// ---- Looking up fields ---------------------------------------------------------------------

int TRestructure::FieldIndex(const std::string& name) {
  for (int i = 0; i < FieldCountEff(); ++i)
    if (SameNameIgnoringCase(RecordName(FFieldDescs[i]), name)) return i + 1;
  return 0;
}

const bde::FLDDesc* TRestructure::FindFieldRecord(const std::string& name) const {
  for (int i = 0; i < FieldCountEff(); ++i)
    if (RecordName(FFieldDescs[i]) == name) return &FFieldDescs[i];
  return nullptr;
}

TdBasePxFieldType TRestructure::FieldTypeByName(const std::string& name) const {
  const bde::FLDDesc* rec = FindFieldRecord(name);
  return rec ? FieldTypeFromEngine(rec->iFldType) : pxUnknown;
}

uint16_t TRestructure::FieldPrecisionByName(const std::string& name) const {
  const bde::FLDDesc* rec = FindFieldRecord(name);
  return rec ? static_cast<uint16_t>(rec->iUnits2) : 0;
}

// ---- Field types ---------------------------------------------------------------------------

void TRestructure::SetEngineFieldType(bde::FLDDesc& rec, TdBasePxFieldType type) {
  rec.iSubType = 0;
  rec.iFldType = EngineFieldType(type);
}

bool TRestructure::FieldTypeAllowed() {
  const TdBasePxFieldType t = FField->FieldType();
  const char* table_type = FieldTypeTableType(t);
  if (*table_type == '\0' || FTableType != table_type) return false;
  return FTableLevel >= FieldTypeLowestLevel(t);
}

bool TRestructure::RaiseIfInappropriate() {
  if (FieldTypeAllowed()) return false;
  if (FOnFieldInappropriate) {
    // A copy, so that a handler may replace the handler while it runs.
    TFieldInappropriateEvent handler = FOnFieldInappropriate;
    handler(this, FField.get());
  }
  return true;
}

void TRestructure::CheckFieldName() const {
  const std::string& name = FField->Name();
  if (name.size() > static_cast<size_t>(bde::DBIMAXNAMELEN)) {
    throw engine::EDatabaseError(
        "El nombre de campo '" + name + "' tiene " + std::to_string(name.size()) +
        " caracteres y el máximo es " + std::to_string(bde::DBIMAXNAMELEN) +
        "; no se recorta porque podría coincidir con otro campo. Use un nombre más corto.\n" +
        TableContext());
  }
  if (name.find('\0') != std::string::npos) {
    throw engine::EDatabaseError(
        "El nombre de campo contiene un carácter nulo. Use un nombre sin él.\n" + TableContext());
  }
}

void TRestructure::WriteFieldRecord(bde::FLDDesc& rec) {
  const std::string& name = FField->Name();
  std::memset(rec.szName, 0, sizeof rec.szName);
  std::memcpy(rec.szName, name.data(), std::min(name.size(), sizeof rec.szName - 1));
  if (FField->FieldType() == pxBCD) {
    rec.iUnits1 = 0;
    rec.iUnits2 = static_cast<int16_t>(FField->Length());
  } else {
    rec.iUnits1 = static_cast<int16_t>(FField->Length());
    rec.iUnits2 = static_cast<int16_t>(FField->Precision());
  }
  SetEngineFieldType(rec, FField->FieldType());
}

// ---- Editing fields ------------------------------------------------------------------------

void TRestructure::AddField(bool alsoCheck) {
  if (!FFieldDescs) return;
  if (RaiseIfInappropriate()) return;
  CheckFieldName();
  const int n = FieldCountEff();
  bde::FLDDesc rec{};
  WriteFieldRecord(rec);
  auto descs = Resized(FFieldDescs, n, n + 1);
  auto ops = Resized(FFieldOps, n, n + 1);
  descs[n] = rec;
  ops[n] = bde::crADD;
  FFieldDescs = std::move(descs);
  FFieldOps = std::move(ops);
  FFieldCount = n + 1;
  if (alsoCheck) AddValCheck(FField->Name());
}

void TRestructure::InsertField(int pos, bool alsoCheck) {
  if (!FFieldDescs) return;
  if (RaiseIfInappropriate()) return;
  const int n = FieldCountEff();
  if (pos < 1 || pos > n + 1) engine::DatabaseError(texts::kFieldIndexRange);
  CheckFieldName();
  bde::FLDDesc rec{};
  WriteFieldRecord(rec);
  auto descs = Resized(FFieldDescs, n, n + 1);
  auto ops = Resized(FFieldOps, n, n + 1);
  std::copy_backward(descs.get() + pos - 1, descs.get() + n, descs.get() + n + 1);
  std::copy_backward(ops.get() + pos - 1, ops.get() + n, ops.get() + n + 1);
  descs[pos - 1] = rec;
  ops[pos - 1] = bde::crADD;
  FFieldDescs = std::move(descs);
  FFieldOps = std::move(ops);
  FFieldCount = n + 1;
  for (int k = 0; k < ValCheckCountEff(); ++k)
    if (FValChecks[k].iFldNum >= pos) ++FValChecks[k].iFldNum;
  if (alsoCheck) AddValCheck(FField->Name());
}

void TRestructure::MoveField(int OldPos, int NewPos) {
  if (!FFieldDescs || OldPos == NewPos) return;
  const int n = FieldCountEff();
  if (OldPos < 1 || OldPos > n) engine::DatabaseError(texts::kFieldIndexRangeOld);
  if (NewPos < 1 || NewPos > n) engine::DatabaseError(texts::kFieldIndexRangeNew);
  auto move = [&](auto* a) {
    if (OldPos < NewPos)
      std::rotate(a + OldPos - 1, a + OldPos, a + NewPos);
    else
      std::rotate(a + NewPos - 1, a + OldPos - 1, a + OldPos);
  };
  move(FFieldDescs.get());
  move(FFieldOps.get());
  for (int k = 0; k < ValCheckCountEff(); ++k) {
    const int fld = FValChecks[k].iFldNum;
    int renumbered = fld;
    if (fld == OldPos)
      renumbered = NewPos;
    else if (OldPos < NewPos && fld > OldPos && fld <= NewPos)
      renumbered = fld - 1;
    else if (OldPos > NewPos && fld >= NewPos && fld < OldPos)
      renumbered = fld + 1;
    FValChecks[k].iFldNum = static_cast<uint16_t>(renumbered);
  }
}

void TRestructure::DeleteField(int pos) {
  if (!FFieldDescs) return;
  const int n = FieldCountEff();
  if (pos < 1 || pos > n) engine::DatabaseError(texts::kFieldIndexRange);
  auto descs = Removed(FFieldDescs, n, pos);
  auto ops = Removed(FFieldOps, n, pos);
  FFieldDescs = std::move(descs);
  FFieldOps = std::move(ops);
  FFieldCount = n - 1;
  for (int k = 0; k < ValCheckCountEff(); ++k) {
    const int fld = FValChecks[k].iFldNum;  // packed record: no references into it
    if (fld == pos)
      FValChecks[k].iFldNum = 0;
    else if (fld > pos)
      FValChecks[k].iFldNum = static_cast<uint16_t>(fld - 1);
  }
}

void TRestructure::ModifyField(int pos, bool alsoCheck) {
  if (!FFieldDescs) return;
  if (RaiseIfInappropriate()) return;
  if (pos < 1 || pos > FieldCountEff()) engine::DatabaseError(texts::kFieldIndexRange);
  CheckFieldName();
  bde::FLDDesc rec = FFieldDescs[pos - 1];  // keeps iFldNum and the engine's other fields
  WriteFieldRecord(rec);
  FFieldDescs[pos - 1] = rec;
  if (FFieldOps[pos - 1] != bde::crADD) FFieldOps[pos - 1] = bde::crMODIFY;
  if (alsoCheck) ModifyValCheck(FField->Name());
}

void TRestructure::LoadField(int pos) {
  if (!FFieldDescs || pos < 1 || pos > FFieldCount) engine::DatabaseError(texts::kFieldIndexRange);
  const bde::FLDDesc& rec = FFieldDescs[pos - 1];
  const TdBasePxFieldType type = FieldTypeFromEngine(rec.iFldType);
  FField->SetName(RecordName(rec));
  FField->SetFieldType(type);
  if (type == pxBCD) {
    FField->SetLength(static_cast<uint16_t>(rec.iUnits2));
    FField->SetPrecision(0);
  } else {
    FField->SetLength(static_cast<uint16_t>(rec.iUnits1));
    FField->SetPrecision(static_cast<uint16_t>(rec.iUnits2));
  }
  FValCheck->SetRequired(false);
  FValCheck->SetMinimumValue("");
  FValCheck->SetMaximumValue("");
  FValCheck->SetDefaultValue("");
  FValCheck->SetPicture("");
  FValCheck->SetLookupDatabaseName("");
  FValCheck->SetLookupTableName("");
  FValCheck->SetLookupType(ltCurrentField);
  FValCheck->SetLookupAccess(laHelpAndFill);
  if (FTableType == "PARADOX") {
    const int k = ValCheckIndex(FField->Name());
    if (k != 0) ReadValCheck(FValChecks[k - 1]);
  }
}

}  // namespace restructure
