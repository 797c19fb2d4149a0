#include "c4d_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "c4d_host.h"

namespace {
std::atomic<Int64> gWriteFailureAfter{-1};
std::atomic<Int64> gBytesWritten{0};
constexpr size_t kBufferSize = 1 << 20;
// Why the last file operation of this thread failed: an errno value, or kNotAFile. A plain
// number, so that recording it allocates nothing (Close runs in destructors).
constexpr int kNotAFile = -1;
thread_local int tLastErrno = 0;
}  // namespace

namespace host {
void SetWriteFailureAfter(Int64 bytes) {
  gWriteFailureAfter = bytes;
  gBytesWritten = 0;
}
Int64 GetWriteFailureAfter() { return gWriteFailureAfter; }

bool ResolveWriteTarget(const std::string& path, std::string* resolved, bool* stream, int* err) {
  *stream = false;
  std::filesystem::path cur(path);
  if (path.empty()) {
    *err = ENOENT;
    return false;
  }
  // A pipe or a device is written straight into, by the name given: /dev/stdout links to
  // /proc/self/fd/1, whose link text ("pipe:[...]") names no file.
  struct stat named {};
  if (::stat(path.c_str(), &named) == 0 && (S_ISFIFO(named.st_mode) || S_ISCHR(named.st_mode))) {
    *stream = true;
    *resolved = path;
    return true;
  }
  // A link the user names is followed to the file it stands for, which is then replaced in
  // its own folder; the link itself stays.
  struct stat st {};
  bool exists = false;
  for (int hops = 0;; ++hops) {
    if (hops > 40) {
      *err = ELOOP;
      return false;
    }
    if (::lstat(cur.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        *err = errno;
        return false;
      }
      break;
    }
    if (!S_ISLNK(st.st_mode)) {
      exists = true;
      break;
    }
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(cur.c_str(), link.data(), link.size());
    if (n < 0) {
      *err = errno;
      return false;
    }
    link.resize(static_cast<size_t>(n));
    const std::filesystem::path next(link);
    cur = next.is_absolute() ? next : cur.parent_path() / next;
  }
  if (exists && S_ISDIR(st.st_mode)) {
    *err = EISDIR;
    return false;
  }
  if (exists && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
    *stream = true;
  } else if (exists && !S_ISREG(st.st_mode)) {
    *err = kNotAFile;
    return false;
  }
  *resolved = cur.string();
  return true;
}

std::string LastFileError() {
  if (tLastErrno == 0) return {};
  if (tLastErrno == kNotAFile) return "not a regular file, a device or a pipe";
  return std::strerror(tLastErrno);
}

void ClearLastFileError() { tLastErrno = 0; }
}  // namespace host

BaseFile::~BaseFile() { Close(); }

Bool BaseFile::Open(const Filename& name, FILEOPEN mode, FILEDIALOG error_dialog, BYTEORDER order,
                    Int32, Int32) {
  Close();
  error_ = FILEERROR_NONE;
  order_ = order;
  mode_ = mode;
  position_ = 0;
  stream_ = false;
  int openErrno = 0;
  try {
    target_ = name.GetSystemPath();
    if (mode == FILEOPEN_WRITE) {
      // Everything that can fail for want of memory happens before anything is created.
      buffer_.clear();
      buffer_.reserve(kBufferSize);
      writing_.clear();
      writing_.reserve(kBufferSize);
      file_ = OpenForWriting(&openErrno);
    }
  } catch (...) {
    // Out of memory: report the open as failed, with nothing created.
    temp_.clear();
    error_ = FILEERROR_OUTOFMEMORY;
    tLastErrno = ENOMEM;
    return false;
  }
  if (mode == FILEOPEN_READ) {
    file_ = std::fopen(target_.c_str(), "rb");
    if (!file_) openErrno = errno;
  } else if (mode != FILEOPEN_WRITE) {
    file_ = nullptr;
    openErrno = EINVAL;
  }
  if (!file_) {
    error_ = FILEERROR_OPEN;
    tLastErrno = openErrno ? openErrno : EIO;
    temp_.clear();
    if (error_dialog == FILEDIALOG_ANY) {
      host::GetRecords().errorDialogs.push_back(String("Cannot open file ") + name.GetString());
    }
    return false;
  }
  return true;
}

std::FILE* BaseFile::OpenForWriting(int* err) {
  std::string resolved;
  bool stream = false;
  if (!host::ResolveWriteTarget(target_, &resolved, &stream, err)) return nullptr;
  if (stream) {
    // A device or a pipe the user named (/dev/null, a FIFO read by another program): it is
    // written as it is; there is no file to replace and nothing may be created beside it.
    const int fd = ::open(resolved.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      *err = errno;
      return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f) {
      *err = errno;
      ::close(fd);
      return nullptr;
    }
    stream_ = true;
    target_ = resolved;
    return f;
  }
  // Write to a fresh temporary file in the target's own folder and rename it over the target
  // on a successful close: a failed write never leaves a truncated file where a good one was.
  // The name is new and made exclusively, so a link planted under a predictable name can never
  // redirect the bytes to another file.
  target_ = resolved;
  const std::filesystem::path t(resolved);
  struct stat old {};
  const bool replacing = ::lstat(resolved.c_str(), &old) == 0;
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string partial = ".";
    partial += t.filename().string();
    partial += ".";
    partial += std::to_string(::getpid());
    partial += "-";
    partial += std::to_string(counter.fetch_add(1));
    partial += ".partial";
    temp_ = (t.parent_path() / partial).string();
    const int fd =
        ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      *err = errno;
      temp_.clear();
      return nullptr;
    }
    // The replacement keeps the permissions of the file it replaces.
    if (replacing) ::fchmod(fd, old.st_mode & 07777);
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f) {
      *err = errno;
      ::close(fd);
      ::unlink(temp_.c_str());
      temp_.clear();
      return nullptr;
    }
    return f;
  }
  *err = EEXIST;
  temp_.clear();
  return nullptr;
}

void BaseFile::FinishWriting() {
  if (writer_.joinable()) writer_.join();
  if (writerErrno_ != 0 && error_ == FILEERROR_NONE) {
    error_ = FILEERROR_WRITE;
    tLastErrno = writerErrno_;
  }
  writerErrno_ = 0;
}

Bool BaseFile::Flush() {
  FinishWriting();
  if (!file_ || buffer_.empty()) return error_ == FILEERROR_NONE;
  if (error_ != FILEERROR_NONE) {
    buffer_.clear();
    return false;
  }
  // The full buffer is written on another thread; the next one is filled meanwhile.
  std::swap(buffer_, writing_);
  buffer_.clear();
  auto write = [this] {
    if (std::fwrite(writing_.data(), 1, writing_.size(), file_) != writing_.size())
      writerErrno_ = errno ? errno : EIO;
  };
  try {
    writer_ = std::thread(write);
  } catch (...) {
    // No thread to spare, or no memory for one: here and now (Close runs in destructors and
    // must not throw).
    write();
    FinishWriting();
  }
  return error_ == FILEERROR_NONE;
}

Bool BaseFile::WriteRaw(const void* v, Int64 len) {
  if (!file_ || mode_ != FILEOPEN_WRITE) {
    if (error_ == FILEERROR_NONE) error_ = FILEERROR_WRITE;
    return false;
  }
  if (error_ != FILEERROR_NONE || len < 0) return false;
  Int64 limit = gWriteFailureAfter.load();
  if (limit >= 0 && gBytesWritten.fetch_add(len) + len > limit) {
    // The injected failure stands for the commonest real one, a full disk.
    error_ = FILEERROR_WRITE;
    tLastErrno = ENOSPC;
    return false;
  }
  auto* p = static_cast<const unsigned char*>(v);
  if (static_cast<size_t>(len) > kBufferSize) {
    if (!Flush()) return false;
    FinishWriting();
    if (error_ != FILEERROR_NONE) return false;
    if (std::fwrite(p, 1, static_cast<size_t>(len), file_) != static_cast<size_t>(len)) {
      error_ = FILEERROR_WRITE;
      tLastErrno = errno;
      return false;
    }
  } else {
    if (buffer_.size() + static_cast<size_t>(len) > kBufferSize && !Flush()) return false;
    buffer_.insert(buffer_.end(), p, p + len);
  }
  position_ += len;
  return true;
}

Bool BaseFile::WriteOrdered(const void* v, Int32 size) {
  unsigned char b[8];
  std::memcpy(b, v, static_cast<size_t>(size));
  // The host machine is little-endian; Motorola order reverses the bytes.
  if (order_ == BYTEORDER_MOTOROLA) {
    for (Int32 i = 0; i < size / 2; ++i) std::swap(b[i], b[size - 1 - i]);
  }
  return WriteRaw(b, size);
}

Bool BaseFile::ReadBytes(void* data, Int64 len) {
  if (!file_ || mode_ != FILEOPEN_READ || len < 0) return false;
  if (std::fread(data, 1, static_cast<size_t>(len), file_) != static_cast<size_t>(len)) {
    error_ = FILEERROR_READ;
    return false;
  }
  position_ += len;
  return true;
}

Int64 BaseFile::GetLength() const {
  std::error_code ec;
  if (mode_ == FILEOPEN_WRITE) return position_;
  auto n = std::filesystem::file_size(target_, ec);
  return ec ? 0 : static_cast<Int64>(n);
}

Bool BaseFile::Close() {
  if (!file_) return error_ == FILEERROR_NONE;
  if (mode_ == FILEOPEN_WRITE) {
    Flush();
    FinishWriting();
    if (std::fflush(file_) != 0 && error_ == FILEERROR_NONE) {
      error_ = FILEERROR_WRITE;
      tLastErrno = errno;
    }
  }
  if (std::fclose(file_) != 0 && error_ == FILEERROR_NONE) {
    error_ = FILEERROR_CLOSE;
    tLastErrno = errno;
  }
  file_ = nullptr;
  stream_ = false;
  if (mode_ == FILEOPEN_WRITE && !temp_.empty()) {
    // The C library's calls allocate nothing, so closing cannot throw (it runs in
    // destructors, also while an exception unwinds).
    if (error_ == FILEERROR_NONE && std::rename(temp_.c_str(), target_.c_str()) != 0) {
      error_ = FILEERROR_CLOSE;
      tLastErrno = errno;
    }
    if (error_ != FILEERROR_NONE) ::unlink(temp_.c_str());
    temp_.clear();
  }
  return error_ == FILEERROR_NONE;
}

Bool GeFExist(const Filename& name, Bool isdir) {
  std::error_code ec;
  std::filesystem::path p(name.GetSystemPath());
  return isdir ? std::filesystem::is_directory(p, ec) : std::filesystem::is_regular_file(p, ec);
}

Bool GenerateTexturePath(const Filename& docpath, const Filename& srcname,
                         const Filename& suggestedpath, Filename* dstname, void*, void*) {
  if (!srcname.Content() || !dstname) return false;
  std::filesystem::path src(srcname.GetSystemPath());
  std::vector<Filename> candidates;
  if (src.is_absolute()) candidates.push_back(srcname);
  if (suggestedpath.Content()) candidates.push_back(suggestedpath + srcname);
  if (docpath.Content()) {
    candidates.push_back(docpath + srcname);
    candidates.push_back(docpath + Filename("tex") + srcname);
    candidates.push_back(docpath + Filename("tex") + srcname.GetFile());
    candidates.push_back(docpath + srcname.GetFile());
  }
  for (const Filename& c : candidates) {
    if (GeFExist(c)) {
      *dstname = c;
      return true;
    }
  }
  return false;
}
