// Files closed by the file layer: at once, or (a large file that has lost its name) soon, off
// the caller's thread; either way no descriptor is left once the closer has been waited for.
#include "engine/late_close.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "engine/fs.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

// Counted in /proc, which only Linux has.
#ifdef __linux__
size_t OpenDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(LateClose, EveryFileIsClosedAtOnceOrByTheCloser) {
  struct Case {
    const char* what;
    uint64_t size;
    bool removed;
    bool closed_at_once;
  };
  const Case cases[] = {
      {"small file, removed", 4096, true, true},
      {"large file, still named", late_close::kMinBytes, false, true},
      {"large file, removed", late_close::kMinBytes, true, false},
  };
  FileSystem& fs = *DefaultFileSystem();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::TempDir dir;
    const std::string path = dir / "tabla.dbf";
    const size_t before = OpenDescriptors();
    {
      auto f = fs.Open(path, OpenMode::kCreate);
      const std::string block(1 << 20, 'x');
      for (uint64_t at = 0; at < c.size; at += block.size())
        f->WriteAt(at, block.data(), static_cast<size_t>(std::min<uint64_t>(block.size(), c.size - at)));
      std::string back(16, '\0');
      ASSERT_EQ(f->ReadAt(c.size - 16, back.data(), 16), 16u);
      if (c.removed) fs.Remove(path);
      EXPECT_EQ(OpenDescriptors(), before + 1);
    }
    if (c.closed_at_once) {
      EXPECT_EQ(OpenDescriptors(), before);
    }
    late_close::Wait();
    EXPECT_EQ(OpenDescriptors(), before);
  }
}
#endif

}  // namespace
}  // namespace engine
