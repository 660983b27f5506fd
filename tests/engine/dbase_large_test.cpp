// Tables past 4 GiB (64-bit offsets, on a sparse file) and the locks a table holds while open.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/support/fault_fs.h"
#include "tests/support/forwarding_fs.h"
#include "tests/support/temp_dir.h"

namespace {

using engine::EngineError;
using engine::Value;
using testing_support::TempDir;

engine::TableDefinition WideTable() {
  engine::TableDefinition def;
  def.level = 4;
  for (int i = 0; i < 16; ++i) {
    engine::FieldSpec f;
    f.name = std::string("C").append(std::to_string(i));
    f.type = bde::fldDBCHAR;
    f.size = 250;
    def.fields.push_back(f);
  }
  engine::FieldSpec n;
  n.name = "NUM";
  n.type = bde::fldDBNUM;
  n.size = 12;
  n.decimals = 3;
  def.fields.push_back(n);
  return def;
}

std::string ReadAt(const std::string& path, uint64_t offset, size_t n) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string s(n, '\0');
  in.read(s.data(), static_cast<std::streamsize>(n));
  s.resize(static_cast<size_t>(in.gcount()));
  return s;
}

TEST(DbaseLarge, RecordsPastFourGigabytes) {
  TempDir dir;
  std::string path = dir / "grande.dbf";
  engine::CreateStorage(path, WideTable());
  const uint64_t header = 32 + 17 * 32 + 1, reclen = 1 + 16 * 250 + 12;
  const uint32_t count = 1100000;  // the last rows lie past 4 GiB
  ASSERT_GT(header + (count - 1) * reclen, uint64_t{1} << 32);
  {
    // Announce the rows and make the file long enough: a sparse file of about 4.4 GB.
    std::string h = testing_support::ReadFileBytes(path).substr(0, header);
    std::memcpy(h.data() + 4, &count, 4);
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.write(h.data(), static_cast<std::streamsize>(h.size()));
  }
  std::error_code ec;
  std::filesystem::resize_file(path, header + count * reclen, ec);
  if (ec) GTEST_SKIP() << "no sparse file here: " << ec.message();

  {
    auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
    ASSERT_EQ(t->RecordCount(), count);
    std::string old_buf, buf;
    t->ReadRecord(count, &old_buf);
    buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Text("última fila"));
    t->SetValue(&buf, 16, Value::Number(-12.5, "-12.5"));
    t->UpdateRecord(count, old_buf, buf);
    buf = t->BlankRecord();
    t->SetValue(&buf, 15, Value::Text("añadida"));
    t->SetValue(&buf, 16, Value::Integer(4294967));
    EXPECT_EQ(t->AppendRecord(buf), count + 1u);
    t->SetDeleted(count - 1, true);
    t->Flush();
  }
  // The bytes are where 64-bit arithmetic puts them.
  uint64_t last = header + (count - 1) * reclen;
  EXPECT_EQ(ReadAt(path, last, 7), " \xFAltima");  // "ú" in code page 1252
  EXPECT_EQ(ReadAt(path, last + 1 + 4000, 12), "     -12.500");
  EXPECT_EQ(ReadAt(path, last - reclen, 1), "*");
  EXPECT_EQ(ReadAt(path, last + 2 * reclen, 1), "\x1A");
  EXPECT_EQ(std::filesystem::file_size(path), header + (count + 1) * reclen + 1);

  auto t = engine::dbase::Open(path, engine::OpenOptions{true, true}, false);
  ASSERT_EQ(t->RecordCount(), count + 1u);
  std::string buf;
  t->ReadRecord(count, &buf);
  EXPECT_EQ(t->GetValue(buf, 0), Value::Text("última fila"));
  EXPECT_EQ(t->GetValue(buf, 16).DecimalText(), "-12.5");
  t->ReadRecord(count + 1, &buf);
  EXPECT_EQ(t->GetValue(buf, 15), Value::Text("añadida"));
  EXPECT_EQ(t->GetValue(buf, 16).s, "4294967.000");
  t->ReadRecord(count - 1, &buf);
  EXPECT_TRUE(t->IsDeleted(buf));
  t->ReadRecord(count / 2, &buf);  // inside the hole: zero bytes, no values
  EXPECT_TRUE(t->GetValue(buf, 3).IsNull());
}

std::string SmallTable(const TempDir& dir) {
  std::string path = dir / "t.dbf";
  engine::TableDefinition def;
  engine::FieldSpec f;
  f.name = "A";
  f.type = bde::fldDBCHAR;
  f.size = 4;
  def.fields = {f};
  engine::CreateStorage(path, def);
  return path;
}

TEST(DbaseLocks, ExclusiveAndSharedConflict) {
  TempDir dir;
  std::string path = SmallTable(dir);
  engine::OpenOptions shared, exclusive;
  exclusive.exclusive = true;
  {
    auto a = engine::dbase::Open(path, shared, false);
    auto b = engine::dbase::Open(path, shared, false);  // two shared holders are fine
    try {
      engine::dbase::Open(path, exclusive, false);
      FAIL() << "exclusive open while shared holders exist";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), engine::err::kTableInUse);
      EXPECT_NE(e.message().find("abierta en otro programa"), std::string::npos);
      EXPECT_NE(std::string(e.what()).find("Tabla: " + path), std::string::npos);
    }
  }
  auto x = engine::dbase::Open(path, exclusive, false);
  EXPECT_THROW(engine::dbase::Open(path, shared, false), EngineError);
  engine::OpenOptions ro;
  ro.read_only = true;
  EXPECT_THROW(engine::dbase::Open(path, ro, false), EngineError);
  x.reset();
  EXPECT_NO_THROW(engine::dbase::Open(path, exclusive, false));

  // Creating over a table that is open elsewhere is refused and leaves it alone.
  std::string before = testing_support::ReadFileBytes(path);
  auto held = engine::dbase::Open(path, ro, false);
  engine::TableDefinition def;
  def.fields = held->Fields();
  try {
    engine::CreateStorage(path, def);
    FAIL() << "overwrote an open table";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), engine::err::kTableInUse);
  }
  EXPECT_EQ(testing_support::ReadFileBytes(path), before);
  held.reset();
  EXPECT_NO_THROW(engine::CreateStorage(path, def));
}

// The memo file and the index are locked as the table is, through the files the table reads and
// writes them with: a program that locks only one of them keeps a conflicting open out, and sees
// the table's own lock on it while the table is open.
TEST(DbaseLocks, AProgramThatLocksOnlyTheMemoOrTheIndexIsSeen) {
  TempDir dir;
  const std::string path = dir / "t.dbf";
  engine::TableDefinition def;
  def.fields = {dbase_test::Spec("A", bde::fldDBCHAR, 4), dbase_test::Spec("M", bde::fldDBMEMO)};
  def.tags = {{"A", "A", "", 'C', false, false}};
  engine::CreateStorage(path, def);
  engine::OpenOptions shared, exclusive, read_only;
  exclusive.exclusive = true;
  read_only.read_only = true;
  struct Case {
    const char* companion;
    bool held_exclusively;  // the other program's lock
    engine::OpenOptions open;
    bool opens;
  };
  const Case cases[] = {
      {"t.dbt", false, shared, true},     {"t.dbt", false, exclusive, false}, {"t.dbt", true, read_only, false},
      {"t.mdx", false, read_only, true},  {"t.mdx", false, exclusive, false}, {"t.mdx", true, shared, false},
  };
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.companion) + (c.held_exclusively ? " held exclusively" : " held shared"));
    auto other = fs.Open(dir / c.companion, engine::OpenMode::kRead);
    ASSERT_TRUE(c.held_exclusively ? other->TryLockExclusive() : other->TryLockShared());
    try {
      auto t = engine::dbase::Open(path, c.open, false);
      EXPECT_TRUE(c.opens);
      // The table's own lock on the companion is there while it is open.
      auto probe = fs.Open(dir / c.companion, engine::OpenMode::kRead);
      EXPECT_FALSE(probe->TryLockExclusive());
    } catch (const EngineError& e) {
      EXPECT_FALSE(c.opens) << e.what();
      EXPECT_EQ(e.code(), engine::err::kTableInUse);
      EXPECT_NE(std::string(e.what()).find(dir / c.companion), std::string::npos) << e.what();
    }
  }
  // Open exclusively, the table keeps every other holder off both companions.
  auto t = engine::dbase::Open(path, exclusive, false);
  for (const char* companion : {"t.dbt", "t.mdx"})
    EXPECT_FALSE(fs.Open(dir / companion, engine::OpenMode::kRead)->TryLockShared()) << companion;
}

// A file system whose files say, the first `stale` times, that the path now names another file.
class ReplacedFileSystem : public testing_support::ForwardingFileSystem {
 public:
  explicit ReplacedFileSystem(int stale) : stale_(stale) {}
  int opens = 0;

  std::unique_ptr<engine::File> Open(const std::string& path, engine::OpenMode mode) override {
    ++opens;
    auto inner = base()->Open(path, mode);
    bool stale = stale_ > 0;
    if (stale) --stale_;
    return std::make_unique<Wrapped>(std::move(inner), stale);
  }

 private:
  class Wrapped : public testing_support::ForwardingFile {
   public:
    Wrapped(std::unique_ptr<engine::File> f, bool stale) : ForwardingFile(std::move(f)), stale_(stale) {}
    bool StillAtPath() override { return !stale_ && ForwardingFile::StillAtPath(); }

   private:
    bool stale_;
  };
  int stale_;
};

TEST(DbaseLocks, ReopensWhenTheFileWasReplaced) {
  TempDir dir;
  std::string path = SmallTable(dir);
  {
    ReplacedFileSystem fs(1);
    testing_support::ScopedFileSystem use(&fs);
    auto t = engine::dbase::Open(path, engine::OpenOptions{true, false}, false);
    EXPECT_EQ(fs.opens, 2);
  }
  ReplacedFileSystem fs(1000);
  testing_support::ScopedFileSystem use(&fs);
  try {
    engine::dbase::Open(path, engine::OpenOptions{}, false);
    FAIL() << "opened a file that never stays at its path";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), engine::err::kTableInUse);
    EXPECT_LE(fs.opens, 10);
  }
}

}  // namespace
