#include <assimp/material.h>

#include <cstdint>
#include <filesystem>

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
    // A file: as written, relative to the model, or by its bare name beside the model (files
    // made elsewhere often carry the author's absolute paths).
    std::string rel = text;
    std::replace(rel.begin(), rel.end(), '\\', '/');
    if (rel.rfind("file://", 0) == 0) rel = rel.substr(7);
    std::vector<fs::path> candidates;
    fs::path asGiven(rel);
    if (asGiven.is_absolute()) candidates.push_back(asGiven);
    candidates.push_back(fs::path(modelDir) / asGiven);
    candidates.push_back(fs::path(modelDir) / Basename(rel));
    fs::path chosen = candidates.front();
    std::error_code ec;
    for (const fs::path& c : candidates) {
      if (fs::is_regular_file(c, ec)) {
        chosen = c;
        break;
      }
    }
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

BaseMaterial* MakeMaterial(const aiMaterial* mat, unsigned index, MaterialBuilder& tb) {
  BaseMaterial* m = BaseMaterial::Alloc(Mmaterial);
  if (!m) return nullptr;
  aiString name;
  std::string n = mat->Get(AI_MATKEY_NAME, name) == AI_SUCCESS ? name.C_Str() : "";
  if (n.empty()) n = "Material " + std::to_string(index + 1);
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

  float opacity = 1.0f;
  if (aiGetMaterialFloat(mat, AI_MATKEY_OPACITY, &opacity) != AI_SUCCESS) opacity = diffuse.a;
  if (!std::isfinite(opacity)) opacity = 1.0f;
  opacity = std::clamp(opacity, 0.0f, 1.0f);
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
  return m;
}

}  // namespace

std::vector<BaseMaterial*> AddMaterials(const aiScene* scene, const std::string& modelPath,
                                        BaseDocument* doc, ImportSummary* summary) {
  const fs::path abs(modelPath);
  MaterialBuilder tb{scene,
                     abs.parent_path().string(),
                     abs.stem().string(),
                     &summary->textures,
                     &summary->warnings,
                     {},
                     {}};
  std::vector<BaseMaterial*> materials;
  BaseMaterial* last = nullptr;
  for (unsigned i = 0; i < scene->mNumMaterials; ++i) {
    BaseMaterial* m = scene->mMaterials[i] ? MakeMaterial(scene->mMaterials[i], i, tb) : nullptr;
    materials.push_back(m);
    if (!m) continue;
    doc->InsertMaterial(m, last);
    last = m;
    ++summary->materials;
  }
  return materials;
}

}  // namespace pmxapp::modelimport
