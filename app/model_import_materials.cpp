#include <assimp/material.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "file_safety.h"
#include "model_import_internal.h"
#include "png_writer.h"

namespace fs = std::filesystem;

namespace pmxapp::modelimport {

std::string Basename(const std::string& p) {
  std::string s = p;
  std::replace(s.begin(), s.end(), '\\', '/');
  const size_t slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

std::string UniqueName(const std::string& base, std::set<std::string>* used) {
  std::string name = base;
  for (int k = 2; used->count(name); ++k) name = base + "." + std::to_string(k);
  used->insert(name);
  return name;
}

namespace {

/// `base` joined with the relative `rel`, each part matched without regard to case when the
/// exact name is missing (files made on Windows name "Tex\Skin.PNG" for "tex/skin.png").
fs::path ResolveAnyCase(const fs::path& base, const fs::path& rel) {
  fs::path at = base;
  std::error_code ec;
  for (const fs::path& part : rel) {
    if (part.empty() || part == ".") continue;
    fs::path next = at / part;
    if (part != ".." && !fs::exists(fs::symlink_status(next, ec))) {
      const std::string wanted = Lower(part.string());
      fs::path found;
      for (fs::directory_iterator it(at, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (Lower(name) == wanted && (found.empty() || name < found.filename().string()))
          found = it->path();
      }
      if (!found.empty()) next = found;
    }
    at = next;
  }
  return at;
}

/// The folders beside a model where artists keep its textures.
constexpr const char* kTextureFolders[] = {"", "tex", "textures", "texture", "images"};

}  // namespace

std::vector<fs::path> TextureCandidates(const std::string& stored, const fs::path& modelDir) {
  std::string rel = stored;
  std::replace(rel.begin(), rel.end(), '\\', '/');
  if (rel.rfind("file://", 0) == 0) rel = rel.substr(7);
  std::vector<fs::path> out;
  std::error_code ec;
  auto add = [&](const fs::path& p) {
    if (!p.empty() && fs::is_regular_file(p, ec) &&
        std::find(out.begin(), out.end(), p) == out.end())
      out.push_back(p);
  };
  const fs::path asGiven(rel);
  if (asGiven.is_absolute())
    add(ResolveAnyCase(asGiven.root_path(), asGiven.relative_path()));
  else
    add(ResolveAnyCase(modelDir, asGiven));
  // Windows paths ("D:\\projects\\skin.png") and paths from the author's machine: by the
  // file's name in the model's folder and the usual texture folders beside it.
  const std::string name = Basename(rel);
  if (!name.empty() && name != "." && name != "..")
    for (const char* folder : kTextureFolders)
      add(ResolveAnyCase(modelDir, fs::path(folder) / name));
  return out;
}

std::string TextureSearchText(const std::string& stored, const fs::path& modelDir) {
  std::string rel = stored;
  std::replace(rel.begin(), rel.end(), '\\', '/');
  std::string text = "looked for it as stored and for " + Basename(rel) + " in " +
                     modelDir.string() + " and its folders";
  for (const char* folder : kTextureFolders)
    if (*folder) text += std::string(" ") + folder;
  return text + " (in any case)";
}

namespace {

/// Raw texels (BGRA in the library's aiTexel) as a 32-bit TGA file.
std::vector<unsigned char> TexelsAsTga(const aiTexture* t) {
  const size_t n = static_cast<size_t>(t->mWidth) * t->mHeight;
  std::vector<std::uint8_t> rgba;
  rgba.reserve(n * 4);
  for (size_t i = 0; i < n; ++i) {
    const aiTexel& px = t->pcData[i];
    rgba.insert(rgba.end(), {px.r, px.g, px.b, px.a});
  }
  return EncodeTgaRgba(static_cast<int>(t->mWidth), static_cast<int>(t->mHeight), rgba);
}

struct MaterialBuilder {
  const aiScene* scene;
  std::string modelDir;
  std::string modelStem;
  std::vector<ModelTexture>* textures;
  std::vector<std::string>* warnings;
  std::set<std::string> embeddedNames;

  /// The texture reference for the material's colour, registering it in `textures`.
  std::string TextureFor(const aiMaterial* mat) {
    aiString raw;
    if (mat->GetTexture(aiTextureType_DIFFUSE, 0, &raw) != AI_SUCCESS &&
        mat->GetTexture(aiTextureType_BASE_COLOR, 0, &raw) != AI_SUCCESS)
      return {};
    const std::string text = raw.C_Str();
    if (text.empty()) return {};
    if (const aiTexture* emb = scene->GetEmbeddedTexture(raw.C_Str())) {
      auto known = embeddedRef.find(emb);
      if (known != embeddedRef.end()) return known->second;
      ModelTexture t;
      std::string name = Basename(emb->mFilename.C_Str());
      const bool compressed = emb->mHeight == 0;
      if (compressed)
        t.data.assign(reinterpret_cast<const unsigned char*>(emb->pcData),
                      reinterpret_cast<const unsigned char*>(emb->pcData) + emb->mWidth);
      else
        t.data = TexelsAsTga(emb);
      // The suffix comes from the content: the declared type is whatever the file says, and a
      // texture written out as "x.pmx" or "x.html" would be taken for something else.
      const std::string suffix = ImageSuffixOf(t.data.data(), t.data.size());
      if (suffix.empty()) {
        warnings->push_back("Embedded texture " + (name.empty() ? text : name) +
                            " is not an image (PNG, JPEG, BMP, TGA, DDS or GIF); the material "
                            "is exported without it");
        embeddedRef[emb] = std::string();
        return {};
      }
      // Raw texels are written as TGA, so only the stem of their name survives.
      std::string stem = name.substr(0, name.rfind('.'));
      if (stem.empty() || stem[0] == '*' || (compressed && name.find('.') == std::string::npos) ||
          stem.find_first_of("<>:\"|?*") != std::string::npos)
        stem = modelStem + "_texture" + std::to_string(embeddedNames.size() + 1);
      name = stem + "." + suffix;
      name = UniqueName(name, &embeddedNames);
      t.reference = name;
      t.stored = text;
      embeddedRef[emb] = name;
      textures->push_back(std::move(t));
      return name;
    }
    // A file: as written, relative to the model, or by its bare name in the model's folder
    // and the usual texture folders (files made elsewhere often carry the author's paths).
    std::string rel = text;
    std::replace(rel.begin(), rel.end(), '\\', '/');
    if (rel.rfind("file://", 0) == 0) rel = rel.substr(7);
    const std::vector<fs::path> found = TextureCandidates(text, modelDir);
    std::error_code ec;
    const fs::path chosen = !found.empty()                ? found.front()
                            : fs::path(rel).is_absolute() ? fs::path(rel)
                                                          : fs::path(modelDir) / rel;
    const std::string resolved = fs::absolute(chosen, ec).lexically_normal().string();
    for (const ModelTexture& t : *textures)
      if (t.sourcePath == resolved) return t.reference;
    ModelTexture t;
    t.reference = resolved;
    t.stored = text;
    t.sourcePath = resolved;
    textures->push_back(t);
    return resolved;
  }

  std::unordered_map<const aiTexture*, std::string> embeddedRef;
};

/// What decides a material's opacity, as the file states it.
struct Opacity {
  float value = 1.0f;
  bool stated = false;  // the file gives an opacity (not only a diffuse alpha)
};

Opacity ReadOpacity(const aiMaterial* mat) {
  Opacity o;
  aiColor4D diffuse(0.8f, 0.8f, 0.8f, 1.0f);
  if (aiGetMaterialColor(mat, AI_MATKEY_COLOR_DIFFUSE, &diffuse) != AI_SUCCESS)
    aiGetMaterialColor(mat, AI_MATKEY_BASE_COLOR, &diffuse);
  o.value = diffuse.a;
  if (aiGetMaterialFloat(mat, AI_MATKEY_OPACITY, &o.value) == AI_SUCCESS) o.stated = true;
  if (!std::isfinite(o.value)) o.value = 1.0f;
  o.value = std::clamp(o.value, 0.0f, 1.0f);
  return o;
}

/// The number in `text` at `at`, with a decimal point or a decimal comma.
double NumberAt(const std::string& text, size_t at, bool* comma) {
  std::string digits;
  for (; at < text.size() && digits.size() < 64; ++at) {
    const char c = text[at];
    if (c == ',') {
      *comma = true;
      digits += '.';
    } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
               c == 'e' || c == 'E') {
      digits += c;
    } else if (!digits.empty() || !std::isspace(static_cast<unsigned char>(c))) {
      break;
    }
  }
  char* end = nullptr;
  const double v = std::strtod(digits.c_str(), &end);
  return end && end != digits.c_str() && std::isfinite(v) ? v : -1.0;
}

/// The text of the attribute `name` in the tag starting at `tag`.
std::string AttributeOf(const std::string& text, size_t tag, const std::string& name) {
  const size_t close = text.find('>', tag);
  const size_t at = text.find(" " + name + "=\"", tag);
  if (at == std::string::npos || at > close) return {};
  const size_t start = at + name.size() + 3;
  const size_t stop = text.find('"', start);
  return stop == std::string::npos ? std::string() : text.substr(start, stop - start);
}

}  // namespace

std::map<std::string, float> ColladaCommaOpacities(const std::string& path) {
  std::map<std::string, float> out;
  std::vector<unsigned char> bytes;
  std::string error;
  if (!ReadRegularFile(path, &bytes, &error)) return out;
  const std::string text(bytes.begin(), bytes.end());
  // Effects: the <transparent> colour and its mode, and the <transparency> factor.
  std::map<std::string, float> byEffect;
  for (size_t at = text.find("<effect "); at != std::string::npos;
       at = text.find("<effect ", at + 1)) {
    const size_t end = std::min(text.find("</effect>", at), text.size());
    const std::string id = AttributeOf(text, at, "id");
    const size_t factorTag = text.find("<transparency>", at);
    if (id.empty() || factorTag >= end) continue;
    const size_t value = text.find('>', text.find("<float", factorTag));
    bool comma = false;
    const double t = value < end ? NumberAt(text, value + 1, &comma) : -1.0;
    if (!comma || t < 0) continue;
    std::string mode = "A_ONE";
    double rgba[4] = {1, 1, 1, 1};
    const size_t colourTag = text.find("<transparent", at);
    if (colourTag < factorTag) {
      const std::string declared = AttributeOf(text, colourTag, "opaque");
      if (!declared.empty()) mode = declared;
      const size_t colour = text.find("<color", colourTag);
      if (colour < factorTag && text.find("<texture", colourTag) > colour) {
        size_t p = text.find('>', colour) + 1;
        for (double& c : rgba) {
          bool unused = false;
          c = NumberAt(text, p, &unused);
          while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
          while (p < text.size() && !std::isspace(static_cast<unsigned char>(text[p])) &&
                 text[p] != '<')
            ++p;
        }
      }
    }
    const double luminance = 0.212671 * rgba[0] + 0.715160 * rgba[1] + 0.072169 * rgba[2];
    double o = rgba[3] * t;  // A_ONE
    if (mode == "RGB_ZERO") o = 1 - luminance * t;
    if (mode == "A_ZERO") o = 1 - rgba[3] * t;
    if (mode == "RGB_ONE") o = luminance * t;
    byEffect[id] = static_cast<float>(std::clamp(o, 0.0, 1.0));
  }
  // Materials name their effect.
  for (size_t at = text.find("<material "); at != std::string::npos;
       at = text.find("<material ", at + 1)) {
    const size_t use = text.find("<instance_effect", at);
    const size_t end = text.find("</material>", at);
    if (use == std::string::npos || use > end) continue;
    std::string url = AttributeOf(text, use, "url");
    if (!url.empty() && url[0] == '#') url = url.substr(1);
    auto effect = byEffect.find(url);
    if (effect == byEffect.end()) continue;
    for (const char* key : {"id", "name"}) {
      const std::string name = AttributeOf(text, at, key);
      if (!name.empty()) out[name] = effect->second;
    }
  }
  return out;
}

namespace {

/// Below this a material draws nothing a reader could see (less than half a step of 8 bits).
constexpr float kInvisible = 0.5f / 255.0f;

BaseMaterial* MakeMaterial(const aiMaterial* mat, const std::string& n, float opacity,
                           MaterialBuilder& tb, MaterialLook* look) {
  BaseMaterial* m = BaseMaterial::Alloc(Mmaterial);
  if (!m) return nullptr;
  m->SetName(String(n));

  aiColor4D diffuse(0.8f, 0.8f, 0.8f, 1.0f);
  if (aiGetMaterialColor(mat, AI_MATKEY_COLOR_DIFFUSE, &diffuse) != AI_SUCCESS)
    aiGetMaterialColor(mat, AI_MATKEY_BASE_COLOR, &diffuse);
  BaseContainer color;
  color.SetVector(BASECHANNEL_COLOR_EX, Vector(diffuse.r, diffuse.g, diffuse.b));
  color.SetFloat(BASECHANNEL_BRIGHTNESS_EX, 1.0);
  const std::string texture = tb.TextureFor(mat);
  if (!texture.empty()) color.SetString(BASECHANNEL_TEXTURE, String(texture));
  m->SetChannelState(CHANNEL_COLOR, true);
  m->GetChannel(CHANNEL_COLOR)->SetData(color);

  const bool transparent = opacity < 1.0f;
  m->SetChannelState(CHANNEL_TRANSPARENCY, transparent);
  if (transparent) {
    BaseContainer bc;
    bc.SetVector(BASECHANNEL_COLOR_EX, Vector(1, 1, 1));
    bc.SetFloat(BASECHANNEL_BRIGHTNESS_EX, 1.0 - static_cast<double>(opacity));
    m->GetChannel(CHANNEL_TRANSPARENCY)->SetData(bc);
  }

  aiColor4D specular(0, 0, 0, 1);
  const bool hasSpecular =
      aiGetMaterialColor(mat, AI_MATKEY_COLOR_SPECULAR, &specular) == AI_SUCCESS &&
      (specular.r > 0 || specular.g > 0 || specular.b > 0);
  m->SetChannelState(CHANNEL_SPECULAR, hasSpecular);
  if (hasSpecular) {
    float strength = 1.0f, shininess = 0.0f;
    aiGetMaterialFloat(mat, AI_MATKEY_SHININESS_STRENGTH, &strength);
    aiGetMaterialFloat(mat, AI_MATKEY_SHININESS, &shininess);
    if (!std::isfinite(strength) || strength < 0) strength = 1.0f;
    if (!std::isfinite(shininess) || shininess < 0) shininess = 0.0f;
    BaseContainer bc;
    bc.SetVector(BASECHANNEL_COLOR_EX, Vector(std::min(1.0f, specular.r * strength),
                                              std::min(1.0f, specular.g * strength),
                                              std::min(1.0f, specular.b * strength)));
    bc.SetFloat(BASECHANNEL_BRIGHTNESS_EX, shininess);
    m->GetChannel(CHANNEL_SPECULAR)->SetData(bc);
  }

  aiColor4D emissive(0, 0, 0, 1);
  const bool luminous =
      aiGetMaterialColor(mat, AI_MATKEY_COLOR_EMISSIVE, &emissive) == AI_SUCCESS &&
      (emissive.r > 0 || emissive.g > 0 || emissive.b > 0);
  m->SetChannelState(CHANNEL_LUMINANCE, luminous);
  if (luminous) {
    BaseContainer bc;
    bc.SetVector(BASECHANNEL_COLOR_EX, Vector(emissive.r, emissive.g, emissive.b));
    bc.SetFloat(BASECHANNEL_BRIGHTNESS_EX, 1.0);
    m->GetChannel(CHANNEL_LUMINANCE)->SetData(bc);
  }

  int twoSided = 0;
  look->doubleSided =
      aiGetMaterialInteger(mat, AI_MATKEY_TWOSIDED, &twoSided) == AI_SUCCESS && twoSided != 0;
  auto finite = [](float v) { return std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f; };
  look->ambient = Vector(std::max(finite(diffuse.r) * 0.5f, luminous ? finite(emissive.r) : 0.0f),
                         std::max(finite(diffuse.g) * 0.5f, luminous ? finite(emissive.g) : 0.0f),
                         std::max(finite(diffuse.b) * 0.5f, luminous ? finite(emissive.b) : 0.0f));
  return m;
}

/// A material's content as far as the document holds it, to find copies of one material.
std::string ContentKey(const aiMaterial* mat, const std::string& name, float opacity) {
  std::string key = name + '\0' + std::to_string(opacity);
  for (unsigned p = 0; p < mat->mNumProperties; ++p) {
    const aiMaterialProperty* prop = mat->mProperties[p];
    if (!prop || std::strcmp(prop->mKey.C_Str(), "?mat.name") == 0) continue;
    key += prop->mKey.C_Str();
    key += '\0';
    key += std::to_string(prop->mSemantic) + ',' + std::to_string(prop->mIndex) + ',';
    if (prop->mData) key.append(prop->mData, prop->mDataLength);
    key += '\0';
  }
  return key;
}

}  // namespace

std::vector<BaseMaterial*> AddMaterials(const aiScene* scene, const std::string& modelPath,
                                        const ImportOptions& options, BaseDocument* doc,
                                        ImportSummary* summary) {
  (void)options;
  const fs::path abs(modelPath);
  MaterialBuilder tb{scene,
                     abs.parent_path().string(),
                     abs.stem().string(),
                     &summary->textures,
                     &summary->warnings,
                     {},
                     {}};

  // Opacity. COLLADA's <transparent>/<transparency> pair has two conventions (A_ONE: the
  // factor is the opacity; RGB_ZERO: it is the transparency) and exporters (3ds Max, older
  // Blender) write the one while declaring the other, so their models vanish. When a COLLADA
  // file's reading leaves a material invisible while the other reading leaves none, the file
  // meant the other. A file whose every material is invisible is an exporter's mistake too.
  const unsigned count = scene->mNumMaterials;
  std::vector<Opacity> opacity(count);
  for (unsigned i = 0; i < count; ++i)
    if (scene->mMaterials[i]) opacity[i] = ReadOpacity(scene->mMaterials[i]);
  auto anyInvisible = [&](bool inverted) {
    for (const Opacity& o : opacity)
      if (o.stated && (inverted ? 1.0f - o.value : o.value) < kInvisible) return true;
    return false;
  };
  const bool collada = DetectFormat(scene).label == "COLLADA";
  // The library reads "0,2" as 0; such materials get their opacity from the file's text (read
  // only when some material came out invisible).
  if (collada && anyInvisible(false)) {
    const std::map<std::string, float> comma = ColladaCommaOpacities(modelPath);
    for (unsigned i = 0; i < count; ++i) {
      aiString fileName;
      if (!scene->mMaterials[i] ||
          scene->mMaterials[i]->Get(AI_MATKEY_NAME, fileName) != AI_SUCCESS)
        continue;
      if (auto it = comma.find(fileName.C_Str()); it != comma.end()) {
        opacity[i].value = it->second;
        opacity[i].stated = true;
      }
    }
  }
  if (collada && anyInvisible(false) && !anyInvisible(true)) {
    for (Opacity& o : opacity)
      if (o.stated) o.value = 1.0f - o.value;
    summary->warnings.push_back(
        "the file's transparency values are read as transparency, not opacity: read as "
        "written they would make materials invisible (as 3ds Max and older Blender exporters "
        "write them)");
  } else {
    // Only materials that meshes use count: readers add a default material of their own.
    std::vector<bool> usedByMesh(count, false);
    for (unsigned i = 0; i < scene->mNumMeshes; ++i)
      if (scene->mMeshes[i] && scene->mMeshes[i]->mMaterialIndex < count)
        usedByMesh[scene->mMeshes[i]->mMaterialIndex] = true;
    bool all = false;
    for (unsigned i = 0; i < count; ++i) {
      if (!usedByMesh[i] || !scene->mMaterials[i]) continue;
      all = opacity[i].value < kInvisible;
      if (!all) break;
    }
    if (all) {
      for (Opacity& o : opacity) o.value = 1.0f;
      summary->warnings.push_back(
          "every material of the file is fully transparent, which is an exporter's mistake; "
          "they are exported opaque");
    }
  }

  std::vector<BaseMaterial*> materials;
  std::map<std::string, BaseMaterial*> byContent;
  std::set<std::string> names;
  BaseMaterial* last = nullptr;
  for (unsigned i = 0; i < count; ++i) {
    const aiMaterial* mat = scene->mMaterials[i];
    if (!mat) {
      materials.push_back(nullptr);
      continue;
    }
    aiString fileName;
    std::string n = mat->Get(AI_MATKEY_NAME, fileName) == AI_SUCCESS ? fileName.C_Str() : "";
    if (n.empty()) n = "Material " + std::to_string(i + 1);
    // Copies of one material (formats that repeat a material for every mesh that uses it)
    // are one material.
    const std::string key = ContentKey(mat, n, opacity[i].value);
    if (auto it = byContent.find(key); it != byContent.end()) {
      materials.push_back(it->second);
      continue;
    }
    // Different materials of one name get a suffix, so that every PMX material is told apart.
    const std::string unique = UniqueName(n, &names);
    MaterialLook look;
    BaseMaterial* m = MakeMaterial(mat, unique, opacity[i].value, tb, &look);
    materials.push_back(m);
    if (!m) continue;
    byContent[key] = m;
    summary->looks[unique] = look;
    if (opacity[i].value < kInvisible)
      summary->warnings.push_back("material \"" + unique +
                                  "\" is fully transparent (opacity 0): readers draw nothing of "
                                  "it");
    doc->InsertMaterial(m, last);
    last = m;
    ++summary->materials;
  }
  return materials;
}

}  // namespace pmxapp::modelimport
