// The rows of an open table as the index reads them (to build or check its tags), when the
// caller holds the table as TableStorage rather than through the dBASE storage itself: tools,
// benchmarks and tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/codepage.h"
#include "engine/storage.h"

namespace engine::dbase {

class StorageRows : public RecordSource, public RecordView {
 public:
  explicit StorageRows(TableStorage& t) : t_(t) {}
  // With `held`: every record of the table as CopyRecords gives them, already read by the
  // caller; rows are taken from there instead of being read again.
  StorageRows(TableStorage& t, std::string_view held) : t_(t), held_(held) {}
  uint64_t Count() override { return t_.RecordCount(); }
  const RecordView& Row(uint64_t recno) override {
    recno_ = recno;
    if (const char* at = Held(recno, 1)) buf_.assign(at, t_.RecordLength());
    else t_.ReadRecord(recno, &buf_);
    return *this;
  }
  uint64_t RecNo() const override { return recno_; }
  bool Deleted() const override { return t_.IsDeleted(buf_); }
  Value Field(const std::string& name) const override { return t_.GetValue(buf_, Index(name)); }
  std::string RawText(const std::string& name) const override {
    const FieldSpec& f = t_.Fields()[static_cast<size_t>(Index(name))];
    if (f.offset + f.length > buf_.size()) return std::string(f.length, ' ');
    return buf_.substr(f.offset, f.length);
  }
  std::string_view Record() const override { return buf_; }
  size_t BeginRecordCopies() override { return t_.BeginRecordCopies() ? t_.RecordLength() : 0; }
  void CopyRecords(uint64_t first, size_t n, char* out) const override {
    if (const char* at = Held(first, n)) std::memcpy(out, at, n * t_.RecordLength());
    else t_.CopyRecords(first, n, out);
  }
  std::string_view HeldRecords() const override { return held_; }

 private:
  // Where rows first..first+n-1 lie among the held records; null when they are not all there
  // (the table then reads them, or says why it cannot).
  const char* Held(uint64_t first, size_t n) const {
    const size_t len = t_.RecordLength();
    if (held_.empty() || len == 0 || first < 1 || n > held_.size() / len || first - 1 > held_.size() / len - n)
      return nullptr;
    return held_.data() + static_cast<size_t>(first - 1) * len;
  }
  // Expressions ask for the same few names row after row: each name as asked is looked up once.
  int Index(const std::string& name) const {
    for (const auto& [asked, i] : known_)
      if (asked == name) return i;
    const auto& fields = t_.Fields();
    for (size_t i = 0; i < fields.size(); ++i)
      if (FoldCase(fields[i].name) == FoldCase(name)) {
        known_.emplace_back(name, static_cast<int>(i));
        return static_cast<int>(i);
      }
    throw EngineError(err::kInvalidFieldName, "El índice usa un campo que la tabla no tiene.",
                      {CtxTable(t_.Path()), CtxField(name)});
  }
  TableStorage& t_;
  std::string_view held_;
  mutable std::vector<std::pair<std::string, int>> known_;
  std::string buf_;
  uint64_t recno_ = 0;
};

}  // namespace engine::dbase
