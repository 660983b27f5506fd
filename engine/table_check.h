// The whole check of a table's files: every field of every row (memos and blobs included, so
// every memo pointer), and every index tag against the rows and the order of its collation. What
// `tabla check` prints and what the upgrade makes of each table it wrote before it reports done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage.h"

namespace engine {

struct TableCheck {
  std::vector<std::string> problems;     // damage: a value that cannot be read, an entry that does not match
  std::vector<std::string> unconfirmed;  // tags whose order or expression could not be confirmed
  uint64_t records = 0;
  size_t tags = 0;                       // index tags (dBASE) or secondary indexes (Paradox)
  bool Sound() const { return problems.empty(); }
};

// Checks an open table (read-only is enough); stops listing row problems after `max_row_problems`.
// Throws EngineError when a file it needs cannot be opened (a missing .MDX the table announces).
TableCheck CheckTable(TableStorage& table, size_t max_row_problems = 50);

// The file beside `path` with the same base name and extension `ext`, found in any letter case;
// "" when there is none.
std::string FileBeside(const std::string& path, const std::string& ext);

}  // namespace engine
