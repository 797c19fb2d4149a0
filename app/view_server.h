// A small web server on the loopback interface that shows one PMX model in a browser with
// three.js's MMDLoader: the viewer page, the three.js modules and the model's own folder.
#pragma once

#include <atomic>
#include <set>
#include <string>

namespace pmxapp {

struct ViewServerOptions {
  /// The PMX file to show; its folder is served too (the textures the model names).
  std::string modelPath;
  /// The viewer page (HTML).
  std::string pagePath;
  /// The three package's folder (with build/ and examples/jsm/).
  std::string threeDir;
  /// 0: any free port.
  int port = 0;
};

/// Where the viewer page and three.js are found: beside the sources the app was built from,
/// unless PMX_VIEWER_PAGE or PMX_THREE_DIR name other places.
std::string DefaultViewerPage();
std::string DefaultThreeDir();

class ViewServer {
 public:
  ViewServer() = default;
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;
  ~ViewServer();

  /// Checks the files and listens on 127.0.0.1; on failure answers false with `error`.
  bool Start(const ViewServerOptions& options, std::string* error);
  int Port() const { return port_; }
  /// The page's address with the model in its query.
  std::string Url() const;
  /// Answers requests until `stop` becomes true (checked a few times a second).
  void Serve(const std::atomic<bool>& stop);
  /// Answers the requests that are waiting, for at most `milliseconds`.
  void ServeFor(int milliseconds);

 private:
  void HandleClient(int client);
  ViewServerOptions options_;
  std::string modelDir_, modelName_;
  std::set<std::string> textures_;          // every texture the PMX names, resolved
  std::set<std::string> absoluteTextures_;  // the names that are absolute paths
  int listen_ = -1;
  int port_ = 0;
};

}  // namespace pmxapp
