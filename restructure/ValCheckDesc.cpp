// The validity-check descriptor.
#include "restructure/Restructure.h"

namespace restructure {

// ---- TValCheckDesc ---------------------------------------------------------------------------

TValCheckDesc::TValCheckDesc() : FLookupTable(std::make_unique<engine::TTable>(nullptr)) {}

TValCheckDesc::~TValCheckDesc() = default;

void TValCheckDesc::SetLookupDatabaseName(const std::string& v) {
  FLookupTable->SetDatabaseName(v);
  FLookupDatabaseName = v;
}

void TValCheckDesc::SetLookupTableName(const std::string& v) {
  FLookupTable->SetTableName(v);
  FLookupTableName = v;
}

void TValCheckDesc::Assign(const TPersistent* Source) {
  if (const auto* src = dynamic_cast<const TValCheckDesc*>(Source)) {
    if (src == this) return;
    FRequired = src->FRequired;
    FMinimumValue = src->FMinimumValue;
    FMaximumValue = src->FMaximumValue;
    FDefaultValue = src->FDefaultValue;
    FPicture = src->FPicture;
    SetLookupDatabaseName(src->FLookupDatabaseName);
    SetLookupTableName(src->FLookupTableName);
    FLookupType = src->FLookupType;
    FLookupAccess = src->FLookupAccess;
    return;
  }
  TPersistent::Assign(Source);
}

}  // namespace restructure
