// Untrusted models and archives against the files pmxexport reads and writes: links planted in
// the output folder, devices and pipes as the output, textures named outside the model's
// folder or that are not images, files of the same name already beside the PMX.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "png_writer.h"
#include "support/plugin_env.h"
#include "support/pmx_reader.h"
#include "support/run_app.h"

namespace {

namespace fs = std::filesystem;

std::string Q(const std::string& s) { return "'" + s + "'"; }

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Png() {
  const std::vector<std::uint8_t> png = pmxapp::EncodePngRgb(1, 1, {200, 100, 50});
  return std::string(png.begin(), png.end());
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += static_cast<char>(c);  // the names here are ASCII
  return out;
}

std::vector<std::string> PmxTextures(const fs::path& pmx) {
  std::vector<std::string> names;
  for (const auto& t : pmxtest::ReadPmx(pmx.string()).textures) names.push_back(Utf8(t));
  return names;
}

// One triangle with UVs: three positions, then three UV pairs (little-endian floats).
std::string TriangleBuffer() {
  const float v[15] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1};
  return std::string(reinterpret_cast<const char*>(v), sizeof v);
}

/// A one-triangle glTF whose material's colour texture is `image` (the JSON of the glTF
/// image); bytes in `extra` follow the triangle in the buffer as buffer view 2.
fs::path WriteGltf(const fs::path& dir, const std::string& image, const std::string& extra = "") {
  const std::string bin = TriangleBuffer() + extra;
  Write(dir / "m.bin", bin);
  std::ostringstream j;
  j << R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
  "nodes": [{"mesh": 0}],
  "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1}, "material": 0}]}],
  "materials": [{"pbrMetallicRoughness": {"baseColorTexture": {"index": 0}}}],
  "textures": [{"source": 0}], "images": [)"
    << image << R"(],
  "buffers": [{"uri": "m.bin", "byteLength": )"
    << bin.size() << R"(}],
  "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 36},
                  {"buffer": 0, "byteOffset": 36, "byteLength": 24},
                  {"buffer": 0, "byteOffset": 60, "byteLength": )"
    << std::max<size_t>(extra.size(), 1) << R"(}],
  "accessors": [
    {"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3",
     "min": [0, 0, 0], "max": [1, 1, 0]},
    {"bufferView": 1, "componentType": 5126, "count": 3, "type": "VEC2"}]})";
  Write(dir / "m.gltf", j.str());
  return dir / "m.gltf";
}

/// A one-triangle OBJ whose material's `map_Kd` is `texture`.
fs::path WriteObj(const fs::path& dir, const std::string& texture) {
  Write(dir / "m.mtl", "newmtl Skin\nKd 1 1 1\nmap_Kd " + texture + "\n");
  Write(dir / "m.obj",
        "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\nusemtl Skin\n"
        "f 1/1 2/2 3/3\n");
  return dir / "m.obj";
}

/// A scene file with one textured quad; `texture` is the material's texture name.
std::string QuadScene(const std::string& texture) {
  return R"({"scene": 1,
  "materials": [{"name": "Mat", "color": {"on": true, "color": [1, 0, 0], "brightness": 1,
                                          "texture": ")" +
         texture + R"("}}],
  "objects": [{"type": "polygon", "name": "Quad",
     "points": [[0, 0, 0], [100, 0, 0], [100, 100, 0], [0, 100, 0]], "polygons": [[0, 1, 2, 3]],
     "tags": [{"type": "texture", "material": "Mat"}]}]})";
}

/// A model folder, a folder outside it holding an image and a text file, and an output folder.
struct Place {
  fs::path root, model, outside, out;
  Place() {
    root = TempPath("safety");
    model = root / "model";
    outside = root / "outside";
    out = root / "out";
    for (const fs::path& d : {model, outside, out}) fs::create_directories(d);
    Write(model / "skin.png", Png());
    Write(model / "notes.png", "not an image at all\n");
    Write(outside / "secret.png", Png());
    Write(outside / "secret.txt", "SECRET=1\n");
    fs::create_symlink("../outside/secret.png", model / "linked.png");
  }
};

TEST(SafetyFiles, HostileTextureNamesAreLeftOutWithOneWarning) {
  struct Row {
    const char* what;
    bool obj;             // an OBJ's map_Kd instead of a glTF image
    std::string uri;      // as the model file stores it ("@" stands for the outside folder)
    std::string message;  // in the one warning; empty when the texture is used
    std::string extra;    // more command-line options
  };
  const std::vector<Row> rows = {
      {"an image in the model's folder", false, "skin.png", "", ""},
      {"an absolute path", false, "@/secret.png", "outside the model's folder", ""},
      {"a parent path", false, "../outside/secret.png", "outside the model's folder", ""},
      {"a parent path with backslashes", false, R"(..\\outside\\secret.png)",
       "outside the model's folder", ""},
      {"a file URI", false, "file://@/secret.png", "outside the model's folder", ""},
      {"a link out of the folder", false, "linked.png", "outside the model's folder", ""},
      {"the process environment", false, "/proc/self/environ", "outside the model's folder", ""},
      {"a text file named like an image", false, "notes.png", "not an image", ""},
      {"a text file in a folder the user allows", false, "../outside/secret.txt", "not an image",
       "--texture-root @"},
      {"an image in a folder the user allows", false, "../outside/secret.png", "",
       "--texture-root @"},
      {"an OBJ map_Kd out of the folder", true, "../outside/secret.png",
       "outside the model's folder", ""},
      {"an OBJ map_Kd in the folder", true, "skin.png", "", ""},
  };
  for (const Row& row : rows) {
    for (const bool copy : {true, false}) {
      SCOPED_TRACE(std::string(row.what) + (copy ? ", copied" : ", named"));
      const Place p;
      auto at = [&](std::string s) {
        for (size_t i = s.find('@'); i != std::string::npos; i = s.find('@'))
          s.replace(i, 1, p.outside.string());
        return s;
      };
      const std::string uri = at(row.uri);
      const fs::path model =
          row.obj ? WriteObj(p.model, uri) : WriteGltf(p.model, R"({"uri": ")" + uri + "\"}");
      const fs::path pmx = p.out / "out.pmx";
      const AppRun r = RunApp("export " + Q(model.string()) + " -o " + Q(pmx.string()) +
                              (copy ? " --copy-textures " : " ") + at(row.extra));
      ASSERT_EQ(r.code, 0) << r.err << r.out;
      const std::vector<std::string> textures = PmxTextures(pmx);
      if (row.message.empty()) {
        ASSERT_EQ(textures.size(), 1u) << r.out;
        if (copy) {
          EXPECT_EQ(Read(p.out / textures[0]), Png());
        } else {
          std::string name = textures[0];
          std::replace(name.begin(), name.end(), '\\', '/');
          EXPECT_EQ(Read(p.out / name), Png()) << name;
        }
      } else {
        EXPECT_TRUE(textures.empty()) << textures[0];
        EXPECT_EQ(Listing(p.out), std::vector<std::string>{"out.pmx"});
        EXPECT_EQ(Count(r.out, "left out"), 1u) << r.out;
        EXPECT_EQ(Count(r.out, row.message), 1u) << r.out;
        std::string stored = uri;
        if (!row.obj) {  // the glTF text holds JSON escapes
          for (size_t i = stored.find("\\\\"); i != std::string::npos;
               i = stored.find("\\\\", i + 1))
            stored.erase(i, 1);
        }
        EXPECT_NE(r.out.find("Texture " + stored + " is left out"), std::string::npos) << r.out;
      }
    }
  }
}

TEST(SafetyFiles, EmbeddedTexturesAreNamedByTheirContent) {
  struct Row {
    const char* what;
    std::string bytes, mime;
    std::string suffix;  // of the file written; empty when nothing is
  };
  const std::vector<Row> rows = {
      {"a PNG declared as a PMX", Png(), "image/pmx", ".png"},
      {"a PNG declared as HTML", Png(), "text/html", ".png"},
      {"text declared as a PNG", "<script>alert(1)</script>", "image/png", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Place p;
    const fs::path model =
        WriteGltf(p.model, R"({"bufferView": 2, "mimeType": ")" + row.mime + "\"}", row.bytes);
    const AppRun r = RunApp("export " + Q(model.string()) + " -o " +
                            Q((p.out / "out.pmx").string()) + " --copy-textures");
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    const std::vector<std::string> names = Listing(p.out);
    const std::vector<std::string> textures = PmxTextures(p.out / "out.pmx");
    if (row.suffix.empty()) {
      EXPECT_EQ(names, std::vector<std::string>{"out.pmx"});
      EXPECT_TRUE(textures.empty());
      EXPECT_NE(r.out.find("not an image"), std::string::npos) << r.out;
    } else {
      ASSERT_EQ(names.size(), 2u);
      ASSERT_EQ(textures.size(), 1u);
      EXPECT_EQ(fs::path(textures[0]).extension(), row.suffix);
      EXPECT_EQ(Read(p.out / textures[0]), row.bytes);
    }
  }
}

TEST(SafetyFiles, LinksPlantedInTheOutputFolderAreNeverWrittenThrough) {
  const Place p;
  const fs::path victim = p.outside / "victim.txt";
  Write(victim, "VICTIM");
  const fs::path model = WriteGltf(p.model, R"({"uri": "skin.png"})");
  // Every name the program used to derive or might derive: the temporary PMX, the copied
  // texture, the demo's texture, the scene file's temporary.
  for (const char* name : {".out.pmx.partial", "skin.png", "d_tex.png", "d.pmx.tmp",
                           ".s.json.partial", "m_texture1.png"})
    fs::create_symlink(victim, p.out / name);

  AppRun r = RunApp("export " + Q(model.string()) + " -o " + Q((p.out / "out.pmx").string()) +
                    " --copy-textures");
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_EQ(pmxtest::ReadPmx((p.out / "out.pmx").string()).textures.size(), 1u);
  EXPECT_EQ(Read(p.out / "skin_2.png"), Png());
  EXPECT_NE(r.out.find("a different file is already called skin.png"), std::string::npos) << r.out;

  const fs::path embedding = p.root / "embedding";
  fs::create_directories(embedding);
  const fs::path glb = WriteGltf(embedding, R"({"bufferView": 2, "mimeType": "image/png"})", Png());
  r = RunApp("export " + Q(glb.string()) + " -o " + Q((p.out / "e.pmx").string()) +
             " --copy-textures");
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_EQ(PmxTextures(p.out / "e.pmx"), std::vector<std::string>{"m_texture1_2.png"}) << r.out;

  r = RunApp("demo -o " + Q((p.out / "d.pmx").string()) + " --scene-out " +
             Q((p.out / "s.json").string()));
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_TRUE(fs::is_regular_file(p.out / "d_tex_2.png"));
  EXPECT_EQ(PmxTextures(p.out / "d.pmx"), std::vector<std::string>{"d_tex_2.png"});

  EXPECT_EQ(Read(victim), "VICTIM");
  for (const char* name : {".out.pmx.partial", "skin.png", "d_tex.png", "m_texture1.png"})
    EXPECT_TRUE(fs::is_symlink(p.out / name)) << name;
}

TEST(SafetyFiles, NamedOutputsDevicesPipesAndLinks) {
  const Place p;
  const fs::path scene = p.model / "s.json";
  Write(scene, QuadScene("skin.png"));
  const fs::path realDir = p.root / "real";
  fs::create_directories(realDir);
  struct Row {
    std::string command;  // "@" stands for the output
  };
  const std::vector<Row> rows = {
      {"export " + Q(scene.string()) + " -o @"},
      {"demo -o @"},
      {"scene-dump " + Q(scene.string()) + " -o @"},
  };
  for (const Row& row : rows) {
    auto run = [&](const std::string& output) {
      std::string c = row.command;
      c.replace(c.find('@'), 1, Q(output));
      return RunApp(c);
    };
    SCOPED_TRACE(row.command);

    // The null device takes the bytes and stays a device; nothing is made beside it.
    AppRun r = run("/dev/null");
    EXPECT_EQ(r.code, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_FALSE(fs::exists("/dev/null_tex.png"));

    // A full device: the system's reason, and the device stays.
    r = run("/dev/full");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    // A pipe is written straight into, for the program reading it.
    const fs::path fifo = p.out / "pipe";
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = Read(fifo); });
    r = run(fifo.string());
    reader.join();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(received.empty());
    EXPECT_TRUE(fs::is_fifo(fifo));

    // Standard output by its name: /dev/stdout links to the pipe the test reads, whose link
    // text ("pipe:[...]") names no file.
    r = run("/dev/stdout");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_GT(r.out.size(), 100u);

    // A link is followed: its target is replaced in its own folder, the link stays.
    const fs::path target = realDir / "target";
    Write(target, "OLD");
    const fs::path link = p.out / "link";
    fs::remove(link);
    fs::create_symlink(target, link);
    r = run(link.string());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(Read(target), "OLD");
    EXPECT_EQ(Read(link), Read(target));
  }
}

TEST(SafetyFiles, ExistingFilesAreKeptAndAFailedExportLeavesNoTexture) {
  struct Row {
    const char* what;
    std::string existing;  // skin.png beside the output before the export ("" for none)
    bool failing;          // the export fails after the textures are placed
    std::vector<std::string> after;
  };
  const std::vector<Row> rows = {
      {"a different file of the name", "OTHER", false, {"out.pmx", "skin.png", "skin_2.png"}},
      {"the same image already there", Png(), false, {"out.pmx", "skin.png"}},
      {"a failed export", "", true, {"out.pmx"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Place p;
    const fs::path model = WriteGltf(p.model, R"({"uri": "skin.png"})");
    if (!row.existing.empty()) Write(p.out / "skin.png", row.existing);
    // A folder where the PMX should go makes the saver's file fail to open.
    if (row.failing) fs::create_directories(p.out / "out.pmx");
    const AppRun r = RunApp("export " + Q(model.string()) + " -o " +
                            Q((p.out / "out.pmx").string()) + " --copy-textures");
    EXPECT_EQ(Listing(p.out), row.after);
    if (row.failing) {
      EXPECT_EQ(r.code, 1);
      continue;
    }
    ASSERT_EQ(r.code, 0) << r.err;
    if (!row.existing.empty()) {
      EXPECT_EQ(Read(p.out / "skin.png"), row.existing);
    }
    const std::string used = row.after.back();
    EXPECT_EQ(PmxTextures(p.out / "out.pmx"), std::vector<std::string>{used});
    EXPECT_EQ(Read(p.out / used), Png());
  }
}

}  // namespace
