#include "engine/cursor.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "engine/error.h"
#include "engine/path.h"

namespace engine {

namespace {
std::mutex g_live_mu;
std::set<const Cursor*>& LiveCursors() {
  static auto* s = new std::set<const Cursor*>();
  return *s;
}
}  // namespace

bool IsLiveCursor(const Cursor* c) {
  std::lock_guard<std::mutex> lock(g_live_mu);
  return LiveCursors().count(c) != 0;
}

Cursor::Cursor(Database* db, std::string table_name, std::unique_ptr<TableStorage> storage, bool exclusive)
    : db_(db), table_name_(std::move(table_name)), storage_(std::move(storage)), exclusive_(exclusive) {
  std::lock_guard<std::mutex> lock(g_live_mu);
  LiveCursors().insert(this);
}

Cursor::~Cursor() {
  std::lock_guard<std::mutex> lock(g_live_mu);
  LiveCursors().erase(this);
}

void Cursor::SetOrder(const std::string& tag) {
  if (!tag.empty()) {
    bool found = false;
    for (const auto& t : storage_->Tags())
      if (SameNameIgnoringCase(t.name, tag)) found = true;
    if (!found)
      throw EngineError(err::kNoSuchIndex,
                        "El índice no existe en el fichero de índices de la tabla. Compruebe que la tabla "
                        "es de la versión esperada o reconstruya sus índices.",
                        {CtxTable(storage_->Path()), CtxIndex(tag)});
  }
  tag_ = tag;
  Invalidate();
  recno_ = 0;
}

void Cursor::SetRange(std::optional<Value> key) {
  range_ = std::move(key);
  Invalidate();
  recno_ = 0;
}

void Cursor::Invalidate() {
  listed_ = false;
  rows_.clear();
  pos_ = 0;
  walker_.reset();
}

bool Cursor::Accept(uint64_t recno, std::string* buf) {
  storage_->ReadRecord(recno, buf);
  return !storage_->IsDeleted(*buf);
}

bool Cursor::StreamNext() {
  if (tag_.empty()) {
    uint64_t n = storage_->RecordCount();
    while (natural_next_ <= n) {
      uint64_t r = natural_next_++;
      if (Accept(r, &scratch_)) {
        recno_ = r;
        buf_.swap(scratch_);
        return true;
      }
    }
  } else {
    if (!walker_) return false;
    uint64_t r;
    while (walker_->Next(&r)) {
      if (r == 0 || r > storage_->RecordCount()) continue;
      if (Accept(r, &scratch_)) {
        recno_ = r;
        buf_.swap(scratch_);
        return true;
      }
    }
  }
  recno_ = 0;
  return false;
}

bool Cursor::First() {
  if (listed_) return MoveTo(1);
  pos_ = 0;
  if (tag_.empty()) {
    natural_next_ = 1;
  } else {
    walker_ = storage_->WalkTag(tag_, range_);
  }
  bool ok = StreamNext();
  if (ok) pos_ = 1;
  return ok;
}

bool Cursor::Next() {
  if (listed_) {
    if (pos_ >= static_cast<int64_t>(rows_.size())) {
      recno_ = 0;
      pos_ = static_cast<int64_t>(rows_.size()) + 1;
      return false;
    }
    return MoveTo(pos_ + 1);
  }
  if (recno_ == 0 && pos_ == 0) return false;
  bool ok = StreamNext();
  if (ok && pos_ > 0) ++pos_;
  return ok;
}

bool Cursor::Prior() {
  Materialize();
  if (pos_ <= 1) {
    recno_ = 0;
    pos_ = 0;
    return false;
  }
  return MoveTo(pos_ - 1);
}

bool Cursor::Last() {
  Materialize();
  return MoveTo(static_cast<int64_t>(rows_.size()));
}

void Cursor::Materialize() {
  if (listed_) return;
  std::vector<uint64_t> rows;
  std::string b;
  if (tag_.empty()) {
    uint64_t n = storage_->RecordCount();
    for (uint64_t r = 1; r <= n; ++r)
      if (Accept(r, &b)) rows.push_back(r);
  } else {
    auto w = storage_->WalkTag(tag_, range_);
    uint64_t r, n = storage_->RecordCount();
    while (w->Next(&r))
      if (r >= 1 && r <= n && Accept(r, &b)) rows.push_back(r);
  }
  rows_ = std::move(rows);
  listed_ = true;
  walker_.reset();
  pos_ = 0;
  if (recno_) {
    auto it = std::find(rows_.begin(), rows_.end(), recno_);
    if (it != rows_.end()) pos_ = (it - rows_.begin()) + 1;
  }
}

int64_t Cursor::Count() {
  Materialize();
  return static_cast<int64_t>(rows_.size());
}

int64_t Cursor::Position() {
  if (!recno_) return 0;
  Materialize();
  return pos_;
}

bool Cursor::MoveTo(int64_t position) {
  Materialize();
  if (position < 1 || position > static_cast<int64_t>(rows_.size())) {
    recno_ = 0;
    return false;
  }
  uint64_t r = rows_[static_cast<size_t>(position - 1)];
  storage_->ReadRecord(r, &buf_);
  recno_ = r;
  pos_ = position;
  return true;
}

Value Cursor::ValueAt(int64_t position, int field) {
  Materialize();
  if (position < 1 || position > static_cast<int64_t>(rows_.size())) return Value::Null();
  std::string b;
  storage_->ReadRecord(rows_[static_cast<size_t>(position - 1)], &b);
  return storage_->GetValue(b, field);
}

void Cursor::Update(const std::string& new_buf) {
  if (!recno_) throw EngineError(err::kInternal, "No hay registro actual.", {CtxTable(storage_->Path())});
  storage_->UpdateRecord(recno_, buf_, new_buf);
  buf_ = new_buf;
  // The row may have moved in the order: list the order again when positions are next needed,
  // and keep streaming from this row in natural order.
  if (!tag_.empty()) {
    uint64_t keep = recno_;
    Invalidate();
    Materialize();
    recno_ = keep;
    auto it = std::find(rows_.begin(), rows_.end(), recno_);
    pos_ = it == rows_.end() ? 0 : (it - rows_.begin()) + 1;
  }
}

void Cursor::Append(const std::string& buf) {
  uint64_t r = storage_->AppendRecord(buf);
  Invalidate();
  recno_ = r;
  buf_ = buf;
  natural_next_ = r + 1;
}

bool Cursor::MarkDeleted() {
  if (!recno_) return false;
  if (!tag_.empty() || listed_) {
    Materialize();
    int64_t at = pos_;
    storage_->SetDeleted(recno_, true);
    if (at > 0) rows_.erase(rows_.begin() + (at - 1));
    return MoveTo(at > 0 ? at : 1);
  }
  storage_->SetDeleted(recno_, true);
  natural_next_ = recno_ + 1;
  return StreamNext();
}

void Cursor::Flush() { storage_->Flush(); }

}  // namespace engine
