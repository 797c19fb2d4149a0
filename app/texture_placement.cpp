// Textures for a PMX: relative to where it is written, or copied beside it. A model file may
// name any file on the machine (absolute paths, "../", "file://"), so only images inside the
// model's folder tree or a folder the user names are named or copied.
#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "file_safety.h"
#include "model_import.h"
#include "model_import_internal.h"

namespace fs = std::filesystem;

namespace pmxapp {

using modelimport::Basename;

namespace {

std::string WithBackslashes(std::string s) {
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

/// Where a texture file may come from, with links resolved.
struct Roots {
  std::vector<fs::path> folders;

  bool Allow(const fs::path& file) const {
    for (const fs::path& r : folders)
      if (IsInsideFolder(file, r)) return true;
    return false;
  }
};

/// Removes the files an unsuccessful placement made.
void RemoveAll(std::vector<std::string>* made) {
  std::error_code ec;
  for (const std::string& f : *made) fs::remove(f, ec);
  made->clear();
}

}  // namespace

bool PlaceTextures(BaseDocument* doc, const std::string& inputPath,
                   const std::vector<ModelTexture>& textures, const std::string& outputPath,
                   const TexturePlacement& placement, std::vector<std::string>* messages,
                   std::string* error, std::vector<std::string>* created) {
  std::error_code ec;
  if (placement.copy && OutputIsStream(outputPath)) {
    *error = "cannot copy textures beside " + outputPath +
             ": it is a device or a pipe, not a file in a folder";
    return false;
  }
  fs::path outDir = OutputFolder(outputPath);
  if (placement.textureFolder && placement.copy) {
    std::string folder = *placement.textureFolder;
    std::replace(folder.begin(), folder.end(), '\\', '/');
    outDir = (outDir / folder).lexically_normal();
    fs::create_directories(outDir, ec);
    if (ec) {
      *error = "cannot make the texture folder " + outDir.string() + ": " + ec.message();
      return false;
    }
  }
  const fs::path inDir = fs::absolute(fs::path(inputPath), ec).parent_path();
  Roots roots;
  if (fs::path c = fs::canonical(inDir, ec); !ec) roots.folders.push_back(c);
  for (const std::string& r : placement.roots) {
    const fs::path c = fs::canonical(fs::path(r), ec);
    if (ec || !fs::is_directory(c, ec)) {
      *error = "--texture-root " + r + " is not a folder";
      return false;
    }
    roots.folders.push_back(c);
  }

  std::vector<std::string> made;
  std::map<std::string, std::string> placed;  // reference -> text for the PMX
  std::set<std::string> told;
  auto tell = [&](const std::string& line) {
    if (messages && told.insert(line).second) messages->push_back(line);
  };
  auto fail = [&](const std::string& why) {
    *error = why;
    RemoveAll(&made);
    return false;
  };
  auto put = [&](const std::vector<unsigned char>& data, const std::string& wanted,
                 const std::string& what) -> std::optional<std::string> {
    PlacedFile file;
    if (!PlaceFileExclusively(outDir, wanted, data, &file, error)) return std::nullopt;
    if (file.created) {
      made.push_back((outDir / file.name).string());
      std::string line = what + (outDir / file.name).string();
      if (file.name != wanted) line += " (a different file is already called " + wanted + ")";
      tell(line);
    }
    return file.name;
  };

  for (BaseMaterial* m = doc->GetFirstMaterial(); m; m = m->GetNext()) {
    BaseContainer* data = m->GetChannel(CHANNEL_COLOR)->GetDataInstance();
    const std::string ref = data->GetString(BASECHANNEL_TEXTURE).GetUtf8();
    if (ref.empty()) continue;
    auto done = placed.find(ref);
    if (done != placed.end()) {
      data->SetString(BASECHANNEL_TEXTURE, String(done->second));
      continue;
    }
    const ModelTexture* known = nullptr;
    for (const ModelTexture& t : textures)
      if (t.reference == ref) known = &t;
    const std::string stored = known && !known->stored.empty() ? known->stored : ref;
    std::string text;
    if (known && known->sourcePath.empty()) {
      if (placement.copy) {
        auto name = put(known->data, Basename(ref), "Wrote embedded texture ");
        if (!name) return fail(*error);
        text = *name;
      } else {
        // A PMX that names a missing file loses the whole material in some readers.
        tell("Texture " + ref +
             " is embedded in the model file; the PMX names no texture for it unless "
             "--copy-textures writes it beside the PMX");
      }
    } else {
      // As named, relative to the model, then by its bare name beside the model and in the
      // usual texture folders (files made elsewhere often carry the author's paths); the
      // first allowed file wins.
      fs::path source;
      bool exists = false;
      std::vector<fs::path> candidates = modelimport::TextureCandidates(stored, inDir);
      for (const fs::path& c : modelimport::TextureCandidates(ref, inDir))
        if (std::find(candidates.begin(), candidates.end(), c) == candidates.end())
          candidates.push_back(c);
      for (const fs::path& c : candidates) {
        exists = true;
        const fs::path resolved = fs::canonical(c, ec);
        if (!ec && roots.Allow(resolved)) {
          source = resolved;
          break;
        }
      }
      std::vector<unsigned char> bytes;
      std::string readError;
      if (!exists) {
        tell("Texture not found: " + stored + " (" + modelimport::TextureSearchText(stored, inDir) +
             "); the material is exported without it");
      } else if (source.empty()) {
        tell("Texture " + stored +
             " is left out: it lies outside the model's folder (--texture-root DIR allows "
             "another folder)");
      } else if (!ReadRegularFile(source, &bytes, &readError)) {
        tell("Texture " + stored + " is left out: " + readError);
      } else if (ImageSuffixOf(bytes.data(), bytes.size()).empty()) {
        tell("Texture " + stored +
             " is left out: it is not an image (PNG, JPEG, BMP, TGA, DDS or GIF)");
      } else if (placement.copy) {
        auto name =
            put(bytes, source.filename().string(), "Copied texture " + source.string() + " to ");
        if (!name) return fail(*error);
        text = *name;
      } else if (placement.textureFolder) {
        text = source.filename().string();
      } else {
        const fs::path relative = source.lexically_relative(fs::weakly_canonical(outDir, ec));
        text = relative.empty() ? source.string() : WithBackslashes(relative.string());
      }
    }
    placed[ref] = text;
    data->SetString(BASECHANNEL_TEXTURE, String(text));
  }
  if (created) created->insert(created->end(), made.begin(), made.end());
  return true;
}

}  // namespace pmxapp
