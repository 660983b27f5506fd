// What tests of Paradox secondary indexes look at: the index files beside a table, each index's
// rows in its order with what the check finds, and a restructure of one table with field
// records.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/paradox/paradox.h"
#include "engine/restructure.h"

namespace testing_support {

// Names of the .Xnn/.Ynn/.XGn/.YGn files in `dir` (upper-case extensions).
inline std::set<std::string> IndexFileNames(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (n.size() > 4 && (n[n.size() - 3] == 'X' || n[n.size() - 3] == 'Y')) out.insert(n);
  }
  return out;
}

// Each secondary index of the table: its name -> the first field's values (integers) of the rows
// in the index's order; `problems` gets what the check finds. An index listed with a problem fails
// the test.
inline std::map<std::string, std::vector<int64_t>> IndexOrders(const std::string& table,
                                                               std::vector<std::string>* problems) {
  engine::OpenOptions o;
  o.read_only = true;
  auto t = engine::paradox::Open(table, o);
  std::map<std::string, std::vector<int64_t>> out;
  std::string buf;
  for (const auto& tag : t->Tags()) {
    EXPECT_EQ(tag.problem, "") << tag.name;
    auto w = t->WalkTag(tag.name, std::nullopt);
    uint64_t r = 0;
    auto& values = out[tag.name];
    while (w->Next(&r)) {
      t->ReadRecord(r, &buf);
      values.push_back(t->GetValue(buf, 0).i);
    }
  }
  *problems = engine::paradox::CheckSecondaryIndexes(*t).problems;
  return out;
}

// Restructures `table` in `dir` to the field records `f` with the operations `ops`.
inline void RestructureWith(const std::string& dir, const std::string& table, std::vector<bde::FLDDesc> f,
                            std::vector<bde::CROpType> ops) {
  bde::CRTblDesc desc{};
  std::strncpy(desc.szTblName, table.c_str(), sizeof desc.szTblName - 1);
  desc.iFldCount = static_cast<uint16_t>(f.size());
  desc.pfldDesc = f.data();
  desc.pecrFldOp = ops.data();
  engine::DoRestructure(*engine::OpenDatabase(dir), desc);
}

}  // namespace testing_support
