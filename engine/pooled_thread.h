// PooledThread: work run beside the caller, as a std::thread runs it, on a thread kept idle
// between uses instead of one made for it.
//
// An upgrade starts a few threads for every table it rebuilds (the index's gathering and sort,
// the writer of its blocks, the sums of the copy): some three hundred for a demo of forty
// folders. Making a thread costs its stacks, its task and its first page faults (about 60 µs
// here, on the thread that asks); waking an idle one costs a few microseconds. Threads are made
// only when none is idle, so no work ever waits for another's thread, and they stay until the
// process ends (as many as were ever busy at once: a handful).
//
// As with std::thread: the callable must not let an exception out (the program ends), and a
// joinable object must be joined before it is destroyed or assigned over (the program ends).
// A fork ends the pool's idle threads first; the forked process starts its own pool, empty.
#pragma once

#include <functional>
#include <memory>

namespace engine {

class PooledThread {
 public:
  PooledThread() noexcept = default;
  // Runs `work` on an idle thread of the pool, or on a new one; throws std::system_error when no
  // thread can be made.
  explicit PooledThread(std::function<void()> work);
  PooledThread(PooledThread&& other) noexcept = default;
  PooledThread& operator=(PooledThread&& other) noexcept;
  ~PooledThread();
  PooledThread(const PooledThread&) = delete;
  PooledThread& operator=(const PooledThread&) = delete;

  bool joinable() const noexcept { return job_ != nullptr; }
  // Returns once the work has ended; afterwards not joinable.
  void join();

  // How many threads the pool has made in this process, busy and idle (for tests).
  static size_t ThreadsMade();

  // For what a thread keeps for its next work in a plain thread_local pointer (a read buffer, a
  // sort's counts): called on a thread of the pool, `free_kept` is called when that thread ends
  // (before a fork); a function given twice is called once. Elsewhere it does nothing (the
  // caller's own thread keeps what it keeps for as long as it lives). False when it will not be
  // called.
  static bool AtThreadEnd(void (*free_kept)());

  struct Job;

 private:
  std::shared_ptr<Job> job_;
};

}  // namespace engine
