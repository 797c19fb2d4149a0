#include "view_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "app_host.h"
#include "c4d_string.h"
#include "file_safety.h"

namespace fs = std::filesystem;

namespace pmxapp {

using Clock = std::chrono::steady_clock;

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
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

std::string FromEnvironmentOr(const char* env, const std::string& builtIn) {
  const char* v = std::getenv(env);
  return v && *v ? std::string(v) : builtIn;
}

/// The security headers of every answer. Only the page may run as a document; anything else
/// opened as one is inert, and other sites' pages may not embed what is served here.
void Harden(httplib::Response& res, bool page) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Cross-Origin-Resource-Policy", "same-origin");
  if (!page) res.set_header("Content-Security-Policy", "default-src 'none'; sandbox");
}

void Plain(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text, "text/plain; charset=utf-8");
  Harden(res, false);
}

/// Answers the open file `fd` (taken over) as the body, read as it is sent.
void SendFile(httplib::Response& res, int fd, const std::string& type) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    close(fd);
    Plain(res, 404, "not found\n");
    return;
  }
  auto file = std::shared_ptr<int>(new int(fd), [](int* f) {
    close(*f);
    delete f;
  });
  res.status = 200;
  res.set_content_provider(static_cast<size_t>(st.st_size), type,
                           [file](size_t offset, size_t length, httplib::DataSink& sink) {
                             char chunk[65536];
                             const ssize_t n = pread(*file, chunk, std::min(length, sizeof chunk),
                                                     static_cast<off_t>(offset));
                             // A file that shrank while it was sent: the client sees a short body,
                             // never other bytes.
                             if (n <= 0) return false;
                             return sink.write(chunk, static_cast<size_t>(n));
                           });
  Harden(res, type.rfind("text/html", 0) == 0);
}

}  // namespace

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

// ----- connections -----

/// One client connection. The server answers one request per connection and closes it, so
/// the deadlines of a connection are those of one exchange.
struct Connection {
  int fd = -1;
  /// A second descriptor of the socket, closed only once the connection is forgotten: the
  /// socket can then be cut through it without ever reaching a number reused since.
  int handle = -1;
  Clock::time_point accepted;
  Clock::time_point headEnd, end;
  std::atomic<bool> headReceived{false};
  bool cut = false;  // guarded by the server's mutex
};

namespace {

thread_local Connection* tCurrent = nullptr;

/// The socket of one connection as httplib reads and writes it, bounded by the connection's
/// deadlines: the request head must arrive by its deadline and the whole exchange end by its
/// own, however slowly the client sends or reads.
class DeadlineStream : public httplib::Stream {
 public:
  explicit DeadlineStream(Connection& c) : c_(c) {}
  bool is_readable() const override { return Wait(POLLIN); }
  bool is_writable() const override { return Wait(POLLOUT); }
  ssize_t read(char* ptr, size_t size) override {
    for (;;) {
      if (!is_readable()) return -1;
      const ssize_t n = recv(c_.fd, ptr, size, MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      return n;
    }
  }
  ssize_t write(const char* ptr, size_t size) override {
    for (;;) {
      if (!is_writable()) return -1;
      const ssize_t n = send(c_.fd, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      return n;
    }
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = "127.0.0.1";
    port = 0;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = "127.0.0.1";
    port = 0;
  }
  socket_t socket() const override { return c_.fd; }

 private:
  bool Wait(short events) const {
    for (;;) {
      const auto deadline = c_.headReceived.load() ? c_.end : c_.headEnd;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{c_.fd, events, 0};
      const int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
      if (r > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
      if (r < 0 && errno != EINTR) return false;
    }
  }
  Connection& c_;
};

/// Every connection on a thread of its own, so that a slow client never waits behind
/// another; how many may be open at once is decided when the connection starts.
class ThreadPerConnection : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override {
    auto task = std::make_shared<std::function<void()>>(std::move(fn));
    auto run = [this, task] {
      (*task)();
      std::lock_guard guard(mutex_);
      if (--running_ == 0) idle_.notify_all();
    };
    {
      std::lock_guard lock(mutex_);
      ++running_;
    }
    try {
      std::thread(run).detach();
    } catch (const std::system_error&) {
      // No thread: the task still runs (and closes its socket), on the acceptor's thread.
      run();
    }
  }
  void shutdown() override {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return running_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  int running_ = 0;
};

}  // namespace

struct ViewServer::Impl : httplib::Server {
  explicit Impl(const ViewServerOptions& o) : options(o) {
    new_task_queue = [] { return new ThreadPerConnection; };
  }

  // Replaces httplib's own connection handling: admission, deadlines, one exchange.
  bool process_and_close_socket(socket_t sock) override {
    auto c = std::make_shared<Connection>();
    c->fd = sock;
    c->handle = dup(sock);
    c->accepted = Clock::now();
    c->end = c->accepted + std::chrono::milliseconds(options.exchangeMs);
    c->headEnd = std::min(c->end, c->accepted + std::chrono::milliseconds(options.requestHeadMs));
    if (c->handle < 0 || !Admit(c)) {
      if (c->handle >= 0) close(c->handle);
      close(sock);
      return false;
    }
    DeadlineStream stream(*c);
    bool closed = false;
    tCurrent = c.get();
    const bool ok = process_request(stream, true, closed, nullptr);
    tCurrent = nullptr;
    shutdown(sock, SHUT_RDWR);
    close(sock);
    std::lock_guard lock(mutex);
    close(c->handle);
    live.remove(c);
    return ok;
  }

  bool Admit(const std::shared_ptr<Connection>& c) {
    std::lock_guard lock(mutex);
    if (stopping) return false;
    const size_t limit = static_cast<size_t>(std::max(1, options.maxConnections));
    size_t open = 0;
    for (const auto& l : live) open += l->cut ? 0 : 1;
    if (open >= limit) {
      // Idle connections must not lock out a real client: the one that has waited longest
      // without sending its request is cut.
      const auto idle = std::find_if(live.begin(), live.end(), [](const auto& l) {
        return !l->headReceived.load() && !l->cut;
      });
      // A cut connection holds its slot until its thread has noticed; never more than the
      // limit of those either.
      if (idle == live.end() || live.size() >= 2 * limit) {
        static const char busy[] =
            "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        send(c->fd, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        return false;
      }
      (*idle)->cut = true;
      shutdown((*idle)->handle, SHUT_RDWR);
    }
    live.push_back(c);
    return true;
  }

  void CutAll() {
    std::lock_guard lock(mutex);
    stopping = true;
    for (const auto& l : live) shutdown(l->handle, SHUT_RDWR);
  }

  ViewServerOptions options;
  std::mutex mutex;
  std::list<std::shared_ptr<Connection>> live;
  bool stopping = false;
  std::thread listener;
};

ViewServer::ViewServer() = default;

ViewServer::~ViewServer() {
  if (!impl_) return;
  impl_->CutAll();
  impl_->stop();
  if (impl_->listener.joinable()) impl_->listener.join();
}

bool ViewServer::Start(const ViewServerOptions& options, std::string* error) {
  options_ = options;
  std::error_code ec;
  if (!fs::is_regular_file(options.pagePath, ec)) {
    *error = "the page " + options.pagePath +
             " is missing (the build installs it beside pmxexport, in web/)";
    return false;
  }
  const bool pmx = options.api == nullptr;
  const char* needed = pmx ? "examples/jsm/loaders/MMDLoader.js" : "build/three.module.js";
  if (!fs::is_regular_file(fs::path(options.threeDir) / needed, ec)) {
    *error = "three.js is not installed at " + options.threeDir +
             " (scripts/install-deps.sh fetches it and the build installs it)";
    return false;
  }
  threeReal_ = Canonical(options.threeDir);
  if (pmx) {
    const fs::path model = fs::absolute(options.modelPath, ec).lexically_normal();
    if (ec || !fs::is_regular_file(model, ec)) {
      *error = "cannot show " + options.modelPath + ": no such file";
      return false;
    }
    modelPath_ = model.string();
    modelReal_ = Canonical(model);
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
  }

  impl_ = std::make_unique<Impl>(options);
  httplib::Server& s = *impl_;
  s.set_payload_max_length(options.maxBody);
  // Every request is checked before it is routed: one Host header naming this server,
  // and changes only from this server's own page.
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (tCurrent) tCurrent->headReceived = true;
    if (req.get_header_value_count("Host") != 1) {
      Plain(res, 400, "bad request\n");
      return httplib::Server::HandlerResponse::Handled;
    }
    // A page elsewhere can make its own host name point here (DNS rebinding); the browser
    // then sends that name, which we never answer.
    if (!HostAllowed(req.get_header_value("Host"))) {
      Plain(res, 421, "this server answers only 127.0.0.1 and localhost\n");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "POST") {
      // Another site's page may send a form or a plain-text request here without asking; the
      // browser names its origin, and a JSON body cannot be sent across sites unasked.
      const std::string origin = req.get_header_value("Origin");
      const std::string port = std::to_string(port_);
      const bool ours =
          origin == "http://127.0.0.1:" + port || origin == "http://localhost:" + port;
      if (!ours || req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
        Plain(res, 403, "changes are taken only from this server's own page\n");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    if (req.path.find('\0') != std::string::npos) {
      Plain(res, 400, "bad path\n");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty() && !res.is_chunked_content_provider_ && !res.content_length_) {
      const int status = res.status;
      Plain(res, status, status == 404 ? "not found\n" : "refused\n");
    }
  });
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    Plain(res, 500, "the server could not answer\n");
  });
  s.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/favicon.ico") {
      res.status = 204;
      Harden(res, false);
      return;
    }
    if (options_.api && req.path.rfind("/api/", 0) == 0) {
      const ViewReply r = options_.api->Get(req.path.substr(5));
      res.status = r.status;
      res.set_content(r.body, r.type);
      Harden(res, false);
      return;
    }
    std::string type;
    const int fd = OpenAllowed(req.path, &type);
    if (fd < 0) {
      Plain(res, 404, "not found\n");
      return;
    }
    SendFile(res, fd, type);
  });
  s.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
    if (!options_.api || req.path.rfind("/api/", 0) != 0) {
      Plain(res, 404, "not found\n");
      return;
    }
    const ViewReply r = options_.api->Post(req.path.substr(5), req.body);
    res.status = r.status;
    res.set_content(r.body, r.type);
    if (!r.downloadName.empty())
      res.set_header("Content-Disposition",
                     "attachment; filename*=UTF-8''" + EncodeComponent(r.downloadName));
    Harden(res, false);
  });

  if (options.port == 0) {
    port_ = s.bind_to_any_port("127.0.0.1");
  } else {
    port_ = s.bind_to_port("127.0.0.1", options.port) ? options.port : -1;
  }
  if (port_ <= 0) {
    *error =
        "cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " + std::strerror(errno);
    impl_.reset();
    return false;
  }
  impl_->listener = std::thread([this] { impl_->listen_after_bind(); });
  return true;
}

std::string ViewServer::Url() const {
  const std::string base = "http://127.0.0.1:" + std::to_string(port_) + "/";
  if (options_.api) return base;
  std::string path;
  for (const char c : "/fs" + modelPath_) {
    const std::string one(1, c);
    path += c == '/' ? one : EncodeComponent(one);
  }
  return base + "?model=" + EncodeComponent(path);
}

void ViewServer::Serve(const std::atomic<bool>& stop) {
  while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
