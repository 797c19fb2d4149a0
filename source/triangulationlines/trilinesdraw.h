// The triangulation line scene hook: draws into every editor view the PMX edge shells of the
// objects with an enabled PMX edge tag, and, for the selected polygon objects in the point,
// edge and polygon modes, the lines along which the export splits polygons into triangles
// and the edges an edge underscore tag selects.
#pragma once

#include "c4d.h"
#include "c4d_symbols.h"

class TriLinesDraw : public SceneHookData {
 public:
  static NodeData* Alloc() { return new TriLinesDraw; }

  Bool Init(GeListNode* node) override;
  Bool Message(GeListNode* node, Int32 type, void* data) override;
  Bool Draw(BaseSceneHook* node, BaseDocument* doc, BaseDraw* bd, BaseDrawHelp* bh, BaseThread* bt,
            Int32 flags) override;
};

/// Shading category of a view's display mode: 1 Gouraud, 2 quick, 4 constant, 8 hidden line,
/// 0 for the modes without shading.
Int32 TriLinesShadingCategory(Int32 displayMode);
/// Whether views of `displayMode` show PMX edges at all.
Bool TriLinesDrawsPmxEdges(Int32 displayMode);
/// Whether views of `displayMode` show triangulation lines at all.
Bool TriLinesDrawsLines(Int32 displayMode);

/// The hook's node in `doc`, or null (no document, or the hook is not registered).
BaseSceneHook* FindTriLinesHook(BaseDocument* doc);

Bool RegisterTriLinesDraw();
