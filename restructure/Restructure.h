// The table-restructuring component TRestructure with its field and validity-check descriptors.
//
// TRestructure reads the structure of a dBASE or Paradox table through the engine (its field
// records, validity-check records, table type and level), lets its caller edit that structure in
// memory one field or one validity check at a time, and hands the result to the engine's
// restructure call, which rebuilds the table in place keeping its rows.
//
// Typical use:
//   r.SetDatabaseName(folder);          // first the folder ...
//   r.SetTableName("Clientes.Dbf");     // ... then the table: this reads the structure
//   if (r.FieldIndex("SA") == 0) {
//     r.Field()->SetName("SA"); r.Field()->SetFieldType(dbNumber);
//     r.Field()->SetLength(12); r.Field()->SetPrecision(2);
//     r.AddField(false);
//   }
//   r.ApplyRestructure();               // one rebuild; the structure is read back
//
// Positions are 1-based; 0 means "none". The component holds no knowledge of file formats: it
// talks to the engine only through its table object and the calls of engine/bde.h. It is used
// from one thread and takes no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/bde.h"
#include "engine/table.h"
#include "restructure/Framework.h"

namespace restructure {

// ---- Field-type catalogue ---------------------------------------------------------------------

// The physical field types of the two table formats: 1..17 Paradox, 18..31 dBASE.
enum TdBasePxFieldType : uint8_t {
  pxUnknown, pxAlpha, pxNumber, pxMoney, pxShort, pxLongInteger, pxBCD, pxDate, pxTime,
  pxTimestamp, pxMemo, pxFormattedMemo, pxGraphic, pxOLE, pxLogical, pxAutoincrement, pxBinary,
  pxBytes,
  dbCharacter, dbFloat, dbNumber, dbDate, dbMemo, dbLogical, dbOLE, dbBinary, dbLong, dbDateTime,
  dbDouble, dbAutoincrement, dbBytes, dbLock
};
inline constexpr int kFieldTypeCount = 32;

// The engine's physical type code of a field type (0 for pxUnknown or a value outside the
// catalogue), and back (pxUnknown for a code that is not in the catalogue).
uint16_t EngineFieldType(TdBasePxFieldType t);
TdBasePxFieldType FieldTypeFromEngine(uint16_t code);
// The lowest table level that admits the type, and the engine's table type name that admits it
// ("PARADOX" or "DBASE"); 0 and "" for pxUnknown or a value outside the catalogue.
int FieldTypeLowestLevel(TdBasePxFieldType t);
const char* FieldTypeTableType(TdBasePxFieldType t);

// ---- Lookup enumerations -------------------------------------------------------------------

enum TLookupType : uint8_t { ltCurrentField = 0, ltAllCorresponding = 1 };
enum TLookupAccess : uint8_t { laFillNoHelp = 0, laHelpAndFill = 1 };

// The engine lookup type of the pair (lkupPRIVATE .. lkupALLCORRESPHELP), and back: false for an
// engine value outside 1..4 (the outputs are then untouched).
int32_t EngineLookupType(TLookupType type, TLookupAccess access);
bool LookupFromEngine(int32_t engine_type, TLookupType* type, TLookupAccess* access);

// ---- Descriptors ---------------------------------------------------------------------------

// Describes the one field that the component's next operation adds, inserts or changes. Holds
// values only; it validates nothing (the component's operations do).
class TFieldDesc : public TPersistent {
 public:
  TFieldDesc() = default;

  const std::string& Name() const { return FName; }
  void SetName(const std::string& v) { if (v != FName) FName = v; }
  TdBasePxFieldType FieldType() const { return FFieldType; }
  void SetFieldType(TdBasePxFieldType v) { if (v != FFieldType) FFieldType = v; }
  // Size or digits of the field; for pxBCD the number of decimal places.
  uint16_t Length() const { return FLength; }
  void SetLength(uint16_t v) { if (v != FLength) FLength = v; }
  // Decimal places; not used for pxBCD.
  uint16_t Precision() const { return FPrecision; }
  void SetPrecision(uint16_t v) { if (v != FPrecision) FPrecision = v; }

  // From another TFieldDesc (or a class derived from it): copies Name, FieldType and Length;
  // Precision keeps this descriptor's value. Any other source raises the assign error.
  void Assign(const TPersistent* Source) override;
  const char* ClassName() const override { return "TFieldDesc"; }

 private:
  std::string FName;
  TdBasePxFieldType FFieldType = pxUnknown;
  uint16_t FLength = 0;
  uint16_t FPrecision = 0;
};

// Describes the validity check that goes with a field (used on Paradox tables): required flag,
// minimum, maximum and default as texts, input picture and lookup table. An empty text means
// "not given". Value texts are written as a user types them; "TODAY" (dates), "NOW" (times and
// timestamps), "TRUE" and "FALSE" (logical fields) are words with special meanings.
//
// The descriptor owns a table object that follows the lookup database and table names; it is
// never opened.
class TValCheckDesc : public TPersistent {
 public:
  TValCheckDesc();
  ~TValCheckDesc() override;

  bool Required() const { return FRequired; }
  void SetRequired(bool v) { if (v != FRequired) FRequired = v; }
  const std::string& MinimumValue() const { return FMinimumValue; }
  void SetMinimumValue(const std::string& v) { if (v != FMinimumValue) FMinimumValue = v; }
  const std::string& MaximumValue() const { return FMaximumValue; }
  void SetMaximumValue(const std::string& v) { if (v != FMaximumValue) FMaximumValue = v; }
  const std::string& DefaultValue() const { return FDefaultValue; }
  void SetDefaultValue(const std::string& v) { if (v != FDefaultValue) FDefaultValue = v; }
  // At most 175 characters (the component refuses longer ones).
  const std::string& Picture() const { return FPicture; }
  void SetPicture(const std::string& v) { if (v != FPicture) FPicture = v; }
  // Database (alias or folder) and file name of the lookup table. Both setters pass the value on
  // to the lookup table object first and always store.
  const std::string& LookupDatabaseName() const { return FLookupDatabaseName; }
  void SetLookupDatabaseName(const std::string& v);
  const std::string& LookupTableName() const { return FLookupTableName; }
  void SetLookupTableName(const std::string& v);
  TLookupType LookupType() const { return FLookupType; }
  void SetLookupType(TLookupType v) { if (v != FLookupType) FLookupType = v; }
  TLookupAccess LookupAccess() const { return FLookupAccess; }
  void SetLookupAccess(TLookupAccess v) { if (v != FLookupAccess) FLookupAccess = v; }

  // The table object that follows LookupDatabaseName and LookupTableName.
  const engine::TTable* LookupTable() const { return FLookupTable.get(); }

  // From another TValCheckDesc: copies every property, the lookup names through their setters.
  // Any other source raises the assign error.
  void Assign(const TPersistent* Source) override;
  const char* ClassName() const override { return "TValCheckDesc"; }

 private:
  bool FRequired = false;
  std::string FMinimumValue, FMaximumValue, FDefaultValue, FPicture;
  std::string FLookupDatabaseName, FLookupTableName;
  TLookupType FLookupType = ltCurrentField;
  TLookupAccess FLookupAccess = laHelpAndFill;
  std::unique_ptr<engine::TTable> FLookupTable;
};

// Raised by AddField, InsertField and ModifyField, in place of any change, when the table does
// not admit the type of the field descriptor. Sender is the component; AField its descriptor.
using TFieldInappropriateEvent =
    std::function<void(engine::TComponent* Sender, const TFieldDesc* AField)>;

// Binds a member function of an object as an event handler.
template <class T>
TFieldInappropriateEvent BindEvent(T* object,
                                   void (T::*method)(engine::TComponent*, const TFieldDesc*)) {
  return [object, method](engine::TComponent* s, const TFieldDesc* f) { (object->*method)(s, f); };
}

// ---- The component -------------------------------------------------------------------------

class TRestructureInspector;  // read access for tests

class TRestructure : public engine::TComponent {
 public:
  explicit TRestructure(engine::TComponent* AOwner = nullptr);
  ~TRestructure() override;

  // Published properties.
  TFieldDesc* Field() const { return FField.get(); }
  void SetField(const TFieldDesc* v);                 // copies by Assign; null is ignored
  TValCheckDesc* ValCheck() const { return FValCheck.get(); }
  void SetValCheck(const TValCheckDesc* v);           // copies by Assign; null is ignored
  const std::string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(const std::string& v);         // reads nothing
  const std::string& TableName() const { return FTableName; }
  // Discards the structure (and every unapplied edit) and reads the table's structure again,
  // also when the name is unchanged. Raises "Table could not be opened" when it cannot open it.
  void SetTableName(const std::string& v);
  bool PackTable() const { return FPackTable; }
  void SetPackTable(bool v) { if (v != FPackTable) FPackTable = v; }
  const TFieldInappropriateEvent& OnFieldInappropriate() const { return FOnFieldInappropriate; }
  void SetOnFieldInappropriate(TFieldInappropriateEvent v) { FOnFieldInappropriate = std::move(v); }

  // Editing. Every operation but FieldIndex does nothing while no structure is loaded.
  virtual void SetEngineFieldType(bde::FLDDesc& rec, TdBasePxFieldType type);
  virtual bool FieldTypeAllowed();
  // Position of the field of that name (letters a-z compared without case), 0 if none.
  virtual int FieldIndex(const std::string& name);
  virtual void AddField(bool alsoCheck);
  virtual void InsertField(int pos, bool alsoCheck);
  virtual void MoveField(int OldPos, int NewPos);
  virtual void DeleteField(int pos);
  virtual void ModifyField(int pos, bool alsoCheck);
  virtual void AddValCheck(const std::string& name);
  virtual void ModifyValCheck(const std::string& name);
  virtual void DeleteValCheck(const std::string& name);

  // Copies the field at pos (and, on Paradox tables, its validity check) into Field and ValCheck.
  void LoadField(int pos);
  // Rebuilds the table with the edited structure under exclusive access, then reads it back.
  void ApplyRestructure();
  // Values that the next ApplyRestructure writes into the named fields of every row where they
  // are empty, in the same rebuild (so the table never holds the new fields without them). A
  // name the new structure does not have is skipped. Forgotten by the next apply, done or not.
  void SetEmptyValueDefaults(std::vector<std::pair<std::string, int64_t>> defaults) {
    FEmptyDefaults = std::move(defaults);
  }

 private:
  friend class TRestructureInspector;

  void ReadStructure();
  void FreeStructure();
  int FieldCountEff() const { return FFieldDescs ? FFieldCount : 0; }
  int ValCheckCountEff() const { return FValChecks ? FValCheckCount : 0; }
  const bde::FLDDesc* FindFieldRecord(const std::string& name) const;
  TdBasePxFieldType FieldTypeByName(const std::string& name) const;
  uint16_t FieldPrecisionByName(const std::string& name) const;
  void WriteFieldRecord(bde::FLDDesc& rec);
  void CheckFieldName() const;
  bool RaiseIfInappropriate();
  std::string TableContext() const;

  // Validity checks.
  bool HasValCheck(const std::string& name);
  int ValCheckIndex(const std::string& name);
  bool ValCheckNeeded(const std::string& name);
  void FillValCheck(const std::string& name, int pos, bde::VCHKDesc* rec);
  std::string LookupDirectory(const std::string& database);
  void ReadValCheck(const bde::VCHKDesc& rec);
  uint16_t TextToEngineValue(const std::string& text, TdBasePxFieldType type, uint8_t* buffer,
                             uint16_t places);
  std::string EngineValueToText(TdBasePxFieldType type, const uint8_t* buffer);

  // Applying.
  void ApplyOnce();
  void SortValChecks();
  bool DropEmptyValChecks();

  std::unique_ptr<TFieldDesc> FField;
  std::unique_ptr<TValCheckDesc> FValCheck;
  std::string FDatabaseName, FTableName;
  bool FPackTable = true;
  std::vector<std::pair<std::string, int64_t>> FEmptyDefaults;
  TFieldInappropriateEvent FOnFieldInappropriate;

  engine::TTable* FTable = nullptr;  // owned (created with this component as owner)
  std::unique_ptr<bde::FLDDesc[]> FFieldDescs;
  std::unique_ptr<bde::CROpType[]> FFieldOps;
  std::unique_ptr<bde::VCHKDesc[]> FValChecks;
  std::unique_ptr<bde::CROpType[]> FValCheckOps;
  std::string FTableType;
  uint16_t FTableLevel = 0;
  int32_t FFieldCount = 0;
  int32_t FValCheckCount = 0;
};

// Texts of the component's errors (raised as engine::EDatabaseError).
namespace texts {
inline constexpr const char* kTableNotOpened = "Table could not be opened";
inline constexpr const char* kTableNotOpenedExclusive =
    "Table could not be opened for exclusive access";
inline constexpr const char* kFieldIndexRange = "Field index not in range";
inline constexpr const char* kFieldIndexRangeOld = "Field index not in range: OldPos";
inline constexpr const char* kFieldIndexRangeNew = "Field index not in range: NewPos";
}  // namespace texts

// How many further passes ApplyRestructure makes to drop emptied validity checks before it gives
// up with an error.
inline constexpr int kMaxDropPasses = 3;

}  // namespace restructure
