// A cursor: one open table with an order (natural or an index tag), an optional key range, a
// current row and the engine's per-cursor settings. Table objects (table.h) sit on a cursor; the
// engine calls (bde.h) take it as hDBICur. Rows marked deleted are skipped.
//
// Walking forward from the first row streams through the table with constant memory. Calls that
// need positions (counting, moving to a position, reading another row for a view) list the row
// numbers of the current order once and keep that list until the rows change.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/bde.h"
#include "engine/database.h"
#include "engine/storage.h"

namespace engine {

class Cursor {
 public:
  Cursor(Database* db, std::string table_name, std::unique_ptr<TableStorage> storage, bool exclusive);
  ~Cursor();

  Database* database() const { return db_; }
  const std::string& table_name() const { return table_name_; }
  TableStorage& storage() { return *storage_; }
  bool exclusive() const { return exclusive_; }
  uint32_t xlt_mode = bde::xltFIELD;

  // Order and range. An unknown tag throws kNoSuchIndex naming the table and tag.
  void SetOrder(const std::string& tag);
  const std::string& order() const { return tag_; }
  void SetRange(std::optional<Value> key);

  // Navigation; each returns whether a current row exists afterwards.
  bool First();
  bool Next();
  bool Prior();
  bool Last();
  bool HasCurrent() const { return recno_ != 0; }
  uint64_t CurrentRecNo() const { return recno_; }
  const std::string& Buffer() const { return buf_; }

  int64_t Count();                 // rows in the current order and range
  int64_t Position();              // 1-based position of the current row, 0 when none
  bool MoveTo(int64_t position);   // 1-based
  // Field (0-based) of the row at a position, read without moving.
  Value ValueAt(int64_t position, int field);

  // Writes. Update rewrites the current row; Append adds one and makes it current.
  void Update(const std::string& new_buf);
  void Append(const std::string& buf);
  // Marks the current row deleted and moves to the row after it; false when there is none.
  bool MarkDeleted();
  void Flush();

 private:
  bool Accept(uint64_t recno, std::string* buf);
  bool StreamNext();
  void Materialize();
  void Invalidate();

  Database* db_;
  std::string table_name_;
  std::unique_ptr<TableStorage> storage_;
  bool exclusive_;
  std::string tag_;
  std::optional<Value> range_;
  // Streaming state.
  std::unique_ptr<KeyWalker> walker_;
  uint64_t natural_next_ = 1;
  // Materialized order (row numbers), valid while `listed_`.
  bool listed_ = false;
  std::vector<uint64_t> rows_;
  int64_t pos_ = 0;  // 1-based index into rows_ when listed_, 0 when unknown
  uint64_t recno_ = 0;
  std::string buf_;
  std::string scratch_;
};

// Whether a pointer is a cursor that is open now (handles from callers are checked with it).
bool IsLiveCursor(const Cursor* c);

}  // namespace engine
