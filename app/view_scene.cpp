// The scene page's document: loading it, the page's requests routed, the textures it names,
// and the files it makes (the PMX export, the saved scene).
#include "view_scene.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app_host.h"
#include "c4d_host.h"
#include "file_safety.h"
#include "scene_file.h"
#include "scene_format.h"
#include "view_scene_internal.h"

namespace fs = std::filesystem;

namespace pmxapp {

namespace viewscene {

ViewReply JsonReply(const std::string& body, int status) {
  ViewReply r;
  r.status = status;
  r.body = body;
  return r;
}

ViewReply Refuse(const std::string& why, int status) {
  return JsonReply(Json{{"error", why}}.dump(), status);
}

}  // namespace viewscene

using namespace viewscene;

ScenePage::ScenePage() = default;

ScenePage::~ScenePage() {
  std::lock_guard lock(mutex_);
  for (GeDialog* d : host::OpenDialogs()) d->Close();
  doc_.reset();
  std::error_code ec;
  if (!tempDir_.empty()) fs::remove_all(tempDir_, ec);
}

bool ScenePage::Load(const ScenePageOptions& options, std::string* error) {
  std::lock_guard lock(mutex_);
  options_ = options;
  if (!StartHost(error)) return false;
  ImportSummary summary;
  bool isModel = false;
  doc_ = LoadInputDocument(options.input, &summary, error, &isModel, options.importOptions);
  if (!doc_) return false;
  if (isModel) {
    std::printf("%s\n", FormatImportSummary(summary).c_str());
    embedded_ = summary.textures;
  }
  std::error_code ec;
  const fs::path input = fs::absolute(options.input, ec);
  roots_ = {ResolvedPath(input.parent_path().string())};
  for (const std::string& root : options.textureRoots) {
    const std::string real = ResolvedPath(root);
    if (real.empty() || !fs::is_directory(real, ec)) {
      *error = "the texture folder " + root + " does not exist";
      return false;
    }
    roots_.push_back(real);
  }
  std::string tmpl = (TemporaryFolder() / "pmxexport-view-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) {
    *error = "cannot make a temporary folder for exports";
    return false;
  }
  tempDir_ = tmpl;
  SetActiveDocument(doc_.get());
  host::RedrawDocument(doc_.get());
  return true;
}

void ScenePage::Changed(bool geometry) {
  // As the host does after every change: evaluate, tell the dialogs, redraw every view.
  host::RedrawDocument(doc_.get());
  ++version_;
  if (geometry) ++geometryVersion_;
}

Int32 ScenePage::TextureIndex(const std::string& name) {
  if (name.empty()) return -1;
  for (size_t i = 0; i < textures_.size(); ++i) {
    if (textures_[i].path == name) return static_cast<Int32>(i);
  }
  Texture t;
  t.path = name;
  textures_.push_back(t);
  return static_cast<Int32>(textures_.size() - 1);
}

ViewReply ScenePage::Get(const std::string& path) {
  if (path == "state") return JsonReply(StateJson());
  if (path == "geometry") return JsonReply(GeometryJson());
  if (path.rfind("texture/", 0) == 0) {
    const std::string number = path.substr(8);
    char* end = nullptr;
    const unsigned long n = std::strtoul(number.c_str(), &end, 10);
    std::string name;
    {
      std::lock_guard lock(mutex_);
      if (number.empty() || *end != '\0' || n >= textures_.size())
        return Refuse("no such texture", 404);
      name = textures_[n].path;
      // Embedded in a model file: the import kept the bytes.
      for (const ModelTexture& t : embedded_) {
        if (t.reference != name || !t.sourcePath.empty()) continue;
        const std::string bytes(t.data.begin(), t.data.end());
        const std::string kind = ImageKind(bytes.substr(0, 64));
        if (kind.empty()) return Refuse("not an image", 404);
        ViewReply r;
        r.type = ImageContentType(kind);
        r.body = bytes;
        return r;
      }
      Filename resolved;
      if (!GenerateTexturePath(doc_->GetDocumentPath(), Filename(String(name)), Filename(),
                               &resolved))
        return Refuse("texture not found", 404);
      name = resolved.GetString().GetUtf8();
    }
    std::string bytes, kind;
    if (!ReadImageWithin(name, roots_, &bytes, &kind)) return Refuse("texture not found", 404);
    ViewReply r;
    r.type = ImageContentType(kind);
    r.body = std::move(bytes);
    return r;
  }
  return Refuse("not found", 404);
}

ViewReply ScenePage::Post(const std::string& path, const std::string& body) {
  if (path == "action") return Act(body);
  if (path == "export") return Export(body);
  if (path == "save") return Save();
  return Refuse("not found", 404);
}

ViewReply ScenePage::Export(const std::string& body) {
  Json a = Json::object();
  try {
    if (!body.empty()) a = Json::parse(body);
  } catch (const Json::exception&) {
    return Refuse("the request is not JSON");
  }
  if (!a.is_object()) return Refuse("the settings are not an object");
  ExportSettings settings = options_.exportSettings;
  if (a.contains("unit") && a["unit"].is_string() && !a["unit"].get<std::string>().empty()) {
    settings.unit = scene::ParseUnitScale(a["unit"].get<std::string>());
    if (!settings.unit) return Refuse("the unit is a length such as 8cm or 1m");
  }
  if (a.contains("materialNameWithObject"))
    settings.materialNameWithObject =
        a["materialNameWithObject"].is_boolean() && a["materialNameWithObject"].get<bool>();
  if (a.contains("limitDeform"))
    settings.limitDeform = a["limitDeform"].is_boolean() && a["limitDeform"].get<bool>();

  std::lock_guard lock(mutex_);
  const std::string stem =
      fs::path(options_.output.empty() ? options_.input : options_.output).stem().string();
  const std::string target =
      options_.output.empty() ? tempDir_ + "/" + stem + ".pmx" : options_.output;
  const size_t before = host::ConsoleLines().size();
  std::fflush(stdout);
  const int code = ExportDocument(doc_.get(), target, settings, "view");
  const std::vector<String> lines = host::ConsoleLines();
  messages_.clear();
  for (size_t k = before; k < lines.size(); ++k) messages_.push_back(lines[k].GetUtf8());
  if (code != kExitOk)
    return Refuse("the export failed: " +
                      (messages_.empty() ? std::string("see the terminal") : messages_.back()),
                  500);
  std::ifstream in(target, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (options_.output.empty()) {
    std::error_code ec;
    fs::remove(target, ec);
  }
  ViewReply r;
  r.type = "application/octet-stream";
  r.body = bytes.str();
  r.downloadName = stem + ".pmx";
  return r;
}

ViewReply ScenePage::Save() {
  std::lock_guard lock(mutex_);
  if (options_.sceneOut.empty()) return Refuse("no --scene-out was given", 404);
  std::string error;
  if (!SaveSceneFile(doc_.get(), options_.sceneOut, &error)) return Refuse(error, 500);
  messages_ = {"Wrote " + options_.sceneOut};
  return JsonReply(Json{{"saved", options_.sceneOut}}.dump());
}

}  // namespace pmxapp
