// EntryBytes: the byte buffers of an index build (its flat entry lists, the tree writer's
// blocks). It grows like a string, and can also grow without writing its new bytes, so that the
// threads that fill a large list each touch their own part of it first, and blocks that are
// filled whole are not cleared first (a string would write every byte once, on one thread).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "engine/fs.h"

namespace engine::dbase {

class EntryBytes {
 public:
  EntryBytes() = default;
  EntryBytes(const EntryBytes& o) { append(o.data(), o.size()); }
  EntryBytes& operator=(const EntryBytes& o) {
    if (this != &o) {
      size_ = 0;
      append(o.data(), o.size());
    }
    return *this;
  }
  EntryBytes(EntryBytes&& o) noexcept { swap(o); }
  EntryBytes& operator=(EntryBytes&& o) noexcept {
    EntryBytes gone;
    gone.swap(o);
    swap(gone);
    return *this;
  }

  char* data() { return bytes_.get(); }
  const char* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  operator std::string_view() const { return {data(), size_}; }

  void reserve(size_t n) {
    if (n <= capacity_) return;
    // Left unwritten; lists of some megabytes go where large pages may hold them.
    Bytes more(static_cast<char*>(n >= kLarge ? AllocateLarge(n) : std::malloc(n)));
    if (!more) throw std::bad_alloc();
    if (size_ > 0) std::memcpy(more.get(), bytes_.get(), size_);
    bytes_ = std::move(more);
    capacity_ = n;
  }
  void append(const char* p, size_t n) {
    Grow(n);
    std::memcpy(bytes_.get() + size_, p, n);
    size_ += n;
  }
  void append(size_t n, char c) {
    Grow(n);
    std::memset(bytes_.get() + size_, c, n);
    size_ += n;
  }
  // Shrinks, or grows with zero bytes.
  void resize(size_t n) {
    if (n > size_) {
      append(n - size_, '\0');
    } else {
      size_ = n;
    }
  }
  // Grows to n bytes whose new bytes the caller writes before reading any of them.
  void resize_for_overwrite(size_t n) {
    if (n > size_) Grow(n - size_);
    size_ = n;
  }

 private:
  void Grow(size_t n) {
    if (size_ + n > capacity_) reserve(std::max(size_ + n, capacity_ * 2));
  }
  void swap(EntryBytes& o) noexcept {
    std::swap(bytes_, o.bytes_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
  }
  static constexpr size_t kLarge = 4u << 20;
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  using Bytes = std::unique_ptr<char[], Free>;
  Bytes bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace engine::dbase
