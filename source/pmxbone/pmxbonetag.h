// The bone option tag: PMX bone attributes that a host joint has no place for.
#pragma once

#include "TPmxBoneOption.h"
#include "attributetag.h"
#include "c4d.h"
#include "c4d_symbols.h"

/// Stores its values only; the export reads them when it turns the joint into a bone.
class PmxBoneOptionTag : public PmxAttributeTagData {
 public:
  static NodeData* Alloc() { return new PmxBoneOptionTag; }

  ~PmxBoneOptionTag() override = default;
  Bool Init(GeListNode* node) override;
  Bool Message(GeListNode* node, Int32 type, void* data) override;
  Bool GetDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) override;
};

Bool RegisterPmxBoneOptionTag();
