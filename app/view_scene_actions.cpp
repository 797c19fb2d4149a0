// The scene page's actions: one change as a person makes it in the host (a command, a dialog
// gadget, a parameter or button, the camera, the display or editing mode, the view, the
// selection, undo and redo).
#include <cmath>
#include <optional>

#include "c4d_host.h"
#include "scene_format.h"
#include "view_scene.h"
#include "view_scene_internal.h"

namespace pmxapp {

using namespace viewscene;

namespace {

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

}  // namespace

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

}  // namespace pmxapp
