// Reading through a read-ahead window: the bytes are always the file's, runs forward through the
// file cost few reads, and random reads cost no more than they ask for.
#include "engine/read_ahead.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "engine/error.h"
#include "engine/fs.h"
#include "tests/support/forwarding_fs.h"
#include "tests/support/temp_dir.h"

namespace {

// Counts the reads that reach the file and the bytes they ask for.
class CountingFile : public testing_support::ForwardingFile {
 public:
  using ForwardingFile::ForwardingFile;
  size_t ReadAt(uint64_t offset, void* buf, size_t n) override {
    ++reads;
    bytes += n;
    return ForwardingFile::ReadAt(offset, buf, n);
  }
  size_t reads = 0, bytes = 0;
};

class ReadAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(3);
    content_.resize(1 << 20);
    for (char& c : content_) c = static_cast<char>(rng());
    auto f = engine::CurrentFileSystem()->Open(dir_ / "datos.bin", engine::OpenMode::kCreate);
    f->WriteAt(0, content_.data(), content_.size());
    file_ = std::make_unique<CountingFile>(std::move(f));
  }
  std::string Read(engine::ReadAhead& r, uint64_t offset, size_t n) {
    std::string out(n, '\0');
    out.resize(r.ReadAt(offset, out.data(), n));
    return out;
  }
  std::string Expected(uint64_t offset, size_t n) const {
    return offset >= content_.size() ? std::string() : content_.substr(static_cast<size_t>(offset), n);
  }

  testing_support::TempDir dir_;
  std::string content_;
  std::unique_ptr<CountingFile> file_;
};

TEST_F(ReadAheadTest, EveryReadGivesTheFileBytes) {
  engine::ReadAhead r(*file_, 4096);
  std::mt19937 rng(8);
  uint64_t at = 0;
  for (int i = 0; i < 20000; ++i) {
    size_t n = 1 + rng() % 700;
    switch (rng() % 4) {
      case 0: at = rng() % (content_.size() + 2000); break;  // a jump, sometimes past the end
      case 1: at += rng() % 600; break;                       // forward over a small gap
      default: break;                                         // straight on
    }
    ASSERT_EQ(Read(r, at, n), Expected(at, n)) << "offset " << at << " length " << n;
    at += n;
    if (at > content_.size() + 2000) at = 0;
  }
  r.Hold(1000, 300000);
  for (uint64_t off : {1000ull, 300999ull, 299000ull, 5000ull, 900000ull, 0ull})
    EXPECT_EQ(Read(r, off, 2048), Expected(off, 2048)) << off;
}

TEST_F(ReadAheadTest, RunsForwardAreReadInWindowsAndJumpsReadOnlyWhatTheyAsk) {
  {
    engine::ReadAhead r(*file_, 64 * 1024);
    for (uint64_t off = 0; off < content_.size(); off += 512) ASSERT_EQ(Read(r, off, 512), Expected(off, 512));
    // 2048 pieces in about 16 windows (plus the first piece, read alone).
    EXPECT_LE(file_->reads, 20u);
  }
  file_->reads = file_->bytes = 0;
  {
    engine::ReadAhead r(*file_, 64 * 1024);
    std::mt19937 rng(1);
    for (int i = 0; i < 200; ++i) {
      // Backwards from the end, never just after the previous read.
      uint64_t off = content_.size() - static_cast<uint64_t>(i + 1) * 5000 - rng() % 100;
      ASSERT_EQ(Read(r, off, 100), Expected(off, 100));
    }
    EXPECT_LE(file_->bytes, 200u * 100u * 2u);
  }
}

TEST_F(ReadAheadTest, AfterAWriteTheNewBytesAreRead) {
  engine::ReadAhead r(*file_, 8192);
  ASSERT_EQ(Read(r, 0, 100), Expected(0, 100));
  ASSERT_EQ(Read(r, 100, 100), Expected(100, 100));  // now inside a window
  std::string fresh(150, 'N');
  file_->WriteAt(120, fresh.data(), fresh.size());
  content_.replace(120, fresh.size(), fresh);
  r.Invalidate();
  EXPECT_EQ(Read(r, 100, 200), Expected(100, 200));
  EXPECT_EQ(Read(r, 300, 100), Expected(300, 100));
}

TEST_F(ReadAheadTest, ShortFilesGiveTheTruncationError) {
  engine::ReadAhead r(*file_, 8192);
  std::string buf(100, '\0');
  r.ReadExactly(content_.size() - 100, buf.data(), 100);
  EXPECT_EQ(buf, Expected(content_.size() - 100, 100));
  EXPECT_THROW(r.ReadExactly(content_.size() - 50, buf.data(), 100), engine::EngineError);
  EXPECT_EQ(Read(r, content_.size(), 10), "");
}

}  // namespace

// Files read whole one after another, as a check reads table after table: each window is the
// storage the previous one left to the thread, and holds only its own file's bytes.
TEST_F(ReadAheadTest, FilesHeldOneAfterAnotherGiveOnlyTheirOwnBytes) {
  struct Case {
    size_t size;
    char fill;
  } cases[] = {{300000, 'a'}, {70000, 'b'}, {5, 'c'}, {0, 'd'}, {400000, 'e'}, {120000, 'f'}};
  auto keep = std::make_unique<engine::KeepSpares>();
  for (const Case& c : cases) {
    const std::string bytes(c.size, c.fill);
    auto f = engine::CurrentFileSystem()->Open(dir_ / ("f" + std::to_string(c.size)), engine::OpenMode::kCreate);
    f->WriteAt(0, bytes.data(), bytes.size());
    {
      engine::ReadAhead r(*f);
      r.Hold(0, 1 << 20);  // more than the file has, as a caller that trusts a stale size would
      for (size_t n : {c.size, c.size + 64}) {  // from the window; past its end, from the file
        std::string got(n, '\0');
        got.resize(r.ReadAt(0, got.data(), n));
        EXPECT_EQ(got, bytes) << c.size << " " << n;
      }
    }
    // The window went to the thread's store, which keeps large storage and never more than its bound.
    EXPECT_GE(engine::SpareBytes::KeptBytes(), engine::SpareBytes::kKeepFrom) << c.size;
    EXPECT_LE(engine::SpareBytes::KeptBytes(), 80u << 20) << c.size;
  }
  keep.reset();  // nothing is kept past the end of the run that asked for it
  EXPECT_EQ(engine::SpareBytes::KeptBytes(), 0u);
  {
    engine::ReadAhead r(*file_);
    r.Hold(0, 300000);
  }
  EXPECT_EQ(engine::SpareBytes::KeptBytes(), 0u);
}
