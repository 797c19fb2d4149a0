#include "mapped_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "release_behind.h"

namespace pmxapp {

namespace {

// A file that another program truncates while it is mapped makes a read of its lost pages
// raise SIGBUS. The handler puts zero pages in their place and marks the file cut short, so
// the reader finishes and the loader reports the change. Faults elsewhere go to the handler
// that was there before.

struct Slot {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> cutShort{false};
};
constexpr std::size_t kSlots = 16;
std::array<Slot, kSlots> g_slots;
struct sigaction g_previous {};
std::uintptr_t g_pageSize = 4096;  // read once, outside the handler

void OnBusError(int sig, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& s : g_slots) {
    const std::uintptr_t begin = s.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= s.end.load(std::memory_order_acquire)) {
      continue;
    }
    const std::uintptr_t page = g_pageSize;
    void* at = reinterpret_cast<void*>(address & ~(page - 1));
    if (::mmap(at, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      s.cutShort.store(true, std::memory_order_release);
      return;  // the read is retried and finds zeros
    }
    break;
  }
  // Not ours: the previous handler, or the default action once the fault repeats.
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction) {
      g_previous.sa_sigaction(sig, info, context);
      return;
    }
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
    return;
  }
  ::signal(SIGBUS, SIG_DFL);
}

void InstallHandlerOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previous);
  });
}

Slot* TakeSlot(std::uintptr_t begin, std::uintptr_t end) {
  for (Slot& s : g_slots) {
    std::uintptr_t free = 0;
    if (s.begin.compare_exchange_strong(free, begin, std::memory_order_acq_rel)) {
      s.cutShort.store(false, std::memory_order_relaxed);
      s.end.store(end, std::memory_order_release);
      return &s;
    }
  }
  return nullptr;
}

Slot* SlotOf(const char* data) {
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  for (Slot& s : g_slots) {
    if (s.begin.load(std::memory_order_acquire) == begin) return &s;
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<MappedFile> MappedFile::Open(const std::string& path, std::string* reason) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *reason = "not a regular file";
    ::close(fd);
    return nullptr;
  }
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const auto size = static_cast<std::size_t>(st.st_size);
  const std::size_t filePages = (size + page - 1) / page * page;
  std::unique_ptr<MappedFile> file(new MappedFile);
  file->mappedBytes_ = filePages + page;
  // Room for the file and one zero page after it; the file is then mapped over the start.
  void* room = ::mmap(nullptr, file->mappedBytes_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (room == MAP_FAILED) {
    *reason = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  file->data_ = static_cast<char*>(room);
  file->size_ = size;
  if (size > 0 &&
      ::mmap(room, size, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, 0) == MAP_FAILED) {
    *reason = std::strerror(errno);
    ::close(fd);
    return nullptr;  // the destructor unmaps the room
  }
  ::close(fd);
  InstallHandlerOnce();
  const auto begin = reinterpret_cast<std::uintptr_t>(room);
  if (!TakeSlot(begin, begin + filePages)) {
    *reason = "too many files mapped at once";
    return nullptr;
  }
  return file;
}

bool MappedFile::CutShort() const {
  const Slot* s = data_ ? SlotOf(data_) : nullptr;
  return cutShort_ || (s && s->cutShort.load(std::memory_order_acquire));
}

void MappedFile::DropPages() const {
  if (data_) pmxapp::DropPages(data_, mappedBytes_);
}

void MappedFile::Release() {
  if (!data_) return;
  if (Slot* s = SlotOf(data_)) {
    cutShort_ = s->cutShort.load(std::memory_order_acquire);
    s->end.store(0, std::memory_order_release);
    s->begin.store(0, std::memory_order_release);
  }
  ::munmap(data_, mappedBytes_);
  data_ = nullptr;
  size_ = 0;
}

MappedFile::~MappedFile() { Release(); }

}  // namespace pmxapp
