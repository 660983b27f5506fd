// Helpers shared by the dBASE storage tests: reading every row of a table through the engine and
// comparing it with what python3-dbfread prints for the same file.
#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/storage.h"
#include "tests/support/readers.h"
#include "tests/support/numbered.h"

namespace dbase_test {

// A field to create: name, physical type, size and decimals.
inline engine::FieldSpec Spec(const char* name, uint16_t type, uint16_t size = 0, uint16_t decimals = 0) {
  engine::FieldSpec x;
  x.name = name;
  x.type = type;
  x.size = size;
  x.decimals = decimals;
  return x;
}

// One value of a flat JSON object as dbfread's script prints it.
struct JsonValue {
  enum Kind { kNull, kBool, kNumber, kString } kind = kNull;
  bool b = false;
  std::string text;  // the number's text, or the decoded string
};
using JsonRow = std::map<std::string, JsonValue>;

inline void AppendCodePoint(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Parses one line {"KEY": value, ...} with string, number, true/false and null values.
inline std::optional<JsonRow> ParseJsonLine(const std::string& s) {
  size_t i = 0;
  auto ws = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  };
  auto str = [&](std::string* out) -> bool {
    if (i >= s.size() || s[i] != '"') return false;
    ++i;
    while (i < s.size() && s[i] != '"') {
      if (s[i] != '\\') {
        *out += s[i++];
        continue;
      }
      if (++i >= s.size()) return false;
      char e = s[i++];
      switch (e) {
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'u': {
          if (i + 4 > s.size()) return false;
          unsigned cp = static_cast<unsigned>(std::strtoul(s.substr(i, 4).c_str(), nullptr, 16));
          i += 4;
          if (cp >= 0xD800 && cp < 0xDC00 && i + 6 <= s.size() && s[i] == '\\' && s[i + 1] == 'u') {
            unsigned lo = static_cast<unsigned>(std::strtoul(s.substr(i + 2, 4).c_str(), nullptr, 16));
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 6;
          }
          AppendCodePoint(*out, cp);
          break;
        }
        default: *out += e;
      }
    }
    if (i >= s.size()) return false;
    ++i;
    return true;
  };
  JsonRow row;
  ws();
  if (i >= s.size() || s[i++] != '{') return std::nullopt;
  for (;;) {
    ws();
    if (i < s.size() && s[i] == '}') return row;
    std::string key;
    if (!str(&key)) return std::nullopt;
    ws();
    if (i >= s.size() || s[i++] != ':') return std::nullopt;
    ws();
    JsonValue v;
    if (s.compare(i, 4, "null") == 0) {
      i += 4;
    } else if (s.compare(i, 4, "true") == 0) {
      v.kind = JsonValue::kBool;
      v.b = true;
      i += 4;
    } else if (s.compare(i, 5, "false") == 0) {
      v.kind = JsonValue::kBool;
      i += 5;
    } else if (i < s.size() && s[i] == '"') {
      v.kind = JsonValue::kString;
      if (!str(&v.text)) return std::nullopt;
    } else {
      v.kind = JsonValue::kNumber;
      while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ' ') v.text += s[i++];
    }
    row[key] = v;
    ws();
    if (i < s.size() && s[i] == ',') ++i;
  }
}

inline std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// "" when the engine's value equals what dbfread printed, else a description of the difference.
inline std::string CompareValue(const engine::Value& v, const JsonValue& j) {
  using K = engine::Value::Kind;
  std::string shown = v.ToDisplay();
  std::string mismatch = "engine «" + shown + "» vs dbfread «" + j.text + "»";
  switch (j.kind) {
    case JsonValue::kNull: return v.IsNull() ? "" : "engine «" + shown + "» vs dbfread null";
    case JsonValue::kBool:
      return v.kind == K::Logical && (v.i != 0) == j.b ? "" : "engine «" + shown + "» vs dbfread bool";
    case JsonValue::kNumber: {
      double x = std::strtod(j.text.c_str(), nullptr);
      auto d = v.AsDouble();
      return (v.kind == K::Number || v.kind == K::Integer) && d && *d == x ? "" : mismatch;
    }
    case JsonValue::kString:
      if (j.text.empty()) return v.IsNull() || (v.kind == K::Text && v.s.empty()) ? "" : mismatch;
      if (v.kind == K::Text || v.kind == K::Date) return shown == j.text ? "" : mismatch;
      if (v.kind == K::Number) return std::strtod(j.text.c_str(), nullptr) == v.d ? "" : mismatch;
      if (v.kind == K::Binary) return Hex(v.s) == j.text ? "" : mismatch;
      return mismatch;
  }
  return mismatch;
}

// Every row through the engine in dbfread's order: live rows first, then deleted ones.
inline std::vector<std::pair<bool, std::vector<engine::Value>>> ReadAllRows(engine::TableStorage& t) {
  std::vector<std::pair<bool, std::vector<engine::Value>>> live, deleted;
  std::string buf;
  for (uint64_t r = 1; r <= t.RecordCount(); ++r) {
    t.ReadRecord(r, &buf);
    std::vector<engine::Value> vals;
    for (int f = 0; f < static_cast<int>(t.Fields().size()); ++f) vals.push_back(t.GetValue(buf, f));
    (t.IsDeleted(buf) ? deleted : live).emplace_back(t.IsDeleted(buf), std::move(vals));
  }
  live.insert(live.end(), deleted.begin(), deleted.end());
  return live;
}

// Compares every row and value of an engine table with dbfread's reading of the same file.
// Returns nullopt when dbfread is not installed, "" when they agree, else the first difference.
inline std::optional<std::string> CompareWithDbfread(engine::TableStorage& t, const std::string& encoding) {
  auto lines = testing_support::DbfreadRecords(t.Path(), encoding);
  if (!lines) return std::nullopt;
  auto rows = ReadAllRows(t);
  if (lines->size() != rows.size())
    return testing_support::Numbered("dbfread gave ", lines->size()) + testing_support::Numbered(" rows, the engine ", rows.size()) +
           (lines->empty() ? std::string() : ": " + lines->front().substr(0, 300));
  for (size_t r = 0; r < rows.size(); ++r) {
    auto json = ParseJsonLine((*lines)[r]);
    if (!json) return "unreadable dbfread line: " + (*lines)[r].substr(0, 300);
    auto del = json->find("_deleted");
    if (del == json->end() || del->second.b != rows[r].first) return testing_support::Numbered("deleted flag differs in row ", r + 1);
    const auto& fields = t.Fields();
    for (size_t f = 0; f < fields.size(); ++f) {
      // dbfread keeps the last of two fields of one name.
      bool shadowed = false;
      for (size_t g = f + 1; g < fields.size(); ++g) shadowed |= fields[g].name == fields[f].name;
      if (shadowed) continue;
      auto it = json->find(fields[f].name);
      if (it == json->end()) return "dbfread has no field " + fields[f].name;
      std::string diff = CompareValue(rows[r].second[f], it->second);
      if (!diff.empty()) return testing_support::Numbered("row ", r + 1) + ", field " + fields[f].name + ": " + diff;
    }
  }
  return std::string();
}

}  // namespace dbase_test
