#include "view_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "c4d_string.h"
#include "file_safety.h"

namespace fs = std::filesystem;

namespace pmxapp {

using Clock = std::chrono::steady_clock;

struct ViewServer::Connection {
  int fd = -1;
  Clock::time_point accepted;
  bool headReceived = false;  // guarded by the server's mutex, as is `cut`
  bool cut = false;
};

namespace {

constexpr size_t kMaxRequestHead = 16384;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// Percent-decoding of a URL path; false for a malformed escape or an encoded NUL.
bool DecodePath(const std::string& in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
    if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

std::string EncodeComponent(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

/// Browsers treat a backslash in a URL path as a slash, and PMX files written on Windows name
/// textures with backslashes; both sides are compared in the one spelling.
std::string Slashes(std::string s) {
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

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

std::string Canonical(const fs::path& p) {
  std::error_code ec;
  const fs::path c = fs::canonical(p, ec);
  return ec ? std::string() : c.string();
}

/// Waits until `fd` is ready for `events` or `deadline` passes.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

bool SendAll(int fd, const char* data, size_t size, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

std::string Head(int status, const char* reason, const std::string& type, uint64_t length,
                 bool page) {
  std::ostringstream h;
  h << "HTTP/1.1 " << status << ' ' << reason << "\r\n"
    << "Content-Type: " << type << "\r\n"
    << "Content-Length: " << length << "\r\n"
    << "Cache-Control: no-store\r\n"
    << "X-Content-Type-Options: nosniff\r\n"
    // Other sites' pages may not embed what is served here.
    << "Cross-Origin-Resource-Policy: same-origin\r\n";
  // Only the viewer page may run as a document; anything else opened as one is inert.
  if (!page) h << "Content-Security-Policy: default-src 'none'; sandbox\r\n";
  h << "Connection: close\r\n\r\n";
  return h.str();
}

void Respond(int fd, int status, const char* reason, const std::string& body, bool head,
             Clock::time_point deadline) {
  std::string out = Head(status, reason, "text/plain; charset=utf-8", body.size(), false);
  if (!head) out += body;
  SendAll(fd, out.data(), out.size(), deadline);
}

bool ReadFile(const fs::path& p, std::string* out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

/// The texture names a PMX 2.0 file holds (UTF-8), or none when it cannot be read that far.
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

std::string SourceDefault(const char* env, const std::string& builtIn) {
  const char* v = std::getenv(env);
  return v && *v ? std::string(v) : builtIn;
}

std::string ContentTypeOf(const std::string& kind) {
  if (kind == "png" || kind == "jpeg" || kind == "gif" || kind == "bmp") return "image/" + kind;
  if (kind == "dds") return "image/vnd-ms.dds";
  return "image/x-tga";
}

}  // namespace

std::string ImageKind(const std::string& head) {
  const std::string suffix =
      ImageSuffixOf(reinterpret_cast<const unsigned char*>(head.data()), head.size());
  return suffix == "jpg" ? "jpeg" : suffix;
}

std::string DefaultViewerPage() {
#ifdef PMX_VIEWER_PAGE
  return SourceDefault("PMX_VIEWER_PAGE", PMX_VIEWER_PAGE);
#else
  return SourceDefault("PMX_VIEWER_PAGE", "");
#endif
}

std::string DefaultThreeDir() {
#ifdef PMX_THREE_DIR
  return SourceDefault("PMX_THREE_DIR", PMX_THREE_DIR);
#else
  return SourceDefault("PMX_THREE_DIR", "");
#endif
}

ViewServer::~ViewServer() {
  if (listen_ >= 0) close(listen_);
  std::unique_lock lock(mutex_);
  for (const auto& c : live_) shutdown(c->fd, SHUT_RDWR);
  finished_.wait(lock, [&] { return live_.empty(); });
}

bool ViewServer::Start(const ViewServerOptions& options, std::string* error) {
  options_ = options;
  std::error_code ec;
  const fs::path model = fs::absolute(options.modelPath, ec).lexically_normal();
  if (ec || !fs::is_regular_file(model, ec)) {
    *error = "cannot show " + options.modelPath + ": no such file";
    return false;
  }
  if (!fs::is_regular_file(options.pagePath, ec)) {
    *error = "the viewer page " + options.pagePath + " is missing";
    return false;
  }
  if (!fs::is_regular_file(fs::path(options.threeDir) / "examples/jsm/loaders/MMDLoader.js", ec)) {
    *error = "three.js with MMDLoader is not installed at " + options.threeDir +
             " (scripts/install-deps.sh installs it)";
    return false;
  }
  modelPath_ = model.string();
  modelReal_ = Canonical(model);
  threeReal_ = Canonical(options.threeDir);
  const fs::path modelDir = model.parent_path();
  roots_ = {Canonical(modelDir)};
  for (const std::string& root : options.textureRoots) {
    const std::string real = Canonical(root);
    if (real.empty() || !fs::is_directory(real, ec)) {
      *error = "the texture folder " + root + " does not exist";
      return false;
    }
    roots_.push_back(real);
  }
  // The model is served under /fs at its own path, so that texture names that climb out of
  // its folder ("..\\tex\\skin.png") resolve in the browser as they do on disk; whether such
  // a file may be served is decided when it is asked for, by where it really is.
  for (const std::string& raw : PmxTextureNames(modelPath_)) {
    const std::string name = Slashes(raw);
    if (name.empty()) continue;
    const fs::path p(name);
    textures_.insert((p.is_absolute() ? p : modelDir / p).lexically_normal().string());
    if (p.is_absolute()) absoluteTextures_.insert(p.lexically_normal().string());
  }

  listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_ < 0) {
    *error = std::string("cannot open a socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(options.port));
  if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_, 128) != 0) {
    *error =
        "cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " + std::strerror(errno);
    close(listen_);
    listen_ = -1;
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  return true;
}

std::string ViewServer::Url() const {
  std::string path;
  for (const char c : "/fs" + modelPath_) {
    const std::string one(1, c);
    path += c == '/' ? one : EncodeComponent(one);
  }
  return "http://127.0.0.1:" + std::to_string(port_) + "/?model=" + EncodeComponent(path);
}

void ViewServer::Serve(const std::atomic<bool>& stop) {
  while (!stop.load()) ServeFor(200);
}

void ViewServer::ServeFor(int milliseconds) {
  const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0 || listen_ < 0) return;
    pollfd p{listen_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
    const int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client >= 0) Admit(client);
  }
}

void ViewServer::Admit(int client) {
  auto connection = std::make_shared<Connection>();
  connection->fd = client;
  connection->accepted = Clock::now();
  {
    std::lock_guard lock(mutex_);
    const size_t limit = static_cast<size_t>(std::max(1, options_.maxConnections));
    size_t open = 0;
    for (const auto& c : live_) open += c->cut ? 0 : 1;
    if (open >= limit) {
      // Idle connections must not lock out a real client: the one that has waited longest
      // without sending its request is cut.
      const auto idle = std::find_if(live_.begin(), live_.end(),
                                     [](const auto& c) { return !c->headReceived && !c->cut; });
      // A cut connection holds its slot until its thread has noticed; never more than the
      // limit of those either.
      if (idle == live_.end() || live_.size() >= 2 * limit) {
        static const char busy[] =
            "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        send(client, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        close(client);
        return;
      }
      (*idle)->cut = true;
      shutdown((*idle)->fd, SHUT_RDWR);
    }
    live_.push_back(connection);
  }
  try {
    std::thread(&ViewServer::Run, this, connection).detach();
  } catch (const std::system_error&) {
    std::lock_guard lock(mutex_);
    live_.remove(connection);
    close(client);
  }
}

void ViewServer::Run(const std::shared_ptr<Connection>& connection) {
  Answer(*connection);
  // The socket is closed under the lock, so that the acceptor never cuts a number that has
  // since been given to another file.
  std::lock_guard lock(mutex_);
  close(connection->fd);
  live_.remove(connection);
  finished_.notify_all();
}

bool ViewServer::HostAllowed(const std::string& host) const {
  std::string name = Lower(host), port;
  const size_t colon = name.rfind(':');
  if (colon != std::string::npos) {
    port = name.substr(colon + 1);
    name.resize(colon);
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stoi(port) != port_)
      return false;
  }
  return name == "127.0.0.1" || name == "localhost";
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
  if (urlPath.rfind("/fs/", 0) != 0) return -1;
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
    std::string head(64, '\0');
    const ssize_t n = inside ? pread(fd, head.data(), head.size(), 0) : -1;
    head.resize(n > 0 ? static_cast<size_t>(n) : 0);
    const std::string kind = ImageKind(head);
    if (!kind.empty()) {
      *type = ContentTypeOf(kind);
      return fd;
    }
    close(fd);
  }
  return -1;
}

void ViewServer::Answer(Connection& connection) {
  const int fd = connection.fd;
  const auto end = connection.accepted + std::chrono::milliseconds(options_.exchangeMs);
  const auto headEnd =
      std::min(end, connection.accepted + std::chrono::milliseconds(options_.requestHeadMs));
  std::string request;
  char buf[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    if (request.size() > kMaxRequestHead) {
      Respond(fd, 431, "Request Header Fields Too Large", "request too large\n", false, end);
      return;
    }
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      request.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLIN, headEnd)) return;
    } else {
      return;
    }
  }
  {
    std::lock_guard lock(mutex_);
    connection.headReceived = true;
  }
  std::istringstream lines(request.substr(0, request.find("\r\n\r\n")));
  std::string line, method, target, version;
  std::getline(lines, line);
  std::istringstream(line) >> method >> target >> version;
  const bool head = method == "HEAD";
  std::vector<std::string> hosts;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos || Lower(line.substr(0, colon)) != "host") continue;
    const size_t from = line.find_first_not_of(" \t", colon + 1);
    const size_t to = line.find_last_not_of(" \t");
    hosts.push_back(from == std::string::npos ? std::string() : line.substr(from, to + 1 - from));
  }
  if (target.empty() || target[0] != '/' || version.rfind("HTTP/1.", 0) != 0 || hosts.size() != 1) {
    Respond(fd, 400, "Bad Request", "bad request\n", head, end);
    return;
  }
  // A page elsewhere can make its own host name point here (DNS rebinding); the browser then
  // sends that name, which we never answer.
  if (!HostAllowed(hosts[0])) {
    Respond(fd, 421, "Misdirected Request", "this server answers only 127.0.0.1 and localhost\n",
            head, end);
    return;
  }
  if (method != "GET" && !head) {
    Respond(fd, 405, "Method Not Allowed", "only GET\n", false, end);
    return;
  }
  std::string decoded;
  if (!DecodePath(target.substr(0, target.find_first_of("?#")), &decoded)) {
    Respond(fd, 400, "Bad Request", "bad path\n", head, end);
    return;
  }
  if (decoded == "/favicon.ico") {
    Respond(fd, 204, "No Content", "", head, end);
    return;
  }
  std::string type;
  const int file = OpenAllowed(decoded, &type);
  struct stat st {};
  if (file < 0 || fstat(file, &st) != 0) {
    if (file >= 0) close(file);
    Respond(fd, 404, "Not Found", "not found\n", head, end);
    return;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const std::string h = Head(200, "OK", type, size, type.rfind("text/html", 0) == 0);
  bool ok = SendAll(fd, h.data(), h.size(), end);
  for (uint64_t sent = 0; ok && !head && sent < size;) {
    char chunk[65536];
    const ssize_t n = pread(file, chunk, sizeof chunk, static_cast<off_t>(sent));
    if (n < 0 && errno == EINTR) continue;
    // A file that shrank while it was sent: the client sees a short body, never other bytes.
    if (n <= 0) break;
    ok = SendAll(fd, chunk, static_cast<size_t>(n), end);
    sent += static_cast<uint64_t>(n);
  }
  close(file);
  shutdown(fd, SHUT_WR);
}

}  // namespace pmxapp
