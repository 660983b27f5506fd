// Damaged Paradox files, made from a valid table: each gives an EngineError that names the file,
// and opening and reading it leaves every file as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/bde.h"
#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

void Put16(std::string& b, size_t o, uint16_t v) {
  b[o] = static_cast<char>(v & 0xFF);
  b[o + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& b, size_t o, uint32_t v) {
  Put16(b, o, static_cast<uint16_t>(v));
  Put16(b, o + 2, static_cast<uint16_t>(v >> 16));
}
uint16_t U16(const std::string& b, size_t o) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[o]) | static_cast<uint8_t>(b[o + 1]) << 8);
}

// A valid keyed level-5 table with a memo (long texts in the .MB) and validity checks.
class ParadoxCorrupt : public ::testing::Test {
 protected:
  void SetUp() override {
    TableDefinition def;
    def.format = TableFormat::kParadox;
    def.level = 5;
    def.fields = {{"Id", bde::fldPDXLONG, 4}, {"Nota", bde::fldPDXMEMO, 20}, {"Cod", bde::fldPDXCHAR, 8}};
    def.key_fields = 1;
    bde::VCHKDesc c;
    std::memset(&c, 0, sizeof c);
    c.iFldNum = 3;
    c.bRequired = 1;
    std::strcpy(c.szPict, "###");
    def.val_checks = {c};
    paradox::Create(dir_ / "T.DB", def);
    {
      auto t = paradox::Open(dir_ / "T.DB", OpenOptions{});
      for (int i = 1; i <= 100; ++i) {
        std::string buf = t->BlankRecord();
        t->SetValue(&buf, 0, Value::Integer(i));
        t->SetValue(&buf, 1, Value::Text(std::string(100 + i, static_cast<char>('a' + i % 26))));
        t->SetValue(&buf, 2, Value::Text(std::string("c").append(std::to_string(i))));
        t->AppendRecord(buf);
      }
    }
    db_ = ReadFileBytes(dir_ / "T.DB");
    mb_ = ReadFileBytes(dir_ / "T.MB");
    val_ = ReadFileBytes(dir_ / "T.VAL");
    ASSERT_GT(U16(db_, 0x0C), 1) << "the table should span several blocks";
  }

  // Opens the table, reads every value and its checks.
  static void ReadEverything(const std::string& path) {
    auto t = paradox::Open(path, OpenOptions{});
    for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
      std::string buf;
      t->ReadRecord(r, &buf);
      for (size_t f = 0; f < t->Fields().size(); ++f) t->GetValue(buf, static_cast<int>(f));
    }
    t->ValChecks();
  }

  // Writes the damaged files, reads, and checks the error and that nothing was written.
  void ExpectError(const std::string& what, const std::string& db, const std::string& mb, const std::string& val,
                   const std::string& names_file, DBIResult code = 0) {
    SCOPED_TRACE(what);
    TempDir d;
    WriteFileBytes(d / "T.DB", db);
    if (!mb.empty()) WriteFileBytes(d / "T.MB", mb);
    if (!val.empty()) WriteFileBytes(d / "T.VAL", val);
    try {
      ReadEverything(d / "T.DB");
      ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
      EXPECT_NE(std::string(e.what()).find(d / names_file), std::string::npos) << e.what();
      if (code) {
        EXPECT_EQ(e.code(), code) << e.what();
      }
    }
    EXPECT_EQ(ReadFileBytes(d / "T.DB"), db);
    if (!mb.empty()) {
      EXPECT_EQ(ReadFileBytes(d / "T.MB"), mb);
    }
    if (!val.empty()) {
      EXPECT_EQ(ReadFileBytes(d / "T.VAL"), val);
    }
  }

  void Db(const std::string& what, const std::function<void(std::string&)>& damage, DBIResult code = 0) {
    std::string db = db_;
    damage(db);
    ExpectError(what, db, mb_, val_, "T.DB", code);
  }

  size_t BlockAt(int n) const { return U16(db_, 0x02) + static_cast<size_t>(n - 1) * db_[5] * 1024u; }
  // Offset in the .DB of the memo pointer of the first record whose memo lives in the .MB.
  size_t MemoPointer() const {
    return BlockAt(U16(db_, 0x0E)) + 6 + 4 + 10;  // block header, Id, 10-byte leader
  }

  TempDir dir_;
  std::string db_, mb_, val_;
};

TEST_F(ParadoxCorrupt, TheUndamagedTableReads) {
  EXPECT_NO_THROW(ReadEverything(dir_ / "T.DB"));
}

TEST_F(ParadoxCorrupt, DamagedHeaders) {
  Db("truncated header", [](std::string& b) { b.resize(0x40); }, err::kHeaderCorrupt);
  Db("header size past the end", [](std::string& b) { Put16(b, 0x02, 0xFFFF); });
  Db("header size too small", [](std::string& b) { Put16(b, 0x02, 0x20); });
  Db("block size 0", [](std::string& b) { b[0x05] = 0; });
  Db("no fields", [](std::string& b) { Put16(b, 0x21, 0); });
  Db("too many key fields", [](std::string& b) { Put16(b, 0x23, 9); });
  Db("unknown field type", [](std::string& b) { b[0x78] = 0x7F; });
  Db("field size not valid", [](std::string& b) { b[0x79] = 3; });
  Db("record size not the fields' sum", [](std::string& b) { Put16(b, 0x00, U16(b, 0) + 1); });
  Db("unknown version", [](std::string& b) { b[0x39] = 0x63; }, err::kNotSupported);
  Db("an index file", [](std::string& b) { b[0x04] = 1; }, err::kNotSupported);
  Db("unkeyed type with a key", [](std::string& b) { b[0x04] = 2; });
  Db("field names missing", [](std::string& b) {
    for (size_t i = 0xD0; i < U16(b, 2); ++i) b[i] = 'x';
  });
  Db("encrypted", [](std::string& b) { Put32(b, 0x5C, 0x12345678); }, err::kEncrypted);
}

TEST_F(ParadoxCorrupt, DamagedBlocks) {
  const uint16_t first = U16(db_, 0x0E);
  Db("first block past the end", [](std::string& b) { Put16(b, 0x0E, 999); });
  Db("more blocks than the file", [](std::string& b) { Put16(b, 0x0C, 999); });
  Db("chain loops", [&](std::string& b) { Put16(b, BlockAt(first), first); });
  Db("record count too big", [&](std::string& b) { Put16(b, BlockAt(first) + 4, 0x7FFF); });
  Db("record count not whole", [&](std::string& b) { Put16(b, BlockAt(first) + 4, 3); });
  Db("file cut inside the data", [&](std::string& b) { b.resize(BlockAt(U16(b, 0x10)) + 100); });
}

// What an interrupted write leaves (blocks written, header not yet): the chain is read as it is.
TEST_F(ParadoxCorrupt, HeaderCountsBehindTheChainAreTolerated) {
  std::string db = db_;
  Put32(db, 0x06, 7);
  Put16(db, 0x0C, 1);
  Put16(db, BlockAt(U16(db, 0x0E)) + 2, 9);  // a stale back link
  TempDir d;
  WriteFileBytes(d / "T.DB", db);
  WriteFileBytes(d / "T.MB", mb_);
  {
    auto t = paradox::Open(d / "T.DB", OpenOptions{});
    EXPECT_EQ(t->RecordCount(), 100u);
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Integer(1000));
    EXPECT_EQ(t->AppendRecord(buf), 101u);
  }
  const std::string fixed = ReadFileBytes(d / "T.DB");
  EXPECT_EQ(U16(fixed, 0x06), 101);
  EXPECT_EQ(U16(fixed, 0x0C), U16(db_, 0x0C) + (fixed.size() > db_.size() ? 1 : 0));
  ReadEverything(d / "T.DB");
}

TEST_F(ParadoxCorrupt, DamagedBlobPointersAndBlobFile) {
  const size_t p = MemoPointer();
  Db("pointer past the end of the .MB", [&](std::string& b) { Put32(b, p, 0x7FFFFFFF); }, err::kBlobCorrupt);
  Db("pointer into the .MB header", [&](std::string& b) { Put32(b, p, 0x000000FF); }, err::kBlobCorrupt);
  Db("length differs from the block", [&](std::string& b) { Put32(b, p + 4, 5000); }, err::kBlobCorrupt);
  Db("sub-allocated slot that is not", [&](std::string& b) { b[p] = 0x05; }, err::kBlobCorrupt);
  Db("leader-only length too long", [&](std::string& b) { Put32(b, p, 0); }, err::kBlobCorrupt);

  std::string mb = mb_;
  mb[4096] = 7;  // the first blob block's type
  ExpectError("blob block of unknown type", db_, mb, val_, "T.MB", err::kBlobCorrupt);
  ExpectError("blob file without its header", db_, mb_.substr(0, 1000), val_, "T.MB", err::kBlobCorrupt);
  ExpectError("blob file cut short", db_, mb_.substr(0, mb_.size() - 4096), val_, "T.MB");
  ExpectError("blob file missing", db_, "", val_, "T.MB", err::kNoSuchFile);
}

TEST_F(ParadoxCorrupt, DamagedValFiles) {
  auto val = [&](const std::string& what, const std::function<void(std::string&)>& damage) {
    std::string v = val_;
    damage(v);
    ExpectError(what, db_, mb_, v, "T.VAL", err::kFileCorrupt);
  };
  val("stale: belongs to another version of the table", [](std::string& v) { v[0] = static_cast<char>(v[0] + 1); });
  val("footer past the end", [](std::string& v) { Put32(v, 0x09, 0x7FFFFFFF); });
  val("too many checks", [](std::string& v) { v[2] = static_cast<char>(200); });
  val("check of a field the table lacks", [](std::string& v) { v[0x35] = 50; });
  val("picture length too long", [](std::string& v) { v[0x36] = static_cast<char>(0xFF); });
  val("picture without its bytes", [](std::string& v) { Put32(v, 0x09, 0x35 + 0x1C + 1); });
  val("referential-integrity offset past the footer", [](std::string& v) { Put32(v, 0x0D, 0x7FFFFFF0); });
  val("cut short", [](std::string& v) { v.resize(0x20); });
}

}  // namespace
}  // namespace engine
