#include "c4d_nodedata.h"

#include "c4d_baseobject.h"
#include "c4d_description.h"

Bool NodeData::Init(GeListNode*) { return true; }
void NodeData::Free(GeListNode*) {}
Bool NodeData::Message(GeListNode*, Int32, void*) { return true; }
Bool NodeData::CopyTo(NodeData*, GeListNode*, GeListNode*, COPYFLAGS, void*) { return true; }

Bool NodeData::GetDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) {
  if (!node || !description) return false;
  // A plug-in that loaded (and extended) its description itself says so with the flag.
  if (flags & DESCFLAGS_DESC_LOADED) return true;
  if (!description->LoadDescription(node->GetType())) return false;
  flags = flags | DESCFLAGS_DESC_LOADED;
  return true;
}

Bool BaseList2D::GetDescription(Description* description, DESCFLAGS_DESC flags) {
  if (!description) return false;
  if (nodeData_) return nodeData_->GetDescription(this, description, flags);
  return description->LoadDescription(GetType());
}

Bool NodeData::GetDEnabling(GeListNode*, const DescID&, const GeData&, DESCFLAGS_ENABLE,
                            const BaseContainer*) {
  return true;
}

BaseObject* ObjectData::GetVirtualObjects(BaseObject*, HierarchyHelp*) { return nullptr; }
EXECUTIONRESULT ObjectData::Execute(BaseObject*, BaseDocument*, BaseThread*, Int32,
                                    EXECUTIONFLAGS) {
  return EXECUTIONRESULT_OK;
}

Bool TagData::Draw(BaseTag*, BaseObject*, BaseDraw*, BaseDrawHelp*) { return true; }
EXECUTIONRESULT TagData::Execute(BaseTag*, BaseDocument*, BaseObject*, BaseThread*, Int32,
                                 EXECUTIONFLAGS) {
  return EXECUTIONRESULT_OK;
}

FILEERROR SceneSaverData::Save(BaseSceneSaver*, const Filename&, BaseDocument*, SCENEFILTER) {
  return FILEERROR_NONE;
}

Bool SceneHookData::Draw(BaseSceneHook*, BaseDocument*, BaseDraw*, BaseDrawHelp*, BaseThread*,
                         Int32) {
  return true;
}
