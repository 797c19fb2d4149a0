// pmxexport mixer: opens the morph mixer on a scene file headless, lists its rows as a person
// sees them, moves sliders and presses its buttons through the dialog's own handling, and
// writes the scene back.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "c4d_host.h"
#include "c4d_symbols.h"
#include "commands.h"
#include "scene_file.h"
#include "viewport_app.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Loads the scene file SCENE and opens the morph mixer (command 1032051) on it: one row\n"
    "per morph target name of the document's morph objects, with the value of the first\n"
    "target of that name, in percent. Prints the rows, then, in this order: presses 'reset'\n"
    "(every strength to 0), moves the slider of each NAME given with --set to PERCENT (every\n"
    "target of that name in every morph object follows), presses 'apply' (every row's value\n"
    "into every target of its name), prints the rows again and writes the document, its\n"
    "morph objects evaluated anew, to OUTPUT.json when -o is given.";

/// One row as a person sees it: the name beside a slider.
struct MixerRow {
  GeDialog* owner = nullptr;  // the dialog that holds the slider
  Int32 sliderId = 0;
  std::string name;
  Float percent = 0.0;
};

/// The shown rows of the open mixer window, in order: each visible slider with the static
/// text before it in its group.
std::vector<MixerRow> ShownRows(GeDialog* window) {
  std::vector<MixerRow> rows;
  const DialogGadgetState* text = nullptr;
  for (const host::WindowGadget& g : host::WindowGadgets(window)) {
    if (!g.visible) continue;
    if (g.state->kind == "STATICTEXT") {
      text = g.state;
    } else if (g.state->kind == "EDITSLIDER" && text && text->parent == g.state->parent) {
      rows.push_back({g.owner, g.state->id, text->label.GetUtf8(), g.state->value.GetFloat()});
      text = nullptr;
    }
  }
  return rows;
}

/// A percent as the slider shows it: at most two decimals, no trailing zeros.
std::string Percent(Float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  std::string s = buf;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

void PrintRows(GeDialog* window) {
  const std::vector<MixerRow> rows = ShownRows(window);
  if (rows.empty()) std::printf("  (no morph targets)\n");
  for (const MixerRow& r : rows)
    std::printf("  %s = %s%%\n", r.name.c_str(), Percent(r.percent).c_str());
}

/// "NAME=PERCENT" (the last '=' splits, so a name may hold one); PERCENT from 0 to 100.
bool SplitRowSetting(const std::string& text, std::string* name, Float* percent) {
  const size_t eq = text.rfind('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) return false;
  const std::string number = text.substr(eq + 1);
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(number.c_str(), &end);
  if (!end || *end != '\0' || errno || !std::isfinite(v) || v < 0.0 || v > 100.0) return false;
  *name = text.substr(0, eq);
  *percent = v;
  return true;
}

/// What the host does after a person's action: the document is evaluated (the morph objects
/// rebuild and tell the open dialogs) and the views are drawn.
void Update(BaseDocument* doc) { host::RedrawDocument(doc); }

}  // namespace

int RunMixer(const std::vector<std::string>& args) {
  CommandLine cli("mixer",
                  "mixer SCENE [--reset] [--set NAME=PERCENT ...] [--apply] [-o OUTPUT.json]",
                  kDescription);
  std::string input, output;
  std::vector<std::string> settings;
  bool reset = false, apply = false;
  cli.Positional("SCENE", "SCENE (the scene file)", &input);
  cli.Flag("--reset", &reset, "press the button that sets every strength to 0");
  cli.Values("--set", &settings, "NAME=PERCENT",
             "move the slider of the row NAME to PERCENT (0 to 100;\nmay be given many times; "
             "applied in order)");
  cli.Flag("--apply", &apply, "press the button that writes every row into the document");
  const CLI::Option* outputOption = cli.Value(
      "-o,--output", &output, "FILE", "the scene file to write (replaced only when complete)");
  if (auto code = cli.Parse(args)) return *code;
  if (outputOption->count() > 0 && output.empty()) return cli.UsageError("-o needs a file name");
  std::vector<std::pair<std::string, Float>> moves;
  for (const std::string& s : settings) {
    std::string name;
    Float percent = 0.0;
    if (!SplitRowSetting(s, &name, &percent))
      return cli.UsageError("--set needs NAME=PERCENT with a percent from 0 to 100, not '" + s +
                            "'");
    moves.emplace_back(name, percent);
  }

  std::unique_ptr<BaseDocument> doc = LoadActiveScene(cli, input);
  if (!doc) return kExitFailure;
  const host::PluginInfo* p = FindCommand(cli, std::to_string(ID_PMXMORPHMIXER));
  if (!p) return kExitFailure;
  GeDialog* window = p->command->Execute(doc.get()) ? host::FindOpenDialog(p->id) : nullptr;
  if (!window) {
    cli.Error("the morph mixer did not open");
    return kExitFailure;
  }
  std::printf("%s (%d)\n", p->name.GetUtf8().c_str(), p->id);
  PrintRows(window);

  const auto fail = [&](const std::string& message) {
    cli.Error(message);
    window->Close();
    return kExitFailure;
  };
  if (reset) {
    if (!window->ChangeGadget(MORPH_MIXER_RESET, GeData(true)))
      return fail("the morph mixer has no reset button");
    std::printf("pressed reset\n");
    Update(doc.get());
  }
  for (const auto& [name, percent] : moves) {
    const std::vector<MixerRow> rows = ShownRows(window);
    const MixerRow* row = nullptr;
    for (const MixerRow& r : rows) {
      if (r.name == name) row = &r;
      if (row) break;
    }
    if (!row) {
      std::string names;
      for (const MixerRow& r : rows) names += (names.empty() ? "" : ", ") + r.name;
      return fail("the morph mixer shows no row named '" + name +
                  "' (rows: " + (names.empty() ? "none" : names) + ")");
    }
    if (!row->owner->ChangeGadget(row->sliderId, GeData(percent)))
      return fail("the slider of '" + name + "' cannot take " + Percent(percent));
    std::printf("set %s to %s%%\n", name.c_str(), Percent(percent).c_str());
    Update(doc.get());
  }
  if (apply) {
    if (!window->ChangeGadget(MORPH_MIXER_APPLY, GeData(true)))
      return fail("the morph mixer has no apply button");
    std::printf("pressed apply\n");
    Update(doc.get());
  }
  if (reset || apply || !moves.empty()) {
    std::printf("rows now:\n");
    PrintRows(window);
  }
  window->Close();
  if (outputOption->count() > 0) {
    std::string error;
    if (!SaveSceneFile(doc.get(), output, &error)) {
      cli.Error(error);
      return kExitFailure;
    }
  }
  return kExitOk;
}

}  // namespace pmxapp
