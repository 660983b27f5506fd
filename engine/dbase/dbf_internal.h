// What the files of the .DBF table share: field bytes (little- and big-endian), text trimming,
// today's date, the companion files' names, and the views through which the table hands its
// rows to the production index.
//
// Internal to engine/dbase; dbf.h is the interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/dbase/dbf.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"

namespace engine::dbase::dbf_internal {

inline uint32_t GetU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void PutU32(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint64_t GetBE(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}
inline void PutBE(char* p, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<char>(v & 0xFF);
    v >>= 8;
  }
}
inline bool AllZero(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

inline std::string Trim(std::string_view s, std::string_view chars = " \0") {
  size_t b = s.find_first_not_of(chars);
  if (b == std::string_view::npos) return "";
  size_t e = s.find_last_not_of(chars);
  return std::string(s.substr(b, e - b + 1));
}

inline std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

inline bool IsMemoLetter(char c) { return c == 'M' || c == 'B' || c == 'G'; }

// Today's date (UTC) as year, month and day (dbf_values.cpp).
void Today(int* y, int* m, int* d);

// Names of the files beside the table (dbf_header.cpp).
std::string CompanionToCreate(const std::string& path, const std::string& ext);
std::string BaseNameNoExt(const std::string& path);

// A row handed to the production index.
class RowView : public RecordView {
 public:
  RowView(DbfTable* t, const std::string* buf, uint64_t recno) : t_(t), buf_(buf), recno_(recno) {}
  void SetRecNo(uint64_t recno) { recno_ = recno; }
  uint64_t RecNo() const override { return recno_; }
  std::string_view Record() const override { return *buf_; }
  bool Deleted() const override { return t_->IsDeleted(*buf_); }
  Value Field(const std::string& name) const override { return t_->GetValue(*buf_, Index(name)); }
  std::string RawText(const std::string& name) const override { return t_->RawField(*buf_, Index(name)); }

 private:
  int Index(const std::string& name) const {
    int i = t_->FieldIndex(name);
    if (i < 0)
      throw EngineError(err::kInvalidFieldName, "El índice usa un campo que la tabla no tiene.",
                        {CtxTable(t_->Path()), CtxField(name)});
    return i;
  }
  DbfTable* t_;
  const std::string* buf_;
  uint64_t recno_;
};

// Every row of a table, for building or checking its index.
class TableRows : public RecordSource {
 public:
  explicit TableRows(DbfTable* t) : t_(t), view_(t, &buf_, 0) {}
  uint64_t Count() override { return t_->RecordCount(); }
  const RecordView& Row(uint64_t recno) override {
    t_->ReadRecord(recno, &buf_);
    view_.SetRecNo(recno);
    return view_;
  }
  size_t BeginRecordCopies() override { return t_->BeginRecordCopies() ? t_->RecordLength() : 0; }
  void CopyRecords(uint64_t first, size_t n, char* out) const override { t_->CopyRecords(first, n, out); }

 private:
  DbfTable* t_;
  std::string buf_;
  RowView view_;
};

}  // namespace engine::dbase::dbf_internal
