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
    "line options 1038120), prints the dialog's gadgets with their values and ranges, changes\n"
    "each GADGET given with --set (on/off, a number, or r,g,b) as a person would, prints the\n"
    "gadgets again and writes the document back to OUTPUT.json.";

const char* KindName(const DialogGadgetState& g) {
  using V = DialogGadgetState::Value;
  switch (g.valueType) {
    case V::Flag:
      return "check box";
    case V::Integer:
      return "integer field";
    case V::Real:
      return "real field";
    case V::Color:
      return "colour field";
    case V::None:
      break;
  }
  return g.kind == "CHECKBOX" ? "check box" : g.kind == "COLORFIELD" ? "colour field" : "field";
}

Int32 TypeOf(const DialogGadgetState& g) {
  using V = DialogGadgetState::Value;
  if (g.valueType == V::Real) return DA_REAL;
  if (g.valueType == V::Color || g.kind == "COLORFIELD") return DA_VECTOR;
  return DA_LONG;
}

bool HasValue(const DialogGadgetState& g) {
  return g.kind != "GROUP" && g.kind != "STATICTEXT" && g.kind != "SEPARATOR";
}

void PrintGadgets(const GeDialog& dlg) {
  using V = DialogGadgetState::Value;
  for (const DialogGadgetState& g : dlg.GetGadgets()) {
    if (!HasValue(g)) continue;
    std::string value =
        g.valueType == V::None ? "(empty)" : ShowValue(g.value, g.valueType == V::Flag);
    if (g.valueType == V::Integer || g.valueType == V::Real) {
      value += "  (" + ShowValue(GeData(g.min), false) + " to " + ShowValue(GeData(g.max), false) +
               ", step " + ShowValue(GeData(g.step), false) + ")";
    }
    if (g.valueType == V::Color)
      value += "  (brightness " + ShowValue(GeData(g.brightness), false) + ")";
    std::printf("  %-6d %-14s %-28s %s%s\n", g.id, KindName(g), g.label.GetUtf8().c_str(),
                value.c_str(), g.shown ? "" : "  [hidden]");
  }
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
  PrintGadgets(*dlg);
  for (const auto& [id, text] : changes) {
    const DialogGadgetState* g = dlg->FindGadget(id);
    if (!g || !HasValue(*g)) {
      cli.Error("the dialog has no gadget " + std::to_string(id));
      dlg->Close();
      return kExitFailure;
    }
    std::optional<GeData> value = ValueOfType(text, TypeOf(*g));
    if (!value || !dlg->ChangeGadget(id, *value)) {
      cli.Error("gadget " + std::to_string(id) + " (" + KindName(*g) + ") cannot take '" + text +
                "'");
      dlg->Close();
      return kExitFailure;
    }
    std::printf("set %d (%s) to %s\n", id, g->label.GetUtf8().c_str(),
                ShowValue(g->value, g->valueType == DialogGadgetState::Value::Flag).c_str());
  }
  if (!changes.empty()) PrintGadgets(*dlg);
  dlg->Close();
  std::string error;
  if (!SaveSceneFile(doc.get(), output, &error)) {
    cli.Error(error);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace pmxapp
