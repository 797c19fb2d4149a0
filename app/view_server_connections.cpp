// The view server's connections: each on a thread of its own, admitted up to the limit (an
// idle one making room), read and written within the deadlines of one exchange.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <system_error>

#include "view_server.h"
#include "view_server_internal.h"

namespace pmxapp {

namespace viewserver {

thread_local Connection* tCurrent = nullptr;

}  // namespace viewserver

using namespace viewserver;

namespace {

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

ViewServer::Impl::Impl(const ViewServerOptions& o) : options(o) {
  new_task_queue = [] { return new ThreadPerConnection; };
}

bool ViewServer::Impl::process_and_close_socket(socket_t sock) {
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

bool ViewServer::Impl::Admit(const std::shared_ptr<Connection>& c) {
  std::lock_guard lock(mutex);
  if (stopping) return false;
  const size_t limit = static_cast<size_t>(std::max(1, options.maxConnections));
  size_t open = 0;
  for (const auto& l : live) open += l->cut ? 0 : 1;
  if (open >= limit) {
    // Idle connections must not lock out a real client: the one that has waited longest
    // without sending its request is cut.
    const auto idle = std::find_if(
        live.begin(), live.end(), [](const auto& l) { return !l->headReceived.load() && !l->cut; });
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

void ViewServer::Impl::CutAll() {
  std::lock_guard lock(mutex);
  stopping = true;
  for (const auto& l : live) shutdown(l->handle, SHUT_RDWR);
}

}  // namespace pmxapp
