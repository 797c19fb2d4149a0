// pmxexport press: presses a button in the attribute manager of an object or a tag, as a
// person would in the host, and writes the changed scene back.
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "OPmxMorph.h"
#include "TPmxEdge.h"
#include "app_host.h"
#include "c4d_host.h"
#include "cli.h"
#include "commands.h"
#include "model_import.h"
#include "scene_file.h"
#include "scene_format.h"

namespace pmxapp {

namespace {

std::string HelpText() {
  return "Loads the scene file (or model file) SCENE, lets the host evaluate it as it does\n"
         "before a person can click, presses the button ID in the attribute manager of the object\n"
         "NAME (or of its tag TYPE_OR_NAME) and writes the document back to OUTPUT.json. For "
         "example the morph\n"
         "object's buttons " +
         std::to_string(PMXMORPH_ADD_TARGET) + " (a new target from the shown mix) and " +
         std::to_string(PMXMORPH_BAKE_MIX) +
         " (bake the mix into the base), or the\n"
         "PMX edge tag's " +
         std::to_string(PMX_EDGE_CREATE_VERTEX_MAP) + ".";
}

void CollectByName(BaseObject* op, const String& name, std::vector<BaseObject*>* out) {
  for (; op; op = op->GetNext()) {
    if (op->GetName() == name) out->push_back(op);
    CollectByName(op->GetDown(), name, out);
  }
}

/// The one tag of `op` that `key` names (type name, type number or tag name).
BaseTag* FindTag(BaseObject* op, const std::string& key, std::string* error) {
  std::optional<Int32> type = scene::FindValue(scene::TagTypeNames(), key);
  if (!type) {
    char* end = nullptr;
    const long n = std::strtol(key.c_str(), &end, 10);
    if (!key.empty() && end && *end == '\0') type = static_cast<Int32>(n);
  }
  std::vector<BaseTag*> found;
  for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) {
    if ((type && t->GetType() == *type) || t->GetName() == String(key)) found.push_back(t);
  }
  const std::string where = "object \"" + op->GetName().GetUtf8() + "\"";
  if (found.empty()) {
    *error = where + " has no tag \"" + key + "\"";
    return nullptr;
  }
  if (found.size() > 1) {
    *error = where + " has " + std::to_string(found.size()) + " tags \"" + key +
             "\"; give a tag name that only one of them has";
    return nullptr;
  }
  return found[0];
}

/// The buttons of a description, as "1010 (Add Target from Mix), ..." for messages.
std::string ButtonList(const Description& d) {
  std::string list;
  for (const DescriptionEntry& e : d.Entries()) {
    if (e.type != DTYPE_BUTTON) continue;
    if (!list.empty()) list += ", ";
    list += std::to_string(e.id.id);
    const String name = e.settings.GetString(DESC_NAME);
    if (name.Content()) list += " (" + name.GetUtf8() + ")";
  }
  return list.empty() ? "none" : list;
}

}  // namespace

int RunPress(const std::vector<std::string>& args) {
  CommandLine cli("press",
                  "press SCENE --object NAME [--tag TYPE_OR_NAME] --button ID\n"
                  "                       -o OUTPUT.json [--undo]",
                  HelpText());
  std::string input, objectName, tagKey, buttonText, output;
  bool undo = false;
  cli.Positional("SCENE", "SCENE (the scene file or model file)", &input);
  cli.Value("--object", &objectName, "NAME",
            "the object, by name; it must be the only one of that name");
  const CLI::Option* tagOption =
      cli.Value("--tag", &tagKey, "TYPE_OR_NAME",
                "a tag of that object: a type as the scene file names it\n"
                "(pmxedge, pmxboneoption, ...), a type number, or the tag's\n"
                "name; it must be the only such tag on the object");
  const CLI::Option* buttonOption =
      cli.Value("--button", &buttonText, "ID", "the button's parameter id");
  cli.Value("-o,--output", &output, "FILE",
            "the scene file to write (replaced only when complete)");
  cli.Flag("--undo", &undo,
           "undo what the press did before writing, as the host's\n"
           "Edit > Undo would (the press must make one undo step)");
  if (auto code = cli.Parse(args)) return *code;
  const bool tagGiven = tagOption->count() > 0;
  if (objectName.empty()) return cli.UsageError("missing --object NAME");
  if (tagGiven && tagKey.empty()) return cli.UsageError("--tag needs a type or a name");
  if (buttonOption->count() == 0) return cli.UsageError("missing --button ID");
  char* end = nullptr;
  const long buttonLong = std::strtol(buttonText.c_str(), &end, 10);
  if (buttonText.empty() || !end || *end != '\0' || buttonLong < 0 || buttonLong > 0x7fffffff)
    return cli.UsageError("--button needs a parameter id (a whole number), not '" + buttonText +
                          "'");
  const Int32 button = static_cast<Int32>(buttonLong);
  if (output.empty()) return cli.UsageError("missing -o OUTPUT.json");
  std::string error;

  if (!StartHost(&error)) {
    cli.Error(error);
    return kExitFailure;
  }
  std::unique_ptr<BaseDocument> doc = LoadInputDocument(input, nullptr, &error);
  if (!doc) {
    cli.Error(error);
    return kExitFailure;
  }
  // The document closes (and stops being the active one) when the command ends.
  SetActiveDocument(doc.get());
  // Buttons act on what the editor shows: generators' results must exist.
  doc->ExecutePasses(nullptr, true, true, true, BUILDFLAGS_0);

  std::vector<BaseObject*> objects;
  CollectByName(doc->GetFirstObject(), String(objectName), &objects);
  if (objects.size() != 1) {
    cli.Error(objects.empty()
                  ? input + " has no object \"" + objectName + "\""
                  : input + " has " + std::to_string(objects.size()) + " objects named \"" +
                        objectName + "\"; rename one so that the press is unambiguous");
    return kExitFailure;
  }
  BaseList2D* node = objects[0];
  std::string what = "object \"" + objectName + "\"";
  if (tagGiven) {
    node = FindTag(objects[0], tagKey, &error);
    if (!node) {
      cli.Error(error);
      return kExitFailure;
    }
    what = "tag \"" + tagKey + "\" of " + what;
  }

  // Only what the attribute manager shows as a button can be pressed.
  Description description;
  node->GetDescription(&description, DESCFLAGS_DESC_0);
  const DescriptionEntry* entry = description.Find(button);
  if (!entry || entry->type != DTYPE_BUTTON) {
    cli.Error("the " + what + " has no button " + std::to_string(button) +
              " (its buttons: " + ButtonList(description) + ")");
    return kExitFailure;
  }

  const Int32 stepsBefore = doc->GetUndoStepCount();
  DescriptionCommand dc;
  dc.id = DescID(button);
  node->Message(MSG_DESCRIPTION_COMMAND, &dc);
  EventAdd();
  const Int32 steps = doc->GetUndoStepCount() - stepsBefore;
  if (undo) {
    if (steps != 1) {
      cli.Error("the press made " + std::to_string(steps) +
                " undo steps, not one; nothing was written");
      return kExitFailure;
    }
    doc->DoUndo();
  }
  doc->ExecutePasses(nullptr, true, true, true, BUILDFLAGS_0);

  const String label = entry->settings.GetString(DESC_NAME);
  std::printf("pressed %d%s of the %s%s\n", button,
              label.Content() ? (" (" + label.GetUtf8() + ")").c_str() : "", what.c_str(),
              undo ? ", then undid it" : "");
  if (!SaveSceneFile(doc.get(), output, &error)) {
    cli.Error(error);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace pmxapp
