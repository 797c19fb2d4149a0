// The PMX morph object: a generator that holds a base mesh and its morph targets as its
// children and shows their mix, weighted by one strength per target.
#pragma once

// Morph objects post the mixer command's id (ID_PMXMORPHMIXER) as a special event after a
// rebuild.
#include "OPmxMorph.h"
#include "c4d.h"
#include "c4d_symbols.h"

/// Parameter id of the strength of target k.
///
/// Targets 0 to 999 use 2000 + k. From the 1001st target on, 2000 + k would run into the
/// links at 3000, so further strengths and links alternate in their own range from 100000:
/// a morph object takes any number of children and no two parameters ever share an id.
Int32 PmxMorphStrengthId(Int32 k);
/// Parameter id of the link to collected child i (0: the base, 1 + k: target k); 3000 + i up
/// to target 999, then the range shared with the strengths (see PmxMorphStrengthId).
Int32 PmxMorphLinkId(Int32 i);

class PmxMorphObject : public ObjectData {
 public:
  static NodeData* Alloc() { return new PmxMorphObject; }
  ~PmxMorphObject() override = default;

  Bool Message(GeListNode* node, Int32 type, void* data) override;
  /// Adds one strength slider per target, named after the target, to the group 802.
  Bool GetDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) override;
  /// The base with every target's offsets added in proportion to its strength.
  BaseObject* GetVirtualObjects(BaseObject* op, HierarchyHelp* hh) override;

  /// The first polygon child of a morph object, or null (also for any other object).
  static PolygonObject* FindMorphBase(BaseObject* op);
  /// Appends the shown mix as a new target named "NewTarget" (its strength reads 0, so the
  /// mix does not change). Needs an evaluated object; answers whether a target was added.
  static Bool AddTargetFromMix(BaseObject* op, Bool recordUndo);
  /// Moves the base and the unused targets by the shown mix and zeroes the strengths in
  /// use, so the result stays as shown. Needs an evaluated object; answers whether it baked.
  static Bool BakeMixIntoBase(BaseObject* op, Bool recordUndo);
};

/// Registers the morph object (registration row 2).
Bool RegisterPmxMorphObject();
