// A small web server on the loopback interface for `pmxexport view`: the page, the three.js
// modules, and either one PMX model with the images it names, or the API of a live scene
// (view_scene.h). Models and scenes come from strangers, so nothing else leaves the disk: no
// file outside the allowed folders (judged after resolving links), no texture that is not an
// image by its bytes, no answer to a page that reached us under a foreign host name, no change
// asked for by another site's page, and no client that can keep the others waiting.
// Its parts live in their own files:
//   view_server.cpp              starting, the checks every request passes, the routes, the
//                                answers' headers
//   view_server_files.cpp        what may be read from disk: the page's and three.js's places,
//                                images by their bytes, a PMX's texture names, the file a URL
//                                path opens
//   view_server_connections.cpp  admission, deadlines and a thread for each connection
// view_server_internal.h holds what they share.
#pragma once

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace pmxapp {

/// An answer of the page's API.
struct ViewReply {
  int status = 200;
  std::string type = "application/json";
  std::string body;
  /// Offered as a download under this name when set.
  std::string downloadName;
};

/// The live half of the page: what /api/... answers. Calls may come from several threads at
/// once; the implementation keeps its own order.
class ViewApi {
 public:
  virtual ~ViewApi() = default;
  /// GET /api/<path> (path without the prefix).
  virtual ViewReply Get(const std::string& path) = 0;
  /// POST /api/<path> with a JSON body.
  virtual ViewReply Post(const std::string& path, const std::string& body) = 0;
};

struct ViewServerOptions {
  /// The PMX file to show (unless `api` is set).
  std::string modelPath;
  /// The page (HTML).
  std::string pagePath;
  /// The three package's folder (with build/ and examples/jsm/).
  std::string threeDir;
  /// Folders besides the model's own from which the model's textures may be served.
  std::vector<std::string> textureRoots;
  /// A live scene instead of a PMX file: the page talks to it under /api/.
  ViewApi* api = nullptr;
  /// 0: any free port.
  int port = 0;
  /// Connections served at once; at the limit the oldest one still waiting for its request
  /// makes room, and when every one is busy the new one is turned away.
  int maxConnections = 32;
  /// Time a client has to send its whole request head after connecting.
  int requestHeadMs = 3000;
  /// Time for a whole exchange, from connecting to the last byte of the answer.
  int exchangeMs = 30000;
  /// Largest request body taken (the API's JSON).
  size_t maxBody = 1 << 20;
};

/// Where the page, the scene page and three.js are found: in web/ beside the executable, where
/// the build installs them, unless PMX_VIEWER_PAGE, PMX_SCENE_PAGE or PMX_THREE_DIR name other
/// places.
std::string DefaultViewerPage();
std::string DefaultScenePage();
std::string DefaultThreeDir();

/// The kind of image `head` (a file's first bytes, at least 32 when the file has them)
/// starts: "png", "jpeg", "gif", "bmp", "dds", "tga", or empty for anything else.
std::string ImageKind(const std::string& head);
/// The content type served for an image kind.
std::string ImageContentType(const std::string& kind);

/// Reads the image at `path` when, with its links resolved, it lies inside one of `roots`
/// (absolute, links resolved) and is an image by its bytes; false otherwise.
bool ReadImageWithin(const std::string& path, const std::vector<std::string>& roots,
                     std::string* bytes, std::string* kind);

/// `path` with links resolved, or empty when it does not exist.
std::string ResolvedPath(const std::string& path);

class ViewServer {
 public:
  ViewServer();
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;
  /// Stops listening, cuts the open connections and waits for their threads.
  ~ViewServer();

  /// Checks the files and starts serving on 127.0.0.1 on a thread of its own; on failure
  /// answers false with `error`.
  bool Start(const ViewServerOptions& options, std::string* error);
  int Port() const { return port_; }
  /// The page's address (with the model in its query for a PMX).
  std::string Url() const;
  /// Waits until `stop` becomes true (checked a few times a second).
  void Serve(const std::atomic<bool>& stop);

  struct Impl;

 private:
  bool HostAllowed(const std::string& host) const;
  /// Opens the file that `urlPath` names for a PMX view, or -1.
  int OpenAllowed(const std::string& urlPath, std::string* type) const;

  ViewServerOptions options_;
  std::string modelPath_;                   // as the page asks for it (absolute, lexical)
  std::string modelReal_;                   // with links resolved
  std::vector<std::string> roots_;          // folders textures may come from, links resolved
  std::string threeReal_;                   // the three package, links resolved
  std::set<std::string> textures_;          // the names the PMX gives, absolute and lexical
  std::set<std::string> absoluteTextures_;  // the names that were absolute already
  int port_ = 0;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pmxapp
