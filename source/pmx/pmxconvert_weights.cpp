// Vertex weights: the four strongest influences of a point, and model vertices with
// their deform type, bones and edge scale.
#include <cmath>
#include <unordered_map>

#include "influences.h"
#include "pmx/pmxweights.h"

PmxWeightReader::PmxWeightReader(const CAWeightTag* tag) : tag_(tag) {
  const Int32 n = tag ? tag->GetJointCount() : 0;
  for (Int32 j = 0; j < n; ++j) joints_.push_back(tag->GetJoint(j, nullptr));
}

Int32 PmxWeightReader::Gather(Int64 p, PmxObjectVertex* vertex) const {
  for (PmxInfluence& slot : vertex->influences) slot = PmxInfluence();
  const Int32 n = static_cast<Int32>(joints_.size());
  if (!tag_ || n <= 0) return 0;

  // Only the four strongest are kept, so a bounded insertion replaces sorting all joints.
  struct Ranked {
    Float weight;
    Int32 joint;
  };
  Ranked top[4];
  Int32 kept = 0;
  Int32 count = 0;
  for (Int32 j = 0; j < n; ++j) {
    const Float w = tag_->GetWeight(j, static_cast<Int32>(p));
    if (w >= kInfluenceEpsilon) ++count;
    Int32 pos = kept;
    while (pos > 0 && StrongerInfluence(w, j, top[pos - 1].weight, top[pos - 1].joint)) --pos;
    if (pos >= 4) continue;
    for (Int32 k = (kept < 4 ? kept : 3); k > pos; --k) top[k] = top[k - 1];
    top[pos] = Ranked{w, j};
    if (kept < 4) ++kept;
  }
  for (Int32 k = 0; k < kept; ++k) {
    if (std::abs(top[k].weight) > kInfluenceEpsilon)
      vertex->influences[k] =
          PmxInfluence{joints_[static_cast<size_t>(top[k].joint)], top[k].weight};
  }
  return count;
}

void PmxWeightReader::WarnTooMany(const String& objectName, Int64 p, Int32 count) {
  GePrint(String("オブジェクト[") + objectName +
          String("]ウェイト数がPMXの仕様以上設定されている頂点があります。id=") +
          String::IntToString(p) + String(", count=") + String::IntToString(count) + String("\n"));
}

void PmxEmitVertices(PmxPolygonExchange* exchange, const PmxPolygonExchangeObject& record,
                     const PmxExportSettings& settings, const VariableTag* edgeScaleMap) {
  // A joint's bone is the first bone made from it.
  std::unordered_map<const BaseObject*, Int64> boneOfJoint;
  boneOfJoint.reserve(exchange->boneJoints.size());
  for (size_t i = 0; i < exchange->boneJoints.size(); ++i) {
    if (const BaseObject* joint = exchange->boneJoints[i])
      boneOfJoint.emplace(joint, static_cast<Int64>(i));
  }
  // Vertices ask for the same few joints over and over.
  const BaseObject* lastJoint[4] = {nullptr, nullptr, nullptr, nullptr};
  Int64 lastBone[4] = {-1, -1, -1, -1};
  auto findBone = [&](const BaseObject* joint, Int32 slot) -> Int64 {
    if (joint == lastJoint[slot]) return lastBone[slot];
    auto it = boneOfJoint.find(joint);
    lastJoint[slot] = joint;
    lastBone[slot] = it == boneOfJoint.end() ? -1 : it->second;
    return lastBone[slot];
  };

  const Float32* edgeScales = edgeScaleMap ? edgeScaleMap->Read<Float32>() : nullptr;
  const Int64 edgeScaleCount = edgeScaleMap ? edgeScaleMap->GetDataCount() : 0;
  const Float scale = settings.scale;
  const bool limit = settings.limitDeformToInfluences != 0;

  Int64 withoutWeight = 0;
  std::vector<PmxVertex>& vertices = exchange->model.vertices;
  for (const PmxObjectVertex& v : record.GetVertexList()) {
    PmxVertex out;
    out.position[0] = v.position.x * scale;
    out.position[1] = v.position.y * scale;
    out.position[2] = v.position.z * scale;
    out.normal[0] = v.normal.x;
    out.normal[1] = v.normal.y;
    out.normal[2] = v.normal.z;
    out.uv[0] = v.uvw.x;
    out.uv[1] = v.uvw.y;

    Int32 m = 0;
    for (Int32 k = 0; k < 4; ++k) {
      if (!v.influences[k].joint) continue;
      const Int64 bone = findBone(v.influences[k].joint, k);
      if (bone < 0) continue;
      out.boneIndex[m] = bone;
      out.boneWeight[m] = v.influences[k].weight;
      ++m;
    }
    if (limit) {
      if (m > 0) {
        Float s = 0;
        for (Int32 k = 0; k < m; ++k) s += out.boneWeight[k];
        if (std::abs(s) > kInfluenceEpsilon) {
          const Float inv = 1.0 / s;
          for (Int32 k = 0; k < m; ++k) out.boneWeight[k] *= inv;
        }
      }
      out.deformType = m <= 1 ? PMX_DEFORM_BDEF1 : m == 2 ? PMX_DEFORM_BDEF2 : PMX_DEFORM_BDEF4;
    } else {
      out.deformType = PMX_DEFORM_BDEF4;
    }
    if (m == 0) {
      out.boneIndex[0] = 0;
      out.boneWeight[0] = 1.0;
      out.deformType = PMX_DEFORM_BDEF1;
      ++withoutWeight;
    }
    // A map shorter than the point list leaves the points it does not cover at full size.
    out.edgeScale = edgeScales && v.pointIndex < edgeScaleCount
                        ? static_cast<Float>(edgeScales[v.pointIndex])
                        : 1.0;
    vertices.push_back(out);
  }

  if (withoutWeight > 0 && !exchange->createdCenterBone) {
    GePrint(String("オブジェクト[") + record.name + String("]にウェイト値が無い頂点が") +
            String::IntToString(withoutWeight) + String("個あります。\n"));
  }
}
