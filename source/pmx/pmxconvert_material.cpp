// Materials: one PMX material per texture tag that owns triangles, plus the shared default
// material for polygons no texture tag covers; and the texture paths the file names.
#include "pmx/pmxconvert.h"
#include "pmxedge/pmxedgetag.h"

namespace {

/// The default material: what polygons without a material are drawn with.
void MakeDefaultMaterial(PmxMaterial* m) {
  m->name = String("デフォルト");
  m->nameEnglish = String("default");
  m->diffuse[0] = m->diffuse[1] = m->diffuse[2] = 1;
  m->diffuse[3] = 1.0;
  m->specular[0] = m->specular[1] = m->specular[2] = 0;
  m->specularPower = 0;
  m->ambient[0] = m->ambient[1] = m->ambient[2] = 0.5;
  m->textureIndex = -1;
  m->sphereTextureIndex = -1;
  m->sphereMode = 0;
  m->sharedToon = 1;
  m->toonIndex = 0;
  m->memo =
      String("CINEMA 4D 上でマテリアルが設定されていない面に対して適用している代替素材です。");
}

/// The enabled channel `id` of `mat` with its data, or false when the channel is off.
bool ReadChannel(BaseMaterial* mat, Int32 id, BaseContainer* data) {
  if (!mat->GetChannelState(id)) return false;
  BaseChannel* channel = mat->GetChannel(id);
  *data = channel ? channel->GetData() : BaseContainer();
  return true;
}

}  // namespace

Int64 PmxPolygonExchange::GetTextureIndex(const String& texture) {
  if (!texture.Content()) return -1;
  for (size_t i = 0; i < textureNames.size(); ++i) {
    if (textureNames[i] == texture) return static_cast<Int64>(i);
  }
  textureNames.push_back(texture);
  return static_cast<Int64>(textureNames.size()) - 1;
}

Int64 PmxMaterialForTextureTag(PmxPolygonExchange* exchange, BaseTag* textureTag,
                               const String& objectName, BaseTag* edgeTag,
                               const PmxExportSettings& settings) {
  auto found = exchange->materialsByTextureTag.find(textureTag);
  if (found != exchange->materialsByTextureTag.end()) return found->second;

  std::vector<PmxMaterial>& materials = exchange->model.materials;
  const auto index = static_cast<Int64>(materials.size());
  PmxMaterial* m = &materials.emplace_back();
  exchange->materialsByTextureTag[textureTag] = index;
  if (!textureTag) {
    MakeDefaultMaterial(m);
    return index;
  }

  BaseMaterial* mat = textureTag->GetType() == Ttexture
                          ? static_cast<TextureTag*>(textureTag)->GetMaterial()
                          : nullptr;
  String texture;
  if (mat) {
    m->name = mat->GetName();
    if (settings.materialNameWithObject) m->name += String("-") + objectName;

    BaseContainer data;
    m->diffuse[3] = ReadChannel(mat, CHANNEL_TRANSPARENCY, &data)
                        ? 1 - data.GetFloat(BASECHANNEL_BRIGHTNESS_EX)
                        : 1.0;
    if (ReadChannel(mat, CHANNEL_COLOR, &data)) {
      texture = data.GetString(BASECHANNEL_TEXTURE);
      const Vector color = data.GetVector(BASECHANNEL_COLOR_EX);
      const Float brightness = data.GetFloat(BASECHANNEL_BRIGHTNESS_EX);
      m->diffuse[0] = color.x * brightness;
      m->diffuse[1] = color.y * brightness;
      m->diffuse[2] = color.z * brightness;
    } else {
      m->diffuse[0] = m->diffuse[1] = m->diffuse[2] = 1;
    }
    if (ReadChannel(mat, CHANNEL_SPECULAR, &data)) {
      const Vector color = data.GetVector(BASECHANNEL_COLOR_EX);
      m->specular[0] = color.x;
      m->specular[1] = color.y;
      m->specular[2] = color.z;
      m->specularPower = data.GetFloat(BASECHANNEL_BRIGHTNESS_EX);
    } else {
      m->specular[0] = m->specular[1] = m->specular[2] = 0;
      m->specularPower = 0;
    }
    if (ReadChannel(mat, CHANNEL_LUMINANCE, &data)) {
      const Vector color = data.GetVector(BASECHANNEL_COLOR_EX);
      const Float brightness = data.GetFloat(BASECHANNEL_BRIGHTNESS_EX);
      m->ambient[0] = color.x * brightness;
      m->ambient[1] = color.y * brightness;
      m->ambient[2] = color.z * brightness;
    } else {
      m->ambient[0] = m->ambient[1] = m->ambient[2] = 0.5;
    }
  }

  if (const PmxEdgeTag* edge = edgeTag ? edgeTag->GetNodeData<PmxEdgeTag>() : nullptr) {
    m->doubleSided = edge->GetBool(PMX_EDGE_DOUBLE_SIDED) ? 1 : 0;
    m->groundShadow = edge->GetBool(PMX_EDGE_GROUND_SHADOW) ? 1 : 0;
    m->selfShadowMap = edge->GetBool(PMX_EDGE_SELF_SHADOW_MAP) ? 1 : 0;
    m->selfShadow = edge->GetBool(PMX_EDGE_SELF_SHADOW) ? 1 : 0;
    m->drawEdge = edge->GetBool(PMX_EDGE_DRAW) ? 1 : 0;
    const Vector color = edge->GetVector(PMX_EDGE_COLOR);
    m->edgeColor[0] = color.x;
    m->edgeColor[1] = color.y;
    m->edgeColor[2] = color.z;
    m->edgeColor[3] = 1.0;
    m->edgeSize = edge->GetFloat(PMX_EDGE_SIZE);
  }

  m->textureIndex = exchange->GetTextureIndex(texture);
  m->sphereTextureIndex = -1;
  m->sphereMode = 0;
  m->sharedToon = 1;
  m->toonIndex = 0;
  return index;
}

void PmxRemoveUnusedDefaultMaterial(PmxPolygonExchange* exchange) {
  auto found = exchange->materialsByTextureTag.find(nullptr);
  if (found == exchange->materialsByTextureTag.end()) return;
  const Int64 def = found->second;
  std::vector<PmxMaterial>& materials = exchange->model.materials;
  if (!materials[static_cast<size_t>(def)].triangles.empty()) return;
  exchange->materialsByTextureTag.erase(found);
  materials.erase(materials.begin() + static_cast<std::ptrdiff_t>(def));
  for (auto& [tag, index] : exchange->materialsByTextureTag) {
    if (index > def) --index;
  }
}

String PmxTexturePath(const String& stored, const PmxExportSettings& settings) {
  if (settings.useTextureFolder) return settings.textureFolder + stored;
  Filename resolved;
  if (!GenerateTexturePath(settings.documentPath, Filename(stored), Filename(), &resolved))
    return String();
  return resolved.GetString();
}
