// Adds the numbers SA and SC, N(12,2), after the existing fields of a dBASE table, as the upgrade
// does, in one restructure of the engine (with or without packing). Engine calls only, so that
// the benchmarks use it as well as the tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "engine/bde.h"
#include "engine/database.h"
#include "engine/restructure.h"
#include "engine/storage.h"

namespace testing_support {

// One field record of a restructure: the old field's number (0 for a new field), name, type, sizes.
inline bde::FLDDesc FieldRecord(uint16_t num, const std::string& name, uint16_t type, int u1, int u2 = 0) {
  bde::FLDDesc d{};
  d.iFldNum = num;
  std::strncpy(d.szName, name.c_str(), sizeof d.szName - 1);
  d.iFldType = type;
  d.iUnits1 = static_cast<int16_t>(u1);
  d.iUnits2 = static_cast<int16_t>(u2);
  return d;
}

inline void AddTwoAmounts(const std::string& folder, const std::string& table, bool pack) {
  std::vector<engine::FieldSpec> old;
  {
    auto t = engine::OpenStorage(folder + "/" + table, engine::TableFormat::kDbase, {false, true});
    old = t->Fields();
  }
  std::vector<bde::FLDDesc> f;
  std::vector<bde::CROpType> ops;
  const auto rec = FieldRecord;
  for (size_t i = 0; i < old.size(); ++i) {
    f.push_back(rec(static_cast<uint16_t>(i + 1), old[i].name, old[i].type, old[i].size, old[i].decimals));
    ops.push_back(bde::crNOOP);
  }
  f.push_back(rec(0, "SA", bde::fldDBNUM, 12, 2));
  f.push_back(rec(0, "SC", bde::fldDBNUM, 12, 2));
  ops.push_back(bde::crADD);
  ops.push_back(bde::crADD);
  bde::CRTblDesc desc{};
  std::strncpy(desc.szTblName, table.c_str(), sizeof desc.szTblName - 1);
  desc.bPack = pack ? 0xFFFF : 0;
  desc.iFldCount = static_cast<uint16_t>(f.size());
  desc.pfldDesc = f.data();
  desc.pecrFldOp = ops.data();
  engine::DoRestructure(*engine::OpenDatabase(folder), desc);
}

}  // namespace testing_support
