// The view server itself: starting it, the checks every request passes, the routes to the page,
// three.js, the model's files and the API, and the answers' headers.
#include "view_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "view_server_internal.h"

namespace fs = std::filesystem;

namespace pmxapp {

using namespace viewserver;

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

}  // namespace pmxapp
