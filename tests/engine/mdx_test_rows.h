// Test-only rows for index tests: a table held in memory as the raw field texts a .DBF stores,
// offered to the index as a RecordSource, plus a minimal writer and reader of plain dBASE
// (0x03) files so that independent readers can open the index beside its table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/bde.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "engine/value.h"
#include "tests/support/temp_dir.h"

namespace mdx_test {

using engine::FieldSpec;
using engine::Value;

inline FieldSpec Char(const std::string& name, int len) { return {name, ::bde::fldDBCHAR, static_cast<uint16_t>(len), 0}; }
inline FieldSpec Num(const std::string& name, int len, int dec = 0) {
  return {name, ::bde::fldDBNUM, static_cast<uint16_t>(len), static_cast<uint16_t>(dec)};
}
inline FieldSpec Date(const std::string& name) { return {name, ::bde::fldDBDATE, 8, 0}; }
inline FieldSpec Bool(const std::string& name) { return {name, ::bde::fldDBBOOL, 1, 0}; }

struct Table {
  std::vector<FieldSpec> fields;
  std::vector<std::vector<std::string>> rows;  // raw stored text per field (padded as stored)
  std::vector<bool> deleted;

  int FieldIndex(const std::string& name) const {
    for (size_t i = 0; i < fields.size(); ++i)
      if (engine::FoldCase(fields[i].name) == engine::FoldCase(name)) return static_cast<int>(i);
    throw engine::EngineError(engine::err::kInvalidFieldName, "no field " + name);
  }
  // Stores a value formatted as a .DBF would: text left-aligned, numbers right-aligned.
  static std::string Format(const FieldSpec& f, const std::string& text) {
    std::string s = text;
    if (f.type == ::bde::fldDBNUM && s.size() < f.size) s.insert(0, f.size - s.size(), ' ');
    s.resize(f.size, ' ');
    return s;
  }
  void Add(const std::vector<std::string>& values, bool del = false) {
    std::vector<std::string> row;
    for (size_t i = 0; i < fields.size(); ++i) row.push_back(Format(fields[i], i < values.size() ? values[i] : ""));
    rows.push_back(row);
    deleted.push_back(del);
  }
  void Set(uint64_t recno, const std::string& field, const std::string& text) {
    int i = FieldIndex(field);
    rows[recno - 1][static_cast<size_t>(i)] = Format(fields[static_cast<size_t>(i)], text);
  }
};

class RowView : public engine::dbase::RecordView {
 public:
  RowView(const Table* t, uint64_t recno, std::vector<std::string> row, bool del)
      : t_(t), recno_(recno), row_(std::move(row)), del_(del) {}
  uint64_t RecNo() const override { return recno_; }
  bool Deleted() const override { return del_; }
  std::string RawText(const std::string& name) const override { return row_[static_cast<size_t>(t_->FieldIndex(name))]; }
  Value Field(const std::string& name) const override {
    int i = t_->FieldIndex(name);
    const FieldSpec& f = t_->fields[static_cast<size_t>(i)];
    std::string raw = row_[static_cast<size_t>(i)];
    std::string trimmed = raw;
    trimmed.erase(0, trimmed.find_first_not_of(' ') == std::string::npos ? trimmed.size() : trimmed.find_first_not_of(' '));
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
    switch (f.type) {
      case ::bde::fldDBNUM:
        if (trimmed.empty()) return Value::Null();
        return Value::Number(std::strtod(trimmed.c_str(), nullptr), trimmed);
      case ::bde::fldDBDATE: {
        if (trimmed.empty()) return Value::Null();
        int y = std::atoi(raw.substr(0, 4).c_str()), m = std::atoi(raw.substr(4, 2).c_str()),
            d = std::atoi(raw.substr(6, 2).c_str());
        return Value::Date(engine::DayFromCivil(y, m, d));
      }
      case ::bde::fldDBBOOL:
        if (trimmed.empty() || trimmed == "?") return Value::Null();
        return Value::Logical(std::strchr("TtYy", trimmed[0]) != nullptr);
      default:
        return Value::Text(trimmed);
    }
  }

 private:
  const Table* t_;
  uint64_t recno_;
  std::vector<std::string> row_;
  bool del_;
};

class Rows : public engine::dbase::RecordSource {
 public:
  explicit Rows(const Table& t) : t_(t) {}
  uint64_t Count() override { return t_.rows.size(); }
  const engine::dbase::RecordView& Row(uint64_t recno) override {
    view_ = std::make_unique<RowView>(&t_, recno, t_.rows.at(recno - 1), t_.deleted.at(recno - 1));
    return *view_;
  }

 private:
  const Table& t_;
  std::unique_ptr<RowView> view_;
};

inline char TypeLetter(const FieldSpec& f) {
  switch (f.type) {
    case ::bde::fldDBNUM: return 'N';
    case ::bde::fldDBDATE: return 'D';
    case ::bde::fldDBBOOL: return 'L';
    default: return 'C';
  }
}

// Writes the table as a dBASE IV .DBF without memo (version 0x03), production-index flag set.
inline void WriteDbf(const std::string& path, const Table& t, uint8_t ldid = 0x57) {
  std::string h(32, '\0');
  h[0] = 0x03;
  h[1] = 124; h[2] = 1; h[3] = 1;
  uint32_t n = static_cast<uint32_t>(t.rows.size());
  std::memcpy(&h[4], &n, 4);
  uint16_t hl = static_cast<uint16_t>(32 + 32 * t.fields.size() + 1);
  uint16_t rl = 1;
  for (const auto& f : t.fields) rl = static_cast<uint16_t>(rl + f.size);
  std::memcpy(&h[8], &hl, 2);
  std::memcpy(&h[10], &rl, 2);
  h[28] = 1;
  h[29] = static_cast<char>(ldid);
  for (const auto& f : t.fields) {
    std::string d(32, '\0');
    std::memcpy(&d[0], f.name.data(), std::min<size_t>(f.name.size(), 10));
    d[11] = TypeLetter(f);
    d[16] = static_cast<char>(f.size);
    d[17] = static_cast<char>(f.decimals);
    h += d;
  }
  h += '\x0D';
  for (size_t r = 0; r < t.rows.size(); ++r) {
    h += t.deleted[r] ? '*' : ' ';
    for (const auto& v : t.rows[r]) h += v;
  }
  h += '\x1A';
  testing_support::WriteFileBytes(path, h);
}

// Reads a plain dBASE III/IV table (no memo types needed) into a Table.
inline Table ReadDbf(const std::string& path) {
  std::string b = testing_support::ReadFileBytes(path);
  Table t;
  uint32_t n = 0;
  uint16_t hl = 0;
  std::memcpy(&n, &b[4], 4);
  std::memcpy(&hl, &b[8], 2);
  size_t off = 32;
  while (off + 32 <= hl && b[off] != '\x0D') {
    std::string name(b.data() + off, 11);
    name = name.substr(0, name.find('\0'));
    char type = b[off + 11];
    auto len = static_cast<uint8_t>(b[off + 16]);
    auto dec = static_cast<uint8_t>(b[off + 17]);
    if (type == 'N') t.fields.push_back(Num(name, len, dec));
    else if (type == 'D') t.fields.push_back(Date(name));
    else if (type == 'L') t.fields.push_back(Bool(name));
    else t.fields.push_back(Char(name, len));
    off += 32;
  }
  size_t pos = hl;
  for (uint32_t r = 0; r < n; ++r) {
    bool del = b[pos] == '*';
    ++pos;
    std::vector<std::string> row;
    for (const auto& f : t.fields) {
      row.push_back(b.substr(pos, f.size));
      pos += f.size;
    }
    t.rows.push_back(row);
    t.deleted.push_back(del);
  }
  return t;
}

// Record numbers of a tag through our walker.
inline std::vector<uint64_t> WalkAll(engine::dbase::MdxIndex& idx, const std::string& tag,
                                     const std::optional<Value>& eq = std::nullopt) {
  std::vector<uint64_t> out;
  auto w = idx.Walk(tag, eq);
  uint64_t r = 0;
  while (w->Next(&r)) out.push_back(r);
  return out;
}

// The record numbers index_dump prints for a tag (last column of each line).
inline std::vector<uint64_t> DumpRecnos(const std::string& dump) {
  std::vector<uint64_t> out;
  size_t start = 0;
  while (start < dump.size()) {
    size_t end = dump.find('\n', start);
    if (end == std::string::npos) end = dump.size();
    std::string line = dump.substr(start, end - start);
    start = end + 1;
    size_t sp = line.find_last_of(' ');
    if (sp == std::string::npos) continue;
    out.push_back(std::strtoull(line.c_str() + sp + 1, nullptr, 10));
  }
  return out;
}

}  // namespace mdx_test
