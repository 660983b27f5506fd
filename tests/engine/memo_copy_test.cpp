// A memo copied from one memo file to another while the new one is filled in bulk: the same
// bytes as writing what is read, and the same refusal for a value that cannot be read.
#include <gtest/gtest.h>

#include "engine/dbase/dbt.h"
#include "engine/error.h"
#include "tests/support/temp_dir.h"

namespace {

using engine::dbase::MemoFile;
using engine::dbase::MemoLayout;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

std::string Text(size_t n) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

struct Layouts {
  MemoLayout from, to;
};

TEST(MemoCopy, IsWhatWritingTheReadValueWrites) {
  // Empty, one byte, around the ends of one and two 512-byte blocks, and past the megabyte
  // after which gathered values are written out.
  const std::vector<size_t> sizes = {0, 1, 501, 502, 503, 1013, 1014, 1015, 70000, 3u << 20, 9};
  for (Layouts l : {Layouts{MemoLayout::kDbase4, MemoLayout::kDbase4}, {MemoLayout::kDbase3, MemoLayout::kDbase3},
                    {MemoLayout::kDbase4, MemoLayout::kDbase3}, {MemoLayout::kDbase3, MemoLayout::kDbase4}}) {
    SCOPED_TRACE(static_cast<int>(l.from) * 10 + static_cast<int>(l.to));
    TempDir dir;
    MemoFile::Create(dir / "old.dbt", l.from, "OLD");
    auto old = MemoFile::Open(dir / "old.dbt", "old.dbf", l.from, true);
    std::vector<uint64_t> blocks;
    for (size_t n : sizes) blocks.push_back(old->Write(Text(n)));
    MemoFile::Create(dir / "written.dbt", l.to, "NEW");
    MemoFile::Create(dir / "copied.dbt", l.to, "NEW");
    auto written = MemoFile::Open(dir / "written.dbt", "new.dbf", l.to, true);
    auto copied = MemoFile::Open(dir / "copied.dbt", "new.dbf", l.to, true);
    written->BeginBulk();
    copied->BeginBulk();
    for (size_t i = 0; i < sizes.size(); ++i) {
      const std::string value = old->Read(blocks[i]);
      ASSERT_EQ(value, Text(sizes[i]));
      const uint64_t at = copied->CopyValue(*old, blocks[i]);
      EXPECT_EQ(at, value.empty() ? 0 : written->Write(value)) << sizes[i];
      if (at != 0) {
        EXPECT_EQ(copied->Read(at), value) << sizes[i];
      }
    }
    written->EndBulk();
    copied->EndBulk();
    EXPECT_EQ(ReadFileBytes(dir / "copied.dbt"), ReadFileBytes(dir / "written.dbt"));
  }
}

TEST(MemoCopy, AValueThatCannotBeReadIsRefusedAndLeavesNothing) {
  struct Case {
    const char* what;
    uint64_t block;
    size_t at;  // byte of the old file changed first (0: none)
    char to;
  };
  const Case cases[] = {{"block past the end", 9, 0, 0},
                        {"no value starts there", 1, 512, 'X'},
                        {"its length runs past the end", 1, 517, '\x7F'}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MemoFile::Create(dir / "old.dbt", MemoLayout::kDbase4, "OLD");
    MemoFile::Open(dir / "old.dbt", "old.dbf", MemoLayout::kDbase4, true)->Write("uno");
    std::string bytes = ReadFileBytes(dir / "old.dbt");
    if (c.at) bytes[c.at] = c.to;
    WriteFileBytes(dir / "old.dbt", bytes);
    MemoFile::Create(dir / "new.dbt", MemoLayout::kDbase4, "NEW");
    const std::string empty = ReadFileBytes(dir / "new.dbt");
    auto old = MemoFile::Open(dir / "old.dbt", "old.dbf", MemoLayout::kDbase4, false);
    auto neu = MemoFile::Open(dir / "new.dbt", "new.dbf", MemoLayout::kDbase4, true);
    neu->BeginBulk();
    try {
      neu->CopyValue(*old, c.block);
      ADD_FAILURE() << "copied";
    } catch (const engine::EngineError& e) {
      EXPECT_EQ(e.code(), engine::err::kBlobCorrupt);
    }
    neu->EndBulk();
    EXPECT_EQ(ReadFileBytes(dir / "new.dbt"), empty);
  }
}

}  // namespace
