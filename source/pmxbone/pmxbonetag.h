// The bone option tag: PMX bone attributes that a host joint has no place for.
#pragma once

#include "c4d.h"

/// Plug-in id of the bone option tag.
constexpr Int32 ID_PMX_BONE_OPTION_TAG = 1034823;

/// Parameter ids of the tag (also declared in its description resource).
enum : Int32 {
  PMX_BONE_NAME = 1000,
  PMX_BONE_NAME_ENGLISH = 1001,
  PMX_BONE_LAYER = 1010,
  PMX_BONE_RESERVED = 1020,
  PMX_BONE_ROTATABLE = 1100,
  PMX_BONE_MOVABLE = 1101,
  PMX_BONE_VISIBLE = 1102,
  PMX_BONE_OPERABLE = 1103,
  PMX_BONE_FIXED_AXIS = 1200,
  PMX_BONE_LOCAL_AXIS = 1201,
  PMX_BONE_PHYSICS_AFTER_DEFORM = 1300,
  PMX_BONE_EXTERNAL_PARENT = 1301,
  PMX_BONE_EXTERNAL_PARENT_KEY = 1302,
};

/// Stores its values only; the export reads them when it turns the joint into a bone.
class PmxBoneOptionTag : public TagData {
 public:
  static NodeData* Alloc() { return new PmxBoneOptionTag; }

  ~PmxBoneOptionTag() override = default;
  Bool Init(GeListNode* node) override;
  Bool Message(GeListNode* node, Int32 type, void* data) override;
  Bool GetDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) override;

  // Typed reads of the tag's parameters; an absent id, or a tag without a container,
  // answers false, 0, 0.0 or the empty string.
  Bool GetBool(Int32 id) const;
  Int32 GetInt32(Int32 id) const;
  Float GetFloat(Int32 id) const;
  String GetString(Int32 id) const;

 private:
  const BaseContainer* Data() const;
};

Bool RegisterPmxBoneOptionTag();
