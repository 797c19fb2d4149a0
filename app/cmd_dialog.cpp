// pmxexport dialog: opens the dialog of a command headless, shows its gadgets as a person
// would see them, changes gadgets through the dialog's own handling and writes the scene back.
#include <cstdio>

#include "c4d_host.h"
#include "commands.h"
#include "scene_file.h"
#include "viewport_app.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Loads the scene file SCENE, runs the command ID that opens a dialog (the triangulation\n"
    "line options 1038120, the morph mixer 1032051), prints the gadgets a person sees with\n"
    "their values and ranges, changes each GADGET given with --set (on/off, a number, r,g,b,\n"
    "or anything for a button, which presses it) as a person would, prints the gadgets again\n"
    "and writes the document back to OUTPUT.json.";

const char* KindName(const DialogGadgetState& g) {
  using V = DialogGadgetState::Value;
  if (g.kind == "BUTTON") return "button";
  if (g.kind == "EDITSLIDER") return "slider";
  switch (g.valueType) {
    case V::Flag:
      return "check box";
    case V::Integer:
      return "integer field";
    case V::Real:
      return "real field";
    case V::Color:
      return "colour field";
    case V::Text:
      return "text field";
    case V::None:
      break;
  }
  return g.kind == "CHECKBOX" ? "check box" : g.kind == "COLORFIELD" ? "colour field" : "field";
}

Int32 TypeOf(const DialogGadgetState& g) {
  using V = DialogGadgetState::Value;
  if (g.valueType == V::Real) return DA_REAL;
  if (g.valueType == V::Text) return DA_STRING;
  if (g.valueType == V::Color || g.kind == "COLORFIELD") return DA_VECTOR;
  return DA_LONG;
}

bool HasValue(const DialogGadgetState& g) {
  return g.kind != "GROUP" && g.kind != "SCROLLGROUP" && g.kind != "SUBDIALOG" &&
         g.kind != "STATICTEXT" && g.kind != "SEPARATOR";
}

/// The gadgets of the window whose values a person reads or changes, each with the text a
/// person reads beside it: its own label, or else the static text just before it in the same
/// group (a name beside its slider).
struct ShownGadget {
  GeDialog* owner;
  const DialogGadgetState* state;
  String label;
  bool visible;
};

std::vector<ShownGadget> ValueGadgets(GeDialog* dlg) {
  std::vector<ShownGadget> out;
  const DialogGadgetState* text = nullptr;
  for (const host::WindowGadget& w : host::WindowGadgets(dlg)) {
    const DialogGadgetState& g = *w.state;
    if (g.kind == "STATICTEXT") {
      text = &g;
      continue;
    }
    if (!HasValue(g)) {
      text = nullptr;
      continue;
    }
    String label = g.label;
    if (label.GetLength() == 0 && text && text->parent == g.parent) label = text->label;
    text = nullptr;
    out.push_back({w.owner, &g, label, w.visible});
  }
  return out;
}

void PrintGadgets(GeDialog* dlg) {
  using V = DialogGadgetState::Value;
  size_t hidden = 0;
  for (const ShownGadget& shown : ValueGadgets(dlg)) {
    const DialogGadgetState& g = *shown.state;
    // A dialog may keep many gadgets hidden until it needs them (the mixer's 1000 rows).
    if (!shown.visible) {
      ++hidden;
      continue;
    }
    if (g.kind == "BUTTON") {
      std::printf("  %-6d %-14s %s\n", g.id, KindName(g), shown.label.GetUtf8().c_str());
      continue;
    }
    std::string value =
        g.valueType == V::None ? "(empty)" : ShowValue(g.value, g.valueType == V::Flag);
    if (g.valueType == V::Integer || g.valueType == V::Real) {
      value += "  (" + ShowValue(GeData(g.min), false) + " to " + ShowValue(GeData(g.max), false) +
               ", step " + ShowValue(GeData(g.step), false) + ")";
    }
    if (g.valueType == V::Color)
      value += "  (brightness " + ShowValue(GeData(g.brightness), false) + ")";
    std::printf("  %-6d %-14s %-28s %s\n", g.id, KindName(g), shown.label.GetUtf8().c_str(),
                value.c_str());
  }
  if (hidden > 0) std::printf("  (%zu hidden gadgets)\n", hidden);
}

}  // namespace

int RunDialog(const std::vector<std::string>& args) {
  CommandLine cli("dialog", "dialog SCENE --id N [--set GADGET=VALUE ...] -o OUTPUT.json",
                  kDescription);
  std::string input, idText, output;
  std::vector<std::string> settings;
  cli.Positional("SCENE", "SCENE (the scene file)", &input);
  const CLI::Option* idOption =
      cli.Value("--id", &idText, "N", "the plug-in id of the command that opens the dialog");
  cli.Values("--set", &settings, "GADGET=VALUE",
             "change a gadget, as a person would (may be given\nmany times; applied in order)");
  cli.Value("-o,--output", &output, "FILE",
            "the scene file to write (replaced only when complete)");
  if (auto code = cli.Parse(args)) return *code;
  if (idOption->count() == 0) return cli.UsageError("missing --id N");
  if (output.empty()) return cli.UsageError("missing -o OUTPUT.json");
  std::vector<std::pair<Int32, std::string>> changes;
  for (const std::string& s : settings) {
    Int32 id = 0;
    std::string value;
    if (!SplitSetting(s, &id, &value))
      return cli.UsageError("--set needs GADGET=VALUE with a gadget id, not '" + s + "'");
    changes.emplace_back(id, value);
  }

  std::unique_ptr<BaseDocument> doc = LoadActiveScene(cli, input);
  if (!doc) return kExitFailure;
  const host::PluginInfo* p = FindCommand(cli, idText);
  if (!p) return kExitFailure;
  if (!p->command->Execute(doc.get())) {
    cli.Error("the command " + idText + " did not open its dialog");
    return kExitFailure;
  }
  GeDialog* dlg = host::FindOpenDialog(p->id);
  if (!dlg) {
    cli.Error("the command " + idText + " opened no dialog");
    return kExitFailure;
  }
  std::printf("%s (%d)\n", p->name.GetUtf8().c_str(), p->id);
  PrintGadgets(dlg);
  for (const auto& [id, text] : changes) {
    std::optional<ShownGadget> target;
    for (const ShownGadget& g : ValueGadgets(dlg)) {
      if (g.state->id == id && g.visible) {
        target = g;
        break;
      }
    }
    if (!target) {
      cli.Error("the dialog shows no gadget " + std::to_string(id));
      dlg->Close();
      return kExitFailure;
    }
    const DialogGadgetState* g = target->state;
    const std::string label = target->label.GetUtf8();
    const bool button = g->kind == "BUTTON";
    std::optional<GeData> value = button ? GeData(true) : ValueOfType(text, TypeOf(*g));
    if (!value || !target->owner->ChangeGadget(id, *value)) {
      cli.Error("gadget " + std::to_string(id) + " (" + KindName(*g) + ") cannot take '" + text +
                "'");
      dlg->Close();
      return kExitFailure;
    }
    if (button) {
      std::printf("pressed %d (%s)\n", id, label.c_str());
      continue;
    }
    // The dialog may have laid itself out anew while it handled the change.
    const DialogGadgetState* now = target->owner->FindGadget(id);
    std::printf(
        "set %d (%s) to %s\n", id, label.c_str(),
        now ? ShowValue(now->value, now->valueType == DialogGadgetState::Value::Flag).c_str()
            : "-");
  }
  if (!changes.empty()) PrintGadgets(dlg);
  dlg->Close();
  std::string error;
  if (!SaveSceneFile(doc.get(), output, &error)) {
    cli.Error(error);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace pmxapp
