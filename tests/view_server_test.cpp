// `pmxexport view` shows models that come from strangers: it must not hand out files beyond
// the model's folder, answer pages that reached it under a foreign host name, or let one
// client keep the others waiting. Each attack is tried against a server on an ephemeral port
// through a small HTTP client on raw sockets.
#include "view_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/plugin_env.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPng("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);

void Write(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

void Le32(std::string* out, uint32_t v) {
  for (int k = 0; k < 4; ++k) out->push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

/// A UTF-8 PMX with no geometry that names `textures`, padded with `padding` trailing bytes
/// (readers ignore them) to make a large download.
std::string Pmx(const std::vector<std::string>& textures, size_t padding = 0) {
  std::string p = "PMX ";
  p += std::string("\x00\x00\x00\x40", 4);  // 2.0f
  p += std::string("\x08\x01\x00\x01\x01\x01\x01\x01\x01", 9);
  for (int k = 0; k < 4; ++k) Le32(&p, 0);  // names and comments
  Le32(&p, 0);                              // vertices
  Le32(&p, 0);                              // face indices
  Le32(&p, static_cast<uint32_t>(textures.size()));
  for (const std::string& t : textures) {
    Le32(&p, static_cast<uint32_t>(t.size()));
    p += t;
  }
  return p + std::string(padding, '\0');
}

struct Reply {
  int status = -1;  // -1: no answer (closed, refused or timed out)
  std::string head, body;
};

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

/// Sends `request` as it is and reads the answer until the server closes.
Reply Exchange(int port, const std::string& request, int timeoutMs = 5000) {
  Reply r;
  const int fd = Connect(port);
  if (fd < 0) return r;
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string all;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[65536];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  const size_t split = all.find("\r\n\r\n");
  if (all.rfind("HTTP/1.1 ", 0) != 0 || split == std::string::npos) return r;
  r.status = std::stoi(all.substr(9, 3));
  r.head = all.substr(0, split);
  r.body = all.substr(split + 4);
  return r;
}

Reply Get(int port, const std::string& path, const std::string& host = "127.0.0.1") {
  return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
}

/// A model folder with a link out of it, a stranger's secret beside it, non-images and a
/// page inside it, and a shared texture folder the user may name.
class ViewServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::path(TempPath("view_server"));
    const fs::path model = base_ / "model";
    Write(base_ / "page.html", "<!DOCTYPE html><title>viewer</title>");
    Write(base_ / "three/build/three.module.js", "export const REVISION = '171';");
    Write(base_ / "three/examples/jsm/loaders/MMDLoader.js", "export class MMDLoader {}");
    Write(base_ / "three/package.json", "{}");
    Write(base_ / "outside/secret.png", kPng + "secret");
    Write(base_ / "shared/tex.png", kPng);
    Write(model / "skin.png", kPng);
    Write(model / "absolute.png", kPng);
    Write(model / "sub/toon.bmp", std::string("BM\0\0\0\0\0\0\0\0\0\0\0\0\x28\0\0\0", 18));
    Write(model / "notes.txt", "not an image");
    Write(model / "fake.png", "<script>alert(1)</script>");
    Write(model / "readme.html", "<script>fetch('/fs/etc/passwd')</script>");
    fs::create_directory_symlink("../outside", model / "linkdir");
    fs::create_symlink("../outside/secret.png", model / "escape.png");
    textures_ = {"skin.png",          "sub\\toon.bmp",
                 "notes.txt",         "fake.png",
                 "readme.html",       "/etc/passwd",
                 "escape.png",        "linkdir/secret.png",
                 "../shared/tex.png", (model / "absolute.png").lexically_normal().string()};
    Write(model / "m.pmx", Pmx(textures_, padding_));
    modelDir_ = "/fs" + model.lexically_normal().string();
  }

  void TearDown() override {
    Stop();
    std::error_code ec;
    fs::remove_all(base_, ec);
  }

  void Serve(std::vector<std::string> textureRoots = {}) {
    pmxapp::ViewServerOptions o;
    o.modelPath = (base_ / "model/m.pmx").string();
    o.pagePath = (base_ / "page.html").string();
    o.threeDir = (base_ / "three").string();
    o.textureRoots = std::move(textureRoots);
    o.api = api_;
    o.maxConnections = 8;
    o.requestHeadMs = 1500;
    o.exchangeMs = 3000;
    std::string error;
    ASSERT_TRUE(server_.Start(o, &error)) << error;
    thread_ = std::thread([this] { server_.Serve(stop_); });
  }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  fs::path base_;
  std::vector<std::string> textures_;
  size_t padding_ = 0;
  std::string modelDir_;
  pmxapp::ViewApi* api_ = nullptr;
  pmxapp::ViewServer server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(ViewServerTest, ServesOnlyThePageScriptsModelAndTheImagesItNamesInsideItsFolder) {
  Serve();
  const int port = server_.Port();
  struct Case {
    const char* what;
    std::string path;
    int status;
  };
  const Case cases[] = {
      {"the page", "/", 200},
      {"three.js", "/three/build/three.module.js", 200},
      {"the loader", "/three/examples/jsm/loaders/MMDLoader.js", 200},
      {"a non-script in the three package", "/three/package.json", 404},
      {"climbing out of the three package", "/three/../page.html", 404},
      {"the model", modelDir_ + "/m.pmx", 200},
      {"a named image", modelDir_ + "/skin.png", 200},
      {"a named image in a sub-folder, named with a backslash", modelDir_ + "/sub/toon.bmp", 200},
      {"an image named by its absolute path, as the loader asks for it",
       modelDir_ + "/" + modelDir_.substr(3) + "/absolute.png", 200},
      {"a named non-image in the folder", modelDir_ + "/notes.txt", 404},
      {"a named script dressed as an image", modelDir_ + "/fake.png", 404},
      {"a named page in the folder", modelDir_ + "/readme.html", 404},
      {"/etc/passwd named as a texture", "/fs/etc/passwd", 404},
      {"/etc/passwd appended to the model's folder", modelDir_ + "//etc/passwd", 404},
      {"/etc/passwd, encoded", modelDir_ + "/%2Fetc%2Fpasswd", 404},
      {"a symlinked file leaving the folder", modelDir_ + "/escape.png", 404},
      {"a file through a symlinked folder", modelDir_ + "/linkdir/secret.png", 404},
      {"a named image outside the folder without a texture root", modelDir_ + "/../shared/tex.png",
       404},
      {"an image the model does not name", modelDir_ + "/../outside/secret.png", 404},
      {"any other path", "/etc/passwd", 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Reply r = Get(port, c.path);
    EXPECT_EQ(r.status, c.status) << c.path;
    if (r.status == 200 && c.path.starts_with("/fs/")) {
      EXPECT_EQ(r.head.find("text/html"), std::string::npos) << r.head;
    }
  }
  EXPECT_EQ(Get(port, modelDir_ + "/skin.png").body, kPng);
  EXPECT_NE(Get(port, modelDir_ + "/skin.png").head.find("Content-Type: image/png"),
            std::string::npos);
}

TEST_F(ViewServerTest, ServesNamedImagesFromATextureRootTheUserNames) {
  Serve({(base_ / "shared").string()});
  EXPECT_EQ(Get(server_.Port(), modelDir_ + "/../shared/tex.png").status, 200);
  // The root widens where images may come from, not what counts as one.
  EXPECT_EQ(Get(server_.Port(), modelDir_ + "/notes.txt").status, 404);
  EXPECT_EQ(Get(server_.Port(), modelDir_ + "/escape.png").status, 404);
}

TEST_F(ViewServerTest, AnswersOnlyLoopbackHostNames) {
  Serve();
  const int port = server_.Port();
  const std::string p = std::to_string(port);
  struct Case {
    std::string host;
    bool answered;
  };
  const Case cases[] = {
      {"127.0.0.1", true},
      {"127.0.0.1:" + p, true},
      {"localhost", true},
      {"LocalHost:" + p, true},
      {"evil.example", false},
      {"evil.example:" + p, false},
      {"127.0.0.1.nip.io", false},
      {"localhost.evil", false},
      {"127.0.0.1:1", false},
      {"localhost:" + p + "0", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("Host: " + c.host);
    const int status = Get(port, "/", c.host).status;
    if (c.answered)
      EXPECT_EQ(status, 200);
    else
      EXPECT_TRUE(status == 403 || status == 421 || status == 400) << status;
  }
  SCOPED_TRACE("no Host header, or two");
  EXPECT_EQ(Exchange(port, "GET / HTTP/1.1\r\n\r\n").status, 400);
  EXPECT_EQ(
      Exchange(port, "GET / HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n").status,
      400);
}

TEST_F(ViewServerTest, SlowAndIdleClientsDoNotHoldUpOthers) {
  padding_ = 16 << 20;  // large enough that a client that never reads fills the socket
  Write(base_ / "model/m.pmx", Pmx(textures_, padding_));
  Serve();
  const int port = server_.Port();
  std::vector<int> held;
  // Many connections that never send a request, more than the server serves at once,
  const auto begin = Clock::now();
  for (int k = 0; k < 40; ++k) held.push_back(Connect(port));
  // one that sends its request a byte at a time, stopping half way,
  const int trickle = Connect(port);
  for (const char c : std::string("GET / HT")) send(trickle, &c, 1, MSG_NOSIGNAL);
  // and one that asks for the large model and never reads it.
  const int stuck = Connect(port);
  const std::string ask = "GET " + modelDir_ + "/m.pmx HTTP/1.1\r\nHost: localhost\r\n\r\n";
  send(stuck, ask.data(), ask.size(), MSG_NOSIGNAL);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const auto asked = Clock::now();
  EXPECT_EQ(Get(port, "/").status, 200);
  EXPECT_EQ(Get(port, modelDir_ + "/skin.png").status, 200);
  EXPECT_LT(Clock::now() - asked, std::chrono::milliseconds(1000));

  // Past their deadlines all of them have been dropped.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500) - (Clock::now() - begin));
  held.push_back(trickle);
  held.push_back(stuck);
  for (const int fd : held) {
    char buf[65536];
    ssize_t n;
    do {
      pollfd p{fd, POLLIN, 0};
      n = poll(&p, 1, 2000) > 0 ? recv(fd, buf, sizeof buf, 0) : -2;
    } while (n > 0);
    EXPECT_NE(n, -2) << "a connection was kept open past its deadline";
    close(fd);
  }
}

/// A live scene's API that only counts what reaches it.
class CountingApi : public pmxapp::ViewApi {
 public:
  pmxapp::ViewReply Get(const std::string& path) override {
    pmxapp::ViewReply r;
    r.body = "{\"path\": \"" + path + "\"}";
    return r;
  }
  pmxapp::ViewReply Post(const std::string&, const std::string& body) override {
    ++posts;
    pmxapp::ViewReply r;
    r.body = body;
    return r;
  }
  std::atomic<int> posts{0};
};

TEST_F(ViewServerTest, TheApiTakesChangesOnlyFromItsOwnPageAndOutlivesBrokenClients) {
  CountingApi api;
  api_ = &api;
  Serve();
  const int port = server_.Port();
  const std::string ours = "http://127.0.0.1:" + std::to_string(port);
  const std::string body = "{\"do\": \"undo\"}";
  auto post = [&](const std::string& origin, const std::string& type) {
    std::string head = "POST /api/action HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    if (!origin.empty()) head += "Origin: " + origin + "\r\n";
    if (!type.empty()) head += "Content-Type: " + type + "\r\n";
    return Exchange(port, head + "\r\n" + body);
  };
  struct Case {
    const char* what;
    std::string origin, type;
    int status;
  };
  const Case cases[] = {
      {"the page's own request", ours, "application/json", 200},
      {"another site's page", "http://evil.example", "application/json", 403},
      {"a rebound name with our port", "http://evil.example:" + std::to_string(port),
       "application/json", 403},
      {"no origin", "", "application/json", 403},
      {"a form another page may send unasked", ours, "text/plain", 403},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(post(c.origin, c.type).status, c.status);
  }
  EXPECT_EQ(api.posts, 1);
  EXPECT_EQ(Get(port, "/api/state").status, 200);
  // A live scene serves no files of its own besides the page and three.js.
  EXPECT_EQ(Get(port, modelDir_ + "/skin.png").status, 404);
  EXPECT_EQ(Get(port, "/three/build/three.module.js").status, 200);

  // Garbage, and a client that leaves half way through its request body, change nothing
  // and keep nobody else waiting.
  const char garbage[] = "\x16\x03\x01\x02\x00\x01\0\xff garbage\r\n\r\n";
  Exchange(port, std::string(garbage, sizeof garbage - 1), 1000);
  Exchange(port, "GET /%00 HTTP/1.1\r\nHost: localhost\r\n\r\n", 1000);
  const int leaver = Connect(port);
  const std::string partial =
      "POST /api/action HTTP/1.1\r\nHost: localhost\r\nOrigin: " + ours +
      "\r\nContent-Type: application/json\r\nContent-Length: 500\r\n\r\n{\"do\":";
  send(leaver, partial.data(), partial.size(), MSG_NOSIGNAL);
  close(leaver);
  EXPECT_EQ(Get(port, "/").status, 200);
  EXPECT_EQ(post(ours, "application/json").status, 200);
  EXPECT_EQ(api.posts, 2);
}

TEST(ViewServerImages, RecognisesImagesByTheirFirstBytes) {
  struct Case {
    std::string head;
    const char* kind;
  };
  std::string tga(18, '\0');
  tga[2] = 2, tga[12] = 4, tga[14] = 4, tga[16] = 32;
  const Case cases[] = {
      {kPng, "png"},
      {std::string("\xFF\xD8\xFF\xE0", 4), "jpeg"},
      {"GIF89a\x01\x00", "gif"},
      {std::string("BM\0\0\0\0\0\0\0\0\0\0\0\0\x7C\0\0\0", 18), "bmp"},
      {std::string("DDS \x7C\0\0\0", 8), "dds"},
      {tga, "tga"},
      {"root:x:0:0:root:/root:/bin/bash\n", ""},
      {"<!DOCTYPE html><html>", ""},
      {"BMW is a car, not a bitmap", ""},
      {"PMX ", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(pmxapp::ImageKind(c.head), c.kind) << c.head;
}

}  // namespace
