// pmxexport draw: runs one redraw of a scene file's views and writes every call the scene
// hooks made on each view, in order, as JSON.
#include <nlohmann/json.hpp>

#include "c4d_host.h"
#include "c4d_symbols.h"
#include "commands.h"
#include "scene_format.h"
#include "viewport_app.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Loads the scene file SCENE, redraws its views as the host does after an update, and\n"
    "writes every call the scene hooks made on each view to CALLS.json: one record per call,\n"
    "in order, with the pen, transparency, matrix and z-offset in force after it. --set changes\n"
    "a parameter of the triangulation line hook first (ID=VALUE: on/off, a number, or r,g,b).";

using Json = nlohmann::ordered_json;

Json Vec(const Vector& v) { return Json::array({v.x, v.y, v.z}); }

Json Record(const DrawCall& c) {
  Json j = Json::object();
  j["call"] = DrawCallKindName(c.kind);
  switch (c.kind) {
    case DrawCall::Kind::SetTransparency:
    case DrawCall::Kind::SetLightList:
      j["value"] = c.value;
      break;
    case DrawCall::Kind::DrawLine:
    case DrawCall::Kind::DrawPolygon: {
      Json points = Json::array();
      for (const Vector& p : c.points) points.push_back(Vec(p));
      j["points"] = std::move(points);
      if (c.kind == DrawCall::Kind::DrawPolygon) {
        Json colors = Json::array(), normals = Json::array();
        for (const Vector& p : c.colors) colors.push_back(Vec(p));
        for (const Vector& p : c.normals) normals.push_back(Vec(p));
        j["colors"] = std::move(colors);
        j["normals"] = std::move(normals);
      } else {
        j["flags"] = c.value;
      }
      break;
    }
    case DrawCall::Kind::CheckColor:
      j["in"] = Vec(c.colors[0]);
      j["out"] = Vec(c.colors[1]);
      break;
    default:
      break;
  }
  j["pen"] = Vec(c.pen);
  j["transparency"] = c.transparency;
  j["lightList"] = c.lightList;
  j["matrix"] =
      Json::array({Vec(c.matrix.off), Vec(c.matrix.v1), Vec(c.matrix.v2), Vec(c.matrix.v3)});
  j["zoffset"] = c.zoffset;
  return j;
}

/// The calls of the views, one record a line, so that a person can read them.
std::string CallsText(BaseDocument* doc, const std::string& onlyView) {
  std::string text = "{\"views\": [";
  bool firstView = true;
  for (Int32 v = 0; v < doc->GetBaseDrawCount(); ++v) {
    BaseDraw* bd = doc->GetBaseDraw(v);
    if (!onlyView.empty() && bd->GetName().GetUtf8() != onlyView) continue;
    Json head = Json::object();
    head["name"] = bd->GetName().GetUtf8();
    std::string_view mode = scene::FindName(scene::DisplayModeNames(), bd->GetDisplayMode());
    head["display"] = mode.empty() ? Json(bd->GetDisplayMode()) : Json(std::string(mode));
    std::string h = head.dump();
    h.pop_back();
    text += (firstView ? "\n  " : ",\n  ") + h + ", \"calls\": [";
    firstView = false;
    bool firstCall = true;
    for (const DrawCall& c : bd->GetCalls()) {
      text += (firstCall ? "\n    " : ",\n    ") + Record(c).dump();
      firstCall = false;
    }
    text += firstCall ? "]}" : "\n  ]}";
  }
  text += "\n]}\n";
  return text;
}

}  // namespace

int RunDraw(const std::vector<std::string>& args) {
  CommandLine cli("draw", "draw SCENE -o CALLS.json [--view NAME] [--set ID=VALUE ...]",
                  kDescription);
  std::string input, output, view;
  std::vector<std::string> settings;
  cli.Positional("SCENE", "SCENE (the scene file)", &input);
  cli.Value("-o,--output", &output, "FILE", "the JSON file of recorded calls to write");
  cli.Value("--view", &view, "NAME", "write only the view of that name");
  cli.Values("--set", &settings, "ID=VALUE",
             "set parameter ID of the triangulation line hook\n"
             "before the redraw (may be given many times)");
  if (auto code = cli.Parse(args)) return *code;
  if (output.empty()) return cli.UsageError("missing -o CALLS.json");
  std::vector<std::pair<Int32, std::string>> changes;
  for (const std::string& s : settings) {
    Int32 id = 0;
    std::string value;
    if (!SplitSetting(s, &id, &value))
      return cli.UsageError("--set needs ID=VALUE with a parameter id, not '" + s + "'");
    changes.emplace_back(id, value);
  }

  std::unique_ptr<BaseDocument> doc = LoadActiveScene(cli, input);
  if (!doc) return kExitFailure;
  if (!view.empty()) {
    bool found = false;
    for (Int32 v = 0; v < doc->GetBaseDrawCount(); ++v)
      found = found || doc->GetBaseDraw(v)->GetName().GetUtf8() == view;
    if (!found) {
      cli.Error(input + " has no view \"" + view + "\"");
      return kExitFailure;
    }
  }
  if (!changes.empty()) {
    BaseSceneHook* hook = doc->FindSceneHook(ID_TRILINESDRAW);
    if (!hook) {
      cli.Error("the triangulation line hook is not registered; nothing can be set");
      return kExitFailure;
    }
    BaseContainer* bc = hook->GetDataInstance();
    for (const auto& [id, text] : changes) {
      const GeData* now = bc->GetDataPointer(id);
      if (!now) {
        cli.Error("the triangulation line hook has no parameter " + std::to_string(id));
        return kExitFailure;
      }
      std::optional<GeData> value = ValueOfType(text, now->GetType());
      if (!value) {
        cli.Error("parameter " + std::to_string(id) + " takes " +
                  (now->GetType() == DA_VECTOR ? "r,g,b"
                   : now->GetType() == DA_REAL ? "a number"
                                               : "on, off or a whole number") +
                  ", not '" + text + "'");
        return kExitFailure;
      }
      bc->SetData(id, *value);
    }
  }
  host::RedrawDocument(doc.get());
  std::string error;
  if (!WriteTextFile(output, CallsText(doc.get(), view), &error)) {
    cli.Error(error);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace pmxapp
