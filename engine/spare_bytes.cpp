#include "engine/spare_bytes.h"

#include "engine/calls_at_end.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace engine {

namespace {

// A thread keeps at most this many buffers, of at most this many bytes in all: enough for the
// index and the memo window of the table it checks, and no more memory held than a table's
// index that is read whole.
constexpr size_t kSpares = 3;
constexpr size_t kMostKept = 80u << 20;

struct Spare {
  char* bytes = nullptr;
  size_t capacity = 0;
};

// KeepSpares alive on this thread, and what to call when the last of them ends.
thread_local int t_keepers = 0;
thread_local CallsAtEnd t_at_end;

class Store {
 public:
  // The smallest kept buffer of at least n bytes; none when none is that large.
  Spare Take(size_t n) {
    size_t best = count_;
    for (size_t i = 0; i < count_; ++i)
      if (spares_[i].capacity >= n && (best == count_ || spares_[i].capacity < spares_[best].capacity)) best = i;
    if (best == count_) return {};
    Spare s = spares_[best];
    spares_[best] = spares_[--count_];
    kept_ -= s.capacity;
    return s;
  }
  void Give(Spare s) {
    if (!KeepSpares::Active() || s.capacity < SpareBytes::kKeepFrom || s.capacity > kMostKept) {
      std::free(s.bytes);
      return;
    }
    // Room is made by freeing the smallest buffers kept.
    while (count_ > 0 && (count_ == kSpares || kept_ + s.capacity > kMostKept)) {
      size_t smallest = 0;
      for (size_t i = 1; i < count_; ++i)
        if (spares_[i].capacity < spares_[smallest].capacity) smallest = i;
      if (spares_[smallest].capacity > s.capacity) {
        std::free(s.bytes);
        return;
      }
      kept_ -= spares_[smallest].capacity;
      std::free(spares_[smallest].bytes);
      spares_[smallest] = spares_[--count_];
    }
    spares_[count_++] = s;
    kept_ += s.capacity;
  }
  size_t kept() const { return kept_; }
  void FreeAll() {
    for (size_t i = 0; i < count_; ++i) std::free(spares_[i].bytes);
    count_ = 0;
    kept_ = 0;
  }

 private:
  Spare spares_[kSpares];
  size_t count_ = 0;
  size_t kept_ = 0;
};

// The thread's store, made while a KeepSpares lives and deleted when the last one ends. A plain
// pointer: objects of a thread with destructors of their own are not destroyed safely at its end
// everywhere (with MinGW's threads the thread's storage may be gone first).
thread_local Store* t_store = nullptr;

Store* ThreadStore(bool make) {
  if (!t_store && make && KeepSpares::Active()) t_store = new Store;
  return t_store;
}

}  // namespace

KeepSpares::KeepSpares() { ++t_keepers; }

KeepSpares::~KeepSpares() {
  if (--t_keepers > 0) return;
  if (t_store) {
    t_store->FreeAll();
    delete t_store;
    t_store = nullptr;
  }
  t_at_end.CallAll();
}

bool KeepSpares::Active() { return t_keepers > 0; }

bool KeepSpares::AtEnd(void (*free_kept)()) { return Active() && t_at_end.Add(free_kept); }

void SpareBytes::ResizeForOverwrite(size_t n) {
  if (n > capacity_ || !bytes_) {  // even an empty buffer has storage, for callers that pass it on
    Release();
    Store* store = ThreadStore(false);
    Spare s = store ? store->Take(n) : Spare{};
    if (!s.bytes) {
      // A little more than asked, so that the next file of a similar size fits too.
      s.capacity = n < kKeepFrom ? std::max<size_t>(n, 1) : n + n / 8;
      s.bytes = static_cast<char*>(std::malloc(s.capacity));
      if (!s.bytes) throw std::bad_alloc();
    }
    bytes_ = s.bytes;
    capacity_ = s.capacity;
  }
  size_ = n;
}

void SpareBytes::Release() {
  if (bytes_) {
    if (Store* store = ThreadStore(true)) store->Give({bytes_, capacity_});
    else std::free(bytes_);
  }
  bytes_ = nullptr;
  size_ = capacity_ = 0;
}

size_t SpareBytes::KeptBytes() {
  const Store* store = ThreadStore(false);
  return store ? store->kept() : 0;
}

}  // namespace engine
