// Bones from the joint tree, the centre bone, and the bone display frames.
#include "pmx/pmxconvert.h"
#include "pmxbone/pmxbonetag.h"

namespace {

const String kRootFrame("Root");
const String kBoneFrame("ボーン");

Vector UnitOrZero(const Vector& v) {
  const Float len = v.GetLength();
  return len == 0 ? v : v / len;
}

void SetXyz(Float* out, const Vector& v) {
  out[0] = v.x;
  out[1] = v.y;
  out[2] = v.z;
}

/// The joint's bone matrix: placed at the joint, its third axis along the bone.
Matrix BoneMatrix(BaseObject* joint) {
  Matrix m;
  Float length = 0;
  if (auto* ca = dynamic_cast<CAJointObject*>(joint)) {
    ca->GetBone(m, length);
  } else {
    m = joint->GetMg();
  }
  return m;
}

/// Makes the bones of the node's children (depth-first pre-order) and answers the index of
/// the bone made for the first child, -1 when there is none.
Int64 MakeBones(PmxPolygonExchange* exchange, const PmxPolygonExchangeJoint& node, Float scale,
                Int64 parentIndex) {
  std::vector<PmxBone>& bones = exchange->model.bones;
  Int64 first = -1;
  for (const auto& child : node.children) {
    BaseObject* joint = child->hostJoint;
    const Int64 index = static_cast<Int64>(bones.size());
    if (first < 0) first = index;
    PmxBone b;
    b.parentIndex = parentIndex;

    BaseTag* tag = joint->GetTag(ID_PMX_BONE_OPTION_TAG);
    const PmxBoneOptionTag* option = tag ? tag->GetNodeData<PmxBoneOptionTag>() : nullptr;
    if (option) {
      b.name = option->GetString(PMX_BONE_NAME);
      b.nameEnglish = option->GetString(PMX_BONE_NAME_ENGLISH);
    }
    if (!b.name.Content()) b.name = joint->GetName();

    const Matrix bone = BoneMatrix(joint);
    SetXyz(b.position, bone.off * scale);
    if (option) {
      if (option->GetInt32(PMX_BONE_FIXED_AXIS) != 0) {
        b.fixedAxis = 1;
        SetXyz(b.fixedAxisDirection, UnitOrZero(bone.v3));
      }
      if (option->GetInt32(PMX_BONE_LOCAL_AXIS) != 0) {
        b.localAxis = 1;
        SetXyz(b.localAxisX, UnitOrZero(child->matrix.v1));
        SetXyz(b.localAxisZ, UnitOrZero(child->matrix.v3));
      }
      b.layer = option->GetInt32(PMX_BONE_LAYER);
      b.rotatable = option->GetInt32(PMX_BONE_ROTATABLE) != 0 ? 1 : 0;
      b.movable = option->GetInt32(PMX_BONE_MOVABLE) != 0 ? 1 : 0;
      b.visible = option->GetInt32(PMX_BONE_VISIBLE) != 0 ? 1 : 0;
      b.operable = option->GetInt32(PMX_BONE_OPERABLE) != 0 ? 1 : 0;
      b.physicsAfterDeform = option->GetInt32(PMX_BONE_PHYSICS_AFTER_DEFORM) != 0 ? 1 : 0;
      b.externalParent = option->GetInt32(PMX_BONE_EXTERNAL_PARENT) != 0 ? 1 : 0;
      b.externalParentKey = option->GetInt32(PMX_BONE_EXTERNAL_PARENT_KEY);
    }
    b.tailIsBone = child->children.empty() ? 0 : 1;
    bones.push_back(std::move(b));
    exchange->boneJoints.push_back(joint);

    const Int64 firstChild = MakeBones(exchange, *child, scale, index);
    PmxBone& made = bones[static_cast<size_t>(index)];
    if (firstChild > 0 && made.tailIsBone) {
      made.tailIndex = firstChild;
    } else {
      // An end bone has nothing to point at; MMD shows such bones as clutter, so it is hidden.
      made.tailIsBone = 1;
      made.tailIndex = -1;
      made.visible = 0;
    }
  }
  return first;
}

void AddCenterBone(PmxPolygonExchange* exchange) {
  PmxModel& model = exchange->model;
  PmxBone& b = model.bones.emplace_back();
  b.name = String("センター");
  b.nameEnglish = String("Center");
  b.tailIsBone = 0;
  b.tailOffset[0] = 0;
  b.tailOffset[1] = -8.0;
  b.tailOffset[2] = 0;
  b.rotatable = 1;
  b.movable = 1;
  b.visible = 1;
  b.operable = 1;
  exchange->boneJoints.push_back(nullptr);
  model.AddToDisplayFrame(kRootFrame, static_cast<Int64>(model.bones.size()) - 1);
  exchange->createdCenterBone = 1;
}

}  // namespace

void PmxMakeBones(PmxPolygonExchange* exchange, Float scale) {
  MakeBones(exchange, exchange->rootJoint, scale, -1);
  if (exchange->model.bones.empty()) AddCenterBone(exchange);
}

void PmxAddBoneDisplayFrames(PmxPolygonExchange* exchange) {
  PmxModel& model = exchange->model;
  if (model.bones.empty()) return;
  if (!exchange->createdCenterBone) model.AddToDisplayFrame(kRootFrame, 0);
  for (size_t i = 0; i < model.bones.size(); ++i) {
    if (model.bones[i].visible) model.AddToDisplayFrame(kBoneFrame, static_cast<Int64>(i));
  }
}
