#include "pmx/pmxmodel.h"

Int64 PmxModel::GetTriangleCount() const {
  Int64 n = 0;
  for (const PmxMaterial& m : materials) n += static_cast<Int64>(m.triangles.size());
  return n;
}

PmxModelHeader PmxModel::GetHeader() const {
  PmxModelHeader h;
  h.vertexCount = static_cast<Int32>(vertices.size());
  h.triangleCount = static_cast<Int32>(GetTriangleCount());
  h.textureCount = static_cast<Int32>(textures.size());
  h.materialCount = static_cast<Int32>(materials.size());
  h.boneCount = static_cast<Int32>(bones.size());
  h.morphCount = static_cast<Int32>(morphs.size());
  h.displayFrameCount = static_cast<Int32>(displayFrames.size());
  h.modelName = name;
  h.modelNameEnglish = nameEnglish;
  h.comment = comment;
  h.commentEnglish = commentEnglish;
  return h;
}

PmxDisplayFrame& PmxModel::AddToDisplayFrame(const String& frameName, Int64 bone) {
  PmxDisplayFrame* frame = nullptr;
  for (PmxDisplayFrame& f : displayFrames) {
    if (f.name == frameName) {
      frame = &f;
      break;
    }
  }
  if (!frame) {
    frame = &displayFrames.emplace_back();
    frame->name = frameName;
  }
  frame->elements.push_back(PmxDisplayFrameElement{0, bone});
  return *frame;
}
