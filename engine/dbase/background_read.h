// Reading the next block of a file on another thread while the caller works through the one
// before: a walk of a table's rows from front to back. The caller asks for a block before it
// needs it (Start) and takes it when it gets there (Take); a block that is not the one started,
// or whose read failed, is not handed out, and the caller reads it itself, so that any error is
// met and reported on the caller's thread as a read of its own would be.
//
// Only for files that nobody writes through this process meanwhile (a read-only open): a write
// would not reach a block already read ahead.
#pragma once

#include <cstdint>
#include <utility>

#include "engine/fs.h"
#include "engine/pooled_thread.h"

namespace engine::dbase {

// Buffer: a byte container with data(), size(), resize_for_overwrite() and swap by std::swap.
template <typename Buffer>
class BackgroundRead {
 public:
  explicit BackgroundRead(File& f) : f_(f) {}
  BackgroundRead(const BackgroundRead&) = delete;
  BackgroundRead& operator=(const BackgroundRead&) = delete;
  ~BackgroundRead() { Wait(); }

  // Reads n bytes at offset on another thread (a read under way is waited for and dropped).
  void Start(uint64_t offset, size_t n) {
    Wait();
    offset_ = offset;
    ok_ = false;
    bytes_.resize_for_overwrite(n);
    reader_ = PooledThread([this] {
      try {
        ReadExactly(f_, offset_, bytes_.data(), bytes_.size());
        ok_ = true;
      } catch (...) {
        // Left for the caller's own read of these bytes to meet.
      }
    });
  }

  // When the read started last was of n bytes at offset and succeeded, swaps its bytes into
  // `out` (which gives its storage for the next read) and returns true.
  bool Take(uint64_t offset, size_t n, Buffer& out) {
    if (!reader_.joinable()) return false;
    Wait();
    if (!ok_ || offset != offset_ || n != bytes_.size()) return false;
    std::swap(out, bytes_);
    return true;
  }

 private:
  void Wait() {
    if (reader_.joinable()) reader_.join();
  }

  File& f_;
  Buffer bytes_;
  uint64_t offset_ = 0;
  bool ok_ = false;
  PooledThread reader_;
};

}  // namespace engine::dbase
