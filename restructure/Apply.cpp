// TRestructure: applying the edited structure through the engine's restructure call.
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "restructure/Restructure.h"

namespace restructure {

namespace {

bool IsEmptyCheck(const bde::VCHKDesc& c) {
  return c.bRequired == 0 && c.bHasMinVal == 0 && c.bHasMaxVal == 0 && c.bHasDefVal == 0 &&
         c.szPict[0] == '\0' && c.szLkupTblName[0] == '\0' && c.elkupType == 0;
}

}  // namespace

void TRestructure::ApplyRestructure() {
  if (!FTable) return;
  ApplyOnce();
  // Emptied checks are still listed after the first pass: drop them in further passes.
  int drop_passes = 0;
  while (DropEmptyValChecks()) {
    if (++drop_passes > kMaxDropPasses) {
      throw engine::EDatabaseError(
          "El motor de tablas sigue mostrando una regla de validez vacía después de " +
          std::to_string(kMaxDropPasses) +
          " intentos de eliminarla. La tabla ya tiene su nueva estructura y sus datos; revise "
          "sus reglas de validez antes de volver a modificarla.\n" +
          TableContext());
    }
    ApplyOnce();
  }
}

void TRestructure::ApplyOnce() {
  const auto defaults = std::move(FEmptyDefaults);
  FEmptyDefaults.clear();
  // Without a structure the engine would be told that the table has no fields, and would drop
  // every column: refuse instead.
  if (!FFieldDescs) {
    throw engine::EDatabaseError(
        "No se puede modificar la estructura: no se ha leído la estructura de la tabla o no le "
        "queda ningún campo. Vuelva a indicar el nombre de la tabla y repita los cambios.\n" +
        TableContext());
  }
  if (FFieldCount > std::numeric_limits<uint16_t>::max() ||
      ValCheckCountEff() > std::numeric_limits<uint16_t>::max()) {
    throw engine::EDatabaseError("La tabla tendría demasiados campos o reglas de validez.\n" +
                                 TableContext());
  }
  const std::string& table_name = FTable->TableName();
  if (table_name.size() > static_cast<size_t>(bde::DBIMAXTBLNAMELEN)) {
    throw engine::EDatabaseError("El nombre de la tabla es demasiado largo (máximo " +
                                 std::to_string(bde::DBIMAXTBLNAMELEN) + " caracteres).\n" +
                                 TableContext());
  }

  const bool was_open = FTable->Active();
  FTable->Close();
  FTable->SetExclusive(true);
  try {
    FTable->Open();
  } catch (...) {
    engine::DatabaseError(texts::kTableNotOpenedExclusive);
  }

  bde::CRTblDesc desc;
  std::memset(&desc, 0, sizeof desc);
  bde::hDBIObj db = nullptr;
  try {
    engine::Check(bde::DbiGetObjFromObj(FTable->Handle(), bde::objDATABASE, &db));
  } catch (...) {
    // Leaving the table open here would keep it locked and the component could not be pointed
    // at a table again.
    if (!was_open) {
      try {
        FTable->Close();
      } catch (...) {
      }
    }
    throw;
  }
  std::memcpy(desc.szTblName, table_name.data(), table_name.size());

  SortValChecks();

  const int checks = ValCheckCountEff();
  desc.bPack = FPackTable ? 0xFFFF : 0;
  desc.iFldCount = static_cast<uint16_t>(FFieldCount);
  desc.pecrFldOp = FFieldOps.get();
  desc.pfldDesc = FFieldDescs.get();
  desc.iValChkCount = static_cast<uint16_t>(checks);
  desc.pecrValChkOp = checks ? FValCheckOps.get() : nullptr;
  desc.pvchkDesc = checks ? FValChecks.get() : nullptr;

  std::vector<bde::FLDFill> fills;
  for (const auto& [name, value] : defaults)
    if (int pos = FieldIndex(name)) fills.push_back({static_cast<uint16_t>(pos), value});

  FTable->Close();  // the database stays connected: `db` remains valid
  if (fills.empty())
    engine::Check(bde::DbiDoRestructure(static_cast<bde::hDBIDb>(db), 1, &desc, nullptr, nullptr,
                                        nullptr, false));
  else
    engine::Check(bde::DbiDoRestructureFilling(static_cast<bde::hDBIDb>(db), &desc,
                                               static_cast<uint16_t>(fills.size()), fills.data()));
  // The edits are in the table now: never hand them to the engine a second time.
  FreeStructure();
  if (was_open) FTable->Open();
  ReadStructure();
}

void TRestructure::SortValChecks() {
  const int n = ValCheckCountEff();
  for (int i = 0; i < n - 1; ++i) {
    for (int j = i + 1; j < n; ++j) {
      if (FValChecks[j].iFldNum < FValChecks[i].iFldNum) {
        std::swap(FValChecks[i], FValChecks[j]);
        std::swap(FValCheckOps[i], FValCheckOps[j]);
      }
    }
  }
}

bool TRestructure::DropEmptyValChecks() {
  bool marked = false;
  for (int k = 0; k < ValCheckCountEff(); ++k) {
    if (IsEmptyCheck(FValChecks[k])) {
      FValCheckOps[k] = bde::crDROP;
      marked = true;
    }
  }
  return marked;
}

}  // namespace restructure
