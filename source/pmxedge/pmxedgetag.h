// The PMX edge tag: material flags, toon edge colour and size, and a per-vertex edge scale
// of a polygon object; it also builds the edge shell the viewport preview draws.
#pragma once

#include "c4d.h"

/// Plug-in id of the PMX edge tag.
constexpr Int32 ID_PMX_EDGE_TAG = 1038158;

/// Parameter ids of the tag (also declared in its description resource).
enum : Int32 {
  PMX_EDGE_DRAW = 1000,
  PMX_EDGE_SIZE = 1010,
  PMX_EDGE_COLOR = 1011,
  PMX_EDGE_VERTEX_MAP = 1013,
  PMX_EDGE_DOUBLE_SIDED = 1100,
  PMX_EDGE_GROUND_SHADOW = 1101,
  PMX_EDGE_SELF_SHADOW_MAP = 1102,
  PMX_EDGE_SELF_SHADOW = 1103,
  PMX_EDGE_CREATE_VERTEX_MAP = 3000,
};

/// Resource string that names the edge-scale vertex maps the button creates.
constexpr Int32 IDS_PMX_EDGE_VERTEX_MAP_NAME = 10008;

class PmxEdgeTag : public TagData {
 public:
  static NodeData* Alloc() { return new PmxEdgeTag; }

  ~PmxEdgeTag() override;
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
  const BaseContainer* Data() const;
  void CreateEdgeScaleMap(BaseTag* tag);

  PolygonObject* shell_ = nullptr;
};

Bool RegisterPmxEdgeTag();
