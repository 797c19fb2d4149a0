// pmxexport draw, command and dialog: a scene's redraw written as JSON, a switch changing the
// next redraw, the options dialog driven headless, and the viewport keys of scene files.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "c4d.h"
#include "c4d_host.h"
#include "c4d_symbols.h"
#include "scene_file.h"
#include "support/plugin_env.h"
#include "support/run_app.h"

namespace {

std::string Write(const std::string& name, const std::string& text) {
  const std::string path = TempPath(name);
  std::ofstream(path) << text;
  return path;
}

std::string Read(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path).rdbuf();
  return s.str();
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

// A selected quad (facing away from the default camera, with a PMX edge tag in blue and an
// edge underscore tag over its edge 1) and a selected N-gon of three triangles.
const char* kScene = R"({
  "scene": 1,
  "document": {"mode": "polygons"},
  "layers": [{"name": "Shown"}],
  "objects": [
    {"type": "polygon", "name": "Quad", "selected": true, "layer": "Shown",
     "points": [[0,0,0],[1,0,0],[1,1,0],[0,1,0]], "polygons": [[0,1,2,3]],
     "tags": [{"type": "pmxedge", "params": {"1011": [0, 0, 1]}},
              {"type": "edgeselection", "indices": [1]},
              {"type": "edgeunderscore"}]},
    {"type": "polygon", "name": "Ngon", "selected": true,
     "points": [[5,0,0],[6,0,0],[7,1,0],[6,2,0],[5,2,0]],
     "polygons": [[0,1,2],[0,2,3],[0,3,4]], "ngons": [[0,1,2,3,4]], "hiddenPolygons": []},
    {"type": "camera", "name": "Cam", "pos": [0, 0, -100]}
  ],
  "views": [{"name": "Perspective", "display": "gouraud", "sceneCamera": "Cam"},
            {"name": "Wire", "display": "wire"}],
  "sceneHooks": [{"type": 1038099, "params": {"1000": true, "1100": true}}]
})";

nlohmann::json Calls(const std::string& scene, const std::string& extra = "") {
  const std::string out = TempPath("calls.json");
  AppRun r = RunApp("draw " + Q(scene) + " -o " + Q(out) + extra);
  EXPECT_EQ(r.code, 0) << r.err;
  return nlohmann::json::parse(Read(out));
}

size_t Count(const nlohmann::json& view, const std::string& call) {
  size_t n = 0;
  for (const auto& c : view["calls"]) n += c["call"] == call;
  return n;
}

TEST(TriLinesApp, DrawShowsDiagonalsNgonEdgesUnderscoresAndShells) {
  const nlohmann::json calls = Calls(Write("scene.json", kScene));
  ASSERT_EQ(calls["views"].size(), 2u);
  const auto& perspective = calls["views"][0];
  EXPECT_EQ(perspective["display"], "gouraud");
  // Diagonal, underscore, two N-gon inner edges; two shell triangles in the edge colour.
  EXPECT_EQ(Count(perspective, "DrawLine"), 4u);
  ASSERT_EQ(Count(perspective, "DrawPolygon"), 2u);
  for (const auto& c : perspective["calls"]) {
    if (c["call"] == "DrawPolygon") {
      EXPECT_EQ(c["colors"][0], nlohmann::json({0, 0, 1}));
    }
    if (c["call"] == "DrawLine" && c["zoffset"] == 4) {
      EXPECT_EQ(c["points"], nlohmann::json({{1, 0, 0}, {1, 1, 0}}));
      EXPECT_EQ(c["pen"][0], 1.0);
    }
  }
  // A wire view shows the lines but no shells.
  EXPECT_EQ(Count(calls["views"][1], "DrawPolygon"), 0u);
  EXPECT_EQ(Count(calls["views"][1], "DrawLine"), 4u);
  // --view and --set
  const nlohmann::json wire = Calls(Write("scene.json", kScene), " --view Wire --set 1000=off");
  ASSERT_EQ(wire["views"].size(), 1u);
  EXPECT_EQ(Count(wire["views"][0], "DrawLine"), 0u);
}

TEST(TriLinesApp, CommandFlipsASwitchAndTheDialogFollows) {
  const std::string scene = Write("scene.json", kScene);
  const std::string flipped = TempPath("flipped.json");
  AppRun r = RunApp("command " + Q(scene) + " --id 1038100 -o " + Q(flipped));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("state before: 0x7fffffff (enabled, checked)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("state after:  0x40000000 (enabled)"), std::string::npos) << r.out;
  EXPECT_EQ(Count(Calls(flipped)["views"][0], "DrawLine"), 0u);

  const std::string changed = TempPath("changed.json");
  r = RunApp("dialog " + Q(flipped) + " --id 1038120 --set 1000=on --set 1002=999 -o " +
             Q(changed));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("check box"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("(0 to 255, step 1)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("set 1002 (Transparency) to 255"), std::string::npos) << r.out;
  const nlohmann::json calls = Calls(changed);
  EXPECT_EQ(Count(calls["views"][0], "DrawLine"), 4u);
  for (const auto& c : calls["views"][0]["calls"])
    if (c["call"] == "DrawLine" && c["zoffset"] == 2) {
      EXPECT_EQ(c["transparency"], -255);
    }

  r = RunApp("dialog " + Q(scene) + " --id 1038120 --set 1001=red -o " + Q(changed));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot take 'red'"), std::string::npos) << r.err;
  for (const char* sub : {"draw", "command", "dialog"}) {
    r = RunApp(std::string(sub) + " --help");
    EXPECT_EQ(r.code, 0) << sub;
    EXPECT_NE(r.out.find("Usage: pmxexport " + std::string(sub)), std::string::npos) << sub;
  }
}

TEST(TriLinesApp, ViewportKeysSurviveAWriteAndARead) {
  EnsurePluginsRegistered();
  std::string error;
  std::unique_ptr<BaseDocument> doc = pmxapp::LoadSceneText(kScene, "scene.json", &error);
  ASSERT_TRUE(doc) << error;
  const std::string text = pmxapp::SceneToText(doc.get());
  std::unique_ptr<BaseDocument> again = pmxapp::LoadSceneText(text, "again.json", &error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(pmxapp::SceneToText(again.get()), text);
  auto* ngon = static_cast<PolygonObject*>(again->SearchObject(String("Ngon")));
  ASSERT_EQ(ngon->GetNgonOutlines().size(), 1u);
  EXPECT_EQ(again->GetBaseDrawCount(), 2);
  EXPECT_EQ(again->GetBaseDraw(0)->GetSceneCamera(again.get()), again->SearchObject(String("Cam")));
  EXPECT_NE(again->SearchObject(String("Quad"))->GetLayerObject(again.get()), nullptr);
  EXPECT_TRUE(again->FindSceneHook(ID_TRILINESDRAW)->GetDataInstance()->GetBool(1100));

  EXPECT_FALSE(pmxapp::LoadSceneText(R"({"objects": [{"type": "polygon", "layer": "Nope"}]})",
                                     "bad.json", &error));
  EXPECT_NE(error.find("no layer named \"Nope\""), std::string::npos) << error;
  EXPECT_FALSE(pmxapp::LoadSceneText(
      R"({"objects": [{"type": "polygon", "points": [[0,0,0]], "ngons": [[0, 0, 4]]}]})",
      "bad.json", &error));
  EXPECT_NE(error.find("ngons[0][2]"), std::string::npos) << error;
}

}  // namespace
