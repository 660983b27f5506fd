// Work run beside the caller on threads kept between uses: it runs on another thread, join
// returns only once it and what it held are gone, an idle thread is taken before a new one is
// made, and work that waits for other work never waits for a thread.
#include "engine/pooled_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace engine {
namespace {

TEST(PooledThread, WorkRunsBesideTheCallerAndJoinWaitsForItAndWhatItHeld) {
  const std::thread::id caller = std::this_thread::get_id();
  auto held = std::make_shared<int>(0);
  std::thread::id ran_on;
  std::atomic<bool> ended{false};
  PooledThread t([&ran_on, &ended, held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ran_on = std::this_thread::get_id();
    ended = true;
  });
  EXPECT_TRUE(t.joinable());
  PooledThread moved = std::move(t);
  EXPECT_FALSE(t.joinable());
  moved.join();
  EXPECT_FALSE(moved.joinable());
  EXPECT_TRUE(ended);
  EXPECT_NE(ran_on, caller);
  EXPECT_EQ(held.use_count(), 1) << "the work's captures outlived join";
  EXPECT_THROW(moved.join(), std::system_error);
}

TEST(PooledThread, AnIdleThreadIsTakenBeforeANewOneIsMade) {
  // Warm: one thread exists and is idle once its work is joined.
  PooledThread([] {}).join();
  const size_t made = PooledThread::ThreadsMade();
  std::set<std::thread::id> used;
  for (int i = 0; i < 50; ++i) {
    std::thread::id on;
    PooledThread t([&on] { on = std::this_thread::get_id(); });
    t.join();
    used.insert(on);
  }
  EXPECT_EQ(PooledThread::ThreadsMade(), made);
  EXPECT_EQ(used.size(), 1u);
}

TEST(PooledThread, WorkThatWaitsForOtherWorkGetsAThreadOfItsOwn) {
  // Each job waits until all have started: with a fixed number of threads this would never end.
  for (const int jobs : {2, 5, 12}) {
    SCOPED_TRACE(jobs);
    std::mutex mu;
    std::condition_variable cv;
    int started = 0;
    std::vector<PooledThread> ts;
    for (int i = 0; i < jobs; ++i)
      ts.emplace_back([&] {
        std::unique_lock hold(mu);
        ++started;
        cv.notify_all();
        cv.wait(hold, [&] { return started == jobs; });
      });
    for (PooledThread& t : ts) t.join();
    EXPECT_EQ(started, jobs);
    EXPECT_GE(PooledThread::ThreadsMade(), static_cast<size_t>(jobs));
  }
}

#ifndef _WIN32
std::atomic<int> freed{0};
void CountFreed() { ++freed; }

// The idle threads end before a fork (a child of a process of several threads may not start
// threads everywhere), freeing what they kept; the child's pool starts empty.
TEST(PooledThread, AForkedProcessStartsWithAPoolOfItsOwn) {
  EXPECT_FALSE(PooledThread::AtThreadEnd(&CountFreed)) << "the caller's own thread does not end with the pool";
  freed = 0;
  bool registered = false;
  PooledThread([&registered] {
    registered = PooledThread::AtThreadEnd(&CountFreed) && PooledThread::AtThreadEnd(&CountFreed);
  }).join();
  ASSERT_TRUE(registered);
  ASSERT_GT(PooledThread::ThreadsMade(), 0u);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(10);  // a child left waiting for a thread it does not have ends, and the test fails
    const bool empty = PooledThread::ThreadsMade() == 0;
    std::atomic<bool> ran{false};
    PooledThread t([&ran] { ran = true; });
    t.join();
    ::_exit(empty && ran && PooledThread::ThreadsMade() == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(freed, 1) << "what the ended thread kept was not freed once";
}
#endif

}  // namespace
}  // namespace engine
