// The edge underscore tag: makes the triangulation line scene hook draw the edges of its
// object's edge selection in a colour of the user's choice. It plays no part in the export.
#pragma once

#include "TEdgeUnderscore.h"
#include "attributetag.h"
#include "c4d.h"
#include "c4d_symbols.h"

class EdgeUnderscoreTag : public PmxAttributeTagData {
 public:
  static NodeData* Alloc() { return new EdgeUnderscoreTag; }

  ~EdgeUnderscoreTag() override = default;
  Bool Init(GeListNode* node) override;
  Bool Message(GeListNode* node, Int32 type, void* data) override;
  Bool GetDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) override;
  EXECUTIONRESULT Execute(BaseTag* tag, BaseDocument* doc, BaseObject* op, BaseThread* bt,
                          Int32 priority, EXECUTIONFLAGS flags) override;

  /// The edge selection to draw: that of the first edge selection tag of the tag's object.
  /// Null when the tag is on no object, the object is not a polygon object, or it carries
  /// no edge selection tag.
  BaseSelect* GetUnderscoreSelection() const;
};

Bool RegisterEdgeUnderscoreTag();
