#include "c4d_thread.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "c4d_host_threads.h"
#include "c4d_memory.h"

namespace {

std::atomic<Int32> gThreadCount{-1};
std::atomic<Int64> gAllocationsLeft{-1};
std::atomic<Int32> gStartsLeft{-1};
std::atomic<bool> gPoolInitFails{false};

std::recursive_mutex& GlobalLock() {
  static std::recursive_mutex lock;
  return lock;
}

/// Consumes one unit of a "succeed n more times" budget; -1 is unlimited.
template <typename T>
bool Consume(std::atomic<T>& left) {
  T n = left.load();
  while (n != -1) {
    if (n == 0) return false;
    if (left.compare_exchange_weak(n, n - 1)) return true;
  }
  return true;
}

}  // namespace

namespace host {

void SetThreadCount(Int32 count) { gThreadCount = count < 0 ? -1 : count; }
void SetAllocationFailureAfter(Int64 count) { gAllocationsLeft = count < 0 ? -1 : count; }
void SetThreadPoolInitFailure(Bool fail) { gPoolInitFails = fail; }
void SetThreadStartFailureAfter(Int32 count) { gStartsLeft = count < 0 ? -1 : count; }
void ResetThreadFaults() {
  gAllocationsLeft = -1;
  gStartsLeft = -1;
  gPoolInitFails = false;
}

Bool MayAllocate() { return Consume(gAllocationsLeft); }

}  // namespace host

struct BaseThread::Impl {
  std::thread thread;
  std::mutex joinMutex;
  std::atomic<bool> stop{false};
  std::atomic<bool> running{false};
  // What Main threw (running out of memory, mostly), handed to whoever waits for the thread:
  // an exception leaving a thread's function would end the whole program.
  std::exception_ptr failure;
};

BaseThread::BaseThread() : impl_(std::make_unique<Impl>()) {}

BaseThread::~BaseThread() { End(true); }

Bool BaseThread::TestBreak() { return impl_->stop.load(); }

void BaseThread::End(Bool wait) {
  impl_->stop = true;
  if (!wait) return;
  std::lock_guard<std::mutex> lock(impl_->joinMutex);
  if (impl_->thread.joinable() && impl_->thread.get_id() != std::this_thread::get_id()) {
    impl_->thread.join();
  }
}

Bool BaseThread::IsRunning() { return impl_->running.load(); }

C4DThread::C4DThread() : thread_(std::make_unique<BaseThread>()) {}

C4DThread::~C4DThread() { End(true); }

Bool C4DThread::Start(THREADMODE mode, THREADPRIORITY) {
  BaseThread::Impl* t = thread_->GetImpl();
  // A thread object runs one Main at a time. A failure of an earlier run that nobody waited
  // for was given up with it.
  try {
    Wait();
  } catch (...) {
  }
  if (mode == THREADMODE_ASYNC && !Consume(gStartsLeft)) return false;
  t->stop = false;
  t->running = true;
  bool started = false;
  try {
    std::lock_guard<std::mutex> lock(t->joinMutex);
    t->thread = std::thread([this, t] {
      try {
        Main();
      } catch (...) {
        t->failure = std::current_exception();
      }
      t->running = false;
    });
    started = true;
  } catch (const std::system_error&) {
    // The system refuses another thread (no memory for its stack, a process limit).
  } catch (const std::bad_alloc&) {
  }
  if (!started) {
    if (mode == THREADMODE_ASYNC) {
      t->running = false;
      return false;
    }
    // The caller waits for Main anyway, so its own thread can run it.
    struct Done {
      BaseThread::Impl* impl;
      ~Done() { impl->running = false; }
    } done{t};
    Main();
    return true;
  }
  if (mode == THREADMODE_SYNCHRONOUS) Wait();
  return true;
}

void C4DThread::End(Bool wait) { thread_->End(wait); }

void C4DThread::Wait(Bool) {
  BaseThread::Impl* t = thread_->GetImpl();
  std::exception_ptr failure;
  {
    std::lock_guard<std::mutex> lock(t->joinMutex);
    if (t->thread.joinable() && t->thread.get_id() != std::this_thread::get_id()) t->thread.join();
    std::swap(failure, t->failure);
  }
  if (failure) std::rethrow_exception(failure);
}

Bool C4DThread::TestBreak() { return thread_->TestBreak() || TestDBreak(); }

Bool C4DThread::IsRunning() { return thread_->IsRunning(); }

MPThreadPool::~MPThreadPool() { End(); }

Bool MPThreadPool::Init(const C4DThread&, Int32 count, C4DThread** thread) {
  End();
  if (gPoolInitFails || count <= 0 || !thread) return false;
  for (Int32 i = 0; i < count; ++i) {
    if (!thread[i]) return false;
  }
  threads_ = thread;
  count_ = count;
  return true;
}

Bool MPThreadPool::Start(THREADPRIORITY priority) {
  if (!threads_ || started_ > 0) return false;
  for (Int32 i = 0; i < count_; ++i) {
    if (!threads_[i]->Start(THREADMODE_ASYNC, priority)) {
      End();
      return false;
    }
    started_ = i + 1;
  }
  return true;
}

void MPThreadPool::Wait() {
  // Every thread is waited for before the first failure is passed on, so none is left
  // running on data its owner is about to free.
  std::exception_ptr failure;
  for (Int32 i = 0; i < started_; ++i) {
    try {
      threads_[i]->Wait();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  // The threads have returned; the pool no longer refers to them (their owner may free them).
  started_ = 0;
  if (failure) std::rethrow_exception(failure);
}

void MPThreadPool::End() {
  for (Int32 i = 0; i < started_; ++i) threads_[i]->End(false);
  try {
    Wait();
  } catch (...) {
    // Ending is giving up on the result, and End runs from the destructor.
  }
  threads_ = nullptr;
  count_ = 0;
}

void GeThreadLock() { GlobalLock().lock(); }
void GeThreadUnlock() { GlobalLock().unlock(); }

Int32 GeGetCurrentThreadCount() {
  const Int32 n = gThreadCount.load();
  if (n >= 0) return n;
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : static_cast<Int32>(hw);
}
