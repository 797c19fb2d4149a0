#include "view_scene.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "OPmxMorph.h"
#include "app_host.h"
#include "c4d_host.h"
#include "c4d_symbols.h"
#include "file_safety.h"
#include "scene_file.h"
#include "scene_format.h"
#include "viewport_app.h"

namespace fs = std::filesystem;

namespace pmxapp {

namespace {

using Json = nlohmann::json;

/// Numbers as the page needs them: a tenth of a thousandth is far below a pixel, and the
/// shorter text keeps large meshes quick to send.
double Short(double v) { return std::isfinite(v) ? std::round(v * 1e4) / 1e4 : 0.0; }

Json Vec(const Vector& v) { return Json::array({Short(v.x), Short(v.y), Short(v.z)}); }

Json MatrixJson(const Matrix& m) {
  return {{"off", Vec(m.off)}, {"v1", Vec(m.v1)}, {"v2", Vec(m.v2)}, {"v3", Vec(m.v3)}};
}

std::optional<Vector> VectorOf(const Json& j) {
  if (!j.is_array() || j.size() != 3) return std::nullopt;
  double c[3];
  for (int i = 0; i < 3; ++i) {
    if (!j[i].is_number()) return std::nullopt;
    c[i] = j[i].get<double>();
    if (!std::isfinite(c[i])) return std::nullopt;
  }
  return Vector(c[0], c[1], c[2]);
}

ViewReply JsonReply(const std::string& body, int status = 200) {
  ViewReply r;
  r.status = status;
  r.body = body;
  return r;
}

ViewReply Refuse(const std::string& why, int status = 400) {
  return JsonReply(Json{{"error", why}}.dump(), status);
}

BaseObject* FindObject(BaseObject* op, UInt64 id) {
  BaseList2D* node = BaseList2D::FindByUniqueId(id);
  if (!node || !node->IsInstanceOf(Obase)) return nullptr;
  auto* found = static_cast<BaseObject*>(node);
  // Only objects of the shown document, never a cache or a node elsewhere.
  for (; op; op = op->GetNext()) {
    if (op == found) return found;
    if (BaseObject* below = FindObject(op->GetDown(), id)) return below;
  }
  return nullptr;
}

// ----- geometry -----

bool LayerShown(const BaseObject* op, BaseDocument* doc) {
  const LayerData* layer = op->GetLayerData(doc);
  return !layer || layer->view;
}

/// One polygon object as triangles in world space, grouped by the material its texture tags
/// give each polygon (the last tag that covers a polygon wins, as in the host).
Json MeshJson(PolygonObject* op, const std::map<BaseMaterial*, Int32>& materials,
              Int32 defaultMaterial) {
  const Int32 pointCount = op->GetPointCount();
  const Int32 polygonCount = op->GetPolygonCount();
  const Vector* points = op->GetPointR();
  const CPolygon* polygons = op->GetPolygonR();
  std::vector<Int32> material(static_cast<size_t>(polygonCount), defaultMaterial);
  for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) {
    if (t->GetType() != Ttexture) continue;
    BaseMaterial* mat = static_cast<TextureTag*>(t)->GetMaterial();
    auto it = mat ? materials.find(mat) : materials.end();
    if (it == materials.end()) continue;
    const String restriction = t->GetDataInstance()->GetString(TEXTURETAG_RESTRICTION);
    const BaseSelect* only = nullptr;
    if (restriction.Content()) {
      for (BaseTag* s = op->GetFirstTag(); s && !only; s = s->GetNext()) {
        if (s->GetType() == Tpolygonselection && s->GetName() == restriction)
          only = static_cast<SelectionTag*>(s)->GetBaseSelect();
      }
      if (!only) continue;
    }
    for (Int32 p = 0; p < polygonCount; ++p) {
      if (!only || only->IsSelected(p)) material[static_cast<size_t>(p)] = it->second;
    }
  }
  auto* uvw = static_cast<UVWTag*>(op->GetTag(Tuvw));
  if (uvw && uvw->GetDataCount() < polygonCount) uvw = nullptr;
  const Matrix mg = op->GetMg();

  // Triangles sorted by material so that each material is one range.
  std::map<Int32, std::vector<Int32>> byMaterial;
  for (Int32 p = 0; p < polygonCount; ++p)
    byMaterial[material[static_cast<size_t>(p)]].push_back(p);
  Json positions = Json::array(), uvs = Json::array(), groups = Json::array();
  Int32 vertices = 0;
  for (const auto& [mat, list] : byMaterial) {
    const Int32 start = vertices;
    for (const Int32 p : list) {
      const CPolygon& c = polygons[p];
      const Int32 corners[4] = {c.a, c.b, c.c, c.d};
      bool valid = true;
      for (const Int32 k : corners) valid = valid && k >= 0 && k < pointCount;
      if (!valid) continue;
      UVWStruct uv;
      if (uvw) uv = uvw->GetSlow(p);
      const Vector uvCorner[4] = {uv.a, uv.b, uv.c, uv.d};
      // Quadrangles split along a-c, as the export splits them.
      const int tris[2][3] = {{0, 1, 2}, {0, 2, 3}};
      const int count = c.c == c.d ? 1 : 2;
      for (int t = 0; t < count; ++t) {
        for (const int k : tris[t]) {
          const Vector w = mg * points[corners[k]];
          positions.push_back(Short(w.x));
          positions.push_back(Short(w.y));
          positions.push_back(Short(w.z));
          if (uvw) {
            uvs.push_back(Short(uvCorner[k].x));
            uvs.push_back(Short(1.0 - uvCorner[k].y));
          }
          ++vertices;
        }
      }
    }
    groups.push_back({{"material", mat}, {"start", start}, {"count", vertices - start}});
  }
  // The smoothing angle in radians, as the tag keeps it; none: flat.
  double phong = -1;
  if (BaseTag* t = op->GetTag(Tphong)) {
    const BaseContainer* bc = t->GetDataInstance();
    phong = bc->GetBool(PHONGTAG_PHONG_ANGLELIMIT) ? bc->GetFloat(PHONGTAG_PHONG_ANGLE) : PI;
  }
  return {{"name", op->GetName().GetUtf8()},
          {"positions", std::move(positions)},
          {"uvs", uvw ? std::move(uvs) : Json()},
          {"groups", std::move(groups)},
          {"phong", phong}};
}

/// The objects the editor draws: a deformer's or generator's result in place of the object,
/// inputs of generators and hidden objects left out.
void CollectMeshes(BaseObject* op, BaseDocument* doc,
                   const std::map<BaseMaterial*, Int32>& materials, Int32 defaultMaterial,
                   Json* out) {
  for (; op; op = op->GetNext()) {
    const bool shown = host::IsVisibleInEditor(op) && LayerShown(op, doc);
    if (BaseObject* deformed = op->GetDeformCache()) {
      if (shown) CollectMeshes(deformed, doc, materials, defaultMaterial, out);
    } else if (BaseObject* cache = op->GetCache()) {
      if (shown) CollectMeshes(cache, doc, materials, defaultMaterial, out);
    } else if (shown && op->GetType() == Opolygon) {
      out->push_back(MeshJson(static_cast<PolygonObject*>(op), materials, defaultMaterial));
    }
    CollectMeshes(op->GetDown(), doc, materials, defaultMaterial, out);
  }
}

// ----- draw calls -----

/// The recorded calls of a view as batches the page draws in one go: consecutive lines (or
/// filled triangles) with the same transparency, z-offset and lighting.
Json DrawBatches(const BaseDraw* bd) {
  Json batches = Json::array();
  Json* current = nullptr;
  for (const DrawCall& c : bd->GetCalls()) {
    const bool line = c.kind == DrawCall::Kind::DrawLine;
    if (!line && c.kind != DrawCall::Kind::DrawPolygon) continue;
    const char* kind = line ? "lines" : "triangles";
    if (!current || (*current)["kind"] != kind || (*current)["transparency"] != c.transparency ||
        (*current)["zoffset"] != c.zoffset || (*current)["light"] != c.lightList) {
      batches.push_back({{"kind", kind},
                         {"transparency", c.transparency},
                         {"zoffset", c.zoffset},
                         {"light", c.lightList},
                         {"positions", Json::array()},
                         {"colors", Json::array()}});
      current = &batches.back();
    }
    auto add = [&](const Vector& p, const Vector& color) {
      const Vector w = c.matrix * p;
      for (const double v : {w.x, w.y, w.z}) (*current)["positions"].push_back(Short(v));
      for (const double v : {color.x, color.y, color.z}) (*current)["colors"].push_back(Short(v));
    };
    auto colorAt = [&](size_t k) { return k < c.colors.size() ? c.colors[k] : c.pen; };
    if (line) {
      if (c.points.size() == 2) {
        add(c.points[0], c.pen);
        add(c.points[1], c.pen);
      }
    } else if (c.points.size() >= 3) {
      for (const size_t k : {size_t(0), size_t(1), size_t(2)}) add(c.points[k], colorAt(k));
      if (c.points.size() == 4) {
        for (const size_t k : {size_t(0), size_t(2), size_t(3)}) add(c.points[k], colorAt(k));
      }
    }
  }
  return batches;
}

// ----- dialogs, commands, descriptions -----

Json GadgetJson(const DialogGadgetState& g, Int32 owner) {
  using V = DialogGadgetState::Value;
  Json j = {{"id", g.id}, {"owner", owner}, {"kind", g.kind}, {"label", g.label.GetUtf8()}};
  if (g.valueType == V::Flag) {
    j["type"] = "flag";
    j["value"] = g.value.GetBool();
  } else if (g.valueType == V::Integer) {
    j["type"] = "integer";
    j["value"] = g.value.GetInt32();
  } else if (g.valueType == V::Real) {
    j["type"] = "real";
    j["value"] = g.value.GetFloat();
  } else if (g.valueType == V::Color) {
    j["type"] = "color";
    j["value"] = Vec(g.value.GetVector());
  } else if (g.valueType == V::Text) {
    j["type"] = "text";
    j["value"] = g.value.GetString().GetUtf8();
  } else if (g.kind == "CHECKBOX") {
    j["type"] = "flag";
    j["value"] = false;
  } else if (g.kind == "COLORFIELD") {
    j["type"] = "color";
    j["value"] = Json::array({0, 0, 0});
  } else {
    j["type"] = "none";
  }
  if (g.valueType == V::Integer || g.valueType == V::Real) {
    // The host's open ranges are larger than JSON numbers the page can type.
    j["min"] = std::max(g.min, -1e300);
    j["max"] = std::min(g.max, 1e300);
    j["step"] = g.step;
  }
  return j;
}

/// The gadgets a person sees in the window of `dialog`, in reading order, each with the
/// sub-dialog area it sits in (0: the window's own dialog).
std::vector<std::pair<const host::WindowGadget, Int32>> ShownGadgets(GeDialog* dialog) {
  std::map<const GeDialog*, Int32> areas = {{dialog, 0}};
  std::vector<std::pair<const host::WindowGadget, Int32>> shown;
  for (const host::WindowGadget& g : host::WindowGadgets(dialog)) {
    if (g.state->subDialog) areas[g.state->subDialog] = g.state->id;
    if (!g.visible) continue;
    const auto area = areas.find(g.owner);
    shown.emplace_back(g, area == areas.end() ? -1 : area->second);
  }
  return shown;
}

/// The commands the page offers, in the order the host's menu lists the module's.
const Int32 kPageCommands[] = {ID_TRI_LINES_SWITCH, ID_PMX_EDGE_DRAW_SWITCH, ID_TRI_LINES_OPTIONS,
                               ID_PMXMORPHMIXER};

Json DescriptionJson(BaseObject* op) {
  Description d;
  op->GetDescription(&d, DESCFLAGS_DESC_0);
  Json params = Json::array();
  for (const DescriptionEntry& e : d.Entries()) {
    const Int32 id = e.id.id;
    const std::string name = e.settings.GetString(DESC_NAME).GetUtf8();
    if (e.type == DTYPE_BUTTON) {
      params.push_back({{"id", id}, {"kind", "button"}, {"label", name}});
    } else if (e.type == DTYPE_REAL && e.group.id == PMXMORPH_STRENGTH_GROUP) {
      GeData value;
      op->GetParameter(DescID(id), value);
      params.push_back({{"id", id},
                        {"kind", "slider"},
                        {"label", name},
                        {"value", value.GetType() == DA_REAL ? value.GetFloat() : 0.0},
                        {"min", e.settings.GetFloat(DESC_MIN)},
                        {"max", e.settings.GetFloat(DESC_MAX)},
                        {"step", e.settings.GetFloat(DESC_STEP)},
                        {"percent", e.settings.GetInt32(DESC_UNIT) == DESC_UNIT_PERCENT}});
    }
  }
  return params;
}

void CollectObjects(BaseObject* op, int depth, Json* objects, Json* morphs) {
  for (; op; op = op->GetNext()) {
    const std::string_view type = scene::FindName(scene::ObjectTypeNames(), op->GetType());
    objects->push_back({{"id", op->GetUniqueId()},
                        {"name", op->GetName().GetUtf8()},
                        {"type", type.empty() ? std::to_string(op->GetType()) : std::string(type)},
                        {"depth", depth},
                        {"selected", op->GetBit(BIT_ACTIVE)}});
    if (op->GetType() == ID_PMXMORPHOBJECT) {
      morphs->push_back({{"id", op->GetUniqueId()},
                         {"name", op->GetName().GetUtf8()},
                         {"params", DescriptionJson(op)}});
    }
    CollectObjects(op->GetDown(), depth + 1, objects, morphs);
  }
}

}  // namespace

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

std::string ScenePage::GeometryJson() {
  std::lock_guard lock(mutex_);
  BaseDocument* doc = doc_.get();
  Json materials = Json::array();
  std::map<BaseMaterial*, Int32> index;
  for (BaseMaterial* m = doc->GetFirstMaterial(); m; m = m->GetNext()) {
    Vector color(0.8, 0.8, 0.8);
    std::string texture;
    if (m->GetChannelState(CHANNEL_COLOR)) {
      const BaseContainer data = m->GetChannel(CHANNEL_COLOR)->GetData();
      color = data.GetVector(BASECHANNEL_COLOR_EX) * data.GetFloat(BASECHANNEL_BRIGHTNESS_EX);
      texture = data.GetString(BASECHANNEL_TEXTURE).GetUtf8();
    }
    double opacity = 1.0;
    if (m->GetChannelState(CHANNEL_TRANSPARENCY))
      opacity =
          1.0 - m->GetChannel(CHANNEL_TRANSPARENCY)->GetData().GetFloat(BASECHANNEL_BRIGHTNESS_EX);
    index[m] = static_cast<Int32>(materials.size());
    materials.push_back({{"name", m->GetName().GetUtf8()},
                         {"color", Vec(color)},
                         {"opacity", Short(opacity)},
                         {"texture", TextureIndex(texture)}});
  }
  const Int32 fallback = static_cast<Int32>(materials.size());
  materials.push_back({{"name", "(none)"},
                       {"color", Json::array({0.8, 0.8, 0.8})},
                       {"opacity", 1.0},
                       {"texture", -1}});
  Json meshes = Json::array();
  CollectMeshes(doc->GetFirstObject(), doc, index, fallback, &meshes);
  return Json{{"geometryVersion", geometryVersion_},
              {"materials", std::move(materials)},
              {"meshes", std::move(meshes)}}
      .dump();
}

std::string ScenePage::StateJson() {
  std::lock_guard lock(mutex_);
  BaseDocument* doc = doc_.get();
  Json objects = Json::array(), morphs = Json::array();
  CollectObjects(doc->GetFirstObject(), 0, &objects, &morphs);

  Json views = Json::array();
  for (Int32 v = 0; v < doc->GetBaseDrawCount(); ++v)
    views.push_back(doc->GetBaseDraw(v)->GetName().GetUtf8());
  BaseDraw* bd = doc->GetActiveBaseDraw();
  BaseObject* camera = bd->GetSceneCamera(doc);
  if (!camera) camera = bd->GetEditorCamera();
  const std::string_view display = scene::FindName(scene::DisplayModeNames(), bd->GetDisplayMode());
  Json view = {{"index", 0},
               {"name", bd->GetName().GetUtf8()},
               {"display", bd->GetDisplayMode()},
               {"displayName", std::string(display)},
               {"camera", MatrixJson(camera->GetMg())},
               {"sceneCamera", bd->GetSceneCamera(doc) != nullptr},
               {"calls", DrawBatches(bd)}};
  for (Int32 v = 0; v < doc->GetBaseDrawCount(); ++v)
    if (doc->GetBaseDraw(v) == bd) view["index"] = v;

  Json commands = Json::array();
  for (const Int32 id : kPageCommands) {
    const host::PluginInfo* p = host::FindPlugin(id);
    if (!p || p->type != PLUGINTYPE::COMMAND || !p->command) continue;
    const Int32 state = p->command->GetState(doc);
    commands.push_back({{"id", id},
                        {"name", p->name.GetUtf8()},
                        {"enabled", (state & CMD_ENABLED) != 0},
                        {"checked", (state & CMD_VALUE) != 0}});
  }
  Json dialogs = Json::array();
  for (GeDialog* d : host::OpenDialogs()) {
    Json gadgets = Json::array();
    for (const auto& [g, area] : ShownGadgets(d)) gadgets.push_back(GadgetJson(*g.state, area));
    const host::PluginInfo* p = host::FindPlugin(d->GetPluginId());
    dialogs.push_back({{"id", d->GetPluginId()},
                       {"title", d->GetTitle().Content() ? d->GetTitle().GetUtf8()
                                 : p                     ? p->name.GetUtf8()
                                                         : std::string()},
                       {"gadgets", std::move(gadgets)}});
  }
  const std::string_view mode = scene::FindName(scene::DocumentModeNames(), doc->GetMode());
  return Json{{"version", version_},
              {"geometryVersion", geometryVersion_},
              {"document", doc->GetDocumentName().GetString().GetUtf8()},
              {"mode", mode.empty() ? std::to_string(doc->GetMode()) : std::string(mode)},
              {"objects", std::move(objects)},
              {"morphs", std::move(morphs)},
              {"views", std::move(views)},
              {"view", std::move(view)},
              {"commands", std::move(commands)},
              {"dialogs", std::move(dialogs)},
              {"undo", doc->GetUndoStepCount()},
              {"redo", doc->GetRedoStepCount()},
              {"canSave", !options_.sceneOut.empty()},
              {"output", options_.output},
              {"messages", messages_}}
      .dump();
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

ViewReply ScenePage::Act(const std::string& body) {
  Json a;
  try {
    a = Json::parse(body);
  } catch (const Json::exception&) {
    return Refuse("the request is not JSON");
  }
  if (!a.is_object() || !a.contains("do") || !a["do"].is_string()) return Refuse("no \"do\"");
  const std::string what = a["do"];
  auto integer = [&](const char* key) -> std::optional<Int64> {
    if (!a.contains(key) || !a[key].is_number_integer()) return std::nullopt;
    return a[key].get<Int64>();
  };
  {
    std::lock_guard lock(mutex_);
    BaseDocument* doc = doc_.get();
    bool geometry = false;
    // Everything but a dialog's gadgets is used outside the dialogs' windows, which lose the
    // keyboard focus to it (the morph mixer then follows the morph objects again).
    if (what != "gadget" && what != "close") host::FocusDialog(nullptr);
    if (what == "command") {
      const auto id = integer("id");
      const host::PluginInfo* p = id ? host::FindPlugin(static_cast<Int32>(*id)) : nullptr;
      if (!p || p->type != PLUGINTYPE::COMMAND || !p->command) return Refuse("no such command");
      // A command the host shows disabled cannot be chosen.
      if (!(p->command->GetState(doc) & CMD_ENABLED)) return Refuse("the command is disabled");
      p->command->Execute(doc);
      geometry = true;
    } else if (what == "gadget") {
      const auto dialog = integer("dialog"), gadget = integer("gadget");
      const Int64 area = integer("owner").value_or(0);
      GeDialog* window = dialog ? host::FindOpenDialog(static_cast<Int32>(*dialog)) : nullptr;
      GeDialog* d = nullptr;
      const DialogGadgetState* g = nullptr;
      // Only what a person sees can be changed, in the dialog that shows it.
      for (const auto& [shown, owner] :
           window&& gadget ? ShownGadgets(window) : decltype(ShownGadgets(window))()) {
        if (owner == area && shown.state->id == *gadget) {
          d = shown.owner;
          g = shown.state;
        }
      }
      if (!g || !a.contains("value")) return Refuse("no such gadget");
      const Json& v = a["value"];
      std::optional<GeData> value;
      const bool color = g->valueType == DialogGadgetState::Value::Color || g->kind == "COLORFIELD";
      if (color) {
        if (auto c = VectorOf(v)) value = GeData(*c);
      } else if (v.is_boolean()) {
        value = GeData(v.get<bool>());
      } else if (v.is_number_integer() && g->valueType != DialogGadgetState::Value::Real) {
        value = GeData(static_cast<Int32>(v.get<Int64>()));
      } else if (v.is_number() && std::isfinite(v.get<double>())) {
        value = GeData(v.get<double>());
      }
      if (!value || !d->ChangeGadget(g->id, *value))
        return Refuse("the gadget does not take that value");
      geometry = true;
    } else if (what == "close") {
      const auto dialog = integer("dialog");
      GeDialog* d = dialog ? host::FindOpenDialog(static_cast<Int32>(*dialog)) : nullptr;
      if (!d) return Refuse("no such dialog");
      d->Close();
    } else if (what == "param" || what == "button") {
      const auto object = integer("object"), id = integer("id");
      BaseObject* op =
          object ? FindObject(doc->GetFirstObject(), static_cast<UInt64>(*object)) : nullptr;
      if (!op || !id) return Refuse("no such object");
      Description d;
      op->GetDescription(&d, DESCFLAGS_DESC_0);
      const DescriptionEntry* e = d.Find(static_cast<Int32>(*id));
      if (what == "button") {
        if (!e || e->type != DTYPE_BUTTON) return Refuse("no such button");
        // The attribute manager hands a pressed button to the object's Message.
        DescriptionCommand dc;
        dc.id = DescID(e->id.id);
        op->Message(MSG_DESCRIPTION_COMMAND, &dc);
      } else {
        if (!e || e->type != DTYPE_REAL || !a.contains("value") || !a["value"].is_number())
          return Refuse("no such parameter");
        const double v = a["value"].get<double>();
        if (!std::isfinite(v)) return Refuse("not a number");
        // As the attribute manager changes a parameter: one undo step, then the change
        // message.
        doc->StartUndo();
        doc->AddUndo(UNDOTYPE_CHANGE_SMALL, op);
        op->SetParameter(DescID(e->id.id), GeData(v));
        doc->EndUndo();
        op->SetDirty(DIRTYFLAGS_DATA);
        op->Message(MSG_CHANGE);
      }
      EventAdd();
      geometry = true;
    } else if (what == "camera") {
      BaseDraw* bd = doc->GetActiveBaseDraw();
      const auto off = VectorOf(a.value("off", Json())), v1 = VectorOf(a.value("v1", Json())),
                 v2 = VectorOf(a.value("v2", Json())), v3 = VectorOf(a.value("v3", Json()));
      if (!off || !v1 || !v2 || !v3) return Refuse("a camera needs off, v1, v2 and v3");
      // Navigating a view that looks through a scene camera moves that camera, as in the host.
      BaseObject* camera = bd->GetSceneCamera(doc);
      if (!camera) camera = bd->GetEditorCamera();
      camera->SetMg(Matrix(*off, *v1, *v2, *v3));
    } else if (what == "display") {
      const auto mode = integer("mode");
      if (!mode || scene::FindName(scene::DisplayModeNames(), static_cast<Int32>(*mode)).empty())
        return Refuse("no such display mode");
      doc->GetActiveBaseDraw()->SetDisplayMode(static_cast<Int32>(*mode));
    } else if (what == "mode") {
      const std::string name = a.value("mode", std::string());
      const auto mode = scene::FindValue(scene::DocumentModeNames(), name);
      if (!mode) return Refuse("no such editing mode");
      doc->SetMode(*mode);
    } else if (what == "view") {
      const auto index = integer("index");
      if (!index || *index < 0 || *index >= doc->GetBaseDrawCount()) return Refuse("no such view");
      doc->SetActiveBaseDraw(static_cast<Int32>(*index));
    } else if (what == "select") {
      const auto object = integer("object");
      BaseObject* op =
          object ? FindObject(doc->GetFirstObject(), static_cast<UInt64>(*object)) : nullptr;
      if (object && *object != 0 && !op) return Refuse("no such object");
      const bool add = a.value("add", false);
      if (op && add && op->GetBit(BIT_ACTIVE))
        doc->SetActiveObject(op, SELECTION_SUB);
      else
        doc->SetActiveObject(op, add ? SELECTION_ADD : SELECTION_NEW);
    } else if (what == "undo" || what == "redo") {
      if (what == "undo" ? !doc->DoUndo() : !doc->DoRedo()) return Refuse("nothing to " + what);
      geometry = true;
    } else {
      return Refuse("unknown action \"" + what + "\"");
    }
    Changed(geometry);
  }
  return JsonReply(StateJson());
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
