// The live scene page in a real browser: the demo scene opened with `pmxexport view`, driven in
// headless Chromium as a person would (tests/browser/scene_page.js), each change going through
// the plug-in's own code and showing in the next picture.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "support/mmd_parser.h"
#include "support/plugin_env.h"
#include "support/run_app.h"

namespace fs = std::filesystem;

namespace {

/// The strength parameter `id` of the object named `name` in a written scene file.
nlohmann::json FindParam(const nlohmann::json& objects, const std::string& name,
                         const std::string& id) {
  for (const auto& o : objects) {
    if (o.value("name", "") == name && o.contains("params"))
      return o["params"].value(id, nlohmann::json());
    if (o.contains("children")) {
      nlohmann::json found = FindParam(o["children"], name, id);
      if (!found.is_null()) return found;
    }
  }
  return nullptr;
}

}  // namespace

TEST(BrowserScene, TheDemoSceneShowsItsAidsMorphsAndExportsThroughThePlugin) {
  ASSERT_TRUE(fs::exists("/usr/bin/chromium")) << "scripts/install-deps.sh installs chromium";
  const std::string dir = TempPath("browser_scene");
  fs::create_directories(dir);
  const AppRun demo =
      RunApp("demo -o " + Quote(dir + "/demo.pmx") + " --scene-out " + Quote(dir + "/demo.json"));
  ASSERT_EQ(demo.code, 0) << demo.err;

  const std::string shots = std::string(PMX_BINARY_DIR) + "/browser_screenshots/scene";
  const char* env = std::getenv("PMX_NODE_MODULES");
  const std::string node = env ? env : PMX_SOURCE_DIR "/tests/js/node_modules";
  std::string out;
  const int code = Shell(
      "NODE_PATH=" + Quote(node) + " node " + Quote(PMX_SOURCE_DIR "/tests/browser/scene_page.js") +
          " --app " + Quote(PMX_APP) + " --out " + Quote(shots) + " --scene " +
          Quote(dir + "/demo.json") + " --scene-out " + Quote(dir + "/written.json") + " 2>&1",
      &out);
  ASSERT_EQ(code, 0) << out;
  const nlohmann::json report = nlohmann::json::parse(out.substr(out.find('{')));
  const nlohmann::json& s = report["steps"];
  EXPECT_TRUE(report["console"].empty()) << report["console"].dump();

  SCOPED_TRACE(s.dump());
  // Opened and drawn: the body and the morph object's mixed head, with their texture.
  EXPECT_TRUE(s["opened"]["ready"].get<bool>());
  EXPECT_EQ(s["opened"]["meshes"], 2);
  EXPECT_TRUE(s["opened"]["texturesFailed"].empty());
  // The switch draws the triangulation lines of the selected mesh in polygon mode, in their
  // colour; the dialog's check box follows the switch; switching off removes them.
  EXPECT_LT(s["linesOffBefore"].get<int>(), 5);
  EXPECT_GT(s["linesOn"]["overlay"]["lines"].get<int>(), 100);
  EXPECT_GT(s["linesOn"]["pixels"].get<int>(), 200);
  EXPECT_EQ(s["linesOn"]["switchState"], "on");
  EXPECT_TRUE(s["linesOn"]["dialogBox"].get<bool>());
  EXPECT_GT(s["edges"]["triangles"].get<int>(), 0);
  EXPECT_EQ(s["linesOff"]["overlay"]["lines"], 0);
  EXPECT_LT(s["linesOff"]["pixels"].get<int>(), 5);
  EXPECT_FALSE(s["linesOff"]["dialogBox"].get<bool>());
  // The mixer's mouth-open row changes the face and the morph object's strength; the morph
  // object's own wide-mouth slider is one undo step that undo and redo take back and forth,
  // and the mixer's row follows it.
  EXPECT_GT(s["faceChanged"].get<int>(), 200);
  EXPECT_EQ(s["objectSliderAfterMixer"], "100");
  EXPECT_GT(s["wideMouth"]["changed"].get<int>(), 200);
  EXPECT_EQ(s["wideMouth"]["mixerRow"], "100");
  EXPECT_EQ(s["afterUndo"]["value"], "0");
  EXPECT_GT(s["afterUndo"]["changed"].get<int>(), 200);
  EXPECT_EQ(s["afterRedo"]["value"], "100");

  // The written scene holds the strengths the sliders set.
  std::ifstream written(dir + "/written.json");
  ASSERT_TRUE(written) << "Save wrote no scene";
  const nlohmann::json scene = nlohmann::json::parse(written);
  EXPECT_EQ(FindParam(scene["objects"], "Expressions", "2000"), 1.0);
  EXPECT_EQ(FindParam(scene["objects"], "Expressions", "2001"), 1.0);
  // Requests for what a person cannot see or reach are refused and change nothing.
  for (const auto& [what, status] : s["refused"].items()) {
    if (what == "unchanged") continue;
    EXPECT_EQ(status, 400) << what;
  }
  EXPECT_TRUE(s["refused"]["unchanged"].get<bool>());
  // The exported download is a PMX that mmd-parser reads, with the head's expressions.
  const nlohmann::json pmx = ParsePmxWithMmdParser(s["exported"].get<std::string>());
  EXPECT_GT(pmx["metadata"]["vertexCount"].get<int>(), 0);
  EXPECT_EQ(pmx["metadata"]["morphCount"], 3);
}
