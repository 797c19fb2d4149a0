#include "pmxbone/pmxbonetag.h"

Bool PmxBoneOptionTag::Init(GeListNode* node) {
  auto* tag = static_cast<BaseList2D*>(node);
  BaseContainer* bc = tag ? tag->GetDataInstance() : nullptr;
  if (!bc) return false;
  bc->SetInt32(PMX_BONE_RESERVED, 0);
  bc->SetBool(PMX_BONE_ROTATABLE, true);
  bc->SetBool(PMX_BONE_MOVABLE, false);
  bc->SetBool(PMX_BONE_VISIBLE, true);
  bc->SetBool(PMX_BONE_OPERABLE, true);
  return true;
}

Bool PmxBoneOptionTag::Message(GeListNode* node, Int32 type, void* data) {
  return TagData::Message(node, type, data);
}

Bool PmxBoneOptionTag::GetDescription(GeListNode* node, Description* description,
                                      DESCFLAGS_DESC& flags) {
  return TagData::GetDescription(node, description, flags);
}

Bool RegisterPmxBoneOptionTag() {
  return RegisterTagPlugin(ID_PMX_BONE_OPTION_TAG, String("Pmx Bone Option"), TAG_VISIBLE,
                           PmxBoneOptionTag::Alloc, String("TPmxBoneOption"),
                           AutoBitmap(String("bone.png")), 0);
}
