// The model build: bones from the joint tree, the centre bone, display frames, and the
// order in which objects, materials and frames are produced.
#include "pmx/pmxconvert.h"
#include "pmxbone/pmxbonetag.h"

namespace {

const String kRootFrame("Root");
const String kExpressionFrame("表情");
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

/// Makes the bones of the node's children (depth-first pre-order) and answers in `first`
/// the index of the bone made for the first child, -1 when there is none.
void MakeBones(PmxPolygonExchange* model, const PmxPolygonExchangeJoint& node, Float scale,
               Int64 parentIndex, Int64* first) {
  *first = -1;
  for (const auto& child : node.children) {
    BaseObject* joint = child->hostJoint;
    model->bones.push_back(std::make_unique<PmxBone>());
    PmxBone* b = model->bones.back().get();
    const Int64 index = static_cast<Int64>(model->bones.size()) - 1;
    if (*first < 0) *first = index;
    b->hostJoint = joint;
    b->parentIndex = parentIndex;

    BaseTag* tag = joint->GetTag(ID_PMX_BONE_OPTION_TAG);
    const PmxBoneOptionTag* option = tag ? tag->GetNodeData<PmxBoneOptionTag>() : nullptr;
    if (option) {
      b->name = option->GetString(PMX_BONE_NAME);
      b->nameEnglish = option->GetString(PMX_BONE_NAME_ENGLISH);
    }
    if (!b->name.Content()) b->name = joint->GetName();

    const Matrix bone = BoneMatrix(joint);
    SetXyz(b->position, bone.off * scale);
    if (option) {
      if (option->GetInt32(PMX_BONE_FIXED_AXIS) != 0) {
        b->fixedAxis = 1;
        SetXyz(b->fixedAxisDirection, UnitOrZero(bone.v3));
      }
      if (option->GetInt32(PMX_BONE_LOCAL_AXIS) != 0) {
        b->localAxis = 1;
        SetXyz(b->localAxisX, UnitOrZero(child->matrix.v1));
        SetXyz(b->localAxisZ, UnitOrZero(child->matrix.v3));
      }
      b->layer = option->GetInt32(PMX_BONE_LAYER);
      b->rotatable = option->GetInt32(PMX_BONE_ROTATABLE) != 0 ? 1 : 0;
      b->movable = option->GetInt32(PMX_BONE_MOVABLE) != 0 ? 1 : 0;
      b->visible = option->GetInt32(PMX_BONE_VISIBLE) != 0 ? 1 : 0;
      b->operable = option->GetInt32(PMX_BONE_OPERABLE) != 0 ? 1 : 0;
      b->physicsAfterDeform = option->GetInt32(PMX_BONE_PHYSICS_AFTER_DEFORM) != 0 ? 1 : 0;
      b->externalParent = option->GetInt32(PMX_BONE_EXTERNAL_PARENT) != 0 ? 1 : 0;
      b->externalParentKey = option->GetInt32(PMX_BONE_EXTERNAL_PARENT_KEY);
    }
    b->tailIsBone = child->children.empty() ? 0 : 1;

    Int64 firstChild = -1;
    MakeBones(model, *child, scale, index, &firstChild);
    if (firstChild > 0 && b->tailIsBone) {
      b->tailIndex = firstChild;
    } else {
      // An end bone has nothing to point at; MMD shows such bones as clutter, so it is hidden.
      b->tailIsBone = 1;
      b->tailIndex = -1;
      b->visible = 0;
    }
  }
}

void AddCenterBone(PmxPolygonExchange* model) {
  model->bones.push_back(std::make_unique<PmxBone>());
  PmxBone* b = model->bones.back().get();
  b->name = String("センター");
  b->nameEnglish = String("Center");
  b->tailIsBone = 0;
  b->tailOffset[0] = 0;
  b->tailOffset[1] = -8.0;
  b->tailOffset[2] = 0;
  b->rotatable = 1;
  b->movable = 1;
  b->visible = 1;
  b->operable = 1;
  model->AddToDisplayFrame(kRootFrame, b);
  model->createdCenterBone = 1;
}

void BoneDisplayFrames(PmxPolygonExchange* model) {
  if (model->bones.empty()) return;
  if (!model->createdCenterBone) model->AddToDisplayFrame(kRootFrame, model->bones[0].get());
  for (const auto& b : model->bones) {
    if (b->visible) model->AddToDisplayFrame(kBoneFrame, b.get());
  }
}

void AddFixedFrame(PmxPolygonExchange* model, const String& name, const String& english) {
  model->displayFrames.push_back(std::make_unique<PmxDisplayFrame>());
  PmxDisplayFrame* f = model->displayFrames.back().get();
  f->name = name;
  f->nameEnglish = english;
  f->special = 1;
}

}  // namespace

Bool PmxBuildModel(PmxPolygonExchange* model, const PmxExportSettings& settings) {
  if (!model) return false;
  model->ClearOutput();
  PmxMaterialForTextureTag(model, nullptr, String(), nullptr, settings);
  AddFixedFrame(model, kRootFrame, String("Root"));
  AddFixedFrame(model, kExpressionFrame, String("Exp"));

  Int64 first = -1;
  MakeBones(model, model->rootJoint, settings.scale, -1, &first);
  if (model->bones.empty()) AddCenterBone(model);

  size_t vertexTotal = 0;
  for (const auto& o : model->objects) vertexTotal += o->GetVertexList().size();
  model->vertices.reserve(vertexTotal);
  for (const auto& o : model->objects) PmxEmitObject(model, o.get(), settings);

  PmxRemoveUnusedDefaultMaterial(model);
  BoneDisplayFrames(model);
  return true;
}
