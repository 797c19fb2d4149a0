// A small web server on the loopback interface that shows one PMX model in a browser with
// three.js's MMDLoader: the viewer page, the three.js modules, the model and the images it
// names. Models come from strangers, so nothing else leaves the disk: no file outside the
// allowed folders (judged after resolving links), no texture that is not an image by its
// bytes, no answer to a page that reached us under a foreign host name, and no client that
// can keep the others waiting.
#pragma once

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace pmxapp {

struct ViewServerOptions {
  /// The PMX file to show.
  std::string modelPath;
  /// The viewer page (HTML).
  std::string pagePath;
  /// The three package's folder (with build/ and examples/jsm/).
  std::string threeDir;
  /// Folders besides the model's own from which the model's textures may be served.
  std::vector<std::string> textureRoots;
  /// 0: any free port.
  int port = 0;
  /// Connections served at once; at the limit the oldest one still waiting for its request
  /// makes room, and when every one is busy the new one is turned away.
  int maxConnections = 32;
  /// Time a client has to send its whole request after connecting.
  int requestHeadMs = 3000;
  /// Time for a whole exchange, from connecting to the last byte of the answer.
  int exchangeMs = 30000;
};

/// Where the viewer page and three.js are found: beside the sources the app was built from,
/// unless PMX_VIEWER_PAGE or PMX_THREE_DIR name other places.
std::string DefaultViewerPage();
std::string DefaultThreeDir();

/// The kind of image `head` (a file's first bytes, at least 32 when the file has them)
/// starts: "png", "jpeg", "gif", "bmp", "dds", "tga", or empty for anything else.
std::string ImageKind(const std::string& head);

class ViewServer {
 public:
  ViewServer() = default;
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;
  /// Stops listening, cuts the open connections and waits for their threads.
  ~ViewServer();

  /// Checks the files and listens on 127.0.0.1; on failure answers false with `error`.
  bool Start(const ViewServerOptions& options, std::string* error);
  int Port() const { return port_; }
  /// The page's address with the model in its query.
  std::string Url() const;
  /// Accepts clients until `stop` becomes true (checked a few times a second); each client
  /// is answered on its own thread.
  void Serve(const std::atomic<bool>& stop);
  /// Accepts the clients that arrive within `milliseconds`.
  void ServeFor(int milliseconds);

 private:
  struct Connection;
  void Admit(int client);
  void Run(const std::shared_ptr<Connection>& connection);
  void Answer(Connection& connection);
  bool HostAllowed(const std::string& host) const;
  int OpenAllowed(const std::string& urlPath, std::string* type) const;

  ViewServerOptions options_;
  std::string modelPath_;                   // as the page asks for it (absolute, lexical)
  std::string modelReal_;                   // with links resolved
  std::vector<std::string> roots_;          // folders textures may come from, links resolved
  std::string threeReal_;                   // the three package, links resolved
  std::set<std::string> textures_;          // the names the PMX gives, absolute and lexical
  std::set<std::string> absoluteTextures_;  // the names that were absolute already
  int listen_ = -1;
  int port_ = 0;

  std::mutex mutex_;
  std::condition_variable finished_;
  std::list<std::shared_ptr<Connection>> live_;
};

}  // namespace pmxapp
