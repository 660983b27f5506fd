// Writing finished blocks of a file on another thread while the caller prepares the next ones.
// One write at a time, in the order started: the file sees the same operations as from one
// thread, provided its owner waits (Wait) before anything else it does with that file. A failed
// write is thrown by the next Start or Wait.
#pragma once

#include <cstdint>
#include <exception>
#include <utility>

#include "engine/fs.h"
#include "engine/pooled_thread.h"

namespace engine::dbase {

// Buffer: a byte container with data(), size() and swap by std::swap (std::string, EntryBytes).
template <typename Buffer>
class BackgroundWrite {
 public:
  explicit BackgroundWrite(File& f) : f_(f) {}
  BackgroundWrite(const BackgroundWrite&) = delete;
  BackgroundWrite& operator=(const BackgroundWrite&) = delete;
  ~BackgroundWrite() {
    if (writer_.joinable()) writer_.join();  // a failure nobody waits for is dropped
  }

  // Takes `bytes` (given back empty, with the storage of an earlier write when there was one)
  // and writes them at `offset`; the disk is then told it may take them (File::StartWriteback),
  // since blocks written this way do not change before the next sync.
  void Start(uint64_t offset, Buffer& bytes) {
    Wait();
    if (bytes.size() == 0) return;
    std::swap(writing_, bytes);
    bytes.resize(0);
    writer_ = PooledThread([this, offset] {
      try {
        f_.WriteAt(offset, writing_.data(), writing_.size());
        f_.StartWriteback(offset, writing_.size());
      } catch (...) {
        failure_ = std::current_exception();
      }
    });
  }

  // The last write ended (or its failure thrown).
  void Wait() {
    if (writer_.joinable()) writer_.join();
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

 private:
  File& f_;
  Buffer writing_;
  PooledThread writer_;
  std::exception_ptr failure_;
};

}  // namespace engine::dbase
