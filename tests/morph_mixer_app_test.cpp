// pmxexport mixer on the sample character: its expressions listed, moved by name and written
// back so that the morph object evaluates to the mix; mistakes on the command line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "c4d.h"
#include "c4d_host.h"
#include "c4d_symbols.h"
#include "demo_scene.h"
#include "pmxmorph/pmxmorph.h"
#include "scene_file.h"
#include "support/plugin_env.h"
#include "support/run_app.h"

namespace {

std::string Q(const std::string& s) { return "'" + s + "'"; }

std::string DemoScene() {
  const std::string path = TempPath("demo.json");
  std::ofstream(path) << pmxapp::DemoSceneText("demo.png");
  return path;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(MorphMixerApp, ListsMovesAndWritesTheSampleExpressions) {
  const std::string scene = DemoScene();
  AppRun r = RunApp("mixer " + Q(scene));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "  あ = 0%\n  い = 0%\n  笑い = 0%\n")) << r.out;

  const std::string mixed = TempPath("mixed.json");
  r = RunApp("mixer " + Q(scene) + " --set あ=50 --set 笑い=100 -o " + Q(mixed));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "rows now:\n  あ = 50%\n  い = 0%\n  笑い = 100%\n")) << r.out;

  // The written scene's morph object shows the mix: the head with half of "あ" and all of
  // "笑い" added.
  EnsurePluginsRegistered();
  std::string error;
  std::unique_ptr<BaseDocument> doc = pmxapp::LoadSceneFile(mixed, &error);
  ASSERT_TRUE(doc) << error;
  doc->ExecutePasses(nullptr, true, true, true, BUILDFLAGS_0);
  BaseObject* morph = doc->SearchObject(String("Expressions"));
  ASSERT_NE(morph, nullptr);
  auto* mix = static_cast<PolygonObject*>(morph->GetCache());
  ASSERT_NE(mix, nullptr);
  auto* base = static_cast<PolygonObject*>(morph->GetDown());
  auto* a = static_cast<PolygonObject*>(base->GetNext());
  auto* smile = static_cast<PolygonObject*>(a->GetNext()->GetNext());
  EXPECT_EQ(morph->GetDataInstance()->GetFloat(PmxMorphStrengthId(0)), 0.5);
  EXPECT_EQ(morph->GetDataInstance()->GetFloat(PmxMorphStrengthId(2)), 1.0);
  size_t moved = 0;
  for (Int32 p = 0; p < base->GetPointCount(); ++p) {
    Vector expected = base->GetPointR()[p];
    expected += (a->GetPointR()[p] - base->GetPointR()[p]) * 0.5;
    expected += (smile->GetPointR()[p] - base->GetPointR()[p]) * 1.0;
    EXPECT_EQ(mix->GetPointR()[p], expected) << p;
    moved += !(mix->GetPointR()[p] == base->GetPointR()[p]);
  }
  EXPECT_GT(moved, 0u);

  // The buttons, and the dialog command on the same window.
  r = RunApp("mixer " + Q(mixed) + " --reset --apply");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "pressed reset\npressed apply\nrows now:\n  あ = 0%\n")) << r.out;
  r = RunApp("dialog " + Q(mixed) + " --id 1032051 --set 2005=25 --set 20005=x -o " +
             Q(TempPath("d.json")));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "slider         あ")) << r.out;
  EXPECT_TRUE(Has(r.out, "(0 to 100, step 1)")) << r.out;
  EXPECT_TRUE(Has(r.out, "set 2005 (笑い) to 25")) << r.out;
  EXPECT_TRUE(Has(r.out, "pressed 20005 (Reset All to 0)")) << r.out;
}

TEST(MorphMixerApp, MistakesAreReportedAndWriteNothing) {
  const std::string scene = DemoScene();
  const std::string out = TempPath("out.json");
  struct Case {
    std::string args;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"--set あ=150", 2, "a percent from 0 to 100, not 'あ=150'"},
      {"--set あ", 2, "NAME=PERCENT"},
      {"--set =5", 2, "NAME=PERCENT"},
      {"--set nobody=5", 1, "no row named 'nobody' (rows: あ, い, 笑い)"},
  };
  for (const Case& c : cases) {
    const AppRun r = RunApp("mixer " + Q(scene) + " " + c.args + " -o " + Q(out));
    EXPECT_EQ(r.code, c.code) << c.args;
    EXPECT_TRUE(Has(r.err, c.message)) << c.args << ": " << r.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << c.args;
  }
  const AppRun r = RunApp("mixer " + Q(TempPath("missing.json")));
  EXPECT_EQ(r.code, 1);
}

}  // namespace
