// The edge underscore tag: makes the triangulation line scene hook draw the edges of its
// object's edge selection in a colour of the user's choice. It plays no part in the export.
#pragma once

#include "TEdgeUnderscore.h"
#include "c4d.h"
#include "c4d_symbols.h"

class EdgeUnderscoreTag : public TagData {
 public:
  static NodeData* Alloc() { return new EdgeUnderscoreTag; }

  ~EdgeUnderscoreTag() override = default;
  Bool Init(GeListNode* node) override;
  Bool Message(GeListNode* node, Int32 type, void* data) override;
  Bool GetDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) override;
  EXECUTIONRESULT Execute(BaseTag* tag, BaseDocument* doc, BaseObject* op, BaseThread* bt,
                          Int32 priority, EXECUTIONFLAGS flags) override;

  // Typed reads of the tag's parameters; an absent id, or a tag without a container,
  // answers false, 0, 0.0, the empty string or the zero vector.
  Bool GetBool(Int32 id) const;
  Int32 GetInt32(Int32 id) const;
  Float GetFloat(Int32 id) const;
  String GetString(Int32 id) const;
  Vector GetVector(Int32 id) const;

  /// The edge selection to draw: that of the first edge selection tag of the tag's object.
  /// Null when the tag is on no object, the object is not a polygon object, or it carries
  /// no edge selection tag.
  BaseSelect* GetUnderscoreSelection() const;

 private:
  const BaseContainer* Data() const;
};

Bool RegisterEdgeUnderscoreTag();
