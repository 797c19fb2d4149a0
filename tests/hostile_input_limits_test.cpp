// Inputs made to exhaust the program: too little memory, threads that cannot start, files
// that keep the import library busy, and text meant to flood or garble the messages. Each ends
// in one clear message and a plain exit code, never an abort.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "message_text.h"
#include "model_import.h"
#include "scene_file.h"
#include "support/plugin_env.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PMX_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PMX_TEST_SANITIZED 1
#endif
#endif
#ifndef PMX_TEST_SANITIZED
#define PMX_TEST_SANITIZED 0
#endif

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int code = -1;  // exit code; 128 + N for signal N
  std::string out, err;
  double seconds = 0;
};

std::string Q(const std::string& s) { return "'" + s + "'"; }

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

/// Runs pmxexport with `args` after the shell commands `limits` ("ulimit -v 300000; ...").
Outcome App(const std::string& args, const std::string& limits = "") {
  const std::string out = TempPath("limits_stdout.txt"), err = TempPath("limits_stderr.txt");
  const std::string cmd = "(" + limits + (limits.empty() ? "" : "; ") + "exec " + Q(PMX_APP) + " " +
                          args + ") >" + Q(out) + " 2>" + Q(err);
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(cmd.c_str());
  Outcome r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = Read(out);
  r.err = Read(err);
  return r;
}

size_t Lines(const std::string& s) {
  size_t n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

/// A quad grid of `n` x `n` points with a weight tag over two joints: a scene file of some
/// megabytes whose loading and export need far more memory than its text.
std::string GridScene(int n) {
  std::string s = R"({"objects": [{"type": "joint", "name": "A"}, {"type": "joint", "name": "B"},
    {"type": "polygon", "name": "Grid", "points": [)";
  for (int i = 0; i < n * n; ++i)
    s += (i ? "," : "") + std::string("[") + std::to_string(i % n) + ".5," + std::to_string(i / n) +
         ",0]";
  s += "], \"polygons\": [";
  bool first = true;
  for (int y = 0; y + 1 < n; ++y)
    for (int x = 0; x + 1 < n; ++x) {
      const int i = y * n + x;
      s += (first ? "[" : ",[") + std::to_string(i) + "," + std::to_string(i + 1) + "," +
           std::to_string(i + n + 1) + "," + std::to_string(i + n) + "]";
      first = false;
    }
  s += "], \"tags\": [{\"type\": \"weights\", \"joints\": [\"A\", \"B\"], \"weights\": [[";
  for (int i = 0; i < n * n; ++i) s += (i ? ",1" : "1");
  s += "], [";
  for (int i = 0; i < n * n; ++i) s += (i ? ",0" : "0");
  s += "]], \"active\": true}]}]}";
  return s;
}

// ---------------------------------------------------------------------------------------------
// Memory and threads

TEST(HostileLimits, RunningOutOfMemoryAnywhereGivesOneMessage) {
  if (PMX_TEST_SANITIZED) GTEST_SKIP() << "sanitizers reserve more address space than any limit";
  const std::string scene = TempPath("oom_grid.json");
  Write(scene, GridScene(500));
  // An OBJ of the same grid for the import library (read in a child first, then in-process).
  const std::string obj = TempPath("oom_grid.obj");
  {
    std::ofstream o(obj);
    const int n = 400;
    for (int i = 0; i < n * n; ++i) o << "v " << i % n << " " << i / n << " 0\n";
    for (int y = 0; y + 1 < n; ++y)
      for (int x = 0; x + 1 < n; ++x) {
        const int i = y * n + x + 1;
        o << "f " << i << " " << i + 1 << " " << i + n + 1 << " " << i + n << "\n";
      }
  }
  const std::string out = TempPath("oom_out.pmx");
  const std::string exportScene = "export " + Q(scene) + " -o " + Q(out);
  const std::string exportModel = "export " + Q(obj) + " -o " + Q(out);
  const std::string transfer = "transfer-weights " + Q(scene) + " -o " + Q(out + ".json");
  // Limits (MB of address space) from too little to load the text to enough for everything,
  // so that the shortage strikes in every stage: reading, parsing, building the document,
  // importing, converting, writing.
  const int limits[] = {80, 110, 140, 200, 350, 700};
  bool sawShortage = false, sawSuccess = false;
  for (const std::string& args : {exportScene, exportModel, transfer}) {
    for (int mb : limits) {
      const Outcome r = App(args, "ulimit -v " + std::to_string(mb * 1024));
      SCOPED_TRACE(args + " under " + std::to_string(mb) + " MB: exit " + std::to_string(r.code) +
                   "\n" + r.err);
      if (r.code == 127) continue;  // too little to load the program's libraries at all
      ASSERT_TRUE(r.code == 0 || r.code == 1);
      if (r.code == 0) {
        sawSuccess = true;
        continue;
      }
      sawShortage = true;
      // The progress line of a long transfer may come first; the last line says why.
      EXPECT_NE(r.err.find("not enough memory"), std::string::npos);
      EXPECT_EQ(r.err.find("terminate"), std::string::npos);
    }
  }
  EXPECT_TRUE(sawShortage);
  EXPECT_TRUE(sawSuccess);
}

TEST(HostileLimits, WeightTransferWithoutThreadsIsReportedNotFatal) {
  if (PMX_TEST_SANITIZED) GTEST_SKIP() << "sanitizers reserve more address space than any limit";
  const std::string scene = TempPath("nothreads.json");
  Write(scene, GridScene(8));
  // Every new thread asks for a stack as large as the stack limit, which the address-space
  // limit cannot hold: no thread can start, the program's own thread runs on.
  const std::string noThreads = "ulimit -v 1500000; ulimit -s 1600000";
  for (const char* threads : {"", " --threads 0", " --threads 2"}) {
    const Outcome r =
        App("transfer-weights " + Q(scene) + " -o " + Q(TempPath("nothreads_out.json")) + threads,
            noThreads);
    SCOPED_TRACE(std::string(threads) + ": exit " + std::to_string(r.code) + "\n" + r.out + r.err);
    EXPECT_TRUE(r.code == 0 || r.code == 1);
    EXPECT_NE(r.err.find("cannot start a thread"), std::string::npos);
  }
}

// ---------------------------------------------------------------------------------------------
// Time

TEST(HostileLimits, ImportTimeGrowsWithTheFileSize) {
  const struct {
    unsigned long long bytes;
    int seconds;
  } cases[] = {{0, 5},
               {44, 5},
               {1 << 20, 9},
               {(1 << 20) + 1, 9},
               {3 << 19, 11},
               {100ull << 20, 405},
               {1ull << 40, 3600}};
  for (const auto& c : cases) EXPECT_EQ(pmxapp::ImportTimeLimit(c.bytes), c.seconds) << c.bytes;
}

TEST(HostileLimits, ALibraryKeptBusyIsStoppedInSeconds) {
  // A PLY header whose comment never ends keeps the import library reading forever.
  const std::string ply = TempPath("busy.ply");
  Write(ply, "ply\nformat binary_little_endian 1.0\ncomment ");
  const std::string out = TempPath("busy.pmx");
  const struct {
    const char* option;
    const char* says;
    double most;
  } cases[] = {{"", "within 5 seconds", 30}, {" --import-timeout 1", "within 1 second", 20}};
  for (const auto& c : cases) {
    const Outcome r = App("export " + Q(ply) + " -o " + Q(out) + c.option);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_LT(r.seconds, c.most);
    EXPECT_FALSE(fs::exists(out));
  }
  for (const char* bad : {"0", "abc", "1.5", "-3", "''", "100000"}) {
    for (const char* command : {"export", "restrict-weights", "transfer-weights"}) {
      const Outcome r =
          App(std::string(command) + " " + Q(ply) + " -o " + Q(out) + " --import-timeout " + bad);
      EXPECT_EQ(r.code, 2) << command << " " << bad << ": " << r.err;
      EXPECT_NE(r.err.find("--import-timeout needs a whole number"), std::string::npos) << r.err;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Messages

TEST(HostileLimits, EchoedTextIsCutAndEscaped) {
  using pmxapp::EscapeForMessage;
  using pmxapp::QuoteForMessage;
  const struct {
    std::string in, escaped;
  } escapes[] = {
      {"plain", "plain"},
      {"\xC3\xA9\xE4\xB8\x8A", "\xC3\xA9\xE4\xB8\x8A"},  // é 上
      {"a\xFFz", "a\\xFFz"},                             // never valid
      {"\xC0\xAF", "\\xC0\\xAF"},                        // overlong '/'
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},               // a surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},      // above U+10FFFF
      {"\xE4\xB8", "\\xE4\\xB8"},                        // cut short
      {"x\n\t\r\x1B[2J", "x\\n\\t\\r\\x1B[2J"},          // a terminal escape
  };
  for (const auto& e : escapes) EXPECT_EQ(EscapeForMessage(e.in), e.escaped) << e.in;
  EXPECT_EQ(QuoteForMessage("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(QuoteForMessage("\xE4\xB8\x8A\xE4\xB8\x8A\xE4\xB8\x8A", 2),
            "\"\xE4\xB8\x8A\xE4\xB8\x8A...\"");
  const std::string huge(10 << 20, 'k');
  EXPECT_EQ(QuoteForMessage(huge), "\"" + std::string(pmxapp::kEchoChars, 'k') + "...\"");
  const std::string shortened = pmxapp::ShortenForMessage("start " + huge + " end");
  EXPECT_LE(shortened.size(), pmxapp::kMessageBytes + 10);
  EXPECT_EQ(shortened.rfind("start ", 0), 0u);
  EXPECT_EQ(shortened.substr(shortened.size() - 4), " end");
}

TEST(HostileLimits, SceneMessagesNeverEchoWholeOrRawInput) {
  EnsurePluginsRegistered();
  const std::string huge(10 << 20, 'k');
  const struct {
    std::string text;
    std::string says;
  } cases[] = {
      {"{\"" + huge + "\": 1}", "scene.json: unknown key \"kkkk"},
      {"{\"objects\": [{\"type\": \"null\", \"params\": {\"" + huge + "\": 1}}]}",
       "a parameter id must be a whole number"},
      {"{\"objects\": [{\"type\": \"" + huge + "\"}]}", "objects[0]"},
      {"{\"objects\": [{\"type\": \"null\", \"name\": \"" + huge + "\x01\"}]}", "not valid JSON"},
      {"{\"bad\xFF\xFE\": 1}", "\\xFF"},
      {"{\"objects\": [{\"type\": \"pmx\xC3\"}]}", "\\xC3"},
      {std::string(5000, '['), "nest deeper than 2048 levels"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(pmxapp::LoadSceneText(c.text, "scene.json", &error), nullptr);
    SCOPED_TRACE(error.substr(0, 400));
    EXPECT_LT(error.size(), 400u);
    EXPECT_NE(error.find(c.says), std::string::npos);
    EXPECT_EQ(pmxapp::EscapeForMessage(error), error) << "raw bytes or control characters";
  }
}

TEST(HostileLimits, DuplicateKeysNameBothPlaces) {
  EnsurePluginsRegistered();
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"{\"scene\": 1,\n \"scene\": 1}",
       "scene.json:2:2: the key \"scene\" is given twice in one object (first at line 1, column "
       "2); give it once"},
      {"{\"objects\": [{\"type\": \"null\"},\n  {\"name\": \"A\", \"type\": \"null\", \"name\": "
       "\"B\"}]}",
       "scene.json:2:33: objects[1]: the key \"name\" is given twice in one object (first at "
       "line 2, column 4); give it once"},
      {"{\"objects\": [{\"type\": \"null\", \"params\": {\"1000\": 1, /* \"x\" */ \"1000\": 2}}]}",
       "scene.json:1:63: objects[0].params: the key \"1000\" is given twice in one object (first "
       "at line 1, column 42); give it once"},
      {"{\"a\\\"b\": 1, \"a\\\"b\": 2}",
       "scene.json:1:13: the key \"a\\\"b\" is given twice in one object (first at line 1, column "
       "2); give it once"},
      // The key given twice is named, not the mistake the loader meets first.
      {"{\"objects\": [{\"type\": \"nosuchtype\"}],\n \"objects\": []}",
       "scene.json:2:2: the key \"objects\" is given twice in one object (first at line 1, column "
       "2); give it once"},
  };
  // Large texts are searched for keys given twice while they load, and a large file is read
  // again after its pages were dropped: the same messages.
  const std::string path = TempPath("scene.json");
  for (const size_t size : {0, 9 << 20}) {
    for (const auto& c : cases) {
      std::string text = c.text;
      while (text.size() < size) text += " \n" + std::string(4096, ' ');
      std::string error;
      EXPECT_EQ(pmxapp::LoadSceneText(text, "scene.json", &error), nullptr) << c.text;
      EXPECT_EQ(error, c.error);
      if (size == 0) continue;
      Write(path, text);
      EXPECT_EQ(pmxapp::LoadSceneFile(path, &error), nullptr) << c.text;
      EXPECT_EQ(error, path.substr(0, path.size() - 10) + c.error);
    }
  }
  // The same key in different objects is fine.
  std::string error;
  EXPECT_NE(pmxapp::LoadSceneText(
                R"({"objects": [{"type": "null", "name": "A"}, {"type": "null", "name": "A"}]})",
                "scene.json", &error),
            nullptr)
      << error;
}

TEST(HostileLimits, TheProgramPrintsOneShortLine) {
  const std::string huge(10 << 20, 'k');
  const struct {
    std::string file, text;
  } cases[] = {
      {"huge_key.json", "{\"" + huge + "\": 1}"},
      {"raw_bytes.json", "{\"objects\": [{\"type\": \"\xFF\x1B[2J\"}]}"},
      {"dup.json", "{\"objects\": [], \"objects\": []}"},
  };
  for (const auto& c : cases) {
    const std::string path = TempPath(c.file);
    Write(path, c.text);
    const Outcome r = App("export " + Q(path) + " -o " + Q(TempPath("short.pmx")));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(Lines(r.err), 1u) << r.err.substr(0, 300);
    EXPECT_LT(r.err.size(), 600u);
    EXPECT_EQ(pmxapp::EscapeForMessage(r.err, true), r.err);
  }
}

}  // namespace
