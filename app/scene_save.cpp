// Writing scene files: every field the reader takes, with numbers that read back to exactly the
// values the document holds. The writer's stages are listed in scene_writer.h; this file holds
// the entry points, names and ids, numbers, and the document's settings, layers, views and
// scene hooks. scene_text.cpp lays the JSON out for people.
#include <cmath>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include "c4d_host.h"
#include "scene_file.h"
#include "scene_format.h"
#include "scene_text.h"
#include "scene_writer.h"

namespace pmxapp {

namespace scenesave {

using namespace scene;

OJson Writer::Build() {
  Survey();
  OJson root = BuildOnce();
  // A link to an object that can only be named by an id gives that object an "id"; when the
  // object came earlier in the file than the link, write the file once more.
  if (needsIdLate_) {
    needsIdLate_ = false;
    written_.clear();
    error_.clear();
    root = BuildOnce();
  }
  return root;
}

void Writer::Survey() {
  for (BaseObject* op = doc_->GetFirstObject(); op; op = op->GetNext()) SurveyObject(op, false);
  for (BaseMaterial* m = doc_->GetFirstMaterial(); m; m = m->GetNext()) {
    ++materialNames_[m->GetName().GetUtf8()];
    KeepRememberedId(m);
  }
}

BaseObject* Writer::WrittenCache(const BaseObject* op) {
  return host::IsEvaluatedGenerator(op) ? nullptr : op->GetCache();
}

void Writer::SurveyObject(BaseObject* op, bool inCache) {
  for (; op; op = op->GetNext()) {
    if (!inCache) {
      ++objectNames_[op->GetName().GetUtf8()];
      mainTree_.insert(op);
    }
    inDocument_.insert(op);
    KeepRememberedId(op);
    SurveyObject(WrittenCache(op), true);
    SurveyObject(op->GetDeformCache(), true);
    SurveyObject(op->GetDown(), inCache);
  }
}

void Writer::KeepRememberedId(BaseList2D* node) {
  std::string id = RememberedId(node);
  if (!id.empty() && usedIds_.insert(id).second) ids_[node] = id;
}

std::string Writer::IdFor(BaseList2D* node) {
  auto it = ids_.find(node);
  if (it != ids_.end()) return it->second;
  std::string base = node->GetName().GetUtf8();
  if (base.empty()) base = "element";
  std::string id;
  for (int k = 1;; ++k) {
    id = base + "#" + std::to_string(k);
    if (usedIds_.insert(id).second) break;
  }
  ids_[node] = id;
  if (written_.count(node)) needsIdLate_ = true;
  return id;
}

OJson Writer::Ref(BaseList2D* node, bool materialForm) {
  if (!node) return nullptr;
  if (node->IsInstanceOf(Obase)) {
    auto* op = static_cast<BaseObject*>(node);
    if (!inDocument_.count(op)) return nullptr;
    const std::string name = op->GetName().GetUtf8();
    if (mainTree_.count(op) && objectNames_[name] == 1) return name;
    return OJson{{"id", IdFor(node)}};
  }
  if (node->IsInstanceOf(Mbase) && node->GetDocument() == doc_) {
    const std::string name = node->GetName().GetUtf8();
    if (materialNames_[name] == 1) {
      if (materialForm) return name;
      return OJson{{"material", name}};
    }
    return OJson{{"id", IdFor(node)}};
  }
  return nullptr;
}

void Writer::NonFinite() {
  if (error_.empty()) error_ = where_ + ": a value is not a finite number (NaN or infinity)";
}

OJson Writer::Num(double v) {
  if (!std::isfinite(v)) {
    NonFinite();
    return nullptr;
  }
  if (v == std::trunc(v) && std::abs(v) < 9.0e15 && !(v == 0 && std::signbit(v)))
    return static_cast<Int64>(v);
  return v;
}

bool Writer::Finite(const Vector32& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

void Writer::ArrayVec32(NumberArrays& out, const Vector32& v, bool dropZeroW) {
  out.Open();
  out.Number32(v.x);
  out.Number32(v.y);
  if (!(dropZeroW && v.z == 0)) out.Number32(v.z);
  out.Close();
}

OJson Writer::Unit(const UnitScaleData& u) {
  std::string_view name = UnitName(u.GetUnit());
  return OJson::array({Num(u.GetScale()), std::string(name.empty() ? "cm" : name)});
}

OJson Writer::BuildOnce() {
  arrays_.Clear();
  OJson root = OJson::object();
  root["scene"] = kSceneVersion;
  where_ = "document";
  root["document"] = Document();
  OJson materials = OJson::array();
  size_t i = 0;
  for (BaseMaterial* m = doc_->GetFirstMaterial(); m; m = m->GetNext(), ++i) {
    where_ = "materials[" + std::to_string(i) + "]";
    materials.push_back(Material(m));
  }
  if (!materials.empty()) root["materials"] = std::move(materials);
  OJson layers = Layers();
  if (!layers.empty()) root["layers"] = std::move(layers);
  OJson objects = Chain(doc_->GetFirstObject(), "objects");
  if (!objects.empty()) root["objects"] = std::move(objects);
  where_ = "views";
  if (OJson views = Views(); !views.is_null()) root["views"] = std::move(views);
  where_ = "sceneHooks";
  OJson hooks = SceneHooks();
  if (!hooks.empty()) root["sceneHooks"] = std::move(hooks);
  return root;
}

OJson Writer::Document() {
  OJson d = OJson::object();
  const BaseContainer* bc = doc_->GetDataInstance();
  std::vector<Int32> named;
  if (auto* u = static_cast<const UnitScaleData*>(
          bc->GetCustomDataType(DOCUMENT_DOCUNIT, CUSTOMDATATYPE_UNITSCALE))) {
    d["unit"] = Unit(*u);
    named.push_back(DOCUMENT_DOCUNIT);
  }
  if (const GeData* m = bc->GetDataPointer(DOCUMENT_MODE); m && m->GetType() == DA_LONG) {
    std::string_view name = FindName(DocumentModeNames(), m->GetInt32());
    d["mode"] = name.empty() ? OJson(m->GetInt32()) : OJson(std::string(name));
    named.push_back(DOCUMENT_MODE);
  }
  if (auto p = DocumentPath()) d["path"] = *p;
  OJson params = Params(*bc, nullptr, named, nullptr);
  if (!params.empty()) d["params"] = std::move(params);
  return d;
}

std::optional<std::string> Writer::DocumentPath() {
  namespace fs = std::filesystem;
  const std::string path = doc_->GetDocumentPath().GetString().GetUtf8();
  if (path.empty()) return std::nullopt;
  if (!targetDir_ || fs::path(path).is_relative()) return path;
  const fs::path rel =
      NormalDocumentPath(fs::path(path)).lexically_relative(NormalDocumentPath(*targetDir_));
  if (rel == ".") return std::nullopt;
  if (rel.empty()) return path;
  return rel.generic_string();
}

OJson Writer::Layers() {
  OJson a = OJson::array();
  const LayerData fresh;
  for (LayerObject* l = doc_->GetFirstLayer(); l; l = l->GetNext()) {
    OJson j = OJson::object();
    j["name"] = l->GetName().GetUtf8();
    const LayerData& d = l->GetLayerData();
    if (d.view != fresh.view) j["view"] = d.view;
    if (d.render != fresh.render) j["render"] = d.render;
    if (d.locked != fresh.locked) j["locked"] = d.locked;
    if (!d.color.IsZero()) j["color"] = Vec(d.color);
    a.push_back(std::move(j));
  }
  return a;
}

OJson Writer::Views() {
  const BaseDocument fresh;
  const BaseDraw* freshView = fresh.GetBaseDraw(0);
  const Matrix freshCamera = freshView->GetEditorCamera()->GetMl();
  OJson a = OJson::array();
  bool changed = doc_->GetBaseDrawCount() != 1;
  for (Int32 i = 0; i < doc_->GetBaseDrawCount(); ++i) {
    BaseDraw* bd = doc_->GetBaseDraw(i);
    OJson j = OJson::object();
    j["name"] = bd->GetName().GetUtf8();
    std::string_view mode = FindName(DisplayModeNames(), bd->GetDisplayMode());
    j["display"] = mode.empty() ? OJson(bd->GetDisplayMode()) : OJson(std::string(mode));
    const BaseObject* camera = bd->GetEditorCamera();
    const Vector rot = camera->GetRelRot();
    j["camera"] = OJson{{"pos", Vec(camera->GetRelPos())},
                        {"rot", OJson::array({Num(DegreesFor(rot.x)), Num(DegreesFor(rot.y)),
                                              Num(DegreesFor(rot.z))})}};
    if (BaseObject* scene = bd->GetSceneCamera(doc_)) j["sceneCamera"] = Ref(scene, false);
    if (doc_->GetBaseDrawCount() > 1 && bd == doc_->GetActiveBaseDraw()) j["active"] = true;
    changed = changed || bd->GetName() != freshView->GetName() ||
              bd->GetDisplayMode() != freshView->GetDisplayMode() ||
              camera->GetMl() != freshCamera || j.contains("sceneCamera");
    a.push_back(std::move(j));
  }
  return changed ? a : OJson();
}

OJson Writer::SceneHooks() {
  OJson a = OJson::array();
  const BaseDocument fresh;
  for (const host::PluginInfo& p : host::Plugins()) {
    if (p.type != PLUGINTYPE::SCENEHOOK) continue;
    BaseSceneHook* hook = doc_->FindSceneHook(p.id);
    BaseSceneHook* freshHook = fresh.FindSceneHook(p.id);
    if (!hook) continue;
    OJson params = Params(*hook->GetDataInstance(), nullptr, {},
                          freshHook ? freshHook->GetDataInstance() : nullptr);
    if (params.empty()) continue;
    a.push_back(OJson{{"type", p.id}, {"params", std::move(params)}});
  }
  return a;
}

}  // namespace scenesave

bool WriteSceneText(BaseDocument* doc, const std::string& folder, const SceneTextSink& sink,
                    std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    return false;
  };
  if (!doc) return fail("no document to write");
  std::optional<std::string> targetDir;
  if (!folder.empty()) {
    std::error_code ec;
    targetDir = std::filesystem::absolute(folder, ec).lexically_normal().generic_string();
  }
  std::optional<scenesave::Writer> w;
  scenesave::OJson root;
  try {
    w.emplace(doc, std::move(targetDir));
    root = w->Build();
  } catch (const std::exception& e) {
    return fail(std::string("cannot write the scene: ") + e.what());
  }
  // Every value has been looked at: a document that cannot be written is refused before the
  // first piece of text goes out.
  if (!w->Error().empty()) return fail("cannot write the scene: " + w->Error());
  RenderSceneText(root, &w->Arrays(), sink);
  return true;
}

std::string SceneToText(BaseDocument* doc) { return SceneToText(doc, std::string()); }

std::string SceneToText(BaseDocument* doc, const std::string& folder) {
  std::string text;
  if (!WriteSceneText(
          doc, folder, [&text](const char* piece, size_t size) { text.append(piece, size); },
          nullptr))
    return std::string();
  return text;
}

bool SaveSceneFile(BaseDocument* doc, const std::string& path, std::string* error) {
  namespace fs = std::filesystem;
  auto fail = [&](const std::string& what) {
    if (error) *error = path + ": " + what;
    return false;
  };
  if (!doc) return fail("no document to write");
  std::error_code ec;
  const fs::path target = fs::absolute(fs::path(path), ec).lexically_normal();
  // A regular file is replaced atomically through a fresh temporary file, so that the old file
  // survives any failure and no planted link redirects the write; a device or a pipe is written
  // straight into (as WriteOutputFile writes). The file is opened with the first piece of text,
  // once the document has been found writable; the text goes to it a piece at a time as it is
  // laid out, so the file of a large mesh is never whole in memory.
  struct CannotCreate {};
  host::ClearLastFileError();
  BaseFile file;
  bool opened = false;
  std::string refused;
  try {
    const bool written = WriteSceneText(
        doc, target.parent_path().generic_string(),
        [&](const char* text, size_t size) {
          if (!opened) {
            if (!file.Open(Filename(String(path)), FILEOPEN_WRITE, FILEDIALOG_NONE))
              throw CannotCreate();
            opened = true;
          }
          file.WriteBytes(text, static_cast<Int64>(size));
        },
        &refused);
    if (!written) return fail(refused);
  } catch (const CannotCreate&) {
    return fail("cannot create the file (" + host::LastFileError() + ")");
  } catch (const std::exception& e) {
    // The temporary file goes; whatever the target held stays.
    if (opened) {
      file.SetError(FILEERROR_WRITE);
      file.Close();
    }
    return fail(std::string("cannot write the scene: ") + e.what());
  }
  if (file.Close()) return true;
  return fail("cannot write the file (" + host::LastFileError() + ")");
}

}  // namespace pmxapp
