#include "view_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "c4d_string.h"

namespace fs = std::filesystem;

namespace pmxapp {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ContentType(const fs::path& p) {
  const std::string ext = Lower(p.extension().string());
  if (ext == ".html" || ext == ".htm") return "text/html; charset=utf-8";
  if (ext == ".js" || ext == ".mjs") return "text/javascript; charset=utf-8";
  if (ext == ".json") return "application/json";
  if (ext == ".png") return "image/png";
  if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
  if (ext == ".gif") return "image/gif";
  if (ext == ".bmp" || ext == ".spa" || ext == ".sph") return "image/bmp";
  if (ext == ".webp") return "image/webp";
  return "application/octet-stream";
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

/// `relative` inside `root`, or empty when it would leave it.
fs::path Inside(const fs::path& root, const std::string& relative) {
  std::string rel = relative;
  for (char& c : rel)
    if (c == '\\') c = '/';
  while (!rel.empty() && rel.front() == '/') rel.erase(rel.begin());
  const fs::path joined = (root / rel).lexically_normal();
  const fs::path back = joined.lexically_relative(root);
  if (back.empty() || *back.begin() == "..") return {};
  return joined;
}

void SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

void Respond(int fd, int status, const std::string& reason, const std::string& type,
             const std::string& body, bool head) {
  std::ostringstream h;
  h << "HTTP/1.1 " << status << ' ' << reason << "\r\n"
    << "Content-Type: " << type << "\r\n"
    << "Content-Length: " << body.size() << "\r\n"
    << "Cache-Control: no-store\r\n"
    << "Connection: close\r\n\r\n";
  SendAll(fd, h.str());
  if (!head) SendAll(fd, body);
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

}  // namespace

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
}

bool ViewServer::Start(const ViewServerOptions& options, std::string* error) {
  options_ = options;
  std::error_code ec;
  const fs::path model = fs::absolute(options.modelPath, ec);
  if (!fs::is_regular_file(model, ec)) {
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
  modelDir_ = model.parent_path().lexically_normal().string();
  modelName_ = model.filename().string();
  // The model is served under /fs at its own path, so that texture names that climb out of
  // its folder ("..\\tex\\skin.png") resolve in the browser as they do on disk. Beyond the
  // model's folder only the files the PMX names as textures are served; absolute names (the
  // saver's resolver writes them) are opened by desktop readers, so they are served too.
  for (std::string name : PmxTextureNames(model.string())) {
    for (char& c : name)
      if (c == '\\') c = '/';
    if (name.empty()) continue;
    const fs::path p(name);
    textures_.insert((p.is_absolute() ? p : fs::path(modelDir_) / p).lexically_normal().string());
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
      listen(listen_, 16) != 0) {
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
  for (const char c : "/fs" + (fs::path(modelDir_) / modelName_).string()) {
    const std::string one(1, c);
    path += c == '/' ? one : EncodeComponent(one);
  }
  return "http://127.0.0.1:" + std::to_string(port_) + "/?model=" + EncodeComponent(path);
}

void ViewServer::Serve(const std::atomic<bool>& stop) {
  while (!stop.load()) ServeFor(200);
}

void ViewServer::ServeFor(int milliseconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || listen_ < 0) return;
    pollfd p{listen_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r <= 0) return;
    const int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    HandleClient(client);
    close(client);
  }
}

void ViewServer::HandleClient(int client) {
  // A client that stalls must not stall the server for long.
  timeval tv{5, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  std::string request;
  char buf[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
    const ssize_t n = recv(client, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    request.append(buf, static_cast<size_t>(n));
  }
  std::istringstream line(request.substr(0, request.find("\r\n")));
  std::string method, target;
  line >> method >> target;
  const bool head = method == "HEAD";
  if (method != "GET" && !head) {
    Respond(client, 405, "Method Not Allowed", "text/plain", "only GET\n", false);
    return;
  }
  std::string path = target.substr(0, target.find_first_of("?#"));
  std::string decoded;
  if (!DecodePath(path, &decoded)) {
    Respond(client, 400, "Bad Request", "text/plain", "bad path\n", head);
    return;
  }
  if (decoded == "/favicon.ico") {
    Respond(client, 204, "No Content", "text/plain", "", head);
    return;
  }
  fs::path file;
  if (decoded == "/" || decoded == "/index.html") {
    file = options_.pagePath;
  } else if (decoded.rfind("/three/", 0) == 0) {
    file = Inside(options_.threeDir, decoded.substr(7));
  } else if (decoded.rfind("/fs/", 0) == 0) {
    std::string rest = decoded.substr(3);
    for (char& c : rest)
      if (c == '\\') c = '/';
    const fs::path wanted = fs::path(rest).lexically_normal();
    const std::string prefix = modelDir_ + "/";
    std::vector<fs::path> allowed;
    if (!Inside(modelDir_, wanted.lexically_relative(modelDir_).string()).empty())
      allowed.push_back(wanted);
    if (textures_.count(wanted.string())) allowed.push_back(wanted);
    if (rest.rfind(prefix, 0) == 0) {
      // An absolute texture name that the loader appended to the model's folder.
      const fs::path absolute = fs::path(rest.substr(prefix.size() - 1)).lexically_normal();
      if (absoluteTextures_.count(absolute.string())) allowed.push_back(absolute);
    }
    std::error_code exists;
    for (const fs::path& candidate : allowed) {
      if (fs::is_regular_file(candidate, exists)) {
        file = candidate;
        break;
      }
    }
  }
  std::string body;
  std::error_code ec;
  if (file.empty() || !fs::is_regular_file(file, ec) || !ReadFile(file, &body)) {
    Respond(client, 404, "Not Found", "text/plain", "not found: " + decoded + "\n", head);
    return;
  }
  Respond(client, 200, "OK", ContentType(file), body, head);
}

}  // namespace pmxapp
