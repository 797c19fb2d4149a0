#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "model_import_internal.h"

namespace fs = std::filesystem;

// The address sanitizer reserves terabytes of address space, so no address-space limit there.
#if defined(__SANITIZE_ADDRESS__)
#define PMX_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PMX_UNDER_ASAN 1
#endif
#endif
#ifndef PMX_UNDER_ASAN
#define PMX_UNDER_ASAN 0
#endif

namespace pmxapp::modelimport {

void Configure(Assimp::Importer& importer) {
  // Pivot helper nodes would otherwise sit between bones and turn into joints.
  importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  // Lengths are converted by this importer from the file's unit, not by the library.
  importer.SetPropertyBool(AI_CONFIG_FBX_CONVERT_TO_M, false);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string Suffix(const std::string& path) { return Lower(fs::path(path).extension().string()); }

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
    s.pop_back();
  return s;
}

std::string ReadFailure(const std::string& libraryMessage, const std::string& path) {
  if (libraryMessage.find("bad_alloc") != std::string::npos) return "not enough memory to read it";
  // The suffix names a format the library reads, yet no reader takes the content: the file is
  // broken (a binary glTF cut short has its header but not the chunks it announces).
  if (!path.empty() && libraryMessage.find("No suitable reader") != std::string::npos &&
      IsModelFilePath(path))
    return "the file is damaged or truncated: it is not readable as a " + Suffix(path) + " file";
  return libraryMessage.empty() ? "the import library could not read it" : Trim(libraryMessage);
}

/// Exit status of the child when the library refused the file with a message of its own; any
/// other failure means the library itself went down (a sanitizer turns a crash into exit 1).
constexpr int kProbeRefused = 3;

bool ProbeInChild(const std::string& path, int timeoutSeconds, std::string* reason) {
  std::error_code ec;
  const auto fileSize = fs::file_size(path, ec);
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
  const rlim_t physical = pages > 0 && pageSize > 0
                              ? static_cast<rlim_t>(pages) * static_cast<rlim_t>(pageSize)
                              : rlim_t(8) << 30;
  rlim_t memoryLimit =
      std::min<rlim_t>(physical / 4 * 3, (rlim_t(2) << 30) + (ec ? 0 : rlim_t(fileSize) * 200));
  // The user may have set a lower limit on this process (ulimit -v); the child inherits it.
  rlimit current{};
  const bool userLimited = getrlimit(RLIMIT_AS, &current) == 0 &&
                           current.rlim_cur != RLIM_INFINITY && current.rlim_cur < memoryLimit;
  if (userLimited) memoryLimit = current.rlim_cur;
  int fds[2];
  if (pipe(fds) != 0) return true;  // cannot isolate: read in-process as the last resort
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return true;
  }
  if (pid == 0) {
    close(fds[0]);
    // The library's messages would only repeat what the pipe carries.
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
    }
#if !PMX_UNDER_ASAN
    // A damaged file that claims absurd sizes must fail here quickly instead of exhausting
    // the machine; real models need a small multiple of their size.
    if (!userLimited) {
      rlimit rl{memoryLimit, current.rlim_max < memoryLimit ? current.rlim_max : memoryLimit};
      setrlimit(RLIMIT_AS, &rl);
    }
#endif
    Assimp::Importer importer;
    Configure(importer);
    const aiScene* scene = importer.ReadFile(path, kReadFlags);
    if (!scene) {
      const std::string msg = importer.GetErrorString();
      ssize_t unused = write(fds[1], msg.data(), msg.size());
      (void)unused;
      _exit(kProbeRefused);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string message;
  bool timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) continue;
    char buf[4096];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the child is done
    message.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    *reason = "reading did not finish within " + std::to_string(timeoutSeconds) +
              (timeoutSeconds == 1 ? " second" : " seconds") +
              "; the file is damaged or far too large (--import-timeout S allows longer)";
    return false;
  }
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    *reason = "the file is damaged or truncated: the import library stopped with signal " +
              std::to_string(sig) + " (" + strsignal(sig) + ") while reading it";
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != kProbeRefused) {
    *reason = "the file is damaged or truncated: the import library stopped while reading it";
    return false;
  }
  if (message.find("bad_alloc") != std::string::npos) {
    *reason = userLimited ? "not enough memory to read it within this process's limit of " +
                                std::to_string(memoryLimit >> 20) + " MB"
                          : "the file asks for more than " + std::to_string(memoryLimit >> 20) +
                                " MB of memory; it is damaged or too large for this machine";
    return false;
  }
  *reason = ReadFailure(message, path);
  return false;
}

}  // namespace pmxapp::modelimport

namespace pmxapp {

int ImportTimeLimit(unsigned long long bytes) {
  // Readers get through several megabytes a second even on the slow text formats with every
  // post-processing step; 4 s per MB leaves room for a loaded machine and sanitizer builds.
  constexpr unsigned long long kBase = 5, kPerMegabyte = 4, kMost = 3600;
  const unsigned long long extra = std::min(kMost, (bytes >> 18) * kPerMegabyte / 4);
  return static_cast<int>(std::min(kMost, kBase + extra));
}

}  // namespace pmxapp

namespace pmxapp::modelimport {

bool ReadableFile(const std::string& path, std::string* reason) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) {
    *reason = "no such file";
    return false;
  }
  if (fs::is_directory(st)) {
    *reason = "it is a folder, not a file";
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    *reason = std::strerror(errno);
    for (char& c : *reason) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return false;
  }
  char c;
  const ssize_t n = read(fd, &c, 1);
  const int readErrno = errno;
  close(fd);
  if (n < 0) {
    *reason = std::string("cannot be read: ") + std::strerror(readErrno);
    return false;
  }
  if (n == 0) {
    *reason = "the file is empty";
    return false;
  }
  return true;
}

}  // namespace pmxapp::modelimport
