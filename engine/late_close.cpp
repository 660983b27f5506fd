#include "engine/late_close.h"

#ifndef _WIN32

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace engine::late_close {

namespace {

class Closer {
 public:
  void Close(int fd) {
    std::unique_lock lock(mu_);
    if (!exiting_) {
      fds_.push_back(fd);
      if (running_) return;
      // The previous thread, if any, has finished its work (running_ is false): joined here.
      if (thread_.joinable()) thread_.join();
      try {
        thread_ = std::thread([this] { Run(); });
        running_ = true;
        return;
      } catch (...) {
        fds_.pop_back();
      }
    }
    lock.unlock();
    ::close(fd);
  }

  void Wait(bool for_exit) {
    std::unique_lock lock(mu_);
    if (for_exit) exiting_ = true;
    idle_.wait(lock, [&] { return !running_; });
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    std::unique_lock lock(mu_);
    while (!fds_.empty()) {
      const int fd = fds_.back();
      fds_.pop_back();
      lock.unlock();
      ::close(fd);
      lock.lock();
    }
    running_ = false;
    idle_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable idle_;
  std::vector<int> fds_;
  std::thread thread_;
  bool running_ = false;
  bool exiting_ = false;  // from exit on, descriptors are closed by their caller
};

// Never destroyed: a file may be closed by a static object's destructor after any other static
// object is gone. The thread is waited for by the handlers registered below.
Closer& TheCloser() {
  static Closer* closer = [] {
    auto* c = new Closer;
    std::atexit([] { TheCloser().Wait(true); });
    ::pthread_atfork([] { TheCloser().Wait(false); }, nullptr, nullptr);
    return c;
  }();
  return *closer;
}

}  // namespace

void Close(int fd) { TheCloser().Close(fd); }

void Wait() { TheCloser().Wait(false); }

}  // namespace engine::late_close

#else

namespace engine::late_close {

// Windows closes every file on its caller's thread: a removed file whose handle is still open
// keeps its name there until the handle goes, so a new file could not take it.
void Wait() {}

}  // namespace engine::late_close

#endif  // _WIN32
