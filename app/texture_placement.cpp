// Textures for a PMX: relative to where it is written, or copied beside it.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

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

bool WriteWholeFile(const fs::path& path, const std::vector<unsigned char>& data,
                    std::string* error) {
  const fs::path tmp = path.string() + ".part";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) {
      *error = "cannot write " + path.string() + ": " + std::strerror(errno);
      return false;
    }
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
      *error = "cannot write " + path.string() + ": " + std::strerror(errno);
      std::error_code ec;
      fs::remove(tmp, ec);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  if (ec) {
    *error = "cannot write " + path.string() + ": " + ec.message();
    fs::remove(tmp, ec);
    return false;
  }
  return true;
}

}  // namespace

bool PlaceTextures(BaseDocument* doc, const std::string& inputPath,
                   const std::vector<ModelTexture>& textures, const std::string& outputPath,
                   const TexturePlacement& placement, std::vector<std::string>* messages,
                   std::string* error) {
  std::error_code ec;
  fs::path outDir = fs::absolute(fs::path(outputPath), ec).parent_path();
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
  std::map<std::string, std::string> placed;     // reference -> text for the PMX
  std::map<std::string, std::string> claimedBy;  // name beside the output -> its source
  std::set<std::string> told;
  auto tell = [&](const std::string& line) {
    if (messages && told.insert(line).second) messages->push_back(line);
  };
  auto claim = [&](const std::string& wanted, const std::string& source) {
    const fs::path w(wanted);
    std::string name = wanted;
    for (int k = 2;; ++k) {
      auto it = claimedBy.find(name);
      if (it == claimedBy.end() || it->second == source) break;
      name = w.stem().string() + "_" + std::to_string(k) + w.extension().string();
    }
    claimedBy[name] = source;
    return name;
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
    const ModelTexture* embedded = nullptr;
    for (const ModelTexture& t : textures)
      if (t.reference == ref && t.sourcePath.empty()) embedded = &t;
    std::string text = ref;
    if (embedded) {
      if (placement.copy) {
        text = claim(Basename(ref), "embedded:" + ref);
        if (!WriteWholeFile(outDir / text, embedded->data, error)) return false;
        tell("Wrote embedded texture " + (outDir / text).string());
      } else {
        // A PMX that names a missing file loses the whole material in some readers.
        tell("Texture " + ref +
             " is embedded in the model file; the PMX names no texture for it unless "
             "--copy-textures writes it beside the PMX");
        text.clear();
      }
    } else {
      std::string rel = ref;
      std::replace(rel.begin(), rel.end(), '\\', '/');
      fs::path source = fs::path(rel).is_absolute() ? fs::path(rel) : inDir / rel;
      source = source.lexically_normal();
      if (!fs::is_regular_file(source, ec)) {
        tell("Texture not found: " + source.string() + "; the material is exported without it");
        text.clear();
      } else if (placement.copy) {
        text = claim(source.filename().string(), source.string());
        const fs::path dest = outDir / text;
        if (!(fs::exists(dest, ec) && fs::equivalent(source, dest, ec))) {
          fs::copy_file(source, dest, fs::copy_options::overwrite_existing, ec);
          if (ec) {
            *error = "cannot copy texture " + source.string() + " to " + dest.string() + ": " +
                     ec.message();
            return false;
          }
          tell("Copied texture " + source.string() + " to " + dest.string());
        }
      } else if (placement.textureFolder) {
        text = source.filename().string();
      } else {
        const fs::path relative =
            fs::weakly_canonical(source, ec).lexically_relative(fs::weakly_canonical(outDir, ec));
        text = relative.empty() ? source.string() : WithBackslashes(relative.string());
      }
    }
    placed[ref] = text;
    data->SetString(BASECHANNEL_TEXTURE, String(text));
  }
  return true;
}

}  // namespace pmxapp
