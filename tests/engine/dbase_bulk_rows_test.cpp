// Rows appended many at a time, composed in the table's own write buffer, and the restructure
// that rebuilds a table that way: the files are the same as row by row, and a write of a full
// buffer that fails reaches the caller. Rows read back many at a time, the next part of the file
// read ahead on another thread: the same rows in any order of reading, and a failed read
// reaches the caller.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/database.h"
#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "tests/support/add_amounts.h"
#include "tests/support/fault_fs.h"
#include "tests/support/forwarding_fs.h"
#include "tests/support/numbered.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

using testing_support::TempDir;

// A table of about 100-byte rows (an autoincrement field in front when `numbered`), with a
// production index on the name when `indexed`.
void Create(const std::string& path, bool numbered, bool indexed = false) {
  auto field = [](const char* name, uint16_t type, uint16_t size) {
    FieldSpec f;
    f.name = name;
    f.type = type;
    f.size = size;
    return f;
  };
  TableDefinition def;
  def.level = numbered ? 7 : 4;
  def.fields = {field("NOMBRE", bde::fldDBCHAR, 40), field("NOTA", bde::fldDBCHAR, 60)};
  if (numbered) def.fields.insert(def.fields.begin(), field("ID", bde::fldDBAUTOINC, 0));
  if (indexed) def.tags = {{"NOMBRE", "UPPER(NOMBRE)", "", 'C', false, false}};
  CreateStorage(path, def);
}

// Row i as stored: text fields from i, every third row marked deleted.
std::string Row(TableStorage& t, uint64_t i) {
  std::string row = t.BlankRecord();
  const int first = t.Fields().size() == 3 ? 1 : 0;
  t.SetValue(&row, first, Value::Text(testing_support::Numbered("Cliente ", i)));
  t.SetValue(&row, first + 1, Value::Text(std::string(i % 50, 'x')));
  if (i % 3 == 0) row[0] = '*';
  return row;
}

struct BulkCase {
  const char* name;
  bool bulk;       // between BeginBulkAppend and EndBulkAppend
  bool numbered;   // rows numbered by an autoincrement field: appended one by one
  uint64_t rows;   // more than a megabyte of rows: full buffers written on the way
  size_t room;     // rows offered to each fill
  size_t skip;     // the fill leaves out every skip-th row it could write (0: none)
};

TEST(DbaseBulkRows, ManyRowsAtOnceWriteTheSameFileAsOneByOne) {
  const std::vector<BulkCase> cases = {
      {"en bloque, varios megas", true, false, 30000, 2500, 0},
      {"en bloque, filas saltadas", true, false, 30000, 777, 4},
      {"sin modo de bloque", false, false, 500, 64, 5},
      {"autonumérico", true, true, 15000, 1000, 3},
  };
  for (const BulkCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string one = dir / "uno.dbf", many = dir / "muchos.dbf";
    Create(one, c.numbered);
    Create(many, c.numbered);
    auto a = OpenStorage(one, TableFormat::kDbase, {});
    auto b = OpenStorage(many, TableFormat::kDbase, {});
    if (c.bulk) {
      a->BeginBulkAppend();
      b->BeginBulkAppend();
    }
    const size_t length = b->RecordLength();
    uint64_t next = 1, appended = 0;
    while (next <= c.rows) {
      appended += b->AppendRecords(c.room, [&](char* rows) {
        size_t written = 0;
        for (size_t k = 0; k < c.room && next <= c.rows; ++k, ++next) {
          if (c.skip && next % c.skip == 0) continue;
          const std::string row = Row(*b, next);
          a->AppendRecord(row);
          std::memcpy(rows + written++ * length, row.data(), length);
        }
        return written;
      });
    }
    a->Flush();
    b->Flush();
    EXPECT_EQ(appended, a->RecordCount());
    EXPECT_EQ(b->RecordCount(), a->RecordCount());
    a.reset();
    b.reset();
    EXPECT_TRUE(testing_support::ReadFileBytes(one) == testing_support::ReadFileBytes(many));
  }
}

// Appends three megabytes of rows in bulk and closes the table.
void AppendInBulk(const std::string& path) {
  auto t = OpenStorage(path, TableFormat::kDbase, {});
  t->BeginBulkAppend();
  for (uint64_t i = 1; i <= 30000; ++i) t->AppendRecord(Row(*t, i));
  t->EndBulkAppend();
  t->Flush();
}

TEST(DbaseBulkRows, AFailedWriteOfAFullBufferReachesTheCaller) {
  uint64_t ops;
  {
    TempDir dir;
    Create(dir / "t.dbf", false);
    testing_support::FaultInjectionFileSystem fs;
    testing_support::ScopedFileSystem use(&fs);
    AppendInBulk(dir / "t.dbf");
    ops = fs.mutating_ops();
  }
  ASSERT_GT(ops, 3u);  // the full buffers, then the end of the table
  for (bool crash : {false, true}) {
    for (uint64_t k = 1; k <= ops; ++k) {
      SCOPED_TRACE((crash ? "crash at " : "fail at ") + std::to_string(k));
      TempDir dir;
      Create(dir / "t.dbf", false);
      testing_support::FaultInjectionFileSystem fs;
      testing_support::ScopedFileSystem use(&fs);
      if (crash) fs.CrashAt(k);
      else fs.FailAt(k);
      EXPECT_THROW(AppendInBulk(dir / "t.dbf"), EngineError);
      EXPECT_TRUE(fs.fault_fired());
    }
  }
}

// A restructure that copies every field as stored and adds two: each new row is its old row
// with blank amounts after it, deleted rows gone or still marked, the index true to the rows.
TEST(DbaseBulkRows, ARestructureFromBlocksOfRowsKeepsEveryRow) {
  struct Case {
    const char* name;
    bool pack;
    bool indexed;
  };
  const std::vector<Case> cases = {{"con pack", true, false}, {"sin pack", false, false},
                                   {"con pack e índice", true, true}, {"sin pack, con índice", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir / "clientes.dbf";
    Create(path, false, c.indexed);
    std::vector<std::string> before;
    {
      auto t = OpenStorage(path, TableFormat::kDbase, {});
      for (uint64_t i = 1; i <= 9000; ++i) before.push_back(Row(*t, i));  // several blocks of rows
      for (const std::string& row : before) t->AppendRecord(row);
      t->Flush();
    }
    testing_support::AddTwoAmounts(dir.path(), "clientes.dbf", c.pack);
    auto t = OpenStorage(path, TableFormat::kDbase, {false, true});
    const std::string blanks(24, ' ');
    uint64_t recno = 0;
    std::string row;
    for (const std::string& old : before) {
      if (c.pack && old[0] == '*') continue;
      ASSERT_LT(recno, t->RecordCount());
      t->ReadRecord(++recno, &row);
      ASSERT_EQ(row, old + blanks) << "fila " << recno;
    }
    EXPECT_EQ(recno, t->RecordCount());
    EXPECT_EQ(t->Tags().size(), c.indexed ? 1u : 0u);
    EXPECT_TRUE(dbase::CheckTableIndexes(path).problems.empty());
  }
}

// Counts, for the new .DBF a rebuild writes in the work folder, the opens to write it and its syncs.
class WorkTableWatch : public testing_support::ForwardingFileSystem {
 public:
  int opens = 0, syncs = 0;
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    const bool watched = path.find(".actualiza-nuevo/clientes.dbf") != std::string::npos;
    if (watched && mode != OpenMode::kRead) ++opens;
    return std::make_unique<Watched>(ForwardingFileSystem::Open(path, mode), watched ? &syncs : nullptr);
  }

 private:
  class Watched : public testing_support::ForwardingFile {
   public:
    Watched(std::unique_ptr<File> f, int* syncs) : ForwardingFile(std::move(f)), syncs_(syncs) {}
    void Sync() override {
      if (syncs_) ++*syncs_;
      ForwardingFile::Sync();
    }

   private:
    int* syncs_;
  };
};

// The new table is created, then written through one handle, its index announced in its header
// before it is made durable once: with an index or without, two opens to write it and one sync.
TEST(DbaseBulkRows, ARebuiltTableIsWrittenThroughOneHandleAndSyncedOnce) {
  for (bool indexed : {false, true}) {
    SCOPED_TRACE(indexed ? "con índice" : "sin índice");
    TempDir dir;
    const std::string path = dir / "clientes.dbf";
    Create(path, false, indexed);
    {
      auto t = OpenStorage(path, TableFormat::kDbase, {});
      for (uint64_t i = 1; i <= 100; ++i) t->AppendRecord(Row(*t, i));
    }
    WorkTableWatch fs;
    {
      testing_support::ScopedFileSystem use(&fs);
      testing_support::AddTwoAmounts(dir.path(), "clientes.dbf", false);
    }
    EXPECT_EQ(fs.opens, 2);
    EXPECT_EQ(fs.syncs, 1);
    auto t = OpenStorage(path, TableFormat::kDbase, {false, true});
    EXPECT_EQ(t->RecordCount(), 100u);
    EXPECT_EQ(t->Tags().size(), indexed ? 1u : 0u);
  }
}

// Reads of a table's file, by thread, failing from `fail_from` on (an unreadable disk block).
class WatchedReads : public testing_support::ForwardingFileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    return std::make_unique<Watched>(base()->Open(path, mode), this);
  }
  uint64_t fail_from = UINT64_MAX;
  std::mutex mu;
  std::set<std::thread::id> readers;

 private:
  struct Watched : testing_support::ForwardingFile {
    Watched(std::unique_ptr<File> f, WatchedReads* fs) : ForwardingFile(std::move(f)), fs_(fs) {}
    size_t ReadAt(uint64_t offset, void* buf, size_t n) override {
      {
        std::lock_guard<std::mutex> l(fs_->mu);
        fs_->readers.insert(std::this_thread::get_id());
      }
      if (offset + n > fs_->fail_from) throw IoError("leer", path(), EIO);
      return ForwardingFile::ReadAt(offset, buf, n);
    }
    WatchedReads* fs_;
  };
};

// A walk of a read-only open reads the next part of the file on another thread while the rows
// before it are read; every row read is the row on disk whatever the order of reading, and a read
// that fails, ahead or not, is thrown to the reader, naming the table, when it reaches those rows.
TEST(DbaseBulkRows, RowsReadInOrderAreTheRowsOnDiskAndAFailedReadReachesTheReader) {
  struct Case {
    const char* name;
    bool read_only;
    std::vector<std::pair<uint64_t, uint64_t>> runs;  // rows read, from first to last
    uint64_t fail_from;                                // the file's bytes unreadable from here
    bool ahead;                                        // some reads made on another thread
  };
  const std::vector<Case> cases = {
      {"en orden", true, {{1, 30000}}, UINT64_MAX, true},
      {"saltos atrás y adelante", true, {{1, 9000}, {4000, 20000}, {25000, 30000}, {1, 30000}}, UINT64_MAX, true},
      {"abierta para escribir", false, {{1, 30000}}, UINT64_MAX, false},
      {"bloque ilegible", true, {{1, 30000}}, 2000000, true},
      {"bloque ilegible, para escribir", false, {{1, 30000}}, 2000000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir / "t.dbf";
    Create(path, false);
    AppendInBulk(path);
    WatchedReads fs;
    testing_support::ScopedFileSystem use(&fs);
    OpenOptions options;
    options.read_only = c.read_only;
    auto t = OpenStorage(path, TableFormat::kDbase, options);
    fs.fail_from = c.fail_from;
    std::string buf;
    uint64_t read = 0;
    try {
      for (const auto& [first, last] : c.runs)
        for (uint64_t r = first; r <= last; ++r, ++read) {
          t->ReadRecord(r, &buf);
          ASSERT_EQ(buf, Row(*t, r)) << "fila " << r;
        }
      EXPECT_EQ(c.fail_from, UINT64_MAX) << "se leyeron filas ilegibles";
    } catch (const EngineError& e) {
      EXPECT_NE(c.fail_from, UINT64_MAX) << e.what();
      EXPECT_NE(std::string(e.what()).find(CtxTable(path)), std::string::npos) << e.what();
      // Read up to the unreadable block, less at most the part of the file read at once.
      const uint64_t before_bad = c.fail_from / t->RecordLength(), at_once = 256 * 1024 / t->RecordLength() + 1;
      EXPECT_LE(read, before_bad);
      EXPECT_GE(read + at_once, before_bad);
    }
    std::lock_guard<std::mutex> l(fs.mu);
    EXPECT_EQ(fs.readers.size() > 1, c.ahead);
  }
}

}  // namespace
}  // namespace engine
