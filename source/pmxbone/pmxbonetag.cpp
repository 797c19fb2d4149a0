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

const BaseContainer* PmxBoneOptionTag::Data() const {
  auto* tag = static_cast<BaseList2D*>(Get());
  return tag ? tag->GetDataInstance() : nullptr;
}

Bool PmxBoneOptionTag::GetBool(Int32 id) const {
  const BaseContainer* bc = Data();
  return bc ? bc->GetBool(id, false) : false;
}

Int32 PmxBoneOptionTag::GetInt32(Int32 id) const {
  const BaseContainer* bc = Data();
  return bc ? bc->GetInt32(id, 0) : 0;
}

Float PmxBoneOptionTag::GetFloat(Int32 id) const {
  const BaseContainer* bc = Data();
  return bc ? bc->GetFloat(id, 0.0) : 0.0;
}

String PmxBoneOptionTag::GetString(Int32 id) const {
  const BaseContainer* bc = Data();
  return bc ? bc->GetString(id, String()) : String();
}

Bool RegisterPmxBoneOptionTag() {
  return RegisterTagPlugin(ID_PMX_BONE_OPTION_TAG, String("Pmx Bone Option"), TAG_VISIBLE,
                           PmxBoneOptionTag::Alloc, String("TPmxBoneOption"),
                           AutoBitmap(String("bone.png")), 0);
}
