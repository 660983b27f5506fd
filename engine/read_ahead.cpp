#include "engine/read_ahead.h"

#include <algorithm>
#include <cstring>

namespace engine {

namespace {
// A read this close after the end of the previous one counts as moving forward through the file
// (values and nodes are padded to their blocks).
constexpr uint64_t kForwardSlack = 4096;
}  // namespace

size_t ReadAhead::ReadAt(uint64_t offset, void* out, size_t n) {
  auto* dst = static_cast<char*>(out);
  if (!window_.empty() && offset >= window_offset_ && offset + n <= window_offset_ + window_.size()) {
    std::memcpy(dst, window_.data() + (offset - window_offset_), n);
    last_end_ = offset + n;
    return n;
  }
  bool forward = last_end_ != UINT64_MAX && offset >= last_end_ && offset - last_end_ <= kForwardSlack;
  if (!forward || n >= window_bytes_) {
    size_t got = file_.ReadAt(offset, dst, n);
    last_end_ = offset + got;
    return got;
  }
  Hold(offset, window_bytes_);
  size_t take = std::min(n, window_.size());
  std::memcpy(dst, window_.data(), take);
  last_end_ = offset + take;
  return take;
}

void ReadAhead::Hold(uint64_t offset, size_t n) {
  window_.ResizeForOverwrite(n);
  window_offset_ = offset;
  try {
    window_.Truncate(file_.ReadAt(offset, window_.data(), n));
  } catch (...) {
    window_.Release();
    throw;
  }
}

void ReadAhead::ReadExactly(uint64_t offset, void* out, size_t n) {
  auto* dst = static_cast<char*>(out);
  size_t done = 0;
  while (done < n) {
    size_t got = ReadAt(offset + done, dst + done, n - done);
    if (got == 0) {
      // Let the file layer report the short read in its own words.
      engine::ReadExactly(file_, offset + done, dst + done, n - done);
      return;
    }
    done += got;
  }
}

}  // namespace engine
