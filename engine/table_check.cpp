#include "engine/table_check.h"

#include <new>
#include <string_view>
#include <vector>

#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"
#include "engine/dbase/storage_rows.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"
#include "engine/paradox/paradox.h"
#include "engine/spare_bytes.h"
#include "engine/codepage.h"

namespace engine {

std::string FileBeside(const std::string& path, const std::string& ext) {
  return FindCompanion(path, ext).value_or("");
}

namespace {

// The records of a dBASE table of moderate size are read once, in one piece, for the check of
// their values and for the check of the index against them.
constexpr uint64_t kHoldRecords = 64u << 20;

// Reads every record of `table` into `held` when that is worth it and the table offers it; the
// records, or none (then each row is read on its own, and a read that fails says so for its
// row).
std::string_view HoldRecords(TableStorage& table, uint64_t count, SpareBytes* held) {
  const uint64_t len = table.RecordLength();
  if (table.Format() != TableFormat::kDbase || count == 0 || len == 0 || count > kHoldRecords / len ||
      !table.BeginRecordCopies())
    return {};
  try {
    held->ResizeForOverwrite(static_cast<size_t>(count * len));
    table.CopyRecords(1, static_cast<size_t>(count), held->data());
  } catch (const EngineError&) {
    held->Release();
    return {};
  } catch (const std::bad_alloc&) {
    return {};
  }
  return {held->data(), held->size()};
}

}  // namespace

TableCheck CheckTable(TableStorage& table, size_t max_row_problems) {
  TableCheck out;
  out.records = table.RecordCount();
  if (const uint64_t past = dbase::RecordsPastCount(table))
    out.problems.push_back("Registros sin contar: " + dbase::RecordsPastCountText(past, out.records) +
                           "; no se leen, y una reestructuración no la reconstruye (se perderían).");
  SpareBytes held;
  const std::string_view records = HoldRecords(table, out.records, &held);
  const std::vector<FieldSpec>& fields = table.Fields();
  std::vector<int> checked;  // the fields whose stored bytes may be refused
  for (size_t f = 0; f < fields.size(); ++f)
    if (table.CheckCanRefuse(static_cast<int>(f))) checked.push_back(static_cast<int>(f));
  const size_t len = table.RecordLength();
  std::string buf;
  for (uint64_t r = 1; r <= out.records && out.problems.size() < max_row_problems; ++r) {
    // Held records are checked where they lie; others are read one by one.
    const std::string_view row =
        records.empty() ? std::string_view() : records.substr(static_cast<size_t>(r - 1) * len, len);
    if (records.empty()) table.ReadRecord(r, &buf);
    for (const int f : checked) {
      try {
        if (records.empty()) table.CheckValue(buf, f);
        else table.CheckValueIn(row, f);
      } catch (const EngineError& e) {
        out.problems.push_back("Registro " + std::to_string(r) + ", campo " + fields[static_cast<size_t>(f)].name +
                               ": " + e.message());
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
    dbase::StorageRows rows(table, records);
    auto report = idx->Check(rows);
    out.problems.insert(out.problems.end(), report.problems.begin(), report.problems.end());
    out.unconfirmed = report.foreign_order;
    out.unconfirmed.insert(out.unconfirmed.end(), report.unchecked.begin(), report.unchecked.end());
  }
  return out;
}

}  // namespace engine
