#include "release_behind.h"

#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace pmxapp {

namespace {

class Worker {
 public:
  ~Worker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    RunAll();  // whatever came after the worker stopped
  }

  void Add(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!stopping_ && Started()) {
        jobs_.push_back(std::move(job));
        wake_.notify_one();
        return;
      }
    }
    job();
  }

 private:
  // Called with the lock held.
  bool Started() {
    if (thread_.joinable()) return true;
    try {
      thread_ = std::thread([this] { Run(); });
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr;  // what it held goes here, off the lock
      lock.lock();
    }
  }

  void RunAll() {
    for (auto& job : jobs_) job();
    jobs_.clear();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

Worker& TheWorker() {
  static Worker worker;
  return worker;
}

}  // namespace

PageSpan WholePagesIn(const void* data, size_t bytes) noexcept {
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto at = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (at + page - 1) & ~(page - 1);
  const std::uintptr_t end = (at + bytes) & ~(page - 1);
  return data && end > begin ? PageSpan{begin, end} : PageSpan{};
}

void DropPages(const void* data, size_t bytes) noexcept {
  const PageSpan pages = WholePagesIn(data, bytes);
  if (pages.end > pages.begin)
    ::madvise(reinterpret_cast<void*>(pages.begin), pages.end - pages.begin, MADV_DONTNEED);
}

void ReleaseBehind(std::function<void()> job) {
  if (job) TheWorker().Add(std::move(job));
}

}  // namespace pmxapp
