// Threads of the host: plug-in threads, the multiprocessing pool and the global lock.
#pragma once

#include <memory>

#include "ge_math.h"

enum THREADMODE : Int32 {
  THREADMODE_SYNCHRONOUS = 0,  // Start returns when Main has returned
  THREADMODE_ASYNC = 1,
};

enum THREADPRIORITY : Int32 {
  THREADPRIORITY_NORMAL = 0,
  THREADPRIORITY_ABOVE = 1000,
  THREADPRIORITY_BELOW = 2000,
  THREADPRIORITY_LOWEST = 2001,
};

/// The host's handle of a running thread.
class BaseThread {
 public:
  BaseThread();
  BaseThread(const BaseThread&) = delete;
  BaseThread& operator=(const BaseThread&) = delete;
  ~BaseThread();
  /// True once the thread has been asked to stop.
  Bool TestBreak();
  /// Asks the thread to stop and, with `wait`, waits until it has.
  void End(Bool wait = true);
  Bool IsRunning();

  struct Impl;
  Impl* GetImpl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

/// A plug-in thread: derive, implement Main and GetThreadName, then Start.
class C4DThread {
 public:
  C4DThread();
  C4DThread(const C4DThread&) = delete;
  C4DThread& operator=(const C4DThread&) = delete;
  virtual ~C4DThread();

  BaseThread* Get() const { return thread_.get(); }
  /// Runs Main on a thread of its own. THREADMODE_SYNCHRONOUS returns when Main has returned
  /// (and runs Main in the calling thread when the system has no thread to spare);
  /// THREADMODE_ASYNC returns at once, false when the thread cannot be started.
  Bool Start(THREADMODE mode = THREADMODE_ASYNC, THREADPRIORITY priority = THREADPRIORITY_NORMAL);
  /// Asks Main to stop (TestBreak answers true from then on) and, with `wait`, waits for it.
  void End(Bool wait = true);
  /// Waits until Main has returned. An exception that left Main (such as std::bad_alloc) is
  /// thrown again here, in the waiting thread.
  void Wait(Bool checkevents = false);
  /// True when the thread was asked to stop or TestDBreak answers true.
  Bool TestBreak();
  Bool IsRunning();

  virtual void Main() = 0;
  virtual Bool TestDBreak() { return false; }
  virtual const Char* GetThreadName() = 0;

 private:
  std::unique_ptr<BaseThread> thread_;
};

/// Runs a fixed set of threads together, one per processor the host uses.
class MPThreadPool {
 public:
  MPThreadPool() = default;
  MPThreadPool(const MPThreadPool&) = delete;
  MPThreadPool& operator=(const MPThreadPool&) = delete;
  ~MPThreadPool();

  /// Takes `count` threads (not owned) that run under `parent`.
  Bool Init(const C4DThread& parent, Int32 count, C4DThread** thread);
  /// Starts every thread asynchronously; if one cannot be started, ends those already
  /// running and answers false.
  Bool Start(THREADPRIORITY priority);
  /// Waits until every thread has returned from Main; then throws the first exception that
  /// left a Main, if any.
  void Wait();
  /// Asks every thread to stop and waits for them.
  void End();

 private:
  C4DThread** threads_ = nullptr;
  Int32 count_ = 0;
  Int32 started_ = 0;
};

/// Takes the host's one global lock (blocks while another thread holds it).
void GeThreadLock();
void GeThreadUnlock();

/// Number of threads the host runs work on. 0 asks plug-ins to do their work in the
/// calling thread.
Int32 GeGetCurrentThreadCount();
