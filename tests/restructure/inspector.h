// Read access to the private structure of TRestructure for its tests: the engine records, their
// operation codes, the table type and level, and the private validity-check helpers.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "restructure/Restructure.h"

namespace restructure {

class TRestructureInspector {
 public:
  explicit TRestructureInspector(TRestructure& r) : r_(r) {}

  bool FieldsPresent() const { return r_.FFieldDescs != nullptr; }
  bool ValChecksPresent() const { return r_.FValChecks != nullptr; }
  int FieldCount() const { return r_.FieldCountEff(); }
  int ValCheckCount() const { return r_.ValCheckCountEff(); }
  // 1-based, as the component counts.
  const bde::FLDDesc& Field(int pos) const { return r_.FFieldDescs[pos - 1]; }
  bde::CROpType FieldOp(int pos) const { return r_.FFieldOps[pos - 1]; }
  const bde::VCHKDesc& ValCheck(int k) const { return r_.FValChecks[k - 1]; }
  bde::CROpType ValCheckOp(int k) const { return r_.FValCheckOps[k - 1]; }
  std::string FieldName(int pos) const {
    const auto& f = Field(pos);
    return std::string(f.szName, strnlen(f.szName, sizeof f.szName));
  }
  const std::string& TableType() const { return r_.FTableType; }
  int TableLevel() const { return r_.FTableLevel; }
  engine::TTable* Table() const { return r_.FTable; }

  // Validity checks exist only on Paradox tables. Until this engine writes Paradox tables, the
  // editing of checks is exercised on the structure of a real table whose reported type and
  // level are changed here, and with check records placed as the engine would report them.
  // Such a structure is never applied.
  void PretendTableType(const std::string& type, uint16_t level) {
    r_.FTableType = type;
    r_.FTableLevel = level;
  }
  void PlaceReportedValCheck(const bde::VCHKDesc& rec) {
    const int n = r_.ValCheckCountEff();
    std::unique_ptr<bde::VCHKDesc[]> checks(new bde::VCHKDesc[n + 1]());
    std::unique_ptr<bde::CROpType[]> ops(new bde::CROpType[n + 1]());
    for (int k = 0; k < n; ++k) {
      checks[k] = r_.FValChecks[k];
      ops[k] = r_.FValCheckOps[k];
    }
    checks[n] = rec;
    r_.FValChecks = std::move(checks);
    r_.FValCheckOps = std::move(ops);
    r_.FValCheckCount = n + 1;
  }

  // The private helpers of the validity checks.
  bool ValCheckNeeded(const std::string& name) { return r_.ValCheckNeeded(name); }
  uint16_t TextToEngineValue(const std::string& text, TdBasePxFieldType type, uint8_t* buffer,
                             uint16_t places) {
    return r_.TextToEngineValue(text, type, buffer, places);
  }
  std::string EngineValueToText(TdBasePxFieldType type, const uint8_t* buffer) {
    return r_.EngineValueToText(type, buffer);
  }

 private:
  TRestructure& r_;
};

}  // namespace restructure
