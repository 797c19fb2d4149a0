// The scene page's state: the objects and morph objects with their parameters, the active
// view with its camera and the scene hooks' recorded draw calls, the commands, the open
// dialogs' gadgets, undo and redo.
#include <algorithm>
#include <map>
#include <string_view>

#include "OPmxMorph.h"
#include "c4d_host.h"
#include "c4d_symbols.h"
#include "scene_format.h"
#include "view_scene.h"
#include "view_scene_internal.h"

namespace pmxapp {

namespace viewscene {

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

}  // namespace viewscene

using namespace viewscene;

namespace {

Json MatrixJson(const Matrix& m) {
  return {{"off", Vec(m.off)}, {"v1", Vec(m.v1)}, {"v2", Vec(m.v2)}, {"v3", Vec(m.v3)}};
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

}  // namespace pmxapp
