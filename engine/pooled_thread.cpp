#include "engine/pooled_thread.h"

#include "engine/calls_at_end.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace engine {

struct PooledThread::Job {
  std::function<void()> work;
  std::mutex mu;
  std::condition_variable ended_cv;
  bool ended = false;
};

namespace {

using Job = PooledThread::Job;

// Whether the calling thread is the pool's, and what it frees as it ends (AtThreadEnd).
thread_local bool t_pooled = false;
thread_local CallsAtEnd t_at_end;

// One thread of the pool and the job handed to it.
struct Worker {
  std::mutex mu;
  std::condition_variable cv;
  std::shared_ptr<Job> next;
  bool quit = false;  // an idle thread ends (before a fork)
  std::thread thread;
};

class Pool {
 public:
  void Start(const std::shared_ptr<Job>& job) {
    std::unique_lock lock(mu_);
    if (!idle_.empty()) {
      Worker* w = idle_.back();
      idle_.pop_back();
      lock.unlock();
      {
        std::lock_guard hold(w->mu);
        w->next = job;
      }
      w->cv.notify_one();
      return;
    }
    // Freed only when its thread ends before a fork; otherwise it lives as long as the process.
    auto* w = new Worker;
    w->next = job;
    try {
      w->thread = std::thread([this, w] { Run(w); });
    } catch (...) {
      delete w;
      throw;
    }
    ++made_;
  }

  size_t Made() {
    std::lock_guard hold(mu_);
    return made_;
  }

  // Around fork(). The idle threads end first: a process forked while no work runs then has no
  // thread of the pool, and its child may start threads everywhere (a child of a process with
  // several threads may not under ThreadSanitizer). The child has none of its parent's threads,
  // so its pool starts empty; one busy at the fork is left to its parent.
  void BeforeFork() {
    mu_.lock();
    for (Worker* w : idle_) {
      {
        std::lock_guard hold(w->mu);
        w->quit = true;
      }
      w->cv.notify_one();
      w->thread.join();
      delete w;
    }
    idle_.clear();
  }
  void AfterForkInParent() { mu_.unlock(); }
  void AfterForkInChild() {
    made_ = 0;
    mu_.unlock();
  }

 private:
  void Run(Worker* w) {
    t_pooled = true;
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock hold(w->mu);
        w->cv.wait(hold, [w] { return w->next != nullptr || w->quit; });
        if (!w->next) {  // quit while idle
          t_at_end.CallAll();
          return;
        }
        job = std::move(w->next);
        w->next = nullptr;
      }
      job->work();  // an exception out of it ends the program, as on a thread of its own
      job->work = nullptr;  // what it holds goes before join returns, as a thread's callable does
      {
        std::lock_guard hold(mu_);
        idle_.push_back(w);  // before the joiner wakes, so that its next start finds this thread
      }
      {
        std::lock_guard hold(job->mu);
        job->ended = true;
      }
      job->ended_cv.notify_all();
    }
  }

  std::mutex mu_;
  std::vector<Worker*> idle_;
  size_t made_ = 0;
};

// Never destroyed: its threads may still be waiting for work while the process ends (neither
// they nor their workers are ever destroyed then, so no thread is left joinable by a destructor).
Pool& ThePool() {
  static Pool* pool = [] {
    auto* p = new Pool;
#ifndef _WIN32
    ::pthread_atfork([] { ThePool().BeforeFork(); }, [] { ThePool().AfterForkInParent(); },
                     [] { ThePool().AfterForkInChild(); });
#endif
    return p;
  }();
  return *pool;
}

}  // namespace

PooledThread::PooledThread(std::function<void()> work) {
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  ThePool().Start(job);
  job_ = std::move(job);
}

PooledThread& PooledThread::operator=(PooledThread&& other) noexcept {
  if (job_) std::terminate();  // as std::thread: a running job is never forgotten
  job_ = std::move(other.job_);
  return *this;
}

PooledThread::~PooledThread() {
  if (job_) std::terminate();
}

void PooledThread::join() {
  if (!job_) throw std::system_error(std::make_error_code(std::errc::invalid_argument), "PooledThread::join");
  {
    std::unique_lock hold(job_->mu);
    job_->ended_cv.wait(hold, [this] { return job_->ended; });
  }
  job_.reset();
}

size_t PooledThread::ThreadsMade() { return ThePool().Made(); }

bool PooledThread::AtThreadEnd(void (*free_kept)()) { return t_pooled && t_at_end.Add(free_kept); }

}  // namespace engine
