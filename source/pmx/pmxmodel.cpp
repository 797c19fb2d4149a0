#include "pmx/pmxmodel.h"

#include "pmx/pmxconvert.h"

void PmxPolygonExchangeObject::ResetVertices(Int64 pointCount, Int64 vertexReserve) {
  vertices_.clear();
  nextOfSamePoint_.clear();
  vertices_.reserve(static_cast<size_t>(vertexReserve));
  nextOfSamePoint_.reserve(static_cast<size_t>(vertexReserve));
  firstOfPoint_.assign(static_cast<size_t>(pointCount), -1);
  lastOfPoint_.assign(static_cast<size_t>(pointCount), -1);
}

PmxObjectVertex& PmxPolygonExchangeObject::AppendVertex(const PmxObjectVertex& v) {
  const Int64 index = static_cast<Int64>(vertices_.size());
  const auto p = static_cast<size_t>(v.pointIndex);
  vertices_.push_back(v);
  vertices_.back().localIndex = index;
  nextOfSamePoint_.push_back(-1);
  if (lastOfPoint_[p] < 0) {
    firstOfPoint_[p] = index;
  } else {
    nextOfSamePoint_[static_cast<size_t>(lastOfPoint_[p])] = index;
  }
  lastOfPoint_[p] = index;
  return vertices_.back();
}

void PmxPolygonExchange::ClearOutput() {
  vertices.clear();
  materialsByTextureTag.clear();
  materials.clear();
  textureNames.clear();
  // Frames point at bones: drop them first.
  displayFrames.clear();
  bones.clear();
  morphsByName.clear();
  morphs.clear();
  createdCenterBone = 0;
}

void PmxPolygonExchange::Clear() {
  ClearOutput();
  objects.clear();
  rootJoint.children.clear();
  // Give the memory of a large export back instead of keeping it until the next one.
  std::vector<PmxVertex>().swap(vertices);
}

Bool PmxPolygonExchange::AddObject(PolygonObject* op, PmxPolygonExchangeObject** added) {
  if (added) *added = nullptr;
  if (!op) return false;
  auto record = std::make_unique<PmxPolygonExchangeObject>();
  if (!PmxConvertObject(record.get(), op)) return false;
  if (record->triangles.empty()) return true;
  if (added) *added = record.get();
  objects.push_back(std::move(record));
  return true;
}

PmxPolygonExchangeJoint* PmxPolygonExchange::AddJoint(PmxPolygonExchangeJoint* parent,
                                                      BaseObject* joint, const Matrix& world) {
  if (!parent) parent = &rootJoint;
  parent->children.push_back(std::make_unique<PmxPolygonExchangeJoint>(joint, world));
  return parent->children.back().get();
}

Int64 PmxPolygonExchange::GetBoneIndex(const PmxBone* bone) const {
  for (size_t i = 0; i < bones.size(); ++i) {
    if (bones[i].get() == bone) return static_cast<Int64>(i);
  }
  return -1;
}

Int64 PmxPolygonExchange::GetTextureIndex(const String& texture) {
  if (!texture.Content()) return -1;
  for (size_t i = 0; i < textureNames.size(); ++i) {
    if (textureNames[i] == texture) return static_cast<Int64>(i);
  }
  textureNames.push_back(texture);
  return static_cast<Int64>(textureNames.size()) - 1;
}

PmxDisplayFrame* PmxPolygonExchange::AddToDisplayFrame(const String& name, PmxBone* bone) {
  PmxDisplayFrame* frame = nullptr;
  for (auto& f : displayFrames) {
    if (f->name == name) {
      frame = f.get();
      break;
    }
  }
  if (!frame) {
    displayFrames.push_back(std::make_unique<PmxDisplayFrame>());
    frame = displayFrames.back().get();
    frame->name = name;
  }
  frame->elements.push_back(PmxDisplayFrameElement{0, bone});
  return frame;
}

Int64 PmxPolygonExchange::GetTriangleCount() const {
  Int64 n = 0;
  for (const auto& m : materials) n += static_cast<Int64>(m->triangles.size());
  return n;
}
