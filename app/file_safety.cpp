#include "file_safety.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "c4d.h"

namespace fs = std::filesystem;

namespace pmxapp {

namespace {

bool StartsWith(const unsigned char* d, std::size_t n, const char* magic) {
  const std::size_t m = std::strlen(magic);
  return n >= m && std::memcmp(d, magic, m) == 0;
}

unsigned Le16(const unsigned char* d) { return d[0] | (d[1] << 8u); }
unsigned Le32(const unsigned char* d) {
  return d[0] | (d[1] << 8u) | (d[2] << 16u) | (static_cast<unsigned>(d[3]) << 24u);
}

/// TGA has no signature; its 18-byte header is checked field by field instead.
std::string Reason(const fs::path& path, const std::string& what, int err) {
  return "cannot " + what + " " + path.string() + ": " + std::strerror(err);
}

bool WriteAll(int fd, const std::vector<unsigned char>& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

/// Whether `path` is a regular file (not a link) holding exactly `data`.
bool HoldsExactly(const fs::path& path, const std::vector<unsigned char>& data) {
  std::vector<unsigned char> old;
  std::string ignored;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) != data.size())
    return false;
  return ReadRegularFile(path, &old, &ignored) && old == data;
}

}  // namespace

std::string ImageSuffixOf(const unsigned char* d, std::size_t n) {
  if (StartsWith(d, n, "\x89PNG\r\n\x1a\n")) return "png";
  if (StartsWith(d, n, "\xff\xd8\xff")) return "jpg";
  if (StartsWith(d, n, "GIF87a") || StartsWith(d, n, "GIF89a")) return "gif";
  if (StartsWith(d, n, "BM") && n >= 18) {
    // The info header's size tells the BMP versions apart; text starting "BM" has none of them.
    switch (Le32(d + 14)) {
      case 12:
      case 16:
      case 40:
      case 52:
      case 56:
      case 64:
      case 108:
      case 124:
        return "bmp";
      default:
        break;
    }
  }
  if (StartsWith(d, n, "DDS ") && n >= 8 && Le32(d + 4) == 124) return "dds";
  // TGA has no signature: its header has to make sense instead.
  if (n >= 18) {
    const unsigned mapType = d[1], type = d[2], depth = d[16];
    const bool mapped = type == 1 || type == 9;
    const bool knownType = mapped || type == 2 || type == 3 || type == 10 || type == 11;
    const bool mapOk = mapType == 0
                           ? !mapped
                           : mapType == 1 && (d[7] == 15 || d[7] == 16 || d[7] == 24 || d[7] == 32);
    const bool depthOk = depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
    if (knownType && mapOk && depthOk && Le16(d + 12) > 0 && Le16(d + 14) > 0 &&
        (d[17] & 0xC0) == 0)
      return "tga";
  }
  return {};
}

bool ReadRegularFile(const fs::path& path, std::vector<unsigned char>* data, std::string* error) {
  data->clear();
  // Non-blocking, so that a FIFO planted under a texture's name cannot stall the export.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = Reason(path, "read", errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = "cannot read " + path.string() + ": not a regular file";
    return false;
  }
  data->resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < data->size()) {
    const ssize_t n = ::read(fd, data->data() + done, data->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;
      ::close(fd);
      *error = Reason(path, "read", err);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return true;
}

bool IsInsideFolder(const fs::path& path, const fs::path& root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p) {
    if (r->empty()) continue;  // a trailing separator
    if (p == path.end() || *p != *r) return false;
  }
  return true;
}

bool PlaceFileExclusively(const fs::path& folder, const std::string& wanted,
                          const std::vector<unsigned char>& data, PlacedFile* placed,
                          std::string* error) {
  const std::string base = wanted.empty() || wanted == "." || wanted == ".." ? "texture" : wanted;
  const fs::path w(base);
  const std::string stem = w.stem().string(), ext = w.extension().string();
  for (int k = 1; k <= 1000; ++k) {
    const std::string name = k == 1 ? base : stem + "_" + std::to_string(k) + ext;
    const fs::path path = folder / name;
    if (HoldsExactly(path, data)) {
      *placed = {name, false};
      return true;
    }
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;  // another file (or a link) holds the name
      *error = Reason(path, "write", errno);
      return false;
    }
    const bool written = WriteAll(fd, data);
    const int writeErr = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
      *error = Reason(path, "write", written ? errno : writeErr);
      ::unlink(path.c_str());
      return false;
    }
    *placed = {name, true};
    return true;
  }
  *error = "cannot write " + (folder / base).string() + ": every variant of the name is taken";
  return false;
}

bool WriteOutputFile(const std::string& path, const std::string& bytes, std::string* error,
                     bool* opened) {
  host::ClearLastFileError();
  BaseFile file;
  const bool open = file.Open(Filename(String(path)), FILEOPEN_WRITE, FILEDIALOG_NONE);
  if (opened) *opened = open;
  if (open) {
    file.WriteBytes(bytes.data(), static_cast<Int64>(bytes.size()));
    if (file.Close()) return true;
  }
  const std::string reason = host::LastFileError();
  *error = "cannot write " + path + ": " + (reason.empty() ? "the write failed" : reason);
  return false;
}

bool OutputIsStream(const std::string& path) {
  std::string resolved;
  bool stream = false;
  int err = 0;
  return host::ResolveWriteTarget(path, &resolved, &stream, &err) && stream;
}

fs::path ResolvedOutput(const std::string& path) {
  std::string resolved;
  bool stream = false;
  int err = 0;
  if (!host::ResolveWriteTarget(path, &resolved, &stream, &err)) resolved = path;
  std::error_code ec;
  return fs::absolute(fs::path(resolved), ec).lexically_normal();
}

fs::path OutputFolder(const std::string& path) { return ResolvedOutput(path).parent_path(); }

std::filesystem::path TemporaryFolder() {
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
  return ec ? std::filesystem::path("/tmp") : folder;
}

}  // namespace pmxapp
