// What the view server reads from disk: the page's and three.js's places, images judged by
// their bytes, the texture names of a PMX file, and the one file a URL path may open, judged
// by where it really is.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "app_host.h"
#include "c4d_string.h"
#include "file_safety.h"
#include "view_server.h"
#include "view_server_internal.h"

namespace fs = std::filesystem;

namespace pmxapp {

using namespace viewserver;

namespace {

/// True when `path` is `root` or lies below it (both absolute, without links or dots).
bool Within(const std::string& root, const std::string& path) {
  if (root == "/") return true;
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

/// Opens a regular file for reading without blocking on a FIFO or a device; -1 otherwise.
int OpenRegular(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

/// Where the open file really is. Judging the file that was opened, rather than the name
/// before opening it, leaves no gap in which a link could be swapped in.
std::string RealPath(int fd) {
  std::error_code ec;
  const fs::path p = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  return ec ? std::string() : p.string();
}

/// The kind of image the open file `fd` holds by its first bytes, or empty.
std::string KindOfOpenFile(int fd) {
  std::string head(64, '\0');
  const ssize_t n = pread(fd, head.data(), head.size(), 0);
  head.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return ImageKind(head);
}

bool ReadFile(const fs::path& p, std::string* out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

std::string FromEnvironmentOr(const char* env, const std::string& builtIn) {
  const char* v = std::getenv(env);
  return v && *v ? std::string(v) : builtIn;
}

}  // namespace

namespace viewserver {

std::string Slashes(std::string s) {
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

std::string Canonical(const fs::path& p) {
  std::error_code ec;
  const fs::path c = fs::canonical(p, ec);
  return ec ? std::string() : c.string();
}

std::vector<std::string> PmxTextureNames(const std::string& path) {
  std::string data;
  if (!ReadFile(path, &data)) return {};
  size_t at = 0;
  bool ok = true;
  auto need = [&](size_t n) {
    if (!ok || data.size() - at < n) ok = false;
    return ok;
  };
  auto u8 = [&]() -> unsigned {
    if (!need(1)) return 0;
    return static_cast<unsigned char>(data[at++]);
  };
  auto i32 = [&]() -> int64_t {
    if (!need(4)) return 0;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k)
      v |= static_cast<uint32_t>(static_cast<unsigned char>(data[at + k])) << (8 * k);
    at += 4;
    return static_cast<int32_t>(v);
  };
  auto skip = [&](int64_t n) {
    if (n < 0 || !need(static_cast<size_t>(n)))
      ok = false;
    else
      at += static_cast<size_t>(n);
  };
  if (!need(9) || data.compare(0, 4, "PMX ") != 0) return {};
  at = 8;
  const unsigned globals = u8();
  std::vector<unsigned> g(8, 1);
  for (unsigned k = 0; k < globals; ++k) {
    const unsigned v = u8();
    if (k < 8) g[k] = v;
  }
  const bool utf16 = g[0] == 0;
  const unsigned extraUv = g[1], vertexIndex = g[2], boneIndex = g[5];
  auto text = [&]() {
    const int64_t n = i32();
    if (n < 0 || !need(static_cast<size_t>(n))) {
      ok = false;
      return std::string();
    }
    std::string raw = data.substr(at, static_cast<size_t>(n));
    at += static_cast<size_t>(n);
    if (!utf16) return raw;
    std::u16string units;
    for (size_t k = 0; k + 1 < raw.size(); k += 2)
      units.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw[k]) |
                                            (static_cast<unsigned char>(raw[k + 1]) << 8)));
    return String(units).GetUtf8();
  };
  for (int k = 0; k < 4; ++k) text();
  const int64_t vertices = i32();
  for (int64_t v = 0; ok && v < vertices; ++v) {
    skip(32 + 16 * static_cast<int64_t>(extraUv));
    switch (u8()) {
      case 0:
        skip(boneIndex);
        break;
      case 1:
        skip(2 * boneIndex + 4);
        break;
      case 2:
        skip(4 * boneIndex + 16);
        break;
      case 3:
        skip(2 * boneIndex + 4 + 36);
        break;
      case 4:
        skip(4 * boneIndex + 16);
        break;
      default:
        ok = false;
    }
    skip(4);
  }
  skip(i32() * static_cast<int64_t>(vertexIndex));
  std::vector<std::string> names;
  const int64_t textures = i32();
  for (int64_t t = 0; ok && t < textures; ++t) {
    std::string name = text();
    if (ok) names.push_back(name);
  }
  return names;
}

}  // namespace viewserver

std::string ImageKind(const std::string& head) {
  const std::string suffix =
      ImageSuffixOf(reinterpret_cast<const unsigned char*>(head.data()), head.size());
  return suffix == "jpg" ? "jpeg" : suffix;
}

std::string ImageContentType(const std::string& kind) {
  if (kind == "png" || kind == "jpeg" || kind == "gif" || kind == "bmp") return "image/" + kind;
  if (kind == "dds") return "image/vnd-ms.dds";
  return "image/x-tga";
}

std::string ResolvedPath(const std::string& path) { return Canonical(path); }

bool ReadImageWithin(const std::string& path, const std::vector<std::string>& roots,
                     std::string* bytes, std::string* kind) {
  const int fd = OpenRegular(path);
  if (fd < 0) return false;
  const std::string real = RealPath(fd);
  const bool inside = std::any_of(roots.begin(), roots.end(), [&](const std::string& root) {
    return !root.empty() && Within(root, real);
  });
  *kind = inside ? KindOfOpenFile(fd) : std::string();
  bool ok = !kind->empty();
  if (ok) {
    bytes->clear();
    char chunk[65536];
    for (off_t at = 0;;) {
      const ssize_t n = pread(fd, chunk, sizeof chunk, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      bytes->append(chunk, static_cast<size_t>(n));
      at += n;
    }
  }
  close(fd);
  return ok;
}

std::string DefaultViewerPage() {
  return FromEnvironmentOr("PMX_VIEWER_PAGE", ExecutableDir() + "/web/viewer.html");
}

std::string DefaultScenePage() {
  return FromEnvironmentOr("PMX_SCENE_PAGE", ExecutableDir() + "/web/scene.html");
}

std::string DefaultThreeDir() {
  return FromEnvironmentOr("PMX_THREE_DIR", ExecutableDir() + "/web/three");
}

int ViewServer::OpenAllowed(const std::string& urlPath, std::string* type) const {
  if (urlPath == "/" || urlPath == "/index.html") {
    *type = "text/html; charset=utf-8";
    return OpenRegular(options_.pagePath);
  }
  if (urlPath.rfind("/three/", 0) == 0) {
    const fs::path rel = fs::path(Slashes(urlPath.substr(7))).lexically_normal();
    if (rel.empty() || rel.is_absolute() || *rel.begin() == ".." || rel.extension() != ".js")
      return -1;
    const int fd = OpenRegular(fs::path(options_.threeDir) / rel);
    if (fd >= 0 && !Within(threeReal_, RealPath(fd))) {
      close(fd);
      return -1;
    }
    *type = "text/javascript; charset=utf-8";
    return fd;
  }
  if (options_.api || urlPath.rfind("/fs/", 0) != 0) return -1;
  const std::string rest = Slashes(urlPath.substr(3));
  const std::string wanted = fs::path(rest).lexically_normal().string();
  if (wanted == modelPath_) {
    const int fd = OpenRegular(wanted);
    if (fd >= 0 && RealPath(fd) != modelReal_) {
      close(fd);
      return -1;
    }
    *type = "application/octet-stream";
    return fd;
  }
  std::vector<std::string> candidates;
  if (textures_.count(wanted)) candidates.push_back(wanted);
  const std::string folder = fs::path(modelPath_).parent_path().string() + "/";
  if (rest.rfind(folder, 0) == 0) {
    // An absolute texture name that the loader appended to the model's folder.
    const std::string absolute =
        fs::path(rest.substr(folder.size() - 1)).lexically_normal().string();
    if (absoluteTextures_.count(absolute)) candidates.push_back(absolute);
  }
  for (const std::string& candidate : candidates) {
    const int fd = OpenRegular(candidate);
    if (fd < 0) continue;
    const std::string real = RealPath(fd);
    const bool inside = std::any_of(roots_.begin(), roots_.end(), [&](const std::string& root) {
      return !root.empty() && Within(root, real);
    });
    const std::string kind = inside ? KindOfOpenFile(fd) : std::string();
    if (!kind.empty()) {
      *type = ImageContentType(kind);
      return fd;
    }
    close(fd);
  }
  return -1;
}

}  // namespace pmxapp
