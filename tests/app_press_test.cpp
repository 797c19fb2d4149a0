// pmxexport press: buttons of objects and tags pressed in a scene file, the scene written
// back, and a press that is undone leaving the scene as it was.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "OPmxMorph.h"
#include "TPmxEdge.h"
#include "c4d.h"
#include "pmxmorph/pmxmorph.h"
#include "scene_file.h"
#include "support/mmd_parser.h"
#include "support/plugin_env.h"
#include "support/run_app.h"

namespace {

std::string Write(const std::string& name, const std::string& text) {
  const std::string path = TempPath(name);
  std::ofstream(path) << text;
  return path;
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

std::string Button(Int32 id) { return " --button " + std::to_string(id); }

// A face: base, one target two units further along z at half strength, and two targets
// named alike under a second morph object.
const char* kFace = R"({
  "scene": 1,
  "objects": [
    { "type": "pmxmorph", "name": "Face", "params": { "2000": 0.5 },
      "children": [
        { "type": "polygon", "name": "base",
          "points": [[0,0,0],[1,0,0],[1,1,0],[0,1,0]], "polygons": [[0,1,2,3]],
          "tags": [ { "type": "pmxedge" } ] },
        { "type": "polygon", "name": "あ",
          "points": [[0,0,2],[1,0,2],[1,1,2],[0,1,2]], "polygons": [[0,1,2,3]] } ] },
    { "type": "pmxmorph", "name": "Brow",
      "children": [
        { "type": "polygon", "name": "brow",
          "points": [[0,3,0],[1,3,0],[1,4,0]], "polygons": [[0,1,2]] },
        { "type": "polygon", "name": "あ",
          "points": [[0,3,1],[1,3,1],[1,4,1]], "polygons": [[0,1,2]] } ] }
  ]
})";

std::vector<Vector> PointsOf(BaseObject* op) {
  auto* poly = static_cast<PolygonObject*>(op);
  return std::vector<Vector>(poly->GetPointR(), poly->GetPointR() + poly->GetPointCount());
}

TEST(AppPress, MorphButtonsChangeTheSceneAndUndoPutsItBack) {
  EnsurePluginsRegistered();
  const std::string scene = Write("face.json", kFace);
  const std::string added = TempPath("added.json");
  AppRun r = RunApp("press " + Q(scene) + " --object Face" + Button(PMXMORPH_ADD_TARGET) + " -o " +
                    Q(added));
  ASSERT_EQ(r.code, 0) << r.err;

  std::string error;
  std::unique_ptr<BaseDocument> doc = pmxapp::LoadSceneFile(added, &error);
  ASSERT_TRUE(doc) << error;
  BaseObject* face = doc->SearchObject(String("Face"));
  BaseObject* last = face->GetDownLast();
  EXPECT_EQ(last->GetName(), String("NewTarget"));
  EXPECT_EQ(PointsOf(last), (std::vector<Vector>{Vector(0, 0, 1), Vector(1, 0, 1), Vector(1, 1, 1),
                                                 Vector(0, 1, 1)}));
  // Evaluation results are not written: the loaded scene is evaluated afresh and shows the
  // same mix (no stale cache, no inputs left marked as claimed).
  EXPECT_EQ(face->GetCache(), nullptr);
  EXPECT_FALSE(face->GetDown()->GetBit(BIT_CONTROLOBJECT));
  doc->ExecutePasses(nullptr, true, true, true, BUILDFLAGS_0);
  ASSERT_NE(face->GetCache(), nullptr);
  EXPECT_EQ(PointsOf(face->GetCache()), PointsOf(last));

  // The written scene still exports: the new target is a morph of its own name.
  const std::string pmx = TempPath("added.pmx");
  r = RunApp("export " + Q(added) + " -o " + Q(pmx) + " --unit 1cm");
  ASSERT_EQ(r.code, 0) << r.err;
  const nlohmann::json model = ParsePmxWithMmdParser(pmx);
  ASSERT_EQ(model["morphs"].size(), 2u);
  EXPECT_EQ(model["morphs"][0]["name"], "NewTarget");
  EXPECT_EQ(model["morphs"][1]["name"], "あ");
  EXPECT_EQ(model["morphs"][1]["elementCount"], 4 + 3);  // both morph objects' bases

  // Bake, then undo it: the scene reads as before the press.
  const std::string before = TempPath("before.json");
  ASSERT_EQ(RunApp("scene-dump " + Q(scene) + " -o " + Q(before)).code, 0);
  const std::string undone = TempPath("undone.json");
  r = RunApp("press " + Q(scene) + " --object Face" + Button(PMXMORPH_BAKE_MIX) + " --undo -o " +
             Q(undone));
  ASSERT_EQ(r.code, 0) << r.err;
  std::unique_ptr<BaseDocument> a = pmxapp::LoadSceneFile(before, &error);
  std::unique_ptr<BaseDocument> b = pmxapp::LoadSceneFile(undone, &error);
  ASSERT_TRUE(a && b) << error;
  EXPECT_EQ(PointsOf(a->SearchObject(String("base"))), PointsOf(b->SearchObject(String("base"))));
  EXPECT_EQ(b->SearchObject(String("Face"))->GetDataInstance()->GetFloat(PMXMORPH_STRENGTH), 0.5);

  const std::string baked = TempPath("baked.json");
  ASSERT_EQ(
      RunApp("press " + Q(scene) + " --object Face" + Button(PMXMORPH_BAKE_MIX) + " -o " + Q(baked))
          .code,
      0);
  std::unique_ptr<BaseDocument> c = pmxapp::LoadSceneFile(baked, &error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(
      PointsOf(c->SearchObject(String("base"))),
      (std::vector<Vector>{Vector(0, 0, 1), Vector(1, 0, 1), Vector(1, 1, 1), Vector(0, 1, 1)}));
  EXPECT_EQ(c->SearchObject(String("Face"))->GetDataInstance()->GetFloat(PMXMORPH_STRENGTH), 0.0);
}

TEST(AppPress, TagButtonsAndMistakesAreNamed) {
  EnsurePluginsRegistered();
  const std::string scene = Write("face.json", kFace);
  const std::string out = TempPath("out.json");

  // A tag's button, the tag addressed by its type name.
  AppRun r = RunApp("press " + Q(scene) + " --object base --tag pmxedge" +
                    Button(PMX_EDGE_CREATE_VERTEX_MAP) + " -o " + Q(out));
  ASSERT_EQ(r.code, 0) << r.err;

  r = RunApp("press " + Q(scene) + " --object Face --button 1900 -o " + Q(out));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("has no button 1900"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(std::to_string(PMXMORPH_ADD_TARGET) + " (Add Target from Mix)"),
            std::string::npos)
      << r.err;

  r = RunApp("press " + Q(scene) + " --object あ" + Button(PMXMORPH_ADD_TARGET) + " -o " + Q(out));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("2 objects named"), std::string::npos) << r.err;

  r = RunApp("press " + Q(scene) + " --object Face --tag pmxedge" +
             Button(PMX_EDGE_CREATE_VERTEX_MAP) + " -o " + Q(out));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("has no tag \"pmxedge\""), std::string::npos) << r.err;

  r = RunApp("press " + Q(scene) + " --object Face --button x -o " + Q(out));
  EXPECT_EQ(r.code, 2);
  r = RunApp("press " + Q(scene) + Button(PMXMORPH_ADD_TARGET) + " -o " + Q(out));
  EXPECT_EQ(r.code, 2);
}

}  // namespace
