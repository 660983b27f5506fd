// Reading a file through a window filled ahead of the reader.
//
// Tables are copied by reading their memo and index files from front to back in small pieces.
// ReadAhead turns such runs into large reads: a read that lands at or just after the previous
// one fills a window of the file ahead of it; any other read asks the file for just its bytes,
// so random lookups cost no more than before.
//
// The window's bytes are not cleared before a read fills them, and its storage is kept by the
// thread for the next file it reads (engine/spare_bytes.h).
//
// The owner must call Invalidate() whenever it writes to the file. Not thread-safe.
#pragma once

#include <cstdint>

#include "engine/fs.h"
#include "engine/spare_bytes.h"

namespace engine {

class ReadAhead {
 public:
  explicit ReadAhead(File& file, size_t window_bytes = 128 * 1024) : file_(file), window_bytes_(window_bytes) {}

  // Like File::ReadAt: up to n bytes at offset; fewer only at the end of the file.
  size_t ReadAt(uint64_t offset, void* out, size_t n);
  // Exactly n bytes or the "truncated file" error of ReadExactly.
  void ReadExactly(uint64_t offset, void* out, size_t n);
  // Reads n bytes at offset into the window at once (fewer at the end of the file), for a walk
  // that will visit all of them in an order of its own.
  void Hold(uint64_t offset, size_t n);
  void Invalidate() { window_.Release(); }

 private:
  File& file_;
  size_t window_bytes_;
  SpareBytes window_;          // bytes of the file from window_offset_
  uint64_t window_offset_ = 0;
  uint64_t last_end_ = UINT64_MAX;  // where the previous read ended
};

}  // namespace engine
