#include "triangulationlines/trilinesswitches.h"

#include "triangulationlines/trilinesdraw.h"

Bool TriLinesHookSwitch::Execute(BaseDocument* doc) {
  BaseSceneHook* hook = FindTriLinesHook(doc);
  if (!hook) return true;
  BaseContainer* bc = hook->GetDataInstance();
  bc->SetBool(parameter_, !bc->GetBool(parameter_));
  // The options dialog shows the same switch.
  SpecialEventAdd(ID_TRI_LINES_OPTIONS);
  EventAdd(EVENT_FORCEREDRAW);
  return true;
}

Int32 TriLinesHookSwitch::GetState(BaseDocument* doc) {
  BaseSceneHook* hook = FindTriLinesHook(doc);
  if (!hook) return 0;
  return hook->GetDataInstance()->GetBool(parameter_) ? kSwitchStateOn : CMD_ENABLED;
}

Bool RegisterTriangulationLineDrawSwitch() {
  return RegisterCommandPlugin(ID_TRI_LINES_SWITCH, GeLoadString(IDS_TRI_LINES_SWITCH), 0,
                               AutoBitmap(String("tri_lines.png")), String(),
                               new TriangulationLineDrawSwitch);
}

Bool RegisterPmxEdgeDrawSwitch() {
  return RegisterCommandPlugin(ID_PMX_EDGE_DRAW_SWITCH, GeLoadString(IDS_PMX_EDGE_SWITCH), 0,
                               AutoBitmap(String("pmx_edge.png")), String(),
                               new PmxEdgeDrawSwitchCommand);
}
