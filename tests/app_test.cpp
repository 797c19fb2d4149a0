// The pmxexport program as a person runs it: the built binary, its exit codes, what it prints
// and the files it leaves behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "support/mmd_parser.h"
#include "support/plugin_env.h"

namespace {

namespace fs = std::filesystem;

struct AppRun {
  int exitCode = -1;
  std::string out, err;
};

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

AppRun App(const std::string& args) {
  const std::string out = TempPath("stdout.txt"), err = TempPath("stderr.txt");
  const std::string cmd = Q(PMX_APP) + " " + args + " >" + Q(out) + " 2>" + Q(err);
  const int status = std::system(cmd.c_str());
  AppRun r;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = Read(out);
  r.err = Read(err);
  return r;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

const char* kQuadScene = R"({
  "scene": 1,
  "materials": [{"name": "Mat", "color": {"on": true, "color": [1, 0, 0], "brightness": 1}}],
  "objects": [
    {"type": "joint", "name": "Root", "pos": [0, 0, 0],
     "children": [{"type": "joint", "name": "Tip", "pos": [0, 100, 0]}]},
    {"type": "polygon", "name": "Quad",
     "points": [[0, 0, 0], [100, 0, 0], [100, 100, 0], [0, 100, 0]],
     "polygons": [[0, 1, 2, 3]],
     "tags": [{"type": "texture", "material": "Mat"},
              {"type": "weights", "joints": ["Root"], "weights": [[1, 1, 1, 1]]}]}
  ]
})";

TEST(App, HelpOnEveryCommandAndUsageMistakes) {
  AppRun top = App("--help");
  EXPECT_EQ(top.exitCode, 0);
  for (const char* c : {"export", "demo", "scene-dump"}) {
    EXPECT_TRUE(Contains(top.out, std::string("  ") + c + " ")) << top.out;
    AppRun help = App(std::string(c) + " --help");
    EXPECT_EQ(help.exitCode, 0) << c;
    EXPECT_EQ(help.out.rfind(std::string("Usage: pmxexport ") + c, 0), 0u) << help.out;
    EXPECT_TRUE(help.err.empty()) << help.err;
  }
  EXPECT_TRUE(Contains(App("export -h").out, "--texture-folder DIR"));

  EXPECT_EQ(App("").exitCode, 2);
  AppRun unknown = App("frobnicate");
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_EQ(unknown.err, "pmxexport: unknown command 'frobnicate'\nTry 'pmxexport --help'.\n");
  AppRun option = App("export in.json -o out.pmx --bogus");
  EXPECT_EQ(option.exitCode, 2);
  EXPECT_EQ(option.err,
            "pmxexport export: unknown option --bogus\nTry 'pmxexport export --help'.\n");
  EXPECT_EQ(App("export in.json").err,
            "pmxexport export: missing -o OUTPUT.pmx\nTry 'pmxexport export --help'.\n");
  EXPECT_EQ(App("export -o out.pmx").exitCode, 2);
  AppRun unit = App("export in.json -o out.pmx --unit 0cm");
  EXPECT_EQ(unit.exitCode, 2);
  EXPECT_TRUE(Contains(unit.err, "--unit expects a positive length such as 8cm or 1m, not '0cm'"));
  EXPECT_EQ(App("export in.json -o out.pmx --unit=3furlongs").exitCode, 2);
  EXPECT_EQ(App("demo -o").exitCode, 2);
}

TEST(App, DemoWritesAModelThatMmdParserReads) {
  const std::string dir = TempPath("demo");
  fs::create_directories(dir);
  const std::string pmx = dir + "/デモ.pmx";
  AppRun r = App("demo -o " + Q(pmx) + " --scene-out " + Q(dir + "/demo.json"));
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  // The saver's console lines, as the host shows them.
  EXPECT_EQ(r.out.rfind("PMX出力を開始...\n", 0), 0u) << r.out;
  EXPECT_TRUE(Contains(r.out, "PMX出力を完了しました。")) << r.out;

  nlohmann::json model = ParsePmxWithMmdParser(pmx);
  const auto& meta = model["metadata"];
  EXPECT_GT(meta["vertexCount"].get<int>(), 300);
  EXPECT_GT(meta["faceCount"].get<int>(), 500);
  EXPECT_EQ(meta["boneCount"], 22);
  EXPECT_EQ(meta["textureCount"], 1);
  EXPECT_EQ(model["textures"][0], "デモ_tex.png");
  std::set<std::string> bones;
  for (const auto& b : model["bones"]) bones.insert(b["name"].get<std::string>());
  for (const char* name : {"センター", "上半身", "下半身", "頭", "左腕", "右ひざ"})
    EXPECT_TRUE(bones.count(name)) << name;

  // The texture beside the model is a PNG that an independent decoder reads.
  const std::string png = dir + "/デモ_tex.png";
  ASSERT_TRUE(fs::exists(png));
  const std::string check =
      "node -e \"const z=require('zlib'),b=require('fs').readFileSync(process.argv[1]);"
      "if(b.toString('latin1',1,4)!=='PNG')process.exit(3);let p=8,idat=[],w=0,h=0;"
      "while(p<b.length){const n=b.readUInt32BE(p),t=b.toString('latin1',p+4,p+8);"
      "if(t==='IHDR'){w=b.readUInt32BE(p+8);h=b.readUInt32BE(p+12);}"
      "if(t==='IDAT')idat.push(b.subarray(p+8,p+8+n));p+=12+n;}"
      "const raw=z.inflateSync(Buffer.concat(idat));"
      "process.exit(raw.length===(w*3+1)*h&&w===128?0:4);\" " +
      Q(png);
  EXPECT_EQ(std::system(check.c_str()), 0);

  // The scene it exported can be written out and exported again to the same bytes.
  const std::string again = dir + "/again.pmx";
  AppRun r2 = App("export " + Q(dir + "/demo.json") + " -o " + Q(again) + " --texture-folder ''");
  ASSERT_EQ(r2.exitCode, 0) << r2.err;
  EXPECT_TRUE(Read(again) == Read(pmx)) << "the exported scene file gives another model";
}

TEST(App, ExportPassesTheSaverSettings) {
  const std::string dir = TempPath("settings");
  fs::create_directories(dir);
  const std::string scene = dir + "/quad.json";
  Write(scene, kQuadScene);
  AppRun plain = App("export " + Q(scene) + " -o " + Q(dir + "/plain.pmx"));
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  AppRun options =
      App("export " + Q(scene) + " -o " + Q(dir + "/options.pmx") +
          " --unit 1m --material-name-with-object --limit-deform --texture-folder tex");
  ASSERT_EQ(options.exitCode, 0) << options.err;

  nlohmann::json a = ParsePmxWithMmdParser(dir + "/plain.pmx");
  nlohmann::json b = ParsePmxWithMmdParser(dir + "/options.pmx");
  EXPECT_EQ(a["metadata"]["vertexCount"], 4);
  EXPECT_EQ(a["metadata"]["faceCount"], 2);
  EXPECT_EQ(a["metadata"]["boneCount"], 2);
  // 100 cm: 12.5 units of 8 cm by default, 1 unit of 1 m with --unit 1m.
  auto maxX = [](const nlohmann::json& m) {
    double x = 0;
    for (const auto& v : m["vertices"]) x = std::max(x, v["position"][0].get<double>());
    return x;
  };
  EXPECT_DOUBLE_EQ(maxX(a), 12.5);
  EXPECT_DOUBLE_EQ(maxX(b), 1.0);
  EXPECT_EQ(a["materials"][0]["name"], "Mat");
  EXPECT_EQ(b["materials"][0]["name"], "Mat-Quad");
  // One influence: BDEF4 as stored by default, BDEF1 with --limit-deform.
  EXPECT_EQ(a["vertices"][0]["type"], 2);
  EXPECT_EQ(b["vertices"][0]["type"], 0);
}

TEST(App, BrokenSceneFailsClearlyAndLeavesTheOutputAlone) {
  const std::string dir = TempPath("broken");
  fs::create_directories(dir);
  const std::string broken = dir + "/broken.json";
  Write(broken, "{\n  \"objects\": [\n    {\"type\": \"null\" \"name\": \"x\"}\n  ]\n}\n");
  const std::string out = dir + "/out.pmx";

  AppRun r = App("export " + Q(broken) + " -o " + Q(out));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "pmxexport export: " + broken +
                       ":3:26: not valid JSON: unexpected string literal; expected '}'\n");
  EXPECT_FALSE(fs::exists(out));

  // An existing output file is left untouched, byte for byte.
  Write(out, "previous model");
  Write(broken, R"({"objects": [{"type": "polygon", "points": [[0, 0, 0]],
    "tags": [{"type": "weights", "joints": ["Nobody"], "weights": [[1]]}]}]})");
  r = App("export " + Q(broken) + " -o " + Q(out));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "pmxexport export: " + broken +
                       ": objects[0].tags[0].joints[0]: no object is named \"Nobody\"\n");
  EXPECT_EQ(Read(out), "previous model");

  r = App("export " + Q(dir + "/absent.json") + " -o " + Q(out));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, dir + "/absent.json: cannot open the scene file")) << r.err;
  EXPECT_EQ(Read(out), "previous model");

  // A good scene to a folder that does not exist.
  Write(broken, kQuadScene);
  r = App("export " + Q(broken) + " -o " + Q(dir + "/missing/out.pmx"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "does not exist")) << r.err;
  EXPECT_FALSE(fs::exists(dir + "/missing"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2)
      << "no temporary file is left behind";
}

TEST(App, SceneDumpWritesTheCanonicalForm) {
  const std::string dir = TempPath("dump");
  fs::create_directories(dir);
  const std::string scene = dir + "/quad.json";
  Write(scene, kQuadScene);
  AppRun toFile = App("scene-dump " + Q(scene) + " -o " + Q(dir + "/out.json"));
  ASSERT_EQ(toFile.exitCode, 0) << toFile.err;
  AppRun toStdout = App("scene-dump " + Q(dir + "/out.json"));
  ASSERT_EQ(toStdout.exitCode, 0) << toStdout.err;
  EXPECT_EQ(toStdout.out, Read(dir + "/out.json"));
  EXPECT_TRUE(
      Contains(toStdout.out, "\"points\": [[0, 0, 0], [100, 0, 0], [100, 100, 0], [0, 100, 0]]"))
      << toStdout.out;

  Write(scene, "{\"objects\": 5}");
  AppRun bad = App("scene-dump " + Q(scene) + " -o " + Q(dir + "/out.json"));
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_EQ(bad.err, "pmxexport scene-dump: " + scene +
                         ": objects: expected an array of objects, got the number 5\n");
  EXPECT_EQ(toStdout.out, Read(dir + "/out.json")) << "the failed dump left the old file";

  // A value JSON cannot express (here a NaN texture coordinate of a model file) is refused
  // alike with -o and on standard output: one line, nothing written.
  const std::string ply = dir + "/nan.ply";
  Write(ply,
        "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
        "property float z\nproperty float s\nproperty float t\nelement face 1\n"
        "property list uchar int vertex_indices\nend_header\n"
        "0 0 0 nan 0\n1 0 0 1 0\n0 1 0 0 1\n3 0 1 2\n");
  for (const bool withOutput : {true, false}) {
    AppRun r = App("scene-dump " + Q(ply) + (withOutput ? " -o " + Q(dir + "/out.json") : ""));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "pmxexport scene-dump: " + (withOutput ? dir + "/out.json" : ply) +
                         ": cannot write the scene: objects[0].tags[1]: a value is not a finite "
                         "number (NaN or infinity)\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(toStdout.out, Read(dir + "/out.json"));

  // Standard output that cannot take the text fails the command.
  const std::string err = dir + "/stderr.txt";
  Write(scene, kQuadScene);
  const int full =
      std::system((Q(PMX_APP) + " scene-dump " + Q(scene) + " >/dev/full 2>" + Q(err)).c_str());
  EXPECT_EQ(WIFEXITED(full) ? WEXITSTATUS(full) : -1, 1);
  EXPECT_EQ(Read(err),
            "pmxexport scene-dump: cannot write to standard output (No space left on device)\n");
}

}  // namespace
