#include "engine/table_check.h"

#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"
#include "engine/dbase/storage_rows.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"
#include "engine/paradox/paradox.h"
#include "engine/codepage.h"

namespace engine {

std::string FileBeside(const std::string& path, const std::string& ext) {
  return FindCompanion(path, ext).value_or("");
}

TableCheck CheckTable(TableStorage& table, size_t max_row_problems) {
  TableCheck out;
  out.records = table.RecordCount();
  if (const uint64_t past = dbase::RecordsPastCount(table))
    out.problems.push_back("Registros sin contar: " + dbase::RecordsPastCountText(past, out.records) +
                           "; no se leen, y una reestructuración no la reconstruye (se perderían).");
  std::string buf;
  for (uint64_t r = 1; r <= out.records && out.problems.size() < max_row_problems; ++r) {
    table.ReadRecord(r, &buf);
    for (size_t f = 0; f < table.Fields().size(); ++f) {
      try {
        table.CheckValue(buf, static_cast<int>(f));
      } catch (const EngineError& e) {
        out.problems.push_back("Registro " + std::to_string(r) + ", campo " + table.Fields()[f].name + ": " +
                               e.message());
      }
    }
  }
  out.tags = table.Tags().size();
  if (table.Format() == TableFormat::kParadox) {
    // Secondary indexes: every entry against its row, their order, their .Y files.
    auto report = paradox::CheckSecondaryIndexes(table);
    out.problems.insert(out.problems.end(), report.problems.begin(), report.problems.end());
    out.unconfirmed = report.unchecked;
  } else if (out.tags > 0) {
    const std::string mdx = FileBeside(table.Path(), "MDX");
    if (mdx.empty())
      throw EngineError(err::kNoSuchFile, "La tabla no tiene índice de producción (.MDX).", {CtxTable(table.Path())});
    auto idx = dbase::MdxIndex::Open(mdx, table.Fields(), table.Codepage(), false, table.KeyCollation());
    dbase::StorageRows rows(table);
    auto report = idx->Check(rows);
    out.problems.insert(out.problems.end(), report.problems.begin(), report.problems.end());
    out.unconfirmed = report.foreign_order;
    out.unconfirmed.insert(out.unconfirmed.end(), report.unchecked.begin(), report.unchecked.end());
  }
  return out;
}

}  // namespace engine
