// A real reader in a real browser: three.js's MMDLoader in headless Chromium loads the PMX of
// the built-in sample and of converted model files, through the page `pmxexport view` serves.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "support/plugin_env.h"
#include "support/run_app.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb/stb_image.h>

namespace fs = std::filesystem;

TEST(BrowserView, MmdLoaderDrawsTheSampleAndConvertedModelsWithTheirTextures) {
  ASSERT_TRUE(fs::exists("/usr/bin/chromium")) << "scripts/install-deps.sh installs chromium";
  const std::string models = TempPath("browser");
  fs::create_directories(models);
  const std::string app = PMX_APP;
  const std::string assets = "/usr/share/assimp/models/";
  std::string log;
  // The textured sample,
  // a skinned model whose textures are embedded, a morphing one, and a textured one whose
  // texture stays where the model file is (outside the PMX's folder, so the viewer is told it
  // may serve images from there).
  ASSERT_EQ(Shell(Quote(app) + " demo -o " + Quote(models + "/demo.pmx") + " 2>&1", &log), 0)
      << log;
  ASSERT_EQ(Shell(Quote(app) + " export " + Quote(assets + "MDL/MDL (HL1)/man.mdl") + " -o " +
                      Quote(models + "/man.pmx") + " --copy-textures 2>&1",
                  &log),
            0)
      << log;
  ASSERT_EQ(
      Shell(Quote(app) + " export " +
                Quote(assets +
                      "glTF2/glTF-Sample-Models/AnimatedMorphCube-glTF/AnimatedMorphCube.gltf") +
                " -o " + Quote(models + "/morphcube.pmx") + " 2>&1",
            &log),
      0)
      << log;
  ASSERT_EQ(
      Shell(Quote(app) + " export " + Quote(assets + "glTF2/BoxTextured-glTF/BoxTextured.gltf") +
                " -o " + Quote(models + "/box.pmx") + " 2>&1",
            &log),
      0)
      << log;

  const std::string shots = std::string(PMX_BINARY_DIR) + "/browser_screenshots";
  const std::string node = std::getenv("PMX_NODE_MODULES") ? std::getenv("PMX_NODE_MODULES")
                                                           : PMX_SOURCE_DIR
                               "/tests/js/node_modules";
  std::string out;
  const int code = Shell(
      "NODE_PATH=" + Quote(node) + " node " + Quote(PMX_SOURCE_DIR "/tests/browser/render_pmx.js") +
          " --app " + Quote(app) + " --out " + Quote(shots) + " --texture-root " + Quote(assets) +
          " " + Quote(models + "/demo.pmx") + " " + Quote(models + "/man.pmx") + " " +
          Quote(models + "/morphcube.pmx") + " " + Quote(models + "/box.pmx") + " 2>&1",
      &out);
  EXPECT_EQ(code, 0) << out;

  std::map<std::string, nlohmann::json> reports;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] != '{') continue;
    const nlohmann::json r = nlohmann::json::parse(line);
    reports[fs::path(r["model"].get<std::string>()).stem().string()] = r;
  }
  ASSERT_EQ(reports.size(), 4u) << out;
  for (const auto& [name, r] : reports) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(r["ok"].get<bool>()) << r.dump();
    EXPECT_TRUE(r["error"].is_null()) << r.dump();
    EXPECT_GT(r["vertices"].get<int>(), 0);
    EXPECT_TRUE(r["drawn"].get<bool>());
    EXPECT_TRUE(r["texturesFailed"].empty()) << r.dump();
    EXPECT_TRUE(fs::is_regular_file(r["screenshot"].get<std::string>()));
  }
  // What the loader read matches what was written.
  // man.mdl: six joints under one centre bone; its three heads share one material.
  EXPECT_EQ(reports["man"]["bones"], 7);
  EXPECT_EQ(reports["man"]["textures"].size(), 3u);
  EXPECT_EQ(reports["morphcube"]["morphs"], 2);
  EXPECT_EQ(reports["box"]["textures"].size(), 1u);
  EXPECT_GE(reports["demo"]["textures"].size(), 1u);
}

TEST(BrowserView, ModelsMadeElsewhereAreDrawnUprightAndVisible) {
  // Files that came out invisible (3ds Max COLLADA), lying (SMD), tiny (Ogre) or stretched
  // (more than four influences): converted at MMD's size, each must put pixels on the screen.
  ASSERT_TRUE(fs::exists("/usr/bin/chromium")) << "scripts/install-deps.sh installs chromium";
  const std::string models = TempPath("browser_elsewhere");
  fs::create_directories(models);
  const std::string app = PMX_APP;
  const std::string assets = "/usr/share/assimp/models/";
  std::string list, log;
  for (const char* f :
       {"Collada/teapots.DAE", "Collada/regr01.dae", "SMD/WusonSMD.smd", "SMD/holy_grailref.smd",
        "Ogre/TheThing/Mesh.mesh.xml", "FBX/animation_with_skeleton.fbx"}) {
    const std::string out = models + "/" + fs::path(f).stem().stem().string() + ".pmx";
    ASSERT_EQ(Shell(Quote(app) + " export " + Quote(assets + f) + " -o " + Quote(out) +
                        " --height 20 --copy-textures 2>&1",
                    &log),
              0)
        << log;
    list += " " + Quote(out);
  }
  const std::string node = std::getenv("PMX_NODE_MODULES") ? std::getenv("PMX_NODE_MODULES")
                                                           : PMX_SOURCE_DIR
                               "/tests/js/node_modules";
  std::string out;
  const int code = Shell(
      "NODE_PATH=" + Quote(node) + " node " + Quote(PMX_SOURCE_DIR "/tests/browser/render_pmx.js") +
          " --app " + Quote(app) + " --out " +
          Quote(std::string(PMX_BINARY_DIR) + "/browser_screenshots") + list + " 2>&1",
      &out);
  EXPECT_EQ(code, 0) << out;
  int reports = 0;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] != '{') continue;
    const nlohmann::json r = nlohmann::json::parse(line);
    SCOPED_TRACE(r["model"].get<std::string>());
    ++reports;
    EXPECT_TRUE(r["ok"].get<bool>()) << r.dump();
    // The model covers part of the picture: pixels that differ from the background's.
    int w = 0, h = 0, channels = 0;
    unsigned char* px = stbi_load(r["screenshot"].get<std::string>().c_str(), &w, &h, &channels, 3);
    ASSERT_NE(px, nullptr) << r.dump();
    long covered = 0;
    for (long i = 0; i < static_cast<long>(w) * h; ++i)
      covered += px[3 * i] != px[0] || px[3 * i + 1] != px[1] || px[3 * i + 2] != px[2];
    stbi_image_free(px);
    EXPECT_GT(covered, static_cast<long>(w) * h / 100) << r.dump();
  }
  EXPECT_EQ(reports, 6) << out;
}
