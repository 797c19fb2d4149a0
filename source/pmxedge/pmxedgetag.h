// The PMX edge tag: material flags, toon edge colour and size, and a per-vertex edge scale
// of a polygon object; it also builds the edge shell the viewport preview draws.
#pragma once

#include "TPmxEdge.h"
#include "attributetag.h"
#include "c4d.h"
#include "c4d_symbols.h"

class PmxEdgeTag : public PmxAttributeTagData {
 public:
  static NodeData* Alloc() { return new PmxEdgeTag; }

  ~PmxEdgeTag() override;
  Bool Init(GeListNode* node) override;
  Bool Message(GeListNode* node, Int32 type, void* data) override;
  Bool GetDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) override;
  EXECUTIONRESULT Execute(BaseTag* tag, BaseDocument* doc, BaseObject* op, BaseThread* bt,
                          Int32 priority, EXECUTIONFLAGS flags) override;

  /// The scratch polygon object the preview shell is built into (never in a document).
  PolygonObject* GetShellObject() const { return shell_; }

  /// Builds into `shell` a copy of every polygon of `source`, in world coordinates, pushed
  /// out along its corner normals by `size` (times the edge-scale vertex map value of the
  /// point) and facing the other way. Shell polygon i belongs to source polygon i and has
  /// points of its own. False, leaving `shell` untouched, for a missing object, a source
  /// that is not a polygon object, or one without polygons.
  static Bool BuildEdgeShell(PolygonObject* shell, const BaseObject* source, Float32 size);

  /// The edge-scale vertex map that `edgeTag` names on `op`: its first vertex map tag whose
  /// name equals parameter 1013 exactly; null when 1013 is empty or no such tag exists.
  static VariableTag* FindEdgeScaleMap(const BaseObject* op, const BaseTag* edgeTag);

 private:
  void CreateEdgeScaleMap(BaseTag* tag);

  PolygonObject* shell_ = nullptr;
};

Bool RegisterPmxEdgeTag();
