// Sorting fixed-width entries on their leading key bytes: a stable MSD radix sort that the
// index build uses for character keys. Keys compare byte by byte through a weight table (a
// language driver's order; byte order without one), which the sort reads only for the bytes it
// looks at: the keys themselves are never rewritten.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/pooled_thread.h"

namespace engine::dbase {

// Entries of `stride` bytes each, whose first `key_len` bytes are the key.
class FlatSort {
 public:
  static constexpr size_t kMaxStride = 256;  // longest entry (keys are at most 100 bytes)
  // `weight`: 256 entries, the place of each byte in the order (nullptr: byte order). Every byte
  // must have a weight of its own, so that equal keys are equal bytes.
  FlatSort(size_t key_len, size_t stride, bool descending, const uint8_t* weight = nullptr)
      : len(key_len), s(stride), desc(descending), w(weight ? weight : Identity()) {}

  // Sorts the n entries at `data` that agree on their first `depth` key bytes into the order of
  // their keys (reversed when `desc`), keeping entries with equal keys in the order they
  // came in. Large groups are split on one or two key bytes at a time by a stable counting
  // pass into `other` (scratch space of the same extent); small ones are sorted by insertion.
  // The result ends in `other` when `to_other`, else in `data`.
  void Sort(char* data, char* other, size_t n, size_t depth, bool to_other) const {
    // The groups still to sort share one stack: each split pushes its groups above the mark
    // and the loop below pops them back to it.
    size_t mark = pending_.size();
    if (!Split(data, other, n, depth, to_other, &pending_)) return;
    for (size_t i = mark; i < pending_.size(); ++i) {
      Group g = pending_[i];
      size_t inner = pending_.size();
      Sort(g.data, g.other, g.n, g.depth, g.to_other);
      pending_.resize(inner);
    }
    pending_.resize(mark);
  }

  // The same, with the groups of the first split shared among up to `threads` threads. With
  // `final_upto`, the entries are handed on as they become final: it is called with k whenever
  // entries [0, k) of `data` have their places for good (k grows with each call), one call at a
  // time, from whichever thread finished the group that completed them. A sort that its first
  // split finishes hands nothing on: whatever was not handed on is the caller's to take once the
  // sort returns. A failure of `final_upto` ends its calls and is thrown once the sort has stopped.
  void SortInParallel(char* data, char* other, size_t n, unsigned threads,
                      const std::function<void(size_t)>& final_upto = {}) const {
    std::vector<Group> groups;
    const bool in_two = threads > 1 && n >= kSplitInTwo && len >= 2 && SplitInTwo(data, other, n, &groups);
    if (!in_two && !Split(data, other, n, 0, false, &groups)) return;
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex mutex;  // guards the failure and the hand-on below
    // Where each group's entries end up; those between groups were finished by the split.
    auto start = [&](size_t g) {
      const char* at = groups[g].to_other ? groups[g].other : groups[g].data;
      return static_cast<size_t>(at - data) / s;
    };
    std::vector<char> done(groups.size(), 0);
    size_t first_open = 0;  // the first group not yet sorted
    size_t handed = 0;      // entries handed on so far
    bool handing_on = false, stop_handing = false;
    // After group g: if no thread is handing entries on, this one hands on all that are final.
    auto finished = [&](size_t g) {
      std::unique_lock<std::mutex> hold(mutex);
      done[g] = 1;
      while (first_open < groups.size() && done[first_open]) ++first_open;
      if (handing_on || stop_handing) return;
      handing_on = true;
      for (;;) {
        const size_t upto = first_open < groups.size() ? start(first_open) : n;
        if (upto == handed || stop_handing) break;
        hold.unlock();
        try {
          final_upto(upto);
        } catch (...) {
          hold.lock();
          if (!failure) failure = std::current_exception();
          stop_handing = true;
          break;
        }
        handed = upto;
        hold.lock();
      }
      handing_on = false;
    };
    auto work = [&] {
      FlatSort own(len, s, desc, w);
      try {
        for (size_t g = next++; g < groups.size(); g = next++) {
          own.Sort(groups[g].data, groups[g].other, groups[g].n, groups[g].depth, groups[g].to_other);
          if (final_upto) finished(g);
        }
      } catch (...) {
        std::lock_guard<std::mutex> hold(mutex);
        if (!failure) failure = std::current_exception();
        stop_handing = true;
      }
    };
    std::vector<PooledThread> helpers;
    for (unsigned i = 1; i < threads; ++i)
      helpers.emplace_back(work);
    work();
    for (PooledThread& t : helpers) t.join();
    if (failure) std::rethrow_exception(failure);
  }

 private:
  struct Group {
    char* data;
    char* other;
    size_t n;
    size_t depth;
    bool to_other;
  };

  // Either finishes the entries (small or all-equal groups; returns false) or moves them into
  // `other` by their next distinguishing key bytes and lists the groups that remain to sort, in
  // order (returns true).
  bool Split(char* data, char* other, size_t n, size_t depth, bool to_other, std::vector<Group>* groups) const {
    while (n > kFewest && depth < len) {
      // Bytes that every entry shares are skipped first: finding none costs a few comparisons,
      // where counting a digit that all share would cost a pass over the group.
      depth += CommonRun(data, n, depth);
      if (depth >= len) break;
      if (n >= kWideGroup && depth + 1 < len) {  // two bytes at a time
        // The counts stay zero between splits (and between sorts on the same thread): only the
        // digits in use are counted, listed and cleared again, so that a group of some thousands
        // does not pay for all 65,536, nor a sort for fresh pages.
        WideCounts& wide = Wide();
        size_t lo = 65535, hi = 0;
        for (size_t i = 0; i < n; ++i) {
          size_t d = Digit2(data + i * s, depth);
          ++wide.count[d];
          lo = std::min(lo, d);
          hi = std::max(hi, d);
        }
        // Cleared on every way out, a failure included: the next sort relies on it.
        struct Clear {
          uint32_t* from;
          uint32_t* to;
          ~Clear() { std::fill(from, to, 0u); }
        } clear{wide.count.get() + lo, wide.count.get() + hi + 1};
        if (lo == hi) {
          depth += 2 + CommonRun(data, n, depth + 2);
          continue;
        }
        Distribute(data, other, n, depth, to_other, wide.count.get(), wide.pos.get(), lo, hi, 2, groups);
        return true;
      }
      uint32_t count[256] = {};
      unsigned lo = 255, hi = 0;
      for (size_t i = 0; i < n; ++i) {
        unsigned d = w[static_cast<uint8_t>(data[i * s + depth])];
        ++count[d];
        lo = std::min(lo, d);
        hi = std::max(hi, d);
      }
      if (lo == hi) {
        depth += 1 + CommonRun(data, n, depth + 1);
        continue;
      }
      size_t pos[256];
      Distribute(data, other, n, depth, to_other, count, pos, lo, hi, 1, groups);
      return true;
    }
    if (n > 1 && depth < len) Insertion(data, n, depth);
    if (to_other) std::memcpy(other, data, n * s);
    return false;
  }

  // The first split of a large sort (on the first two key bytes, into `other`), its counting and
  // its moving shared by two threads: each takes one half of the entries, and within a digit the
  // first half's entries go first, so the sort stays stable. False, with nothing moved, when
  // every entry has the same first two bytes.
  bool SplitInTwo(char* data, char* other, size_t n, std::vector<Group>* groups) const {
    const size_t half = n / 2;
    std::vector<uint32_t> first(65536, 0), second(65536, 0);
    auto count = [&](std::vector<uint32_t>& c, size_t from, size_t to) {
      for (size_t i = from; i < to; ++i) ++c[Digit2(data + i * s, 0)];
    };
    PooledThread counting([&] { count(second, half, n); });
    count(first, 0, half);
    counting.join();
    size_t lo = 65535, hi = 0;
    for (size_t b = 0; b < 65536; ++b)
      if (first[b] + second[b] > 0) {
        lo = std::min(lo, b);
        hi = std::max(hi, b);
      }
    if (lo >= hi) return false;
    // Places: only those of the digits in use are written, and read after.
    std::unique_ptr<size_t[]> at_first(new size_t[65536]), at_second(new size_t[65536]);
    size_t at = 0;
    for (size_t k = lo; k <= hi; ++k) {
      size_t b = desc ? hi - (k - lo) : k;
      at_first[b] = at;
      at_second[b] = at + first[b];
      at += first[b] + second[b];
    }
    auto move = [&](size_t* pos, size_t from, size_t to) {
      for (size_t i = from; i < to; ++i) {
        const char* e = data + i * s;
        Copy(other + pos[Digit2(e, 0)]++ * s, e);
      }
    };
    PooledThread moving([&] { move(at_second.get(), half, n); });
    move(at_first.get(), 0, half);
    moving.join();
    at = 0;
    for (size_t k = lo; k <= hi; ++k) {
      size_t b = desc ? hi - (k - lo) : k;
      size_t c = first[b] + second[b];
      if (c > 0) groups->push_back({other + at * s, data + at * s, c, 2, true});
      at += c;
    }
    return true;
  }

  // Moves the entries into `other` by their digit at `depth` (one or two bytes; counts given,
  // digits lo..hi in use) and lists the groups that result, in tag order.
  void Distribute(const char* data, char* other, size_t n, size_t depth, bool to_other, const uint32_t* count,
                  size_t* pos, size_t lo, size_t hi, size_t width, std::vector<Group>* groups) const {
    size_t at = 0;
    for (size_t k = lo; k <= hi; ++k) {
      size_t b = desc ? hi - (k - lo) : k;
      pos[b] = at;
      at += count[b];
    }
    // The moving loop is made once for each shape of entry copy, so that no copy asks again.
    if (s >= 16 && s <= 32)
      Move<16>(data, other, n, depth, pos, width);
    else if (s > 32 && s <= 64)
      Move<32>(data, other, n, depth, pos, width);
    else
      Move<0>(data, other, n, depth, pos, width);
    at = 0;
    for (size_t k = lo; k <= hi; ++k) {
      size_t b = desc ? hi - (k - lo) : k;
      size_t c = count[b];
      if (c > 0) groups->push_back({other + at * s, const_cast<char*>(data) + at * s, c, depth + width, !to_other});
      at += c;
    }
  }

  template <size_t kHalf>
  void Move(const char* data, char* other, size_t n, size_t depth, size_t* pos, size_t width) const {
    for (size_t i = 0; i < n; ++i) {
      const char* e = data + i * s;
      size_t d = width == 2 ? Digit2(e, depth) : w[static_cast<uint8_t>(e[depth])];
      CopyAs<kHalf>(other + pos[d]++ * s, e);
    }
  }

  static constexpr size_t kWideGroup = 1u << 12;  // split two bytes at a time from here
  static constexpr size_t kSplitInTwo = 1u << 18;  // the first split shared by two threads from here
  static constexpr size_t kFewest = 16;            // sorted by insertion up to here
  size_t len;  // key bytes
  size_t s;    // stride
  bool desc;

  const uint8_t* w;  // weight of each byte

  static const uint8_t* Identity() {
    static const auto table = [] {
      std::array<uint8_t, 256> t{};
      for (size_t i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(i);
      return t;
    }();
    return table.data();
  }

  // Copies one entry. Entries are short and all of one size: two fixed-size copies that may
  // overlap cost less than a copy of a size known only when it runs. kHalf: the size of each of
  // the two copies (16 for entries of 16 to 32 bytes, 32 up to 64), or 0 for one plain copy.
  template <size_t kHalf>
  void CopyAs(char* to, const char* from) const {
    if constexpr (kHalf == 0) {
      std::memcpy(to, from, s);
    } else {
      std::memcpy(to, from, kHalf);
      std::memcpy(to + s - kHalf, from + s - kHalf, kHalf);
    }
  }
  void Copy(char* to, const char* from) const {
    if (s >= 16 && s <= 32)
      CopyAs<16>(to, from);
    else if (s > 32 && s <= 64)
      CopyAs<32>(to, from);
    else
      CopyAs<0>(to, from);
  }

  size_t Digit2(const char* e, size_t depth) const {
    return (static_cast<size_t>(w[static_cast<uint8_t>(e[depth])]) << 8) | w[static_cast<uint8_t>(e[depth + 1])];
  }

  // Three-way comparison of n key bytes by their weights. The keys left to compare in a small
  // group are short and mostly differ early: a loop costs less than a call.
  int Compare(const char* a, const char* b, size_t n) const {
    for (size_t k = 0; k < n; ++k)
      if (a[k] != b[k]) return int{w[static_cast<uint8_t>(a[k])]} - int{w[static_cast<uint8_t>(b[k])]};
    return 0;
  }

  // Key bytes from `depth` on that every one of the n entries shares with the first.
  size_t CommonRun(const char* data, size_t n, size_t depth) const {
    size_t common = len - depth;
    const char* a = data + depth;
    for (size_t i = 1; i < n && common > 0; ++i) {
      const char* b = data + i * s + depth;
      if (common < 8 && depth + 8 <= s) {
        // A short run: one word of each entry, the bytes past the run masked off (the word
        // stays inside the entry).
        const uint64_t x = (Load8(a) ^ Load8(b)) & FirstBytes(common);
        if (x) common = FirstSetByte(x);
      } else {
        common = SharedPrefix(a, b, common);
      }
    }
    return common;
  }

  // How many of the first n bytes of a and b agree. Eight bytes at a time, in place: a call per
  // entry would cost more than the comparison; the last ones by a load that overlaps.
  static size_t SharedPrefix(const char* a, const char* b, size_t n) {
    size_t k = 0;
    for (; k + 8 <= n; k += 8)
      if (uint64_t x = Load8(a + k) ^ Load8(b + k)) return k + FirstSetByte(x);
    if (k == n) return n;
    if (n >= 8) {
      uint64_t x = Load8(a + n - 8) ^ Load8(b + n - 8);
      return x ? n - 8 + FirstSetByte(x) : n;
    }
    while (k < n && a[k] == b[k]) ++k;
    return k;
  }
  static uint64_t Load8(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  }
  // A mask of the first k (1 to 7) bytes of a loaded word, in memory order.
  static uint64_t FirstBytes(size_t k) {
    if constexpr (std::endian::native == std::endian::little)
      return ~uint64_t{0} >> (64 - 8 * k);
    else
      return ~uint64_t{0} << (64 - 8 * k);
  }
  // The place, in memory order, of the first nonzero byte of a loaded word (x != 0).
  static size_t FirstSetByte(uint64_t x) {
    if constexpr (std::endian::native == std::endian::little)
      return static_cast<size_t>(std::countr_zero(x)) / 8;
    else
      return static_cast<size_t>(std::countl_zero(x)) / 8;
  }

  void Insertion(char* data, size_t n, size_t depth) const {
    char hold[kMaxStride];
    for (size_t i = 1; i < n; ++i) {
      Copy(hold, data + i * s);
      size_t j = i;
      while (j > 0) {
        int c = Compare(hold + depth, data + (j - 1) * s + depth, len - depth);
        if (desc ? c <= 0 : c >= 0) break;
        Copy(data + j * s, data + (j - 1) * s);
        --j;
      }
      if (j != i) Copy(data + j * s, hold);
    }
  }

  // The counts of two-byte digits (zero outside a split) and their places, one pair per thread
  // for every sort it runs: 768 KiB that a sort of each tag would otherwise ask for, clear and
  // fault in afresh.
  struct WideCounts {
    std::unique_ptr<uint32_t[]> count{new uint32_t[65536]()};
    std::unique_ptr<size_t[]> pos{new size_t[65536]};  // written before read, in each split
  };
  // A plain pointer, kept by the thread that sorts for as long as it lives (a helper of the
  // pool's, engine/pooled_thread.h, frees it when it ends): objects of a thread with destructors
  // of their own are not destroyed safely at its end everywhere (with MinGW's threads the
  // thread's storage may be gone first).
  static WideCounts*& WideOfThread() {
    thread_local WideCounts* wide = nullptr;
    return wide;
  }
  static void FreeWide() {
    delete WideOfThread();
    WideOfThread() = nullptr;
  }
  static WideCounts& Wide() {
    WideCounts*& wide = WideOfThread();
    if (!wide) {
      wide = new WideCounts;
      PooledThread::AtThreadEnd(&FreeWide);
    }
    return *wide;
  }
  mutable std::vector<Group> pending_;
};


}  // namespace engine::dbase
