// The PMX morph object: a generator that holds a base mesh and its morph targets as its
// children and shows their mix, weighted by one strength per target.
#pragma once

#include "c4d.h"

/// Plug-in id of the morph object (documents store it).
constexpr Int32 ID_PMXMORPHOBJECT = 1032050;
/// Id of the morph mixer command; morph objects post it as a special event after a rebuild.
constexpr Int32 ID_PMXMORPHMIXER = 1032051;

/// Parameters of the morph object.
enum : Int32 {
  PMXMORPH_STRENGTH_GROUP = 802,  // the strength sliders are added to this group
  PMXMORPH_ADD_TARGET = 1010,     // button: a new target from the shown mix
  PMXMORPH_BAKE_MIX = 1011,       // button: bake the shown mix into the base
  PMXMORPH_COUNT = 1900,          // number of collected children, base included
  PMXMORPH_STRENGTH = 2000,       // + k: strength of target k
  PMXMORPH_LINK = 3000,           // + i: collected child i (0: the base)
};

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
