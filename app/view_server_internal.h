// What the files of the view server (view_server.h) share: the names a PMX gives its
// textures, the paths they are compared in, and the connections with the server that holds them.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "view_server.h"

namespace pmxapp {

using Clock = std::chrono::steady_clock;

namespace viewserver {

/// Browsers treat a backslash in a URL path as a slash, and PMX files written on Windows name
/// textures with backslashes; both sides are compared in the one spelling.
std::string Slashes(std::string s);

/// `p` with links resolved, or empty when it does not exist.
std::string Canonical(const std::filesystem::path& p);

/// The texture names a PMX 2.0 file holds (UTF-8), or none when it cannot be read that far.
std::vector<std::string> PmxTextureNames(const std::string& path);

}  // namespace viewserver

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

namespace viewserver {

/// The connection the current thread serves, while it serves one.
extern thread_local Connection* tCurrent;

}  // namespace viewserver

struct ViewServer::Impl : httplib::Server {
  explicit Impl(const ViewServerOptions& o);

  // Replaces httplib's own connection handling: admission, deadlines, one exchange.
  bool process_and_close_socket(socket_t sock) override;

  bool Admit(const std::shared_ptr<Connection>& c);
  void CutAll();

  ViewServerOptions options;
  std::mutex mutex;
  std::list<std::shared_ptr<Connection>> live;
  bool stopping = false;
  std::thread listener;
};

}  // namespace pmxapp
