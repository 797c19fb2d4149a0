// pmxexport restrict-weights and transfer-weights: the weight tools run on scene files from
// the command line, with both searches writing the same file.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "support/plugin_env.h"
#include "support/run_app.h"

namespace {

std::string Write(const std::string& name, const std::string& text) {
  const std::string path = TempPath(name);
  std::ofstream(path) << text;
  return path;
}

std::string Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

/// The weights (per joint, per point) of the first weight tag of object `name`.
nlohmann::json WeightsOf(const std::string& scenePath, const std::string& name) {
  const nlohmann::json scene = nlohmann::json::parse(Read(scenePath));
  for (const auto& o : scene["objects"]) {
    if (o.value("name", "") != name) continue;
    for (const auto& t : o["tags"]) {
      if (t["type"] == "weights") return t["weights"];
    }
  }
  return nlohmann::json();
}

// A square source quad with one joint per corner region, and a target with a point above the
// centre, a point on corner b and a far point; the target has only J0 so far.
const char* kTransferScene = R"({
  "scene": 1,
  "objects": [
    { "type": "joint", "name": "J0" },
    { "type": "joint", "name": "J1" },
    { "type": "polygon", "name": "Source",
      "points": [[0,0,0], [1,0,0], [1,0,1], [0,0,1]],
      "polygons": [[0, 1, 2, 3]],
      "tags": [ { "type": "weights", "joints": ["J0", "J1"], "weights": [[1, 0, 0, 0], [0, 1, 1, 1]] } ] },
    { "type": "polygon", "name": "Target",
      "points": [[0.5, 0.3, 0.5], [1, 0, 0], [3, 0, 3]],
      "polygons": [[0, 1, 2]],
      "tags": [ { "type": "weights", "joints": ["J0"], "weights": [[0.5, 0.5, 0.5]] } ] }
  ]
})";

TEST(WeightToolsApp, TransferWritesTheSameSceneWithBothSearches) {
  const std::string scene = Write("transfer.json", kTransferScene);
  const std::string indexed = TempPath("indexed.json"), exhaustive = TempPath("exhaustive.json");
  const std::string common =
      Q(scene) + " --source Source --target Target --add-missing-joints --no-normalize";
  const AppRun a = RunApp("transfer-weights " + common + " -o " + Q(indexed) + " --threads 0");
  ASSERT_EQ(a.code, 0) << a.err;
  EXPECT_NE(a.out.find("ウェイト転送：シングルスレッドで実行します。\n"), std::string::npos)
      << a.out;
  EXPECT_NE(
      a.out.find(
          "changed the weights of 3 of 3 points of \"Target\" (indexed search, a single thread)"),
      std::string::npos)
      << a.out;
  const AppRun b = RunApp("transfer-weights " + common + " -o " + Q(exhaustive) +
                          " --search exhaustive --threads 2");
  ASSERT_EQ(b.code, 0) << b.err;
  EXPECT_EQ(Read(indexed), Read(exhaustive));

  const nlohmann::json w = WeightsOf(indexed, "Target");
  ASSERT_EQ(w.size(), 2u);  // J1 was added and received weights in the same run
  EXPECT_EQ(w[0][0], 0.25);
  EXPECT_EQ(w[1][0], 0.75);
  EXPECT_EQ(w[0][1], 0.0);  // corner b
  EXPECT_EQ(w[1][1], 1.0);
}

TEST(WeightToolsApp, TransferExplainsWhyItCannotRun) {
  const std::string scene = Write("transfer.json", kTransferScene);
  const std::string out = TempPath("out.json");
  // No --source and no active tag in the scene.
  AppRun r = RunApp("transfer-weights " + Q(scene) + " -o " + Q(out));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no source"), std::string::npos) << r.err;
  r = RunApp("transfer-weights " + Q(scene) + " -o " + Q(out) + " --source J0 --target Target");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("not a polygon object"), std::string::npos) << r.err;
  r = RunApp("transfer-weights " + Q(scene) + " -o " + Q(out) +
             " --source Source --target Target --source-selection Nope");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no point or polygon selection tag \"Nope\""), std::string::npos) << r.err;
  for (const char* bad : {"--write-mode sometimes", "--search fast", "--threads -1",
                          "--source-part some", "--source-part all --source-selection S"}) {
    r = RunApp("transfer-weights " + Q(scene) + " -o " + Q(out) +
               " --source Source --target Target " + bad);
    EXPECT_EQ(r.code, 2) << bad;
  }
}

TEST(WeightToolsApp, RestrictLimitsTheSelectedMeshes) {
  const std::string scene = Write("restrict.json", R"({
  "scene": 1,
  "objects": [
    { "type": "joint", "name": "J0" }, { "type": "joint", "name": "J1" },
    { "type": "joint", "name": "J2" }, { "type": "joint", "name": "J3" },
    { "type": "joint", "name": "J4" },
    { "type": "polygon", "name": "Chosen", "selected": true,
      "points": [[0,0,0], [1,0,0], [0,0,1]], "polygons": [[0, 1, 2]],
      "tags": [ { "type": "weights", "joints": ["J0", "J1", "J2", "J3", "J4"],
                  "weights": [[0.4, 1, 0.25], [0.3, 0, 0.25], [0.1, 0, 0.25], [0.1, 0, 0.25], [0.1, 0, 0]] } ] },
    { "type": "polygon", "name": "Other",
      "points": [[0,0,0], [1,0,0], [0,0,1]], "polygons": [[0, 1, 2]],
      "tags": [ { "type": "weights", "joints": ["J0", "J1", "J2", "J3", "J4"],
                  "weights": [[0.2, 0, 0], [0.2, 0, 0], [0.2, 0, 0], [0.2, 0, 0], [0.2, 0, 0]] } ] }
  ]
})");
  const std::string out = TempPath("restricted.json");
  AppRun r = RunApp("restrict-weights " + Q(scene) + " -o " + Q(out));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("restricted 1 point of 1 object to four influences"), std::string::npos)
      << r.out;
  nlohmann::json w = WeightsOf(out, "Chosen");
  int zeros = 0;
  double sum = 0;
  for (size_t j = 0; j < 5; ++j) {
    zeros += w[j][0] == 0.0;
    sum += w[j][0].get<double>();
  }
  EXPECT_EQ(zeros, 1);
  EXPECT_NEAR(sum, 1.0, 1e-15);
  EXPECT_EQ(w[0][2], 0.25);  // four influences: left as they were
  EXPECT_EQ(WeightsOf(out, "Other")[4][0], 0.2);

  // --object chooses instead of the scene's selection.
  r = RunApp("restrict-weights " + Q(scene) + " -o " + Q(out) + " --object Other");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(WeightsOf(out, "Chosen")[4][0], 0.1);
  w = WeightsOf(out, "Other");
  zeros = 0;
  for (size_t j = 0; j < 5; ++j) zeros += w[j][0] == 0.0;
  EXPECT_EQ(zeros, 1);

  r = RunApp("restrict-weights " + Q(scene) + " -o " + Q(out) + " --object Nobody");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no object \"Nobody\""), std::string::npos) << r.err;
}

}  // namespace
