// The bone option tag: PMX bone attributes that a host joint has no place for.
#pragma once

#include "TPmxBoneOption.h"
#include "c4d.h"
#include "c4d_symbols.h"

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
