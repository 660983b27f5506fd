#include "engine/restructure.h"

#include "engine/error.h"
#include "engine/swap.h"

namespace engine {

void DoRestructure(Database& db, const bde::CRTblDesc& desc) {
  throw EngineError(err::kNotSupported, "La reestructuración de tablas aún no está disponible.",
                    {CtxTable(db.Directory() + "/" + desc.szTblName)});
}

void RecoverTable(const std::string& table_path) { RecoverSwap(table_path); }

}  // namespace engine
