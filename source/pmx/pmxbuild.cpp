// The model build: the order in which the walk, bones, objects, materials, morphs and frames
// are produced, and the finishing of the plain model.
#include <utility>

#include "pmx/pmxconvert.h"

namespace {

const String kRootFrame("Root");
const String kExpressionFrame("表情");

void AddFixedFrame(PmxModel* model, const String& name, const String& english) {
  PmxDisplayFrame& f = model->displayFrames.emplace_back();
  f.name = name;
  f.nameEnglish = english;
  f.special = 1;
}

/// Morphs are written in the order of their names, whatever order objects made them in.
std::vector<PmxMorph> MorphsInNameOrder(PmxPolygonExchange* exchange) {
  std::vector<PmxMorph> sorted;
  sorted.reserve(exchange->model.morphs.size());
  for (const auto& [name, index] : exchange->morphsByName)
    sorted.push_back(std::move(exchange->model.morphs[static_cast<size_t>(index)]));
  exchange->morphsByName.clear();
  return sorted;
}

}  // namespace

void PmxBuildFromGathered(PmxPolygonExchange* exchange, const PmxExportSettings& settings) {
  PmxModel& model = exchange->model;
  PmxMaterialForTextureTag(exchange, nullptr, String(), nullptr, settings);
  AddFixedFrame(&model, kRootFrame, String("Root"));
  AddFixedFrame(&model, kExpressionFrame, String("Exp"));

  PmxMakeBones(exchange, settings.scale);

  size_t vertexTotal = 0;
  for (const auto& o : exchange->objects) vertexTotal += o->GetVertexList().size();
  model.vertices.reserve(vertexTotal);
  for (const auto& o : exchange->objects) PmxEmitObject(exchange, *o, settings);

  PmxRemoveUnusedDefaultMaterial(exchange);
  PmxAddBoneDisplayFrames(exchange);
}

void PmxConvertDocument(PmxPolygonExchange* exchange, BaseDocument* doc,
                        const PmxExportSettings& settings) {
  if (doc) PmxWalkHierarchy(exchange, doc->GetFirstObject(), 1, nullptr, Matrix());
  PmxBuildFromGathered(exchange, settings);

  PmxModel& model = exchange->model;
  model.name = String("モデル名");
  model.nameEnglish = String("Model name");
  model.comment = String("コメント");
  model.commentEnglish = String("comment");
  model.morphs = MorphsInNameOrder(exchange);
  model.textures.clear();
  model.textures.reserve(exchange->textureNames.size());
  for (const String& stored : exchange->textureNames)
    model.textures.push_back(PmxTexturePath(stored, settings));
}

PmxModel PmxBuildModel(BaseDocument* doc, const PmxExportSettings& settings) {
  PmxPolygonExchange exchange;
  PmxConvertDocument(&exchange, doc, settings);
  return std::move(exchange.model);
}
