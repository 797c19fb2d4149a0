// pmxexport info: what a model file or scene file holds, by the names the other commands take
// (--object, --source, ...).
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app_host.h"
#include "c4d_symbols.h"
#include "cli.h"
#include "commands.h"
#include "import_options.h"
#include "model_import.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Lists what INPUT holds once read: its objects (with their points, polygons and\n"
    "materials), joints, materials (with their textures) and shapes, by the names that\n"
    "--object, --source and the like take. INPUT is a model file (FBX, glTF/GLB, COLLADA,\n"
    "SMD, OBJ, ...) or a scene file. For a model file the first line tells the format the\n"
    "import library recognised, its axes and unit, and the model's height.";

std::string Plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

struct Listing {
  std::vector<std::string> objects, joints, shapes;
};

std::string MaterialsOf(BaseObject* op) {
  std::string list;
  for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) {
    if (t->GetType() != Ttexture) continue;
    BaseMaterial* m = static_cast<TextureTag*>(t)->GetMaterial();
    if (!m) continue;
    list += (list.empty() ? "" : ", ") + m->GetName().GetUtf8();
  }
  return list;
}

void Walk(BaseObject* op, int objectDepth, int jointDepth, Listing* out) {
  for (; op; op = op->GetNext()) {
    const std::string name = op->GetName().GetUtf8();
    if (op->GetType() == Ojoint) {
      out->joints.push_back(std::string(2 * static_cast<size_t>(jointDepth), ' ') + name);
      Walk(op->GetDown(), objectDepth, jointDepth + 1, out);
      continue;
    }
    std::string line = std::string(2 * static_cast<size_t>(objectDepth), ' ') + name + "  (";
    if (op->GetType() == ID_PMXMORPHOBJECT) {
      std::vector<std::string> targets;
      bool base = true;
      for (BaseObject* c = op->GetDown(); c; c = c->GetNext()) {
        if (c->GetType() != Opolygon) continue;
        if (!base) targets.push_back(c->GetName().GetUtf8());
        base = false;
      }
      line += "morph object, " + Plural(targets.size(), "shape", "shapes");
      for (const std::string& t : targets) out->shapes.push_back(name + ": " + t);
    } else if (op->GetType() == Opolygon) {
      auto* poly = static_cast<PolygonObject*>(op);
      line += "polygon object, " +
              Plural(static_cast<size_t>(poly->GetPointCount()), "point", "points") + ", " +
              Plural(static_cast<size_t>(poly->GetPolygonCount()), "polygon", "polygons");
      const std::string materials = MaterialsOf(op);
      if (!materials.empty()) line += ", materials " + materials;
    } else if (op->GetType() == Onull) {
      line += "null";
    } else {
      line += "type " + std::to_string(op->GetType());
    }
    out->objects.push_back(line + ")");
    // A morph object's polygon children are its base and shapes, listed with it.
    if (op->GetType() != ID_PMXMORPHOBJECT) Walk(op->GetDown(), objectDepth + 1, jointDepth, out);
  }
}

void PrintSection(const char* title, const std::vector<std::string>& lines) {
  std::printf("%s (%zu):\n", title, lines.size());
  for (const std::string& l : lines) std::printf("  %s\n", l.c_str());
}

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
  CommandLine cli("info", "info INPUT [options]", kDescription);
  std::string input;
  cli.Positional("INPUT", "INPUT (the model file or scene file)", &input);
  ImportOptionText importText;
  AddImportOptions(cli, &importText);
  if (auto code = cli.Parse(args)) return *code;
  ImportOptions importOptions;
  std::string error;
  if (!ReadImportOptions(importText, &importOptions, &error)) return cli.UsageError(error);
  if (!StartHost(&error)) {
    cli.Error(error);
    return kExitFailure;
  }
  ImportSummary summary;
  bool isModel = false;
  std::unique_ptr<BaseDocument> doc =
      LoadInputDocument(input, &summary, &error, &isModel, importOptions);
  if (!doc) {
    cli.Error(error);
    return kExitFailure;
  }
  if (isModel) {
    std::printf("%s\n", FormatImportSummary(summary).c_str());
    for (const std::string& w : summary.warnings) std::printf("Warning: %s\n", w.c_str());
  } else {
    std::printf("%s: scene file, its meshes %.1f document units tall\n",
                std::filesystem::path(input).filename().string().c_str(),
                DocumentHeight(doc.get()));
  }
  Listing listing;
  Walk(doc->GetFirstObject(), 0, 0, &listing);
  std::vector<std::string> materials;
  for (BaseMaterial* m = doc->GetFirstMaterial(); m; m = m->GetNext()) {
    std::string line = m->GetName().GetUtf8();
    const std::string texture =
        m->GetChannelState(CHANNEL_COLOR)
            ? m->GetChannel(CHANNEL_COLOR)->GetData().GetString(BASECHANNEL_TEXTURE).GetUtf8()
            : std::string();
    if (!texture.empty()) line += "  (texture " + texture + ")";
    materials.push_back(line);
  }
  PrintSection("Objects", listing.objects);
  PrintSection("Joints", listing.joints);
  PrintSection("Materials", materials);
  PrintSection("Shapes", listing.shapes);
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

}  // namespace pmxapp
