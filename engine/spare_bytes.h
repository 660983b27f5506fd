// SpareBytes: the buffer a file is read into (a window of a memo file, a whole index held for a
// walk of its trees). Its new bytes are not written before the read that fills them. While a
// KeepSpares lives on the thread, its storage, once large, is not given back to the system when
// it is freed: it goes to a small store of the thread, where the next buffer of that thread finds
// it. A check of table after table then reads each file into memory that is already mapped,
// instead of zero-filling and faulting in fresh pages for every file.
#pragma once

#include <cstddef>

namespace engine {

// While one lives on a thread, the large buffers the thread frees are kept for its next ones;
// when the outermost one ends, everything kept is freed (kept longer, memory the allocator would
// have reused for other work stays taken, and that work faults in fresh pages instead).
class KeepSpares {
 public:
  KeepSpares();
  ~KeepSpares();
  KeepSpares(const KeepSpares&) = delete;
  KeepSpares& operator=(const KeepSpares&) = delete;
  // Whether one lives on the calling thread.
  static bool Active();
  // For another cache of the thread's (the check's lists of entries): `free_kept` is to be called
  // when the outermost KeepSpares ends (a function registered twice is called once). Whether it
  // will be: false when none lives, or when too many are registered (the cache keeps nothing).
  static bool AtEnd(void (*free_kept)());
};

class SpareBytes {
 public:
  SpareBytes() = default;
  ~SpareBytes() { Release(); }
  SpareBytes(const SpareBytes&) = delete;
  SpareBytes& operator=(const SpareBytes&) = delete;

  char* data() { return bytes_; }
  const char* data() const { return bytes_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Makes the size n. What the buffer held is not kept: every byte is the caller's to write
  // before it reads it.
  void ResizeForOverwrite(size_t n);
  // Drops the bytes past n (n no more than the size).
  void Truncate(size_t n) {
    if (n < size_) size_ = n;
  }
  // Size 0, the storage given to the thread's store (or freed, when small or when nothing keeps).
  void Release();

  // What the calling thread's store holds now, in bytes (for tests).
  static size_t KeptBytes();

  // Storage at least this large is kept for reuse; smaller buffers cost little to make anew.
  static constexpr size_t kKeepFrom = 64 * 1024;

 private:
  char* bytes_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace engine
