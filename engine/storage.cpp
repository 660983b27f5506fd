#include "engine/storage.h"

#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "engine/swap.h"

namespace engine {

size_t TableStorage::AppendRecords(size_t n, const std::function<size_t(char* rows)>& fill) {
  const size_t length = RecordLength();
  std::string rows(n * length, ' ');
  const size_t got = fill(rows.data());
  if (got > n) throw EngineError(err::kInternal, "Se han dado más registros de los que caben.");
  std::string row;
  for (size_t i = 0; i < got; ++i) {
    row.assign(rows, i * length, length);
    AppendRecord(row);
  }
  return got;
}

std::unique_ptr<KeyWalker> TableStorage::WalkTag(const std::string& tag, const std::optional<Value>&) {
  throw EngineError(err::kNoSuchIndex, "La tabla no tiene índices.", {CtxTable(Path()), CtxIndex(tag)});
}

namespace {

std::unique_ptr<TableStorage> OpenFormat(const std::string& path, TableFormat format, const OpenOptions& options) {
  switch (format) {
    case TableFormat::kDbase: return dbase::Open(path, options, /*foxpro=*/false);
    case TableFormat::kFoxPro: return dbase::Open(path, options, /*foxpro=*/true);
    case TableFormat::kParadox: return paradox::Open(path, options);
  }
  throw EngineError(err::kInternal, "Formato de tabla desconocido.", {CtxTable(path)});
}

}  // namespace

std::unique_ptr<TableStorage> OpenStorage(const std::string& path, TableFormat format,
                                          const OpenOptions& options) {
  // A table in the middle of its swap is not damaged, whatever its files look like right now:
  // the reader is told to come back, never to restore a backup.
  std::unique_ptr<TableStorage> t;
  try {
    t = OpenFormat(path, format, options);
  } catch (const EngineError&) {
    if (SwapPending(path)) ThrowSwapPending(path);
    throw;
  }
  if (SwapPending(path)) ThrowSwapPending(path);
  return t;
}

void CreateStorage(const std::string& path, const TableDefinition& def) {
  if (def.format == TableFormat::kParadox)
    paradox::Create(path, def);
  else
    dbase::Create(path, def);
}

}  // namespace engine
